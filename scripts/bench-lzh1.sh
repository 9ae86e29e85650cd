#!/bin/sh
# LZH1 expansion speed beside lhasa, the one peer that decodes -lh1-.
#
#   scripts/bench-lzh1.sh [BUILD_DIR] [COPIES]
#
# Both sides expand the same -lh1- streams:
#   lharc113-long  the corpus's LONG.TXT member as LHarc 1.13 wrote it, the
#                  member repeated COPIES times (default 16) in one .lzh
#   mixed          the benchmark's mixed input (lzh1_bench --write-mixed),
#                  coded by kvarc and wrapped in a level-0 LHA header
# lhasa runs "lhasa pq" (print to stdout, here /dev/null; it checks each
# member's CRC); this project runs "kvarc extract" on the same stream in its
# own container, through the launcher's path (expand, verify the byte sum,
# write to /dev/null). Best of five CPU times each, then the ratio. Then
# callgrind counts the instructions that ExpandLzh1 spends per output byte,
# with the session's buffering, byte sum and block writes that it calls, and
# lhasa's whole-process count for comparison.
#
# Needs lhasa and valgrind (scripts/setup-bench.sh) and a build with
# KV_BUILD_BENCH=ON. Note: where jlha-utils is installed, "lha" is the Java
# archiver; this script calls "lhasa" by that name.
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$here/build/lzh1"}
copies=${2:-16}
corpus="$here/tests/data"
kvarc="$build/tools/kvarc"
bench="$build/bench/lzh1_bench"
for tool in lhasa valgrind python3 /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing $tool (run scripts/setup-bench.sh)" >&2; exit 1; }
done
[ -x "$kvarc" ] && [ -x "$bench" ] || { echo "build $build first (with KV_BUILD_BENCH=ON)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# --- the inputs ----------------------------------------------------------
# lharc113-long: LHA archives are a run of members and a 0 byte; the member
# is copied as it is, headers, CRC and all.
python3 - "$corpus/lha-peers/originals/lharc113-long.lzh" "$work/long.lzh" "$copies" <<'EOF'
import sys
data = open(sys.argv[1], "rb").read()
assert data[-1] == 0 and data[2:7] == b"-lh1-"
open(sys.argv[2], "wb").write(data[:-1] * int(sys.argv[3]) + b"\0")
EOF
# The kvarc side must carry LHarc's stream, not its own coder's: the
# corpus archive holds exactly that stream, so it is repeated entry by entry.
python3 - "$corpus/lha-peers/lharc113-long.zerk" "$work/long.zerk" "$copies" <<'EOF'
import struct, sys
data = open(sys.argv[1], "rb").read()
copies = int(sys.argv[3])
head, entry = bytearray(data[:21]), data[21:]
name_len = struct.unpack_from("<h", entry, 0)[0]
destsize = struct.unpack_from("<i", entry, 8)[0]
entry = entry[:25 + name_len + struct.unpack_from("<i", entry, 12)[0]]
struct.pack_into("<i", head, 8, destsize * copies)
open(sys.argv[2], "wb").write(bytes(head) + entry * copies)
EOF

# mixed: coded by kvarc, and the same stored bytes wrapped for lhasa.
"$bench" --write-mixed "$work/mixed.bin"
"$kvarc" create -m LZH "$work/mixed.zerk" "MIXED.BIN=$work/mixed.bin" >/dev/null
python3 - "$work/mixed.zerk" "$work/mixed.bin" "$work/mixed.lzh" <<'EOF'
import struct, sys
zerk = open(sys.argv[1], "rb").read()
original = open(sys.argv[2], "rb").read()
name_len = struct.unpack_from("<h", zerk, 21)[0]
stored_size = struct.unpack_from("<i", zerk, 21 + 12)[0]
start = 21 + 25 + name_len
stored = zerk[start:start + stored_size]
crc = 0  # CRC-16 as LHA computes it (polynomial 0xA001, reflected)
table = []
for n in range(256):
    c = n
    for _ in range(8):
        c = (c >> 1) ^ 0xA001 if c & 1 else c >> 1
    table.append(c)
for b in original:
    crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8)
name = b"MIXED.BIN"
body = (b"-lh1-" + struct.pack("<IIIBBB", len(stored), len(original), 0x5A210000, 0x20, 0,
                               len(name)) + name + struct.pack("<H", crc))
header = bytes([len(body), sum(body) & 0xFF]) + body
open(sys.argv[3], "wb").write(header + stored + b"\0")
EOF
lhasa t "$work/mixed.lzh" >/dev/null || { echo "lhasa rejects the wrapped mixed stream" >&2; exit 1; }
lhasa t "$work/long.lzh" >/dev/null
"$kvarc" test "$work/long.zerk" >/dev/null
"$kvarc" test "$work/mixed.zerk" >/dev/null

# --- time ------------------------------------------------------------------
# CPU seconds (user + system), best of five: the machine may be shared, and
# CPU time is less disturbed by other load than wall-clock time.
best_seconds() {
  best=""
  for _ in 1 2 3 4 5; do
    /usr/bin/time -o "$work/time" -f "%U %S" "$@" >/dev/null 2>&1
    t=$(awk '{ print $1 + $2 }' "$work/time")
    best=$(echo "$t $best" | awk '{ if ($2 == "" || $1 < $2) print $1; else print $2 }')
  done
  echo "$best"
}

report() {  # label bytes lhasa-seconds kvarc-seconds
  awk -v l="$1" -v n="$2" -v a="$3" -v b="$4" 'BEGIN {
    printf "%-15s %10d bytes  lhasa %7.1f MB/s  kvarc %7.1f MB/s  ratio %.2f\n",
           l, n, n / a / 1e6, n / b / 1e6, a / b }'
}

long_bytes=$((1241658 * copies))
mixed_bytes=$(wc -c <"$work/mixed.bin")
echo "CPU time, best of 5: lhasa pq ARCHIVE.lzh >/dev/null vs kvarc extract ARCHIVE.zerk NAME /dev/null"
report lharc113-long "$long_bytes" "$(best_seconds lhasa pq "$work/long.lzh")" \
  "$(best_seconds "$kvarc" extract -f "$work/long.zerk" LONG.TXT /dev/null)"
report mixed "$mixed_bytes" "$(best_seconds lhasa pq "$work/mixed.lzh")" \
  "$(best_seconds "$kvarc" extract -f "$work/mixed.zerk" MIXED.BIN /dev/null)"

# --- instructions per output byte ------------------------------------------
count() {  # callgrind's total for the command; extra valgrind options first
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
    awk '/Collected/ { print $4 }'
}
echo "instructions per output byte (callgrind)"
for case in long mixed; do
  bytes=$long_bytes
  [ "$case" = mixed ] && bytes=$mixed_bytes
  name=LONG.TXT
  [ "$case" = mixed ] && name=MIXED.BIN
  ours=$(count --toggle-collect='kv::ExpandLzh1*' "$kvarc" extract -f "$work/$case.zerk" "$name" /dev/null)
  theirs=$(count lhasa pq "$work/$case.lzh")
  awk -v c="$case" -v n="$bytes" -v a="$ours" -v b="$theirs" 'BEGIN {
    printf "%-15s ExpandLzh1 %6.1f   lhasa (whole process) %6.1f\n", c, a / n, b / n }'
done
