#!/bin/bash
# The launcher end to end under wine: setups made with kqi setup, started,
# and checked through the files they leave, the stand-in installer's report
# and a relay trace of MessageBoxA, MessageBeep, ShellExecuteExA and
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
# The temporary archives the failing runs keep go with the rest.
cleanup() {
    rm -rf "$WORK" "$WINDIR/KQInstall.exe"
    comm -13 <(echo "$TEMPS_AT_START") <(ls "$TEMP_DIR") | grep '^KQI' | sed "s|^|$TEMP_DIR/|" | xargs -r rm -f
}
trap cleanup EXIT
WINDIR=$WINEPREFIX/drive_c/windows
source "$(dirname "${BASH_SOURCE[0]}")/../lib/check.sh"

cd "$WORK"
cp "$STUB_EXE" kqsetup.exe
cp "$INSTALLER_EXE" installer.exe
STUB_SIZE=$(stat -c %s kqsetup.exe)
TEMP_WIN=$(wine cmd /c echo %TEMP% | tr -d '\r')
TEMP_DIR=$(winepath -u "$TEMP_WIN")
REPORT_WIN=$(winepath -w "$WORK/report")
TEMPS_AT_START=$(ls "$TEMP_DIR")
temp_files() { ls "$TEMP_DIR" 2> /dev/null | grep -c '^KQI.*\.tmp$'; }

kqi() { wine "$KQI_EXE" "$@"; }
# byte OFFSET FILE: the byte's value; poke FILE OFFSET VALUE
byte() { od -An -tu1 -j "$1" -N1 "$2" | tr -d ' '; }
poke() { printf "\\x$(printf %02x "$3")" | dd of="$1" bs=1 seek="$2" conv=notrunc 2> /dev/null; }

# launch SETUP: runs it with a relay trace; sets rc, trace, box, started.
launch() {
    rm -f report report.data
    temps_before=$(temp_files)
    WINEDEBUG=-all,+relay KQ_TEST_REPORT="$REPORT_WIN" wine "$1" 2> trace
    rc=$?
    box=$(grep -aoP 'Call user32\.MessageBoxA\(00000000,\w+ "\K.*(?=",\w+ "Application Error",00002010\))' trace)
    started=$(grep -ac 'Call shell32\.ShellExecuteExA' trace)
    beeps=$(grep -ac 'Call user32\.MessageBeep(00000000)' trace)
    # LOAD_LIBRARY_SEARCH_SYSTEM32, before anything else
    dll_search=$(grep -aoP 'Call \S+\.\K(SetDefaultDllDirectories|MessageB\w+|ShellExecuteExA)(?=\()' trace | head -1)
    grep -aq 'Call KERNEL32\.SetDefaultDllDirectories(00000800)' trace || dll_search=
    temps_after=$(temp_files)
}

printf 'readme\n' > readme.txt

# ---- a normal run
kqi setup -q --stub kqsetup.exe --installer installer.exe -o setup.exe 'Data\readme.txt=readme.txt'
check "kqi setup wrote the setup" test -s setup.exe
tail -c +$((STUB_SIZE + 5)) setup.exe > payload.kqa
check "kqi list reads the setup" bash -c "wine '$KQI_EXE' list setup.exe | grep -q 'Installer.KQInstall.exe'"
check "kqi test passes the setup" bash -c "wine '$KQI_EXE' test setup.exe > /dev/null"
start=$(date +%s%N)
KQ_TEST_SLEEP_MS=1500 KQ_TEST_EXIT=7 launch setup.exe
elapsed=$((($(date +%s%N) - start) / 1000000))
echo "normal run: ${elapsed} ms (installer sleeps 1500 ms)"
check "exit code 0 whatever the installer returns" test "$rc" -eq 0
check "installer started once" test "$started" -eq 1
check "no beep, no box" test "$beeps" -eq 0 -a -z "$box"
check "DLL search restricted to System32 first" test "$dll_search" = SetDefaultDllDirectories
check "waited for the installer" test -s report
check "installer in C:\\windows byte for byte" cmp -s "$WINDIR/KQInstall.exe" installer.exe
cmdline=$(grep -oP '^cmdline=\K.*' report | tr -d '\r')
args=$(sed -E 's/^("[^"]*"|[^ ]*) //' <<< "$cmdline")
data_win=$(grep -oP '"/DATA=\K[^"]*' <<< "$args")
expected="\"/SOURCE=$(winepath -w "$WORK/setup.exe")\" \"/DATA=$data_win\""
check "command line '$args'" test "$args" = "$expected"
check "program is C:\\windows\\KQInstall.exe" bash -c "grep -qi '^self=C:\\\\windows\\\\KQInstall.exe' report"
check "temporary archive $data_win in $TEMP_WIN" test "${data_win%\\*}" = "$TEMP_WIN"
check "temporary archive named KQI<hex>.tmp" grep -qE '^KQI[0-9A-Fa-f]+\.tmp$' <<< "${data_win##*\\}"
check "temporary archive held the payload" cmp -s report.data payload.kqa
check "temporary archive left to the installer" cmp -s "$(winepath -u "$data_win")" payload.kqa
check "both files closed before the start" grep -q '^data_exclusive=1' report
rm -f "$(winepath -u "$data_win")"

# ---- no payload: beep, exit 0, nothing created
head -c "$STUB_SIZE" setup.exe > nopayload.exe
rm -f "$WINDIR/KQInstall.exe"
for image in kqsetup.exe nopayload.exe; do
    launch "$image"
    check "$image: exit 0" test "$rc" -eq 0
    check "$image: beeps" test "$beeps" -eq 1
    check "$image: no box, nothing started" test -z "$box" -a "$started" -eq 0
    check "$image: no temporary file" test "$temps_after" -eq "$temps_before"
    check "$image: no installer" test ! -e "$WINDIR/KQInstall.exe"
done

# relay TEXT: TEXT as the relay trace shows it (backslashes doubled).
relay() { sed 's/\\/\\\\/g' <<< "$1"; }
# expect_box NAME CLASS MODULE MESSAGE TEMP_LEFT: the box for a failure, with
# nothing started and no temporary file left unless TEMP_LEFT is 1.
expect_box() {
    local name=$1 class=$2 module=$3 message=$4 temp_left=$5
    local shown expected
    shown=$(sed -E 's/ at [0-9A-F]{8,16}\.\\n/ at ADDRESS.\\n/' <<< "$box")
    expected="Exception $class in module $module at ADDRESS.\\n$(relay "$message")"
    check "$name: exit 1" test "$rc" -eq 1
    check "$name: box '$box'" test "$shown" = "$expected"
    check "$name: nothing started" test "$started" -eq 0 -a ! -e report
    check "$name: no beep" test "$beeps" -eq 0
    check "$name: temporary files $temps_before -> $temps_after" test "$temps_after" -eq $((temps_before + temp_left))
}

# ---- failures of the expansion: both files removed
payload=$((STUB_SIZE + 4))  # the archive's first byte
cp setup.exe corrupt.exe
poke corrupt.exe "$payload" $(($(byte "$payload" corrupt.exe) ^ 0xFF))
launch corrupt.exe
expect_box "bad signature" EInvalidHeader corrupt.exe "Can't recognize compressed file header." 0
check "bad signature: no installer" test ! -e "$WINDIR/KQInstall.exe"

kqi setup -q --stub kqsetup.exe --installer installer.exe -o checksum.exe --method rle
checksum_at=$((payload + 21 + 17))
poke checksum.exe "$checksum_at" $(($(byte "$checksum_at" checksum.exe) ^ 1))
launch checksum.exe
expect_box "wrong checksum" EBadChecksum checksum.exe "Bad checksum during expansion -- data may be invalid." 0
check "wrong checksum: no installer" test ! -e "$WINDIR/KQInstall.exe"

# Stored, cut inside the installer's data, with a size field to match.
kqi setup -q --stub kqsetup.exe --installer installer.exe -o stored.exe --method none
cut=$(($(stat -c %s stored.exe) - 1000))
head -c "$cut" stored.exe > truncated.exe
new_size=$((cut - payload))
for i in 0 1 2 3; do poke truncated.exe $((STUB_SIZE + i)) $(((new_size >> (8 * i)) & 255)); done
launch truncated.exe
expect_box "truncated archive" EStreamReadError truncated.exe "Stream read error." 0
check "truncated archive: partial installer removed" test ! -e "$WINDIR/KQInstall.exe"

# ---- failures before the expansion: the temporary archive stays
head -c "$((cut))" stored.exe > short.exe
launch short.exe
expect_box "payload shorter than its size" EStreamReadError short.exe "Stream read error." 1

mkdir "$WINDIR/KQInstall.exe"
launch setup.exe
expect_box "installer not writable" EFileCreateError setup.exe 'Cannot create file C:\windows\KQInstall.exe.' 1
rmdir "$WINDIR/KQInstall.exe"

# A name the ANSI code page cannot hold comes back with '?': the image
# cannot be opened under the name the launcher gets.
cp setup.exe 'установка.exe'
launch 'установка.exe'
expect_box "image cannot be opened" EFileOpenError '?????????.exe' \
    "Cannot open file $(winepath -w "$WORK")\\?????????.exe." 0

report
