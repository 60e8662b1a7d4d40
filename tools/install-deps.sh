#!/bin/bash
# Installs what building and testing need on a fresh Debian 12 machine (as root):
# the host toolchain and GoogleTest, the reference tools and libraries, and
# mingw-w64 plus wine for the Windows builds of the launcher and their tests:
# 32-bit, and 64-bit for machines that cannot run 32-bit programs. libdeflate
# and zlib serve the benchmarks only (bench/); the library never links them.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
fi
# A mirror caught in the middle of a sync fails the update for a while: try
# again, and in the end go on with the lists that did come (apt-get install
# then says what it cannot find).
for attempt in 1 2 3 4 5; do
    apt-get update -qq && break
    if [ "$attempt" = 5 ]; then
        echo "install-deps: some package lists failed to update; going on with those there are" >&2
    else
        sleep 30
    fi
done
apt-get install -y -qq \
    ca-certificates g++ clang-format cmake ninja-build libgtest-dev googletest clang libclang-rt-14-dev \
    pkg-config python3 liblhasa-dev lhasa libjlha-java jlha-utils p7zip-full libdeflate-dev zlib1g-dev \
    g++-mingw-w64-i686 binutils-mingw-w64-i686 wine wine32:i386 \
    g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine64 osslsigncode openssl perl icoutils python3-pefile groff-base unzip \
    > /dev/null
