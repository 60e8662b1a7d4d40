#!/bin/bash
# The main job: pack a small archive with kqi, list it, test it and extract
# from it; then make a setup with kqi setup and run it: the 32-bit Windows
# launcher under wine; where 32-bit wine cannot run, the 64-bit one under
# wine64 (built here when missing); else the POSIX launcher.
# Usage: tools/demo.sh [HOST_BUILD_DIR [MINGW_BUILD_DIR [MINGW64_BUILD_DIR]]]
# KQ_FORCE_WINE64=1 takes the wine64 way as if 32-bit wine could not run.
set -euo pipefail
# Wine needs a UTF-8 locale for non-ASCII file names, whatever the caller's.
export LANG=C.UTF-8 LC_ALL=C.UTF-8
unset LANGUAGE
SOURCE=$(realpath "$(dirname "$0")/..")
BUILD=$(realpath "${1:-build/release}")
MINGW=$(realpath -m "${2:-build/mingw}")
MINGW64=$(realpath -m "${3:-$SOURCE/build/mingw64}")
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
unset DISPLAY
export WINEDEBUG=-all

# wine_ready DIR LOADER: whether LOADER runs the stand-in installer of the
# cross build in DIR, in the build's prefix (made first when missing); says
# why not when it does not.
wine_ready() {
    local dir=$1 loader=$2 output rc=0
    if [ ! -f "$dir/Setup/kqsetup.exe" ]; then
        echo "(no launcher in $dir)"
        return 1
    fi
    if ! command -v "$loader" > /dev/null; then
        echo "(there is no $loader)"
        return 1
    fi
    export WINEPREFIX="$dir/wineprefix"
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "(making the wine prefix for $loader, up to a minute)"
        output=$(WINEDLLOVERRIDES="mscoree,mshtml=" timeout 600 "$loader" wineboot -i 2>&1) || rc=$?
        if [ "$rc" != 0 ]; then
            echo "($loader wineboot failed with exit code $rc:"
            sed 's/^/    /' <<< "$output"
            echo ")"
            rm -rf "$WINEPREFIX"
            return 1
        fi
    fi
    output=$(KQ_TEST_REPORT=NUL KQ_TEST_EXIT=42 timeout 120 "$loader" "$dir/tests/kqtest_installer.exe" 2>&1) || rc=$?
    if [ "$rc" != 42 ]; then
        echo "($loader cannot run a program of $dir: exit code $rc; $(tail -1 <<< "$output"))"
        return 1
    fi
}

# run_windows DIR LOADER WHAT: the demo setup with the launcher of DIR.
run_windows() {
    local dir=$1 loader=$2 what=$3 rc=0
    echo "== kqi setup (Windows launcher: $what, $(stat -c %s "$dir/Setup/kqsetup.exe") bytes; stand-in installer)"
    "$KQI" setup --stub "$dir/Setup/kqsetup.exe" --installer "$dir/tests/kqtest_installer.exe" \
        -o demo-setup.exe 'Data\readme.txt=readme.txt'
    "$KQI" list demo-setup.exe
    echo "== $(basename "$loader") demo-setup.exe"
    KQ_TEST_REPORT="$("$loader" winepath -w "$WORK/report")" "$loader" demo-setup.exe || rc=$?
    echo "launcher exit code: $rc"
    if [ ! -f report ]; then
        echo "the installer did not run"
        exit 1
    fi
    echo "the installer reported:"
    sed 's/^/    /' report
    echo "installer left in C:\\windows: $(stat -c %s "$WINEPREFIX/drive_c/windows/KQInstall.exe") bytes"
    data=$(grep -o '/DATA=[^"]*' report | cut -d= -f2- | tr -d '\r')
    rm -f "$WINEPREFIX/drive_c/windows/KQInstall.exe" "$("$loader" winepath -u "$data")"
    echo "demo: ran the Windows launcher ($what) under $(basename "$loader")"
}

if [ -n "${KQ_FORCE_WINE64:-}" ]; then
    echo "(KQ_FORCE_WINE64 is set: no 32-bit wine)"
elif wine_ready "$MINGW" wine; then
    run_windows "$MINGW" wine PE32
    exit 0
fi
WINE64=$(command -v wine64 || echo /usr/lib/wine/wine64)
if [ -x "$WINE64" ] && [ ! -f "$MINGW64/Setup/kqsetup.exe" ] && [ "$MINGW64" = "$SOURCE/build/mingw64" ] &&
   command -v x86_64-w64-mingw32-g++-posix > /dev/null; then
    echo "(building the 64-bit launcher in $MINGW64)"
    (cd "$SOURCE" && cmake --preset mingw64 > /dev/null &&
        cmake --build --preset mingw64 --target kqsetup kqtest_installer > /dev/null) ||
        echo "(the 64-bit build failed)"
fi
if wine_ready "$MINGW64" "$WINE64"; then
    run_windows "$MINGW64" "$WINE64" PE32+
    exit 0
fi

echo "== kqi setup (POSIX launcher; no Windows launcher that wine runs here)"
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
echo "demo: ran the POSIX launcher"
