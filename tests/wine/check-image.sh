#!/bin/bash
# Static checks of a built Setup.exe: a GUI-subsystem PE of the expected
# machine, no DLL beyond those Windows ships, the marker text exactly once and
# followed by the placeholder, the resources in place, and the size limit
# (64 KiB).
# usage: check-image.sh SETUP.EXE [i386|x86-64]
set -u
image=$1
machine=${2:-i386}
failed=0
check() {  # DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then echo "ok - $what"; else echo "not ok - $what"; failed=$((failed + 1)); fi
}
prefix=i686-w64-mingw32
[ "$machine" = x86-64 ] && prefix=x86_64-w64-mingw32
headers=$($prefix-objdump -p "$image")

check "PE image for $machine" grep -q "file format pei-$machine" <<<"$($prefix-objdump -f "$image")"
check "Windows GUI subsystem" grep -q "^Subsystem.*(Windows GUI)" <<<"$headers"
dlls=$(grep 'DLL Name' <<<"$headers" | awk '{print toupper($3)}' | sort | tr '\n' ' ')
check "imports only system DLLs ($dlls)" test "$dlls" = "KERNEL32.DLL MSVCRT.DLL SHELL32.DLL USER32.DLL "
check "the marker text appears exactly once" test "$(grep -c -a -o 'KVI_SIZE' "$image")" = 1
check "the marker is followed by the placeholder" grep -q -a 'KVI_SIZEX' "$image"
# Resource strings are UTF-16: the version record's block for language 0809
# and code page 04E4, its FileDescription, and the icon's name.
utf16() { printf '%s' "$1" | sed 's/./&\\x00/g'; }
has_utf16() { grep -q -a -P "$(utf16 "$1")" "$image"; }
check "version record 080904E4" has_utf16 080904E4
check "FileDescription ZI-Vizivaz" has_utf16 ZI-Vizivaz
check "icon MAINICON" has_utf16 MAINICON
check "manifest asks for administrator rights" grep -q -a 'level="requireAdministrator"' "$image"
size=$(stat -c %s "$image")
check "size $size bytes is at most 64 KiB" test "$size" -le 65536
echo "image checks: $((11 - failed)) passed, $failed failed"
[ $failed = 0 ]
