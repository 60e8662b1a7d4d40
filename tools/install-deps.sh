#!/bin/bash
# Installs what building and testing need on a fresh Debian 12 machine (as root).
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
fi
apt-get update -qq
apt-get install -y -qq --no-install-recommends \
    ca-certificates g++ cmake ninja-build libgtest-dev googletest \
    pkg-config liblhasa-dev lhasa jlha-utils p7zip-full \
    > /dev/null
