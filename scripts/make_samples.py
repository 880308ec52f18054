#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Makes the sample images `make run` resizes: one JPEG, PNG, GIF and BMP, drawn here, no downloads."""
import sys
from pathlib import Path

from PIL import Image, ImageDraw


def scene(width, height, hue):
    """A gradient with a few shapes, so turns, crops and resampling are easy to see."""
    image = Image.new("RGB", (width, height))
    pixels = image.load()
    for y in range(height):
        for x in range(width):
            pixels[x, y] = (x * 255 // width, y * 255 // height, hue)
    draw = ImageDraw.Draw(image)
    draw.ellipse((width // 8, height // 8, width // 2, height // 2), fill=(250, 250, 250))
    draw.rectangle((width // 2, height // 2, width - width // 8, height - height // 8), outline=(0, 0, 0), width=6)
    draw.text((12, 12), "top left", fill=(0, 0, 0))
    return image


def main(folder):
    out = Path(folder)
    out.mkdir(parents=True, exist_ok=True)

    # A camera-style JPEG stored sideways: EXIF orientation 6 asks for a quarter turn clockwise.
    photo = scene(1200, 900, 30)
    exif = Image.Exif()
    exif[0x0112] = 6
    exif[0x010F] = "Pixmill sample"
    photo.save(out / "camera.jpg", quality=92, exif=exif.tobytes())

    # A PNG with transparency.
    logo = scene(640, 640, 120).convert("RGBA")
    alpha = Image.new("L", logo.size, 0)
    ImageDraw.Draw(alpha).ellipse((20, 20, 620, 620), fill=255)
    logo.putalpha(alpha)
    logo.save(out / "logo.png")

    # A palette GIF.
    scene(480, 320, 200).convert("P", palette=Image.ADAPTIVE, colors=64).save(out / "drawing.gif")

    # A portrait BMP.
    scene(600, 800, 80).save(out / "scan.bmp")

    for path in sorted(out.iterdir()):
        with Image.open(path) as image:
            print(f"  {path.name:12} {image.format:5} {image.width}x{image.height}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "samples")
