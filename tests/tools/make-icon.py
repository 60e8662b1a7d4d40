#!/usr/bin/env python3
"""Writes a test icon: 16x16 and 32x32 32-bit bitmaps and a PNG-compressed
256x256 image, each a different colour, so that a reader that picks an image
can be told which it got.
Usage: make-icon.py OUT.ico"""
import struct, sys, zlib

def dib(size, bgra):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = bytes(bgra) * (size * size)
    mask = b"\x00" * (((size + 31) // 32) * 4 * size)  # AND mask: all opaque
    return header + pixels + mask

def png(size, rgba):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    rows = b"".join(b"\x00" + bytes(rgba) * size for _ in range(size))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))

images = [(16, dib(16, (0, 0, 255, 255))), (32, dib(32, (0, 255, 0, 255))), (256, png(256, (0, 0, 255, 255)))]
out = struct.pack("<HHH", 0, 1, len(images))
offset = 6 + 16 * len(images)
for size, data in images:
    out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
    offset += len(data)
out += b"".join(data for _, data in images)
with open(sys.argv[1], "wb") as f:
    f.write(out)
