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
    # and, in a Windows stub, the PE checksum, which covers the finished setup
    python3 - "$1" "$2" "$(marker_field "$2")" <<'PY'
import struct, sys
setup, stub = (open(p, "rb").read() for p in sys.argv[1:3])
masked = [(int(sys.argv[3]), 4)]
if stub[:2] == b"MZ":
    masked.append((struct.unpack_from("<I", stub, 0x3C)[0] + 24 + 64, 4))
head = bytearray(setup[:len(stub)]); stub = bytearray(stub)
for at, n in masked:
    head[at:at + n] = stub[at:at + n] = bytes(n)
sys.exit(head != stub)
PY
}
make_test_signer() {  # a throw-away CA (ca.crt) and a code signer it made (signer.crt, signer.key) here
    openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.crt -days 2 -subj "/CN=KQ Test CA" \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign > /dev/null 2>&1
    openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr -subj "/CN=KQ Test Publisher" > /dev/null 2>&1
    printf 'extendedKeyUsage=codeSigning\nkeyUsage=critical,digitalSignature\n' > signer.ext
    openssl x509 -req -in signer.csr -CA ca.crt -CAkey ca.key -CAcreateserial -out signer.crt -days 2 \
        -extfile signer.ext > /dev/null 2>&1
}
crlf() {  # crlf FILE...: a Windows program's text-mode lines end in LF alone
    sed -i 's/\r$//' "$@"
}
