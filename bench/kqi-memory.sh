#!/bin/bash
# Peak memory and time of kqi over a publisher-sized tree: 2,000 files, one
# of them 200 MB, with one and two threads; and the refusal of a 2 GiB input.
# Usage: bench/kqi-memory.sh KQI STUB [WORKDIR]
set -eu
KQI=$(realpath "$1")
STUB=$(realpath "$2")
WORK=${3:-$(mktemp -d)}
mkdir -p "$WORK/tree"
cd "$WORK"
if [ ! -f tree/big.bin ]; then
    # 1,999 small files: documentation and headers of this machine.
    n=0
    while IFS= read -r -d '' f && [ $n -lt 1999 ]; do
        n=$((n + 1))
        mkdir -p "tree/d$((n % 40))"
        cp "$f" "tree/d$((n % 40))/f$n.txt"
    done < <(find /usr/share/doc /usr/include -type f -size +1k -print0 2> /dev/null)
    # 200 MB of shared libraries, repeated.
    while [ "$(stat -c %s tree/big.bin 2> /dev/null || echo 0)" -lt 200000000 ]; do
        cat /usr/lib/x86_64-linux-gnu/*.so* >> tree/big.bin 2> /dev/null
    done
    truncate -s 200000000 tree/big.bin
    head -c 1500000 /dev/urandom > installer.bin
fi
measure() {  # measure LABEL COMMAND...
    local label=$1; shift
    /usr/bin/time -f "%e %M" -o time.txt "$@" > /dev/null 2> err.txt || true
    read -r seconds kib < <(tail -1 time.txt)
    printf '%-40s %8s s %8s MiB peak  %s\n' "$label" "$seconds" "$((kib / 1024))" "$(head -c 100 err.txt)"
}
echo "tree: $(find tree -type f | wc -l) files, $(du -sm tree | cut -f1) MiB"
for method in lh5 lzh1 rle; do
    for j in 1 2; do
        measure "setup --method $method -j $j" "$KQI" setup -q -j $j --stub "$STUB" --installer installer.bin \
            --method "$method" -o "setup-$method-$j" Data=tree
    done
    cmp -s "setup-$method-1" "setup-$method-2" || echo "setup --method $method: -j 1 and -j 2 differ" >&2
    mv "setup-$method-1" "setup-$method"
done
# The small files alone: entries side by side.
mv tree/big.bin .
for j in 1 2; do
    measure "setup, the small files alone, -j $j" "$KQI" setup -q -j $j --stub "$STUB" --installer installer.bin \
        -o small-setup Data=tree
done
mv big.bin tree/
rm -rf out
measure "extract -d (lh5 setup)" "$KQI" extract setup-lh5 -d out
diff -r out/Data tree > /dev/null && echo "extracted tree matches"
truncate -s 2147483648 huge.bin
measure "setup over a 2 GiB input (refused)" "$KQI" setup -q --stub "$STUB" --installer installer.bin -o huge-setup big=huge.bin
rm -f huge.bin
