#!/bin/bash
# The main job on its embedded default: builds the Windows programs and the
# builder, makes a Setup.exe of the demo installer and a data file in one
# command, runs that Setup.exe under Wine in a fresh prefix and shows what
# happened.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup-debian.sh
source scripts/wine-env.sh
jobs=$(nproc)

echo "== building the Windows programs ($KV_WINE_PRESET) and the builder (kvarc), which carries Setup.exe"
cmake --preset "$KV_WINE_PRESET" >/dev/null && cmake --build "build/$KV_WINE_PRESET" -j"$jobs" >/dev/null
# Only the builder: the demo needs neither the tests nor the benchmarks.
cmake --preset host -DKV_BUILD_TESTS=OFF -DKV_BUILD_BENCH=OFF >/dev/null
cmake --build build/host -j"$jobs" --target kvarc >/dev/null
kvarc=build/host/tools/kvarc
win=build/$KV_WINE_PRESET
# kvarc carries the 32-bit launcher; where the host runs the x86-64 build
# instead, that one is handed over.
launcher_args=()
[ "$KV_WINE_PRESET" != win32 ] && launcher_args=(--launcher "$win/launcher/Setup.exe" --allow-x64)

out=build/demo
rm -rf "$out"
mkdir -p "$out"
echo
echo "== one command: the installer and its data file into a Setup.exe (method LH5)"
$kvarc setup -o "$out/Setup.exe" "${launcher_args[@]}" "$win/demo/demo_installer.exe" \
  "Data\\readme.txt=demo/readme.txt"
$kvarc list "$out/Setup.exe"
echo
echo "== running Setup.exe under Wine (fresh prefix $out/wineprefix)"
export WINEPREFIX=$PWD/$out/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
"$WINE" wineboot -i >/dev/null 2>&1
"$WINESERVER" -w
set +e
xvfb-run -a bash -c "\"$WINE\" \"$out/Setup.exe\"; rc=\$?; \"$WINESERVER\" -w; exit \$rc"
rc=$?
set -e
echo "Setup.exe exit code: $rc"

windir=$WINEPREFIX/drive_c/windows
echo
echo "== files left behind"
for f in "$WINEPREFIX/drive_c/users/$(whoami)/Temp"/KVI*.tmp "$windir/ZIVizivaz.exe"; do
  [ -e "$f" ] && printf '%10d bytes  C:%s\n' "$(stat -c %s "$f")" "$(echo "${f#"$WINEPREFIX"/drive_c}" | tr / '\\')"
done
echo
echo "== what the installer received and read (its report, C:\\windows\\ZIVizivaz.exe.report.txt)"
cat "$windir/ZIVizivaz.exe.report.txt"
