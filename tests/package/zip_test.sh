#!/bin/bash
# The Windows package: cpack -G ZIP of a mingw build and what it holds. With
# "run" (and WINE, WINEPREFIX set): a publisher's installer cross-built
# against the unpacked zip, packed by the zip's kqi.exe with its launcher into
# a setup that runs under wine and lands its files, names and bytes intact.
# Usage: zip_test.sh BUILD_DIR SOURCE_DIR VERSION [run]
set -u
BUILD=$(realpath "$1") SOURCE=$(realpath "$2") VERSION=$3 RUN=${4:-}
export WINEDEBUG=-all LANG=C.UTF-8 LC_ALL=C.UTF-8
unset DISPLAY
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
source "$SOURCE/tests/lib/check.sh"

if grep -q '^CMAKE_SYSTEM_PROCESSOR:.*=x86_64' "$BUILD/CMakeCache.txt" ||
   grep -q 'CMAKE_TOOLCHAIN_FILE.*mingw-x86_64' "$BUILD/CMakeCache.txt"; then
    ARCH=x86_64 SYSTEM=win64 FORMAT=pei-x86-64
else
    ARCH=i686 SYSTEM=win32 FORMAT=pei-i386
fi
NAME=kqinstall-$VERSION-$SYSTEM
cpack --config "$BUILD/CPackConfig.cmake" -B "$WORK" > "$WORK/cpack.log" 2>&1 || { cat "$WORK/cpack.log"; exit 1; }
check "the zip's name" test -f "$WORK/$NAME.zip"
unzip -Z1 "$WORK/$NAME.zip" | grep -v '/$' | sed "s|^$NAME/||" | sort > "$WORK/files"
for file in bin/kqi.exe share/kqinstall/kqsetup.exe README.md kqi.txt \
    include/InstCompress/EntryReader.h include/InstCompress/KQVersion.h include/InstCompressIntf/InstCompressIntf.h \
    include/InstCompressPack/ArchiveWriter.h lib/libInstCompress.a lib/libInstCompressPack.a \
    lib/cmake/InstCompress/InstCompressConfig.cmake lib/cmake/InstCompress/InstCompressConfigVersion.cmake \
    lib/cmake/InstCompress/InstCompressTargets.cmake lib/cmake/InstCompress/KQAddSetup.cmake; do
    check "holds $file" grep -qxF "$file" "$WORK/files"
done
check "only Windows files" bash -c "! grep -E '^usr/|bash-completion|man1|\\.pc\$|\\.1\$|kqsetup\$|gtest|_tests' '$WORK/files'"
unzip -q "$WORK/$NAME.zip" -d "$WORK/Outils été"
PACKAGE="$WORK/Outils été/$NAME"
for exe in bin/kqi.exe share/kqinstall/kqsetup.exe; do
    check "$exe is $FORMAT" grep -q "file format $FORMAT" <("$ARCH-w64-mingw32-objdump" -f "$PACKAGE/$exe")
done
check "the manual is text" grep -q '^SYNOPSIS' "$PACKAGE/kqi.txt"
if [ "$RUN" != run ]; then
    report
    exit
fi

wine() { command "${WINE:-wine}" "$@"; }
kqi() { wine "$PACKAGE/bin/kqi.exe" "$@"; }
cmake -S "$SOURCE/tests/package/windows" -B "$WORK/build" -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel \
    -DCMAKE_TOOLCHAIN_FILE="$SOURCE/cmake/mingw-$ARCH.cmake" -DCMAKE_PREFIX_PATH="$PACKAGE" \
    > "$WORK/configure.log" 2>&1 || { cat "$WORK/configure.log"; exit 1; }
cmake --build "$WORK/build" > "$WORK/build.log" 2>&1 || { cat "$WORK/build.log"; exit 1; }
check "installer built against the zip" test -f "$WORK/build/KQInstall.exe"

cd "$WORK"
mkdir -p Données/Пример Données/日本語
printf 'Résumé en français.\n' > Données/Résumé.txt
printf 'Пример файла.\n' > Données/Пример/файл.txt
head -c 100000 "$PACKAGE/bin/kqi.exe" > Données/日本語/プログラム.bin
# Without --stub: the package's launcher, named.
kqi setup --installer build/KQInstall.exe -o Установка.exe Données=Données > setup.out
crlf setup.out
check "setup names the package's launcher" grep -qE '^using the installed launcher .*\\Outils été\\kqinstall-[^\\]*\\share\\kqinstall\\kqsetup\.exe$' setup.out
check "setup uses it" made_from Установка.exe "$PACKAGE/share/kqinstall/kqsetup.exe"
mkdir target
KQ_TEST_TARGET=$(wine winepath -w "$WORK/target") timeout 120 wine Установка.exe
check "the setup ran the installer" test $? -eq 0
check "the installer wrote every entry, names and bytes" diff -r Données "target/Programme installé/Données"

# kqi.exe alone names both places; a launcher beside it is taken.
mkdir alone
cp "$PACKAGE/bin/kqi.exe" alone/
wine alone/kqi.exe setup --installer build/KQInstall.exe -o x.exe 2> alone.err
check "no launcher: both places named" grep -qE "none is installed in '.*\\\\alone' or in '.*\\\\share\\\\kqinstall'" alone.err
cp "$PACKAGE/share/kqinstall/kqsetup.exe" alone/
wine alone/kqi.exe setup --installer build/KQInstall.exe -o beside.exe > beside.out
crlf beside.out
check "the launcher beside kqi.exe" grep -qE '^using the installed launcher .*\\alone\\kqsetup\.exe$' beside.out
report
