#!/bin/sh
# LZH1 expansion speed beside lhasa, the one peer that decodes -lh1-.
#
#   scripts/bench-lzh1.sh [BUILD_DIR] [BASE_BUILD_DIR]
#
# Two inputs (scripts/bench-common.sh): 64 MiB of mixed text and code, and
# 16 MiB of text, each coded by kvarc's -lh1- coder; the same stored bytes
# are wrapped in a level-0 LHA header for lhasa, so that both decode the
# same bits and write the same output to a file in tmpfs:
#   kvarc   kvarc extract -f ARCHIVE.zerk NAME FILE
#   lhasa   lhasa pq ARCHIVE.lzh > FILE
# Medians of 7 interleaved rounds of whole processes, and kvarc's speed as a
# multiple of lhasa's. BASE_BUILD_DIR, a build of another revision (say a
# git worktree of the main branch), runs as "base" in the same rounds. Then
# callgrind's instructions per output byte, whole process.
#
# Needs lhasa and valgrind (scripts/setup-bench.sh) and a build of kvarc.
# Where jlha-utils is installed, "lha" is the Java archiver; this script
# calls "lhasa" by that name.
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/scripts/bench-common.sh"
build=${1:-"$here/build/host"}
base=${2:-}
kvarc="$build/tools/kvarc"
base_kvarc=${base:+"$base/tools/kvarc"}
bench_need lhasa valgrind python3
for k in "$kvarc" $base_kvarc; do
  [ -x "$k" ] || { echo "build $k first" >&2; exit 1; }
done

work=$(bench_workdir)
trap 'rm -rf "$work"' EXIT
bench_inputs "$here/tests/data/lha-peers" "$work"
for f in mixed text; do
  "$kvarc" create -m LZH "$work/$f.zerk" "$f.bin=$work/$f.bin" >/dev/null
  # The archive's one entry, its stored bytes wrapped for lhasa.
  python3 - "$work/$f.zerk" "$work/$f.bin" "$work/$f.lzh" <<'EOF'
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
name = zerk[21 + 25:start]
body = (b"-lh1-" + struct.pack("<IIIBBB", len(stored), len(original), 0x5A210000, 0x20, 0,
                               len(name)) + name + struct.pack("<H", crc))
header = bytes([len(body), sum(body) & 0xFF]) + body
open(sys.argv[3], "wb").write(header + stored + b"\0")
EOF
  lhasa t "$work/$f.lzh" >/dev/null || { echo "lhasa rejects the wrapped $f stream" >&2; exit 1; }
done

echo "LZH1 expansion, whole process writing its output to a file in $(dirname "$work");"
echo "MB/s from the median of 7 interleaved rounds; kvarc's speed as a multiple of lhasa's"
printf "%-8s %10s" stream kvarc
[ -n "$base" ] && printf " %10s" base
printf " %16s\n" lhasa
for f in mixed text; do
  set -- kvarc "'$kvarc' extract -f '$work/$f.zerk' $f.bin \"\$OUT\""
  [ -n "$base" ] && set -- "$@" base "'$base_kvarc' extract -f '$work/$f.zerk' $f.bin \"\$OUT\""
  set -- "$@" lhasa "lhasa pq '$work/$f.lzh' >\"\$OUT\""
  bench_rounds "$work/$f.bin" "$work" "$@" >"$work/times"
  awk -v f="$f" -v n="$(wc -c <"$work/$f.bin")" -v has_base="$base" '
    { t[$1] = $2 }
    END {
      printf "%-8s %10.1f", f, n / t["kvarc"] / 1e6
      if (has_base != "") printf " %10.1f", n / t["base"] / 1e6
      printf "   %5.1f (%.2fx)\n", n / t["lhasa"] / 1e6, t["lhasa"] / t["kvarc"]
    }' "$work/times"
done

echo "instructions per output byte (callgrind, whole process)"
for f in mixed text; do
  n=$(wc -c <"$work/$f.bin")
  ours=$(bench_instructions "'$kvarc' extract -f '$work/$f.zerk' $f.bin \"\$OUT\"")
  theirs=""
  [ -n "$base" ] && theirs=$(bench_instructions "'$base_kvarc' extract -f '$work/$f.zerk' $f.bin \"\$OUT\"")
  lh=$(bench_instructions "lhasa pq '$work/$f.lzh' >\"\$OUT\"")
  awk -v f="$f" -v n="$n" -v k="$ours" -v b="$theirs" -v l="$lh" 'BEGIN {
    printf "%-8s kvarc %5.1f", f, k / n
    if (b != "") printf "   base %5.1f", b / n
    printf "   lhasa %5.1f\n", l / n }'
done
