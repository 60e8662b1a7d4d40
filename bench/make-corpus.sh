#!/bin/bash
# Gathers a benchmark corpus from this machine, one file per kind of data,
# each cut to a size:
#   text.bin    source text (headers, scripts)
#   binary.bin  libraries and programs
#   docs.bin    documentation: many small text files (/usr/share/doc and
#               the manual pages, uncompressed), concatenated
#   libs.bin    shared libraries alone
#   media.bin   already compressed data (images, archives), as media is
# Usage: bench/make-corpus.sh OUT_DIR [MEGABYTES_EACH]   (default 30 each)
set -euo pipefail
OUT=${1:?usage: make-corpus.sh OUT_DIR [MB]}
MB=${2:-30}
mkdir -p "$OUT"
limit=$((MB * 1024 * 1024))
# gather NAME FIND_ARGS...: sorted file list concatenated (gzip files
# uncompressed when UNGZIP is set), cut to the limit
gather() {
    local name=$1; shift
    find "$@" -type f -size +1k 2>/dev/null | LC_ALL=C sort | while read -r f; do
        if [ -n "${UNGZIP:-}" ] && [[ $f == *.gz ]]; then zcat "$f" 2>/dev/null; else cat "$f" 2>/dev/null; fi
    done | head -c "$limit" > "$OUT/$name" || true
}
[ -s "$OUT/text.bin" ] || gather text.bin /usr/include /usr/share/perl /usr/lib/python3 -name '*.[hp]*'
[ -s "$OUT/binary.bin" ] || gather binary.bin /usr/lib/x86_64-linux-gnu /usr/bin -name '*'
[ -s "$OUT/docs.bin" ] || UNGZIP=1 gather docs.bin /usr/share/doc /usr/share/man \
    -not -name '*.png' -not -name '*.jpg' -not -name '*.pdf' -not -name '*.svg*' -not -name '*.bz2' -not -name '*.xz'
[ -s "$OUT/libs.bin" ] || gather libs.bin /usr/lib/x86_64-linux-gnu -name '*.so*'
[ -s "$OUT/media.bin" ] || gather media.bin /usr /opt \( -name '*.png' -o -name '*.jpg' -o -name '*.gz' \
    -o -name '*.xz' -o -name '*.bz2' -o -name '*.jar' \)
ls -l "$OUT"
