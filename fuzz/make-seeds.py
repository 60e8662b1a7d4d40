#!/usr/bin/env python3
"""Makes the seed corpora from archives that `kqi pack` writes, for every
method, key and lock, plus setup-like images for the locator.
Usage: fuzz/make-seeds.py KQI [METHOD...]   (default methods: none rle lzh1 lh5)"""
import os, struct, subprocess, sys, tempfile

kqi = sys.argv[1]
methods = sys.argv[2:] or ["none", "rle", "lzh1", "lh5"]
root = os.path.dirname(os.path.abspath(__file__))
corpus = os.path.join(root, "corpus")

samples = {
    "text": b"Installer\\KQInstall.exe starts with /SOURCE= and /DATA=.\r\n" * 40,
    "runs": b"\x00" * 300 + b"\x94" * 300 + b"A" * 300,
    "bytes": bytes(range(256)) * 3,
    "one": b"x",
}

def save(harness, name, data):
    folder = os.path.join(corpus, harness)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)

# Round trip: options byte, piece seed, plain bytes (see roundtrip_fuzzer.cpp).
for sample, data in samples.items():
    for options in (0, 1, 6):
        save("roundtrip", f"{sample}-{options}", bytes([options, 0x5A]) + data)

with tempfile.TemporaryDirectory() as work:
    for sample, data in samples.items():
        path = os.path.join(work, sample)
        with open(path, "wb") as f:
            f.write(data)
        for method in methods:
            for key, lock in [(0, None), (0x1234ABCD, None), (77, "1")]:
                out = os.path.join(work, "a.kqa")
                args = [kqi, "pack", "-q", "-o", out, "--method", method, "Installer\\KQInstall.exe=" + path]
                if key:
                    args += ["--key", str(key)]
                if lock:
                    args += ["--lock", lock]
                if subprocess.run(args, capture_output=True).returncode != 0:
                    continue
                archive = open(out, "rb").read()
                tag = f"{method}-{sample}-{key:x}-{lock or 'd'}"
                name = b"installer\\kqinstall.exe"
                save("expand", tag, struct.pack("<iBB", key, 0, len(name)) + name + archive)
                save("list", tag, archive)
                if key == 0:
                    name_length = struct.unpack_from("<h", archive, 21)[0]
                    expanded, stored = struct.unpack_from("<ii", archive, 21 + 8)
                    data_start = 21 + 25 + name_length
                    raw = archive[data_start:data_start + stored]
                    decoder = {"rle": "rle", "lzh1": "lzh1", "lh5": "lzh5"}.get(method)
                    if decoder:
                        save(decoder, f"{sample}", struct.pack("<i", expanded) + raw)
                    # A setup-like image: stub bytes with the marker, then the payload.
                    stub = b"MZ" + b"\x00" * 200 + b"KQI_SIZE" + b"XXXX" + b"\x00" * 100
                    offset = len(stub)
                    image = stub.replace(b"XXXX", struct.pack("<i", offset)) + struct.pack("<i", len(archive)) + archive
                    save("locator", tag, image)
    # LH5 streams of an independent encoder, raw and inside an archive.
    if subprocess.run(["sh", "-c", "command -v jlha"], capture_output=True).returncode == 0:
        for sample, data in samples.items():
            path = os.path.join(work, sample)
            lzh = os.path.join(work, sample + ".lzh")
            subprocess.run(["jlha", "co5q", lzh, sample], cwd=work, capture_output=True)
            if not os.path.exists(lzh):
                continue
            raw = open(lzh, "rb").read()
            if raw[2:7] != b"-lh5-" or raw[20] != 2:
                continue
            header_size = struct.unpack_from("<H", raw, 0)[0]
            stored = struct.unpack_from("<I", raw, 7)[0]
            stream = raw[header_size:header_size + stored]
            save("lzh5", "jlha-" + sample, struct.pack("<i", len(data)) + stream)
            name = b"Installer\\KQInstall.exe"
            entry = struct.pack("<h6siiBIi", len(name), b"\0" * 6, len(data), len(stream), 4, sum(data) & 0xFFFFFFFF, 0)
            archive = b"VRAX\x1aLH5" + struct.pack("<iBii", len(data), 1, 0, 0) + entry + name + stream
            save("expand", "jlha-" + sample, struct.pack("<iBB", 0, 0, len(name)) + name + archive)
    save("locator", "unpatched", b"MZ" + b"\x00" * 50 + b"KQI_SIZEXXXX" + b"\x00" * 50)
    save("locator", "straddle", b"\x00" * (16384 - 4) + b"KQI_SIZE" + struct.pack("<i", 16400) + b"\x00" * 40)
