#!/bin/sh
# The builder's compressors beside an LHA archiver and gzip: speed, size and
# peak memory of whole processes.
#
#   scripts/bench-compress.sh [--big] [--rounds N] [BUILD_DIR] [BASE_BUILD_DIR]
#
# Inputs (scripts/bench-common.sh): 64 MiB of mixed text and code and 16 MiB
# of text; with --big also 1 GiB made from the mixed data, each 64 MiB of it
# shuffled in 1 MiB pieces and with a byte changed every 4 KiB, so that no
# stretch repeats. Each program writes its output to a file in the work
# directory (tmpfs, or disk for --big when tmpfs has too little room):
#   kvarc LH5     kvarc create -m LH5 OUT f.bin=INPUT      (the default level)
#   kvarc LH5 -9  kvarc create -m LH5 -9 ...
#   kvarc LZH     kvarc create -m LZH ...
#   jlha          jlha ao5q OUT f.bin                       (-lh5-)
#   gzip -6/-9    gzip -6 -c INPUT > OUT
# The programs take turns, round after round (N rounds, 5 unless --rounds
# says otherwise); the figures are medians of wall-clock time, as MB/s of
# input, beside the output's size, that size as a ratio of jlha's, and the
# peak resident memory (GNU time's %M). BASE_BUILD_DIR, a build of another
# revision, runs its kvarc LH5 as "base LH5" in the same rounds.
#
# In the first round every kvarc output is checked: "kvarc test", and
# "kvarc extract" compared with the input; and each -lh5- stream kvarc wrote
# is wrapped in a level-0 LHA header (with the CRC-16 that jlha stored for
# the same input) and expanded by lhasa, which must give the input back.
#
# Needs jlha-utils, lhasa, gzip and GNU time (scripts/setup-bench.sh) and a
# build of kvarc.
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/scripts/bench-common.sh"
big=""
rounds=5
while [ $# -gt 0 ]; do
  case $1 in
    --big) big=1; shift ;;
    --rounds) rounds=${2:?--rounds needs a count}; shift 2 ;;
    --rounds=*) rounds=${1#--rounds=}; shift ;;
    -h|--help) sed -n '2,30p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "unknown option $1 (see --help)" >&2; exit 2 ;;
    *) break ;;
  esac
done
case $rounds in ''|*[!0-9]*|0) echo "--rounds needs a positive count" >&2; exit 2 ;; esac
build=${1:-"$here/build/host"}
base=${2:-}
kvarc="$build/tools/kvarc"
base_kvarc=${base:+"$base/tools/kvarc"}
bench_need jlha lhasa gzip python3
[ -x /usr/bin/time ] || { echo "missing GNU time (run scripts/setup-bench.sh)" >&2; exit 1; }
for k in "$kvarc" $base_kvarc; do
  [ -x "$k" ] || { echo "build $k first" >&2; exit 1; }
done

# The 1 GiB input and its outputs need some 3 GiB; tmpfs is used when it
# has that much room, the disk otherwise.
work=$(bench_workdir)
trap 'rm -rf "$work"' EXIT
if [ -n "$big" ]; then
  room=$(df -Pk "$work" | awk 'NR == 2 { print $4 }')
  if [ "$room" -lt $((3 * 1024 * 1024)) ]; then
    rm -rf "$work"
    work=$(mktemp -d "${TMPDIR:-/var/tmp}/kv-bench.XXXXXX")
  fi
fi
echo "making the inputs in $work" >&2
bench_inputs "$here/tests/data/lha-peers" "$work"
inputs="mixed text"
if [ -n "$big" ]; then
  python3 - "$work/mixed.bin" "$work/big.bin" <<'EOF'
import random, sys
MiB = 1 << 20
mixed = open(sys.argv[1], "rb").read()
pieces = [mixed[i:i + MiB] for i in range(0, len(mixed), MiB)]
with open(sys.argv[2], "wb") as out:
    for block in range(16):
        rng = random.Random(block)
        order = list(range(len(pieces)))
        rng.shuffle(order)
        for i in order:
            piece = bytearray(pieces[i])
            for at in range(rng.randrange(4096), len(piece), 4096):
                piece[at] = rng.randrange(256)
            out.write(piece)
EOF
  inputs="$inputs big"
fi

# rounds INPUT: the table for one input.
rounds() {
  f=$1
  set -- jlha "cd '$work/run' && exec jlha ao5q \"\$OUT\" f.bin" \
    "kvarc LH5" "exec '$kvarc' create -q -m LH5 \"\$OUT\" 'f.bin=$work/$f.bin'" \
    "kvarc LH5 -9" "exec '$kvarc' create -q -m LH5 -9 \"\$OUT\" 'f.bin=$work/$f.bin'" \
    "kvarc LZH" "exec '$kvarc' create -q -m LZH \"\$OUT\" 'f.bin=$work/$f.bin'"
  [ -n "$base" ] && set -- "$@" \
    "base LH5" "exec '$base_kvarc' create -q -m LH5 \"\$OUT\" 'f.bin=$work/$f.bin'"
  set -- "$@" "gzip -6" "exec gzip -6 -c '$work/$f.bin' >\"\$OUT\"" \
    "gzip -9" "exec gzip -9 -c '$work/$f.bin' >\"\$OUT\""
  # jlha stores the path it is given: the input is linked (hard) as f.bin in a
  # folder of its own.
  rm -rf "$work/run" && mkdir "$work/run" && ln "$work/$f.bin" "$work/run/f.bin"
  python3 - "$work/$f.bin" "$work" "$rounds" "$kvarc" "$@" <<'EOF'
import os, statistics, struct, subprocess, sys, time
original, work, rounds, kvarc, pairs = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4], sys.argv[5:]
programs = list(zip(pairs[0::2], pairs[1::2]))
MiB = 1 << 20
n = os.path.getsize(original)

def fail(message):
    sys.exit(os.path.basename(original) + ": " + message)

def same_as_original(path):
    with open(path, "rb") as a, open(original, "rb") as b:
        while True:
            x, y = a.read(MiB), b.read(MiB)
            if x != y:
                return False
            if not x:
                return True

def jlha_crc(path):  # the CRC-16 of the first member's header, levels 0 to 2
    h = open(path, "rb").read(64)
    if h[20] == 2:
        return struct.unpack_from("<H", h, 21)[0]
    return struct.unpack_from("<H", h, 22 + h[21])[0]

def check_kvarc(label, archive, crc):
    for args in (["test", archive], ["extract", "-f", archive, "f.bin", work + "/check.bin"]):
        r = subprocess.run([kvarc] + args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if r.returncode != 0:
            fail(label + ": kvarc " + args[0] + " failed: " + r.stderr.decode().strip())
    if not same_as_original(work + "/check.bin"):
        fail(label + ": kvarc extract does not give the input back")
    os.remove(work + "/check.bin")
    with open(archive, "rb") as z:
        z.seek(21)
        entry = z.read(25)
        name_length = struct.unpack_from("<h", entry, 0)[0]
        sourcesize = struct.unpack_from("<i", entry, 12)[0]
        method = entry[16]
        if method != 4:  # LH5; LZH and NON entries have no lhasa check here
            return
        # The entry's stored bytes after a level-0 -lh5- header.
        name = z.read(name_length)
        body = (b"-lh5-" + struct.pack("<IIIBBB", sourcesize, n, 0x5A210000, 0x20, 0, len(name))
                + name + struct.pack("<H", crc))
        with open(work + "/check.lzh", "wb") as lzh:
            lzh.write(bytes([len(body), sum(body) & 0xFF]) + body)
            left = sourcesize
            while left > 0:
                chunk = z.read(min(left, MiB))
                if not chunk:
                    fail(label + ": archive cut short")
                lzh.write(chunk)
                left -= len(chunk)
            lzh.write(b"\0")
    with open(work + "/check.bin", "wb") as out:
        r = subprocess.run(["lhasa", "pq", work + "/check.lzh"], stdout=out, stderr=subprocess.PIPE)
    if r.returncode != 0 or not same_as_original(work + "/check.bin"):
        fail(label + ": lhasa does not expand kvarc's -lh5- stream to the input")
    os.remove(work + "/check.bin")
    os.remove(work + "/check.lzh")

times = {label: [] for label, _ in programs}
peaks = {label: [] for label, _ in programs}
sizes = {}
crc = None
for round_ in range(rounds):
    for label, command in programs:
        out = os.path.join(work, "out-" + label.replace(" ", "_"))
        if os.path.exists(out):
            os.remove(out)
        mem = os.path.join(work, "mem")
        env = dict(os.environ, OUT=out)
        t0 = time.perf_counter()
        subprocess.run(["/usr/bin/time", "-f", "%M", "-o", mem, "sh", "-c", command], check=True,
                       env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        times[label].append(time.perf_counter() - t0)
        peaks[label].append(int(open(mem).read().split()[-1]))
        sizes[label] = os.path.getsize(out)
        if round_ == 0 and label == "jlha":
            crc = jlha_crc(out)
        if round_ == 0 and label.split()[0] in ("kvarc", "base"):
            check_kvarc(label, out, crc)
        os.remove(out)
    print("  round %d of %d done" % (round_ + 1, rounds), file=sys.stderr)

print("%s: %d bytes (%.0f MiB); medians of %d interleaved rounds" %
      (os.path.basename(original), n, n / MiB, rounds))
print("  %-14s %8s %14s %9s %10s" % ("program", "MB/s", "output bytes", "vs jlha", "peak MB"))
for label, _ in programs:
    print("  %-14s %8.1f %14d %9.4f %10.1f" %
          (label, n / statistics.median(times[label]) / 1e6, sizes[label],
           sizes[label] / sizes["jlha"], max(peaks[label]) / 1024))
EOF
}

echo "Compression, whole processes writing to files in $(dirname "$work"); every kvarc output"
echo "checked by kvarc test and extract, and its -lh5- stream by lhasa"
for f in $inputs; do
  rounds "$f"
done
