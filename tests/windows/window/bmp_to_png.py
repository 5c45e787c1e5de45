#!/usr/bin/env python3
"""Turns the window test's 24-bit BMP pictures into PNG files (standard
library only). Usage: bmp_to_png.py FILE.bmp... (writes FILE.png beside
each and removes the BMP)."""
import os
import struct
import sys
import zlib


def bmp_rows(data):
    if data[:2] != b"BM":
        raise ValueError("not a BMP file")
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height, _, bits = struct.unpack_from("<iiHH", data, 18)
    if bits != 24:
        raise ValueError("only 24-bit pictures")
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in range(abs(height)):
        source = y if height < 0 else abs(height) - 1 - y
        line = data[offset + source * stride: offset + source * stride + width * 3]
        rgb = bytearray(len(line))
        rgb[0::3], rgb[1::3], rgb[2::3] = line[2::3], line[1::3], line[0::3]
        rows.append(bytes(rgb))
    return width, abs(height), rows


def png(width, height, rows):
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)
    raw = b"".join(b"\x00" + row for row in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


for path in sys.argv[1:]:
    with open(path, "rb") as f:
        picture = png(*bmp_rows(f.read()))
    with open(os.path.splitext(path)[0] + ".png", "wb") as f:
        f.write(picture)
    os.remove(path)
