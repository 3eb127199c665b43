#!/bin/bash
# Times `keelbox backup` side by side with `rsync -a` and `cp -a` on generated drives and prints
# medians and ratios. Not part of the test suite: it takes minutes and wants a quiet machine.
#
# Usage: bench/run.sh [small|large|mixed|dated|memory ...]   (default: all five)
# Environment: RUNS (default 5) timed runs per figure; BENCH_DIR (default a new folder under
# $TMPDIR or /tmp) where the trees are made, on the disk being measured; COLD=1 drops the page cache
# before every timed run (root only); KEEP=1 leaves the trees behind; KEELBOX=binary measures
# another build instead of building this one (A/B).
set -euo pipefail
cd "$(dirname "$0")/.."
root_dir=$(pwd)

RUNS=${RUNS:-5}
COLD=${COLD:-0}
cases=("$@")
[ ${#cases[@]} -eq 0 ] && cases=(small large mixed dated memory)

for tool in rsync cp /usr/bin/time python3; do
    if ! command -v "$tool" >/dev/null; then
        echo "bench: $tool is missing (scripts/install-deps.sh test installs it)" >&2
        exit 2
    fi
done

if [ -z "${KEELBOX:-}" ]; then
    echo "== release build"
    cmake --preset release >/dev/null
    cmake --build --preset release -j2 >/dev/null
    KEELBOX=$root_dir/build/release/keelbox
fi
keelbox=$KEELBOX
"$keelbox" --version

# Not under /var: Keelbox refuses to write into system folders.
base=${BENCH_DIR:-$(mktemp -d "${TMPDIR:-/tmp}/keelbox-bench.XXXXXX")}
mkdir -p "$base"
work=$base
mounted=
cleanup() {
    if [ -n "$mounted" ]; then
        umount "$mounted" || umount -l "$mounted"
    fi
    if [ "${KEEP:-0}" != 1 ] || [ -n "$mounted" ]; then
        rm -rf "${base:?}"
    fi
}
trap cleanup EXIT

# By default (as root, without BENCH_DIR) the trees go onto a freshly made ext4 with a journal,
# as a desktop's disk has, in a loop-mounted sparse image. Where the folder's own file system
# has no journal, ext4 skips every inode deleted in the last minutes when it creates a file, by
# reading the inode table: a copy made right after the previous one was deleted then spends most
# of its time there, the same for every tool, which hides what is being compared.
if [ -z "${BENCH_DIR:-}" ] && [ "${BENCH_IMAGE:-1}" = 1 ] && [ "$(id -u)" = 0 ] &&
    command -v mkfs.ext4 >/dev/null; then
    truncate -s 12G "$base/ext4.img"
    mkfs.ext4 -q -F "$base/ext4.img"
    mkdir -p "$base/fs"
    mount -o loop "$base/ext4.img" "$base/fs"
    mounted=$base/fs
    work=$base/fs
fi
echo "== working in $work ($(df -PT "$work" | awk 'NR==2 {print $2}')$([ -n "$mounted" ] && echo ", fresh image with a journal")), $RUNS runs per figure"

# --- tree generation ---------------------------------------------------------------------------

# make_tree DIR SMALL_FILES LARGE_FILES LARGE_MIB: small files of 1-16 KiB, 50 per folder in
# folders of 20 (so 20,000 files make 400 folders), then the large files in one folder.
make_tree() {
    python3 - "$@" <<'EOF'
import os, random, sys
root, small, large, large_mib = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
rng = random.Random(20261205)
block = os.urandom(16 * 1024 + 4096)
for i in range(small):
    folder = os.path.join(root, "d%02d" % (i // 1000), "s%02d" % ((i // 50) % 20))
    if i % 50 == 0:
        os.makedirs(folder, exist_ok=True)
    size = rng.randint(1024, 16 * 1024)
    offset = rng.randint(0, 4096)
    with open(os.path.join(folder, "f%05d.dat" % i), "wb") as f:
        f.write(block[offset:offset + size])
if large:
    os.makedirs(os.path.join(root, "large"), exist_ok=True)
    chunk = os.urandom(1 << 20)
    for i in range(large):
        with open(os.path.join(root, "large", "big%02d.bin" % i), "wb") as f:
            for _ in range(large_mib):
                f.write(chunk)
EOF
}

# --- timing ------------------------------------------------------------------------------------

drop_caches() {
    sync
    if [ "$COLD" = 1 ]; then
        echo 3 >/proc/sys/vm/drop_caches
    fi
}

# seconds PREPARE_FUNCTION COMMAND...: runs PREPARE (untimed), then times COMMAND; prints seconds.
seconds() {
    local prepare=$1
    shift
    "$prepare"
    drop_caches
    local t0 t1
    t0=$(date +%s%N)
    "$@" >/dev/null 2>&1 || echo "bench: exit status $? from: $*" >&2
    t1=$(date +%s%N)
    awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f\n", (b - a) / 1e9 }'
}

median() {
    sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# measure PREPARE COMMAND...: median of RUNS timed runs.
measure() {
    local prepare=$1
    shift
    for _ in $(seq "$RUNS"); do
        seconds "$prepare" "$@"
    done | median
}

ratio() {
    awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'
}

results=()
report() { # report CASE KEELBOX OTHER_NAME OTHER TARGET
    local line
    line=$(printf '%-34s keelbox %7.3f s   %-22s %7.3f s   ratio %5s   target %s' \
        "$1" "$2" "$3" "$4" "$(ratio "$2" "$4")" "$5")
    echo "$line"
    results+=("$line")
}

# --- one drive: first copy, no-change, mirror --------------------------------------------------

nothing() { :; }

bench_drive() { # bench_drive NAME SMALL LARGE LARGE_MIB
    local name=$1
    local src="$work/$name/drive" dst="$work/$name/dest"
    echo "== $name: generating"
    rm -rf "${work:?}/$name"
    mkdir -p "$work/$name"
    make_tree "$src" "$2" "$3" "$4"
    echo "   $(find "$src" -type f | wc -l) files, $(du -sh "$src" | cut -f1)"
    mkdir -p "$dst"
    "$keelbox" config "$src" --whole-drive --destination "$dst/keelbox" --name copy \
        --mirror on --auto off >/dev/null

    fresh_keelbox() { rm -rf "$dst/keelbox"; }
    fresh_rsync() { rm -rf "$dst/rsync"; }
    fresh_cp() { rm -rf "$dst/cp"; }
    local k r c rs cs
    echo "== $name: first copy"
    # A run that wrote ends with a syncfs() of the backup disk, so that "done" means on the disk;
    # the others are timed as they are and followed by the same flush (`sync -f`).
    k=$(measure fresh_keelbox "$keelbox" backup "$src" --no-progress)
    r=$(measure fresh_rsync rsync -a "$src/" "$dst/rsync/")
    c=$(measure fresh_cp cp -a "$src" "$dst/cp")
    rs=$(measure fresh_rsync bash -c "rsync -a '$src/' '$dst/rsync/' && sync -f '$dst'")
    cs=$(measure fresh_cp bash -c "cp -a '$src' '$dst/cp' && sync -f '$dst'")
    case $name in
    small) report "$name first copy" "$k" "rsync -a, sync" "$rs" "<= 0.60"
           report "$name first copy" "$k" "cp -a, sync" "$cs" "<= 1.15" ;;
    large) report "$name first copy" "$k" "rsync -a, sync" "$rs" "-"
           report "$name first copy" "$k" "cp -a, sync" "$cs" "<= 1.05" ;;
    *)     report "$name first copy" "$k" "rsync -a, sync" "$rs" "-"
           report "$name first copy" "$k" "cp -a, sync" "$cs" "-" ;;
    esac
    report "$name first copy" "$k" "rsync -a" "$r" "-"
    report "$name first copy" "$k" "cp -a" "$c" "-"

    echo "== $name: no-change run"
    local kp cu
    k=$(measure nothing "$keelbox" backup "$src" --no-progress)
    kp=$(measure nothing "$keelbox" backup "$src")
    r=$(measure nothing rsync -a "$src/" "$dst/rsync/")
    cu=$(measure nothing cp -au "$src/." "$dst/cp/")
    report "$name no change, no progress" "$k" "rsync -a" "$r" "<= 0.45"
    report "$name no change, progress" "$kp" "rsync -a" "$r" "<= 0.60"
    report "$name no change, no progress" "$k" "cp -au" "$cu" "-"

    if [ "$2" -gt 0 ]; then
        echo "== $name: mirror after deleting 10% of the files"
        local pristine="$work/$name/pristine"
        rm -rf "$pristine"
        cp -a "$dst" "$pristine"
        # Every tenth small file goes; the source is rebuilt from hard links for each run.
        mirror_source() {
            rm -rf "$work/$name/cut"
            cp -al "$src" "$work/$name/cut"
            find "$work/$name/cut" -name 'f*0.dat' -delete
        }
        mirror_keelbox() {
            mirror_source
            rm -rf "$dst/keelbox"
            cp -a "$pristine/keelbox" "$dst/keelbox"
        }
        mirror_rsync() {
            mirror_source
            rm -rf "$dst/rsync"
            cp -a "$pristine/rsync" "$dst/rsync"
        }
        k=$(measure mirror_keelbox "$keelbox" backup "$work/$name/cut" --no-progress)
        r=$(measure mirror_rsync rsync -a --delete "$work/$name/cut/" "$dst/rsync/")
        report "$name mirror (10% deleted)" "$k" "rsync -a --delete" "$r" "<= 0.60"
        local left
        left=$(find "$dst/keelbox/copy" -type f | wc -l)
        echo "   keelbox copy holds $left files after the mirror run"
        rm -rf "$pristine" "$work/$name/cut"
    fi
    rm -rf "${work:?}/$name"
}

# --- dated mode: the second day of an unchanged drive ------------------------------------------

bench_dated() {
    local src="$work/dated/drive" dst="$work/dated/dest"
    echo "== dated: generating"
    rm -rf "${work:?}/dated"
    mkdir -p "$work/dated"
    make_tree "$src" 20000 0 0
    echo "   $(find "$src" -type f | wc -l) files, $(du -sh "$src" | cut -f1)"
    mkdir -p "$dst"
    "$keelbox" config "$src" --whole-drive --destination "$dst/keelbox" --name copy \
        --mode dated --auto off >/dev/null
    # Day one for both: Keelbox's folder of today becomes yesterday's, rsync copies plainly.
    local today yesterday
    today=$(date +%Y-%m-%d)
    yesterday=$(date -d yesterday +%Y-%m-%d)
    "$keelbox" backup "$src" --no-progress >/dev/null
    mv "$dst/keelbox/copy/$today" "$dst/keelbox/copy/$yesterday"
    mkdir -p "$dst/rsync"
    rsync -a "$src/" "$dst/rsync/$yesterday/"
    second_keelbox() { rm -rf "$dst/keelbox/copy/$today"; }
    second_rsync() { rm -rf "$dst/rsync/$today"; }
    echo "== dated: second day, nothing changed"
    local k r
    k=$(measure second_keelbox "$keelbox" backup "$src" --no-progress)
    r=$(measure second_rsync rsync -a --link-dest="../$yesterday" "$src/" "$dst/rsync/$today/")
    report "dated second day (unchanged)" "$k" "rsync -a --link-dest" "$r" "<= 0.50"
    # du counts a file once, under the first folder it meets it in: the second figure is what
    # day two added.
    local kb rb line
    kb=$(du -sk "$dst/keelbox/copy/$yesterday" "$dst/keelbox/copy/$today" | awk 'NR==2 {print $1}')
    rb=$(du -sk "$dst/rsync/$yesterday" "$dst/rsync/$today" | awk 'NR==2 {print $1}')
    line=$(printf '%-34s keelbox %7s KiB   %-22s %7s KiB   target <= rsync' \
        "dated second day, new blocks" "$kb" "rsync -a --link-dest" "$rb")
    echo "$line"
    results+=("$line")
    rm -rf "${work:?}/dated"
}

# --- peak memory ---------------------------------------------------------------------------------

max_rss_kib() { # max_rss_kib COMMAND...
    { /usr/bin/time -v "$@" 2>&1 >/dev/null || true; } |
        awk -F': ' '/Maximum resident set size/ { print $2 }'
}

bench_memory() {
    local n
    for n in 20000 40000; do
        local src="$work/mem$n/drive" dst="$work/mem$n/dest"
        echo "== memory: $n files"
        make_tree "$src" "$n" 0 0
        "$keelbox" config "$src" --whole-drive --destination "$dst" --name copy >/dev/null
        local first again
        first=$(max_rss_kib "$keelbox" backup "$src")
        again=$(max_rss_kib "$keelbox" backup "$src")
        local line
        line=$(printf '%-34s first copy %6.1f MiB   no-change %6.1f MiB   target < 32 MiB' \
            "peak memory, $n files" "$(awk -v k="$first" 'BEGIN{print k/1024}')" \
            "$(awk -v k="$again" 'BEGIN{print k/1024}')")
        echo "$line"
        results+=("$line")
        rm -rf "${work:?}/mem$n"
    done
}

for c in "${cases[@]}"; do
    case $c in
    small) bench_drive small 20000 0 0 ;;
    large) bench_drive large 0 40 25 ;;
    mixed) bench_drive mixed 5000 10 50 ;;
    dated) bench_dated ;;
    memory) bench_memory ;;
    *) echo "bench: unknown case $c (small, large, mixed, dated, memory)" >&2; exit 2 ;;
    esac
done

echo
echo "== summary (medians of $RUNS runs, $( [ "$COLD" = 1 ] && echo cold || echo warm) cache)"
printf '%s\n' "${results[@]}"
