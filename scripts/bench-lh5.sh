#!/bin/sh
# LH5 expansion speed beside the peers that decode -lh5-, and the builder's
# compressed sizes beside an LHA archiver's.
#
#   scripts/bench-lh5.sh [BUILD_DIR] [BASE_BUILD_DIR]
#
# Two inputs (scripts/bench-common.sh): 64 MiB of mixed text and code, and
# 16 MiB of text. jlha (jlha-utils) compresses each to one -lh5- member
# ("jlha ao5q"), and "kvarc import" brings that very stream into this
# project's container, so that every program decodes the same bits and
# writes the same output to a file in tmpfs:
#   kvarc   kvarc extract -f ARCHIVE.zerk NAME FILE
#   bsdtar  bsdtar -xOf ARCHIVE > FILE
#   7-Zip   7zz e -so ARCHIVE > FILE
#   lhasa   lhasa pq ARCHIVE > FILE
# Medians of 7 interleaved rounds of whole processes, and kvarc's speed as a
# multiple of each peer's. BASE_BUILD_DIR, a build of another revision (say
# a git worktree of the main branch), runs as "base" in the same rounds.
# Then callgrind's instructions per output byte, whole process, and last,
# compressed sizes of kvarc's -lh5- writer and of jlha's.
#
# Needs lhasa, jlha-utils, 7zip, libarchive-tools and valgrind
# (scripts/setup-bench.sh) and a build of kvarc.
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/scripts/bench-common.sh"
build=${1:-"$here/build/host"}
base=${2:-}
kvarc="$build/tools/kvarc"
base_kvarc=${base:+"$base/tools/kvarc"}
bench_need lhasa jlha 7zz bsdtar valgrind python3
for k in "$kvarc" $base_kvarc; do
  [ -x "$k" ] || { echo "build $k first" >&2; exit 1; }
done

work=$(bench_workdir)
trap 'rm -rf "$work"' EXIT
bench_inputs "$here/tests/data/lha-peers" "$work"
for f in mixed text; do
  (cd "$work" && jlha ao5q "$f.lzh" "$f.bin" >/dev/null)
  "$kvarc" import "$work/$f.lzh" "$work/$f.zerk" >/dev/null
done

echo "LH5 expansion, whole process writing its output to a file in $(dirname "$work");"
echo "MB/s from the median of 7 interleaved rounds; kvarc's speed as a multiple of each peer's"
printf "%-8s %10s" stream kvarc
[ -n "$base" ] && printf " %10s" base
printf " %16s %16s %16s\n" bsdtar 7-Zip lhasa
for f in mixed text; do
  set -- kvarc "'$kvarc' extract -f '$work/$f.zerk' $f.bin \"\$OUT\""
  [ -n "$base" ] && set -- "$@" base "'$base_kvarc' extract -f '$work/$f.zerk' $f.bin \"\$OUT\""
  set -- "$@" bsdtar "bsdtar -xOf '$work/$f.lzh' >\"\$OUT\"" \
    7zip "7zz e -so '$work/$f.lzh' >\"\$OUT\"" lhasa "lhasa pq '$work/$f.lzh' >\"\$OUT\""
  bench_rounds "$work/$f.bin" "$work" "$@" >"$work/times"
  awk -v f="$f" -v n="$(wc -c <"$work/$f.bin")" -v has_base="$base" '
    { t[$1] = $2 }
    END {
      printf "%-8s %10.1f", f, n / t["kvarc"] / 1e6
      if (has_base != "") printf " %10.1f", n / t["base"] / 1e6
      split("bsdtar 7zip lhasa", peers, " ")
      for (i = 1; i <= 3; i++) printf "   %5.1f (%.2fx)", n / t[peers[i]] / 1e6, t[peers[i]] / t["kvarc"]
      printf "\n"
    }' "$work/times"
done

echo "instructions per output byte (callgrind, whole process)"
for f in mixed text; do
  n=$(wc -c <"$work/$f.bin")
  ours=$(bench_instructions "'$kvarc' extract -f '$work/$f.zerk' $f.bin \"\$OUT\"")
  theirs=""
  [ -n "$base" ] && theirs=$(bench_instructions "'$base_kvarc' extract -f '$work/$f.zerk' $f.bin \"\$OUT\"")
  bsd=$(bench_instructions "bsdtar -xOf '$work/$f.lzh' >\"\$OUT\"")
  sz=$(bench_instructions "7zz e -so -mmt1 '$work/$f.lzh' >\"\$OUT\"")
  lh=$(bench_instructions "lhasa pq '$work/$f.lzh' >\"\$OUT\"")
  awk -v f="$f" -v n="$n" -v k="$ours" -v b="$theirs" -v d="$bsd" -v s="$sz" -v l="$lh" 'BEGIN {
    printf "%-8s kvarc %5.1f", f, k / n
    if (b != "") printf "   base %5.1f", b / n
    printf "   bsdtar %5.1f   7-Zip %5.1f   lhasa %5.1f\n", d / n, s / n, l / n }'
done

echo "compressed -lh5- stream sizes (bytes; lower is better)"
for f in text mixed; do
  jlha_size=$("$kvarc" list "$work/$f.zerk" | awk '$1 == "LH5" { print $2 }')
  "$kvarc" create -m LH5 "$work/$f.k.zerk" "$work/$f.bin" >/dev/null
  "$kvarc" test "$work/$f.k.zerk" >/dev/null
  ours_size=$("$kvarc" list "$work/$f.k.zerk" | awk '$1 == "LH5" { print $2 }')
  awk -v f="$f" -v n="$(wc -c <"$work/$f.bin")" -v j="$jlha_size" -v k="$ours_size" 'BEGIN {
    printf "  %-7s %10d original  jlha %10d (%.2f%%)  kvarc %10d (%.2f%%)  kvarc/jlha %.4f\n",
           f, n, j, 100 * j / n, k, 100 * k / n, k / j }'
done
