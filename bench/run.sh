#!/bin/bash
# The benchmarks in one command: builds them (the `bench` preset, release),
# gathers a corpus when there is none, runs every bench program on it, and
# prints one table of their figures; the same figures go to an SVG bar
# chart. Each program's own report goes to the log.
#
#   bash bench/run.sh [CORPUS_DIR] [SVG]
#   (defaults: /tmp/corpus, build/bench/results.svg; the log is next to the SVG)
#
# With KQ_BENCH_ROWS set, a bench program prints its figures as lines
#   ROW <tab> table <tab> label <tab> MB/s <tab> size relative to the reference, or "-"
# in the tables "expand" (output MB/s) and "encode" (input MB/s; size
# relative to jlha's -lh5-). The machine is shared: compare rows of one run.
set -euo pipefail
cd "$(dirname "$0")/.."
CORPUS=${1:-/tmp/corpus}
SVG=${2:-build/bench/results.svg}
LOG="${SVG%.svg}.log"

cmake --preset bench > /dev/null
cmake --build --preset bench -j2 > /dev/null
bash bench/make-corpus.sh "$CORPUS" > /dev/null
mkdir -p "$(dirname "$SVG")"
: > "$LOG"
ROWS=$(mktemp)
trap 'rm -f "$ROWS"' EXIT

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)" | tee -a "$LOG"
for source in bench/*_bench.cpp; do
    program=build/bench/bench/$(basename "$source" .cpp)
    echo "== $(basename "$program")" >> "$LOG"
    if ! KQ_BENCH_ROWS=1 "$program" "$CORPUS/text.bin" "$CORPUS/binary.bin" > "$ROWS.out" 2>&1; then
        echo "$(basename "$program") failed; see $LOG" >&2
    fi
    grep -v '^ROW' "$ROWS.out" >> "$LOG" || true
    grep '^ROW' "$ROWS.out" >> "$ROWS" || true
done
rm -f "$ROWS.out"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)" | tee -a "$LOG"

awk -F'\t' '
    $2 == "expand" { e[++ne] = sprintf("  %-40s %10s", $3, $4) }
    $2 == "encode" { c[++nc] = sprintf("  %-40s %10s %10s", $3, $4, $5) }
    END {
        printf "Expansion of the corpus                        output MB/s\n"
        for (i = 1; i <= ne; i++) print e[i]
        printf "\nLZH5 encoding                                   input MB/s    vs jlha\n"
        for (i = 1; i <= nc; i++) print c[i]
    }' "$ROWS"

# The chart: one panel of bars per figure, each bar labelled with its value.
awk -F'\t' '
    function esc(s) { gsub(/&/, "\\&amp;", s); gsub(/</, "\\&lt;", s); return s }
    # panel(title, n, labels, values, low): bars from `low` to the largest value
    function panel(title, n, label, value, low,   i, top, w) {
        top = low
        for (i = 1; i <= n; i++) if (value[i] + 0 > top) top = value[i] + 0
        if (top == low) top = low + 1
        printf "<text x=\"10\" y=\"%d\" font-weight=\"bold\">%s</text>\n", y + 16, esc(title)
        y += 26
        for (i = 1; i <= n; i++) {
            w = int(440 * (value[i] - low) / (top - low)); if (w < 1) w = 1
            printf "<text x=\"10\" y=\"%d\">%s</text>\n", y + 13, esc(label[i])
            printf "<rect x=\"290\" y=\"%d\" width=\"%d\" height=\"16\" fill=\"%s\"/>\n", y, w, (label[i] ~ /^ours/ ? "#2a6fb0" : "#999")
            printf "<text x=\"%d\" y=\"%d\">%s</text>\n", 295 + w, y + 13, value[i]
            y += 20
        }
        y += 14
    }
    $2 == "expand" { el[++ne] = $3; ev[ne] = $4 }
    $2 == "encode" { cl[++nc] = $3; cv[nc] = $4; rl[nc] = $3; rv[nc] = $5 }
    END {
        y = 0
        printf "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"800\" height=\"%d\" font-family=\"sans-serif\" font-size=\"12\">\n", 60 + 20 * (ne + 2 * nc) + 3 * 40
        printf "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n"
        panel("Expansion, output MB/s (higher is better)", ne, el, ev, 0)
        panel("LZH5 encoding, input MB/s (higher is better)", nc, cl, cv, 0)
        panel("LZH5 coded size relative to jlha (lower is better; axis from 0.90)", nc, rl, rv, 0.9)
        print "</svg>"
    }' "$ROWS" > "$SVG"
echo "chart: $SVG; the programs' reports: $LOG"
