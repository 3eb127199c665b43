#!/bin/bash
# The tray icon on LXQt's panel (its Status Notifier plugin) with the "dark" and the "light" theme,
# on a private Xvfb display and session bus: screenshots of the panel's right end into
# docs/screenshots/tray-lxqt-{dark,light}.png. Not part of the test suite; installs what it needs
# (scripts/install-deps.sh panels).
#
# Usage: bench/lxqt-panel.sh            BUILD=release bench/lxqt-panel.sh   (default: debug)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh panels
here=$PWD
keelbox=$here/build/${BUILD:-debug}/keelbox
[ -x "$keelbox" ] || { echo "build first: $keelbox is missing" >&2; exit 1; }

shoot() {
    local theme=$1 work
    work=$(mktemp -d "${TMPDIR:-/tmp}/keelbox-lxqt.XXXXXX")
    mkdir -m 700 "$work/runtime" "$work/config" "$work/config/lxqt"
    (
        export HOME=$work XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work/runtime LANGUAGE=en
        export QT_QPA_PLATFORM=xcb NO_AT_BRIDGE=1 DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/no-bus
        unset QT_QPA_PLATFORMTHEME
        printf '[General]\ntheme=%s\nicon_theme=Adwaita\n' "$theme" >"$XDG_CONFIG_HOME/lxqt/lxqt.conf"
        # One panel along the top: a stretching spacer, then the status notifier area.
        cat >"$XDG_CONFIG_HOME/lxqt/panel.conf" <<CONF
panels=panel1
[panel1]
plugins=spacer,statusnotifier
position=Top
panelSize=32
iconSize=22
[spacer]
type=spacer
expandable=true
[statusnotifier]
type=statusnotifier
CONF
        exec 3< <(Xvfb -displayfd 1 -nolisten tcp -screen 0 800x200x24 2>/dev/null & echo "pid $!")
        read -r _ xvfb <&3
        read -r display <&3
        export DISPLAY=":$display"
        eval "$(dbus-launch --sh-syntax)"
        lxqt-panel >"$work/panel.log" 2>&1 &
        panel=$!
        sleep 4
        "$keelbox" >"$work/keelbox.log" 2>&1 &
        app=$!
        sleep 6
        import -window root "$work/screen.png"
        convert "$work/screen.png" -crop 240x40+560+0 +repage -scale 300% \
            "$here/docs/screenshots/tray-lxqt-$theme.png"
        # Everything this run started ends with it, however it ends.
        for pid in "$app" "$panel" "$DBUS_SESSION_BUS_PID" "$xvfb"; do
            kill "$pid" 2>/dev/null || true
            timeout 5 tail --pid="$pid" -f /dev/null || kill -9 "$pid" 2>/dev/null || true
        done
    )
    rm -rf "$work"
    echo "docs/screenshots/tray-lxqt-$theme.png"
}

shoot dark
shoot light
