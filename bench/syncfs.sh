#!/bin/bash
# What the closing syncfs() of a run costs: times `keelbox backup` on generated trees (a first
# copy and a run where nothing changed) and, from strace, how long the one syncfs call took.
# Not part of the test suite.
#
# Usage: bench/syncfs.sh [small|large ...]   (default: both)
# Environment: RUNS (default 3); BENCH_DIR where the trees are made (default: a fresh ext4 image
# when root, else a folder under $TMPDIR or /tmp).
set -euo pipefail
cd "$(dirname "$0")/.."
root_dir=$(pwd)
RUNS=${RUNS:-3}
cases=("$@")
[ ${#cases[@]} -eq 0 ] && cases=(small large)
for tool in strace python3; do
    command -v "$tool" >/dev/null || { echo "bench: $tool is missing" >&2; exit 2; }
done

cmake --preset release >/dev/null
cmake --build --preset release -j2 >/dev/null
keelbox="$root_dir/build/release/keelbox"

base=${BENCH_DIR:-$(mktemp -d "${TMPDIR:-/tmp}/keelbox-syncfs.XXXXXX")}
mkdir -p "$base"
work=$base
mounted=
cleanup() {
    [ -n "$mounted" ] && { umount "$mounted" || umount -l "$mounted"; }
    rm -rf "${base:?}"
}
trap cleanup EXIT
if [ -z "${BENCH_DIR:-}" ] && [ "$(id -u)" = 0 ] && command -v mkfs.ext4 >/dev/null; then
    truncate -s 4G "$base/ext4.img"
    mkfs.ext4 -q -F "$base/ext4.img"
    mkdir -p "$base/fs"
    mount -o loop "$base/ext4.img" "$base/fs"
    mounted=$base/fs
    work=$base/fs
fi
echo "== working in $work ($(df -PT "$work" | awk 'NR==2 {print $2}')), $RUNS runs per figure"

# small: 20,000 files of 1-16 KiB in 400 folders; large: 8 files of 25 MiB.
make_tree() {
    python3 - "$1" "$2" <<'PY'
import os, random, sys
root, kind = sys.argv[1], sys.argv[2]
random.seed(7)
if kind == "small":
    for i in range(20000):
        folder = os.path.join(root, "d%03d" % (i % 400))
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "f%05d" % i), "wb") as f:
            f.write(os.urandom(random.randint(1024, 16384)))
else:
    os.makedirs(root, exist_ok=True)
    for i in range(8):
        with open(os.path.join(root, "big%02d" % i), "wb") as f:
            for _ in range(25):
                f.write(os.urandom(1 << 20))
PY
}

# One timed run: the wall time of the whole run and the time spent in syncfs, in seconds.
timed_run() {
    local drive=$1 trace
    trace=$(mktemp)
    local start end
    start=$(date +%s.%N)
    strace -f -qq -T --seccomp-bpf -e trace=syncfs -o "$trace" "$keelbox" backup "$drive" --no-progress \
        >/dev/null || true
    end=$(date +%s.%N)
    local spent
    spent=$(sed -n 's/.*syncfs(.*<\([0-9.]*\)>$/\1/p' "$trace" | awk '{s += $1} END {print s + 0}')
    rm -f "$trace"
    awk -v a="$start" -v b="$end" -v s="$spent" 'BEGIN {print b - a, s}'
}

median() { sort -n | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }

for kind in "${cases[@]}"; do
    drive="$work/$kind-drive"
    dest="$work/$kind-dest"
    rm -rf "$drive" "$dest"
    make_tree "$drive" "$kind"
    "$keelbox" config "$drive" --whole-drive --destination "$dest" --mirror off >/dev/null
    for phase in first unchanged; do
        walls=() syncs=()
        for _ in $(seq "$RUNS"); do
            [ "$phase" = first ] && rm -rf "$dest"
            sync
            read -r wall spent < <(timed_run "$drive")
            walls+=("$wall") syncs+=("$spent")
        done
        w=$(printf '%s\n' "${walls[@]}" | median)
        s=$(printf '%s\n' "${syncs[@]}" | median)
        awk -v k="$kind" -v p="$phase" -v w="$w" -v s="$s" \
            'BEGIN {printf "%-6s %-10s run %6.3f s   syncfs %6.3f s (%4.1f %%)\n", k, p, w, s, 100 * s / w}'
    done
done
