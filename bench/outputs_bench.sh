#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Several outputs from one decode: three sizes (2048, 1024, 320) of the corpus photos against the
# largest size alone, run against run in one worker; goal at most 1.3 times. Wall time and CPU time
# (user + system, steadier on a loaded machine) are both reported, with the peak memory.
#
#   outputs_bench.sh PIXMILL_CLI
set -euo pipefail

CLI=$(readlink -f "$1")
CORPUS=${PIXMILL_CORPUS:-/tmp/pixmill-corpus}
ROUNDS=${OUTPUTS_ROUNDS:-3}
PHOTOS=${OUTPUTS_PHOTOS:-4}

[ -x /usr/bin/time ] || { echo "outputs: /usr/bin/time missing (package time)"; exit 1; }
[ -d "$CORPUS/photos" ] || { echo "outputs: no $CORPUS/photos: skipped"; exit 0; }

WORK=$(mktemp -d /tmp/pixmill-outputs.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/xdg"
export XDG_CONFIG_HOME=$WORK/xdg
mapfile -t FILES < <(ls "$CORPUS"/photos/*.jpg | head -n "$PHOTOS")

# run NAME SIZE...: prints "wall cpu peakKB"
run() {
    local name=$1 args=()
    shift
    for size; do args+=(-s "$size"); done
    rm -rf "${WORK:?}/$name"
    /usr/bin/time -f "%e %U %S %M" -o "$WORK/time" "$CLI" -j 1 -q 90 -c nocrop -n '%SRC%_%DSTX%' \
        -o "$WORK/$name" "${args[@]}" "${FILES[@]}" >/dev/null 2>&1 || { echo "outputs: failed: $name" >&2; exit 1; }
    awk '{ printf "%s %.2f %s\n", $1, $2 + $3, $4 }' "$WORK/time"
}

: >"$WORK/runs"
for round in $(seq "$ROUNDS"); do
    echo "$(run one 2048) $(run three 2048 1024 320)" >>"$WORK/runs"
done
[ "$(ls "$WORK/three" | wc -l)" -eq $((3 * ${#FILES[@]})) ] || { echo "outputs: not every output written"; exit 1; }

load=$(cut -d' ' -f1-3 /proc/loadavg)
awk -v load="$load" -v rounds="$ROUNDS" -v photos="${#FILES[@]}" '
function median(list, n,   i, j, t) {
    for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (list[j] < list[i]) { t = list[i]; list[i] = list[j]; list[j] = t }
    return n % 2 ? list[(n + 1) / 2] : (list[n / 2] + list[n / 2 + 1]) / 2
}
{ n++; wall[n] = $4 / $1; cpu[n] = $5 / $2; w1[n] = $1; w3[n] = $4; m1 = $3; m3 = $6 }
END {
    printf "several outputs: %d x 12 MP photos, one worker, %d rounds; load average %s\n", photos, rounds, load
    c = median(cpu, n); w = median(wall, n)
    printf "  -s 2048 -s 1024 -s 320 against -s 2048: %.2fx CPU time, %.2fx wall time (%.2f s against %.2f s)%s\n",
        c, w, median(w3, n), median(w1, n), (c <= 1.3 ? "" : "  ABOVE 1.3x")
    printf "  peak memory: %d MB against %d MB\n", m3 / 1024, m1 / 1024
}' "$WORK/runs"
