#!/bin/bash
# Reproducible output. Builds the win32 preset a second time, from a copy of
# the source tree at another path with its build folder elsewhere, and
# compares Setup.exe and kvarc.exe with those of WIN32_BUILD; then runs
# `kvarc setup` twice on the same inputs (the second time on a copy of them,
# at another path and with other file times) and compares the outputs, for
# every method.
#
# Usage: tests/repro/check-repro.sh WIN32_BUILD KVARC
#   WIN32_BUILD  the win32 preset's build folder (e.g. build/win32), built
#   KVARC        the host kvarc, which carries that build's Setup.exe
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 WIN32_BUILD KVARC" >&2; exit 2; }
top=$(cd "$(dirname "$0")/../.." && pwd)
first=$(cd "$1" && pwd)
kvarc=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
jobs=${KV_JOBS:-2}

work=$(mktemp -d "${TMPDIR:-/tmp}/kv-repro.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
same() { # same WHAT FILE1 FILE2
  if cmp -s "$2" "$3"; then
    echo "ok: $1 identical ($(stat -c %s "$2") bytes)"
  else
    echo "FAIL: $1 differs: $2 $3 ($(cmp -l "$2" "$3" | wc -l) bytes)"
    cmp -l "$2" "$3" | head -8
    failures=$((failures + 1))
  fi
}

# --- two builds in different folders ------------------------------------------
# The copy holds the files git knows, as they are in the working tree, under a
# longer path of another depth; its build folder lies outside it.
src="$work/another source folder/zerk"
mkdir -p "$src"
(cd "$top" && git ls-files -z --cached | while IFS= read -r -d '' f; do
  [ -e "$f" ] && printf '%s\0' "$f"
done | tar -c --null -T - -f -) | tar -x -C "$src"
second="$work/elsewhere/win32"
(cd "$src" && cmake --preset win32 -B "$second" -DKV_WERROR=ON >/dev/null &&
  cmake --build "$second" -j"$jobs" --target Setup kvarc >/dev/null)
same "Setup.exe of two builds" "$first/launcher/Setup.exe" "$second/launcher/Setup.exe"
same "kvarc.exe of two builds" "$first/tools/kvarc.exe" "$second/tools/kvarc.exe"

# --- kvarc setup twice on the same inputs --------------------------------------
in1="$work/inputs"
mkdir -p "$in1/data/sub"
cp "$top/README.md" "$top/tools/kvarc.cpp" "$in1/data/"
cp "$top/launcher/setup.ico" "$in1/data/sub/"
head -c 3000 /dev/zero >"$in1/data/sub/zeros.bin"
cp "$first/launcher/Setup.exe" "$in1/installer.exe"
in2="$work/inputs copied later"
cp -r "$in1" "$in2"
find "$in2" -exec touch -d '2001-02-03 04:05:06' {} +
for method in NON RLE LZH LH5; do
  "$kvarc" -q setup -f -m "$method" -o "$work/one-$method.exe" "$in1/installer.exe" "Data=$in1/data"
  (cd "$in2" && "$kvarc" -q setup -f -m "$method" -o "$work/two-$method.exe" installer.exe Data=data)
  same "kvarc setup -m $method, twice" "$work/one-$method.exe" "$work/two-$method.exe"
done

if [ "$failures" -ne 0 ]; then
  echo "check-repro: $failures comparison(s) failed"
  exit 1
fi
echo "check-repro: every output is byte-identical"
