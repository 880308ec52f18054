#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Photo batches through pixmill-cli against the full-decode floor, run against run on one machine.
#
#   pipeline_bench.sh PIXMILL_CLI
#
# The set: the 16 12-MP photos of the benchmark corpus (made by make-corpus.sh beside the project
# when $PIXMILL_CORPUS, default /tmp/pixmill-corpus, lacks them), fit into 1024x768 at quality 90,
# as stored and tagged with EXIF orientation 6 (turned by the defaults). The floor is djpeg's full
# decode as two processes; vipsthumbnail (two single-threaded processes) runs as a peer when it is
# installed. Each run is divided by the floor run just before it; the medians over the rounds are
# printed with the peak memory of the whole pixmill-cli process.
set -euo pipefail

CLI=$(readlink -f "$1")
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
CORPUS=${PIXMILL_CORPUS:-/tmp/pixmill-corpus}
ROUNDS=${PIPELINE_ROUNDS:-5}
MAKE_CORPUS=$HERE/../../shared/bench/make-corpus.sh

command -v djpeg >/dev/null || { echo "pipeline: djpeg missing (libjpeg-turbo-progs)"; exit 1; }
[ -x /usr/bin/time ] || { echo "pipeline: /usr/bin/time missing (package time)"; exit 1; }
if [ ! -d "$CORPUS/photos" ]; then
    if [ ! -x "$MAKE_CORPUS" ]; then echo "pipeline: no corpus and no $MAKE_CORPUS: skipped"; exit 0; fi
    echo "pipeline: making the corpus in $CORPUS (once)"
    PYTHON=/usr/bin/python3 "$MAKE_CORPUS" "$CORPUS" >/dev/null
fi

WORK=$(mktemp -d /tmp/pixmill-pipeline.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/turned" "$WORK/xdg"
/usr/bin/python3 "$HERE/tag_orientation.py" 6 "$CORPUS"/photos/*.jpg "$WORK/turned"
export XDG_CONFIG_HOME=$WORK/xdg

# Runs a command under /usr/bin/time; prints "seconds peak-KiB".
timed() {
    /usr/bin/time -f "%e %M" -o "$WORK/time" "$@" >/dev/null 2>&1 || { echo "pipeline: failed: $*" >&2; exit 1; }
    cat "$WORK/time"
}
floor() { ls "$CORPUS"/photos/*.jpg | xargs -P 2 -n 8 sh -c 'for f; do djpeg "$f" >/dev/null; done' _; }
pixmill() {  # pixmill FOLDER [OPTION...]
    local from=$1; shift
    rm -rf "$WORK/out"
    "$CLI" -j 2 -s 1024x768 -q 90 -c nocrop --rotate exif -o "$WORK/out" "$@" "$from"/*.jpg
}
vips() {
    rm -rf "$WORK/vips" && mkdir -p "$WORK/vips"
    ls "$CORPUS"/photos/*.jpg | VIPS_CONCURRENCY=1 xargs -P 2 -n 8 vipsthumbnail -s 1024x768 -o "$WORK/vips/%s.jpg[Q=90]"
}
export -f floor pixmill vips
export CORPUS CLI WORK

HAVE_VIPS=0
command -v vipsthumbnail >/dev/null && HAVE_VIPS=1
: >"$WORK/runs"
for round in $(seq "$ROUNDS"); do
    for case in ${PIPELINE_CASES:-plain best turned vips}; do
        [ "$case" = vips ] && [ "$HAVE_VIPS" = 0 ] && continue
        read -r f _ < <(timed bash -c floor)
        case $case in
            plain) read -r t m < <(timed bash -c 'pixmill "$CORPUS/photos"') ;;
            best) read -r t m < <(timed bash -c 'pixmill "$CORPUS/photos" --resize-quality best') ;;
            turned) read -r t m < <(timed bash -c 'pixmill "$WORK/turned"') ;;
            vips) read -r t m < <(timed bash -c vips) ;;
        esac
        echo "$case $t $f $m" >>"$WORK/runs"
    done
done

load=$(cut -d' ' -f1-3 /proc/loadavg)
awk -v load="$load" -v rounds="$ROUNDS" '
function median(list, n,   i, j, t) {
    for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (list[j] < list[i]) { t = list[i]; list[i] = list[j]; list[j] = t }
    return n % 2 ? list[(n + 1) / 2] : (list[n / 2] + list[n / 2 + 1]) / 2
}
{ n[$1]++; r[$1, n[$1]] = $2 / $3; fl[$1, n[$1]] = $3; if ($4 > peak[$1]) peak[$1] = $4 }
END {
    printf "photo batches: 16 x 12 MP -> 1024x768 q90, two workers; %d rounds; load average %s\n", rounds, load
    split("plain best turned vips", order, " ")
    names["plain"] = "pixmill-cli, defaults (filter 2)"; names["best"] = "pixmill-cli, best (filter 3)"
    names["turned"] = "pixmill-cli, EXIF orientation 6"; names["vips"] = "vipsthumbnail (2 processes)"
    target["plain"] = 1.35; target["best"] = 2.0; target["turned"] = 1.5
    memory["plain"] = 40 * 1024; memory["turned"] = 106 * 1024
    for (k = 1; k <= 4; k++) {
        c = order[k]; if (!(c in n)) continue
        for (i = 1; i <= n[c]; i++) { a[i] = r[c, i]; b[i] = fl[c, i] }
        ratio[c] = median(a, n[c]); f = median(b, n[c])
        line = sprintf("  %-34s %5.2fx the floor (floor %.2f s)", names[c], ratio[c], f)
        if (c != "vips") line = line sprintf(", peak %6.1f MiB", peak[c] / 1024)
        if (c in target) line = line (ratio[c] <= target[c] ? "" : sprintf("  ABOVE %.2fx", target[c]))
        if (c in memory) line = line (peak[c] <= memory[c] ? "" : sprintf("  ABOVE %d MiB", memory[c] / 1024))
        print line
    }
    if ("vips" in ratio) print (ratio["plain"] < ratio["vips"] ? "  defaults faster than vipsthumbnail" : "  defaults NOT faster than vipsthumbnail")
}' "$WORK/runs"
