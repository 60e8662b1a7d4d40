#!/bin/bash
# Installs what building and testing need on a fresh Debian 12 machine (as root):
# the host toolchain and GoogleTest, and mingw-w64 plus 32-bit wine for the
# Windows build of the launcher and its tests.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
fi
apt-get update -qq
apt-get install -y -qq \
    ca-certificates g++ cmake ninja-build libgtest-dev googletest clang libclang-rt-14-dev \
    pkg-config liblhasa-dev lhasa libjlha-java jlha-utils p7zip-full \
    g++-mingw-w64-i686 binutils-mingw-w64-i686 wine wine32:i386 \
    > /dev/null
