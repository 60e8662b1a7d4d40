#!/bin/bash
# Gathers a benchmark corpus from this machine: text (headers, scripts,
# documentation) and binaries (libraries, programs), each cut to a size.
# Usage: bench/make-corpus.sh OUT_DIR [MEGABYTES_EACH]   (default 30 each)
set -euo pipefail
OUT=${1:?usage: make-corpus.sh OUT_DIR [MB]}
MB=${2:-30}
mkdir -p "$OUT"
limit=$((MB * 1024 * 1024))
gather() {  # gather NAME FIND_ARGS...: sorted file list concatenated, cut to the limit
    local name=$1; shift
    find "$@" -type f -size +1k 2>/dev/null | LC_ALL=C sort | while read -r f; do cat "$f" 2>/dev/null; done |
        head -c "$limit" > "$OUT/$name" || true
}
[ -s "$OUT/text.bin" ] || gather text.bin /usr/include /usr/share/perl /usr/lib/python3 -name '*.[hp]*'
[ -s "$OUT/binary.bin" ] || gather binary.bin /usr/lib/x86_64-linux-gnu /usr/bin -name '*'
ls -l "$OUT"
