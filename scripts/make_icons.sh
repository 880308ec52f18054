#!/bin/bash
# SPDX-License-Identifier: MIT
# Draws the hicolor theme's PNG icons of Pixmill from app/pixmill.svg (needs rsvg-convert from
# librsvg2-bin). The icons are checked in; run this again after changing the SVG.
set -euo pipefail
cd "$(dirname "$0")/.."
for size in 16 22 24 32 48 64 128 256 512; do
  mkdir -p packaging/icons/${size}x${size}
  rsvg-convert -w $size -h $size app/pixmill.svg -o packaging/icons/${size}x${size}/pixmill.png
done
