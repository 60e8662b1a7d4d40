#!/bin/bash
# Makes the wine prefix the launcher tests share (first start takes a while)
# and lists the calls the relay trace shows.
set -eu
mkdir -p "$WINEPREFIX"
WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i > /dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /t REG_SZ \
    /d 'MessageBoxA;MessageBeep;ShellExecuteExA;SetDefaultDllDirectories' /f > /dev/null 2>&1
wineserver -w
