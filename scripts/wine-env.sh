# Sourced by the scripts: chooses the Wine loader and the Windows build that
# it can run. Setup.exe is a 32-bit program and runs under 32-bit Wine; a
# host that cannot execute 32-bit code at all (the 32-bit loader fails with
# "Exec format error"), or where 32-bit Wine could not be installed, runs the
# 64-bit build of the same sources under Wine64 instead, and says so.
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  export WINE=/usr/lib/wine/wine
  export WINESERVER=/usr/lib/wine/wineserver
  KV_WINE_PRESET=win32
else
  export WINE=/usr/lib/wine/wine64
  export WINESERVER=/usr/lib/wine/wineserver64
  KV_WINE_PRESET=win64
  echo "note: 32-bit Wine cannot run here (not installed, or this host cannot execute" \
    "32-bit code); running the 64-bit build of Setup.exe under Wine64 instead" >&2
fi
