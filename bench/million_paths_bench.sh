#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A million listed paths: the dry run's time and memory per path at 100,000 and at 1,000,000 paths
# (goal: at most 1.2x), the memory a streamed report adds, and the share of the CPU time that the
# main thread (intake, the look at the jobs every 50 ms, the ended jobs) takes over 100,000 tiny
# images resized with -j 2 (goal: at most 5%).
#
#   million_paths_bench.sh PIXMILL_CLI        (MILLION_PATHS=N changes the million)
set -euo pipefail

CLI=$(readlink -f "$1")
BIG=${MILLION_PATHS:-1000000}
SMALL=$((BIG / 10))
[ -x /usr/bin/time ] || { echo "million paths: /usr/bin/time missing (package time)"; exit 1; }
# The tree is hard links to a few tiny files, on tmpfs where there is one.
base=/tmp
[ -d /dev/shm ] && [ -w /dev/shm ] && base=/dev/shm
WORK=$(mktemp -d "$base/pixmill-million.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"
export XDG_CONFIG_HOME="$WORK/config"

/usr/bin/python3 - "$BIG" "$SMALL" <<'EOF'
import os, shutil, sys
from PIL import Image
big, small = int(sys.argv[1]), int(sys.argv[2])
Image.new("RGB", (4, 4), (200, 30, 40)).save("tiny.bmp")
with open("big.list", "wb") as lb, open("small.list", "wb") as ls:
    for n in range(big):
        folder, i = divmod(n, 1000)
        if i == 0:
            os.makedirs("photos/d%04d" % folder)
            if folder % 50 == 0:  # a file takes at most 65000 links on ext4
                shutil.copyfile("tiny.bmp", "tiny%d.bmp" % folder)
                source = "tiny%d.bmp" % folder
        path = "photos/d%04d/i%03d.bmp" % (folder, i)
        os.link(source, path)
        lb.write(path.encode() + b"\0")
        if n < small:
            ls.write(path.encode() + b"\0")
EOF

# Seconds of CPU and peak KB of one run; the output goes to files here.
measure() {
    local name=$1
    shift
    /usr/bin/time -o "$WORK/$name.time" -f "%U %S %M %e" "$@" >"$WORK/$name.out" 2>"$WORK/$name.err" || true
    read -r user sys kb wall <"$WORK/$name.time"
    echo "$user $sys $kb $wall"
}
read -r u s base_kb _ < <(measure one "$CLI" --dry-run -o out --keep-structure -s 2x2 photos/d0000/i000.bmp)
dry() { measure "dry$1" "$CLI" --files-from "$1.list" -0 --dry-run -o out --keep-structure -s 2x2 "${@:2}"; }
read -r su ss skb swall < <(dry small)
read -r bu bs bkb bwall < <(dry big)
read -r ru rs rkb rwall < <(dry big --report -)
awk -v n1="$SMALL" -v n2="$BIG" -v su="$su" -v ss="$ss" -v skb="$skb" -v bu="$bu" -v bs="$bs" -v bkb="$bkb" \
    -v rkb="$rkb" -v base="$base_kb" 'BEGIN {
    t1 = (su + ss) / n1 * 1e6; t2 = (bu + bs) / n2 * 1e6
    m1 = (skb - base) * 1024 / n1; m2 = (bkb - base) * 1024 / n2
    printf "million paths: dry run, %d paths: %.1f us and %.0f bytes a path; %d paths: %.1f us and %.0f bytes a path\n", n1, t1, m1, n2, t2, m2
    printf "million paths: per path at %d over %d: time %.2fx, memory %.2fx (goal at most 1.2x)\n", n2, n1, t2 / t1, m2 / m1
    printf "million paths: the report of %d paths on standard output adds %.1f MB of peak memory\n", n2, (rkb - bkb) / 1024
}'

# The main thread's and the whole process's CPU time, read from /proc until the process ends (the
# last look is at most 20 ms before its end).
"$CLI" --files-from small.list -0 -j 2 -o out --keep-structure -s 2x2 --quiet --report run.jsonl \
    >/dev/null 2>&1 &
pid=$!
main=0 all=0
# utime and stime are the 12th and 13th fields after the command name.
while main_stat=$(cat "/proc/$pid/task/$pid/stat" 2>/dev/null) && all_stat=$(cat "/proc/$pid/stat" 2>/dev/null); do
    main=$(awk '{ print $12 + $13 }' <<<"${main_stat##*) }")
    all=$(awk '{ print $12 + $13 }' <<<"${all_stat##*) }")
    sleep 0.02
done
wait "$pid" || true
resized=$(grep -c '"status":"resized"' run.jsonl || true)
awk -v main="$main" -v all="$all" -v ticks="$(getconf CLK_TCK)" -v n="$SMALL" -v done="$resized" 'BEGIN {
    printf "million paths: %d tiny images (%d resized), -j 2: %.1f s of CPU, the main thread %.2f s: %.1f%% (goal at most 5%%)\n", n, done, all / ticks, main / ticks, 100 * main / all
}'
echo "million paths: load $(cut -d' ' -f1-3 /proc/loadavg)"
