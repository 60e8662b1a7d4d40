#!/bin/bash
# Builds the libFuzzer harnesses and runs each for a while, starting from
# its saved corpus (copied, so the tree stays as it is).
# Usage: tools/fuzz-smoke.sh [SECONDS_EACH]   (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_EACH=${1:-60}
cmake --preset fuzz > /dev/null
cmake --build --preset fuzz -j2
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
status=0
for harness in expand rle lzh1 lzh5 locator list roundtrip resources; do
    mkdir -p "$WORK/$harness"
    [ -d "fuzz/corpus/$harness" ] && cp -r "fuzz/corpus/$harness/." "$WORK/$harness/"
    echo "== $harness: ${SECONDS_EACH}s"
    if ! build/fuzz/fuzz/${harness}_fuzzer "$WORK/$harness" -dict=fuzz/archive.dict \
            -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
            -artifact_prefix="$WORK/" > "$WORK/$harness.log" 2>&1; then
        status=1
        tail -40 "$WORK/$harness.log"
        ls "$WORK"/crash-* "$WORK"/timeout-* "$WORK"/oom-* "$WORK"/slow-* 2>/dev/null || true
    fi
    grep -E '^#[0-9]+.*(DONE|pulse)|stat::number_of_executed_units|cov:' "$WORK/$harness.log" | tail -2
done
exit $status
