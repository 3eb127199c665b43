#!/bin/bash
# Two figures of the tray application, on a private Xvfb display with a tray host:
#   - from the request to open the panel (a click on the icon) to the panel drawn, in ms;
#   - resident memory of the idle application with two drives listed, in MiB;
#   - on an unchanged drive of the real tree (bench/real.sh ext4 makes it once), the time from its
#     mount to its row in the open panel drawn with the first progress, and to the run done.
# Not part of the test suite. Needs Xvfb and trayer (scripts/install-deps.sh test); the memory
# figure needs root to loop-mount its two drives.
#
# Usage: bench/tray.sh
set -euo pipefail
cd "$(dirname "$0")/.."

for tool in Xvfb trayer; do
    command -v "$tool" >/dev/null || { echo "bench: $tool is missing" >&2; exit 2; }
done
echo "== release build"
cmake --preset release >/dev/null
cmake --build build/release --target keelbox keelbox_desktop keelbox_ui_tool -j2 >/dev/null
load() { cut -d" " -f1-3 /proc/loadavg; }

work=$(mktemp -d "${TMPDIR:-/tmp}/keelbox-tray-bench.XXXXXX")
pids=()
mounts=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for m in "${mounts[@]}"; do
        if mountpoint -q "$m"; then umount "$m" 2>/dev/null || umount -l "$m"; fi
        rmdir "$m" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap "exit 1" TERM INT
mkdir -m 700 "$work/runtime"
export HOME=$work XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data XDG_CACHE_HOME=$work/cache
export XDG_RUNTIME_DIR=$work/runtime LANGUAGE=en QT_QPA_PLATFORM=xcb
# No system bus: the drives are found in the kernel's mount table. No session bus either.
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/no-bus DBUS_SESSION_BUS_ADDRESS=unix:path=$work/no-bus
unset QT_QPA_PLATFORMTHEME

exec 3< <(Xvfb -displayfd 1 -nolisten tcp -screen 0 1280x1024x24 2>/dev/null & echo "pid $!")
read -r _ xvfb <&3
read -r display <&3
pids+=("$xvfb")
export DISPLAY=":$display"
trayer --edge top --align right --widthtype request --height 32 --SetDockType true >/dev/null 2>&1 &
pids+=("$!")
sleep 1

echo "== panel: open request to drawn (two drives listed; load $(load))"
build/release/tools/keelbox_ui_tool panel-timing

echo "== idle tray application with two drives: resident memory"
if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: needs root to mount the drives"
    exit 0
fi
for label in BENCHA BENCHB; do
    truncate -s 64M "$work/$label.img"
    mkfs.ext4 -q -F -L "$label" "$work/$label.img"
    mkdir -p "/mnt/keelbox-bench-$label"
    mount -o loop "$work/$label.img" "/mnt/keelbox-bench-$label"
    mounts+=("/mnt/keelbox-bench-$label")
done
# What the application lists, as its text face prints it.
timeout 3 build/release/keelbox watch --language en 2>/dev/null | grep -A3 'Connected drives' || true
build/release/keelbox >/dev/null 2>&1 &
app=$!
pids+=("$app")
sleep 8
report() {
    awk -v kb="$(awk '/VmRSS/ {print $2}' "/proc/$app/status")" -v what="$1" \
        'BEGIN { printf "resident %s: %.1f MiB (VmRSS %d kB)\n", what, kb / 1024, kb }'
}
report "at rest"
# The panel drawn once (through a second launch), then left alone again.
build/release/keelbox --show panel
sleep 3
report "after showing the panel"
kill "$app" 2>/dev/null || true
wait "$app" 2>/dev/null || true

echo "== tray path: an unchanged drive of the real tree mounted, to its row with progress and done"
image=${CACHE:-/var/tmp/keelbox-bench}/ext4.img
if [ ! -f "$image.complete" ]; then
    echo "skipped: bench/real.sh ext4 makes the drive image once"
    exit 0
fi
drive=/mnt/keelbox-bench-REALTREE
mkdir -p "$drive" "$work/copies"
mounts+=("$drive")
mount -o loop "$image" "$drive"
build/release/keelbox config "$drive" --whole-drive --destination "$work/copies" --name copy \
    --mode sync --auto on >/dev/null
build/release/keelbox backup "$drive" --no-progress >/dev/null # the copy the runs find unchanged
# Whatever else looks at a new mount (a file manager, udev) may hold it for a moment.
unmount() {
    local tries=0
    until umount "$drive" 2>/dev/null; do
        tries=$((tries + 1))
        [ $tries -lt 30 ] || { umount -l "$drive"; return; }
        sleep 1
    done
}
unmount
for run in 1 2 3; do
    build/release/tools/keelbox_ui_tool tray-path "$drive" >"$work/path.txt" 2>/dev/null &
    tool=$!
    pids+=("$tool")
    until grep -qs ready "$work/path.txt"; do sleep 0.1; done
    sleep 1
    sync
    echo 3 >/proc/sys/vm/drop_caches # a drive just plugged in: nothing of it cached
    before=$(load)
    t0=$(date +%s%N)
    mount -o loop,ro "$image" "$drive"
    timeout 300 bash -c "until grep -q done '$work/path.txt'; do sleep 0.05; done" || true
    awk -v t0="$t0" -v run="$run" -v load="$before" '
        { at[$1] = ($2 - t0) / 1e9 }
        END { printf "run %d (load %s): listed %.2f s, first progress %.2f s, done %.2f s\n",
                     run, load, at["listed"], at["progress"], at["done"] }' "$work/path.txt"
    kill "$tool" 2>/dev/null || true
    wait "$tool" 2>/dev/null || true
    unmount
done
