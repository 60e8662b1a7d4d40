#!/bin/bash
# Installs the build tree into a temporary prefix and uses it as a publisher
# would: the reader and the writer from a consumer project, kq_add_setup
# around an installer built there, kqi setup with the installed launcher, and
# pkg-config. Usage: package_test.sh BUILD_DIR SOURCE_DIR VERSION WINDOWS_STUB [EXTRA_CXX_FLAGS]
# (WINDOWS_STUB is empty when the build made none.)
set -u
BUILD=$1 SOURCE=$2 VERSION=$3 WINDOWS_STUB=$4 FLAGS=${5:-}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
source "$SOURCE/../lib/check.sh"
PREFIX=$WORK/prefix
STUBS=$PREFIX/share/kqinstall

cmake --install "$BUILD" --prefix "$PREFIX" > /dev/null || { echo "install failed"; exit 1; }
check "kqi --version" test "$("$PREFIX/bin/kqi" --version)" = "kqi $VERSION"
check "POSIX launcher installed" test -x "$STUBS/kqsetup"
if [ -n "$WINDOWS_STUB" ]; then
    check "Windows launcher installed" cmp -s "$WINDOWS_STUB" "$STUBS/kqsetup.exe"
    DEFAULT_STUB=$STUBS/kqsetup.exe
else
    check "no Windows launcher installed" test ! -e "$STUBS/kqsetup.exe"
    DEFAULT_STUB=$STUBS/kqsetup
fi
check "writer headers installed, internals not" \
    test -f "$PREFIX/include/InstCompressPack/ArchiveWriter.h" -a ! -e "$PREFIX/include/InstCompressPack/BitWriter.h"

# The consumer project, copied so that the test can change its installer.
cp -r "$SOURCE" "$WORK/src"
ICON_OPTION=()
if [ -n "$WINDOWS_STUB" ]; then
    python3 "$SOURCE/../tools/make-icon.py" "$WORK/src/app.ico"
    ICON_OPTION=(-DKQ_TEST_ICON="$WORK/src/app.ico")
fi
cmake -S "$WORK/src" -B "$WORK/build" -G Ninja -DCMAKE_PREFIX_PATH="$PREFIX" "${ICON_OPTION[@]}" \
    -DCMAKE_CXX_FLAGS="$FLAGS" -DCMAKE_EXE_LINKER_FLAGS="$FLAGS" > "$WORK/configure.log" 2>&1 ||
    { cat "$WORK/configure.log"; exit 1; }
cmake -S "$WORK/src" -B "$WORK/collide" -G Ninja -DCMAKE_PREFIX_PATH="$PREFIX" -DKQ_TEST_COLLIDE=ON \
    > "$WORK/collide.log" 2>&1
check "kq_add_setup(game OUTPUT game): refused at configure time" test $? -ne 0
# CMake wraps the message: compared without spaces and line ends.
check "kq_add_setup(game OUTPUT game): the message names kq_add_setup and says why" \
    bash -c "tr -d ' \n' < '$WORK/collide.log' | grep -q 'kq_add_setup(game):theOUTPUT.*\"multiplerulesgenerategame\"'"
build() { cmake --build "$WORK/build" > "$WORK/build.log" 2>&1 || cat "$WORK/build.log"; }
build
cd "$WORK/build"

check "writer and reader round trip" ./consumer roundtrip "$STUBS/kqsetup" roundtrip-setup
check "kqi reads the writer's setup" bash -c "'$PREFIX/bin/kqi' test roundtrip-setup --key 0x1234 > /dev/null"

# kq_add_setup: entries as given, locked by KEY except the installer; the
# short texts are stored, since RLE does not make them smaller.
./consumer list demo-setup 7 > list.txt
check "reader tests the setup's entries" test $? -eq 0
check "setup entries" test "$(cut -d' ' -f2,5,6 list.txt)" = "1 0 Installer\\KQInstall.exe
0 2 Data\\readme.txt
0 2 Docs\\guide.txt"
check "reader expands the installer" bash -c "./consumer extract demo-setup 'installer\\kqinstall.exe' | cmp -s - demo_installer"

# The setup runs under the POSIX launcher; the installer reads its archive.
run_setup() {
    rm -f report
    KQ_TEST_REPORT=$PWD/report TMPDIR=$WORK ./demo-setup 2> launcher.err
}
run_setup
check "setup runs its installer" test "$(cat report)" = "installer build 1
Read me first."

# Made again when the installer changes, and only then.
stamp=$(stat -c %y demo-setup)
build
check "no change, no new setup" test "$(stat -c %y demo-setup)" = "$stamp"
sed -i 's/installer build 1/installer build 2/' "$WORK/src/installer.cpp"
build
run_setup
check "changed installer, new setup" grep -qx "installer build 2" report
printf 'Read me again.\n' > "$WORK/src/readme.txt"
build
run_setup
check "changed file, new setup" grep -qx "Read me again." report

if [ -n "$WINDOWS_STUB" ]; then
    check "kq_add_setup ICON: the setup has the icon group" bash -c "wrestool -l branded-setup.exe | grep -q -- '--type=14 '"
    check "kq_add_setup VERSION and VERSION_INFO: kqi list names product and version" \
        bash -c "'$PREFIX/bin/kqi' list branded-setup.exe | head -1 | grep -qF 'setup image of Démo Produit 3.2.1,'"
    stamp=$(stat -c %y branded-setup.exe)
    sleep 1
    touch "$WORK/src/app.ico"
    build
    check "changed icon, new setup" test "$(stat -c %y branded-setup.exe)" != "$stamp"
fi

check "default stub: the installed launcher" made_from default-setup "$DEFAULT_STUB"

# kqi setup without --stub takes the installed launcher and says so.
"$PREFIX/bin/kqi" setup --force --installer "$WORK/src/readme.txt" -o kqi-setup > kqi.out
check "kqi setup names the installed launcher" grep -qx "using the installed launcher $DEFAULT_STUB" kqi.out
check "kqi setup uses it" made_from kqi-setup "$DEFAULT_STUB"

# pkg-config serves a build without CMake.
export PKG_CONFIG_PATH=$PREFIX/lib/pkgconfig
check "pkg-config version" test "$(pkg-config --modversion instcompress-pack)" = "$VERSION"
# shellcheck disable=SC2046,SC2086
c++ $FLAGS "$WORK/src/consumer.cpp" -o pc-consumer $(pkg-config --cflags --libs instcompress-pack)
check "pkg-config build round trip" ./pc-consumer roundtrip "$STUBS/kqsetup" pc-setup

report
