# Damaged and wrong inputs: each ends in a correct result or a refusal with
# a non-zero exit and nothing written; none in exit 0 over a broken file.

installer=$LAUNCHER # a Windows program that the launcher can start
seq 1 20000 >text.txt
printf 'stored bytes, kept as they are' >stored.txt
"$KVARC" create -q good.zerk "Installer\\ZIVizivaz.exe=$installer" text.txt
"$KVARC" create -q -m NON stored.zerk stored.txt text.txt
fixtures_made

echo "### stamp checks the archive whole before it writes"
cp good.zerk badsum.zerk
flip badsum.zerk $((21 + 25 + 23 + 300)) # inside the installer's coded bytes
kvarc stamp "$LAUNCHER" badsum.zerk out.exe
head -c $(($(stat -c %s good.zerk) / 2)) good.zerk >half.zerk
kvarc stamp "$LAUNCHER" half.zerk out.exe
kvarc stamp "$LAUNCHER" stored.zerk out.exe
cp good.zerk badtype.zerk
printf '\007' | dd of=badtype.zerk bs=1 seek=12 conv=notrunc status=none # the archive type
kvarc stamp "$LAUNCHER" badtype.zerk out.exe
verdict out.exe

echo
echo "### test: a stored entry whose byte sum does not match"
cp stored.zerk flipped.zerk
flip flipped.zerk $((21 + 25 + 10 + 5))
kvarc test flipped.zerk
kvarc list flipped.zerk

echo
echo "### test: a Setup.exe whose installer's name is damaged"
"$KVARC" setup -q --launcher "$LAUNCHER" -o good.exe "$installer" text.txt
cp good.exe renamed.exe
poke renamed.exe "$(offset_of renamed.exe 'ZIVizivaz.exe' "$(stat -c %s "$LAUNCHER")")" X
kvarc test renamed.exe
echo "- bytes after the payload are reported"
cp good.exe appended.exe
printf 'appended after the payload' >>appended.exe
kvarc test appended.exe

echo
echo "### an archive cut where an entry ends"
head -c $((21 + 25 + 10 + 30)) stored.zerk >cut.zerk
kvarc list cut.zerk
kvarc extract cut.zerk -o cut-out
echo "= cut-out: $(cd cut-out && find . -type f | sort | tr '\n' ' ')"
kvarc test cut.zerk
echo "- the one-file form keeps the component's verdict"
kvarc extract cut.zerk stored.txt one.txt
echo "= one.txt: $(cat one.txt)"

echo
echo "### a failure inside an entry names the entry"
cp good.zerk inside.zerk
flip inside.zerk $((21 + 25 + 23 + 300))
kvarc extract inside.zerk -o inside-out
kvarc extract inside.zerk installer/zivizivaz.exe inside.exe

echo
echo "### inputs checked up front"
kvarc setup --launcher "$LAUNCHER" -o text.exe text.txt
"$KVARC" setup -q --launcher good.exe -o twice.exe "$installer" 2>&1

echo
echo "### 2 GiB: refused before anything is read"
truncate -s 1500M big1.bin
truncate -s 600M big2.bin
kvarc create big.zerk big1.bin big2.bin
# With the launcher, the installer and the headers: just past the limit.
truncate -s $((2147483647 - 2 * $(stat -c %s "$installer") + 1000)) big3.bin
kvarc setup --launcher "$LAUNCHER" -o big.exe "$installer" big3.bin

echo
echo "### the command line's small things"
kvarc -7 create x.zerk text.txt
kvarc create x.zerk
"$KVARC" create --help | grep Usage
mkdir -p empty-folder
kvarc create -q quiet.zerk text.txt empty-folder
kvarc create loud.zerk text.txt empty-folder
rm -f quiet.zerk loud.zerk
rm -rf cut-out inside-out
rm -f out.exe one.txt
left
