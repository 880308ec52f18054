#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes the seeds of fuzz/corpus/webp_fuzz/ (lossy, lossless, alpha, with ICC, EXIF and XMP chunks,
an animation) and fuzz/corpus/tiff_fuzz/ (every layout the TIFF source reads: 1- to 16-bit grey,
palette, RGB, RGBA straight and premultiplied, CMYK, YCbCr; every compression; strips, tiles and
planes; two pages), all small pictures made here with Pillow, cwebp, img2webp, webpmux and tiffcp."""
import os, subprocess, sys, tempfile
from PIL import Image

CORPUS = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), 'corpus')


def pattern(mode, w=13, h=11):
    im = Image.new('RGBA', (w, h))
    im.putdata([((x * 37) % 256, (y * 53) % 256, ((x + y) * 19) % 256, 255 if (x + y) % 3 else (x * 40) % 256)
                for y in range(h) for x in range(w)])
    return im if mode == 'RGBA' else im.convert(mode)


def run(*args):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def webp_seeds(out, tmp):
    png = os.path.join(tmp, 'a.png')
    pattern('RGBA').save(png)
    run('cwebp', '-quiet', '-q', '50', png, '-o', os.path.join(out, 'lossy-alpha.webp'))
    run('cwebp', '-quiet', '-q', '50', '-noalpha', png, '-o', os.path.join(out, 'lossy.webp'))
    run('cwebp', '-quiet', '-lossless', png, '-o', os.path.join(out, 'lossless-alpha.webp'))
    pattern('RGB').save(png)
    run('cwebp', '-quiet', '-lossless', png, '-o', os.path.join(out, 'lossless.webp'))
    exif = os.path.join(tmp, 'exif')
    with open(exif, 'wb') as f:  # little-endian TIFF header, IFD0 with orientation 6
        f.write(b'II*\0\x08\0\0\0\x01\0\x12\x01\x03\0\x01\0\0\0\x06\0\0\0\0\0\0\0')
    with open(os.path.join(tmp, 'xmp'), 'wb') as f:
        f.write(b'<x:xmpmeta xmlns:x="adobe:ns:meta/"/>')
    with open(os.path.join(tmp, 'icc'), 'wb') as f:
        f.write(bytes(128))
    chunks = os.path.join(tmp, 'chunks.webp')
    run('webpmux', '-set', 'exif', exif, os.path.join(out, 'lossy.webp'), '-o', chunks)
    run('webpmux', '-set', 'xmp', os.path.join(tmp, 'xmp'), chunks, '-o', chunks)
    run('webpmux', '-set', 'icc', os.path.join(tmp, 'icc'), chunks, '-o', os.path.join(out, 'chunks.webp'))
    frames = []
    for i in range(3):
        frame = os.path.join(tmp, 'f%d.png' % i)
        pattern('RGBA', 9, 7).rotate(180 * i).save(frame)
        frames += ['-d', '40', frame]
    run('img2webp', '-loop', '0', '-lossy', *frames, '-o', os.path.join(out, 'animated.webp'))


def tiff_seeds(out, tmp):
    def save(name, im, **options):
        im.save(os.path.join(out, name), **options)

    for compression in ('raw', 'packbits', 'tiff_lzw', 'tiff_adobe_deflate'):
        save('rgb-%s.tif' % compression, pattern('RGB'), compression=compression)
    save('rgba.tif', pattern('RGBA'), compression='tiff_lzw')
    save('grey.tif', pattern('L'))
    save('bilevel-g4.tif', pattern('1'), compression='group4')
    save('palette.tif', pattern('P'))
    save('cmyk.tif', pattern('CMYK'))
    save('ycbcr-jpeg.tif', pattern('RGB', 16, 16), compression='jpeg')
    save('grey16.tif', pattern('L').convert('I').point(lambda v: v * 257).convert('I;16'))
    pattern('RGB').save(os.path.join(tmp, 'a.tif'))
    run('tiffcp', '-t', '-w', '16', '-l', '16', os.path.join(tmp, 'a.tif'), os.path.join(out, 'tiled.tif'))
    run('tiffcp', '-p', 'separate', os.path.join(tmp, 'a.tif'), os.path.join(out, 'planes.tif'))
    run('tiffcp', '-t', '-w', '16', '-l', '16', '-p', 'separate', os.path.join(out, 'rgba.tif'),
        os.path.join(out, 'rgba-tiled-planes.tif'))
    run('tiffcp', os.path.join(out, 'grey.tif'), os.path.join(out, 'rgb-raw.tif'), os.path.join(out, 'pages.tif'))
    premultiplied = bytearray(open(os.path.join(out, 'rgba.tif'), 'rb').read())
    # ExtraSamples 2 (unassociated) becomes 1 (associated alpha): entry tag 0x0152, SHORT, count 1.
    at = premultiplied.find(b'\x52\x01\x03\x00\x01\x00\x00\x00\x02\x00')
    if at >= 0:
        premultiplied[at + 8] = 1
        open(os.path.join(out, 'rgba-premultiplied.tif'), 'wb').write(premultiplied)


def main():
    with tempfile.TemporaryDirectory() as tmp:
        for name, make in (('webp_fuzz', webp_seeds), ('tiff_fuzz', tiff_seeds)):
            out = os.path.join(CORPUS, name)
            os.makedirs(out, exist_ok=True)
            make(out, tmp)


if __name__ == '__main__':
    main()
