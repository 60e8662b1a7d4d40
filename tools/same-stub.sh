#!/bin/bash
# The launcher stub is the same bytes whatever the source and build folders:
# builds it once more, from a copy of the sources at another path into
# another build folder, with the build type, tool chain and sanitizers of
# BUILD_DIR, and compares the two stubs.
# Usage: same-stub.sh BUILD_DIR (configured and built, stub included)
# Not for sanitized builds: GCC 12 writes full source paths into the
# sanitizers' location records, which no prefix map reaches.
set -euo pipefail
BUILD=$(realpath "$1")
SOURCE=$(realpath "$(dirname "$0")/..")
cache() { sed -n "s/^$1:[A-Z]*=//p" "$BUILD/CMakeCache.txt"; }
STUB=$(find "$BUILD/Setup" -maxdepth 1 -name 'kqsetup*' -type f -perm -u+x | head -1)
[ -n "$STUB" ] || { echo "same-stub: no stub in $BUILD/Setup" >&2; exit 1; }
WORK=$(mktemp -d /tmp/kq-same-stub.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
# Another depth and another name for both folders.
OTHER=$WORK/elsewhere/checkout-copy
mkdir -p "$OTHER"
tar -C "$SOURCE" --exclude=./build --exclude=./.git -cf - . | tar -C "$OTHER" -xf -
toolchain=$(cache CMAKE_TOOLCHAIN_FILE)
args=(-G Ninja -DCMAKE_BUILD_TYPE="$(cache CMAKE_BUILD_TYPE)" -DKQ_WERROR=ON -DKQ_SANITIZE="$(cache KQ_SANITIZE)"
      -DKQ_BUILD_TESTS=OFF -DKQ_BUILD_TOOLS=OFF -DKQ_BUILD_WINDOWS_STUB=OFF)
[ -n "$toolchain" ] && args+=(-DCMAKE_TOOLCHAIN_FILE="$OTHER/${toolchain#"$SOURCE"/}")
cmake -S "$OTHER" -B "$WORK/b" "${args[@]}" > /dev/null
cmake --build "$WORK/b" -j2 --target kqsetup > /dev/null
if cmp "$STUB" "$WORK/b/Setup/${STUB##*/}"; then
    echo "same-stub: ${STUB#"$SOURCE"/} ($(stat -c %s "$STUB") bytes) is the same built elsewhere"
else
    echo "same-stub: FAIL: ${STUB#"$SOURCE"/} differs when built elsewhere" >&2
    exit 1
fi
