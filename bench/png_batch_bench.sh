#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# PNG batches through pixmill-cli against libpng's decode floor and vipsthumbnail, run against run,
# and one 300-megapixel PNG resized with its time and peak memory.
#
#   png_batch_bench.sh PIXMILL_CLI
#
# The set: the 8 PNGs of the benchmark corpus ($PIXMILL_CORPUS/png), fit into 1024x768 at quality
# 90 by two workers. The floor is libpng's decode (pngtopnm, netpbm) as two processes; vipsthumbnail
# runs as two single-threaded processes. The large file is $PIXMILL_CORPUS/big/big-300mp.png
# (written by make_big_png.py when missing).
set -euo pipefail

CLI=$(readlink -f "$1")
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
CORPUS=${PIXMILL_CORPUS:-/tmp/pixmill-corpus}
ROUNDS=${PNG_BATCH_ROUNDS:-3}
BIG=$CORPUS/big/big-300mp.png

command -v pngtopnm >/dev/null || { echo "png batch: pngtopnm missing (netpbm)"; exit 1; }
[ -x /usr/bin/time ] || { echo "png batch: /usr/bin/time missing (package time)"; exit 1; }
[ -d "$CORPUS/png" ] || { echo "png batch: no $CORPUS/png: skipped"; exit 0; }
if [ ! -f "$BIG" ]; then
    echo "png batch: writing $BIG (once)"
    mkdir -p "$(dirname "$BIG")"
    /usr/bin/python3 "$HERE/make_big_png.py" "$BIG"
fi

WORK=$(mktemp -d /tmp/pixmill-pngbatch.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/xdg"
export XDG_CONFIG_HOME=$WORK/xdg

# Runs a command under /usr/bin/time; prints "seconds peak-KiB".
timed() {
    /usr/bin/time -f "%e %M" -o "$WORK/time" "$@" >/dev/null 2>&1 || { echo "png batch: failed: $*" >&2; exit 1; }
    cat "$WORK/time"
}
floor() { ls "$CORPUS"/png/*.png | xargs -P 2 -n 4 sh -c 'for f; do pngtopnm "$f" >/dev/null; done' _; }
pixmill() { rm -rf "$WORK/out"; "$CLI" -j 2 -s 1024x768 -q 90 -c nocrop -o "$WORK/out" "$CORPUS"/png/*.png; }
vips() {
    rm -rf "$WORK/vips" && mkdir -p "$WORK/vips"
    ls "$CORPUS"/png/*.png | VIPS_CONCURRENCY=1 xargs -P 2 -n 4 vipsthumbnail -s 1024x768 -o "$WORK/vips/%s.jpg[Q=90]"
}
export -f floor pixmill vips
export CORPUS CLI WORK

HAVE_VIPS=0
command -v vipsthumbnail >/dev/null && HAVE_VIPS=1
: >"$WORK/runs"
for round in $(seq "$ROUNDS"); do
    for case in pixmill vips; do
        [ "$case" = vips ] && [ "$HAVE_VIPS" = 0 ] && continue
        read -r f _ < <(timed bash -c floor)
        read -r t m < <(timed bash -c "$case")
        echo "$case $t $f $m" >>"$WORK/runs"
    done
done

# The large file: one run each, the whole process's peak memory.
read -r bt bm < <(timed "$CLI" -j 1 -s 1024x768 -q 90 -c nocrop -o "$WORK/big" "$BIG")
bvt=0 bvm=0
if [ "$HAVE_VIPS" = 1 ]; then
    mkdir -p "$WORK/bigvips"
    read -r bvt bvm < <(VIPS_CONCURRENCY=1 timed vipsthumbnail -s 1024x768 -o "$WORK/bigvips/%s.jpg[Q=90]" "$BIG")
fi

load=$(cut -d' ' -f1-3 /proc/loadavg)
awk -v load="$load" -v rounds="$ROUNDS" -v bt="$bt" -v bm="$bm" -v bvt="$bvt" -v bvm="$bvm" '
function median(list, n,   i, j, t) {
    for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (list[j] < list[i]) { t = list[i]; list[i] = list[j]; list[j] = t }
    return n % 2 ? list[(n + 1) / 2] : (list[n / 2] + list[n / 2 + 1]) / 2
}
{ n[$1]++; r[$1, n[$1]] = $2 / $3; fl[$1, n[$1]] = $3; if ($4 > peak[$1]) peak[$1] = $4 }
END {
    printf "PNG batches: 8 corpus PNGs -> 1024x768 q90, two workers; %d rounds; load average %s\n", rounds, load
    for (k = 1; k <= 2; k++) {
        c = (k == 1) ? "pixmill" : "vips"; if (!(c in n)) continue
        for (i = 1; i <= n[c]; i++) { a[i] = r[c, i]; b[i] = fl[c, i] }
        ratio[c] = median(a, n[c]); f = median(b, n[c])
        who = (c == "pixmill") ? "pixmill-cli" : "vipsthumbnail (2 processes)"
        line = sprintf("  %-34s %5.2fx the libpng floor (floor %.2f s)", who, ratio[c], f)
        if (c == "pixmill") line = line sprintf(", peak %6.1f MiB", peak[c] / 1024) (ratio[c] <= 1.15 ? "" : "  ABOVE 1.15x")
        print line
    }
    if ("vips" in ratio) print (ratio["pixmill"] < ratio["vips"] ? "  pixmill-cli faster than vipsthumbnail" : "  pixmill-cli NOT faster than vipsthumbnail")
    printf "  300 MP PNG -> 1024x768: pixmill-cli %.2f s, peak %.1f MiB%s", bt, bm / 1024, ((bm <= 40 * 1024) ? "" : "  ABOVE 40 MiB")
    if (bvt > 0) printf "; vipsthumbnail %.2f s, peak %.1f MiB", bvt, bvm / 1024
    printf "\n"
}' "$WORK/runs"
