#!/bin/bash
# The main job: pack a small archive with kqi, list it, test it and extract
# from it; then make a setup with kqi setup and run it: the Windows launcher
# under wine when there is a mingw build and wine, else the POSIX launcher.
# Usage: tools/demo.sh [HOST_BUILD_DIR [MINGW_BUILD_DIR]]
set -euo pipefail
BUILD=$(realpath "${1:-build/release}")
MINGW=$(realpath -m "${2:-build/mingw}")
KQI="$BUILD/tools/kqi"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"
printf 'Hello from the installer.\n' > installer.bin
head -c 65536 /dev/zero > zeros.bin
echo "== kqi pack"
"$KQI" pack -o demo.kqa --method rle 'Installer\KQInstall.exe=installer.bin' 'Data\zeros.bin=zeros.bin'
ls -l demo.kqa
echo "== kqi list"
"$KQI" list demo.kqa
echo "== kqi test"
"$KQI" test demo.kqa
echo "== kqi extract"
"$KQI" extract demo.kqa 'Installer\KQInstall.exe' -o -

printf 'Read me first.\n' > readme.txt
if [ -f "$MINGW/Setup/kqsetup.exe" ] && command -v wine > /dev/null; then
    echo "== kqi setup (Windows launcher $(stat -c %s "$MINGW/Setup/kqsetup.exe") bytes, stand-in installer)"
    "$KQI" setup --stub "$MINGW/Setup/kqsetup.exe" --installer "$MINGW/tests/kqtest_installer.exe" \
        -o demo-setup.exe 'Data\readme.txt=readme.txt'
    "$KQI" list demo-setup.exe
    export WINEPREFIX="$MINGW/wineprefix" WINEDEBUG=-all
    unset DISPLAY
    if [ ! -d "$WINEPREFIX/drive_c" ]; then
        echo "(making the wine prefix, about ten seconds)"
        WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i > /dev/null 2>&1
    fi
    echo "== wine demo-setup.exe"
    rc=0
    KQ_TEST_REPORT="$(winepath -w "$WORK/report")" wine demo-setup.exe || rc=$?
    echo "launcher exit code: $rc"
    echo "the installer reported:"
    sed 's/^/    /' report
    echo "installer left in C:\\windows: $(stat -c %s "$WINEPREFIX/drive_c/windows/KQInstall.exe") bytes"
    data=$(grep -o '/DATA=[^"]*' report | cut -d= -f2- | tr -d '\r')
    rm -f "$WINEPREFIX/drive_c/windows/KQInstall.exe" "$(winepath -u "$data")"
else
    echo "== kqi setup (POSIX launcher; no mingw build or no wine)"
    cat > installer.sh <<'SCRIPT'
#!/bin/sh
echo "    installer $0 started with $# arguments:"
for arg in "$@"; do echo "      $arg"; done
echo "    the archive holds $(wc -c < "${2#/DATA=}") bytes"
SCRIPT
    "$KQI" setup --stub "$BUILD/Setup/kqsetup" --installer installer.sh -o demo-setup 'Data\readme.txt=readme.txt'
    "$KQI" list demo-setup
    echo "== ./demo-setup"
    rc=0
    TMPDIR="$WORK" ./demo-setup || rc=$?
    echo "launcher exit code: $rc"
fi
