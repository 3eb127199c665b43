#!/bin/bash
# The tray application on a real desktop panel (xfce4-panel with its system tray, on a private Xvfb
# display and session bus):
#   - screenshots of the icon on the dark panel and on the light one, idle, into docs/screenshots/
#     (SHOTS=0 skips them);
#   - the time from a click on the icon to the panel's window mapped and to its drawing on screen,
#     in ms (CLICKS times, 10 by default; a second click closes it between them).
# Not part of the test suite. Installs what it needs (scripts/install-deps.sh panels).
#
# Usage: bench/xfce-panel.sh            BUILD=debug bench/xfce-panel.sh   (default: release)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh panels
build=build/${BUILD:-release}
if [ "${BUILD:-release}" = release ]; then
    echo "== release build"
    cmake --preset release >/dev/null
    cmake --build build/release --target keelbox keelbox_desktop -j2 >/dev/null
fi
here=$PWD
xclient() { /usr/bin/python3 "$here/bench/xfce_click.py" "$@"; }

work=$(mktemp -d "${TMPDIR:-/tmp}/keelbox-xfce-bench.XXXXXX")
pids=()
cleanup() {
    [ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ] && pkill_xfconfd
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    # The document portal, started over the session bus, leaves its FUSE mount there.
    if mountpoint -q "$work/runtime/doc"; then
        fusermount3 -u -z "$work/runtime/doc" 2>/dev/null || umount -l "$work/runtime/doc" || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -m 700 "$work/runtime"
export HOME=$work XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data XDG_CACHE_HOME=$work/cache
export XDG_RUNTIME_DIR=$work/runtime LANGUAGE=en QT_QPA_PLATFORM=xcb NO_AT_BRIDGE=1
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/no-bus DBUS_SESSION_BUS_ADDRESS=
unset QT_QPA_PLATFORMTHEME

# A black root window: a window mapped but not drawn yet shows as one colour.
exec 3< <(Xvfb -displayfd 1 -nolisten tcp -br -screen 0 1280x800x24 2>/dev/null & echo "pid $!")
read -r _ xvfb <&3
read -r display <&3
pids+=("$xvfb")
export DISPLAY=":$display"
exec 4< <(dbus-daemon --session --nofork --print-address=1 --address="unix:path=$work/bus" & echo "pid $!")
read -r _ bus <&4
read -r address <&4
pids+=("$bus")
export DBUS_SESSION_BUS_ADDRESS=$address

# One panel along the top: a stretching separator, then the system tray.
channel=$XDG_CONFIG_HOME/xfce4/xfconf/xfce-perchannel-xml
mkdir -p "$channel"
panel_config() {
    cat >"$channel/xfce4-panel.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="dark-mode" type="bool" value="$1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value="32"/>
      <property name="plugin-ids" type="array">
        <value type="int" value="1"/>
        <value type="int" value="2"/>
      </property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="separator">
      <property name="expand" type="bool" value="true"/>
      <property name="style" type="uint" value="0"/>
    </property>
    <property name="plugin-2" type="string" value="systray"/>
  </property>
</channel>
XML
}

# Starts the panel in the given mode and Keelbox beside it; waits until the icon is in the tray.
start_desktop() {
    panel_config "$1"
    xfce4-panel --disable-wm-check >"$work/panel.log" 2>&1 &
    panel=$!
    pids+=("$panel")
    sleep 2
    "$here/$build/keelbox" >"$work/keelbox.log" 2>&1 &
    app=$!
    pids+=("$app")
    for _ in $(seq 50); do
        icon=$(xclient find 2>/dev/null) && break
        sleep 0.2
    done
    [ -n "${icon:-}" ] || { echo "bench: no Keelbox icon in the panel" >&2; cat "$work/panel.log" >&2; exit 1; }
    sleep 1 # the panel draws the icon
}
stop_desktop() {
    kill "$app" "$panel" 2>/dev/null || true
    wait "$app" "$panel" 2>/dev/null || true
    xfconf-query --channel xfce4-panel --reset --property / --recursive 2>/dev/null || true
    pkill_xfconfd
}
# The settings daemon keeps the channel it read: ended so that the next panel reads the file.
pkill_xfconfd() {
    local pid
    pid=$(busctl --address="$DBUS_SESSION_BUS_ADDRESS" status org.xfce.Xfconf 2>/dev/null |
          awk -F= '/^PID=/ {print $2}') || true
    [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
    sleep 0.5
}

if [ "${SHOTS:-1}" != 0 ]; then
    for mode in dark light; do
        start_desktop "$([ $mode = dark ] && echo true || echo false)"
        read -r x y w h <<<"$icon"
        # The right end of the panel, the icon in it, enlarged so that the pixels can be judged.
        import -window root -crop "240x32+$((1280 - 240))+0" +repage png:- |
            /usr/bin/convert - -scale 300% "docs/screenshots/tray-xfce-$mode.png"
        echo "docs/screenshots/tray-xfce-$mode.png (icon at $x,$y ${w}x$h)"
        stop_desktop
    done
fi

echo "== click on the icon to the panel mapped, xfce4-panel (${CLICKS:-10} clicks)"
start_desktop true
read -r x y w h <<<"$icon"
times=()
for _ in $(seq "${CLICKS:-10}"); do
    times+=("$(xclient click $((x + w / 2)) $((y + h / 2)) Keelbox ${VERBOSE:+-v})")
    sleep 0.5
    # A second click on the icon closes it again.
    xclient click $((x + w / 2)) $((y + h / 2)) -
    sleep 0.7
done
stats() { sort -n | awk -v what="$1" '{ v[NR] = $1 } END {
    printf "%s: median %.1f ms, min %.1f ms, max %.1f ms over %d clicks\n",
        what, v[int((NR + 1) / 2)], v[1], v[NR], NR }'; }
printf '%s\n' "${times[@]}" | cut -d' ' -f1 | stats "click to panel mapped"
printf '%s\n' "${times[@]}" | cut -d' ' -f2 | stats "click to panel drawn"
echo "first click (the panel built): ${times[0]% *} ms mapped, ${times[0]#* } ms drawn"
