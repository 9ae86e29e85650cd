#!/bin/bash
# End-to-end tests: the real Setup.exe, stamped by kvarc, run under Wine in a
# fresh prefix inside the build tree, once for every way out of the launcher.
#
# usage: run-e2e.sh WINDOWS_BUILD_DIR KVARC
#   WINE       the Wine loader to run programs with (default: wine)
#   WINESERVER the matching wineserver (default: wineserver)
# Needs an X display for the "Application Error" box (run under xvfb-run).
set -u

WINBUILD=$(cd "$1" && pwd)
KVARC=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
WINE=${WINE:-wine}
WINESERVER=${WINESERVER:-wineserver}
SETUP=$WINBUILD/launcher/Setup.exe
INSTALLER=$WINBUILD/demo/demo_installer.exe
# kvarc stamps 32-bit launchers; the x86-64 build, which hosts without 32-bit
# support run, is taken when asked for.
pe_header=$(od -An -tu4 -j60 -N4 "$SETUP" | tr -d ' ')
STAMP=(stamp)
[ "$(od -An -tx2 -j$((pe_header + 4)) -N2 "$SETUP" | tr -d ' ')" = 8664 ] && STAMP=(stamp --allow-x64)
WATCHER=$WINBUILD/tests/wine/msgbox_watcher.exe
HOLDER=$WINBUILD/tests/wine/hold_file.exe
RUN_HELD=$WINBUILD/tests/wine/run_held.exe
PLANTED_DLL=$WINBUILD/tests/wine/uxtheme.dll
RACER=$WINBUILD/tests/wine/racer.exe
TRACE_INSTALLER=$WINBUILD/tests/wine/trace_installer.exe

export WINEPREFIX=$WINBUILD/wineprefix
# Unix file names are UTF-8; Wine's ANSI code page stays 1252 in this locale.
export LC_ALL=C.UTF-8
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko prompts

WORK=$WINBUILD/e2e-work
rm -rf "$WORK"
mkdir -p "$WORK"
passed=0
failed=0

ok() {
  passed=$((passed + 1))
  echo "ok - $1"
}
not_ok() {
  failed=$((failed + 1))
  echo "not ok - $1: $2"
}

# The Windows name of a Unix path in the prefix (drive Z: is the Unix root).
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "# creating Wine prefix $WINEPREFIX"
  "$WINE" wineboot -i >/dev/null 2>&1
  "$WINESERVER" -w
fi
WINDIR=$WINEPREFIX/drive_c/windows
TEMPDIR=$WINEPREFIX/drive_c/users/$(whoami)/Temp
mkdir -p "$TEMPDIR"

# Removes what earlier runs left behind.
fresh() {
  rm -rf "$WINDIR/ZIVizivaz.exe" "$WINDIR/ZIVizivaz.exe.report.txt" "$WINDIR/ZIVizivaz.exe.ran" \
    "$TEMPDIR"/KVI*.tmp "$WORK/box.txt"
}

# Runs a launcher and waits for everything it started; sets $rc.
run_setup() {
  "$WINE" "$1" >/dev/null 2>&1
  rc=$?
  "$WINESERVER" -w
}

# Runs a launcher that is expected to report a failure: the watcher reads the
# box back and presses OK. Sets $rc and leaves the box in $WORK/box.txt.
run_setup_expecting_box() {
  "$WINE" "$WATCHER" "$(winpath "$WORK/box.txt")" 60 >/dev/null 2>&1 &
  local watcher=$!
  "$WINE" "$1" >/dev/null 2>&1
  rc=$?
  wait $watcher
  "$WINESERVER" -w
}

temp_archives() { ls "$TEMPDIR"/KVI*.tmp 2>/dev/null; }

printf 'Hello from the demo data file.\nIt was packed into the launcher.\n' >"$WORK/readme.txt"

# make_launcher METHOD OUT: an archive of the demo installer and a data file,
# and a launcher stamped with it. The archive stays as OUT.zerk.
make_launcher() {
  "$KVARC" create -f "$2.zerk" "$1:Installer\\ZIVizivaz.exe=$INSTALLER" \
    "$1:Data\\readme.txt=$WORK/readme.txt" >/dev/null &&
    "$KVARC" "${STAMP[@]}" -f "$SETUP" "$2.zerk" "$2" >/dev/null
}

# --- the image itself -------------------------------------------------------
count=$(grep -c -a -o 'KVI_SIZE' "$SETUP")
if [ "$count" = 1 ] && grep -q -a 'KVI_SIZEX' "$SETUP"; then
  ok "the marker text appears once in Setup.exe, followed by the placeholder"
else
  not_ok "marker" "found $count copies"
fi

# --- no payload: a beep, nothing created, exit 0 -----------------------------
fresh
run_setup "$SETUP"
if [ $rc = 0 ] && [ -z "$(temp_archives)" ] && [ ! -e "$WINDIR/ZIVizivaz.exe" ]; then
  ok "an unstamped launcher creates nothing and exits 0"
else
  not_ok "no payload" "exit $rc, temp: $(temp_archives)"
fi

# --- normal end, every method, from a folder whose name has spaces -----------
# check_started WHAT LAUNCHER TEMP-UNIX-FOLDER TEMP-WINDOWS-FOLDER [ARCHIVE]:
# a normal end: exit 0, one temporary archive (identical to ARCHIVE when
# given), the installer identical to the entry, started with the exact
# parameters in their real characters, and able to read /DATA.
check_started() {
  local what=$1 launcher=$2 temp_unix=$3 temp_windows=$4 archive=${5:-}
  local report=$WINDIR/ZIVizivaz.exe.report.txt
  local tmp=("$temp_unix"/KVI*.tmp)
  local expected="\"/SOURCE=$(winpath "$launcher")\" \"/DATA=$temp_windows\\$(basename "${tmp[0]}")\""
  if [ $rc != 0 ] || [ ${#tmp[@]} != 1 ] || [ ! -f "${tmp[0]}" ]; then
    not_ok "$what" "exit $rc, temporary archives: ${tmp[*]}"
  elif [ -n "$archive" ] && ! cmp -s "${tmp[0]}" "$archive"; then
    not_ok "$what" "the temporary archive differs from the payload's archive"
  elif ! cmp -s "$WINDIR/ZIVizivaz.exe" "$INSTALLER"; then
    not_ok "$what" "the installer file differs from the entry"
  elif [ "$(sed -n 's/^parameters: //p' "$report" | tr -d '\r')" != "$expected" ]; then
    not_ok "$what" "parameters '$(sed -n 's/^parameters: //p' "$report")', expected '$expected'"
  elif ! grep -q "^read: Data\\\\readme.txt $(stat -c %s "$WORK/readme.txt") bytes, checksum [0-9a-f]* verified" "$report"; then
    not_ok "$what" "the installer could not read /DATA: $(cat "$report" 2>/dev/null)"
  else
    ok "$what"
  fi
}

for method in NON RLE LZH LH5; do
  fresh
  if ! make_launcher $method "$WORK/$method.exe"; then
    not_ok "$method normal end" "kvarc could not build the launcher"
    continue
  fi
  mkdir -p "$WORK/My Files"
  cp "$WORK/$method.exe" "$WORK/My Files/setup $method.exe"
  run_setup "$WORK/My Files/setup $method.exe"
  check_started "$method: the installer is extracted and started with the exact parameters" \
    "$WORK/My Files/setup $method.exe" "$TEMPDIR" "C:\\users\\$(whoami)\\Temp" "$WORK/$method.exe.zerk"
done

# --- trailing bytes after the archive (a code signature) change nothing ------
fresh
cp "$WORK/RLE.exe" "$WORK/signed.exe"
head -c 5000 /dev/urandom >>"$WORK/signed.exe"
run_setup "$WORK/signed.exe"
if [ $rc = 0 ] && cmp -s "$(temp_archives)" "$WORK/RLE.exe.zerk" && cmp -s "$WINDIR/ZIVizivaz.exe" "$INSTALLER"; then
  ok "bytes after the archive are ignored"
else
  not_ok "trailing bytes" "exit $rc"
fi

# The first line of a box's text, and the second.
box_line() { sed -n "s/^$1: //p" "$WORK/box.txt" | tr -d '\r'; }
box_second_line() { sed -n '3p' "$WORK/box.txt" | tr -d '\r'; }

# --- the installer file cannot be created: the box, exit 1 -------------------
fresh
mkdir -p "$WINDIR/ZIVizivaz.exe"  # a folder in its place
run_setup_expecting_box "$WORK/RLE.exe"
text=$(box_line text)
if [ $rc != 1 ]; then
  not_ok "installer not creatable" "exit $rc"
elif [ "$(box_line caption)" != "Application Error" ]; then
  not_ok "installer not creatable" "no Application Error box: $(cat "$WORK/box.txt" 2>/dev/null)"
elif ! [[ "$text" =~ ^Exception\ EFCreateError\ in\ module\ RLE\.exe\ at\ [0-9A-F]{8}\.$ ]]; then
  not_ok "installer not creatable" "first line '$text'"
elif [ "$(box_second_line)" != 'Cannot create file C:\windows\ZIVizivaz.exe.' ]; then
  not_ok "installer not creatable" "second line '$(box_second_line)'"
elif ! cmp -s "$(temp_archives)" "$WORK/RLE.exe.zerk"; then
  not_ok "installer not creatable" "the temporary archive is not complete"
else
  ok "an installer file that cannot be created: the Application Error box, exit 1, complete temporary archive"
fi
rmdir "$WINDIR/ZIVizivaz.exe"

# --- a length field larger than the data -------------------------------------
fresh
cp "$WORK/RLE.exe" "$WORK/short.exe"
offset=$(grep -a -b -o 'KVI_SIZE' "$WORK/short.exe" | head -1 | cut -d: -f1)
block=$(od -An -t u4 -j $((offset + 8)) -N 4 "$WORK/short.exe" | tr -d ' ')
printf '\x00\x00\x10\x00' | dd of="$WORK/short.exe" bs=1 seek="$block" conv=notrunc status=none
run_setup_expecting_box "$WORK/short.exe"
tmp=$(temp_archives)
if [ $rc = 1 ] && [ "$(box_second_line)" = "Stream read error." ] && [ ! -e "$WINDIR/ZIVizivaz.exe" ] &&
  [ -n "$tmp" ] && [ "$(stat -c %s "$tmp")" -lt 1048576 ]; then
  ok "a length field larger than the data: Stream read error, exit 1, no installer file"
else
  not_ok "length too large" "exit $rc, box '$(box_second_line)', temp '$tmp'"
fi

# --- an extraction that fails is reported and nothing is started -------------
fresh
# kvarc stamps only an archive that verifies, so the damage is done to the
# Setup.exe it made: the first entry's checksum (archive header 21 bytes,
# field at 17) in the archive that ends the file.
"$KVARC" "${STAMP[@]}" -f "$SETUP" "$WORK/RLE.exe.zerk" "$WORK/bad.exe" >/dev/null
at=$(($(stat -c %s "$WORK/bad.exe") - $(stat -c %s "$WORK/RLE.exe.zerk") + 21 + 17))
printf '\xEE' | dd of="$WORK/bad.exe" bs=1 seek=$at conv=notrunc status=none
run_setup_expecting_box "$WORK/bad.exe"
if [ $rc = 1 ] && [[ "$(box_line text)" == "Exception EBadChecksum in module bad.exe at "* ]] &&
  [ "$(box_second_line)" = "Bad checksum during expansion -- data may be invalid." ] &&
  [ -e "$WINDIR/ZIVizivaz.exe" ] && [ ! -e "$WINDIR/ZIVizivaz.exe.report.txt" ] && [ -n "$(temp_archives)" ]; then
  ok "a failed extraction: EBadChecksum box, exit 1, installer not started, nothing deleted"
else
  not_ok "failed extraction" "exit $rc, box '$(cat "$WORK/box.txt" 2>/dev/null)'"
fi

# --- a temporary folder that does not exist ---------------------------------
# Wine takes TEMP and TMP from the prefix's registry (HKCU\Environment); both
# are pointed at a folder that is not there, and restored afterwards. The
# system cannot make the temporary file, and the launcher must say so rather
# than go on with an undefined name.
fresh
"$WINE" reg export 'HKCU\Environment' "$(winpath "$WORK/environment.reg")" /y >/dev/null 2>&1
for var in TEMP TMP; do
  "$WINE" reg add 'HKCU\Environment' /v $var /t REG_EXPAND_SZ /d 'C:\nowhere Ω\temp' /f >/dev/null 2>&1
done
"$WINESERVER" -w
run_setup_expecting_box "$WORK/RLE.exe"
"$WINE" reg import "$(winpath "$WORK/environment.reg")" >/dev/null 2>&1
"$WINESERVER" -w
text=$(box_line text)
if [ $rc != 1 ]; then
  not_ok "no temporary folder" "exit $rc, box '$(cat "$WORK/box.txt" 2>/dev/null)'"
elif ! [[ "$text" =~ ^Exception\ EFCreateError\ in\ module\ RLE\.exe\ at\ [0-9A-F]{8}\.$ ]]; then
  not_ok "no temporary folder" "first line '$text'"
elif [ "$(box_second_line)" != 'Cannot create file C:\nowhere Ω\temp\KVIXXXX.tmp.' ]; then
  not_ok "no temporary folder" "second line '$(box_second_line)'"
elif [ -e "$WINDIR/ZIVizivaz.exe" ] || [ -e "$WINDIR/ZIVizivaz.exe.report.txt" ] || [ -n "$(temp_archives)" ]; then
  not_ok "no temporary folder" "files were created or the installer started"
else
  ok "TEMP and TMP pointing nowhere: EFCreateError box naming the folder in its real characters, exit 1, nothing created or started"
fi

# --- an installer file held open without sharing by another process ---------
fresh
rm -f "$WORK/held.ready" "$WORK/held.release"
"$WINE" "$HOLDER" 'C:\windows\ZIVizivaz.exe' "$(winpath "$WORK/held.ready")" \
  "$(winpath "$WORK/held.release")" 120 >/dev/null 2>&1 &
holder=$!
for _ in $(seq 1 600); do
  [ -e "$WORK/held.ready" ] && break
  sleep 0.1
done
if [ ! -e "$WORK/held.ready" ]; then
  not_ok "installer held open" "the holder did not start"
else
  # Not run_setup_expecting_box: its wait for the wineserver would wait for
  # the holder too, which is released only after the launcher has ended.
  "$WINE" "$WATCHER" "$(winpath "$WORK/box.txt")" 60 >/dev/null 2>&1 &
  watcher=$!
  "$WINE" "$WORK/RLE.exe" >/dev/null 2>&1
  rc=$?
  wait $watcher
  touch "$WORK/held.release"
  wait $holder
  "$WINESERVER" -w
  if [ $rc != 1 ]; then
    not_ok "installer held open" "exit $rc, box '$(cat "$WORK/box.txt" 2>/dev/null)'"
  elif [[ "$(box_line text)" != "Exception EFCreateError in module RLE.exe at "* ]] ||
    [ "$(box_second_line)" != 'Cannot create file C:\windows\ZIVizivaz.exe.' ]; then
    not_ok "installer held open" "box '$(cat "$WORK/box.txt" 2>/dev/null)'"
  elif [ -e "$WINDIR/ZIVizivaz.exe.report.txt" ]; then
    not_ok "installer held open" "the installer was started"
  elif ! cmp -s "$(temp_archives)" "$WORK/RLE.exe.zerk"; then
    not_ok "installer held open" "the temporary archive is not complete"
  else
    ok "an installer file held open without sharing: EFCreateError box, exit 1, installer not started"
  fi
fi
rm -f "$WORK/held.ready" "$WORK/held.release"

# --- kvarc setup: one command from an installer and a folder, then signed ----
fresh
mkdir -p "$WORK/payload/docs"
cp "$WORK/readme.txt" "$WORK/payload/readme.txt"
printf 'A second file, one folder down.\n' >"$WORK/payload/docs/notes.txt"
# kvarc carries the 32-bit launcher; hosts without 32-bit support give it theirs.
launcher_args=()
[ "${STAMP[1]:-}" = --allow-x64 ] && launcher_args=(--launcher "$SETUP" --allow-x64)
check_setup_end() {  # WHAT LAUNCHER-PATH
  local report=$WINDIR/ZIVizivaz.exe.report.txt
  if [ $rc != 0 ] || ! cmp -s "$WINDIR/ZIVizivaz.exe" "$INSTALLER"; then
    not_ok "$1" "exit $rc, installer $(stat -c %s "$WINDIR/ZIVizivaz.exe" 2>/dev/null) bytes"
  elif ! grep -q "^read: Data\\\\readme.txt $(stat -c %s "$WORK/readme.txt") bytes" "$report" ||
    ! grep -q '^read: Data\\docs\\notes.txt 32 bytes' "$report"; then
    not_ok "$1" "the installer did not read the folder's files: $(cat "$report" 2>/dev/null)"
  else
    ok "$1"
  fi
}
if "$KVARC" -q setup -f -o "$WORK/one.exe" "${launcher_args[@]}" "$INSTALLER" "Data=$WORK/payload"; then
  run_setup "$WORK/one.exe"
  check_setup_end "kvarc setup: one command makes a Setup.exe that starts the installer with the folder's files"
else
  not_ok "kvarc setup" "kvarc could not make the Setup.exe"
fi

# The same from kvarc.exe, the builder for Windows, with Windows paths. It
# carries its own build's Setup.exe, which on hosts without 32-bit support is
# the 64-bit one and needs --allow-x64.
fresh
KVARC_EXE=$WINBUILD/tools/kvarc.exe
x64_args=()
[ "${STAMP[1]:-}" = --allow-x64 ] && x64_args=(--allow-x64)
if "$WINE" "$KVARC_EXE" -q setup -f "${x64_args[@]}" -o "$(winpath "$WORK/from-windows.exe")" \
  "$(winpath "$INSTALLER")" "Data=$(winpath "$WORK/payload")" >/dev/null 2>&1; then
  run_setup "$WORK/from-windows.exe"
  check_setup_end "kvarc.exe under Wine makes a Setup.exe from an installer and a folder"
else
  not_ok "kvarc.exe setup" "kvarc.exe could not make the Setup.exe"
fi

# --- kvarc setup with an icon, a version record and a signature --------------
# check_packager_setup: a Setup.exe made in one command with the packager's
# own icon and version record, and signed by the command given to --sign.
# Windows must read back exactly what was asked (through the version API and
# the resource loader, by read_resources.exe), the signature must verify and
# cover the payload, and the signed file must still start the installer.
# Also: the same request made twice gives the same bytes; a failing signing
# command leaves nothing behind; a launcher signed before stamping is refused.

# le VALUE COUNT: VALUE as COUNT bytes, least significant first.
le() {
  local i
  for ((i = 0; i < $2; i++)); do printf '%b' "\\x$(printf %02x $((($1 >> 8 * i) & 255)))"; done
}
# icon_image SIZE CHANNEL: a SIZE x SIZE 32-bit image as an .ico holds it:
# the bitmap header (its height doubled for the mask), the pixels (every
# channel the octal escape CHANNEL), an empty mask of rows padded to 4 bytes.
icon_image() {
  le 40 4
  le "$1" 4
  le $(($1 * 2)) 4
  le 1 2
  le 32 2
  head -c 24 /dev/zero
  head -c $(($1 * $1 * 4)) /dev/zero | tr '\0' "$2"
  head -c $((4 * (($1 + 31) / 32) * $1)) /dev/zero
}
# The certificate and key of every signing below: made once, as key
# generation is the slow part.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$WORK/key.pem" -out "$WORK/cert.pem" \
  -days 2 -subj "/CN=Test Publisher" -addext extendedKeyUsage=codeSigning >/dev/null 2>&1 ||
  not_ok "certificate" "openssl could not make the test certificate"

# read_resources FILE EXPECTED: whether Windows reads back from FILE's
# resources exactly the report EXPECTED; read_failure says why not.
read_resources() {
  rm -f "$WORK/resources.txt"
  "$WINE" "$WINBUILD/tests/wine/read_resources.exe" "$(winpath "$1")" \
    "$(winpath "$WORK/resources.txt")" >/dev/null 2>&1
  rc=$?
  if [ $rc != 0 ]; then
    read_failure="read_resources.exe ended with $rc"
  elif [ "$(cat "$WORK/resources.txt")" != "$2" ]; then
    read_failure="Windows reads back other resources: $(diff <(echo "$2") "$WORK/resources.txt" | tr '\n' '|')"
  else
    return 0
  fi
  return 1
}

check_packager_setup() {
  local out=$WORK/packaged.exe
  local -a icon_lines=() options
  local size at=38 sum bytes n=0
  icon_image 16 '\100' >"$WORK/icon16.bin"
  icon_image 32 '\300' >"$WORK/icon32.bin"
  {
    le 0 2 && le 1 2 && le 2 2  # ICONDIR: reserved, type 1 (icon), two images
    for size in 16 32; do       # ICONDIRENTRY: the image's size and place in the file
      bytes=$(stat -c %s "$WORK/icon$size.bin")
      le "$size" 1 && le "$size" 1 && le 0 2 && le 1 2 && le 32 2 && le "$bytes" 4 && le $at 4
      at=$((at + bytes))
      read -r sum _ < <(cksum <"$WORK/icon$size.bin")
      n=$((n + 1))
      icon_lines+=("icon $n: ${size}x$size, 0 colors, 1 planes, 32 bits, $bytes bytes; image $bytes bytes, cksum $sum")
    done
    cat "$WORK/icon16.bin" "$WORK/icon32.bin"
  } >"$WORK/test.ico"
  # Letters outside code page 1252 and one outside the BMP (a surrogate pair
  # in UTF-16); ProductVersion set apart from --product-version, FileVersion
  # left to follow --file-version, InternalName and OriginalFilename kept.
  options=(--icon "$WORK/test.ico"
    --version-info 'CompanyName=Société Łódź' --version-info 'FileDescription=Test installer'
    --version-info 'LegalCopyright=© 2024 Société Łódź' --version-info 'ProductName=Test Product'
    --version-info 'ProductVersion=2.5 beta' --version-info 'Comments=Packed for tests 🙂'
    --file-version 2.5.0.17 --product-version 2.5.0.0)
  local expected
  expected=$(printf '%s\n' 'translation: 080904E4' 'string CompanyName: Société Łódź' \
    'string FileDescription: Test installer' 'string FileVersion: 2.5.0.17' 'string InternalName: Setup' \
    'string LegalCopyright: © 2024 Société Łódź' 'string OriginalFilename: Setup.exe' \
    'string ProductName: Test Product' 'string ProductVersion: 2.5 beta' \
    'string Comments: Packed for tests 🙂' 'fixed file version: 2.5.0.17' \
    'fixed product version: 2.5.0.0' 'icon groups: 1' 'icon images: 2' "${icon_lines[@]}")
  local sign
  sign="osslsigncode sign -certs $(printf %q "$WORK/cert.pem") -key $(printf %q "$WORK/key.pem")"
  sign+=" -n 'Test setup' -in {} -out {}.signed >/dev/null && mv {}.signed {}"

  rm -f "$out"
  if ! "$KVARC" -q setup -f -o "$out" "${launcher_args[@]}" "${options[@]}" --sign "$sign" \
    "$INSTALLER" "Data=$WORK/payload"; then
    not_ok "packager's Setup.exe" "kvarc setup with --icon, --version-info and --sign failed"
    return
  fi
  fresh
  run_setup "$out"
  check_setup_end "a Setup.exe with the packager's icon, version record and signature starts the installer"

  # Read back by Windows, and by kvarc list, which must agree on the strings.
  local listing
  listing=$("$KVARC" list --json "$out")
  if ! read_resources "$out" "$expected"; then
    not_ok "packager's resources" "$read_failure"
  elif [ "$(jq -r '.launcher.version | to_entries[] | "string \(.key): \(.value)"' <<<"$listing" | sort)" != \
    "$(grep '^string ' <<<"$expected" | sort)" ]; then
    not_ok "packager's resources" "kvarc list reads other strings: $(jq -c .launcher.version <<<"$listing")"
  else
    ok "Windows and kvarc list read back the icon's every image and the version record exactly as asked"
  fi

  if ! osslsigncode verify -CAfile "$WORK/cert.pem" -in "$out" >/dev/null 2>&1; then
    not_ok "packager's signature" "osslsigncode does not verify the signed Setup.exe"
  elif ! "$KVARC" -q test "$out"; then
    not_ok "packager's signature" "kvarc test fails on the signed Setup.exe"
  elif ! jq -e '.launcher.signature.covers_payload == true and .launcher.bytes_after_signature == 0' \
    >/dev/null <<<"$listing"; then
    not_ok "packager's signature" "kvarc list: $(jq -c .launcher.signature,.launcher.bytes_after_signature <<<"$listing")"
  else
    ok "the signed Setup.exe verifies and tests; its signature covers the payload and ends the file"
  fi

  if "$KVARC" -q setup -f -o "$WORK/packaged-1.exe" "${launcher_args[@]}" "${options[@]}" \
    "$INSTALLER" "Data=$WORK/payload" &&
    "$KVARC" -q setup -f -o "$WORK/packaged-2.exe" "${launcher_args[@]}" "${options[@]}" \
    "$INSTALLER" "Data=$WORK/payload" &&
    cmp -s "$WORK/packaged-1.exe" "$WORK/packaged-2.exe"; then
    ok "the same icon and version record asked twice give identical Setup.exe files"
  else
    not_ok "packager's Setup.exe twice" "kvarc setup failed or the two files differ"
  fi

  # kvarc stamp takes the same options over an archive of its own.
  local stamped=$WORK/packaged-stamped.exe
  if ! "$KVARC" -q create -f "$WORK/stamp-input.zerk" "Installer\\ZIVizivaz.exe=$INSTALLER" \
    "Data\\readme.txt=$WORK/payload/readme.txt" "Data\\docs\\notes.txt=$WORK/payload/docs/notes.txt" ||
    ! "$KVARC" -q "${STAMP[@]}" -f "${options[@]}" "$SETUP" "$WORK/stamp-input.zerk" "$stamped"; then
    not_ok "packager's stamp" "kvarc stamp with --icon and --version-info failed"
  elif ! read_resources "$stamped" "$expected"; then
    not_ok "packager's stamp" "$read_failure"
  else
    fresh
    run_setup "$stamped"
    check_setup_end "kvarc stamp gives the same icon and version record, and the Setup.exe starts its installer"
  fi

  # A command that fails, and one that ends well but signs nothing: each in
  # a folder of its own, so that any file left behind shows.
  local command
  for command in 'false {}' 'printf unsigned >>{}'; do
    rm -rf "$WORK/sign-fails"
    mkdir "$WORK/sign-fails"
    "$KVARC" -q setup -o "$WORK/sign-fails/setup.exe" "${launcher_args[@]}" "${options[@]}" \
      --sign "$command" "$INSTALLER" 2>/dev/null
    rc=$?
    if [ $rc = 1 ] && [ -z "$(ls -A "$WORK/sign-fails")" ]; then
      ok "a signing command '$command' that does not sign: exit 1, nothing left behind"
    else
      not_ok "--sign '$command'" "exit $rc, left: $(ls -A "$WORK/sign-fails")"
    fi
  done

  rm -f "$WORK/from-signed.exe"
  if ! osslsigncode sign -certs "$WORK/cert.pem" -key "$WORK/key.pem" -in "$SETUP" \
    -out "$WORK/signed-launcher.exe" >/dev/null 2>&1; then
    not_ok "signed launcher" "osslsigncode could not sign the launcher"
    return
  fi
  "$KVARC" -q setup -o "$WORK/from-signed.exe" --launcher "$WORK/signed-launcher.exe" \
    "${x64_args[@]}" "${options[@]}" "$INSTALLER" 2>/dev/null
  rc=$?
  if [ $rc = 1 ] && [ ! -e "$WORK/from-signed.exe" ]; then
    ok "a launcher signed before stamping is refused: exit 1, no Setup.exe"
  else
    not_ok "signed launcher" "exit $rc"
  fi
}
check_packager_setup

# --- an installer that does not compress is RLE-coded, and so verified ------
# The component verifies every entry but a stored ("NON") one, and kvarc
# stores one only when asked to by name: an installer that no method shrinks
# (the small trace installer with random bytes after its image) is packed by
# `kvarc setup` with default options RLE-coded. One byte of its stored data
# flipped inside the Setup.exe must end the run with the EBadChecksum box,
# the installer never started; undamaged, the same Setup.exe starts it.
cp "$TRACE_INSTALLER" "$WORK/incompressible.exe"
head -c $((8 << 20)) /dev/urandom >>"$WORK/incompressible.exe"
check_rle_fallback() {
  if ! "$KVARC" -q setup -f -o "$WORK/rle-fallback.exe" "${launcher_args[@]}" "$WORK/incompressible.exe"; then
    not_ok "incompressible installer" "kvarc setup could not make the Setup.exe"
    return
  fi
  local listing archive_at method stored data_at middle flip i
  local -a bytes
  listing=$("$KVARC" list "$WORK/rle-fallback.exe")
  archive_at=$(sed -n 's/^launcher .*: archive at offset \([0-9]*\)$/\1/p' <<<"$listing")
  read -r method stored _ < <(grep -F ' Installer\ZIVizivaz.exe' <<<"$listing")
  if [ "$method" != RLE ] || [ -z "$archive_at" ]; then
    not_ok "incompressible installer" "not RLE-coded: $listing"
    return
  fi
  fresh
  run_setup "$WORK/rle-fallback.exe"
  if [ $rc != 0 ] || [ ! -e "$WINDIR/ZIVizivaz.exe.ran" ] ||
    ! cmp -s "$WINDIR/ZIVizivaz.exe" "$WORK/incompressible.exe"; then
    not_ok "incompressible installer" "undamaged: exit $rc, the installer not started or not whole"
    return
  fi
  # The installer's data: after the archive header (21 bytes), the entry
  # header (25) and the name (23). A literal step half-way into it (a byte
  # other than 0x94 after a byte other than 0x94, still not 0x94 once
  # flipped): the flip changes the expansion's byte sum.
  data_at=$((archive_at + 21 + 25 + 23))
  middle=$((data_at + stored / 2))
  mapfile -t bytes < <(od -An -v -tu1 -j "$middle" -N 64 "$WORK/rle-fallback.exe" | tr -s ' ' '\n' | sed '/^$/d')
  flip=
  for i in $(seq 1 63); do
    if [ "${bytes[i - 1]}" != 148 ] && [ "${bytes[i]}" != 148 ] && [ $((bytes[i] ^ 1)) != 148 ]; then
      flip=$i
      break
    fi
  done
  if [ -z "$flip" ]; then
    not_ok "incompressible installer" "no literal step at offset $middle"
    return
  fi
  cp "$WORK/rle-fallback.exe" "$WORK/rle-damaged.exe"
  printf '%b' "\\x$(printf %02x $((bytes[flip] ^ 1)))" |
    dd of="$WORK/rle-damaged.exe" bs=1 seek=$((middle + flip)) conv=notrunc status=none
  fresh
  run_setup_expecting_box "$WORK/rle-damaged.exe"
  if [ $rc != 1 ]; then
    not_ok "incompressible installer" "damaged: exit $rc, box '$(cat "$WORK/box.txt" 2>/dev/null)'"
  elif ! [[ "$(box_line text)" =~ ^Exception\ EBadChecksum\ in\ module\ rle-damaged\.exe\ at\ [0-9A-F]{8}\.$ ]] ||
    [ "$(box_second_line)" != "Bad checksum during expansion -- data may be invalid." ]; then
    not_ok "incompressible installer" "damaged: box '$(cat "$WORK/box.txt" 2>/dev/null)'"
  elif [ -e "$WINDIR/ZIVizivaz.exe.ran" ]; then
    not_ok "incompressible installer" "damaged: the installer was started"
  else
    ok "an installer that does not compress is RLE-coded: one byte of it damaged gives the EBadChecksum box, exit 1, installer not started"
  fi
}
check_rle_fallback

# --- paths outside the ANSI code page, long paths, and a raced temp folder ---
# Wine reads Unix file names as UTF-8 and runs with the ANSI code page 1252
# here, which has no 'Ł', '安' or 'Ω': a launcher that took its paths through
# the A calls would get '?' in their place and fail to open its own file or
# to create the temporary archive. Each case runs a Setup.exe made by
# `kvarc setup` (check_started above).

# set_temp WINDOWS-FOLDER: TEMP and TMP for the next runs (restore_temp undoes it).
"$WINE" reg export 'HKCU\Environment' "$(winpath "$WORK/environment.reg")" /y >/dev/null 2>&1
set_temp() {
  for var in TEMP TMP; do
    "$WINE" reg add 'HKCU\Environment' /v $var /t REG_EXPAND_SZ /d "$1" /f >/dev/null 2>&1
  done
  "$WINESERVER" -w
}
restore_temp() {
  "$WINE" reg import "$(winpath "$WORK/environment.reg")" >/dev/null 2>&1
  "$WINESERVER" -w
}

if "$KVARC" -q setup -f -o "$WORK/unicode.exe" "${launcher_args[@]}" "$INSTALLER" \
  "Data\\readme.txt=$WORK/readme.txt"; then
  fresh
  mkdir -p "$WORK/Łukasz 安装"
  cp "$WORK/unicode.exe" "$WORK/Łukasz 安装/setup Ω.exe"
  run_setup "$WORK/Łukasz 安装/setup Ω.exe"
  check_started "a Setup.exe in a folder named outside the code page starts the installer" \
    "$WORK/Łukasz 安装/setup Ω.exe" "$TEMPDIR" "C:\\users\\$(whoami)\\Temp"

  # A path of more than 260 characters, through folders of 100.
  fresh
  deep=$WORK/deep/$(printf 'a%.0s' $(seq 100))/$(printf 'b%.0s' $(seq 100))/Ωmega-$(printf 'c%.0s' $(seq 100))
  mkdir -p "$deep"
  cp "$WORK/unicode.exe" "$deep/setup.exe"
  deep_windows=$(winpath "$deep/setup.exe")
  run_setup "$deep/setup.exe"
  check_started "a Setup.exe at a path of ${#deep_windows} characters starts the installer" \
    "$deep/setup.exe" "$TEMPDIR" "C:\\users\\$(whoami)\\Temp"

  # Temporary folders named outside the code page, and one of 255
  # characters: the longest the system hands out (GetTempPathW stops at
  # MAX_PATH), too long for the system's own temporary names, and whose
  # files' names pass MAX_PATH.
  long_temp=C:\\$(printf 't%.0s' $(seq 123))\\$(printf 'u%.0s' $(seq 123))\\tëmp
  for temp in 'C:\tëmp Ωmega' "$long_temp"; do
    fresh
    temp_unix=$WINEPREFIX/drive_c/$(printf '%s' "${temp#C:\\}" | tr '\\' /)
    mkdir -p "$temp_unix"
    set_temp "$temp"
    run_setup "$WORK/unicode.exe"
    restore_temp
    check_started "a temporary folder of ${#temp} characters, '${temp:0:16}...': the installer starts and reads /DATA" \
      "$WORK/unicode.exe" "$temp_unix" "$temp"
    rm -rf "$temp_unix"
  done

  # The race: while a program of the same user keeps trying to overwrite,
  # rename or delete every KVI*.tmp in the temporary folder, Setup.exe runs
  # again and again, and the installer it starts must always be the genuine
  # one, never the one in the planted archive (the demo installer with bytes
  # added, which runs as well and would leave its report too).
  RACE_RUNS=${KV_RACE_RUNS:-200}
  cp "$INSTALLER" "$WORK/planted-installer.exe"
  printf 'PLANTED' >>"$WORK/planted-installer.exe"
  "$KVARC" -q create -f "$WORK/planted.zerk" "Installer\\ZIVizivaz.exe=$WORK/planted-installer.exe" \
    "Data\\readme.txt=$WORK/readme.txt"
  fresh
  rm -f "$WORK/race.stop" "$WORK/race.log"
  "$WINE" "$RACER" "$(winpath "$TEMPDIR")" "$(winpath "$WORK/planted.zerk")" \
    "$(winpath "$WORK/race.stop")" >"$WORK/race.log" 2>/dev/null &
  racer=$!
  genuine=0 planted=0 failed_runs=0
  for run in $(seq "$RACE_RUNS"); do
    rm -f "$WINDIR/ZIVizivaz.exe" "$WINDIR/ZIVizivaz.exe.report.txt" "$TEMPDIR"/KVI*
    # Not run_setup: its wait for the wineserver would wait for the racer.
    "$WINE" "$WORK/unicode.exe" >/dev/null 2>&1
    rc=$?
    for _ in $(seq 200); do
      [ -s "$WINDIR/ZIVizivaz.exe.report.txt" ] && break
      sleep 0.05
    done
    if [ $rc != 0 ] || [ ! -s "$WINDIR/ZIVizivaz.exe.report.txt" ]; then
      failed_runs=$((failed_runs + 1))
      echo "# race run $run: exit $rc, installer report: $(head -c 300 "$WINDIR/ZIVizivaz.exe.report.txt" 2>/dev/null)"
    elif cmp -s "$WINDIR/ZIVizivaz.exe" "$INSTALLER"; then
      genuine=$((genuine + 1))
    else
      planted=$((planted + 1))
    fi
  done
  touch "$WORK/race.stop"
  wait $racer
  racer_rc=$?
  "$WINESERVER" -w
  race_line=$(tr -d '\r' <"$WORK/race.log" 2>/dev/null)
  echo "# $race_line (exit $racer_rc)"
  # A racer that never met a held archive proves nothing.
  if [ $racer_rc != 0 ] || ! [[ "$race_line" =~ refused\ [1-9] ]]; then
    not_ok "race" "the racer did not race (exit $racer_rc): '$race_line'"
  elif [ "$genuine" = "$RACE_RUNS" ]; then
    ok "$RACE_RUNS runs beside a racer on the temporary archive: every one started the genuine installer"
  else
    not_ok "race" "of $RACE_RUNS runs, $genuine started the genuine installer, $planted the planted one, $failed_runs failed"
  fi
  rm -f "$WORK/race.stop"
else
  not_ok "paths outside the code page" "kvarc setup could not make the Setup.exe"
fi
# --- end of paths and race ---------------------------------------------------

# --- DLL planting and a launcher file held open -------------------------------
# A DLL beside Setup.exe named like one that is loaded on demand during the
# run (the message box loads uxtheme.dll), preferred to Wine's own as Windows
# would prefer a DLL in the program's folder, must never be loaded: its
# DllMain would leave uxtheme.dll.loaded. Checked through a normal end and
# through the "Application Error" box.
check_planted() {  # WHAT LAUNCHER EXPECTED-EXIT
  local what=$1 launcher=$2 expected=$3
  local folder
  folder=$(dirname "$launcher")
  rm -f "$folder/uxtheme.dll.loaded"
  cp "$PLANTED_DLL" "$folder/uxtheme.dll"
  if [ "$expected" = 1 ]; then
    WINEDLLOVERRIDES="mscoree,mshtml=;uxtheme=n,b" run_setup_expecting_box "$launcher"
  else
    WINEDLLOVERRIDES="mscoree,mshtml=;uxtheme=n,b" run_setup "$launcher"
  fi
  if [ $rc != "$expected" ]; then
    not_ok "planted DLL, $what" "exit $rc"
  elif [ -e "$folder/uxtheme.dll.loaded" ]; then
    not_ok "planted DLL, $what" "the DLL beside the launcher was loaded"
  elif [ "$expected" = 1 ] && [ "$(box_line caption)" != "Application Error" ]; then
    not_ok "planted DLL, $what" "no Application Error box"
  else
    ok "a DLL planted beside the launcher is not loaded: $what"
  fi
  rm -f "$folder/uxtheme.dll" "$folder/uxtheme.dll.loaded"
}
mkdir -p "$WORK/planted"
fresh
cp "$WORK/RLE.exe" "$WORK/planted/setup.exe"
check_planted "normal end" "$WORK/planted/setup.exe" 0
fresh
cp "$WORK/short.exe" "$WORK/planted/short.exe"
check_planted "Application Error box" "$WORK/planted/short.exe" 1

# The launcher's own file held open without sharing by another process (a
# virus scanner, say) from the moment the launcher starts: for half a second
# the launcher waits it out and ends normally; held for good, it gives up
# after about a second and a quarter with the "Application Error" box.
fresh
cp "$WORK/RLE.exe" "$WORK/held.exe"
"$WINE" "$RUN_HELD" "$(winpath "$WORK/held.exe")" 500 >/dev/null 2>&1
rc=$?
"$WINESERVER" -w
if [ $rc = 0 ] && cmp -s "$WINDIR/ZIVizivaz.exe" "$INSTALLER" && [ -e "$WINDIR/ZIVizivaz.exe.report.txt" ]; then
  ok "a launcher file held open for half a second: waited out, normal end"
else
  not_ok "launcher held briefly" "exit $rc"
fi
fresh
"$WINE" "$WATCHER" "$(winpath "$WORK/box.txt")" 60 >/dev/null 2>&1 &
watcher=$!
"$WINE" "$RUN_HELD" "$(winpath "$WORK/held.exe")" -1 >/dev/null 2>&1
rc=$?
wait $watcher
"$WINESERVER" -w
if [ $rc != 1 ]; then
  not_ok "launcher held for good" "exit $rc, box '$(cat "$WORK/box.txt" 2>/dev/null)'"
elif ! [[ "$(box_line text)" =~ ^Exception\ EFOpenError\ in\ module\ held\.exe\ at\ [0-9A-F]{8}\.$ ]] ||
  [ "$(box_second_line)" != "Cannot open file $(winpath "$WORK/held.exe")." ]; then
  not_ok "launcher held for good" "box '$(cat "$WORK/box.txt" 2>/dev/null)'"
elif [ -n "$(temp_archives)" ] || [ -e "$WINDIR/ZIVizivaz.exe" ]; then
  not_ok "launcher held for good" "files were created"
else
  ok "a launcher file held open for good: EFOpenError box, exit 1, nothing created"
fi
# --- end of DLL planting and held launcher file -------------------------------

# --- kvarc.exe with names outside the ANSI code page --------------------------
# kvarc.exe takes its arguments and the file system's names as Unicode and
# keeps them as UTF-8 inside: a folder named with characters that code page
# 1252 lacks is packed, listed, extracted by entry name and extracted whole.
kvarc_exe_unicode_names() {
  local exe=$WINBUILD/tools/kvarc.exe
  local top="$WORK/unicode"
  local src="$top/Łukasz 安装"
  local archive="$top/names.kva"
  rm -rf "$top"
  mkdir -p "$src/sub 子"
  head -c 70000 /dev/urandom >"$src/data.bin"
  printf 'ünï 字 text\n' >"$src/sub 子/ünï 字.txt"
  # A UTF-8 locale (C.UTF-8 is there wherever glibc is), so that Wine hands
  # names to and from Unix as UTF-8; the program's ANSI code page is then
  # 1252, which has none of 'Ł', '安', '子'.
  local -a run=(env LANG=C.UTF-8 LC_ALL=C.UTF-8 "$WINE" "$exe")
  local listing
  if ! "${run[@]}" -q create "$(winpath "$archive")" "$(winpath "$src")" >/dev/null 2>&1; then
    not_ok "kvarc.exe Unicode names" "create from '$src' failed"
    return
  fi
  listing=$("${run[@]}" list "$(winpath "$archive")" 2>/dev/null | tr -d '\r')
  if ! grep -qF 'Łukasz 安装\data.bin' <<<"$listing" ||
    ! grep -qF 'Łukasz 安装\sub 子\ünï 字.txt' <<<"$listing"; then
    not_ok "kvarc.exe Unicode names" "list shows other names: $listing"
    return
  fi
  if ! "${run[@]}" extract "$(winpath "$archive")" 'Łukasz 安装\sub 子\ünï 字.txt' \
    "$(winpath "$top/one 字.txt")" >/dev/null 2>&1 ||
    ! cmp -s "$top/one 字.txt" "$src/sub 子/ünï 字.txt"; then
    not_ok "kvarc.exe Unicode names" "extract of one entry by its name failed"
    return
  fi
  if ! "${run[@]}" -q extract "$(winpath "$archive")" -o "$(winpath "$top/out Ł")" >/dev/null 2>&1 ||
    ! diff -r "$src" "$top/out Ł/Łukasz 安装" >/dev/null; then
    not_ok "kvarc.exe Unicode names" "extract -o into '$top/out Ł' did not give the folder back"
    return
  fi
  ok "kvarc.exe packs, lists and extracts names outside the ANSI code page"
}
fresh
kvarc_exe_unicode_names
"$WINESERVER" -w
# --- end of kvarc.exe with names outside the ANSI code page -------------------

echo "e2e: $passed passed, $failed failed"
[ $failed = 0 ]
