#!/bin/bash
# Builds the libFuzzer targets (preset `fuzz`: clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a bounded time, starting from
# its seed corpus in fuzz/corpus/<target>/. New inputs go to
# build/fuzz/runs/<target>/corpus, never into the source tree. Any crash,
# sanitizer report, leak, time-out or oracle failure fails the script; the
# input that caused it is left in build/fuzz/runs/<target>/ (copy it into
# fuzz/corpus/<target>/regression-<what> once the fault is fixed, so that the
# replay test keeps it).
#
# usage: scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]
#   default: 25 seconds for every target (KV_FUZZ_SECONDS overrides)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-${KV_FUZZ_SECONDS:-25}}
shift $(($# > 0 ? 1 : 0))
if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for f in fuzz/*_fuzzer.cpp; do
    t=$(basename "$f" _fuzzer.cpp)
    targets+=("$t")
  done
fi

cmake --preset fuzz -DKV_WERROR=ON >/dev/null
if ! cmake --build build/fuzz -j"$(nproc)" --target "${targets[@]/#/fuzz_}" \
  >build/fuzz/build.log 2>&1; then
  tail -n 60 build/fuzz/build.log >&2
  exit 1
fi

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=()
printf '%-16s %10s %8s %6s\n' target execs seconds cov
for t in "${targets[@]}"; do
  run=build/fuzz/runs/$t
  mkdir -p "$run/corpus"
  status=0
  build/fuzz/fuzz/fuzz_"$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 \
    -print_final_stats=1 -artifact_prefix="$run/" "$run/corpus" "fuzz/corpus/$t" \
    >"$run/log" 2>&1 || status=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$run/log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$run/log" | tail -1 | cut -d' ' -f2)
  printf '%-16s %10s %8s %6s\n' "$t" "${execs:-?}" "$seconds" "${cov:-?}"
  if [ $status != 0 ] || grep -q -E 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:' "$run/log"; then
    failed+=("$t")
    echo "--- $t failed (exit $status); the end of its log:" >&2
    tail -n 60 "$run/log" >&2
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: failed: ${failed[*]}" >&2
  exit 1
fi
echo "fuzz: ${#targets[@]} targets, ${seconds} s each, no findings"
