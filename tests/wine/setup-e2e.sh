#!/bin/bash
# The launcher end to end under wine: setups made with kqi setup, started,
# and checked through the files they leave, the stand-in installer's report
# and a relay trace of MessageBoxW, MessageBeep, ShellExecuteExW and
# SetDefaultDllDirectories.
# Usage: setup-e2e.sh kqsetup.exe kqtest_installer.exe kqi.exe
# Needs WINEPREFIX prepared by prepare-prefix.sh.
set -u
STUB_EXE=$(realpath "$1")
INSTALLER_EXE=$(realpath "$2")
KQI_EXE=$(realpath "$3")
: "${WINEPREFIX:?}"
# WINE names the loader (wine, or wine64 for the 64-bit build).
wine() { command "${WINE:-wine}" "$@"; }
winepath() { wine winepath "$@"; }
export -f wine winepath
export WINEDEBUG=-all
unset DISPLAY
WORK=$(mktemp -d)
MOUNTS=()
cleanup() {
    for m in "${MOUNTS[@]}"; do umount "$m" 2> /dev/null; done
    rm -rf "$WORK" "$WINDIR/KQInstall.exe"
}
trap cleanup EXIT
WINDIR=$WINEPREFIX/drive_c/windows
source "$(dirname "${BASH_SOURCE[0]}")/../lib/check.sh"

cd "$WORK"
cp "$STUB_EXE" kqsetup.exe
cp "$INSTALLER_EXE" installer.exe
REPORT_WIN=$(winepath -w "$WORK/report")
# The launches get a TEMP of their own (wine takes it from the registry, so
# cmd sets it), where leftovers are easy to see.
mkdir temp
TEMP_DIR=$WORK/temp

kqi() { wine "$KQI_EXE" "$@"; }
# byte OFFSET FILE: the byte's value; poke FILE OFFSET VALUE
byte() { od -An -tu1 -j "$1" -N1 "$2" | tr -d ' '; }
poke() { printf "\\x$(printf %02x "$3")" | dd of="$1" bs=1 seek="$2" conv=notrunc 2> /dev/null; }
# A wide string as the relay trace shows it, made plain: \\ \n \xxxx.
unrelay() { perl -CS -pe 's/\\(\\|n|[0-9a-f]{4})/$1 eq "\\" ? "\\" : $1 eq "n" ? "\n" : chr(hex $1)/ge'; }
# Everything the launches left in TEMP_DIR.
leftovers() { find "$TEMP_DIR" -mindepth 1 | wc -l; }

# launch SETUP [TEMP]: runs it from its folder with a relay trace and TEMP
# (default TEMP_DIR); sets rc, trace, box, started, beeps.
launch() {
    local dir=${1%/*} name=${1##*/} temp=${2:-$TEMP_DIR}
    [ "$dir" = "$1" ] && dir=.
    rm -f report report.data
    # winepath cuts names beyond MAX_PATH; WORK lies on drive Z:.
    local temp_win="Z:${temp//\//\\}"
    (cd "$dir" && WINEDEBUG=-all,+relay KQ_TEST_REPORT="$REPORT_WIN" \
        wine cmd /c "set TEMP=$temp_win&& set TMP=$temp_win&& $name" 2> "$WORK/trace")
    rc=$?
    box=$(grep -aoP 'Call user32\.MessageBoxW\(0+,\w+ L"\K.*(?=",\w+ L"Application Error",0*2010\))' trace | unrelay)
    started=$(grep -ac 'Call shell32\.ShellExecuteExW' trace)
    beeps=$(grep -acP 'Call user32\.MessageBeep\(0+\)' trace)
    # LOAD_LIBRARY_SEARCH_SYSTEM32, before anything else
    dll_search=$(grep -aoP 'Call \S+\.\K(SetDefaultDllDirectories|MessageB\w+|ShellExecuteExW)(?=\()' trace | head -1)
    grep -aqP 'Call KERNEL32\.SetDefaultDllDirectories\(0*800\)' trace || dll_search=
}
# The /DATA= and /SOURCE= values the installer got, Unix form of /DATA=.
read_report() {
    cmdline=$(grep -oP '^cmdline=\K.*' report | tr -d '\r')
    args=$(sed -E 's/^("[^"]*"|[^ ]*) //' <<< "$cmdline")
    data_win=$(grep -oP '"/DATA=\K[^"]*' <<< "$args")
    data=$(winepath -u "$data_win")
}
# expect_started NAME SETUP_WIN TEMP [EXIT]: the installer ran from
# C:\windows with exactly the two switches and the setup returned its exit
# code EXIT (default 0); the archive, as packed, lies in a fresh folder of
# TEMP that is closed to others.
expect_started() {
    local name=$1 setup_win=$2 temp=$3 exit=${4:-0}
    check "$name: the installer's exit code $exit" test "$rc" -eq "$exit"
    check "$name: installer started once" test "$started" -eq 1 -a -s report
    read_report
    check "$name: command line '$args'" test "$args" = "\"/SOURCE=$setup_win\" \"/DATA=$data_win\""
    check "$name: program is C:\\windows\\KQInstall.exe" grep -qi '^self=C:\\windows\\KQInstall.exe' report
    check "$name: archive KQI<hex>.tmp in a folder KQI<hex> of TEMP ($data)" \
        grep -qE "^$temp/KQI[0-9A-F]+/KQI[0-9A-Fa-f]+\\.tmp\$" <<< "$data"
    check "$name: that folder closed to others" test $((0$(stat -c %a "${data%/*}") & 7)) -eq 0
    check "$name: archive held the payload" cmp -s report.data payload.kqa
    check "$name: archive left to the installer" cmp -s "$data" payload.kqa
    check "$name: both files closed before the start" grep -q '^data_exclusive=1' report
    rm -rf "${data%/*}"
}
# expect_box NAME CLASS MODULE MESSAGE: the box for a failure, with nothing
# started and nothing left in TEMP.
expect_box() {
    local name=$1 class=$2 module=$3 message=$4 shown
    shown=$(sed -E '1s/ at [0-9A-F]{8,16}\.$/ at ADDRESS./' <<< "$box")
    check "$name: exit 1" test "$rc" -eq 1
    check "$name: box '$box'" test "$shown" = "Exception $class in module $module at ADDRESS.
$message"
    check "$name: no beep" test "$beeps" -eq 0
    check "$name: nothing left in TEMP ($(leftovers))" test "$(leftovers)" -eq 0
}

printf 'readme\n' > readme.txt

# ---- a normal run
kqi setup -q --stub kqsetup.exe --installer installer.exe -o setup.exe 'Data\readme.txt=readme.txt'
check "kqi setup wrote the setup" test -s setup.exe
# The same inputs give the same setup, its checksum too (over its own bytes).
sleep 1
kqi setup -q --stub kqsetup.exe --installer installer.exe -o setup-again.exe 'Data\readme.txt=readme.txt'
check "kqi setup twice: the same bytes" cmp -s setup.exe setup-again.exe
PAYLOAD=$(payload_offset setup.exe)  # the stub's size, or one more where that ends in 'X'
tail -c +$((PAYLOAD + 5)) setup.exe > payload.kqa
start=$(date +%s%N)
KQ_TEST_SLEEP_MS=1500 KQ_TEST_EXIT=7 launch setup.exe
echo "normal run: $((($(date +%s%N) - start) / 1000000)) ms (installer sleeps 1500 ms)"
check "no beep, no box" test "$beeps" -eq 0 -a -z "$box"
check "DLL search restricted to System32 first" test "$dll_search" = SetDefaultDllDirectories
check "installer in C:\\windows byte for byte" cmp -s "$WINDIR/KQInstall.exe" installer.exe
expect_started "normal run" "$(winepath -w "$WORK/setup.exe")" "$TEMP_DIR" 7

# ---- every exit code of the installer is the setup's, all 32 bits. Under
# wine the shell sees the low 8 bits only; the stand-in installer's /RUN
# mode reads all of them with GetExitCodeProcess, here first from the
# stand-in itself, whose code is known.
# exit_code PROGRAM: sets seen, PROGRAM's exit code as /RUN saw it, and rc,
# the shell's.
exit_code() {
    local temp_win="Z:${TEMP_DIR//\//\\}"
    KQ_TEST_REPORT=NUL wine cmd /c "set TEMP=$temp_win&& set TMP=$temp_win&& installer.exe /RUN $1" \
        > run.out 2> /dev/null
    rc=$?
    seen=$(tr -d '\r' < run.out | grep -oP '^exit=\K.*')
}
KQ_TEST_EXIT=0xC0000005 exit_code installer.exe
check "/RUN reads all 32 bits ($seen)" test "$seen" = 3221225477
for code in 0 1 1602 3010 0xC0000005; do
    KQ_TEST_EXIT=$code exit_code setup.exe
    check "installer exit code $code: the setup's ($seen)" test "$seen" = $((code))
    check "installer exit code $code: the shell's low 8 bits ($rc)" test "$rc" -eq $((code & 255))
    rm -rf "${TEMP_DIR:?}"/*
done

# ---- any user's paths: Cyrillic and Japanese in the setup's folder and in
# TEMP, and a TEMP of some 300 characters
FOLDER="$WORK/Загрузки ダウンロード"
mkdir -p "$FOLDER/Временные 一時"
cp setup.exe "$FOLDER/установка.exe"
launch "$FOLDER/установка.exe" "$FOLDER/Временные 一時"
expect_started "script paths" "$(winepath -w "$FOLDER/установка.exe")" "$FOLDER/Временные 一時"
check "script paths: no box" test -z "$box"

LONG=$WORK/long
while [ ${#LONG} -lt 300 ]; do LONG="$LONG/очень длинная папка"; done
mkdir -p "$LONG"
launch setup.exe "$LONG"
expect_started "TEMP of ${#LONG} characters" "$(winepath -w "$WORK/setup.exe")" "$LONG"

# ---- a signed setup, with a throw-away CA
make_test_signer
sign() { osslsigncode sign -certs signer.crt -key signer.key -n "KQ setup" -in "$1" -out "$2" > /dev/null; }
sign setup.exe signed.exe
check "signed setup verifies" bash -c "osslsigncode verify -CAfile ca.crt -in signed.exe > /dev/null 2>&1"
check "signed setup: kqi list reads it" bash -c "wine '$KQI_EXE' list signed.exe | grep -q 'Installer.KQInstall.exe'"
check "signed setup: kqi test passes it" bash -c "wine '$KQI_EXE' test signed.exe > /dev/null"
kqi extract signed.exe 'Data\readme.txt' -o extracted.txt
check "signed setup: kqi extract gives the entry" cmp -s extracted.txt readme.txt
launch signed.exe
expect_started "signed setup" "$(winepath -w "$WORK/signed.exe")" "$TEMP_DIR"

# A stub signed before kqi setup: refused, or its signature dropped.
sign kqsetup.exe signed-stub.exe
kqi setup -q --stub signed-stub.exe --installer installer.exe -o from-signed.exe 2> kqi.err
check "signed stub refused" test $? -eq 1 -a ! -e from-signed.exe
check "signed stub: the message says to sign the finished setup" grep -q 'sign the finished setup' kqi.err
kqi setup -q --stub signed-stub.exe --installer installer.exe -o from-signed.exe --strip-signature \
    'Data\readme.txt=readme.txt'
check "signed stub with --strip-signature: the setup made" test $? -eq 0 -a -s from-signed.exe
check "signed stub with --strip-signature: the same payload" \
    cmp -s <(tail -c "$(stat -c %s payload.kqa)" from-signed.exe) payload.kqa
check "signed stub with --strip-signature: no signature left" \
    bash -c "! osslsigncode verify -CAfile ca.crt -in from-signed.exe > /dev/null 2>&1"
launch from-signed.exe
expect_started "stripped stub" "$(winepath -w "$WORK/from-signed.exe")" "$TEMP_DIR"

# A stub whose size ends in 'X' (0x58): the payload starts one byte later,
# since a field starting with 'X' reads as unpatched.
cp kqsetup.exe odd-stub.exe
head -c $(((0x58 - $(stat -c %s kqsetup.exe) % 256 + 256) % 256)) /dev/zero >> odd-stub.exe
kqi setup -q --stub odd-stub.exe --installer installer.exe -o odd.exe 'Data\readme.txt=readme.txt'
check "stub size ending in 0x58: payload behind one byte of padding" \
    test "$(payload_offset odd.exe)" -eq $(($(stat -c %s odd-stub.exe) + 1))
launch odd.exe
expect_started "stub size ending in 0x58" "$(winepath -w "$WORK/odd.exe")" "$TEMP_DIR"

# ---- no payload: beep, exit 0, nothing created
head -c "$PAYLOAD" setup.exe > nopayload.exe
rm -f "$WINDIR/KQInstall.exe"
for image in kqsetup.exe nopayload.exe; do
    launch "$image"
    check "$image: exit 0" test "$rc" -eq 0
    check "$image: beeps" test "$beeps" -eq 1
    check "$image: no box, nothing started" test -z "$box" -a "$started" -eq 0
    check "$image: nothing in TEMP" test "$(leftovers)" -eq 0
    check "$image: no installer" test ! -e "$WINDIR/KQInstall.exe"
done

# ---- failures: the box, nothing started, nothing left
payload=$((PAYLOAD + 4))  # the archive's first byte
cp setup.exe corrupt.exe
poke corrupt.exe "$payload" $(($(byte "$payload" corrupt.exe) ^ 0xFF))
launch corrupt.exe
expect_box "bad signature" EInvalidHeader corrupt.exe "Can't recognize compressed file header."
check "bad signature: nothing started, no installer" test "$started" -eq 0 -a ! -e "$WINDIR/KQInstall.exe"

# Stored, cut inside the installer's data, with a size field to match.
kqi setup -q --stub kqsetup.exe --installer installer.exe -o stored.exe --method none
# One byte of a stored installer changed, as in a damaged download; in
# bytes after its image, so that the damaged installer would still run.
{ cat installer.exe; head -c 4096 /dev/zero; } > padded.exe
kqi setup -q --stub kqsetup.exe --installer padded.exe -o damaged.exe --method none
at=$((payload + 21 + 25 + 23 + $(stat -c %s padded.exe) - 100))
poke damaged.exe $at $(($(byte $at damaged.exe) ^ 0x01))
launch damaged.exe
expect_box "damaged stored installer" EBadChecksum damaged.exe "Bad checksum during expansion -- data may be invalid."
check "damaged stored installer: nothing started, no installer" test "$started" -eq 0 -a ! -e "$WINDIR/KQInstall.exe"
cut=$(($(stat -c %s stored.exe) - 1000))
head -c "$cut" stored.exe > truncated.exe
new_size=$((cut - payload))
for i in 0 1 2 3; do poke truncated.exe $((PAYLOAD + i)) $(((new_size >> (8 * i)) & 255)); done
launch truncated.exe
expect_box "truncated archive" EStreamReadError truncated.exe "Stream read error."
check "truncated archive: partial installer removed" test ! -e "$WINDIR/KQInstall.exe"

head -c "$cut" stored.exe > short.exe
launch short.exe
expect_box "payload shorter than its size" EStreamReadError short.exe "Stream read error."

mkdir "$WINDIR/KQInstall.exe"
launch setup.exe
expect_box "installer not writable" EFileCreateError setup.exe 'Cannot create file C:\windows\KQInstall.exe.'
rmdir "$WINDIR/KQInstall.exe"

# An installer that cannot start is a failure: nothing was installed.
kqi setup -q --force --stub kqsetup.exe --installer readme.txt -o no-entry.exe --method none
poke no-entry.exe $((payload + 21 + 25)) 88  # "Xnstaller\KQInstall.exe"
cp no-entry.exe not-a-program.exe
poke not-a-program.exe $((payload + 21 + 25)) 73  # a text file as the installer
for image in no-entry.exe not-a-program.exe; do
    launch "$image"
    expect_box "$image" EInstallerStartError "$image" 'Cannot start file C:\windows\KQInstall.exe: Bad format.'
    check "$image: installer removed" test ! -e "$WINDIR/KQInstall.exe"
done

# ---- two setups at once: the second cannot replace the running installer
(KQ_TEST_SLEEP_MS=4000 KQ_TEST_REPORT="$REPORT_WIN.first" wine setup.exe 2> /dev/null) &
first=$!
for _ in $(seq 100); do [ -e report.first.data ] && break; sleep 0.2; done
before=$(leftovers)
launch setup.exe
check "second at once: box" test "$box" != "${box#Exception EFileCreateError in module setup.exe at }"
check "second at once: exit 1, nothing started" test "$rc" -eq 1 -a "$started" -eq 0
check "second at once: nothing of its own left in TEMP" test "$(leftovers)" -eq "$before"
wait "$first"
check "first of two: finished normally" test $? -eq 0 -a -s report.first
rm -rf "$TEMP_DIR"/*

# ---- a full disk for the temporary archive (a small tmpfs, as root)
mkdir full
if mount -t tmpfs -o size=300k kqtest full 2> /dev/null; then
    MOUNTS+=("$WORK/full")
    head -c 400000 /dev/urandom > large.bin
    kqi setup -q --force --stub kqsetup.exe --installer large.bin -o large.exe --method none
    TEMP_DIR=$WORK/full launch large.exe "$WORK/full"
    TEMP_DIR=$WORK/full expect_box "full disk" EStreamWriteError large.exe "Stream write error."
else
    echo "skipped: full disk (mounting a tmpfs needs root)"
fi

report
