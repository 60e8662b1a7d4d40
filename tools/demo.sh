#!/bin/bash
# The main job: pack a small archive with kqi, list it, test it and extract
# from it. Usage: tools/demo.sh BUILD_DIR
set -euo pipefail
BUILD=$(realpath "${1:-build/release}")
KQI="$BUILD/tools/kqi"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"
printf 'Hello from the installer.\n' > installer.bin
head -c 65536 /dev/zero > zeros.bin
echo "== kqi pack"
"$KQI" pack -o demo.kqa --method rle 'Installer\KQInstall.exe=installer.bin' 'Data\zeros.bin=zeros.bin'
ls -l demo.kqa
echo "== kqi list"
"$KQI" list demo.kqa
echo "== kqi test"
"$KQI" test demo.kqa
echo "== kqi extract"
"$KQI" extract demo.kqa 'Installer\KQInstall.exe' -o -
