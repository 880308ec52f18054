#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# Writes a large photo-like RGB PNG (default 20000x15000, 300 megapixels) row band by row band, so
# that neither the picture nor its compressed data is ever held whole.
#   make_big_png.py OUT.png [WIDTH HEIGHT]
import struct
import sys
import zlib

import numpy as np


def chunk(out, kind, data):
    out.write(struct.pack(">I", len(data)) + kind + data)
    out.write(struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))


def main():
    path = sys.argv[1]
    w, h = (int(sys.argv[2]), int(sys.argv[3])) if len(sys.argv) > 3 else (20000, 15000)
    rng = np.random.default_rng(1)
    x = np.arange(w, dtype=np.float32)
    band = 200
    with open(path + ".part", "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n")
        chunk(out, b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
        z = zlib.compressobj(6)
        for y0 in range(0, h, band):
            rows = min(band, h - y0)
            y = np.arange(y0, y0 + rows, dtype=np.float32)[:, None]
            img = np.empty((rows, w, 3), np.float32)
            for c in range(3):
                img[:, :, c] = (128 + 70 * np.sin(x * (0.0011 + 0.0003 * c) + c) * np.cos(y * 0.0009 - c)
                                + 25 * np.sin((x + 2 * y) * 0.013))
            img += rng.normal(0, 3.0, img.shape).astype(np.float32)
            pix = np.clip(img, 0, 255).astype(np.uint8).reshape(rows, w * 3)
            # Filter Sub: each byte less the byte of the pixel to its left.
            sub = pix.copy()
            sub[:, 3:] = pix[:, 3:] - pix[:, :-3]
            raw = np.concatenate([np.ones((rows, 1), np.uint8), sub], axis=1)
            data = z.compress(raw.tobytes())
            if data:
                chunk(out, b"IDAT", data)
        chunk(out, b"IDAT", z.flush())
        chunk(out, b"IEND", b"")
    import os
    os.replace(path + ".part", path)


if __name__ == "__main__":
    main()
