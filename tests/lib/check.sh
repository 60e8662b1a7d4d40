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
made_from() {  # made_from SETUP STUB: the setup starts with the stub, but for the marker's field
    local field=$(marker_field "$2")
    cmp -s -n "$field" "$1" "$2" && cmp -s -i $((field + 4)) -n $(($(stat -c %s "$2") - field - 4)) "$1" "$2"
}
crlf() {  # crlf FILE...: a Windows program's text-mode lines end in LF alone
    sed -i 's/\r$//' "$@"
}
