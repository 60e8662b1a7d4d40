#!/bin/bash
# The launcher with a large payload: a setup whose installer is a program that
# exits at once, padded to SIZE_MB MiB of incompressible bytes (stored). Times
# the launch (copy, expansion, start) against `cp` of the payload plus
# `kqi extract` of the installer entry, and reports the launcher process's
# peak resident set (VmHWM) for this payload and for a 1 MiB one.
# Usage:
#   launcher-large.sh posix KQSETUP KQI [SIZE_MB]
#   launcher-large.sh wine KQSETUP.EXE KQI KQI.EXE [SIZE_MB]     (WINEPREFIX set)
# KQI is the host's kqi (it builds the setup either way); KQI.EXE runs the
# extraction under wine. The work folder is BENCH_DIR (default: a new folder
# in /var/tmp) and needs about 4 x SIZE_MB of space.
set -euo pipefail
MODE=$1
STUB=$(realpath "$2")
KQI=$(realpath "$3")
if [ "$MODE" = wine ]; then
    KQI_EXE=$(realpath "$4")
    SIZE_MB=${5:-1024}
    export WINEDEBUG=-all
    unset DISPLAY
    # Started here, so that no launch pays for it; nothing of wine may hold
    # this script's output open.
    wine cmd /c exit < /dev/null > /dev/null 2>&1
else
    SIZE_MB=${4:-1024}
fi
WORK=${BENCH_DIR:-$(mktemp -d /var/tmp/kq-large.XXXXXX)}
mkdir -p "$WORK/temp"
cleanup() {
    rm -rf "$WORK"
    [ "$MODE" = wine ] && rm -f "${WINEPREFIX:-$HOME/.wine}/drive_c/windows/KQInstall.exe"
    [ -n "${OLD_TEMP:-}" ] && for v in TEMP TMP; do
        wine reg add 'HKCU\Environment' /v $v /t REG_EXPAND_SZ /d "$OLD_TEMP" /f > /dev/null 2>&1
    done
    return 0
}
trap cleanup EXIT
cd "$WORK"
if [ "$MODE" = wine ]; then
    # wine takes TEMP from the registry; set it there for the launches.
    OLD_TEMP=$(wine reg query 'HKCU\Environment' /v TEMP 2> /dev/null | grep -aoP 'REG_\w+\s+\K.*' | tr -d '\r')
    for v in TEMP TMP; do
        wine reg add 'HKCU\Environment' /v $v /t REG_EXPAND_SZ /d "Z:${WORK//\//\\}\\temp" /f > /dev/null
    done
fi

# An installer that exits at once, whatever follows its code.
if [ "$MODE" = wine ]; then
    printf 'int main(void) { return 0; }\n' > quick.c
    i686-w64-mingw32-gcc -Os -s -mwindows quick.c -o quick.exe
    INSTALLER=quick.exe
else
    cp /bin/true quick
    INSTALLER=quick
fi

# measure COMMAND...: sets elapsed (seconds) and peak (the process's VmHWM in
# KiB, polled; wine's programs keep their process id through its exec chain).
measure() {
    local start pid value
    start=$(date +%s%N)
    "$@" > /dev/null &
    pid=$!
    peak=0
    while kill -0 "$pid" 2> /dev/null; do
        value=$(awk '/^VmHWM/ {print $2}' "/proc/$pid/status" 2> /dev/null || true)
        [ -n "$value" ] && peak=$value
        sleep 0.05
    done
    wait "$pid"
    elapsed=$(awk -v ns=$(($(date +%s%N) - start)) 'BEGIN { printf "%.2f", ns / 1e9 }')
}

# run SIZE_MB: makes the setup, launches it; sets launch_s, launch_kib.
run() {
    local mb=$1
    cp "$INSTALLER" padded
    head -c $((mb * 1048576)) /dev/urandom >> padded
    "$KQI" setup -q --stub "$STUB" --installer padded -o "setup$EXT" --method none
    rm -rf temp/* && sync
    if [ "$MODE" = wine ]; then
        measure wine "setup$EXT"
    else
        TMPDIR=$WORK/temp measure "./setup"
    fi
    launch_s=$elapsed
    launch_kib=$peak
}

EXT=
[ "$MODE" = wine ] && EXT=.exe
run 1
small_kib=$launch_kib
run "$SIZE_MB"
launch_kib_large=$launch_kib

# The same work by other means, on the same files.
field=$(($(grep -obaF KQI_SIZE "setup$EXT" | head -1 | cut -d: -f1) + 8))
tail -c +$(($(od -An -tu4 -j "$field" -N4 "setup$EXT") + 1)) "setup$EXT" > payload
rm -rf temp/* extracted && sync
measure cp payload temp/copy
cp_s=$elapsed
rm -f temp/copy && sync
if [ "$MODE" = wine ]; then
    measure wine "$KQI_EXE" extract "setup$EXT" 'Installer\KQInstall.exe' -o extracted
else
    measure "$KQI" extract "setup$EXT" 'Installer\KQInstall.exe' -o extracted
fi
extract_s=$elapsed
cmp -s extracted padded || { echo "kqi extract gave other bytes" >&2; exit 1; }

awk -v m="$MODE" -v mb="$SIZE_MB" -v l="$launch_s" -v c="$cp_s" -v x="$extract_s" \
    -v big="$launch_kib_large" -v small="$small_kib" 'BEGIN {
    printf "%s, %d MiB payload: launch %.2f s; cp %.2f s + kqi extract %.2f s = %.2f s; ratio %.2f\n",
        m, mb, l, c, x, c + x, l / (c + x)
    printf "%s: peak resident set %.1f MiB with %d MiB, %.1f MiB with 1 MiB\n", m, big / 1024, mb, small / 1024
}'
