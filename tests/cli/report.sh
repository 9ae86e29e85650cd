# What list reports: a plain archive and a Setup.exe (its launcher's
# version record included), as lines and as one JSON document; a damaged
# version record; a Setup.exe with a certificate table after its payload,
# one whose table does not cover the payload, one with bytes appended; a
# name that is not UTF-8; a cut archive, whose document is still printed.

# le32 N: N as 4 little-endian bytes.
le32() {
  local i
  for i in 0 8 16 24; do printf "\\$(printf '%03o' $((($1 >> i) & 255)))"; done
}
# sign FILE OFFSET SIZE: points FILE's certificate table directory (PE32:
# 152 bytes after "PE\0\0") at OFFSET and SIZE, as a signer does.
sign() {
  local pe
  pe=$(od -An -tu4 -j 60 -N4 "$1" | tr -d ' ')
  { le32 "$2"; le32 "$3"; } | dd of="$1" bs=1 seek=$((pe + 152)) conv=notrunc status=none
}
# A console program for x86-64 of headers alone, so that the listing's
# sizes do not follow from the launcher's: DOS header (e_lfanew 0x40),
# "PE\0\0", COFF header (machine 0x8664, no sections, a 240-byte optional
# header, an executable image), PE32+ optional header (subsystem 3, 16
# data directories).
{
  printf 'MZ'; head -c 58 /dev/zero; le32 64
  printf 'PE\000\000\144\206\000\000'; head -c 12 /dev/zero; printf '\360\000\042\000'
  printf '\013\002'; head -c 66 /dev/zero; printf '\003\000'; head -c 38 /dev/zero; le32 16
  head -c 128 /dev/zero
} >tool64.exe
seq 1 3000 >data.txt
"$KVARC" create -q plain.zerk data.txt
"$KVARC" setup -q --launcher "$LAUNCHER" -o Setup.exe tool64.exe data.txt
size=$(stat -c %s Setup.exe)
# A signed one: the table on the next 8-byte boundary after the payload.
table=$(((size + 7) / 8 * 8))
cp Setup.exe signed.exe
head -c $((table - size)) /dev/zero >>signed.exe
head -c 64 /dev/zero >>signed.exe
sign signed.exe "$table" 64
cp signed.exe signed-more.exe
printf 'after the table' >>signed-more.exe
# A table that starts inside the payload: a signature over it would not
# cover the payload's end.
cp signed.exe inside.exe
sign inside.exe $((table - 8)) 72
# The launcher's version record under another key (its UTF-16 "VS_" made "VX_").
cp Setup.exe badversion.exe
key=$(grep -obUaP 'V\x00S\x00_\x00V\x00E\x00R' badversion.exe | head -n 1 | cut -d: -f1)
poke badversion.exe $((key + 2)) X
cp Setup.exe appended.exe
printf 'appended after the payload' >>appended.exe
# An archive of one entry (sizes 1, method NON, sum 0x78) whose 7-byte name
# is "caf", the byte E9 (Latin-1, not UTF-8), "-" and "é" in UTF-8.
printf 'ZERK\032NON\001\000\000\000\001\000\000\000\000\000\000\000\000' >latin1.zerk
printf '\007\000\000\000\000\000\000\000\001\000\000\000\001\000\000\000\000\170\000\000\000\000\000\000\000' >>latin1.zerk
printf 'caf\351-\303\251x' >>latin1.zerk
"$KVARC" create -q -m NON two.zerk data.txt tool64.exe
head -c $((21 + 25 + 8 + $(stat -c %s data.txt))) two.zerk >cut.zerk # after its first entry
fixtures_made

echo "### a plain archive"
kvarc list plain.zerk
kvarc list --json plain.zerk

echo
echo "### a Setup.exe"
kvarc list Setup.exe
kvarc list --json Setup.exe

echo
echo "### signed: the table after the payload, or inside it"
# The padding before the table follows from the launcher's size.
padded() { sed -E -e 's/[0-9]+ bytes after the payload/N bytes after the payload/' \
  -e '/"bytes_after_payload"/s/[0-9]+/N/'; }
kvarc list signed.exe | padded
kvarc list --json signed.exe | padded
kvarc list signed-more.exe | grep -E '^\$|^exit|certificate|after' | padded
kvarc list --json signed-more.exe | grep -E '^\$|^exit|signature|covers|bytes_after' | padded
kvarc list inside.exe | grep -E '^\$|^exit|certificate|after' | padded
kvarc list --json inside.exe | grep -E '^\$|^exit|"(offset|covers_payload|bytes_after_signature)"'

echo
echo "### bytes appended to a Setup.exe"
kvarc list appended.exe | grep -E '^\$|^exit|launcher'
kvarc list --json appended.exe | grep -E '^\$|^exit|signature|bytes_after'

echo
echo "### a damaged version record is a fact reported"
kvarc list badversion.exe | grep -E '^\$|^exit|version'
kvarc list --json badversion.exe | grep -E '^\$|^exit|version'

echo
echo "### a name that is not UTF-8"
kvarc list --json latin1.zerk

echo
echo "### a cut archive: the document, then exit 1"
kvarc list --json cut.zerk
left
