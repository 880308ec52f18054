#!/usr/bin/env python3
"""Writes the seeds of fuzz/corpus/inflate_fuzz/ (zlib streams: stored, fixed, dynamic, small window,
run-length; the first byte picks where the sink refuses) and of fuzz/corpus/png_fuzz/ (one PNG per
colour type, low and high depths, interlaced and not, PLTE, tRNS and gAMA, every filter in turn)."""
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
