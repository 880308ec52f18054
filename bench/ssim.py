#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# Mean SSIM (7x7 windows, each of red, green and blue, averaged) of pairs of pictures of one size.
#
#   ssim.py REFERENCE TEST [REFERENCE TEST]...   prints one SSIM per pair
import sys

import numpy as np
from PIL import Image

C1, C2 = (0.01 * 255) ** 2, (0.03 * 255) ** 2
WINDOW = 7


def box(a):
    """Mean over every WINDOW x WINDOW window that fits (valid part only)."""
    s = np.cumsum(np.cumsum(np.pad(a, ((1, 0), (1, 0))), axis=0), axis=1)
    n = WINDOW
    return (s[n:, n:] - s[:-n, n:] - s[n:, :-n] + s[:-n, :-n]) / (n * n)


def ssim(x, y):
    mx, my = box(x), box(y)
    vx, vy = box(x * x) - mx * mx, box(y * y) - my * my
    cov = box(x * y) - mx * my
    return float(np.mean((2 * mx * my + C1) * (2 * cov + C2) / ((mx * mx + my * my + C1) * (vx + vy + C2))))


def rgb(path):
    return np.asarray(Image.open(path).convert("RGB"), dtype=np.float64)


args = sys.argv[1:]
for ref, test in zip(args[0::2], args[1::2]):
    a, b = rgb(ref), rgb(test)
    if a.shape != b.shape:
        sys.exit(f"ssim: {ref} and {test} differ in size")
    print(f"{np.mean([ssim(a[..., c], b[..., c]) for c in range(3)]):.5f}")
