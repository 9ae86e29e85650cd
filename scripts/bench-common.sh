# Shared by scripts/bench-lh5.sh and scripts/bench-lzh1.sh (sourced, not run).
#
# How the comparison scripts measure, so that every program does the same
# work: each one runs as a whole process and writes the expanded bytes to a
# file in one tmpfs directory ($work, under /dev/shm), the peers through
# their standard output redirected to that file, kvarc through
# "kvarc extract ARCHIVE NAME FILE". Every output is compared with the
# original once. The programs take turns, one round after the other, seven
# rounds; the figure of each is the median of its seven wall-clock times,
# so that load from elsewhere on a shared machine falls on all of them
# alike. Instruction counts come from callgrind (whole process), which do
# not move with load.

bench_need() {  # tools...
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "missing $tool (run scripts/setup-bench.sh)" >&2; exit 1; }
  done
}

# A work directory in tmpfs, removed on exit.
bench_workdir() {
  dir=/dev/shm
  [ -d "$dir" ] && [ -w "$dir" ] || dir=${TMPDIR:-/tmp}
  mktemp -d "$dir/kv-bench.XXXXXX"
}

# bench_inputs CORPUS_DIR WORK: WORK/mixed.bin, 64 MiB of 1 MiB turns of
# text (the corpus's expected outputs) and executable code (/usr/bin), and
# WORK/text.bin, 16 MiB of the text.
bench_inputs() {
  python3 - "$1" "$2" <<'EOF'
import glob, os, sys
corpus, work = sys.argv[1], sys.argv[2]
MiB = 1 << 20
mixed_mib, text_mib = 64, 16
text = b"".join(open(p, "rb").read() for p in sorted(glob.glob(corpus + "/*.out")))
code = b""
for p in sorted(glob.glob("/usr/bin/*")):
    if len(code) >= mixed_mib * MiB:
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
text_pool, code_pool = pool(text, mixed_mib * MiB), pool(code, mixed_mib * MiB)
mixed = b"".join((text_pool if i % 2 == 0 else code_pool)[i * MiB:(i + 1) * MiB]
                 for i in range(mixed_mib))
open(work + "/mixed.bin", "wb").write(mixed)
open(work + "/text.bin", "wb").write(text_pool[: text_mib * MiB])
EOF
}

# bench_rounds ORIGINAL OUT_DIR LABEL 'COMMAND' [LABEL 'COMMAND']...
# Each COMMAND is a shell command line whose output file is $OUT (set per
# program to OUT_DIR/LABEL.out). Prints "LABEL SECONDS" per program, the
# median of 7 interleaved rounds; fails when an output differs from ORIGINAL.
bench_rounds() {
  python3 - "$@" <<'EOF'
import filecmp, os, statistics, subprocess, sys, time
original, out_dir, pairs = sys.argv[1], sys.argv[2], sys.argv[3:]
programs = list(zip(pairs[0::2], pairs[1::2]))
times = {label: [] for label, _ in programs}
for round_ in range(7):
    for label, command in programs:
        out = os.path.join(out_dir, label + ".out")
        if os.path.exists(out):
            os.remove(out)
        env = dict(os.environ, OUT=out)
        t0 = time.perf_counter()
        subprocess.run(command, shell=True, check=True, env=env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        times[label].append(time.perf_counter() - t0)
        if round_ == 0 and not filecmp.cmp(out, original, shallow=False):
            sys.exit(label + ": output differs from the original")
        os.remove(out)
for label, _ in programs:
    print(label, "%.6f" % statistics.median(times[label]))
EOF
}

# bench_instructions 'COMMAND': callgrind's instruction total for the whole
# process; the command's output file is $OUT.
bench_instructions() {
  OUT=$work/callgrind.out
  export OUT
  # The shell execs the program in its own process, which valgrind follows.
  valgrind --tool=callgrind --trace-children=yes --callgrind-out-file="$work/callgrind.%p" \
    sh -c "exec $1" 2>&1 >/dev/null | awk '/Collected/ { n = $4 } END { print n }'
  rm -f "$work"/callgrind.*
  rm -f "$OUT"
}
