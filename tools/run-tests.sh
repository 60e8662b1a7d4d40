#!/bin/bash
# Builds with ASan + UBSan and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset debug > /dev/null
cmake --build --preset debug
ctest --preset debug -j2
