# Every command that writes, by every kind of output: the result is
# complete and correct (the bytes of the same command's output to a new
# file), or the command refuses and writes nothing. Result lines never go
# where the data goes.

# Fixtures: a data folder, an archive with an installer, an LHA archive.
mkdir -p data/sub
seq 1 3000 >data/sub/numbers.txt
printf 'plain bytes' >data/plain.txt
"$KVARC" create -q payload.zerk "Installer\\ZIVizivaz.exe=$LAUNCHER" data
cp "$DATA/lha/h1_lh5.lzh" in.lzh

# write COMMAND OUT [FLAGS]: the command's kvarc arguments writing OUT.
args() {
  local out=$1
  shift
  words "$out" "$@" | tr -s ' '
}
words() {
  local out=$1
  shift
  case $command in
    create) echo "create $* $out data" ;;
    setup) echo "setup $* --launcher $LAUNCHER -o $out $LAUNCHER data" ;;
    stamp) echo "stamp $* $LAUNCHER payload.zerk $out" ;;
    import) echo "import $* in.lzh $out" ;;
    extract) echo "extract $* payload.zerk data/sub/numbers.txt $out" ;;
  esac
}
check() {
  if [ "$command" = extract ]; then same "$1" ref.$command; else verdict "$1"; same "$1" ref.$command; fi
}
fixtures_made

for command in create setup stamp import extract; do
  echo
  echo "### $command"
  # shellcheck disable=SC2046
  "$KVARC" $(args ref.$command -q)
  echo "- a new file"
  kvarc $(args new.$command)
  check new.$command
  echo "- an existing file, without and with -f"
  echo old >old.$command
  kvarc $(args old.$command)
  echo "= old.$command: $(cat old.$command)"
  kvarc $(args old.$command -f)
  same old.$command ref.$command
  echo "- a link to an existing file (written through: the link stays)"
  echo old >target.$command
  ln -s target.$command link.$command
  kvarc $(args link.$command -f)
  [ -L link.$command ] && echo "= link.$command: still a link"
  same target.$command ref.$command
  echo "- a link to no file yet (made where it leads)"
  ln -s made.$command dangling.$command
  kvarc $(args dangling.$command)
  same made.$command ref.$command
  echo "- standard output, into a file and into a pipe"
  sh_case "kvarc $(args -) >stdout.$command" "\"\$KVARC\" $(args -) >stdout.$command"
  same stdout.$command ref.$command
  sh_case "kvarc $(args -) | cat >piped.$command" "\"\$KVARC\" $(args -) | cat >piped.$command"
  same piped.$command ref.$command
  echo "- /dev/stdout redirected to a file"
  sh_case "kvarc $(args /dev/stdout -f) >devout.$command" \
    "\"\$KVARC\" $(args /dev/stdout -f) >devout.$command"
  same devout.$command ref.$command
  echo "- a named pipe"
  mkfifo fifo.$command
  cat fifo.$command >fromfifo.$command &
  kvarc $(args fifo.$command)
  wait
  same fromfifo.$command ref.$command
  echo "- a device"
  kvarc $(args /dev/null)
  echo "- refused: a folder, a missing folder"
  mkdir folder.$command
  kvarc $(args folder.$command)
  kvarc $(args nowhere/out.$command)
  rm -rf folder.$command
  rm -f ./*.$command
  left
done
