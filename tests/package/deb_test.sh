#!/bin/bash
# Builds the Debian package and checks what it holds.
# Usage: deb_test.sh BUILD_DIR SOURCE_DIR VERSION WINDOWS_STUB
set -u
BUILD=$1 SOURCE=$2 VERSION=$3 WINDOWS_STUB=$4
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
source "$SOURCE/tests/lib/check.sh"

cpack --config "$BUILD/CPackConfig.cmake" -G DEB -B "$WORK" > "$WORK/cpack.log" 2>&1 || { cat "$WORK/cpack.log"; exit 1; }
deb=$(ls "$WORK"/*.deb)
check "package name and version" test "$(dpkg-deb -f "$deb" Package Version)" = "Package: kqinstall
Version: $VERSION"
dpkg-deb -c "$deb" | awk '{print $NF}' > "$WORK/files"
expected=(./usr/bin/kqi ./usr/share/kqinstall/kqsetup
          ./usr/lib/libInstCompress.a ./usr/lib/libInstCompressPack.a
          ./usr/include/InstCompress/EntryReader.h ./usr/include/InstCompress/KQVersion.h
          ./usr/include/InstCompressPack/ArchiveWriter.h
          ./usr/lib/cmake/InstCompress/InstCompressConfig.cmake
          ./usr/lib/cmake/InstCompress/InstCompressConfigVersion.cmake
          ./usr/lib/cmake/InstCompress/KQAddSetup.cmake
          ./usr/lib/pkgconfig/instcompress.pc ./usr/lib/pkgconfig/instcompress-pack.pc)
[ -n "$WINDOWS_STUB" ] && expected+=(./usr/share/kqinstall/kqsetup.exe)
[ -f "$SOURCE/tools/kqi/kqi.1" ] && expected+=(./usr/share/man/man1/kqi.1)
for file in "${expected[@]}"; do
    check "holds $file" grep -qxF "$file" "$WORK/files"
done
check "no build-only files" bash -c "! grep -E 'BitWriter|gtest|gmock|_tests' '$WORK/files'"
report
