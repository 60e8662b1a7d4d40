#!/bin/bash
# Makes the wine prefix the launcher tests share (first start takes a while)
# and lists the calls the relay trace shows. WINE names the loader (wine, or
# wine64 for the 64-bit build); wineboot goes through it too, since Debian's
# wineboot command always takes the 32-bit loader when it is installed.
set -eu
WINE=${WINE:-wine}
mkdir -p "$WINEPREFIX"
if ! output=$(WINEDLLOVERRIDES="mscoree,mshtml=" "$WINE" wineboot -i 2>&1); then
    echo "prepare-prefix: $WINE wineboot failed:" >&2
    echo "$output" >&2
    exit 1
fi
"$WINE" reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /t REG_SZ \
    /d 'MessageBoxW;MessageBeep;ShellExecuteExW;SetDefaultDllDirectories' /f > /dev/null 2>&1
wineserver -w
