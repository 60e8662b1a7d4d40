#!/bin/bash
# Checks the built launcher: PE32 (or PE32+ for the 64-bit build) GUI
# program, stripped, small, importing only system DLLs, with the manifest as
# resource 1 of type 24 and the marker text exactly once; with VERSION, a
# version resource that names it.
# Usage: check-image.sh kqsetup.exe [PE32|PE32+ [VERSION]]
set -u
EXE=$1
FORMAT=${2:-PE32}
VERSION=${3:-}
case $FORMAT in
    PE32) MAGIC=010b; TOOLS=i686-w64-mingw32 ;;
    PE32+) MAGIC=020b; TOOLS=x86_64-w64-mingw32 ;;
    *) echo "check-image: unknown format $FORMAT" >&2; exit 2 ;;
esac
OBJDUMP=$TOOLS-objdump
OBJCOPY=$TOOLS-objcopy
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
fail=0
check() {  # check NAME CONDITION...
    local name=$1; shift
    if "$@"; then echo "ok: $name"; else fail=1; echo "FAIL: $name"; fi
}

"$OBJDUMP" -p "$EXE" > "$WORK/headers"
check "$FORMAT" grep -qP "^Magic\t+$MAGIC\t\\(\Q$FORMAT\E\\)" "$WORK/headers"
check "GUI subsystem" grep -qP '^Subsystem\t+00000002' "$WORK/headers"
check "symbols stripped" grep -q 'symbols stripped' "$WORK/headers"
size=$(stat -c %s "$EXE")
# The shipped (size-optimised) launcher is at most 96 KiB (bench/stub-map.sh
# shows what takes its bytes); other build types may set another limit in
# KQ_IMAGE_LIMIT.
limit=${KQ_IMAGE_LIMIT:-98304}
check "at most $((limit / 1024)) KiB ($size bytes)" test "$size" -le "$limit"

grep -oP 'DLL Name: \K\S+' "$WORK/headers" | tr 'A-Z' 'a-z' | sort > "$WORK/dlls"
echo "imports: $(tr '\n' ' ' < "$WORK/dlls")"
check "imports something" test -s "$WORK/dlls"
check "imports only system DLLs" bash -c "! grep -vxE 'kernel32\.dll|user32\.dll|shell32\.dll|msvcrt\.dll|advapi32\.dll' '$WORK/dlls'"

# The resource directory: one type 24 (RT_MANIFEST) holding ID 1.
# resource TYPE: the type entry's first name entry is ID 1.
resource() { grep -A2 -E "^[0-9a-f]+   Entry: ID: $1," "$WORK/headers" | grep -q 'Entry: ID: 0x000001,'; }
check "manifest resource 24/1" resource 0x000018
check "version resource 16/1" resource 0x000010
"$OBJCOPY" -O binary -j .rsrc "$EXE" "$WORK/rsrc"
if [ -n "$VERSION" ]; then
    # The version strings are UTF-16.
    check "version $VERSION" grep -aqP "$(sed 's/[.]/\\./g; s/\\\?./&\\x00/g' <<< "$VERSION")" "$WORK/rsrc"
fi
check "requireAdministrator" grep -aq 'requestedExecutionLevel level="requireAdministrator"' "$WORK/rsrc"
check "longPathAware" grep -aq '<longPathAware xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">true</longPathAware>' "$WORK/rsrc"
for id in 35138b9a-5d96-4fbd-8e2d-a2440225f93a 4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 \
          1f676c76-80e1-4239-95bb-83d0f6d0da78 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
    check "supportedOS $id" grep -aq "supportedOS Id=\"{$id}\"" "$WORK/rsrc"
done

check "payload marker" bash "$(dirname "$0")/../lib/check-marker.sh" "$EXE"
exit $fail
