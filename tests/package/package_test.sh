#!/bin/bash
# Installs the build tree into a temporary prefix and builds a consumer
# against it. Usage: package_test.sh BUILD_DIR SOURCE_DIR [EXTRA_CXX_FLAGS]
set -euo pipefail
BUILD=$1 SOURCE=$2 FLAGS=${3:-}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
cmake --install "$BUILD" --prefix "$WORK/prefix" --component Unspecified > /dev/null
test -f "$WORK/prefix/include/InstCompress/InstCompress.h"
test -f "$WORK/prefix/include/InstCompressIntf/InstCompressIntf.h"
cmake -S "$SOURCE" -B "$WORK/build" -G Ninja -DCMAKE_PREFIX_PATH="$WORK/prefix" \
    -DCMAKE_CXX_FLAGS="$FLAGS" -DCMAKE_EXE_LINKER_FLAGS="$FLAGS" > /dev/null
cmake --build "$WORK/build" > /dev/null
"$WORK/build/consumer"
