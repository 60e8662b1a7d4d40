#!/bin/bash
# A setup with the publisher's icon and version information: kqi setup
# --icon/--version/--version-info, seen by independent readers (wrestool of
# icoutils, python3-pefile) and by Windows' own calls under wine, started,
# signed afterwards, made twice to the same bytes; bad icons, versions, keys
# and stubs refused with no output.
# Usage: setup-resources.sh kqsetup.exe kqtest_installer.exe kqi.exe kqtest_resources.exe
# Needs WINEPREFIX prepared by prepare-prefix.sh.
set -u
STUB_EXE=$(realpath "$1")
INSTALLER_EXE=$(realpath "$2")
KQI_EXE=$(realpath "$3")
READER_EXE=$(realpath "$4")
: "${WINEPREFIX:?}"
HERE=$(dirname "$(realpath "${BASH_SOURCE[0]}")")
wine() { command "${WINE:-wine}" "$@"; }
export WINEDEBUG=-all LANG=C.UTF-8
unset DISPLAY
# Debian's python3, which has pefile, even where another python3 comes first.
PYTHON=python3
[ -x /usr/bin/python3 ] && PYTHON=/usr/bin/python3
WORK=$(mktemp -d)
trap 'rm -rf "$WORK" "$WINEPREFIX/drive_c/windows/KQInstall.exe"' EXIT
source "$HERE/../lib/check.sh"
cd "$WORK"
cp "$STUB_EXE" kqsetup.exe
cp "$INSTALLER_EXE" installer.exe
cp "$READER_EXE" reader.exe
"$PYTHON" "$HERE/../tools/make-icon.py" app.ico
kqi() { wine "$KQI_EXE" "$@"; }

PRODUCT="Éditions Ünïcode 株式会社"
COPYRIGHT="© 2026 Éditions Ünïcode"
make_setup() {  # make_setup OUT
    kqi setup -q --stub kqsetup.exe --installer installer.exe -o "$1" --icon app.ico --version 2.1.0.7 \
        --version-info "ProductName=$PRODUCT" --version-info "CompanyName=$PRODUCT" \
        --version-info "LegalCopyright=$COPYRIGHT" 'Data\app.ico=app.ico'
}
make_setup setup.exe
check "kqi setup with icon and version" test $? -eq 0 -a -s setup.exe

# ---- wrestool: the icon group and its three images, the version, the stub's manifest
wrestool -l setup.exe > wrestool.txt
check "wrestool: one icon group" test "$(grep -c -- '--type=14 ' wrestool.txt)" -eq 1
check "wrestool: three icon images" test "$(grep -c -- '--type=3 ' wrestool.txt)" -eq 3
check "wrestool: a version resource" grep -q -- '--type=16 --name=1 ' wrestool.txt
wrestool -x --raw --type=24 kqsetup.exe > manifest.stub
wrestool -x --raw --type=24 setup.exe > manifest.setup
check "wrestool: the stub's manifest kept" test -s manifest.stub -a "$(md5sum < manifest.stub)" = "$(md5sum < manifest.setup)"
wrestool -x --raw --type=14 setup.exe > group.bin
check "wrestool: the group lists the .ico's images" cmp -s <(head -c 6 group.bin) <(head -c 6 app.ico)

# ---- pefile: the strings and the fixed versions; the image's fields hold together
"$PYTHON" - setup.exe > pefile.txt 2> pefile.err << 'PY'
import sys, pefile
pe = pefile.PE(sys.argv[1])
fixed = pe.VS_FIXEDFILEINFO[0]
print("fixed=%d.%d.%d.%d" % (fixed.FileVersionMS >> 16, fixed.FileVersionMS & 0xFFFF, fixed.FileVersionLS >> 16, fixed.FileVersionLS & 0xFFFF))
for info in pe.FileInfo[0]:
    if info.Key == b"StringFileInfo":
        for table in info.StringTable:
            for key, value in table.entries.items():
                print(key.decode() + "=" + value.decode())
last = pe.sections[-1]
align = pe.OPTIONAL_HEADER.SectionAlignment
end = (last.VirtualAddress + max(last.Misc_VirtualSize, last.SizeOfRawData) + align - 1) // align * align
print("size_of_image_ok=%d" % (pe.OPTIONAL_HEADER.SizeOfImage == end))
rsrc = pe.OPTIONAL_HEADER.DATA_DIRECTORY[2]
print("rsrc_in_section=%d" % any(s.VirtualAddress == rsrc.VirtualAddress and s.Misc_VirtualSize == rsrc.Size for s in pe.sections))
PY
check "pefile reads the setup ($(cat pefile.err))" test ! -s pefile.err
expect_pefile() { check "pefile: $1" grep -qxF "$1" pefile.txt; }
expect_pefile "fixed=2.1.0.7"
expect_pefile "ProductName=$PRODUCT"
expect_pefile "CompanyName=$PRODUCT"
expect_pefile "LegalCopyright=$COPYRIGHT"
expect_pefile "FileDescription=$PRODUCT Setup"
expect_pefile "FileVersion=2.1.0.7"
expect_pefile "ProductVersion=2.1.0.7"
expect_pefile "OriginalFilename=setup.exe"
expect_pefile "size_of_image_ok=1"
expect_pefile "rsrc_in_section=1"
check "pefile: none of the stub's strings left" bash -c "! grep -q 'KQInstall\|Setup launcher' pefile.txt"

# ---- Windows' calls: GetFileVersionInfoW/VerQueryValueW and ExtractIconExW
KEYS="ProductName CompanyName LegalCopyright FileDescription FileVersion OriginalFilename"
read_resources() {  # read_resources IMAGE: the reader's lines in read.txt
    rm -f read.txt
    wine reader.exe "$1" read.txt $KEYS
}
expect_windows() {  # expect_windows NAME
    local lines="version=2.1.0.7
product=2.1.0.7
ProductName=$PRODUCT
CompanyName=$PRODUCT
LegalCopyright=$COPYRIGHT
FileDescription=$PRODUCT Setup
FileVersion=2.1.0.7
OriginalFilename=setup.exe
icons=1
icon=1"
    check "$1: Windows reads the strings and finds the icon ($(tr '\n' ' ' < read.txt))" \
        test "$(cat read.txt)" = "$lines"
}
read_resources setup.exe
expect_windows "setup"

# ---- the setup runs and starts its installer
REPORT_WIN=$(wine winepath -w "$WORK/report")
launch() {  # launch IMAGE: rc, and the report of the installer
    rm -f report report.data
    KQ_TEST_REPORT="$REPORT_WIN" wine "$1" > /dev/null 2>&1
    rc=$?
    local data
    data=$(grep -oP '"/DATA=\K[^"]*' report 2> /dev/null)
    [ -n "$data" ] && rm -rf "$(dirname "$(wine winepath -u "$data" 2> /dev/null)")"
}
tail -c +$(($(payload_offset setup.exe) + 5)) setup.exe > payload.kqa
launch setup.exe
check "setup runs: exit 0, installer started" test "$rc" -eq 0 -a -s report
check "setup runs: the installer got the archive" cmp -s report.data payload.kqa
kqi list setup.exe > list.txt && crlf list.txt
check "kqi list shows the product and version ($(head -1 list.txt))" test "$(head -1 list.txt)" = \
    "setup image of $PRODUCT 2.1.0.7, archive at offset $(($(payload_offset setup.exe) + 4))"

kqi list --json setup.exe > list.json
check "kqi list --json names the product and version" "$PYTHON" -c "
import json, sys
d = json.load(open('list.json', encoding='utf-8'))
sys.exit(d['product_name'] != sys.argv[1] or d['version'] != '2.1.0.7')" "$PRODUCT"

# ---- signed afterwards with a throw-away CA: verifies, reads, runs
make_test_signer
osslsigncode sign -certs signer.crt -key signer.key -n "$PRODUCT" -in setup.exe -out signed.exe > /dev/null
check "signed setup verifies" bash -c "osslsigncode verify -CAfile ca.crt -in signed.exe > /dev/null 2>&1"
read_resources signed.exe
expect_windows "signed setup"
launch signed.exe
check "signed setup runs: installer started with the archive" test "$rc" -eq 0 -a -s report
check "signed setup runs: the archive as packed" cmp -s report.data payload.kqa

# ---- the same inputs, the same bytes
mkdir again
make_setup again/setup.exe
check "made twice: the same bytes" cmp -s setup.exe again/setup.exe

# ---- refused with a reason that names the file; nothing written
refused() {  # refused NAME PATTERN OPTIONS...: exit 1, message matching PATTERN, no bad.exe
    local name=$1 pattern=$2
    shift 2
    rm -f bad.exe
    kqi setup -q --stub kqsetup.exe --installer installer.exe -o bad.exe "$@" 2> kqi.err
    local status=$?
    check "$name: refused ($(head -c 300 kqi.err))" test "$status" -eq 1 -a ! -e bad.exe
    check "$name: says why" grep -qE "$pattern" kqi.err
}
printf 'not an icon\n' > text.ico
head -c 30 app.ico > cut.ico  # three entries announced, one and a half there
refused "text as icon" 'icon text\.ico .*not an \.ico file' --icon text.ico
refused "truncated image directory" 'icon cut\.ico .*image directory is truncated' --icon cut.ico
for version in 1.2.3.4.5 70000 1..2 v1 ""; do
    refused "version '$version'" "bad --version '$version'.*1 to 4 numbers of 0 to 65535" --version "$version"
done
refused "unknown key" "unknown --version-info key 'Productname'" --version-info Productname=x
# A stub whose root resource directory claims 65535 entries more.
"$PYTHON" - kqsetup.exe broken-stub.exe << 'PY'
import struct, sys
image = bytearray(open(sys.argv[1], "rb").read())
pe = struct.unpack_from("<I", image, 0x3C)[0]
sections, optional_size = struct.unpack_from("<H", image, pe + 6)[0], struct.unpack_from("<H", image, pe + 20)[0]
optional = pe + 24
count_at = optional + (108 if struct.unpack_from("<H", image, optional)[0] == 0x20B else 92)
rsrc_rva = struct.unpack_from("<I", image, count_at + 4 + 2 * 8)[0]
for i in range(sections):
    at = optional + optional_size + 40 * i
    if struct.unpack_from("<I", image, at + 12)[0] == rsrc_rva:
        struct.pack_into("<H", image, struct.unpack_from("<I", image, at + 20)[0] + 14, 0xFFFF)
open(sys.argv[2], "wb").write(image)
PY
rm -f bad.exe
kqi setup -q --stub broken-stub.exe --installer installer.exe -o bad.exe --version 1.0 2> kqi.err
check "broken stub resources: refused, nothing written" test $? -eq 1 -a ! -e bad.exe
check "broken stub resources: names the stub and why ($(cat kqi.err))" \
    grep -qE 'stub broken-stub\.exe cannot be rewritten: the resource tree' kqi.err

report
