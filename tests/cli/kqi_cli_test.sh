#!/bin/bash
# Drives the kqi command end to end: pack, list, test, extract and their
# failure paths.
set -u
KQI=$1
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
source "$(dirname "${BASH_SOURCE[0]}")/../lib/check.sh"

cd "$WORK"
head -c 300000 /dev/urandom > random.bin
yes "setup text line" | head -c 200000 > text.txt
: > empty.bin
mkdir -p tree/sub && echo one > tree/b.txt && echo two > tree/sub/a.txt && echo three > tree/a.txt

for method in none rle lzh1 lh5; do
    "$KQI" pack -q -o "a-$method.kqa" --method "$method" \
        'Installer\KQInstall.exe=random.bin' docs=text.txt empty=empty.bin 'data=tree' || fail=$((fail + 1))
    check "$method list" bash -c "'$KQI' list a-$method.kqa | grep -q 'Installer.KQInstall.exe'"
    check "$method test" bash -c "'$KQI' test a-$method.kqa > test.out && grep -c '^OK' test.out | grep -qx 6"
    "$KQI" extract "a-$method.kqa" 'installer\kqinstall.exe' -o out.bin
    check "$method extract" cmp -s out.bin random.bin
    "$KQI" extract "a-$method.kqa" docs -o - > out.txt
    check "$method stdout" cmp -s out.txt text.txt
    "$KQI" extract "a-$method.kqa" 'data\sub\a.txt' -o out.txt
    check "$method folder entry" cmp -s out.txt tree/sub/a.txt
done

# lh5 is the default; a locked lh5 entry needs the key, and a wrong key fails
# as a locked entry whatever the stream then decodes to.
"$KQI" pack -q -o default.kqa docs=text.txt
check "default method lh5" bash -c "'$KQI' list default.kqa | grep -q '^LH5 '"
check "help names the default" bash -c "'$KQI' pack --help | grep -q 'default lh5'"
"$KQI" pack -q -o lh5-locked.kqa --key -99 'x=random.bin' 'y=text.txt'
check "lh5 locked test with key" "$KQI" test lh5-locked.kqa --key -99
"$KQI" extract lh5-locked.kqa y -o y.out --key -99
check "lh5 locked extract" cmp -s y.out text.txt
"$KQI" extract lh5-locked.kqa y -o wrong.out --key 5 2> err.txt
check "lh5 wrong key" grep -qx 'kqi: EInvalidKey: File locked -- valid key required' err.txt

# lh5 over two segments: the same archive for every -j; --best is smaller.
{ seq 1 150000; cat random.bin text.txt; } > large.bin
"$KQI" pack -q -j 1 -o j1.kqa large=large.bin
"$KQI" pack -q -j 2 -o j2.kqa large=large.bin
check "-j 1 and -j 2 identical" cmp -s j1.kqa j2.kqa
"$KQI" pack -q --best -j 1 -o best1.kqa large=large.bin
"$KQI" pack -q --best -j 2 -o best2.kqa large=large.bin
check "--best -j 1 and -j 2 identical" cmp -s best1.kqa best2.kqa
check "--best is smaller" test "$(stat -c %s best1.kqa)" -lt "$(stat -c %s j1.kqa)"
"$KQI" extract best2.kqa large -o large.out
check "--best extract" cmp -s large.out large.bin
"$KQI" pack -q -j 0 -o j0.kqa large=large.bin 2> /dev/null
check "-j 0 is a usage error" test $? -eq 2

# Keys, locks and the per-entry method suffix.
"$KQI" pack -q -o locked.kqa --key 0x1234 'x=text.txt:rle' 'y=random.bin:none' 'z=text.txt:lzh1'
check "locked header" bash -c "'$KQI' list locked.kqa | grep -q 'archive lock 2'"
"$KQI" extract locked.kqa z -o z.out --key 4660
check "locked lzh1 extract" cmp -s z.out text.txt
check "locked test with key" "$KQI" test locked.kqa --key 4660
"$KQI" extract locked.kqa x -o nokey.out 2> err.txt
check "locked needs key exit" test $? -eq 1
check "locked message" grep -qx 'kqi: EInvalidKey: File locked -- valid key required' err.txt
check "no output left on failure" bash -c "! ls nokey.out* 2>/dev/null"
"$KQI" test locked.kqa > test.out
check "test reports failure" test $? -eq 1
check "test failure line" grep -qx 'FAILED x: EInvalidKey: File locked -- valid key required' test.out

# Corruption shows the component's class and message.
cp a-rle.kqa corrupt.kqa
printf 'Z' | dd of=corrupt.kqa bs=1 seek=0 conv=notrunc 2> /dev/null
"$KQI" extract corrupt.kqa docs -o x.out 2> err.txt
check "bad signature" grep -qx "kqi: EInvalidHeader: Can't recognize compressed file header" err.txt
"$KQI" extract missing.kqa docs -o x.out 2> err.txt
check "missing file" grep -qx "kqi: EFileOpenError: Cannot open file missing.kqa" err.txt

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
check "test escapes names" bash -c "grep -qxF 'OK x\\x0AOK \\x1B[1my' test.out && test \$(wc -l < test.out) -eq 1"
# An LH5 entry with no stored data that claims 2147483647 bytes fails at once.
printf "VRAX\x1aLH5$(le32 2147483647)\x01$(le32 0)$(le32 0)\x01\x00\0\0\0\0\0\0$(le32 2147483647)$(le32 0)\x04$(le32 0)$(le32 0)e" > claim.kqa
"$KQI" extract claim.kqa e -o claim.out 2> err.txt
check "2 GiB claim fails" grep -qxF 'kqi: EBadChecksum: Bad checksum during expansion -- data may be invalid' err.txt
check "2 GiB claim leaves nothing" bash -c "! ls claim.out* 2>/dev/null"

# A truncated archive still lists.
head -c 1000 a-rle.kqa > cut.kqa
check "truncated list" bash -c "'$KQI' list cut.kqa | grep -q truncated"

# An entry over 2147483647 bytes is refused before anything is written
# (a sparse file: nothing is read).
truncate -s 2147483648 huge.bin
"$KQI" pack -q -o huge.kqa big=huge.bin 2> err.txt
check "huge entry exit" test $? -eq 1
check "huge entry message" grep -q 'larger than 2147483647 bytes' err.txt
check "huge entry leaves nothing" bash -c "! ls huge.kqa* 2>/dev/null"
rm -f huge.bin

# Usage errors.
"$KQI" extract a-rle.kqa 2> /dev/null
check "usage exit 2" test $? -eq 2
"$KQI" pack -o x.kqa --key nonsense a=text.txt 2> /dev/null
check "bad key exit 2" test $? -eq 2
check "help" bash -c "'$KQI' pack --help | grep -q NAME=PATH"

report
