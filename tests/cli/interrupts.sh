# Interrupts leave nothing: Ctrl-C, SIGTERM and SIGHUP end kvarc with one
# line and the signal's usual code, and even SIGKILL leaves no file behind
# (the output is an unnamed file until it is complete). Debris of an
# earlier run that could not clean up is removed by the next.

head -c $((48 << 20)) /dev/urandom >big.bin # LH5 at -9 takes seconds over it
seq 1 1000 >small.txt
fixtures_made
tmp=$(mktemp -d)

for signal in INT TERM HUP KILL; do
  for command in create setup sign; do
    case $command in
      create) set -- create -9 out.zerk big.bin ;;
      setup) set -- setup -9 --launcher "$LAUNCHER" -o out.exe "$LAUNCHER" big.bin ;;
      # Interrupted while the Setup.exe is still being made in its private
      # folder, before the command would run.
      sign) set -- setup -9 --launcher "$LAUNCHER" -o out.exe --sign 'true {}' "$LAUNCHER" big.bin ;;
    esac
    printf '$ timeout -s %s 1 kvarc %s\n' "$signal" "$*"
    rm -rf "$tmp" && mkdir "$tmp"
    # In a shell of its own, so that no job report of the killed process
    # (with its number) reaches the transcript.
    TMPDIR=$tmp bash -c 'timeout --preserve-status -s "$0" 1 "$@" 2>"$T/.err"' \
      "$signal" "$KVARC" "$@" 2>/dev/null
    echo "exit $?"
    sed 's/^/err| /' "$T/.err"
    left
    [ $command != sign ] || echo "= left in TMPDIR: $(find "$tmp" -mindepth 1 | wc -l)"
  done
done
rm -rf "$tmp"

echo "- a file an earlier run left is removed"
: >out.zerk.kvarc-999999999
kvarc create out.zerk small.txt
left
