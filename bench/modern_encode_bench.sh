#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# JPEG photos written as WebP, AVIF and JPEG XL by pixmill-cli and by vipsthumbnail, run against run.
#
#   modern_encode_bench.sh PIXMILL_CLI
#
# The 16 12-MP photos of the benchmark corpus (made by make-corpus.sh when $PIXMILL_CORPUS, default
# /tmp/pixmill-corpus, lacks them) fit into 1024x768, two workers (vipsthumbnail: two
# single-threaded processes). Both use the same libraries at the same settings: libwebp method 4,
# libheif's AV1 encoder at speed 5 (vips's effort 4) in 8-bit 4:2:0, libjxl at effort 7.
# Whole batch from the JPEG photos: pixmill-cli at its default quality, vips at the quality whose
# batch comes within 5% of pixmill-cli's bytes (searched first by bisection over vips's Q 1..100,
# a few vips runs per type), since vips shrinks JPEG photos while decoding them, which softens them
# and makes its files smaller at the same quality. Encoders alone: the same resized pixels written
# by both at the same quality (vips maps its Q to the same WebP quality, AV1 quality and JPEG XL
# distance). Printed per type: both qualities, the median time ratio pixmill / vips over the
# rounds (goal: at most 1.1) and the ratio of the batch's bytes (goal: within 5%).
set -euo pipefail

CLI=$(readlink -f "$1")
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
CORPUS=${PIXMILL_CORPUS:-/tmp/pixmill-corpus}
ROUNDS=${MODERN_ROUNDS:-3}
MAKE_CORPUS=$HERE/../../shared/bench/make-corpus.sh
# The qualities pixmill-cli uses by default (engine/Settings.h); vips gets the same.
QUALITY_webp=$(sed -n 's/.*kDefaultWebpQuality = \([0-9]*\);/\1/p' "$HERE/../engine/Settings.h")
QUALITY_avif=$(sed -n 's/.*kDefaultAvifQuality = \([0-9]*\);/\1/p' "$HERE/../engine/Settings.h")
QUALITY_jxl=$(sed -n 's/.*kDefaultJxlQuality = \([0-9]*\);/\1/p' "$HERE/../engine/Settings.h")

command -v vipsthumbnail >/dev/null || { echo "modern: vipsthumbnail missing (libvips-tools): skipped"; exit 0; }
[ -x /usr/bin/time ] || { echo "modern: /usr/bin/time missing (package time)"; exit 1; }
if [ ! -d "$CORPUS/photos" ]; then
    if [ ! -x "$MAKE_CORPUS" ]; then echo "modern: no corpus and no $MAKE_CORPUS: skipped"; exit 0; fi
    echo "modern: making the corpus in $CORPUS (once)"
    PYTHON=/usr/bin/python3 "$MAKE_CORPUS" "$CORPUS" >/dev/null
fi

WORK=$(mktemp -d /tmp/pixmill-modern.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
export XDG_CONFIG_HOME=$WORK/xdg
mkdir -p "$XDG_CONFIG_HOME"

seconds() {  # seconds COMMAND...: wall time of the command
    /usr/bin/time -f "%e" -o "$WORK/time" "$@" >/dev/null 2>&1 || { echo "modern: failed: $*" >&2; exit 1; }
    cat "$WORK/time"
}
pixmill() {  # pixmill TYPE QUALITY
    rm -rf "$WORK/pixmill" && "$CLI" -j 2 -s 1024x768 -c nocrop -t "$1" "--$1-quality" "$2" -o "$WORK/pixmill" \
        "$CORPUS"/photos/*.jpg
}
vips() {  # vips TYPE QUALITY
    local options="Q=$2"
    [ "$1" = avif ] && options="$options,compression=av1,effort=4,subsample_mode=on,bitdepth=8"
    [ "$1" = jxl ] && options="$options,effort=7"
    [ "$1" = webp ] && options="$options,effort=4"
    rm -rf "$WORK/vips" && mkdir -p "$WORK/vips"
    ls "$CORPUS"/photos/*.jpg | VIPS_CONCURRENCY=1 xargs -P 2 -n 8 vipsthumbnail -s 1024x768 \
        -o "$WORK/vips/%s.$1[$options]"
}
# The encoders alone: the same resized pixels (made once, lossless) written by both, 100%.
pixmillEncode() {  # pixmillEncode TYPE QUALITY
    rm -rf "$WORK/pixmill" && "$CLI" -j 2 -s 100% -t "$1" "--$1-quality" "$2" -o "$WORK/pixmill" "$WORK"/same/*.png
}
vipsEncode() {  # vipsEncode TYPE QUALITY
    rm -rf "$WORK/vips" && mkdir -p "$WORK/vips"
    ls "$WORK"/same/*.png | VIPS_CONCURRENCY=1 xargs -P 2 -n 1 sh -c \
        'vips copy "$2" "$WORK/vips/$(basename "$2" .png).$0[$1]"' "$1" "$(vipsOptions "$1" "$2")"
}
vipsOptions() {  # the vips save options of TYPE at QUALITY
    case $1 in
        avif) echo "Q=$2,compression=av1,effort=4,subsample_mode=on,bitdepth=8" ;;
        jxl) echo "Q=$2,effort=7" ;;
        *) echo "Q=$2,effort=4" ;;
    esac
}
export -f pixmill vips pixmillEncode vipsEncode vipsOptions
export CLI CORPUS WORK
"$CLI" -j 2 -s 1024x768 -t png -o "$WORK/same" "$CORPUS"/photos/*.jpg >/dev/null 2>&1

: >"$WORK/runs"
bytesOf() {  # bytesOf DIR TYPE: the batch's bytes
    cat "$WORK/$1"/*."$2" | wc -c
}
# vips's quality whose batch comes within 5% of TARGET bytes, else the nearest one tried: bisection
# over 1..100 starting from START (vips's bytes grow with its Q).
matchQuality() {  # matchQuality TYPE START TARGET
    local lo=1 hi=100 q=$2 best=$2 bestOff=-1 bytes off
    while [ "$lo" -le "$hi" ]; do
        bash -c "vips $1 $q" >/dev/null 2>&1 || { echo "modern: failed: vips $1 $q" >&2; exit 1; }
        bytes=$(bytesOf vips "$1")
        off=$(( (bytes > $3 ? bytes - $3 : $3 - bytes) * 1000 / $3 ))
        if [ "$bestOff" -lt 0 ] || [ "$off" -lt "$bestOff" ]; then best=$q bestOff=$off; fi
        [ "$off" -le 50 ] && break
        if [ "$bytes" -lt "$3" ]; then lo=$((q + 1)); else hi=$((q - 1)); fi
        q=$(( (lo + hi) / 2 ))
    done
    echo "$best"
}
for type in ${MODERN_TYPES:-webp avif jxl}; do
    quality=QUALITY_$type
    declare "VIPS_QUALITY_$type=${!quality}"
    case " ${MODERN_PARTS:-batch encode} " in *" batch "*) ;; *) continue ;; esac
    seconds bash -c "pixmill $type ${!quality}" >/dev/null
    vipsQuality=$(matchQuality "$type" "${!quality}" "$(bytesOf pixmill "$type")")
    declare "VIPS_QUALITY_$type=$vipsQuality"
done
for round in $(seq "$ROUNDS"); do
    for part in ${MODERN_PARTS:-batch encode}; do
        for type in ${MODERN_TYPES:-webp avif jxl}; do
            quality=QUALITY_$type
            [ "$part" = batch ] && vipsQuality=VIPS_QUALITY_$type || vipsQuality=QUALITY_$type
            [ "$part" = batch ] && run=pixmill || run=pixmillEncode
            p=$(seconds bash -c "$run $type ${!quality}")
            pb=$(bytesOf pixmill "$type")
            [ "$part" = batch ] && run=vips || run=vipsEncode
            v=$(seconds bash -c "$run $type ${!vipsQuality}")
            vb=$(bytesOf vips "$type")
            echo "$part:$type ${!quality} ${!vipsQuality} $p $v $pb $vb" >>"$WORK/runs"
        done
    done
done

load=$(cut -d' ' -f1-3 /proc/loadavg)
awk -v load="$load" -v rounds="$ROUNDS" '
function median(list, n,   i, j, t) {
    for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (list[j] < list[i]) { t = list[i]; list[i] = list[j]; list[j] = t }
    return n % 2 ? list[(n + 1) / 2] : (list[n / 2] + list[n / 2 + 1]) / 2
}
{ n[$1]++; q[$1] = $2; vq[$1] = $3; r[$1, n[$1]] = $4 / $5; pt[$1, n[$1]] = $4; vt[$1, n[$1]] = $5; pb[$1] = $6; vb[$1] = $7 }
END {
    printf "JPEG -> modern types: 16 x 12 MP -> 1024x768, two workers; %d rounds; load average %s\n", rounds, load
    print "  batch: from the JPEG photos (each tool resizes its own way), vips at the quality matching the bytes;"
    print "  encode: the same resized pixels at the same quality"
    split("batch:webp batch:avif batch:jxl encode:webp encode:avif encode:jxl", order, " ")
    for (k = 1; k <= 6; k++) {
        c = order[k]; if (!(c in n)) continue
        for (i = 1; i <= n[c]; i++) { a[i] = r[c, i]; b[i] = pt[c, i]; d[i] = vt[c, i] }
        ratio = median(a, n[c]); bytes = pb[c] / vb[c]
        line = sprintf("  %-11s pixmill q%-3d %6.2f s, vips q%-3d %6.2f s: %5.2fx the time of vips, %5.3fx its bytes (%d / %d)",
                       c, q[c], median(b, n[c]), vq[c], median(d, n[c]), ratio, bytes, pb[c], vb[c])
        line = line (ratio <= 1.1 ? "" : "  ABOVE 1.1x") (bytes >= 0.95 && bytes <= 1.05 ? "" : "  BYTES OFF BY MORE THAN 5%")
        print line
    }
}' "$WORK/runs"
