#!/bin/bash
# The benchmarks in one command: builds them (the `bench` preset, release),
# gathers a corpus when there is none, runs every bench program on each kind
# of data in it, and prints one table of the goals per kind and one of all
# figures; the same figures go to an SVG bar chart. Each program's own
# report goes to the log.
#
#   bash bench/run.sh [CORPUS_DIR] [SVG]
#   (defaults: /tmp/corpus, build/bench/results.svg; the log is next to the SVG;
#   KQ_BENCH_KINDS="bench docs" runs only those kinds; KQ_BENCH_BIN=DIR takes
#   the bench programs, and KQI=PATH the kqi, of another build, for example
#   the one before a change)
#
# The kinds (bench/make-corpus.sh): bench (text.bin and binary.bin, the
# corpus the goals were first set on), docs, libs and media. For media,
# bench/incompressible.sh also times kqi pack of 200 MB of random bytes
# against cp (data in build/bench/incompressible).
#
# With KQ_BENCH_ROWS set, a bench program prints its figures as lines
#   ROW <tab> table <tab> label <tab> MB/s <tab> size relative to the reference, or "-"
# in the tables "expand" (output MB/s) and "encode" (input MB/s; size
# relative to jlha's -lh5-); this script puts the kind after ROW. The
# machine may be shared: compare rows of one run.
set -euo pipefail
cd "$(dirname "$0")/.."
CORPUS=${1:-/tmp/corpus}
SVG=${2:-build/bench/results.svg}
LOG="${SVG%.svg}.log"
KINDS=${KQ_BENCH_KINDS:-bench docs libs media}
BIN=${KQ_BENCH_BIN:-build/bench/bench}
KQI=${KQI:-build/bench/tools/kqi}

cmake --preset bench > /dev/null
cmake --build --preset bench -j2 > /dev/null
bash bench/make-corpus.sh "$CORPUS" > /dev/null
mkdir -p "$(dirname "$SVG")"
: > "$LOG"
ROWS=$(mktemp)
trap 'rm -f "$ROWS" "$ROWS.out"' EXIT

files_of() {
    case $1 in
        bench) echo "$CORPUS/text.bin $CORPUS/binary.bin" ;;
        *) echo "$CORPUS/$1.bin" ;;
    esac
}

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)" | tee -a "$LOG"
for kind in $KINDS; do
    # shellcheck disable=SC2046
    for source in bench/*_bench.cpp; do
        program=$BIN/$(basename "$source" .cpp)
        echo "== $kind: $(basename "$program")" >> "$LOG"
        if ! KQ_BENCH_ROWS=1 "$program" $(files_of "$kind") > "$ROWS.out" 2>&1; then
            echo "$kind: $(basename "$program") failed; see $LOG" >&2
        fi
        grep -v '^ROW' "$ROWS.out" >> "$LOG" || true
        grep '^ROW' "$ROWS.out" | sed "s/^ROW\t/ROW\t$kind\t/" >> "$ROWS" || true
    done
    if [ "$kind" = media ]; then
        echo "== $kind: incompressible.sh" >> "$LOG"
        KQ_BENCH_ROWS=1 KQ_TREE_RUNS=1 KQI=$KQI bash bench/incompressible.sh build/bench/incompressible > "$ROWS.out" 2>&1 ||
            echo "incompressible.sh failed; see $LOG" >&2
        grep -v '^ROW' "$ROWS.out" >> "$LOG" || true
        grep '^ROW' "$ROWS.out" | sed "s/^ROW\t/ROW\t$kind\t/" >> "$ROWS" || true
    fi
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)" | tee -a "$LOG"

# The goals, per kind: a ratio, the goal and whether it holds ("-" when a
# figure is missing, for example jlha storing the data instead of coding it).
GOALS=$(mktemp)
awk -F'\t' '
    { key = $2 SUBSEP $4; speed[key] = $5; size[key] = $6; if (!($2 in seen)) { seen[$2] = 1; kinds[++nk] = $2 } }
    function get(a, kind, label) { return ((kind SUBSEP label) in a) ? a[kind SUBSEP label] : "" }
    function ratio(x, y) { return (x == "" || y == "" || y + 0 == 0) ? "" : x / y }
    # goal(kind, name, value, bound, atLeast): one line of the goal table
    function goal(kind, name, value, bound, atLeast,   ok) {
        if (value == "" || value == "-" || value + 0 == 0) { printf "%s\t%s\t-\t%s\t-\n", kind, name, bound; return }
        ok = atLeast ? value + 0 >= bound : value + 0 <= bound
        printf "%s\t%s\t%.3f\t%s\t%s\n", kind, name, value, bound, ok ? "yes" : "NO"
    }
    END {
        for (i = 1; i <= nk; i++) {
            k = kinds[i]
            goal(k, "LH5 expansion / libdeflate", ratio(get(speed, k, "ours LZH5 (ExpandNamedEntry, checksum)"), get(speed, k, "libdeflate (deflate level 6)")), 0.75, 1)
            goal(k, "LZH1 expansion / lhasa", ratio(get(speed, k, "ours LZH1 (ExpandNamedEntry, checksum)"), get(speed, k, "lhasa -lh1- (same stream)")), 2.8, 1)
            goal(k, "LH5 default -j 1 speed / jlha", ratio(get(speed, k, "ours default -j 1"), get(speed, k, "jlha co5 (Java)")), 3.2, 1)
            goal(k, "LH5 default size / jlha", get(size, k, "ours default -j 1"), 1.0, 0)
            goal(k, "LH5 --best size / jlha", get(size, k, "ours --best -j 1"), 0.96, 0)
            if (get(speed, k, "media: kqi pack -j 1 / cp") != "") goal(k, "kqi pack -j 1 time / cp (200 MB random)", get(speed, k, "media: kqi pack -j 1 / cp"), 2.0, 0)
        }
    }' "$ROWS" > "$GOALS"

awk -F'\t' '
    BEGIN { printf "Goals per kind                                     value       goal   holds\n" }
    { printf "  %-7s %-40s %8s %8s%s %6s\n", $1, $2, $3, ($2 ~ /size|time/ ? "<=" : ">="), $4, $5 }' "$GOALS"
awk -F'\t' '
    $3 == "expand" { e[++ne] = sprintf("  %-7s %-40s %10s", $2, $4, $5) }
    $3 == "encode" { c[++nc] = sprintf("  %-7s %-40s %10s %10s", $2, $4, $5, $6) }
    END {
        printf "\nExpansion                                              output MB/s\n"
        for (i = 1; i <= ne; i++) print e[i]
        printf "\nLZH5 encoding                                           input MB/s    vs jlha\n"
        for (i = 1; i <= nc; i++) print c[i]
    }' "$ROWS"

# The chart: one panel per goal, a bar per kind (green where it holds, red
# where not), then one panel of bars per figure, each bar labelled with its value.
awk -F'\t' '
    function esc(s) { gsub(/&/, "\\&amp;", s); gsub(/</, "\\&lt;", s); return s }
    # panel(title, n, labels, values, low, colours): bars from `low` to the largest value
    function panel(title, n, label, value, low, colour,   i, top, w) {
        top = low
        for (i = 1; i <= n; i++) if (value[i] + 0 > top) top = value[i] + 0
        if (top == low) top = low + 1
        printf "<text x=\"10\" y=\"%d\" font-weight=\"bold\">%s</text>\n", y + 16, esc(title)
        y += 26
        for (i = 1; i <= n; i++) {
            w = int(440 * (value[i] - low) / (top - low)); if (w < 1) w = 1
            printf "<text x=\"10\" y=\"%d\">%s</text>\n", y + 13, esc(label[i])
            printf "<rect x=\"290\" y=\"%d\" width=\"%d\" height=\"16\" fill=\"%s\"/>\n", y, w, colour[i]
            printf "<text x=\"%d\" y=\"%d\">%s</text>\n", 295 + w, y + 13, value[i]
            y += 20
        }
        y += 14
        bars += n
        panels++
    }
    FNR == NR {  # the goals
        if ($3 == "-") next
        if (!($2 in gi)) { gi[$2] = ++ng; gname[ng] = $2; gbound[ng] = $4 }
        g = gi[$2]; gn[g]++
        gl[g, gn[g]] = $1; gv[g, gn[g]] = $3; gc[g, gn[g]] = ($5 == "yes" ? "#3a9a4a" : "#c0392b")
        next
    }
    $3 == "expand" { el[++ne] = $2 ": " $4; ev[ne] = $5; ec[ne] = ($4 ~ /^ours/ ? "#2a6fb0" : "#999") }
    $3 == "encode" { cl[++nc] = $2 ": " $4; cv[nc] = $5; cc[nc] = ($4 ~ /^ours/ ? "#2a6fb0" : "#999"); rv[nc] = $6 }
    END {
        n = ne + 2 * nc; for (g = 1; g <= ng; g++) n += gn[g]
        printf "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"800\" height=\"%d\" font-family=\"sans-serif\" font-size=\"12\">\n", 20 * n + 40 * (ng + 3) + 20
        printf "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n"
        y = 0
        for (g = 1; g <= ng; g++) {
            delete l; delete v; delete c
            for (i = 1; i <= gn[g]; i++) { l[i] = gl[g, i]; v[i] = gv[g, i]; c[i] = gc[g, i] }
            panel(gname[g] " (goal " (gname[g] ~ /size|time/ ? "<= " : ">= ") gbound[g] "; green: holds)", gn[g], l, v, 0, c)
        }
        panel("Expansion, output MB/s (higher is better)", ne, el, ev, 0, ec)
        panel("LZH5 encoding, input MB/s (higher is better)", nc, cl, cv, 0, cc)
        panel("LZH5 coded size relative to jlha (lower is better; axis from 0.90)", nc, cl, rv, 0.9, cc)
        print "</svg>"
    }' "$GOALS" "$ROWS" > "$SVG"
rm -f "$GOALS"
echo "chart: $SVG; the programs' reports: $LOG"
