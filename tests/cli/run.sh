#!/bin/bash
# Runs one command-line case script and compares what it printed with its
# golden transcript, CASE.expected beside it (KV_UPDATE_GOLDEN=1 writes
# that file instead). A case script runs in a fresh folder with the
# helpers below; what it prints is the transcript: every kvarc run with its
# exit code and its lines, and what the case found in the files made.
#
#   run.sh CASE.sh KVARC LAUNCHER
#
# LAUNCHER is the unstamped i686 Setup.exe (the win32 build's); without it
# the case is skipped (exit 77).
set -uo pipefail
case_file=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
KVARC=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
LAUNCHER=${3:-}
if [ -z "$LAUNCHER" ] || [ ! -f "$LAUNCHER" ]; then
  echo "no launcher image ($LAUNCHER): build the win32 preset first" >&2
  exit 77
fi
LAUNCHER=$(cd "$(dirname "$LAUNCHER")" && pwd)/$(basename "$LAUNCHER")
DATA=$(cd "$(dirname "$case_file")/../data" && pwd)
export KVARC LAUNCHER DATA

T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
cd "$T" || exit 1

# kvarc ARGS...: runs kvarc and prints the command, its exit code and its
# lines (standard output as "out|", standard error as "err|").
kvarc() {
  printf '$ kvarc %s\n' "$*"
  "$KVARC" "$@" >"$T/.out" 2>"$T/.err" </dev/null
  local code=$?
  echo "exit $code"
  sed 's/^/out| /' "$T/.out"
  sed 's/^/err| /' "$T/.err"
  return 0
}
# sh LABEL COMMAND: runs a shell command line (with pipes or redirections)
# that calls "$KVARC"; prints LABEL for it, its exit code and standard error.
sh_case() {
  printf '$ %s\n' "$1"
  bash -o pipefail -c "$2" 2>"$T/.err"
  echo "exit $?"
  sed 's/^/err| /' "$T/.err"
}
# verdict FILE: kvarc test's last line for an archive or Setup.exe.
verdict() {
  if [ ! -e "$1" ]; then echo "= $1: absent"; return; fi
  "$KVARC" test "$1" >"$T/.v" 2>&1
  echo "= $1: test exit $? ($(tail -n 1 "$T/.v"))"
}
# same FILE REFERENCE: whether FILE holds exactly the reference's bytes.
same() {
  if [ ! -e "$1" ]; then echo "= $1: absent"; elif cmp -s "$1" "$2"; then
    echo "= $1: the reference's bytes"; else echo "= $1: DIFFERS from the reference"; fi
}
# flip FILE OFFSET: inverts the bits of one byte.
flip() {
  local byte
  byte=$(od -An -tu1 -j "$2" -N1 "$1" | tr -d ' ')
  printf "\\$(printf '%03o' $((byte ^ 255)))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
# poke FILE OFFSET TEXT: writes TEXT over the bytes at OFFSET.
poke() { printf '%s' "$3" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none; }
# offset_of FILE TEXT [FROM]: the offset of the first TEXT at or after FROM.
offset_of() {
  grep -obUaF -- "$2" "$1" | cut -d: -f1 | awk -v from="${3:-0}" '$1 >= from { print; exit }'
}
# fixtures_made: what is in the folder now is the case's fixtures.
fixtures_made() { find . -mindepth 1 -not -name '.*' | sort >"$T/.fixtures"; }
# left: what is in the folder besides the fixtures (debris included).
left() {
  echo "= left: $(find . -mindepth 1 -not -name '.*' | sort | comm -13 "$T/.fixtures" - | tr '\n' ' ')"
}
: >"$T/.fixtures"
export -f kvarc sh_case verdict same flip poke offset_of fixtures_made left
export T

# Paths, and the sizes that follow from the launcher's (which changes with
# every change of the launcher), are written as names.
transcript=$(source "$case_file" 2>&1 | sed -E -e "s|$T|\$T|g" -e "s|$LAUNCHER|\$LAUNCHER|g" \
  -e "s|$DATA|\$DATA|g" -e '/a launcher of|payload at offset|archive at offset|certificate table at offset/s/[0-9]+/N/g' \
  -e '/"(image_size|marker_offset|payload_offset|offset)":/s/[0-9]+/N/g')
expected=${case_file%.sh}.expected
if [ "${KV_UPDATE_GOLDEN:-0}" = 1 ]; then
  printf '%s\n' "$transcript" >"$expected"
  echo "wrote $expected"
  exit 0
fi
if ! diff -u "$expected" <(printf '%s\n' "$transcript"); then
  echo "FAILED: $(basename "$case_file") differs from its golden transcript (above)" >&2
  exit 1
fi
echo "$(basename "$case_file"): as expected"
