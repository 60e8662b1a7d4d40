#!/bin/bash
# The Windows kqi under wine and the host's kqi pack the same input to the
# same bytes, in every mode and thread count.
# Usage: same-bytes.sh kqi.exe HOST_KQI
set -u
KQI_EXE=$(realpath "$1")
HOST_KQI=$2
wine() { command "${WINE:-wine}" "$@"; }
export WINEDEBUG=-all
unset DISPLAY
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
source "$(dirname "${BASH_SOURCE[0]}")/../lib/check.sh"
if [ ! -x "$HOST_KQI" ]; then
    echo "FAIL: no host kqi at $HOST_KQI (the release preset builds it)"
    exit 1
fi
cd "$WORK"
# Text, a program's code and data, and runs: each mode meets every kind.
seq 1 60000 | awk '{ printf "line %d of the test text, value %x\n", $1, $1 * 7919 % 65521 }' > input.bin
cat "$KQI_EXE" >> input.bin
head -c 200000 /dev/zero >> input.bin
for options in "" "--best" "-j 2" "--best -j 2" "--method lzh1" "--method rle"; do
    "$HOST_KQI" pack -q -j 1 $options -o host.kqa d=input.bin
    wine "$KQI_EXE" pack -q -j 1 $options -o windows.kqa d=input.bin
    check "kqi pack ${options:-(default)}: the same bytes" cmp -s host.kqa windows.kqa
done
report
