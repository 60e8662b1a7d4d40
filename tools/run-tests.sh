#!/bin/bash
# Every check CI runs, in this order:
#  0. the sources' layout (.clang-format);
#  1. the release build (the optimiser's warnings are errors too);
#  2. the libFuzzer harnesses, each run briefly from its saved corpus;
#  3. the ASan + UBSan build and every test, then the LZH5 decoder's tests
#     again with the generic fast loop (KQ_DISABLE_BMI2=1);
#  4. the 32-bit Windows cross build, its unit tests and the launcher's
#     end-to-end tests under wine. Where 32-bit wine cannot run (some kernels
#     cannot execute 32-bit programs), the 32-bit launcher gets its static
#     checks and every Windows test runs with the 64-bit build under wine64;
#  5. the Windows packages (zips) for i686 and x86_64, their file lists;
#  6. the 32-bit launcher built once more as plain Release, checked the same;
#  7. the stubs are the same bytes built elsewhere: the release build's copy
#     of the 32-bit stub against the mingw build's, and the POSIX stub once
#     more from a copy of the sources in another folder.
# FUZZ_SECONDS sets the time per harness (default 60; 0 skips the fuzzers).
# KQ_FORCE_WINE64=1 takes the wine64 way as if 32-bit wine could not run.
set -euo pipefail
cd "$(dirname "$0")/.."
# Wine makes Unix file names of Windows ones through the locale, and under
# the C locale it can make no non-ASCII name: every test runs under UTF-8,
# whatever the caller's environment (C.UTF-8 is always there on Debian).
export LANG=C.UTF-8 LC_ALL=C.UTF-8
unset LANGUAGE

bash tools/check-format.sh
cmake --preset release > /dev/null
cmake --build --preset release -j2

if [ "${FUZZ_SECONDS:-60}" != 0 ]; then
    bash tools/fuzz-smoke.sh "${FUZZ_SECONDS:-60}"
fi

cmake --preset debug > /dev/null
cmake --build --preset debug -j2
ctest --preset debug -j2
# Once more with the LZH5 decoder's generic fast loop: on a processor with
# BMI2 the run above took the BMI2 loop alone.
KQ_DISABLE_BMI2=1 ctest --preset debug -j2 -R '^(Lzh5Test\.|IntegrityTest\.|fuzz_replay_(lzh5|expand|roundtrip)$)'

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

# Both Windows packages and what they hold; the one of the build whose tests
# ran above was also used from a cross-built installer (package_zip). The
# other gets its zip from a build without tests.
version=$(sed -n 's/^project(KQInstall VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
if [ -z "$why" ]; then
    cmake --preset mingw64 -B build/mingw64-zip -DKQ_BUILD_TESTS=OFF > /dev/null
    cmake --build build/mingw64-zip -j2
    bash tests/package/zip_test.sh build/mingw64-zip . "$version"
else
    bash tests/package/zip_test.sh build/mingw . "$version"
fi

# The launcher's marker and size must not depend on the build type.
cmake --preset mingw-release > /dev/null
cmake --build --preset mingw-release -j2
# The stub is optimised for size in every build type: the same limit holds.
bash tests/wine/check-image.sh build/mingw-release/Setup/kqsetup.exe

# Reproducible stubs: the release build made the 32-bit stub in a folder of
# its own (cmake/WindowsStub.cmake) from the same sources.
if ! cmp build/release/windows-stub/Setup/kqsetup.exe build/mingw/Setup/kqsetup.exe; then
    echo "run-tests: the 32-bit stub differs between build/release/windows-stub and build/mingw" >&2
    exit 1
fi
echo "run-tests: the 32-bit stub is the same built in build/release/windows-stub and build/mingw"
bash tools/same-stub.sh build/release
