#!/bin/bash
# Times `keelbox backup` on a large real tree (a kernel source tree from Debian's linux-source
# package, about 79,000 files in 5,100 folders) presented as a read-only ext4 and an exFAT loop
# drive, side by side with rsync, cp and the read and stat floors, cold and warm; and a generated
# drive of a million files for the no-change run and peak memory. Not part of the test suite.
#
# Usage: bench/real.sh [ext4|exfat|million ...]   (default: all three; root only)
# Environment: RUNS (default 3) repetitions, each running every member once in an order that
# rotates (and reverses) from one repetition to the next; CACHE (default /var/tmp/keelbox-bench)
# where the package, the unpacked tree, the drive images and the destination's image are kept
# between runs; KEELBOX a binary to measure instead of build/release/keelbox (for A/B runs
# against an older build).
set -euo pipefail
cd "$(dirname "$0")/.."
root_dir=$(pwd)

RUNS=${RUNS:-3}
CACHE=${CACHE:-/var/tmp/keelbox-bench}
cases=("$@")
[ ${#cases[@]} -eq 0 ] && cases=(ext4 exfat million)
if [ "$(id -u)" -ne 0 ]; then
    echo "bench: needs root (loop drives, dropping the page cache)" >&2
    exit 2
fi
for tool in rsync cp tar find /usr/bin/time python3 mkfs.ext4 mkfs.exfat xz; do
    command -v "$tool" >/dev/null || { echo "bench: $tool is missing" >&2; exit 2; }
done

if [ -z "${KEELBOX:-}" ]; then
    echo "== release build"
    cmake --preset release >/dev/null
    cmake --build --preset release -j2 --target keelbox >/dev/null
    KEELBOX=$root_dir/build/release/keelbox
fi
keelbox=$KEELBOX
"$keelbox" --version

mkdir -p "$CACHE"
# Not under /var: Keelbox refuses to write into system folders. The copies go onto a fresh ext4
# with a journal, as a desktop's disk has (see run.sh), made on an image written through once and
# kept in the cache, so that no timed run is the one that first allocates the image's blocks on
# the disk below (as it would in a fresh sparse image; by hand that made no difference beyond the
# spread, but it is one thing less that depends on which tool writes first).
work=$(mktemp -d "${TMPDIR:-/tmp}/keelbox-real.XXXXXX")
mounts=()
cleanup() {
    local m
    for m in "${mounts[@]}"; do umount "$m" 2>/dev/null || umount -l "$m" || true; done
    rm -rf "${work:?}"
}
trap cleanup EXIT
dest_image=$CACHE/dest.img
if [ ! -f "$dest_image.complete" ]; then
    echo "== writing the destination's image once (16 GiB)"
    dd if=/dev/zero of="$dest_image" bs=16M count=1024 conv=fsync status=none
    touch "$dest_image.complete"
fi
# nodiscard keeps the image's blocks; the inode tables and the journal are written now rather
# than by the kernel in the background while the first runs are timed. Inodes for two copies of
# a million files.
mkfs.ext4 -q -F -i 4096 -E nodiscard,lazy_itable_init=0,lazy_journal_init=0 "$dest_image"
mkdir -p "$work/dest"
mount -o loop "$dest_image" "$work/dest"
mounts=("$work/dest")

load() { cut -d' ' -f1-3 /proc/loadavg; }

# mount_loop IMAGE POINT [OPTIONS]: the image as a loop drive; exFAT through exfat-fuse where the
# kernel has no exFAT driver of its own (the loop device goes when the daemon lets it go).
mount_loop() {
    local image=$1 point=$2 options=${3:-rw} dev status=0
    if [ "$(blkid -o value -s TYPE "$image")" = exfat ] && ! grep -qw exfat /proc/filesystems; then
        dev=$(losetup -f --show "$image")
        mount.exfat-fuse -o "$options" "$dev" "$point" >/dev/null || status=$?
        losetup -d "$dev"
        return $status
    fi
    mount -o "loop,$options" "$image" "$point"
}

# --- the drives ----------------------------------------------------------------------------------

# The real tree, unpacked once from the package (Debian's archive only).
real_tree() {
    local tree=$CACHE/tree
    [ -f "$tree/.complete" ] && return
    echo "== unpacking linux-source-6.1 into $tree (once)"
    (cd "$CACHE" && { ls linux-source-6.1_*.deb >/dev/null 2>&1 || apt-get download linux-source-6.1; })
    rm -rf "$tree"
    mkdir -p "$tree"
    dpkg-deb --fsys-tarfile "$(ls "$CACHE"/linux-source-6.1_*.deb | head -1)" |
        tar -xO ./usr/src/linux-source-6.1.tar.xz | xz -dc -T2 | tar -x -C "$tree"
    touch "$tree/.complete"
}

# drive_image KIND: the cached image of the real tree (ext4, exfat) or of the generated tree
# (million); made once.
drive_image() {
    local kind=$1 image=$CACHE/$1.img
    [ -f "$image.complete" ] && return
    echo "== making the $kind drive image (once)"
    rm -f "$image"
    case $kind in
    ext4)
        real_tree
        truncate -s 3G "$image"
        mkfs.ext4 -q -F -L REALTREE -d "$CACHE/tree" "$image"
        ;;
    exfat)
        real_tree
        truncate -s 3G "$image"
        # 4 KiB clusters: with the default for 3 GiB the tree's small files would not fit.
        mkfs.exfat -c 4K -L REALTREE "$image" >/dev/null
        mkdir -p "$work/fill"
        mount_loop "$image" "$work/fill"
        # exFAT keeps no links and takes names that differ in case for one: rsync skips the
        # first and keeps one of the second.
        local status=0
        rsync -r --no-links "$CACHE/tree/" "$work/fill/" 2>/dev/null || status=$?
        umount "$work/fill"
        # 23: some files were skipped (the links); anything else leaves no usable drive.
        if [ "$status" -ne 0 ] && [ "$status" -ne 23 ]; then
            echo "bench: filling the exFAT drive failed (rsync exit $status)" >&2
            exit 1
        fi
        ;;
    million)
        # A million files of 0-1 KiB, 1,000 to a folder in folders of 40 (ext4 with an inode for
        # every 4 KiB).
        truncate -s 8G "$image"
        mkfs.ext4 -q -F -L MILLION -i 4096 "$image"
        mkdir -p "$work/fill"
        mount -o loop "$image" "$work/fill"
        python3 - "$work/fill" <<'EOF'
import os, sys
root = sys.argv[1]
data = os.urandom(1024)
for i in range(1_000_000):
    folder = os.path.join(root, "g%02d" % (i // 40000), "d%02d" % ((i // 1000) % 40))
    if i % 1000 == 0:
        os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "f%07d" % i), "wb") as f:
        f.write(data[: i % 1025])
EOF
        umount "$work/fill"
        ;;
    esac
    touch "$image.complete"
}

# mount_drive KIND: the drive at $work/drive-KIND, read-only, carrying a Keelbox configuration
# for this run's destination (written while mounted for writing, then remounted).
mount_drive() {
    local kind=$1 mnt=$work/drive-$1
    drive_image "$kind"
    mkdir -p "$mnt"
    mount_loop "$CACHE/$kind.img" "$mnt"
    mounts=("$mnt" "${mounts[@]}")
    "$keelbox" config "$mnt" --whole-drive --destination "$work/dest/$kind/keelbox" \
        --name copy --mirror off --auto off >/dev/null
    umount "$mnt"
    mount_loop "$CACHE/$kind.img" "$mnt" ro
    drive=$mnt
    echo "== $kind drive: $(find "$drive" -type f | wc -l) files, $(find "$drive" -type d | wc -l) folders, $(du -sh "$drive" | cut -f1) ($(findmnt -no FSTYPE "$drive"))"
}

# --- timing --------------------------------------------------------------------------------------

cold=0
settle() {
    sync
    if [ "$cold" = 1 ]; then
        echo 3 >/proc/sys/vm/drop_caches
    fi
}

# seconds COMMAND...: wall time of COMMAND, in seconds.
seconds() {
    local t0 t1
    settle
    t0=$(date +%s%N)
    "$@" >/dev/null 2>&1 || echo "bench: exit status $? from: $*" >&2
    t1=$(date +%s%N)
    awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f\n", (b - a) / 1e9 }'
}

median() {
    tr ' ' '\n' | grep . | sort -g |
        awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# Members: a name, a function run untimed before each timed run, and the command. Each
# repetition runs every member once, starting one member later than the repetition before and in
# reverse order every other time, so that no member always follows the same one (a run can be
# markedly slower after one member than after another). Every time is kept; ratios are taken
# repetition by repetition against `reference`.
names=()
prepares=()
commands=()
member() { names+=("$1"); prepares+=("$2"); commands+=("$3"); }
declare -A times

compare() { # compare TITLE REFERENCE
    local title=$1 reference=$2 n=${#names[@]} rep k i
    times=()
    local loads=()
    if [ "$cold" = 0 ]; then
        # Warm: every member once, untimed, so each finds its own copy in the cache too.
        for i in $(seq 0 $((n - 1))); do
            "${prepares[$i]}"
            bash -c "${commands[$i]}" >/dev/null 2>&1 || true
        done
    fi
    for rep in $(seq 0 $((RUNS - 1))); do
        loads+=("$(load)")
        for k in $(seq 0 $((n - 1))); do
            if [ $((rep % 2)) = 0 ]; then i=$(((rep + k) % n)); else i=$(((rep + n - k) % n)); fi
            "${prepares[$i]}"
            times[$i]="${times[$i]:-} $(seconds bash -c "${commands[$i]}")"
        done
    done
    local ref=-1
    for i in $(seq 0 $((n - 1))); do [ "${names[$i]}" = "$reference" ] && ref=$i; done
    local line
    line="-- $title ($([ "$cold" = 1 ] && echo cold || echo warm), $RUNS repetitions; load before each: ${loads[*]})"
    echo "$line"
    results+=("$line")
    for i in $(seq 0 $((n - 1))); do
        local ratios="" med
        med=$(echo "${times[$i]}" | median)
        if [ "$ref" -ge 0 ]; then
            read -ra mine <<<"${times[$i]}"
            read -ra theirs <<<"${times[$ref]}"
            for rep in $(seq 0 $((RUNS - 1))); do
                ratios+=" $(awk -v a="${mine[$rep]}" -v b="${theirs[$rep]}" 'BEGIN { printf "%.2f", (b > 0) ? a / b : 0 }')"
            done
        fi
        line=$(printf '   %-32s median %8.3f s   runs%s   / %s:%s' "${names[$i]}" "$med" \
            "${times[$i]}" "$reference" "$ratios")
        echo "$line"
        results+=("$line")
    done
    names=()
    prepares=()
    commands=()
}

nothing() { :; }
results=()

# --- the real tree -------------------------------------------------------------------------------

bench_real() {
    local kind=$1
    mount_drive "$kind"
    local dst=$work/dest/$kind
    mkdir -p "$dst"
    local kb="'$keelbox' backup '$drive'"
    export -f nothing

    # First copy, into an empty destination each time, from a drive just plugged in (cold).
    fresh_keelbox() { rm -rf "$dst/keelbox"; }
    fresh_rsync() { rm -rf "$dst/rsync"; }
    fresh_cp() { rm -rf "$dst/cp"; }
    for cold in 1; do
        member "read floor (tar to a pipe)" nothing "tar -cf - -C '$drive' . | cat >/dev/null"
        member "keelbox --no-progress" fresh_keelbox "$kb --no-progress"
        member "keelbox (progress)" fresh_keelbox "$kb >$work/progress.txt"
        member "rsync -a" fresh_rsync "rsync -a '$drive/' '$dst/rsync/'"
        member "cp -a" fresh_cp "cp -a '$drive' '$dst/cp'"
        compare "$kind: first copy" "read floor (tar to a pipe)"
    done

    # No change: over the finished copies.
    [ -d "$dst/keelbox" ] || "$keelbox" backup "$drive" --no-progress >/dev/null
    for cold in 1 0; do
        member "stat floor (find, drive)" nothing "find '$drive' -printf '%s %T@\n' >/dev/null"
        member "stat floor (find, drive + copy)" nothing \
            "find '$drive' '$dst/rsync' -printf '%s %T@\n' >/dev/null"
        member "keelbox --no-progress" nothing "$kb --no-progress"
        member "keelbox (progress)" nothing "$kb >$work/progress.txt"
        member "rsync -a" nothing "rsync -a '$drive/' '$dst/rsync/'"
        member "cp -au" nothing "cp -au '$drive/.' '$dst/cp/'"
        compare "$kind: no change" "rsync -a"
    done

    # Dated, second day of an unchanged drive: yesterday's folder made once, today's anew each run.
    umount "$drive"
    mount_loop "$CACHE/$kind.img" "$drive"
    "$keelbox" config "$drive" --mode dated >/dev/null
    umount "$drive"
    mount_loop "$CACHE/$kind.img" "$drive" ro
    local today yesterday
    today=$(date +%Y-%m-%d)
    yesterday=$(date -d yesterday +%Y-%m-%d)
    rm -rf "$dst/keelbox"
    "$keelbox" backup "$drive" --no-progress >/dev/null
    local days
    days=$(dirname "$(find "$dst/keelbox" -mindepth 2 -maxdepth 2 -name "$today" | head -1)")
    mv "$days/$today" "$days/$yesterday"
    mkdir -p "$dst/dated-rsync"
    rsync -a "$drive/" "$dst/dated-rsync/$yesterday/"
    second_keelbox() { rm -rf "${days:?}/$today"; }
    second_rsync() { rm -rf "$dst/dated-rsync/$today"; }
    for cold in 1 0; do
        member "keelbox dated, day 2 --no-progress" second_keelbox "$kb --no-progress"
        member "keelbox dated, day 2 (progress)" second_keelbox "$kb >$work/progress.txt"
        member "rsync -a --link-dest" second_rsync \
            "rsync -a --link-dest='../$yesterday' '$drive/' '$dst/dated-rsync/$today/'"
        compare "$kind: dated second day, unchanged" "rsync -a --link-dest"
    done
    memory_line "$kind" "$kb"
    umount "$drive"
    mounts=("${mounts[@]:1}")
    rm -rf "${dst:?}"
}

max_rss_mib() { # max_rss_mib COMMAND...
    { /usr/bin/time -v "$@" 2>&1 >/dev/null || true; } |
        awk -F': ' '/Maximum resident set size/ { printf "%.1f", $2 / 1024 }'
}

memory_line() { # memory_line KIND: peak memory of no-change runs, with and without progress
    local line
    line=$(printf -- '-- %s: peak memory of a no-change run: %s MiB with progress, %s MiB without' \
        "$1" "$(max_rss_mib "$keelbox" backup "$drive")" \
        "$(max_rss_mib "$keelbox" backup "$drive" --no-progress)")
    echo "$line"
    results+=("$line")
}

bench_million() {
    mount_drive million
    local dst=$work/dest/million kb="'$keelbox' backup '$drive'"
    mkdir -p "$dst"
    echo "== million: first copies (untimed)"
    "$keelbox" backup "$drive" --no-progress >/dev/null
    rsync -a "$drive/" "$dst/rsync/"
    for cold in 1 0; do
        member "stat floor (find, drive)" nothing "find '$drive' -printf '%s %T@\n' >/dev/null"
        member "keelbox --no-progress" nothing "$kb --no-progress"
        member "keelbox (progress)" nothing "$kb >$work/progress.txt"
        member "rsync -a" nothing "rsync -a '$drive/' '$dst/rsync/'"
        compare "million: no change" "rsync -a"
    done
    memory_line million
    umount "$drive"
    mounts=("${mounts[@]:1}")
    rm -rf "${dst:?}"
}

for c in "${cases[@]}"; do
    case $c in
    ext4 | exfat) bench_real "$c" ;;
    million) bench_million ;;
    *) echo "bench: unknown case $c (ext4, exfat, million)" >&2; exit 2 ;;
    esac
done

echo
echo "== summary ($(date -u '+%Y-%m-%d %H:%M UTC'), load now $(load))"
printf '%s\n' "${results[@]}"
