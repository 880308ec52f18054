#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A one-node Slurm cluster on this machine runs the job array of docs/scale-out.md over a few hundred
# images, one task cancelled while it writes, then the documented resume; every image must be
# resized exactly once. Usage: scripts/cluster-check.sh PATH/TO/pixmill-cli
set -uo pipefail

cli=$(readlink -f "${1:-build/cli/pixmill-cli}")
source_dir=$(cd "$(dirname "$0")/.." && pwd)
guide="$source_dir/docs/scale-out.md"
IMAGES=${CLUSTER_CHECK_IMAGES:-320}
# The system's Python has the test dependencies (PIL); a version manager's may not.
python3() { if [ -x /usr/bin/python3 ]; then /usr/bin/python3 "$@"; else command python3 "$@"; fi; }

if [ "$(id -u)" != 0 ]; then
    echo "cluster-check: skipped: starting munged, slurmctld and slurmd as a cluster needs root"
    exit 0
fi
for tool in munged slurmctld slurmd sbatch squeue scancel scontrol python3; do
    command -v "$tool" >/dev/null || { echo "cluster-check: FAILED (setup): $tool is not installed"; exit 1; }
done
[ -x "$cli" ] || { echo "cluster-check: FAILED (setup): no pixmill-cli at $cli"; exit 1; }

step="setup"
fail() {
    echo "cluster-check: FAILED ($step): $*"
    for log in "$tmp"/log/*.log; do [ -f "$log" ] && { echo "--- $log"; tail -n 15 "$log"; }; done
    exit 1
}
say() { echo "cluster-check: [${SECONDS}s] $step: $*"; }

tmp=$(mktemp -d /tmp/pixmill-cluster.XXXXXX)
chmod 711 "$tmp"
pids=()
# Everything this script started goes, whatever happened: jobs first, then the daemons by their ids.
cleanup() {
    local code=$?
    if [ -n "${SLURM_CONF:-}" ] && [ -f "$SLURM_CONF" ]; then
        for job in ${jobs_submitted:-}; do scancel "$job" 2>/dev/null; done
        for _ in $(seq 50); do [ -z "$(squeue -h 2>/dev/null)" ] && break; sleep 0.2; done
    fi
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null; done
    for pid in "${pids[@]}"; do
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -0 "$pid" 2>/dev/null && { kill -9 "$pid" 2>/dev/null; echo "cluster-check: $pid had to be killed"; }
    done
    [ -f "$tmp/munge/munged.pid" ] && kill "$(cat "$tmp/munge/munged.pid")" 2>/dev/null
    sleep 0.2
    rm -rf "$tmp"
    exit "$code"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# ---- munge, with Debian's key (made as the package does when it is missing) ----
step="munged"
mkdir -p "$tmp/munge" "$tmp/log" "$tmp/state" "$tmp/spool" "$tmp/config"
chmod 711 "$tmp/munge"
if [ ! -s /etc/munge/munge.key ]; then
    say "no /etc/munge/munge.key: making one"
    mkdir -p /etc/munge && dd if=/dev/urandom of=/etc/munge/munge.key bs=128 count=1 status=none
    chmod 400 /etc/munge/munge.key
fi
install -m 400 /etc/munge/munge.key "$tmp/munge/munge.key"
socket="$tmp/munge/munge.socket"
munged --force --socket="$socket" --key-file="$tmp/munge/munge.key" --pid-file="$tmp/munge/munged.pid" \
    --log-file="$tmp/log/munged.log" --seed-file="$tmp/munge/seed" || fail "munged did not start"
munge -S "$socket" -n | unmunge -S "$socket" >/dev/null || fail "munge credentials do not round-trip"

# ---- slurm.conf in the temporary folder; no system file is read or edited ----
step="slurm.conf"
node=$(slurmd -C | sed -n 's/^NodeName=\([^ ]*\).*/\1/p')
cpus=$(slurmd -C | sed -n 's/.* CPUs=\([0-9]*\).*/\1/p')
memory=$(slurmd -C | sed -n 's/.* RealMemory=\([0-9]*\).*/\1/p')
[ -n "$node" ] && [ -n "$cpus" ] && [ -n "$memory" ] || fail "slurmd -C did not describe this node"
export SLURM_CONF="$tmp/slurm.conf"
cat >"$SLURM_CONF" <<EOF
ClusterName=pixmill-check
SlurmctldHost=$node(127.0.0.1)
SlurmUser=root
SlurmdUser=root
SlurmctldPort=16817
SlurmdPort=16818
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$socket
StateSaveLocation=$tmp/state
SlurmdSpoolDir=$tmp/spool
SlurmctldPidFile=$tmp/slurmctld.pid
SlurmdPidFile=$tmp/slurmd.pid
SlurmctldLogFile=$tmp/log/slurmctld.log
SlurmdLogFile=$tmp/log/slurmd.log
PlugStackConfig=$tmp/plugstack.conf
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
SchedulerType=sched/builtin
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
MpiDefault=none
ReturnToService=2
KillWait=2
MinJobAge=600
NodeName=$node NodeAddr=127.0.0.1 CPUs=$cpus RealMemory=$memory State=UNKNOWN
PartitionName=check Nodes=$node Default=YES MaxTime=INFINITE State=UP
EOF
: >"$tmp/plugstack.conf"

step="slurmctld"
slurmctld -D -i >"$tmp/log/slurmctld.out" 2>&1 &
pids+=($!)
step="slurmd"
slurmd -D -N "$node" >"$tmp/log/slurmd.out" 2>&1 &
pids+=($!)
step="node idle"
for _ in $(seq 150); do
    state=$(sinfo -h -n "$node" -o %T 2>/dev/null)
    [ "$state" = idle ] && break
    for pid in "${pids[@]}"; do kill -0 "$pid" 2>/dev/null || fail "a daemon ended (pid $pid)"; done
    sleep 0.2
done
[ "$state" = idle ] || fail "the node is '$state', not idle, after 30 s"
say "one node, $cpus CPUs, $memory MB"

# ---- the catalogue: a few distinct photos copied to $IMAGES paths in nested folders ----
step="catalogue"
catalogue="$tmp/catalogue"
thumbs="$tmp/thumbs"
mkdir -p "$catalogue"
python3 - "$catalogue" "$IMAGES" <<'EOF' || fail "could not make the images"
import os, shutil, sys
from PIL import Image
root, count = sys.argv[1], int(sys.argv[2])
bases = []
for b in range(6):
    im = Image.linear_gradient("L").resize((1800, 1200)).convert("RGB")
    im = Image.merge("RGB", [im.split()[(b + k) % 3].rotate(60 * b, expand=False) for k in range(3)])
    path = os.path.join(root, "base%d.jpg" % b)
    im.save(path, quality=90)
    bases.append(path)
for i in range(count):
    folder = os.path.join(root, "photos", "%02d" % (i % 24), "set %d" % (i % 3))
    os.makedirs(folder, exist_ok=True)
    shutil.copyfile(bases[i % len(bases)], os.path.join(folder, "img%03d.jpg" % i))
for b in bases:
    os.remove(b)
EOF

# The guide's indented blocks after a heading (or a line) starting with $1, up to the next heading.
guide_block() {
    python3 - "$guide" "$1" "$2" <<'EOF'
import sys
guide, start, index = sys.argv[1], sys.argv[2], int(sys.argv[3])
blocks, inside, in_block = [], False, False
for line in open(guide, encoding="utf-8").read().split("\n"):
    if not inside:
        inside = line.startswith(start)
        continue
    if line.startswith("## "):
        break
    code = line.startswith("    ")
    if code and not in_block:
        blocks.append("")
    if code:
        blocks[-1] += line[4:] + "\n"
    in_block = code
sys.stdout.write(blocks[index])
EOF
}
# The guide's folders are this check's; a node with fewer CPUs than a task asks for gets tasks of
# all its CPUs (sbatch refuses a task no node can hold).
on_this_cluster() {
    local text asked
    text=$(sed -e "s#/shared/catalogue#$catalogue#g" -e "s#/shared/thumbs#$thumbs#g")
    asked=$(sed -n 's/^#SBATCH --cpus-per-task=\([0-9]*\)$/\1/p' <<<"$text")
    if [ -n "$asked" ] && [ "$asked" -gt "$cpus" ]; then
        text=$(sed "s/^#SBATCH --cpus-per-task=$asked\$/#SBATCH --cpus-per-task=$cpus/" <<<"$text")
    fi
    printf '%s\n' "$text"
}

step="guide blocks"
mkdir -p "$tmp/bin" && ln -s "$cli" "$tmp/bin/pixmill-cli"
export PATH="$tmp/bin:$PATH" XDG_CONFIG_HOME="$tmp/config"
make_list=$(guide_block "Make the list once" 0 | on_this_cluster) || fail "no list block in the guide"
sbatch_script=$(guide_block "## Slurm job array" 0 | on_this_cluster) || fail "no sbatch script in the guide"
submit=$(guide_block "## Slurm job array" 1 | on_this_cluster) || fail "no submit line in the guide"
merge=$(guide_block "Give each shard its own report file" 0) || fail "no merge recipe in the guide"
resume=$(guide_block "After a lost node" 0 | on_this_cluster) || fail "no resume recipe in the guide"
shards=$(sed -n 's/^#SBATCH --array=0-\([0-9]*\)$/\1/p' <<<"$sbatch_script")
[ -n "$shards" ] || fail "the sbatch script has no --array=0-N line"
shards=$((shards + 1))
bash -c "$make_list" || fail "making the list as the guide does"
printf '%s\n' "$sbatch_script" >"$catalogue/thumbs.sbatch"
mkdir -p "$thumbs"

# Submits the array as the guide does, in the catalogue; prints the job id.
submit_array() {
    (cd "$catalogue" && bash -c "$submit") >"$tmp/submit.out" 2>&1 || { cat "$tmp/submit.out"; return 1; }
    sed -n 's/^Submitted batch job \([0-9]*\)$/\1/p' "$tmp/submit.out"
}
# Lines of a file up to its last whole line.
whole_lines() { [ -f "$1" ] && python3 -c 'import sys; d=open(sys.argv[1],"rb").read(); print(d[:d.rfind(b"\n")+1].count(b"\n"))' "$1" || echo 0; }
has_summary() { [ -f "$1" ] && grep -q '"status":"summary"' "$1"; }
wait_array() {
    for _ in $(seq 1500); do
        [ -z "$(squeue -h -j "$1" 2>/dev/null)" ] && return 0
        sleep 0.2
    done
    return 1
}

# ---- first run: one task is cancelled while it writes ----
step="first run"
first=$(submit_array) && [ -n "$first" ] || fail "sbatch did not take the array"
jobs_submitted="$first"
say "array $first, $shards tasks"
cancelled=""
for _ in $(seq 3000); do
    for task in $(squeue -h -j "$first" -t RUNNING -o %K 2>/dev/null); do
        report="$catalogue/reports/thumbs-$first-$task.jsonl"
        if [ "$(whole_lines "$report")" -ge 1 ] && ! has_summary "$report"; then
            scancel "${first}_${task}" && cancelled=$task
            break 2
        fi
    done
    [ -z "$(squeue -h -j "$first" 2>/dev/null)" ] && break
    sleep 0.02
done
[ -n "$cancelled" ] || fail "no task could be cancelled while it wrote"
wait_array "$first" || fail "the array did not end within 5 minutes"
task_state=$(scontrol show job "${first}_${cancelled}" 2>/dev/null | sed -n 's/.*JobState=\([A-Z_]*\).*/\1/p')
[ "$task_state" = CANCELLED ] || fail "task $cancelled ended $task_state, not CANCELLED"
if has_summary "$catalogue/reports/thumbs-$first-$cancelled.jsonl"; then
    say "task $cancelled cancelled while it wrote; its report ends with the interrupted summary"
else
    say "task $cancelled cancelled while it wrote; killed before its summary"
fi

# ---- the resume recipe, then the same array again ----
step="resume"
(cd "$catalogue" && bash -c "$resume") >"$tmp/resume.out" 2>&1 || { cat "$tmp/resume.out"; fail "the resume recipe failed"; }
second=$(sed -n 's/^Submitted batch job \([0-9]*\)$/\1/p' "$tmp/resume.out")
[ -n "$second" ] || fail "the resume recipe submitted no array"
jobs_submitted="$first $second"
wait_array "$second" || fail "the second array did not end within 5 minutes"
for ((task = 0; task < shards; task++)); do
    state=$(scontrol show job "${second}_${task}" 2>/dev/null | sed -n 's/.*JobState=\([A-Z_]*\).*/\1/p')
    [ "$state" = COMPLETED ] || fail "second run: task $task ended $state"
done

# ---- every image resized exactly once, whole; the reports add up ----
step="outputs"; say "second run ended"
leftovers=$(find "$thumbs" -name '.pixmill-*.tmp' | wc -l)
[ "$leftovers" = 0 ] || fail "$leftovers temporary files left"
(cd "$catalogue" && bash -c "$merge") >"$tmp/merge.out" 2>&1 || { cat "$tmp/merge.out"; fail "the merge recipe failed"; }
step="reports"
python3 - "$catalogue" "$thumbs" "$first" "$second" "$shards" "$cancelled" <<'EOF' || fail "see above"
import collections, glob, json, os, sys
from PIL import Image
catalogue, thumbs, first, second, shards, cancelled = sys.argv[1:7]
shards = int(shards)
def shard(path, n):
    h = 0xcbf29ce484222325
    for b in path:
        h = ((h ^ b) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    h ^= h >> 33; h = (h * 0xff51afd7ed558ccd) & 0xFFFFFFFFFFFFFFFF
    h ^= h >> 33; h = (h * 0xc4ceb9fe1a85ec53) & 0xFFFFFFFFFFFFFFFF
    h ^= h >> 33
    return h % n + 1
problems = []
paths = [p for p in open(os.path.join(catalogue, "all.list"), "rb").read().split(b"\0") if p]
merged = [json.loads(l) for l in open(os.path.join(catalogue, "all.jsonl"), "rb")]
# Each report on its own: read up to its last whole line; its lines add up to its summary.
runs = {first: collections.defaultdict(list), second: collections.defaultdict(list)}
lines = 0
for name in sorted(glob.glob(os.path.join(catalogue, "reports", "*.jsonl"))):
    data = open(name, "rb").read()
    objs = [json.loads(l) for l in data[:data.rfind(b"\n") + 1].splitlines()]
    lines += len(objs)
    run, task = os.path.basename(name)[:-len(".jsonl")].rsplit("-", 2)[1:]
    if run not in runs:
        problems.append("%s is from neither run" % name)
        continue
    counts = collections.Counter(o["status"] for o in objs if o["status"] != "summary")
    summary = [o for o in objs if o["status"] == "summary"]
    for o in objs:
        if o["status"] == "summary":
            continue
        src = os.path.relpath(o["source"].encode("utf-8", "surrogateescape"), catalogue.encode())
        runs[run][src].append(o["status"])
        if shard(src, shards) != int(task) + 1:
            problems.append("%s holds %s of shard %d" % (name, src, shard(src, shards)))
    if summary:
        s = summary[-1]
        for key in ("resized", "skipped", "failed", "refused", "damaged"):
            if s[key] != counts.get(key, 0):
                problems.append("%s: summary says %d %s, lines %d" % (name, s[key], key, counts.get(key, 0)))
        if s["not_started"] != counts.get("not-started", 0):
            problems.append("%s: summary not_started %d, lines %d" % (name, s["not_started"], counts.get("not-started", 0)))
    elif run != first:
        problems.append("%s has no summary" % name)
if len(merged) != lines:
    problems.append("the merged report has %d lines, the reports %d whole lines" % (len(merged), lines))
resized_twice = decoded_again = 0
for p in paths:
    one, two = runs[first].get(p, []), runs[second].get(p, [])
    if len(one) > 1 or len(two) != 1:
        problems.append("%s: %d lines in the first run, %d in the second" % (p, len(one), len(two)))
        continue
    done = one.count("resized") + two.count("resized")
    if done != 1 and not (done == 0 and two == ["skipped"] and not one):
        problems.append("%s: first run %s, second %s" % (p, one, two))
    if one == ["resized"] and two != ["skipped"]:
        decoded_again += 1
    out = os.path.join(thumbs.encode(), os.path.splitext(p)[0] + b"_320x320.jpg")
    try:
        with Image.open(out) as im:
            im.load()
            if im.size != (320, 320):
                problems.append("%s is %dx%d" % (out, *im.size))
    except Exception as e:
        problems.append("%s: %s" % (out, e))
n_out = sum(len(f) for _, _, f in os.walk(thumbs))
if n_out != len(paths):
    problems.append("%d files in the output tree for %d images" % (n_out, len(paths)))
if decoded_again:
    problems.append("%d images done by the first run were done again" % decoded_again)
print("cluster-check: reports: %d images; first run resized %d, second resized %d and skipped %d" % (
    len(paths), sum(v.count("resized") for v in runs[first].values()),
    sum(v.count("resized") for v in runs[second].values()), sum(v.count("skipped") for v in runs[second].values())))
for p in problems[:20]:
    print("  " + p)
sys.exit(1 if problems else 0)
EOF

step="stopping"
jobs_submitted=""
echo "cluster-check: passed: $IMAGES images over $shards shards, task $cancelled cancelled and resumed"
