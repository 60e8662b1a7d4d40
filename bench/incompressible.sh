#!/bin/bash
# Packing incompressible data against copying it, and a game-like tree
# (incompressible media, a large shared library, text), in one run:
#   1. `kqi pack -j 1` of a file of random bytes against `cp` of it, both
#      from the page cache and neither with a sync, best of three each;
#      the goal is at most 2x cp's time;
#   2. the tree packed with -j 1 and -j 2: wall time and archive size.
#
#   bash bench/incompressible.sh [DATA_DIR] [MEGABYTES]
#   (defaults /tmp/kq-incompressible, 200; KQI=path picks the kqi to time,
#   default build/bench/tools/kqi)
# With KQ_BENCH_ROWS set it adds the line bench/run.sh collects:
#   ROW <tab> pack <tab> label <tab> pack time / cp time
set -euo pipefail
cd "$(dirname "$0")/.."
DATA=${1:-/tmp/kq-incompressible}
MB=${2:-200}
KQI=${KQI:-build/bench/tools/kqi}
[ -x "$KQI" ] || { echo "no kqi at $KQI (cmake --build --preset bench)" >&2; exit 1; }
mkdir -p "$DATA/tree"
media=$DATA/tree/media.bin
if [ ! -s "$media" ] || [ "$(stat -c %s "$media")" != $((MB * 1048576)) ]; then
    # Random bytes from a seeded generator: the same file on every run.
    openssl enc -aes-128-ctr -pass pass:kq-bench -nosalt -pbkdf2 < /dev/zero 2>/dev/null |
        head -c $((MB * 1048576)) > "$media" || true
fi
if [ ! -s "$DATA/tree/library.so" ]; then
    find /usr/lib/x86_64-linux-gnu -maxdepth 1 -name '*.so*' -type f -size +1k | LC_ALL=C sort |
        xargs cat 2>/dev/null | head -c $((MB * 1048576 / 2)) > "$DATA/tree/library.so" || true
fi
if [ ! -s "$DATA/tree/readme.txt" ]; then
    find /usr/share/doc -type f -size +1k | LC_ALL=C sort | while read -r f; do
        if [[ $f == *.gz ]]; then zcat "$f" 2>/dev/null; else cat "$f"; fi
    done | head -c $((MB * 1048576 / 10)) > "$DATA/tree/readme.txt" || true
fi
cat "$DATA"/tree/* > /dev/null  # into the page cache

# best N OUTPUT COMMAND...: best wall seconds of N runs, each writing OUTPUT
# afresh (removed before, untimed)
best() {
    local b=999999 s e t n=$1 output=$2
    shift 2
    for ((r = 0; r < n; ++r)); do
        rm -f "$output"
        s=$(date +%s.%N); "$@"; e=$(date +%s.%N)
        t=$(echo "$e - $s" | bc -l); if (( $(echo "$t < $b" | bc -l) )); then b=$t; fi
    done
    printf '%.3f' "$b"
}
out=$DATA/out
mkdir -p "$out"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
cp_s=$(best 3 "$out/copy.bin" cp "$media" "$out/copy.bin")
pack_s=$(best 3 "$out/media.kqa" "$KQI" pack -q -j 1 -o "$out/media.kqa" m="$media")
ratio=$(echo "$pack_s / $cp_s" | bc -l)
printf '%s MB incompressible: cp %.3f s, kqi pack -j 1 %.3f s, %.2fx cp (goal 2x); archive %s bytes\n' \
    "$MB" "$cp_s" "$pack_s" "$ratio" "$(stat -c %s "$out/media.kqa")"
for j in 1 2; do
    t=$(best "${KQ_TREE_RUNS:-3}" "$out/tree$j.kqa" "$KQI" pack -q -j $j -o "$out/tree$j.kqa" tree="$DATA/tree")
    printf 'tree (%s MB): kqi pack -j %s %.3f s, %s bytes\n' "$(du -sm "$DATA/tree" | cut -f1)" "$j" "$t" \
        "$(stat -c %s "$out/tree$j.kqa")"
done
cmp -s "$out/tree1.kqa" "$out/tree2.kqa" || echo "the -j 1 and -j 2 archives differ" >&2
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
[ -z "${KQ_BENCH_ROWS:-}" ] || printf 'ROW\tpack\tmedia: kqi pack -j 1 / cp\t%.2f\n' "$ratio"
rm -rf "$out"
