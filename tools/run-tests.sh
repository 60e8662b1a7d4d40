#!/bin/bash
# Every check CI runs, in this order:
#  1. the release build (the optimiser's warnings are errors too);
#  2. the libFuzzer harnesses, each run briefly from its saved corpus;
#  3. the ASan + UBSan build and every test;
#  4. the 32-bit Windows cross build, its unit tests and the launcher's
#     end-to-end tests under wine (skipped with a note when mingw-w64 or
#     wine is missing).
# FUZZ_SECONDS sets the time per harness (default 60; 0 skips the fuzzers).
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset release > /dev/null
cmake --build --preset release -j2

if [ "${FUZZ_SECONDS:-60}" != 0 ]; then
    bash tools/fuzz-smoke.sh "${FUZZ_SECONDS:-60}"
fi

cmake --preset debug > /dev/null
cmake --build --preset debug -j2
ctest --preset debug -j2

if ! command -v i686-w64-mingw32-g++-posix > /dev/null || ! command -v wine > /dev/null; then
    echo "run-tests: mingw-w64 or wine missing, Windows build and tests skipped" >&2
    exit 0
fi
cmake --preset mingw > /dev/null
cmake --build --preset mingw -j2
ctest --preset mingw -j2
