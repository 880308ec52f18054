#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Writes the seeds of fuzz/corpus/heif_fuzz/ and fuzz/corpus/jxl_fuzz/: small pictures encoded by
# the libraries' own tools (heif-enc, cjxl), one per feature the sources handle: HEVC and AV1,
# alpha, 10 bits, a thumbnail, EXIF; lossy, lossless, grey, alpha,
# an animation and an orientation for JPEG XL.
set -euo pipefail
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
HEIF=$HERE/corpus/heif_fuzz
JXL=$HERE/corpus/jxl_fuzz
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$HEIF" "$JXL"

/usr/bin/python3 - "$WORK" <<'PY'
import sys
from PIL import Image
w = sys.argv[1]
rgb = Image.new('RGB', (24, 16))
rgba = Image.new('RGBA', (24, 16))
for y in range(16):
    for x in range(24):
        rgb.putpixel((x, y), (x * 10, y * 15, (x + y) * 6))
        rgba.putpixel((x, y), (x * 10, y * 15, 90, (x * 11) % 256))
rgb.save(w + '/rgb.png')
rgba.save(w + '/rgba.png')
rgb.convert('L').save(w + '/grey.png')
rgb.save(w + '/exif.jpg', quality=90, exif=b'Exif\0\0II*\0\x08\0\0\0\1\0\x12\x01\3\0\1\0\0\0\6\0\0\0\0\0\0\0')
frames = [rgb, rgb.transpose(Image.FLIP_LEFT_RIGHT)]
frames[0].save(w + '/anim.gif', save_all=True, append_images=frames[1:], duration=100, loop=0)
PY

enc() { "$@" >/dev/null 2>&1 || echo "seed not made: $*" >&2; }
enc heif-enc -q 50 -o "$HEIF/hevc.heic" "$WORK/rgb.png"
enc heif-enc -q 50 -o "$HEIF/hevc_alpha.heic" "$WORK/rgba.png"
enc heif-enc -q 50 -t 8 -o "$HEIF/hevc_thumbnail.heic" "$WORK/rgb.png"
enc heif-enc -q 50 -o "$HEIF/hevc_exif.heic" "$WORK/exif.jpg"
enc heif-enc -A -q 50 -o "$HEIF/av1.avif" "$WORK/rgb.png"
enc heif-enc -A -q 50 -o "$HEIF/av1_alpha.avif" "$WORK/rgba.png"
enc avifenc -d 10 "$WORK/rgb.png" "$HEIF/av1_10bit.avif"
enc cjxl -d 1 "$WORK/rgb.png" "$JXL/lossy.jxl"
enc cjxl -d 0 "$WORK/rgba.png" "$JXL/lossless_alpha.jxl"
enc cjxl -d 0 "$WORK/grey.png" "$JXL/grey.jxl"
enc cjxl -d 1 "$WORK/exif.jpg" "$JXL/jpeg_exif.jxl"
enc cjxl -d 0 "$WORK/anim.gif" "$JXL/animation.jxl"
ls "$HEIF" "$JXL"
