#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes the seeds of fuzz/corpus/inflate_fuzz/ (zlib streams: stored, fixed, dynamic, small window,
run-length; the first byte picks where the sink refuses) and of fuzz/corpus/png_fuzz/ (one PNG per
colour type, low and high depths, interlaced and not, PLTE, tRNS and gAMA, every filter in turn),
and the BMP seeds of fuzz/corpus/bmp_fuzz/ for every header size, palette depth, run-length kind and
bit-field layout (the older hand-made ones there are kept as they are)."""
import os, random, struct, sys, zlib

CORPUS = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), 'corpus')
OUT = os.path.join(CORPUS, 'png_fuzz')
CHANNELS = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}
ADAM7 = [(0, 8, 0, 8), (4, 8, 0, 8), (0, 4, 4, 8), (2, 4, 0, 4), (0, 2, 2, 4), (1, 2, 0, 2), (0, 1, 1, 2)]

def chunk(kind, data):
    return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))

def rows(samples, w, h, ct, depth, x0=0, dx=1, y0=0, dy=1):
    ch, out, prev = CHANNELS[ct], b'', None
    bpp = max(1, ch * depth // 8)
    for n, y in enumerate(range(y0, h, dy)):
        bits = ''
        for x in range(x0, w, dx):
            for c in range(ch):
                bits += format(samples[(y * w + x) * ch + c], '0%db' % depth)
        if not bits:
            return out
        bits += '0' * (-len(bits) % 8)
        line = bytes(int(bits[i:i + 8], 2) for i in range(0, len(bits), 8))
        out += bytes([n % 5]) + filtered(line, prev or bytes(len(line)), n % 5, bpp)
        prev = line
    return out

def filtered(line, prev, f, bpp):
    out = bytearray()
    for i, v in enumerate(line):
        a = line[i - bpp] if i >= bpp else 0
        b, c = prev[i], prev[i - bpp] if i >= bpp else 0
        p = a + b - c
        paeth = a if abs(p - a) <= abs(p - b) and abs(p - a) <= abs(p - c) else b if abs(p - b) <= abs(p - c) else c
        out.append((v - [0, a, b, (a + b) // 2, paeth][f]) & 255)
    return bytes(out)

def png(w, h, ct, depth, interlace=0, plte=b'', trns=b'', seed=0):
    rnd = random.Random(seed)
    n = w * h * CHANNELS[ct]
    samples = [rnd.randrange(1 << depth) if ct != 3 else rnd.randrange(min(1 << depth, len(plte) // 3 or 1)) for _ in range(n)]
    raw = b''.join(rows(samples, w, h, ct, depth, *g) for g in ADAM7) if interlace else rows(samples, w, h, ct, depth)
    out = b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', w, h, depth, ct, 0, 0, interlace))
    out += chunk(b'gAMA', struct.pack('>I', 45455))
    if plte:
        out += chunk(b'PLTE', plte)
    if trns:
        out += chunk(b'tRNS', trns)
    z = zlib.compress(raw, 6)
    out += chunk(b'IDAT', z[:len(z) // 2]) + chunk(b'IDAT', z[len(z) // 2:])
    return out + chunk(b'IEND', b'')

os.makedirs(OUT, exist_ok=True)
pal = bytes(range(48))
seeds = {
    'grey1.png': png(13, 5, 0, 1, trns=b'\0\1'),
    'grey2-interlaced.png': png(9, 9, 0, 2, 1),
    'grey16.png': png(5, 4, 0, 16, trns=b'\1\2'),
    'rgb8-key.png': png(7, 6, 2, 8, trns=b'\0\1\0\2\0\3'),
    'rgb16-interlaced.png': png(6, 7, 2, 16, 1),
    'palette4-alpha.png': png(11, 5, 3, 4, plte=pal, trns=b'\0\x80\xff'),
    'palette8-interlaced.png': png(10, 10, 3, 8, 1, plte=pal),
    'greyalpha16.png': png(4, 4, 4, 16),
    'rgba8-interlaced.png': png(9, 5, 6, 8, 1),
}
for name, data in seeds.items():
    with open(os.path.join(OUT, name), 'wb') as f:
        f.write(data)

def zstream(data, level, wbits, strategy=zlib.Z_DEFAULT_STRATEGY):
    c = zlib.compressobj(level, zlib.DEFLATED, wbits, 8, strategy)
    return c.compress(data) + c.flush()

text = b'the quick brown fox jumps over the lazy dog ' * 20 + bytes(range(256))
inflate = {
    'stored': b'\0' + zstream(text, 0, 15),
    'fixed': b'\0' + zstream(text, 6, 15, zlib.Z_FIXED),
    'dynamic': b'\0' + zstream(text, 9, 15),
    'window256': b'\0' + zstream(text, 6, 8),
    'rle': b'\0' + zstream(text, 6, 12, zlib.Z_RLE),
    'refuse': b'\2' + zstream(text, 6, 15),
}
os.makedirs(os.path.join(CORPUS, 'inflate_fuzz'), exist_ok=True)
for name, data in inflate.items():
    with open(os.path.join(CORPUS, 'inflate_fuzz', name), 'wb') as f:
        f.write(data)

def bmp(w, h, bits, compression=0, info=40, palette=(), masks=(), data=b'', used=None, entry=4):
    """A BMP file: header of `info` bytes (12: OS/2 1.x), masks after a 40-byte header, palette, data."""
    if info == 12:
        head = struct.pack('<IHHHH', 12, w, h, 1, bits)
    else:
        full = struct.pack('<IiiHHIIiiII', info, w, h, 1, bits, compression, len(data), 2835, 2835,
                           len(palette) if used is None else used, 0)
        full += b''.join(struct.pack('<I', m) for m in masks) if info > 40 else b''
        head = (full + bytes(max(0, info - len(full))))[:info]
    extra = b''.join(struct.pack('<I', m) for m in masks) if info == 40 else b''
    pal = b''.join(struct.pack('<I', c)[:entry] for c in palette)
    offset = 14 + len(head) + len(extra) + len(pal)
    return b'BM' + struct.pack('<IHHI', offset + len(data), 0, 0, offset) + head + extra + pal + data

def packed(indices, w, h, bits):
    out = b''
    for y in range(h):
        v, n = 0, 0
        line = bytearray()
        for x in range(w):
            v, n = v << bits | indices[(y * w + x) % len(indices)], n + bits
            if n == 8:
                line.append(v)
                v, n = 0, 0
        if n:
            line.append(v << (8 - n))
        out += bytes(line) + bytes(-len(line) % 4)
    return out

def words(values, size, w, h):
    out = b''
    for y in range(h):
        line = b''.join(struct.pack('<H' if size == 2 else '<I', values[(y * w + x) % len(values)]) for x in range(w))
        out += line + bytes(-len(line) % 4)
    return out

grey = [0x00101010 * i for i in range(16)]
bmps = {
    'pal1_os2core_sparse.bmp': bmp(9, 3, 1, info=12, palette=[0xFF0000], data=packed([1, 0], 9, 3, 1), entry=3),
    'pal2.bmp': bmp(7, 3, 2, palette=grey[:4], data=packed([0, 1, 2, 3, 1], 7, 3, 2)),
    'pal4_short_palette.bmp': bmp(5, 2, 4, palette=grey[:3], data=packed([0, 1, 2, 9, 15], 5, 2, 4)),
    'pal8_v5_topdown.bmp': bmp(3, -3, 8, info=124, palette=grey, data=packed([0, 5, 15, 200], 3, 3, 8)),
    'pal8_os2v2_16.bmp': bmp(3, 2, 8, info=16, palette=grey * 16, data=packed([1, 2, 3], 3, 2, 8)),
    # Runs, an odd and an even absolute run, a delta, end of line, end of bitmap.
    'rle4_codes.bmp': bmp(8, 3, 4, 2, palette=grey, data=bytes([5, 0x12, 0, 3, 0x34, 0x50, 0, 0,
                                                              0, 4, 0x67, 0x89, 0, 2, 2, 1, 3, 0xAB, 0, 1])),
    'rle4_cut.bmp': bmp(6, 4, 4, 2, palette=grey, data=bytes([6, 0x12, 0, 0, 0, 5, 0x12])),
    'rgb16_555.bmp': bmp(3, 2, 16, data=words([0x7FFF, 0x001F, 0x8000 | 0x03E0], 2, 3, 2)),
    'rgb16_565_bitfields.bmp': bmp(3, 2, 16, 3, masks=[0xF800, 0x07E0, 0x001F], data=words([0xFFFF, 0x1234], 2, 3, 2)),
    'rgba16_4444_v4.bmp': bmp(2, 2, 16, 3, info=108, masks=[0x0F00, 0x00F0, 0x000F, 0xF000], data=words([0x8F00, 0xF0F0, 0x0ABC], 2, 2, 2)),
    'rgb32_bitfields_topdown.bmp': bmp(2, -2, 32, 3, masks=[0xFF000000, 0xFF0000, 0xFF00], data=words([0x11223300, 0xFFFFFF00], 4, 2, 2)),
    'rgba32_alphabitfields.bmp': bmp(2, 2, 32, 6, masks=[0xFF0000, 0xFF00, 0xFF, 0xFF000000], data=words([0x80112233, 0], 4, 2, 2)),
    'rgb32_1010102_h56.bmp': bmp(2, 1, 32, 3, info=56, masks=[0x3FF00000, 0xFFC00, 0x3FF, 0xC0000000], data=words([0xC00FFC00, 0x3FF], 4, 2, 1)),
    'rgb24_h52_cut.bmp': bmp(3, 4, 24, info=52, data=bytes(range(20))),
}
os.makedirs(os.path.join(CORPUS, 'bmp_fuzz'), exist_ok=True)
for name, data in bmps.items():
    with open(os.path.join(CORPUS, 'bmp_fuzz', name), 'wb') as f:
        f.write(data)
