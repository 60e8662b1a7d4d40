#!/usr/bin/env python3
"""Makes the seed corpora from archives that `kqi pack` writes, for every
method, key and lock, plus setup-like images for the locator, and small
program images and icons for the resource writer.
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

# The resource writer: 0 + a small program image with a resource tree, 1 + an
# icon (see resources_fuzzer.cpp).
def small_image(resources, plus=False):
    """A PE image of .rsrc (holding `resources`, (type, id, data) tuples) and
    a discardable .reloc behind it."""
    types = sorted({t for t, _, _ in resources})
    dirs = 16 + 8 * len(types) + sum(16 + 8 * len([r for r in resources if r[0] == t]) for t in types)
    dirs += sum(16 + 8 for _ in resources)  # one language each
    entries_at = dirs
    data_at = entries_at + 16 * len(resources)
    tree = bytearray(data_at)
    blobs = b""
    struct.pack_into("<HH", tree, 12, 0, len(types))
    at = 16 + 8 * len(types)
    leaf = 0
    for i, t in enumerate(types):
        names = [r for r in resources if r[0] == t]
        struct.pack_into("<II", tree, 16 + 8 * i, t, 0x80000000 | at)
        name_dir = at
        struct.pack_into("<HH", tree, name_dir + 12, 0, len(names))
        at += 16 + 8 * len(names)
        for k, (_, ident, data) in enumerate(names):
            struct.pack_into("<II", tree, name_dir + 16 + 8 * k, ident, 0x80000000 | at)
            struct.pack_into("<HHII", tree, at + 12, 0, 1, 0x409, entries_at + 16 * leaf)
            at += 24
            struct.pack_into("<II", tree, entries_at + 16 * leaf, 0x1000 + data_at + len(blobs), len(data))
            blobs += data + b"\x00" * (-len(data) % 8)
            leaf += 1
    rsrc = bytes(tree) + blobs
    raw = (len(rsrc) + 0x1FF) // 0x200 * 0x200
    optional_size = 240 if plus else 224
    header = bytearray(0x400)
    header[0:2] = b"MZ"
    struct.pack_into("<I", header, 0x3C, 0x80)
    header[0x80:0x84] = b"PE\0\0"
    struct.pack_into("<HH", header, 0x86, 2, 0)
    struct.pack_into("<H", header, 0x94, optional_size)
    o = 0x98
    struct.pack_into("<H", header, o, 0x20B if plus else 0x10B)
    struct.pack_into("<II", header, o + 32, 0x1000, 0x200)
    reloc_va = 0x1000 + (raw + 0xFFF) // 0x1000 * 0x1000
    struct.pack_into("<I", header, o + 56, reloc_va + 0x1000)
    d = o + (112 if plus else 96)
    struct.pack_into("<I", header, d - 4, 16)
    struct.pack_into("<II", header, d + 16, 0x1000, len(rsrc))
    struct.pack_into("<II", header, d + 40, reloc_va, 8)
    table = o + optional_size
    struct.pack_into("<8sIIII12xI", header, table, b".rsrc", len(rsrc), 0x1000, raw, 0x400, 0xC0000040)
    struct.pack_into("<8sIIII12xI", header, table + 40, b".reloc", 8, reloc_va, 0x200, 0x400 + raw, 0x42000040)
    return bytes(header) + rsrc + b"\x00" * (raw - len(rsrc)) + struct.pack("<II", 0x1000, 8) + b"\x00" * 0x1F8

manifest = b'<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0"/>'
icon_group = struct.pack("<HHHBBBBHHIH", 0, 1, 1, 16, 16, 0, 0, 1, 32, 40, 1)
save("resources", "pe32-manifest", b"\x00" + small_image([(24, 1, manifest)]))
save("resources", "pe32plus-icon", b"\x00" + small_image([(24, 1, manifest), (3, 1, b"\x28" + b"\x00" * 39), (14, 1, icon_group)], True))
with tempfile.TemporaryDirectory() as work:
    ico = os.path.join(work, "app.ico")
    subprocess.run([sys.executable, os.path.join(root, "..", "tests", "tools", "make-icon.py"), ico], check=True)
    data = open(ico, "rb").read()
    save("resources", "ico-three", b"\x01" + data)
    # One image only: the directory and the bitmap's header.
    first = struct.unpack_from("<II", data, 6 + 8)
    one = struct.pack("<HHH", 0, 1, 1) + data[6:14] + struct.pack("<II", first[0], 22) + data[first[1]:first[1] + first[0]]
    save("resources", "ico-one", b"\x01" + one)
