#!/bin/bash
# Starts and stops the desktop services the integration tests talk to, without touching the
# machine's own: a private system bus with udisksd (and udevd when none runs), FUSE mount helpers
# for vfat/exFAT where the kernel lacks them, and a private session bus with a notification
# recorder. Installs nothing (see scripts/install-deps.sh test).
#
#   STACK_DIR=/tmp/x scripts/test-stack.sh start   # idempotent; writes $STACK_DIR/env
#   STACK_DIR=/tmp/x scripts/test-stack.sh stop    # unmounts and detaches the stack's images too
#   . /tmp/x/env                                   # DBUS_SYSTEM_BUS_ADDRESS, DBUS_SESSION_BUS_ADDRESS, ...
#
# Images whose file lies in $STACK_DIR/img and whose name contains "removable" are treated as
# removable drives by udisks; "ignored" in the name hides them. Other loop devices stay system
# devices, so nobody else's loops are listed.
#
# When the machine cannot run the stack (not root, no loop devices, udisks missing) `start` writes
# the reason to $STACK_DIR/unavailable and exits 0; the tests decide whether that is a failure.
set -euo pipefail

STACK_DIR=${STACK_DIR:-/tmp/keelbox-test-stack}
HERE=$(cd "$(dirname "$0")" && pwd)
RECORDER=${RECORDER:-$HERE/../tests/integration/notification_recorder.py}
SHARED=/run/keelbox-test-stack
UDISKSD=/usr/libexec/udisks2/udisksd
UDEVD=/lib/systemd/systemd-udevd
key=$(printf '%s' "$STACK_DIR" | md5sum | cut -c1-12)
RULES=/run/udev/rules.d/99-keelbox-test-$key.rules

alive() { [ -f "$1" ] && kill -0 "$(cat "$1")" 2>/dev/null; }

unavailable() {
    echo "$*" > "$STACK_DIR/unavailable"
    echo "test stack unavailable: $*" >&2
    exit 0
}

# Machine-wide pieces (udevd, mount helpers) are shared by every stack on the machine; the last
# stack to stop removes what a stack installed.
with_lock() {
    mkdir -p "$SHARED/users"
    exec 9> "$SHARED/lock"
    flock 9
}

wait_for() { # tries command...
    local tries=$1; shift
    for _ in $(seq "$tries"); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    return 1
}

start() {
    mkdir -p "$STACK_DIR/img"
    cd "$STACK_DIR"
    rm -f unavailable
    if alive system_bus.pid && alive udisksd.pid && alive session_bus.pid && alive recorder.pid; then
        return 0
    fi
    [ "$(id -u)" -eq 0 ] || unavailable "needs root for loop devices and udisks"
    [ -e /dev/loop-control ] || unavailable "no loop devices (/dev/loop-control)"
    for tool in dbus-daemon udevadm losetup busctl /usr/bin/python3 "$UDISKSD" "$UDEVD"; do
        command -v "$tool" >/dev/null 2>&1 || unavailable "$tool is not installed"
    done
    /usr/bin/python3 -c 'import dbus, dbus.mainloop.glib, gi' 2>/dev/null ||
        unavailable "python3-dbus and python3-gi are not installed"
    stop_quietly

    cat > system.conf <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$STACK_DIR/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/><deny own="*"/><deny send_type="method_call"/><allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/><allow receive_type="method_return"/>
    <allow receive_type="error"/><allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus"/>
  </policy>
  <policy user="root"><allow own="*"/><allow send_destination="*"/><allow eavesdrop="true"/></policy>
  <includedir>/usr/share/dbus-1/system.d</includedir>
</busconfig>
EOF
    dbus-daemon --config-file="$STACK_DIR/system.conf" --fork --nopidfile --print-pid=1 \
        > system_bus.pid 2> system_bus.log
    cat > env <<EOF
export KEELBOX_STACK_DIR=$STACK_DIR
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$STACK_DIR/system_bus_socket
export DBUS_SESSION_BUS_ADDRESS=unix:path=$STACK_DIR/session_bus_socket
export KEELBOX_NOTIFICATIONS_FILE=$STACK_DIR/notifications.jsonl
EOF

    with_lock
    touch "$SHARED/users/$key"
    mkdir -p /run/udev/rules.d
    cat > "$RULES" <<EOF
SUBSYSTEM=="block", KERNEL=="loop*", ATTR{loop/backing_file}=="$STACK_DIR/img/*removable*", ENV{UDISKS_SYSTEM}="0", ENV{UDISKS_AUTO}="1"
SUBSYSTEM=="block", KERNEL=="loop*", ATTR{loop/backing_file}=="$STACK_DIR/img/*ignored*", ENV{UDISKS_SYSTEM}="0", ENV{UDISKS_IGNORE}="1"
EOF
    if ! udevadm control --ping >/dev/null 2>&1; then
        "$UDEVD" --daemon
        touch "$SHARED/udevd.started"
        wait_for 50 udevadm control --ping
    fi
    udevadm control --reload
    udevadm trigger --subsystem-match=block --action=add
    udevadm settle -t 30 || true
    # The kernel here may lack vfat and exfat; libmount then runs /sbin/mount.<type>, and these
    # helpers hand the device to the FUSE drivers. fusefat must run as a block-device mount so that
    # mountinfo carries the loop's device number and udisks can tie the mount to it.
    if ! grep -qw vfat /proc/filesystems && [ ! -e /sbin/mount.vfat ] && command -v fusefat >/dev/null; then
        cat > /sbin/mount.vfat <<'EOF'
#!/bin/sh
# Installed by Keelbox's test stack; removed when it stops.
device=$1; dir=$2; shift 2; opts=
while [ $# -gt 0 ]; do case $1 in -o) opts=$2; shift 2;; *) shift;; esac; done
mode=rw+; case ",$opts," in *,ro,*) mode=ro;; esac
exec fusefat -o "$mode,blkdev,fsname=$device,allow_other" "$device" "$dir"
EOF
        chmod 755 /sbin/mount.vfat
        echo /sbin/mount.vfat >> "$SHARED/shims"
    fi
    if ! grep -qw exfat /proc/filesystems && [ ! -e /sbin/mount.exfat ] && [ -x /sbin/mount.exfat-fuse ]; then
        printf '#!/bin/sh\n# Installed by Keelbox'"'"'s test stack; removed when it stops.\nexec /sbin/mount.exfat-fuse "$@"\n' \
            > /sbin/mount.exfat
        chmod 755 /sbin/mount.exfat
        echo /sbin/mount.exfat >> "$SHARED/shims"
    fi
    flock -u 9

    ( . ./env; setsid "$UDISKSD" > udisksd.log 2>&1 < /dev/null & echo $! > udisksd.pid )
    # shellcheck disable=SC1091
    . ./env
    wait_for 100 busctl --address="$DBUS_SYSTEM_BUS_ADDRESS" status org.freedesktop.UDisks2 ||
        { echo "udisksd did not come up; see $STACK_DIR/udisksd.log" >&2; exit 1; }

    dbus-daemon --session --fork --nopidfile --print-pid=1 \
        --address="unix:path=$STACK_DIR/session_bus_socket" > session_bus.pid 2> session_bus.log
    : > notifications.jsonl
    ( setsid /usr/bin/python3 "$RECORDER" "$DBUS_SESSION_BUS_ADDRESS" "$STACK_DIR/notifications.jsonl" \
        > recorder.log 2>&1 < /dev/null & echo $! > recorder.pid )
    wait_for 100 busctl --address="$DBUS_SESSION_BUS_ADDRESS" status org.freedesktop.Notifications ||
        { echo "notification recorder did not come up; see $STACK_DIR/recorder.log" >&2; exit 1; }
    touch ready
}

stop_quietly() {
    [ -d "$STACK_DIR" ] || return 0
    cd "$STACK_DIR"
    rm -f ready
    # Images of this stack: unmount whatever is mounted from them, then detach their loops.
    local dev mp
    for dev in $(losetup -a 2>/dev/null | grep -F "($STACK_DIR/img/" | cut -d: -f1); do
        local majmin
        majmin=$(printf '%d:%d' "$(stat -c '0x%t' "$dev")" "$(stat -c '0x%T' "$dev")")
        while read -r mp; do
            [ -n "$mp" ] || continue
            mp=$(printf '%b' "$mp")
            umount "$mp" 2>/dev/null || fusermount -u "$mp" 2>/dev/null || umount -l "$mp" || true
        done < <(awk -v d="$majmin" '$3 == d {print $5}' /proc/self/mountinfo)
        losetup -d "$dev" 2>/dev/null || true
    done
    rm -f "$STACK_DIR"/img/*.img
    for p in recorder session_bus udisksd system_bus; do
        if alive $p.pid; then
            kill "$(cat $p.pid)" 2>/dev/null || true
        fi
        rm -f $p.pid
    done
    rm -f system_bus_socket session_bus_socket
    if [ "$(id -u)" -eq 0 ] && [ -d "$SHARED/users" ]; then
        with_lock
        rm -f "$SHARED/users/$key" "$RULES"
        if [ -z "$(ls -A "$SHARED/users")" ]; then
            if [ -f "$SHARED/shims" ]; then
                xargs -r rm -f < "$SHARED/shims"
                rm -f "$SHARED/shims"
            fi
            if [ -f "$SHARED/udevd.started" ]; then
                udevadm control --exit 2>/dev/null || true
                rm -f "$SHARED/udevd.started"
            fi
        else
            udevadm control --reload 2>/dev/null || true
        fi
        flock -u 9
    fi
}

stop() {
    stop_quietly
    rm -f "$STACK_DIR/unavailable"
}

case "${1:-}" in
start) start ;;
stop) stop ;;
*)
    echo "usage: STACK_DIR=DIR $0 start|stop" >&2
    exit 2
    ;;
esac
