#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# HEIC and WebP photo batches through pixmill-cli against the libraries' decode floor and
# vipsthumbnail, and the peak memory of the HEIC batch, run against run on one machine.
#
#   modern_decode_bench.sh PIXMILL_CLI
#
# The set: the 16 12-MP photos of the benchmark corpus encoded once by heif-enc and cwebp at their
# default qualities (x265's fastest preset: its default takes minutes a photo, and the bitstream
# decodes alike) into $PIXMILL_CORPUS/encoded (kept for later runs), fit into 1024x768 as JPEG at
# quality 90 by two workers. The floor is decode_floor (built beside pixmill-cli) decoding every
# file with the library as two processes; vipsthumbnail runs as two single-threaded processes.
# Each run is divided by the floor run just before it; the medians over the rounds are printed.
# Memory: the HEIC batch's peak against two jobs' worth of the library's own decode peak for the
# largest file, plus one 1024x768 output picture each, plus 10%.
set -euo pipefail

CLI=$(readlink -f "$1")
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
FLOOR=$(dirname "$CLI")/../bench/decode_floor
CORPUS=${PIXMILL_CORPUS:-/tmp/pixmill-corpus}
ROUNDS=${MODERN_ROUNDS:-3}
MAKE_CORPUS=$HERE/../../shared/bench/make-corpus.sh

for tool in heif-enc cwebp vipsthumbnail; do
    command -v $tool >/dev/null || { echo "modern: $tool missing (libheif-examples, webp, libvips-tools)"; exit 1; }
done
[ -x /usr/bin/time ] || { echo "modern: /usr/bin/time missing (package time)"; exit 1; }
[ -x "$FLOOR" ] || { echo "modern: $FLOOR missing (libwebp-dev at configure time)"; exit 1; }
if [ ! -d "$CORPUS/photos" ]; then
    if [ ! -x "$MAKE_CORPUS" ]; then echo "modern: no corpus and no $MAKE_CORPUS: skipped"; exit 0; fi
    PYTHON=/usr/bin/python3 "$MAKE_CORPUS" "$CORPUS" >/dev/null
fi

# The encoded photos, made once (a file appears only when its encoder finished).
mkdir -p "$CORPUS/encoded/heic" "$CORPUS/encoded/webp"
for f in "$CORPUS"/photos/*.jpg; do
    b=$(basename "$f" .jpg)
    if [ ! -s "$CORPUS/encoded/heic/$b.heic" ]; then
        heif-enc -p preset=ultrafast -o "$CORPUS/encoded/heic/$b.part.heic" "$f" >/dev/null
        mv "$CORPUS/encoded/heic/$b.part.heic" "$CORPUS/encoded/heic/$b.heic"
    fi
    if [ ! -s "$CORPUS/encoded/webp/$b.webp" ]; then
        cwebp -quiet "$f" -o "$CORPUS/encoded/webp/$b.part.webp"
        mv "$CORPUS/encoded/webp/$b.part.webp" "$CORPUS/encoded/webp/$b.webp"
    fi
done

WORK=$(mktemp -d /tmp/pixmill-modern.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/xdg"
export XDG_CONFIG_HOME=$WORK/xdg

# Runs a command under /usr/bin/time; prints "seconds peak-KiB".
timed() {
    /usr/bin/time -f "%e %M" -o "$WORK/time" "$@" >/dev/null 2>&1 || { echo "modern: failed: $*" >&2; exit 1; }
    cat "$WORK/time"
}
floor() { ls "$CORPUS/encoded/$1"/*."$1" | xargs -P 2 -n 8 "$FLOOR"; }
pixmill() {
    rm -rf "$WORK/out"
    "$CLI" -j 2 -s 1024x768 -q 90 -c nocrop --rotate none -o "$WORK/out" "$CORPUS/encoded/$1"/*."$1"
}
vips() {
    rm -rf "$WORK/vips" && mkdir -p "$WORK/vips"
    ls "$CORPUS/encoded/$1"/*."$1" | VIPS_CONCURRENCY=1 xargs -P 2 -n 8 vipsthumbnail -s 1024x768 -o "$WORK/vips/%s.jpg[Q=90]"
}
export -f floor pixmill vips
export CORPUS CLI WORK FLOOR

# A type pixmill-cli cannot read yet is left out, saying so.
TYPES=
for type in heic webp; do
    first=$(ls "$CORPUS/encoded/$type"/*."$type" | head -1)
    if "$CLI" -s 64x64 -o "$WORK/probe-$type" "$first" >/dev/null 2>&1; then TYPES="$TYPES $type"
    else echo "modern: pixmill-cli does not read $type files: left out"; fi
done
: >"$WORK/runs"
for round in $(seq "$ROUNDS"); do
    for type in $TYPES; do
        for case in pixmill vips; do
            read -r f _ < <(timed bash -c "floor $type")
            read -r t m < <(timed bash -c "$case $type")
            echo "$type-$case $t $f $m" >>"$WORK/runs"
        done
    done
done
# The library's own decode peak, file by file; the largest counts.
decodePeak=0
case " $TYPES " in *" heic "*) ;; *) exit 0 ;; esac
for f in "$CORPUS"/encoded/heic/*.heic; do
    read -r _ m < <(timed "$FLOOR" "$f")
    [ "$m" -gt "$decodePeak" ] && decodePeak=$m
done

load=$(cut -d' ' -f1-3 /proc/loadavg)
awk -v load="$load" -v rounds="$ROUNDS" -v decodePeak="$decodePeak" '
function median(list, n,   i, j, t) {
    for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (list[j] < list[i]) { t = list[i]; list[i] = list[j]; list[j] = t }
    return n % 2 ? list[(n + 1) / 2] : (list[n / 2] + list[n / 2 + 1]) / 2
}
{ n[$1]++; r[$1, n[$1]] = $2 / $3; fl[$1, n[$1]] = $3; if ($4 > peak[$1]) peak[$1] = $4 }
END {
    printf "modern inputs: 16 x 12 MP -> 1024x768 JPEG q90, two workers; %d rounds; load average %s\n", rounds, load
    split("heic webp", types, " ")
    for (k = 1; k <= 2; k++) {
        t = types[k]; p = t "-pixmill"; v = t "-vips"
        if (!(p in n)) continue
        for (i = 1; i <= n[p]; i++) { a[i] = r[p, i]; b[i] = fl[p, i] }
        rp = median(a, n[p]); f = median(b, n[p])
        for (i = 1; i <= n[v]; i++) a[i] = r[v, i]
        rv = median(a, n[v])
        printf "  %s -> JPEG: pixmill-cli %5.2fx the decode floor (floor %.2f s)%s; vipsthumbnail %5.2fx; %s\n", toupper(t), rp, f,
            rp <= 1.15 ? "" : "  ABOVE 1.15x", rv, rp < rv ? "pixmill-cli faster" : "pixmill-cli NOT faster"
    }
    bar = 1.1 * 2 * (decodePeak + 1024 * 768 * 4 / 1024)
    printf "  HEIC batch peak %.1f MiB; bar %.1f MiB (2 x (decode peak %.1f MiB + one output picture) + 10%%)%s\n",
        peak["heic-pixmill"] / 1024, bar / 1024, decodePeak / 1024, peak["heic-pixmill"] <= bar ? "" : "  ABOVE"
}' "$WORK/runs"
