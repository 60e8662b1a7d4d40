#!/bin/bash
# The POSIX launcher end to end: setups made with kqi setup around a shell
# script installer that records its arguments and what it found.
# Usage: setup-e2e.sh kqsetup kqi
set -u
STUB=$(realpath "$1")
KQI=$(realpath "$2")
WORK=$(mktemp -d)
MOUNTS=()
cleanup() {
    for m in "${MOUNTS[@]}"; do umount "$m" 2> /dev/null; done
    [ -n "${RACER:-}" ] && kill "$RACER" 2> /dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT
source "$(dirname "${BASH_SOURCE[0]}")/../lib/check.sh"
cd "$WORK"
cp "$STUB" kqsetup
export TMPDIR=$WORK/tmp
mkdir "$TMPDIR"
export KQ_TEST_REPORT=$WORK/report

cat > installer.sh <<'SCRIPT'
#!/bin/sh
{
    echo "argc=$#"
    for arg in "$@"; do echo "arg=$arg"; done
    echo "self=$0"
    echo "folder_mode=$(stat -c %a "$(dirname "$0")")"
} > "$KQ_TEST_REPORT.part"
cp "${2#/DATA=}" "$KQ_TEST_REPORT.data"
sleep "${KQ_TEST_SLEEP:-0}"
mv "$KQ_TEST_REPORT.part" "$KQ_TEST_REPORT"
[ -n "${KQ_TEST_SIGNAL:-}" ] && kill -s "$KQ_TEST_SIGNAL" $$
exit "${KQ_TEST_EXIT:-0}"
SCRIPT
printf 'readme\n' > readme.txt

byte() { od -An -tu1 -j "$1" -N1 "$2" | tr -d ' '; }
poke() { printf "\\x$(printf %02x "$3")" | dd of="$1" bs=1 seek="$2" conv=notrunc 2> /dev/null; }
# launch SETUP: runs it; sets rc and err (its standard error).
launch() {
    rm -rf report report.data "$TMPDIR"/*
    "./$1" 2> err
    rc=$?
}
leftovers() { find "$TMPDIR" -mindepth 1 | wc -l; }
# small_tmpfs DIR OPTIONS: mounts a tmpfs there (needs root); false when it cannot.
small_tmpfs() {
    mkdir -p "$1"
    mount -t tmpfs -o "$2" kqtest "$1" 2> /dev/null || return 1
    MOUNTS+=("$1")
}

# ---- a normal run
"$KQI" setup -q --stub kqsetup --installer installer.sh -o setup 'Data\readme.txt=readme.txt'
check "setup is executable like the stub" test -x setup
PAYLOAD=$(payload_offset setup)  # the stub's size, or one more where that ends in 'X'
tail -c +$((PAYLOAD + 5)) setup > payload.kqa
check "kqi list reads the setup" bash -c "'$KQI' list setup | grep -q 'Installer.KQInstall.exe'"
check "kqi test passes the setup" bash -c "'$KQI' test setup > /dev/null"
"$KQI" extract setup 'Installer\KQInstall.exe' -o extracted.sh
check "kqi extract gives the installer" cmp -s extracted.sh installer.sh
start=$(date +%s%N)
KQ_TEST_SLEEP=1 KQ_TEST_EXIT=7 launch setup
echo "normal run: $((($(date +%s%N) - start) / 1000000)) ms (installer sleeps 1 s)"
check "the installer's exit code (7)" test "$rc" -eq 7
check "nothing on stderr" test ! -s err
check "waited for the installer" test -s report
check "two arguments" grep -qx 'argc=2' report
check "/SOURCE= is the setup" test "$(sed -n 2p report)" = "arg=/SOURCE=$WORK/setup"
data=$(sed -n 's|^arg=/DATA=||p' report)
self=$(sed -n 's|^self=||p' report)
check "installer in a private folder in TMPDIR ($self)" grep -qE "^$TMPDIR/KQI[A-Za-z0-9]{6}/KQInstall\.exe\$" <<< "$self"
check "/DATA= names KQI.tmp beside it ($data)" test "$data" = "${self%/*}/KQI.tmp"
check "the folder is private" grep -qx 'folder_mode=700' report
check "installer byte for byte" cmp -s "$self" installer.sh
check "temporary archive held the payload" cmp -s report.data payload.kqa
check "temporary archive left to the installer" cmp -s "$data" payload.kqa

# ---- the same inputs give the same setup, byte for byte
sleep 1
"$KQI" setup -q --stub kqsetup --installer installer.sh -o setup-again 'Data\readme.txt=readme.txt'
check "kqi setup twice: the same bytes" cmp -s setup setup-again

# ---- every exit code of the installer is the setup's; a signal that ends
# it gives 128 + its number, as shells report it
for code in 0 1 255; do
    KQ_TEST_EXIT=$code launch setup
    check "installer exit code $code: the setup's ($rc)" test "$rc" -eq "$code" -a -s report
done
KQ_TEST_SIGNAL=KILL launch setup
check "installer killed by SIGKILL: 137 ($rc)" test "$rc" -eq 137 -a -s report -a ! -s err

# ---- with a key the further entries are locked, the installer stays open
"$KQI" setup -q --stub kqsetup --installer installer.sh -o keyed --key 0x1234 'Data\readme.txt=readme.txt'
check "keyed: locks as listed" bash -c "'$KQI' list keyed | grep -E '^[A-Z0-9]+ +[0-9]+ +[0-9]+ +[0-9.]+% +0 .*Installer.KQInstall.exe' &&
    '$KQI' list keyed | grep -qE '^[A-Z0-9]+ +[0-9]+ +[0-9]+ +[0-9.]+% +2 .*Data.readme.txt'" > /dev/null
check "keyed: every entry checks out with the key" bash -c "'$KQI' test keyed --key 4660 > /dev/null"
launch keyed
check "keyed: the launcher installs" test "$rc" -eq 0 -a -s report

# ---- a stub whose size ends in 'X' (0x58): the payload starts one byte later,
# since a field starting with 'X' reads as unpatched.
cp kqsetup odd-stub
head -c $(((0x58 - $(stat -c %s kqsetup) % 256 + 256) % 256)) /dev/zero >> odd-stub
"$KQI" setup -q --stub odd-stub --installer installer.sh -o odd 'Data\readme.txt=readme.txt'
check "stub size ending in 0x58: payload behind one byte of padding" \
    test "$(payload_offset odd)" -eq $(($(stat -c %s odd-stub) + 1))
launch odd
check "stub size ending in 0x58: the launcher installs" test "$rc" -eq 0 -a -s report

# ---- kqi setup refuses what is no launcher, leaving nothing behind
"$KQI" setup -q --stub setup --installer installer.sh -o again 2> kqi.err
check "patched stub refused" test $? -eq 1
check "patched stub message" grep -q 'already patched' kqi.err
"$KQI" setup -q --stub readme.txt --installer installer.sh -o again 2> kqi.err
check "stub without marker refused" test $? -eq 1
check "stub without marker message" grep -q 'no payload marker' kqi.err
"$KQI" setup -q --stub kqsetup --installer installer.sh -o again 'installer\kqinstall.exe=readme.txt' 2> kqi.err
check "second installer entry refused" test $? -eq 1
check "nothing written" bash -c "! ls again* 2> /dev/null"
"$KQI" setup --installer installer.sh > /dev/null 2>&1
check "no stub is a usage error" test $? -eq 2

# ---- no payload: a beep (BEL on stderr), exit 0, nothing created
head -c "$PAYLOAD" setup > nopayload
chmod +x nopayload
for image in kqsetup nopayload; do
    launch "$image"
    check "$image: exit 0" test "$rc" -eq 0
    check "$image: beep only" cmp -s err <(printf '\a')
    check "$image: nothing created" test -z "$(ls -A "$TMPDIR")"
done

# expect_box NAME CLASS MODULE MESSAGE: the failure on stderr, nothing
# started and nothing left in TMPDIR.
expect_box() {
    local name=$1 class=$2 module=$3 message=$4
    check "$name: exit 1" test "$rc" -eq 1
    check "$name: box '$(tr '\n' '|' < err)'" test "$(sed -E '1s/ at [0-9A-F]{8,}\.$/ at ADDRESS./' err)" = \
        "Application Error: Exception $class in module $module at ADDRESS.
$message"
    check "$name: nothing started" test ! -e report
    check "$name: nothing left ($(leftovers))" test "$(leftovers)" -eq 0
}

payload=$((PAYLOAD + 4))  # the archive's first byte
cp setup corrupt
poke corrupt "$payload" $(($(byte "$payload" corrupt) ^ 0xFF))
launch corrupt
expect_box "bad signature" EInvalidHeader corrupt "Can't recognize compressed file header."

"$KQI" setup -q --stub kqsetup --installer installer.sh -o checksum --method rle
poke checksum $((payload + 21 + 17)) $(($(byte $((payload + 21 + 17)) checksum) ^ 1))
launch checksum
expect_box "wrong checksum" EBadChecksum checksum "Bad checksum during expansion -- data may be invalid."

head -c 20000 /dev/urandom > big.bin
"$KQI" setup -q --stub kqsetup --installer big.bin -o stored --method none
# One byte of a stored installer changed, as in a damaged download; in a
# comment, so that the damaged installer would still run.
{ cat installer.sh; printf '#%.0s' $(seq 5000); echo; } > commented.sh
"$KQI" setup -q --stub kqsetup --installer commented.sh -o damaged --method none
at=$((payload + 21 + 25 + 23 + $(stat -c %s commented.sh) - 100))
poke damaged $at $(($(byte $at damaged) ^ 0x01))
launch damaged
expect_box "damaged stored installer" EBadChecksum damaged "Bad checksum during expansion -- data may be invalid."
cut=$(($(stat -c %s stored) - 1000))
head -c "$cut" stored > truncated
for i in 0 1 2 3; do poke truncated $((PAYLOAD + i)) $((((cut - payload) >> (8 * i)) & 255)); done
chmod +x truncated
launch truncated
expect_box "truncated archive" EStreamReadError truncated "Stream read error."

head -c "$cut" stored > short
chmod +x short
launch short
expect_box "payload shorter than its size" EStreamReadError short "Stream read error."

# An installer that cannot start is a failure: nothing was installed.
"$KQI" setup -q --stub kqsetup --installer readme.txt -o no-entry --method none
poke no-entry $((payload + 21 + 25)) 88  # "Xnstaller\KQInstall.exe"
check "no installer entry: kqi sees the renamed entry" bash -c "'$KQI' list no-entry | grep -q 'Xnstaller.KQInstall.exe'"
launch no-entry
installer=$(grep -oP 'Cannot start file \K\S+(?=:)' err)
check "no installer entry: the empty installer in the private folder ($installer)" \
    grep -qE "^$TMPDIR/KQI[A-Za-z0-9]{6}/KQInstall\.exe\$" <<< "$installer"
expect_box "no installer entry" EInstallerStartError no-entry "Cannot start file $installer: Exec format error."

# Anywhere the temporary archive cannot be made.
: > not-a-folder
rm -rf "$TMPDIR"/*
TMPDIR=$WORK/not-a-folder launch setup
TMPDIR=$WORK/tmp expect_box "no temporary folder" EFileCreateError setup \
    "Cannot create file $WORK/not-a-folder/KQIXXXXXX."

# ---- paths in any script
mkdir -p "$WORK/Загрузки セットアップ/tmp ユーザー"
cp setup "$WORK/Загрузки セットアップ/установка.bin"
TMPDIR="$WORK/Загрузки セットアップ/tmp ユーザー" "$WORK/Загрузки セットアップ/установка.bin" 2> err
rc=$?
check "any script: exit 0" test "$rc" -eq 0 -a ! -s err
check "any script: /SOURCE=" test "$(sed -n 2p report)" = "arg=/SOURCE=$WORK/Загрузки セットアップ/установка.bin"
check "any script: /DATA=" grep -qE "^arg=/DATA=$WORK/Загрузки セットアップ/tmp ユーザー/KQI[A-Za-z0-9]{6}/KQI\.tmp\$" report
check "any script: archive as packed" cmp -s report.data payload.kqa

# ---- two setups at once: each has its own folder
rm -rf report "$TMPDIR"/*
KQ_TEST_SLEEP=1 KQ_TEST_REPORT=$WORK/report.first ./setup 2> /dev/null &
first=$!
sleep 0.3
./setup 2> err
rc=$?
wait "$first"
check "two at once: both run" test "$rc" -eq 0 -a $? -eq 0 -a -s report -a -s report.first
check "two at once: their own folders" test "$(sed -n 's|^self=||p' report)" != "$(sed -n 's|^self=||p' report.first)"

# ---- a noexec TMPDIR: the installer cannot start
if small_tmpfs "$WORK/noexec" size=1m,noexec; then
    rm -f report
    TMPDIR=$WORK/noexec ./setup 2> err
    rc=$?
    installer=$(grep -oP 'Cannot start file \K\S+(?=:)' err)
    TMPDIR=$WORK/noexec expect_box "noexec TMPDIR" EInstallerStartError setup "Cannot start file $installer: Permission denied."
else
    echo "skipped: noexec TMPDIR (mounting a tmpfs needs root)"
fi

# ---- a full disk: the partial archive, or the partial installer and the
# archive, are deleted
if small_tmpfs "$WORK/full" size=300k; then
    head -c 400000 /dev/urandom > large.bin
    head -c 200000 /dev/urandom > half.bin
    "$KQI" setup -q --stub kqsetup --installer large.bin -o large --method none
    "$KQI" setup -q --stub kqsetup --installer half.bin -o half --method none
    for image in large half; do
        rm -f report
        TMPDIR=$WORK/full "./$image" 2> err
        rc=$?
        TMPDIR=$WORK/full expect_box "full disk, $image" EStreamWriteError "$image" "Stream write error."
    done
else
    echo "skipped: full disk (mounting a tmpfs needs root)"
fi

# ---- a shared TMPDIR without the sticky bit: someone keeps moving every
# entry away and putting a symbolic link in its place, to a folder or to a
# file of someone else's. The launcher writes into its own folder or fails;
# never elsewhere.
RACE=$WORK/race
ELSEWHERE=$WORK/elsewhere
mkdir "$RACE" "$ELSEWHERE"
chmod 0777 "$RACE"
echo "someone else's" > "$ELSEWHERE/file"
# Perl's own rename and symlink: no process per try.
perl -e '
    my ($race, $elsewhere) = @ARGV;
    for (;;) {
        opendir(my $d, $race) or next;
        for my $name (grep { /^KQI/ && !/\.moved$/ } readdir($d)) {
            my $f = "$race/$name";
            next if -l $f;
            my $target = -f _ ? "$elsewhere/file" : $elsewhere;
            rename($f, "$f.moved") and symlink($target, $f);
        }
        closedir($d);
    }' "$RACE" "$ELSEWHERE" &
RACER=$!
races_won=0 runs_ok=0
for i in $(seq 30); do
    rm -f report
    TMPDIR=$RACE ./setup 2> /dev/null && runs_ok=$((runs_ok + 1))
    if [ "$(ls -A "$ELSEWHERE")" != file ] || [ "$(cat "$ELSEWHERE/file")" != "someone else's" ]; then
        races_won=$((races_won + 1))
        rm -rf "${ELSEWHERE:?}"/*
        echo "someone else's" > "$ELSEWHERE/file"
    fi
done
kill "$RACER"
wait "$RACER" 2> /dev/null
RACER=
echo "swap race: $runs_ok of 30 runs installed, the others failed"
check "swap race: nothing written elsewhere in 30 runs ($races_won)" test "$races_won" -eq 0

report
