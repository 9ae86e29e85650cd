# Sourced by the scripts: chooses the Wine loader and the Windows build that
# it can run, and names that build in KV_WINE_BUILD. Setup.exe is a 32-bit
# program and runs under 32-bit Wine; a host that cannot execute 32-bit code
# at all (the 32-bit loader fails with "Exec format error"), or where 32-bit
# Wine could not be installed, runs the 64-bit build of the same sources
# under Wine64 instead, and says so loudly: the shipped program is then not
# the one run.
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  export WINE=/usr/lib/wine/wine
  export WINESERVER=/usr/lib/wine/wineserver
  KV_WINE_PRESET=win32
  KV_WINE_BUILD="the i686 Setup.exe (win32 build) under 32-bit Wine"
else
  export WINE=/usr/lib/wine/wine64
  export WINESERVER=/usr/lib/wine/wineserver64
  KV_WINE_PRESET=win64
  KV_WINE_BUILD="the x86-64 Setup.exe (win64 build) under Wine64, NOT the shipped i686 one"
  {
    echo "*****************************************************************************"
    echo "WARNING: 32-bit Wine cannot run here (not installed, or this host cannot"
    echo "execute 32-bit code): the end-to-end tests run the 64-bit build of Setup.exe"
    echo "under Wine64 instead; the shipped i686 Setup.exe is NOT run."
    echo "*****************************************************************************"
  } >&2
fi
