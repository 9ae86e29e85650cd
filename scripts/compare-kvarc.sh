#!/bin/bash
# Runs two kvarc programs over the same cases and compares everything they
# leave: the files they write, standard output, standard error and exit
# codes. For a change to kvarc that must not change what it does.
#
# usage: scripts/compare-kvarc.sh OLD_KVARC NEW_KVARC
# Both run in folders of the same name (below a fresh temporary folder), so
# that messages naming paths compare equal. Exits 1 when anything differs.
set -u
cd "$(dirname "$0")/.."
OLD=$(realpath "$1")
NEW=$(realpath "$2")
REPO=$PWD
LAUNCHER=${LAUNCHER:-$REPO/build/win32/launcher/Setup.exe}
TOP=$(mktemp -d)
[ -n "${KEEP:-}" ] && echo "kept in $TOP" || trap 'rm -rf "$TOP"' EXIT

# The inputs: text, random bytes, a long run, an empty file and a folder.
make_inputs() {
  mkdir -p in/tree/sub/deeper in/empty-dir
  cp "$REPO"/README.md in/text.txt
  head -c 300000 /dev/urandom >in/random.bin
  head -c 200000 /dev/zero >in/zeros.bin
  : >in/empty.txt
  cp "$REPO"/tools/*.cpp in/tree/
  cp "$REPO"/tests/data/lha/readme.txt in/tree/sub/
  head -c 70000 /dev/zero | tr '\0' 'x' >in/tree/sub/deeper/xs.txt
  cp "$LAUNCHER" in/inst.exe  # setup packs Windows programs only
  printf 'in/text.txt\nDocs\\zeros=in/zeros.bin\n' >in/list.txt
  head -c 4096 /dev/urandom >in/bad.kva
  cp "$REPO"/tests/data/lha-peers/originals/*.lzh "$REPO"/tests/data/lha/*.lzh in/
}

# case NAME ARGS...: runs the program in the current folder.
case_() {
  local name=$1
  shift
  "$BIN" "$@" >"out/$name.stdout" 2>"out/$name.stderr" </dev/null
  echo $? >"out/$name.rc"
}
# pipe_case NAME ARGS...: the same with standard output a pipe.
pipe_case() {
  local name=$1
  shift
  "$BIN" "$@" 2>"out/$name.stderr" </dev/null | cat >"out/$name.stdout"
  echo "${PIPESTATUS[0]}" >"out/$name.rc"
}

run_all() {
  mkdir -p out
  for m in NON RLE LZH LH5; do
    for l in 1 5 9; do
      case_ "create-$m-$l" create -v "a-$m-$l.kva" -m "$m" "-$l" in/text.txt in/random.bin \
        in/zeros.bin in/empty.txt in/tree
      case_ "list-$m-$l" list "a-$m-$l.kva"
      case_ "test-$m-$l" test -v "a-$m-$l.kva"
    done
  done
  case_ create-level-word create --level=7 -m lzh lvl.kva in/tree RLE:Z=in/zeros.bin
  case_ create-list create list.kva @in/list.txt
  pipe_case create-pipe create /dev/stdout -m LH5 in/tree in/random.bin
  case_ create-quiet create -q quiet.kva in/text.txt
  # The launcher both carry is the build's Setup.exe when each was built,
  # which differs in its link time stamp once rebuilt: the same one is
  # given to both, and the built-in one's output only counted.
  case_ setup setup -o s.exe --launcher "$LAUNCHER" in/inst.exe in/tree in/text.txt
  case_ setup-verbose setup -v -m RLE -9 -o s9.exe --launcher "$LAUNCHER" in/inst.exe in/zeros.bin
  case_ setup-builtin setup -o builtin.exe in/inst.exe in/tree
  rm -f builtin.exe
  case_ list-setup list s.exe
  case_ test-setup test s.exe
  case_ extract-one extract a-LH5-5.kva 'tree\sub\readme.txt' one.txt
  case_ extract-one-setup extract s.exe 'Installer\ZIVizivaz.exe' inst-out.exe
  pipe_case extract-stdout extract a-LZH-9.kva random.bin -
  case_ extract-tree extract -v a-RLE-1.kva -o outdir
  case_ extract-tree-named extract a-LH5-9.kva -o named 'TREE\SUB\readme.txt' zeros.bin
  case_ extract-tree-setup extract s.exe -o setupdir
  case_ stamp-archive create inst.kva 'Installer\ZIVizivaz.exe=in/inst.exe' in/zeros.bin
  case_ stamp stamp "$LAUNCHER" inst.kva stamped.exe
  case_ list-stamped list stamped.exe
  for f in in/*.lzh; do
    b=$(basename "$f" .lzh)
    case_ "import-$b" import -v "$f" "imp-$b.kva"
    case_ "test-imp-$b" test "imp-$b.kva"
    case_ "list-imp-$b" list "imp-$b.kva"
  done
  # Failures.
  case_ err-missing create m.kva in/nothing.txt
  case_ err-list-missing list in/nothing.kva
  case_ err-bad-archive list in/bad.kva
  case_ err-test-bad test in/bad.kva
  case_ err-exists create a-NON-1.kva in/text.txt
  case_ err-extract-exists extract a-LH5-5.kva 'tree\sub\readme.txt' one.txt
  case_ err-extract-tree-exists extract a-RLE-1.kva -o outdir
  case_ err-no-entry extract a-LH5-5.kva nothing out.txt
  case_ err-level create l.kva --level=0 in/text.txt
  case_ err-level-digits create l.kva -12 in/text.txt
  case_ err-method create l.kva -m ZIP in/text.txt
  case_ err-command frobnicate x
  case_ err-none
  case_ err-extract-args extract a-LH5-5.kva onlyone
  case_ err-setup-no-out setup in/inst.exe
  case_ err-setup-empty setup -o e.exe in/empty.txt
  case_ err-setup-folder setup -o e.exe in/tree
  case_ err-import-bad import in/bad.kva bad-imp.kva
  case_ err-stamp-twice stamp stamped.exe inst.kva st2.exe
  case_ err-empty-only create e.kva in/empty.txt
  case_ err-unknown-option list --frob a-NON-1.kva
  case_ help --help
  case_ help-create create --help
  case_ version --version
}

make_inputs_once() {
  mkdir -p "$TOP/inputs"
  (cd "$TOP/inputs" && make_inputs)
}
make_inputs_once
for side in old new; do
  mkdir -p "$TOP/$side/run"
  cp -r "$TOP/inputs/in" "$TOP/$side/run/in"
done
(cd "$TOP/old/run" && BIN=$OLD run_all)
(cd "$TOP/new/run" && BIN=$NEW run_all)
# Paths differ only in the side's folder name.
sed -i "s|$TOP/new|$TOP/old|g" "$TOP"/new/run/out/*
sed -i "s|$NEW|KVARC|g" "$TOP"/new/run/out/*
sed -i "s|$OLD|KVARC|g" "$TOP"/old/run/out/*
cases=$(ls "$TOP/old/run/out" | wc -l)
files=$(find "$TOP/old/run" -type f | wc -l)
if diff -r "$TOP/old/run" "$TOP/new/run"; then
  echo "same: $cases outputs and exit codes, $files files in all"
else
  echo "DIFFERENT (see above)"
  exit 1
fi
