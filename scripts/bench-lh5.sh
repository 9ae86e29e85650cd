#!/bin/sh
# LH5 expansion speed beside the peers that decode -lh5-, and the builder's
# compressed sizes beside an LHA archiver's.
#
#   scripts/bench-lh5.sh [BUILD_DIR] [MIB]
#
# The input is a mixed file of MIB MiB (default 32): 1 MiB turns of text (the
# corpus's expected outputs) and of executable code (/usr/bin). jlha
# (jlha-utils) compresses it to one -lh5- member ("jlha ao5q"), and
# "kvarc import" brings that very stream into this project's container, so
# that every tool decodes the same bits:
#   lhasa   lhasa pq ARCHIVE          (print to stdout, here /dev/null)
#   7-Zip   7zz e -so ARCHIVE
#   bsdtar  bsdtar -xOf ARCHIVE
#   kvarc   kvarc test ARCHIVE.zerk   (expand, verify the byte sum, discard)
# Best of three wall-clock runs of each whole process, and this project's
# benchmark (lh5_bench, the codec session in memory) on the same stream.
# Then callgrind's instructions per output byte: ExpandLh5 with the
# session's buffering and sums inside it, and each peer's whole process.
# Last, compressed sizes of kvarc's -lh5- writer and of jlha's on text, on
# binaries and on the mixed file.
#
# Needs lhasa, jlha-utils, 7zip, libarchive-tools and valgrind
# (scripts/setup-bench.sh) and a build with KV_BUILD_BENCH=ON.
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$here/build/lh5"}
mib=${2:-32}
corpus="$here/tests/data"
kvarc="$build/tools/kvarc"
bench="$build/bench/lh5_bench"
for tool in lhasa jlha 7zz bsdtar valgrind python3; do
  command -v "$tool" >/dev/null || { echo "missing $tool (run scripts/setup-bench.sh)" >&2; exit 1; }
done
[ -x "$kvarc" ] && [ -x "$bench" ] || { echo "build $build first (with KV_BUILD_BENCH=ON)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# --- the inputs ----------------------------------------------------------
python3 - "$corpus/lha-peers" "$work" "$mib" <<'EOF'
import glob, os, sys
corpus, work, mib = sys.argv[1], sys.argv[2], int(sys.argv[3])
MiB = 1 << 20
text = b"".join(open(p, "rb").read() for p in sorted(glob.glob(corpus + "/*.out")))
code = b""
for p in sorted(glob.glob("/usr/bin/*")):
    if len(code) >= mib * MiB:
        break
    if os.path.isfile(p) and not os.path.islink(p):
        with open(p, "rb") as f:
            head = f.read(4)
            if head == b"\x7fELF":
                code += head + f.read()
def pool(data, n):  # n bytes taken round the pool
    out = bytearray()
    while len(out) < n:
        out += data[: n - len(out)]
    return bytes(out)
text_pool, code_pool = pool(text, mib * MiB), pool(code, mib * MiB)
mixed = b"".join((text_pool if i % 2 == 0 else code_pool)[i * MiB:(i + 1) * MiB] for i in range(mib))
open(work + "/mixed.bin", "wb").write(mixed)
open(work + "/text.bin", "wb").write(text_pool[: 8 * MiB])
open(work + "/binary.bin", "wb").write(code_pool[: 8 * MiB])
EOF
(cd "$work" && jlha ao5q mixed.lzh mixed.bin >/dev/null)
"$kvarc" import "$work/mixed.lzh" "$work/mixed.zerk" >/dev/null
bytes=$(wc -c <"$work/mixed.bin")
for check in "lhasa t $work/mixed.lzh" "$kvarc test $work/mixed.zerk"; do
  $check >/dev/null || { echo "$check failed" >&2; exit 1; }
done

# --- wall clock ----------------------------------------------------------
best_seconds() {  # best of three runs of the command, in seconds
  best=""
  for _ in 1 2 3; do
    t0=$(date +%s.%N)
    "$@" >/dev/null
    t1=$(date +%s.%N)
    best=$(echo "$t0 $t1 $best" | awk '{d = $2 - $1; if ($3 == "" || d < $3) print d; else print $3}')
  done
  echo "$best"
}
ours=$(best_seconds "$kvarc" test "$work/mixed.zerk")
lhasa_s=$(best_seconds lhasa pq "$work/mixed.lzh")
sevenzip_s=$(best_seconds 7zz e -so "$work/mixed.lzh")
bsdtar_s=$(best_seconds bsdtar -xOf "$work/mixed.lzh")
bench_mbs=$(KV_LH5_BENCH_ARCHIVE="$work/mixed.zerk" "$bench" --benchmark_filter=Archive \
  --benchmark_repetitions=3 --benchmark_report_aggregates_only=true --benchmark_format=json |
  python3 -c 'import json, sys
runs = [b for b in json.load(sys.stdin)["benchmarks"] if b.get("aggregate_name") == "max" or b.get("aggregate_name") == "mean"]
print("%.1f" % (max(b["bytes_per_second"] for b in runs) / 1e6))')

echo "mixed file: $bytes bytes, jlha -lh5- stream $(wc -c <"$work/mixed.lzh") bytes with its header"
echo "wall clock, best of 3 (whole process: read, expand, check or print, discard)"
awk -v n="$bytes" -v k="$ours" -v l="$lhasa_s" -v s="$sevenzip_s" -v b="$bsdtar_s" -v m="$bench_mbs" 'BEGIN {
  ours = n / k / 1e6
  printf "  kvarc test  %8.1f MB/s\n", ours
  printf "  lhasa pq    %8.1f MB/s   kvarc/lhasa  %.2f\n", n / l / 1e6, l / k
  printf "  7zz e -so   %8.1f MB/s   kvarc/7-Zip  %.2f\n", n / s / 1e6, s / k
  printf "  bsdtar -xOf %8.1f MB/s   kvarc/bsdtar %.2f\n", n / b / 1e6, b / k
  printf "  lh5_bench (codec session in memory, same stream) %.1f MB/s\n", m
}'

# --- instructions per output byte ------------------------------------------
count() {  # callgrind's total for the command; extra valgrind options first
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
    awk '/Collected/ { print $4 }'
}
echo "instructions per output byte (callgrind)"
expand=$(count --toggle-collect='kv::ExpandLh5*' "$kvarc" test "$work/mixed.zerk")
whole=$(count "$kvarc" test "$work/mixed.zerk")
lhasa_i=$(count lhasa pq "$work/mixed.lzh")
sevenzip_i=$(count 7zz e -so -mmt1 "$work/mixed.lzh")
bsdtar_i=$(count bsdtar -xOf "$work/mixed.lzh")
awk -v n="$bytes" -v e="$expand" -v w="$whole" -v l="$lhasa_i" -v s="$sevenzip_i" -v b="$bsdtar_i" 'BEGIN {
  printf "  ExpandLh5 %.1f   kvarc test (whole process) %.1f\n", e / n, w / n
  printf "  lhasa %.1f   7zz %.1f   bsdtar %.1f   (whole processes)\n", l / n, s / n, b / n
}'

# --- compressed sizes ----------------------------------------------------------
echo "compressed -lh5- stream sizes (bytes; lower is better)"
for f in text binary mixed; do
  [ -f "$work/$f.lzh" ] || (cd "$work" && jlha ao5q "$f.lzh" "$f.bin" >/dev/null)
  jlha_size=$("$kvarc" import -f "$work/$f.lzh" "$work/$f.j.zerk" | awk '$1 == "LH5" { print $2 }')
  "$kvarc" create -m LH5 "$work/$f.k.zerk" "$work/$f.bin" >/dev/null
  "$kvarc" test "$work/$f.k.zerk" >/dev/null
  ours_size=$("$kvarc" list "$work/$f.k.zerk" | awk '$1 == "LH5" { print $2 }')
  awk -v f="$f" -v n="$(wc -c <"$work/$f.bin")" -v j="$jlha_size" -v k="$ours_size" 'BEGIN {
    printf "  %-7s %10d original  jlha %10d (%.2f%%)  kvarc %10d (%.2f%%)  kvarc/jlha %.4f\n",
           f, n, j, 100 * j / n, k, 100 * k / n, k / j }'
done
