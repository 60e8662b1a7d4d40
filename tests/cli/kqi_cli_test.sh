#!/bin/bash
# Drives the kqi command end to end over real files and trees: what a
# publisher meets, including the failure paths.
# Usage: kqi_cli_test.sh KQI MAKE_HOSTILE_ARCHIVES
set -u
KQI=$(realpath "$1")
MAKE_HOSTILE=$(realpath "$2")
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
source "$(dirname "${BASH_SOURCE[0]}")/../lib/check.sh"
kqi() { "$KQI" "$@"; }
# fails NAME CODE TEXT COMMAND...: exits CODE and says TEXT on stderr
fails() {
    local name=$1 code=$2 text=$3; shift 3
    "$@" > /dev/null 2> err.txt
    local rc=$?
    check "$name: exit $code (got $rc)" test "$rc" -eq "$code"
    check "$name: says '$text'" grep -qF -- "$text" err.txt || cat err.txt
}

cd "$WORK"
head -c 300000 /dev/urandom > random.bin
yes "setup text line" | head -c 200000 > text.txt
: > empty.bin
mkdir -p tree/sub && echo one > tree/b.txt && echo two > tree/sub/a.txt && echo three > tree/a.txt

# ---- every method round trips through pack, list, test and extract
for method in none rle lzh1 lh5; do
    kqi pack -q -o "a-$method.kqa" --method-for "*=$method" \
        'Installer\KQInstall.exe=random.bin' docs=text.txt empty=empty.bin 'data=tree' || fail=$((fail + 1))
    check "$method list" bash -c "'$KQI' list a-$method.kqa | grep -q 'Installer.KQInstall.exe'"
    check "$method test" bash -c "'$KQI' test a-$method.kqa | grep -c '^OK' | grep -qx 6"
    kqi extract "a-$method.kqa" 'installer\kqinstall.exe' -o out.bin
    check "$method extract" cmp -s out.bin random.bin
    kqi extract "a-$method.kqa" docs -o - > out.txt
    check "$method stdout" cmp -s out.txt text.txt
    kqi extract "a-$method.kqa" 'data/sub/a.txt' -o out.txt
    check "$method folder entry, / for \\" cmp -s out.txt tree/sub/a.txt
done

# lh5 over two segments, and small entries coded side by side: the same
# archive for every -j; --best is smaller.
{ seq 1 150000; cat random.bin text.txt; } > large.bin
"$KQI" pack -q -j 1 -o j1.kqa large=large.bin
"$KQI" pack -q -j 2 -o j2.kqa large=large.bin
check "-j 1 and -j 2 identical" cmp -s j1.kqa j2.kqa
for j in 1 3; do
    "$KQI" pack -q -j $j -o tree$j.kqa --method-for '*.txt=lzh1' t=text.txt large=large.bin tree=tree r=random.bin
done
check "a tree: -j 1 and -j 3 identical" cmp -s tree1.kqa tree3.kqa
"$KQI" pack -q --best -j 1 -o best1.kqa large=large.bin
"$KQI" pack -q --best -j 2 -o best2.kqa large=large.bin
check "--best -j 1 and -j 2 identical" cmp -s best1.kqa best2.kqa
check "--best is smaller" test "$(stat -c %s best1.kqa)" -lt "$(stat -c %s j1.kqa)"
"$KQI" extract best2.kqa large -o large.out
check "--best extract" cmp -s large.out large.bin
"$KQI" pack -q -j 0 -o j0.kqa large=large.bin 2> /dev/null
check "-j 0 is a usage error" test $? -eq 2

# ---- the store fallback, explicit methods, and ':' as a plain character
cp text.txt 'note:rle'
kqi pack -q -o fb.kqa r=random.bin t=text.txt n=note:rle --method-for 'n=rle'
kqi list fb.kqa > list.txt
check "random stored" grep -qE '^NON +300000 +300000 .* r$' list.txt
check "text coded" grep -qE '^LH5 +200000 .* t$' list.txt
check "explicit method kept" grep -qE '^RLE .* n$' list.txt
kqi extract fb.kqa n -o n.out
check "a ':' in a path is part of it" cmp -s n.out 'note:rle'

# ---- conventions: --opt=value, --, --version, one usage path
check "--version" bash -c "'$KQI' --version | grep -qE '^kqi [0-9]+\.[0-9]+\.[0-9]+$'"
echo dash > ./-dash.txt
kqi pack -q --output=eq.kqa --method=rle -- -x=-dash.txt
check "--opt=value and --" bash -c "'$KQI' extract eq.kqa -o - -- -x | grep -qx dash"
fails "unknown option" 2 "unknown option --nope" kqi list --nope a-rle.kqa
fails "missing value" 2 "option -o needs a value" kqi pack a=text.txt -o
fails "bad key" 2 "bad key 'nonsense'" kqi pack -o x.kqa --key nonsense a=text.txt
fails "lock without key" 2 "--lock 2 needs --key" kqi pack -o x.kqa --lock 2 a=text.txt
fails "bad method-for" 2 "bad --method-for" kqi pack -o x.kqa --method-for '*=lzma' a=text.txt
check "help" bash -c "'$KQI' pack --help | grep -q NAME=PATH"

# ---- trees: names as given, links followed only to files
mkdir -p sym/docs && echo real > sym/docs/real.txt && echo outside > outside.txt
ln -s real.txt sym/docs/alias.txt
ln -s "$WORK/outside.txt" sym/host
ln -s ../../outside.txt sym/docs/up.txt
kqi pack -q -o sym.kqa Data=sym
kqi list sym.kqa > list.txt
for name in 'Data\docs\alias.txt' 'Data\docs\real.txt' 'Data\docs\up.txt' 'Data\host'; do
    check "tree entry $name" grep -qF " $name" list.txt
done
check "no resolved names" bash -c "! grep -q '\.\.' list.txt"
check "four entries" grep -q '^4 entries' list.txt
kqi extract sym.kqa 'Data\docs\alias.txt' -o alias.out
check "link stored with its target's bytes" cmp -s alias.out sym/docs/real.txt
ln -s missing.txt sym/dangling
fails "dangling link" 1 "sym/dangling: a link to nothing" kqi pack -q -o x.kqa Data=sym
kqi pack -q -o skip.kqa --skip-links Data=sym 2> err.txt
check "--skip-links skips and says so" grep -q 'skipped sym/dangling' err.txt
rm sym/dangling
ln -s .. sym/docs/loop
fails "link loop" 1 "sym/docs/loop: a link loop" kqi pack -q -o x.kqa Data=sym
rm sym/docs/loop
ln -s "$WORK/tree" sym/away
fails "link to a folder outside" 1 "sym/away: a link to a folder outside the tree" kqi pack -q -o x.kqa Data=sym
rm sym/away
check "no output after failures" bash -c "! ls x.kqa* 2> /dev/null"

# Odd names: spaces, non-ASCII, a leading '-'.
mkdir odd && echo s > 'odd/with space.txt' && echo u > 'odd/grüße.txt' && echo d > odd/-lead.txt
kqi pack -q -o odd.kqa 'Odd Dir=odd'
kqi extract odd.kqa 'Odd Dir\grüße.txt' -o u.out && check "non-ASCII name" grep -qx u u.out
kqi extract odd.kqa 'odd dir\with space.txt' -o s.out && check "name with a space" grep -qx s s.out
kqi extract odd.kqa -o d.out -- 'Odd Dir\-lead.txt' && check "leading '-'" grep -qx d d.out
fails "'..' in a name" 1 "has a '..' part" kqi pack -o x.kqa '../up=text.txt'
fails "absolute name" 1 "has an absolute path" kqi pack -o x.kqa '\abs=text.txt'
fails "drive letter" 1 "has a drive letter" kqi pack -o x.kqa 'C:x=text.txt'
fails "control character" 1 "has a control character" kqi pack -o x.kqa "$(printf 'a\tb')=text.txt"
fails "same name for the reader" 1 "--allow-duplicates" kqi pack -o x.kqa A=text.txt a=random.bin
kqi pack -q -o dup.kqa --allow-duplicates A=text.txt a=text.txt
check "--allow-duplicates concatenates" bash -c "'$KQI' extract dup.kqa a -o - | cmp -s - <(cat text.txt text.txt)"

# ---- checks before any work
mkdir outdir
fails "output is a folder" 1 "cannot write outdir: it is a folder" kqi pack -o outdir a=text.txt
fails "output folder missing" 1 "there is no folder nowhere" kqi pack -o nowhere/x.kqa a=text.txt
fails "output is an input" 1 "it is also an input" kqi pack -o text.txt a=text.txt
fails "output is an input in a tree" 1 "it is also an input" kqi pack -o tree/b.txt d=tree
fails "missing input" 1 "EFileOpenError: Cannot open file missing.txt (No such file or directory)" kqi pack -o x.kqa a=missing.txt
fails "folder as a file" 1 "Cannot open file missing.kqa (No such file or directory)" kqi list missing.kqa
truncate -s 2147483648 huge.bin
fails "huge entry" 1 "larger than 2147483647 bytes" kqi pack -q -o huge.kqa a=text.txt big=huge.bin
check "huge entry leaves nothing" bash -c "! ls huge.kqa* 2> /dev/null"
rm -f huge.bin

# ---- setup: a Windows stub needs a Windows installer; never over the stub
python3 - <<'PY'
stub = bytearray(4096)
stub[0:2] = b"MZ"
stub[0x3C:0x40] = (0x80).to_bytes(4, "little")
stub[0x80:0x84] = b"PE\0\0"
stub[1000:1012] = b"KQI_SIZEXXXX"
open("stub.exe", "wb").write(stub)
PY
fails "text as the installer" 1 "is not a Windows program" kqi setup -q --stub stub.exe --installer text.txt
check "nothing written" test ! -e setup.exe
fails "empty installer" 1 "empty.bin: the installer is empty" kqi setup -q --stub stub.exe --installer empty.bin
check "empty installer: nothing written" test ! -e setup.exe
kqi setup -q --stub stub.exe --installer empty.bin --force -o empty-setup.exe
check "empty installer with --force: its entry is there" \
    bash -c "'$KQI' test empty-setup.exe | grep -qxF 'OK Installer\KQInstall.exe'"
kqi setup -q --stub stub.exe --installer text.txt --force -o forced.exe d=tree
check "--force accepts it" bash -c "'$KQI' test forced.exe | tail -1 | grep -q '4 entries, 4 OK'"
cp stub.exe setup.exe
fails "setup over its stub" 1 "it is also an input" kqi setup -q --stub setup.exe --installer stub.exe
check "the stub is untouched" cmp -s stub.exe setup.exe
fails "installer is a folder" 1 "the installer must be a file" kqi setup -q --stub stub.exe --installer tree -o f.exe
fails "setup to stdout" 2 "setup cannot write to standard output" kqi setup --stub stub.exe --installer stub.exe -o -
head -c $(($(stat -c %s forced.exe) - 10)) forced.exe > cut.exe
size_field=$(($(stat -c %s forced.exe) - $(payload_offset forced.exe) - 4))
fails "truncated setup" 1 "payload size field says $size_field bytes, only $((size_field - 10)) present" kqi list cut.exe
head -c $(($(payload_offset forced.exe) + 2)) forced.exe > cut.exe
fails "setup cut inside the size field" 1 "the payload offset $(payload_offset forced.exe) lies beyond the end of the file" kqi list cut.exe

# ---- list: totals, ratio, locks, JSON
kqi pack -q -o locked.kqa --key 7 --method-for 'r=lh5' r=random.bin s=random.bin t=text.txt
kqi list locked.kqa > list.txt
check "stored, not scrambled" grep -qE '^NON .*stored, not scrambled' list.txt
check "totals line" grep -qE '^3 entries, [0-9]+ bytes expanded, [0-9]+ stored \([0-9.]+%\)$' list.txt
kqi list --json forced.exe > list.json
check "--json parses and matches the data" python3 - forced.exe list.json <<'PY'
import json, sys
image = open(sys.argv[1], "rb").read()
doc = json.load(open(sys.argv[2]))
names = [e["name"] for e in doc["entries"]]
assert names[0] == "Installer\\KQInstall.exe" and len(names) == 4, names
for e in doc["entries"]:
    if e["method"] == "NON":
        data = image[e["data_offset"]:e["data_offset"] + e["stored"]]
        assert sum(data) & 0xFFFFFFFF == int(e["checksum"], 16), e
assert doc["totals"]["entries"] == 4
PY

# ---- test: escaped names and a summary
kqi pack -q -o ctl.kqa --method-for '*=rle' docs=text.txt
kqi test locked.kqa > test.out
check "test fails without the key" test $? -eq 1
check "test summary" grep -qx '3 entries, 0 OK, 3 failed' test.out
check "a locked stored entry needs the key" grep -qxF 'FAILED s: EInvalidKey: File locked -- valid key required' test.out
check "with the key every entry passes" bash -c "'$KQI' test --key 7 locked.kqa | grep -qx '3 entries, 3 OK, 0 failed'"

# Archives written byte by byte: header (signature, id, total, type 1, 0, lock)
# and entry headers (name length, 6 bytes, expanded, stored, method,
# checksum, lock). le32 N prints N as 4 little-endian bytes for printf.
le32() { printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)); }
printf "VRAX\x1aLH\000$(le32 0)\x01$(le32 0)$(le32 0)" > nul-id.kqa
"$KQI" extract nul-id.kqa e -o x.out 2> err.txt
check "id with NUL whole" grep -qxF 'kqi: EUnrecognizedCompressionMethod: Unrecognized compression method: "LH\x00" in header' err.txt
# A name with a newline and ESC cannot forge a line of its own.
printf "VRAX\x1aNON$(le32 1)\x01$(le32 0)$(le32 0)\x0a\x00\0\0\0\0\0\0$(le32 0)$(le32 0)\x00$(le32 0)$(le32 0)x\nOK \x1b[1my" > name.kqa
"$KQI" test name.kqa > test.out
check "test escapes names" bash -c "grep -qxF 'OK x\\x0AOK \\x1B[1my' test.out && test \$(wc -l < test.out) -eq 2"
# An LH5 entry with no stored data that claims 2147483647 bytes fails at once.
printf "VRAX\x1aLH5$(le32 2147483647)\x01$(le32 0)$(le32 0)\x01\x00\0\0\0\0\0\0$(le32 2147483647)$(le32 0)\x04$(le32 0)$(le32 0)e" > claim.kqa
"$KQI" extract claim.kqa e -o claim.out 2> err.txt
check "2 GiB claim fails" grep -qxF 'kqi: EBadChecksum: Bad checksum during expansion -- data may be invalid (entry e)' err.txt
check "2 GiB claim leaves nothing" bash -c "! ls claim.out* 2>/dev/null"

# ---- extract: missing entries, whole archives, hostile names
fails "missing entry" 1 "kqi: no entry named Data\\nope.txt" kqi extract sym.kqa 'Data\nope.txt' -o nope.out
check "missing entry leaves no file" test ! -e nope.out
fails "folder name is no entry" 1 "no entry named Data" kqi extract sym.kqa Data -o nope.out
kqi extract a-lh5.kqa -d all
check "extract -d: every file" bash -c "cmp -s all/Installer/KQInstall.exe random.bin && diff -r all/data tree && cmp -s all/docs text.txt"
kqi extract dup.kqa -d dupdir
mkdir -p tail/d && echo x > tail/d/a.txt && : > tail/d/z.txt
kqi pack -q -o tail.kqa T=tail/d && kqi extract tail.kqa -d tailout
check "extract -d: an empty last file too" test -f tailout/T/z.txt -a ! -s tailout/T/z.txt
check "extract -d concatenates same names" bash -c "cat text.txt text.txt | cmp -s - dupdir/A"
kqi extract a-lh5.kqa -d some 'data\*.txt'
check "extract -d with a pattern" bash -c "test -f some/data/sub/a.txt && test ! -e some/docs"
mkdir hostile && "$MAKE_HOSTILE" hostile
for name in up deep abs slash drive; do
    fails "hostile $name" 1 "would land outside" kqi extract "hostile/$name.kqa" -d "h-$name"
    check "hostile $name: nothing written" test ! -e "h-$name/ok.txt"
done
mkdir -p linkdir && ln -s "$WORK/outdir" linkdir/inner
fails "through a link in DIR" 1 "would land outside" kqi extract hostile/link.kqa -d linkdir
check "nothing written through the link" test -z "$(ls -A outdir)"
check "nothing escaped" bash -c "! ls $WORK/kqi-escaped* /tmp/kqi-escaped* /kqi-escaped* 2> /dev/null"
cp a-lh5.kqa bad.kqa
offset=$(kqi list --json bad.kqa | python3 -c 'import json,sys; print(json.load(sys.stdin)["entries"][1]["data_offset"])')
printf '\xff\xff\xff' | dd of=bad.kqa bs=1 seek=$((offset + 10)) conv=notrunc 2> /dev/null
fails "failed entry named" 1 "docs" kqi extract bad.kqa -d broken
check "no partial file" bash -c "! ls broken/docs* 2> /dev/null"

# A stored entry with one byte changed fails like a coded one, naming it.
cp a-none.kqa damaged.kqa
offset=$(kqi list --json damaged.kqa | python3 -c 'import json,sys; print(json.load(sys.stdin)["entries"][0]["data_offset"])')
at=$((offset + 1000))
printf "\\x$(printf %02x $(($(od -An -tu1 -j $at -N1 damaged.kqa) ^ 0x20)))" | dd of=damaged.kqa bs=1 seek=$at conv=notrunc 2> /dev/null
kqi test damaged.kqa > test.out
check "damaged stored entry: test exit 1" test $? -eq 1
check "damaged stored entry: test names it" grep -qxF \
    'FAILED Installer\KQInstall.exe: EBadChecksum: Bad checksum during expansion -- data may be invalid' test.out
fails "damaged stored entry: extract" 1 "EBadChecksum: Bad checksum during expansion -- data may be invalid (entry Installer\KQInstall.exe)" \
    kqi extract damaged.kqa 'Installer\KQInstall.exe' -o damaged.out
check "damaged stored entry: no partial file" bash -c "! ls damaged.out* 2> /dev/null"
fails "damaged stored entry: extract -d" 1 "(entry Installer\KQInstall.exe)" kqi extract damaged.kqa -d damaged
check "damaged stored entry: nothing of it in DIR" bash -c "! ls damaged/Installer/* 2> /dev/null"

# A folder of empty files only: every entry is found.
mkdir -p empties/sub && : > empties/a && : > empties/sub/b
kqi pack -q -o empties.kqa E=empties
check "empty files only: list shows both" bash -c "'$KQI' list empties.kqa | grep -q '^2 entries, 0 bytes expanded'"
kqi extract empties.kqa -d emptied
check "empty files only: extract -d makes both" test -f emptied/E/a -a ! -s emptied/E/a -a -f emptied/E/sub/b
kqi extract empties.kqa 'E\sub\b' -o b.out
check "empty files only: extract writes the empty file" test -f b.out -a ! -s b.out

# ---- standard output: every write checked
fails "list into a full disk" 1 "cannot write to standard output" bash -c "'$KQI' list a-rle.kqa > /dev/full"
fails "test into a full disk" 1 "cannot write to standard output" bash -c "'$KQI' test a-rle.kqa > /dev/full"
fails "extract into a full disk" 1 "cannot write to standard output" bash -c "'$KQI' extract a-rle.kqa docs -o - > /dev/full"
fails "pack into a full disk" 1 "cannot write to standard output" bash -c "'$KQI' pack -o - a=text.txt > /dev/full"
kqi pack -o - a=text.txt > piped.kqa
check "pack -o - gives an archive" bash -c "'$KQI' extract piped.kqa a -o - | cmp -s - text.txt"

# ---- SIGTERM mid-pack leaves no temporary file
head -c 40000000 /dev/urandom > slow.bin
"$KQI" pack -q -o slow.kqa --method-for '*=lzh1' s=slow.bin &
pid=$!
for _ in $(seq 100); do ls slow.kqa.kqi* > /dev/null 2>&1 && break; sleep 0.05; done
kill -TERM "$pid"
wait "$pid"
check "SIGTERM ends pack" test $? -eq 143
check "SIGTERM leaves nothing" bash -c "! ls slow.kqa* 2> /dev/null"

report
