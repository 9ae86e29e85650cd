# Refusals: one line "kvarc: SUBJECT: reason", exit 2 for a wrong command
# line and 1 for a file or its data, and nothing written ("out" never
# appears; "elsewhere", behind a link, stays empty).

installer=$LAUNCHER # a Windows program
mkdir -p data/sub/deeper tree elsewhere
seq 1 5000 >data/a.txt
: >data/sub/deeper/empty.txt
seq 1 3000 >data.bin
printf 'MZ, but no launcher' >plain.exe
printf 'ZERK\032' >short.zerk
"$KVARC" create -q -m NON a.zerk "Installer\\ZIVizivaz.exe=$installer" RLE:data.bin
"$KVARC" create -q -m NON noinst.zerk 'Data\x=data/a.txt'
# An archive of one entry named "..\evil", which kvarc never writes: the
# header ("NON", total 1), the entry header (sizes 1, method 0, sum 0x78)
# and its name and byte.
printf 'ZERK\032NON\001\000\000\000\001\000\000\000\000\000\000\000\000' >evil.zerk
printf '\007\000\000\000\000\000\000\000\001\000\000\000\001\000\000\000\000\170\000\000\000\000\000\000\000' >>evil.zerk
printf '..\\evilx' >>evil.zerk
"$KVARC" create -q -m NON two.zerk data.bin data/a.txt
head -c $((21 + 25 + 8 + $(stat -c %s data.bin))) two.zerk >cut.zerk # after its first entry
truncate -s 3G huge.bin
truncate -s 1G half1.bin
truncate -s 1G half2.bin
ln -s "$T/elsewhere" tree/Installer
fixtures_made

echo "### the command line (exit 2)"
kvarc frob
kvarc create -m ZIP out data.bin
kvarc extract a.zerk x
kvarc create -0 out data.bin
kvarc create --level x out data.bin
kvarc setup -o out --launcher "$LAUNCHER" -10 "$installer"

echo
echo "### names and sizes"
kvarc create out missing
kvarc create out ../x=data.bin
kvarc create out /x=data.bin
kvarc create out C:x=data.bin
kvarc create out a//b=data.bin
kvarc create out a=data.bin A=data/a.txt
kvarc create out Data/aux.txt=data.bin
kvarc create out huge.bin
kvarc create out half1.bin half2.bin
kvarc create out data/sub/deeper/empty.txt

echo
echo "### launchers and installers"
kvarc setup -o out --launcher plain.exe "$installer"
kvarc setup -o out --launcher "$LAUNCHER" data
kvarc setup -o out --launcher "$LAUNCHER" data/a.txt
kvarc setup -o out --launcher "$LAUNCHER" data/sub/deeper/empty.txt
kvarc setup -o out --launcher "$LAUNCHER" "$installer" installer/zivizivaz.exe=data.bin
kvarc stamp "$LAUNCHER" noinst.zerk out

echo
echo "### the packager's icon, version record and signature"
kvarc setup -o out --launcher "$LAUNCHER" --version-info Author=me "$installer"
kvarc setup -o out --launcher "$LAUNCHER" --version-info CompanyName "$installer"
kvarc setup -o out --launcher "$LAUNCHER" --file-version 1.2.3.4.5 "$installer"
kvarc stamp --product-version 1.70000 "$LAUNCHER" a.zerk out
kvarc setup -o out --launcher "$LAUNCHER" --icon data.bin "$installer"
kvarc setup -o out --launcher "$LAUNCHER" --icon missing.ico "$installer"
kvarc setup -o out --launcher "$LAUNCHER" --sign 'touch signed' "$installer"

kvarc setup -o out --launcher "$LAUNCHER" --sign 'true {}' "$installer"
kvarc stamp --sign 'exit 3 {}' "$LAUNCHER" a.zerk out

echo
echo "### reading"
kvarc list data.bin
kvarc test short.zerk
kvarc test cut.zerk
kvarc extract a.zerk -o out nothing DATA.BIN Installer/x
kvarc extract evil.zerk -o out
kvarc extract a.zerk -o tree
kvarc extract a.zerk data.bin /dev/full
kvarc extract a.zerk data.bin nowhere/out
echo "= elsewhere: $(ls elsewhere)"

echo
echo "### nothing is overwritten unasked: the tree is checked before anything is written"
"$KVARC" extract -q a.zerk -o x
echo mine >x/data.bin
rm x/Installer/ZIVizivaz.exe
kvarc extract a.zerk -o x
echo "= x/data.bin: $(cat x/data.bin); x/Installer: $(ls x/Installer)"
rm -rf x
left
