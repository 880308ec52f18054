#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# How the default WebP, AVIF and JPEG XL qualities were chosen: the mean SSIM, against the exact
# resized pixels, of the corpus photos fitted into 1024x768 and written as JPEG at 90 and as each
# type at a few qualities. The default of a type is the quality whose mean matches JPEG's.
#
#   quality_match.sh PIXMILL_CLI [TYPE:Q,Q,...]...   (default: webp:80,85,90,95 avif:50,60,70,80 jxl:80,85,90,95)
set -euo pipefail

CLI=$(readlink -f "$1")
shift
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
CORPUS=${PIXMILL_CORPUS:-/tmp/pixmill-corpus}
[ -d "$CORPUS/photos" ] || { echo "quality: no corpus in $CORPUS (make-corpus.sh makes it)"; exit 1; }
WORK=$(mktemp -d /tmp/pixmill-quality.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
export XDG_CONFIG_HOME=$WORK/xdg
mkdir -p "$XDG_CONFIG_HOME"

# The exact resized pixels (lossless PNG); every output below is made from them unchanged (100%).
"$CLI" -j 2 -s 1024x768 -t png -n %SRC% -o "$WORK/ref" "$CORPUS"/photos/*.jpg >/dev/null

decode() {  # decode TYPE FILE PNG
    case $1 in
        jpg) djpeg "$2" >"$3.ppm" && mv "$3.ppm" "$3" ;;
        webp) dwebp -quiet "$2" -o "$3" ;;
        avif) avifdec "$2" "$3" >/dev/null ;;
        jxl) djxl "$2" "$3" >/dev/null 2>&1 ;;
    esac
}

# Mean SSIM and total bytes of the corpus written as TYPE at quality Q.
measure() {  # measure TYPE Q
    local type=$1 q=$2 out=$WORK/$1-$2 option=--$1-quality pairs=() bytes
    [ "$type" = jpg ] && option=--jpeg-quality
    "$CLI" -j 2 -s 100% -t "$type" "$option" "$q" -n %SRC% -o "$out" "$WORK"/ref/*.png >/dev/null
    for f in "$out"/*."$type"; do
        decode "$type" "$f" "$f.png"
        pairs+=("$WORK/ref/$(basename "${f%.*}").png" "$f.png")
    done
    bytes=$(cat "$out"/*."$type" | wc -c)
    /usr/bin/python3 "$HERE/ssim.py" "${pairs[@]}" | awk -v t="$type" -v q="$q" -v b="$bytes" \
        '{ s += $1; n++ } END { printf "%-5s q%-3d mean SSIM %.5f  %7.1f KiB for %d photos\n", t, q, s / n, b / 1024, n }'
}

measure jpg 90
for list in "${@:-webp:80,85,90,95 avif:50,60,70,80 jxl:80,85,90,95}"; do
    for item in $list; do
        IFS=, read -r -a qualities <<<"${item#*:}"
        for q in "${qualities[@]}"; do measure "${item%%:*}" "$q"; done
    done
done
