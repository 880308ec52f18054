#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Draft decoding (--fast) on the corpus photos, run against run: 1024x768 against djpeg's full
# decode, 320x320 thumbnails against `djpeg -scale 1/8`, vipsthumbnail making the same sizes, and
# the PSNR of the draft outputs against the exact ones.
#
#   draft_bench.sh PIXMILL_CLI
set -euo pipefail

CLI=$(readlink -f "$1")
CORPUS=${PIXMILL_CORPUS:-/tmp/pixmill-corpus}
ROUNDS=${DRAFT_ROUNDS:-3}

command -v djpeg >/dev/null || { echo "draft: djpeg missing (libjpeg-turbo-progs)"; exit 1; }
[ -x /usr/bin/time ] || { echo "draft: /usr/bin/time missing (package time)"; exit 1; }
[ -d "$CORPUS/photos" ] || { echo "draft: no $CORPUS/photos: skipped"; exit 0; }

WORK=$(mktemp -d /tmp/pixmill-draft.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/xdg"
export XDG_CONFIG_HOME=$WORK/xdg

timed() {
    /usr/bin/time -f "%e" -o "$WORK/time" "$@" >/dev/null 2>&1 || { echo "draft: failed: $*" >&2; exit 1; }
    cat "$WORK/time"
}
floor() {  # floor [DJPEG OPTION...]
    ls "$CORPUS"/photos/*.jpg | xargs -P 2 -n 8 sh -c 'o=$1; shift; for f; do djpeg $o "$f" >/dev/null; done' _ "$*"
}
pixmill() {  # pixmill SIZE OUT [OPTION...]
    local size=$1 out=$2; shift 2
    rm -rf "$WORK/$out"
    "$CLI" -j 2 -s "$size" -q 90 -c nocrop -o "$WORK/$out" "$@" "$CORPUS"/photos/*.jpg
}
vips() {  # vips SIZE OUT
    rm -rf "$WORK/$2" && mkdir -p "$WORK/$2"
    ls "$CORPUS"/photos/*.jpg | VIPS_CONCURRENCY=1 xargs -P 2 -n 8 vipsthumbnail -s "$1" -o "$WORK/$2/%s_$1.jpg[Q=90]"
}
export -f floor pixmill vips
export CORPUS CLI WORK

HAVE_VIPS=0
command -v vipsthumbnail >/dev/null && HAVE_VIPS=1
: >"$WORK/runs"
for round in $(seq "$ROUNDS"); do
    f=$(timed bash -c floor)
    echo "fast1024 $(timed bash -c 'pixmill 1024x768 fast1024 --fast') $f" >>"$WORK/runs"
    [ "$HAVE_VIPS" = 1 ] && echo "vips1024 $(timed bash -c 'vips 1024x768 vips1024') $f" >>"$WORK/runs"
    f=$(timed bash -c 'floor -scale 1/8')
    echo "fast320 $(timed bash -c 'pixmill 320x320 fast320 --fast') $f" >>"$WORK/runs"
    [ "$HAVE_VIPS" = 1 ] && echo "vips320 $(timed bash -c 'vips 320x320 vips320') $f" >>"$WORK/runs"
done
# The PSNR compares the pixels each resize made, written losslessly: two JPEG encodings of nearly
# the same picture differ by their own quantisation noise, which would count against the draft.
pixmill 1024x768 exact1024 -t png >/dev/null 2>&1
pixmill 320x320 exact320 -t png >/dev/null 2>&1
pixmill 1024x768 fast1024 -t png --fast >/dev/null 2>&1
pixmill 320x320 fast320 -t png --fast >/dev/null 2>&1
if [ "$HAVE_VIPS" = 1 ]; then
    for size in 1024x768 320x320; do
        d=vips${size%%x*}
        rm -rf "$WORK/$d" && mkdir -p "$WORK/$d"
        for f in "$CORPUS"/photos/*.jpg; do
            b=$(basename "$f" .jpg)
            VIPS_CONCURRENCY=1 vipsthumbnail -s "$size" -o "$WORK/$d/${b}_$size.png" "$f"
        done
    done
fi
# PSNR of the draft outputs, and of vipsthumbnail's where it made the same sizes, against the exact
# ones: "min mean" for each, "- -" where nothing could be compared.
psnr=$(/usr/bin/python3 - "$WORK" <<'PY'
import glob, math, os, sys
import numpy as np
from PIL import Image
work = sys.argv[1]
out = []
for size in ("1024", "320"):
    for other in ("fast", "vips"):
        values = []
        for exact in sorted(glob.glob(f"{work}/exact{size}/*.png")):
            theirs = f"{work}/{other}{size}/" + os.path.basename(exact)
            if not os.path.exists(theirs):
                continue
            a = np.asarray(Image.open(exact).convert("RGB"), np.float64)
            b = np.asarray(Image.open(theirs).convert("RGB"), np.float64)
            if a.shape != b.shape:
                continue
            mse = np.mean((a - b) ** 2)
            values.append(99.0 if mse == 0 else 10 * math.log10(255 ** 2 / mse))
        out.append(f"{min(values):.1f} {sum(values) / len(values):.1f}" if values else "- -")
print(" ".join(out))
PY
)

load=$(cut -d' ' -f1-3 /proc/loadavg)
awk -v load="$load" -v rounds="$ROUNDS" -v psnr="$psnr" '
function median(list, n,   i, j, t) {
    for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (list[j] < list[i]) { t = list[i]; list[i] = list[j]; list[j] = t }
    return n % 2 ? list[(n + 1) / 2] : (list[n / 2] + list[n / 2 + 1]) / 2
}
{ n[$1]++; r[$1, n[$1]] = $2 / $3; fl[$1, n[$1]] = $3; t[$1, n[$1]] = $2 }
END {
    printf "draft decoding (--fast): 16 x 12 MP photos, two workers; %d rounds; load average %s\n", rounds, load
    split(psnr, p, " ")
    split("fast1024 vips1024 fast320 vips320", order, " ")
    names["fast1024"] = "pixmill-cli --fast, 1024x768"; names["vips1024"] = "vipsthumbnail, 1024x768"
    names["fast320"] = "pixmill-cli --fast, 320x320"; names["vips320"] = "vipsthumbnail, 320x320"
    floors["fast1024"] = "djpeg"; floors["vips1024"] = "djpeg"
    floors["fast320"] = "djpeg -scale 1/8"; floors["vips320"] = "djpeg -scale 1/8"
    target["fast1024"] = 0.75; target["fast320"] = 1.15
    for (k = 1; k <= 4; k++) {
        c = order[k]; if (!(c in n)) continue
        for (i = 1; i <= n[c]; i++) { a[i] = r[c, i]; b[i] = fl[c, i]; s[i] = t[c, i] }
        ratio[c] = median(a, n[c]); f = median(b, n[c]); secs[c] = median(s, n[c])
        line = sprintf("  %-32s %5.2fx %s (%.2f s, floor %.2f s)", names[c], ratio[c], floors[c], secs[c], f)
        if (c in target) line = line (ratio[c] <= target[c] ? "" : sprintf("  ABOVE %.2fx", target[c]))
        print line
    }
    for (k = 1; k <= 2; k++) {
        c = (k == 1) ? "1024" : "320"
        if (("vips" c) in secs) {
            v = secs["vips" c] / secs["fast" c]
            other = (c == "1024") ? "768" : "320"
            verdict = (v >= 2) ? "" : "  BELOW 2x"
            printf "  %sx%s: vipsthumbnail takes %.2fx the time of --fast%s\n", c, other, v, verdict
        }
    }
    printf "  PSNR against the exact output: 1024x768 min %s dB mean %s dB; 320x320 min %s dB mean %s dB%s\n", p[1], p[2], p[5], p[6], ((p[1] >= 35 && p[5] >= 35) ? "" : "  BELOW 35 dB")
    printf "  (vipsthumbnail against the same exact output: 1024x768 mean %s dB, 320x320 mean %s dB)\n", p[4], p[8]
}' "$WORK/runs"
