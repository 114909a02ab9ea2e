#!/usr/bin/env python3
"""Converts the 24-bit BMP pictures that brindlequartz.exe --screenshot-dir writes into PNG.

    bmp_to_png.py FILE.bmp...   (each FILE.png is written next to it, FILE.bmp removed)
"""
import os
import struct
import sys
import zlib


def convert(path):
    data = open(path, "rb").read()
    if data[:2] != b"BM":
        raise ValueError("%s: not a BMP file" % path)
    offset, = struct.unpack_from("<I", data, 10)
    width, height, _, bits = struct.unpack_from("<iiHH", data, 18)
    if bits != 24:
        raise ValueError("%s: %d bits a pixel, 24 expected" % (path, bits))
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in range(abs(height)):
        src = height - 1 - y if height > 0 else y
        line = data[offset + src * stride:offset + src * stride + width * 3]
        rgb = bytearray(width * 3)
        rgb[0::3], rgb[1::3], rgb[2::3] = line[2::3], line[1::3], line[0::3]
        rows.append(b"\0" + bytes(rgb))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(
            ">I", zlib.crc32(kind + body) & 0xFFFFFFFF)

    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, abs(height), 8, 2, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b"")
    out = path[:-4] + ".png"
    open(out, "wb").write(png)
    os.remove(path)
    return out


if __name__ == "__main__":
    for name in sys.argv[1:]:
        print(convert(name))
