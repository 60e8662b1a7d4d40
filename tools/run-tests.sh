#!/bin/bash
# Every check CI runs, in this order:
#  1. the release build (the optimiser's warnings are errors too);
#  2. the libFuzzer harnesses, each run briefly from its saved corpus;
#  3. the ASan + UBSan build and every test;
#  4. the 32-bit Windows cross build, its unit tests and the launcher's
#     end-to-end tests under wine. Where 32-bit wine cannot run (some kernels
#     cannot execute 32-bit programs), the 32-bit launcher gets its static
#     checks and every Windows test runs with the 64-bit build under wine64;
#  5. the 32-bit launcher built once more as plain Release, checked the same.
# FUZZ_SECONDS sets the time per harness (default 60; 0 skips the fuzzers).
# KQ_FORCE_WINE64=1 takes the wine64 way as if 32-bit wine could not run.
set -euo pipefail
cd "$(dirname "$0")/.."
# Wine makes Unix file names of Windows ones through the locale, and under
# the C locale it can make no non-ASCII name: every test runs under UTF-8,
# whatever the caller's environment (C.UTF-8 is always there on Debian).
export LANG=C.UTF-8 LC_ALL=C.UTF-8
unset LANGUAGE

cmake --preset release > /dev/null
cmake --build --preset release -j2

if [ "${FUZZ_SECONDS:-60}" != 0 ]; then
    bash tools/fuzz-smoke.sh "${FUZZ_SECONDS:-60}"
fi

cmake --preset debug > /dev/null
cmake --build --preset debug -j2
ctest --preset debug -j2

for compiler in i686-w64-mingw32-g++-posix x86_64-w64-mingw32-g++-posix; do
    if ! command -v "$compiler" > /dev/null; then
        echo "run-tests: $compiler missing (tools/install-deps.sh installs it)" >&2
        exit 1
    fi
done

# wine_fails DIR LOADER: prints why LOADER cannot run the stand-in installer
# of the cross build in DIR inside the build's wine prefix; prints nothing
# when it ran and returned the exit code it was asked for.
wine_fails() {
    local dir=$1 loader=$2 output rc=0
    if ! command -v "$loader" > /dev/null; then
        echo "there is no $loader"
        return
    fi
    export WINEPREFIX=$PWD/$dir/wineprefix WINEDEBUG=-all WINE=$loader
    output=$(timeout 600 env -u DISPLAY bash tests/wine/prepare-prefix.sh 2>&1) || rc=$?
    if [ "$rc" != 0 ]; then
        echo "making its prefix failed with exit code $rc: $(grep -v '^prepare-prefix:' <<< "$output" | tail -1)"
        return
    fi
    output=$(KQ_TEST_REPORT=NUL KQ_TEST_EXIT=42 timeout 120 env -u DISPLAY \
        "$loader" "$dir/tests/kqtest_installer.exe" 2>&1) || rc=$?
    if [ "$rc" != 42 ]; then
        echo "a test program ended with exit code $rc instead of 42: $(tail -1 <<< "$output")"
    fi
}

# The 32-bit build always: its launcher is what ships.
cmake --preset mingw > /dev/null
cmake --build --preset mingw -j2
if [ -n "${KQ_FORCE_WINE64:-}" ]; then
    why="KQ_FORCE_WINE64 is set"
else
    why=$(wine_fails build/mingw wine)
fi
if [ -z "$why" ]; then
    echo "run-tests: Windows tests run as PE32 under wine (a 32-bit test program ran under wine)"
    ctest --preset mingw -j2
else
    ctest --preset mingw -R '^kqsetup_image$'
    cmake --preset mingw64 > /dev/null
    cmake --build --preset mingw64 -j2
    wine64=$(sed -n 's/^KQ_WINE64:FILEPATH=//p' build/mingw64/CMakeCache.txt)
    why64=$(wine_fails build/mingw64 "$wine64")
    if [ -n "$why64" ]; then
        echo "run-tests: neither wine runs the Windows tests: 32-bit wine: $why; 64-bit wine: $why64" >&2
        exit 1
    fi
    echo "run-tests: Windows tests run as PE32+ under wine64, PE32 launcher checked statically ($why)"
    ctest --preset mingw64 -j2
fi

# The launcher's marker and size must not depend on the build type.
cmake --preset mingw-release > /dev/null
cmake --build --preset mingw-release -j2
# Speed-optimised code is larger: the size limit is for the shipped build.
KQ_IMAGE_LIMIT=$((320 * 1024)) bash tests/wine/check-image.sh build/mingw-release/Setup/kqsetup.exe
