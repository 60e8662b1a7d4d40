# Sourced by the shell tests: counts checks and reports them on one line.
pass=0
fail=0
check() {  # check NAME COMMAND...: passes when the command succeeds
    local name=$1; shift
    if "$@"; then pass=$((pass + 1)); else fail=$((fail + 1)); echo "FAIL: $name"; fi
}
report() {  # the closing line; exit status 0 only when nothing failed
    echo "$pass passed, $fail failed"
    test "$fail" -eq 0
}
marker_field() {  # marker_field IMAGE: where the first marker's field lies
    echo $(($(grep -obaF KQI_SIZE "$1" | head -1 | cut -d: -f1) + 8))
}
payload_offset() {  # payload_offset IMAGE: the offset in the first marker's field
    od -An -tu4 -j "$(marker_field "$1")" -N4 "$1" | tr -d ' '
}
