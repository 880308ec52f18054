#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A valid GIF whose 65535x32767 screen holds one 40x30 image, resized by pixmill-cli with the
# default memory budget: wall time and peak memory (goal: at most 2 s and 100 MB), with and
# without a transparent index.
#
#   huge_gif_bench.sh PIXMILL_CLI
set -euo pipefail

CLI=$(readlink -f "$1")
[ -x /usr/bin/time ] || { echo "huge gif: /usr/bin/time missing (package time)"; exit 1; }
WORK=$(mktemp -d /tmp/pixmill-hugegif.XXXXXX)
trap 'rm -rf "$WORK"' EXIT

/usr/bin/python3 - "$WORK" <<'EOF'
import io, sys
from PIL import Image
im = Image.new("P", (40, 30))
im.putpalette([(i * 37) % 256 for i in range(768)])
im.putdata([(x * 7 + y * 3) % 256 for y in range(30) for x in range(40)])
for name, extra in (("plain", {}), ("transparent", {"transparency": 5})):
    out = io.BytesIO()
    im.save(out, "GIF", **extra)
    data = bytearray(out.getvalue())
    data[6:10] = (65535).to_bytes(2, "little") + (32767).to_bytes(2, "little")  # the screen
    open("%s/%s.gif" % (sys.argv[1], name), "wb").write(data)
EOF

for name in plain transparent; do
    XDG_CONFIG_HOME="$WORK" /usr/bin/time -f "%e %M" -o "$WORK/time" \
        "$CLI" -o "$WORK/out" --overwrite yes --quiet "$WORK/$name.gif" >/dev/null
    read -r seconds kb <"$WORK/time"
    printf 'huge gif: 65535x32767 screen, one 40x30 image, %-11s %6.2f s %6d MB peak (goal 2 s, 100 MB)\n' \
        "$name:" "$seconds" $((kb / 1024))
done
echo "huge gif: load $(cut -d' ' -f1-3 /proc/loadavg)"
