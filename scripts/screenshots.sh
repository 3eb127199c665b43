#!/bin/bash
# Renders the panel's screenshots into docs/screenshots/: empty, a configured drive, a running
# backup with progress and a failed one, and the four windows after the failed one; English and
# Polish; light, dark and KDE Breeze Dark; the running panel, the log and settings windows at
# 200 %. Drawn on a private Xvfb display (offscreen where Xvfb is missing) with the application state's stand-ins, so the
# pictures never depend on the machine's drives or the user's settings.
#
# Usage: scripts/screenshots.sh [OUTPUT_DIR]   (default docs/screenshots)
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-docs/screenshots}

cmake --preset debug >/dev/null
cmake --build build/debug --target keelbox_ui_tool -j2 >/dev/null
tool=build/debug/tools/keelbox_ui_tool

runtime=$(mktemp -d)
xvfb=
cleanup() {
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null || true
    rm -rf "$runtime"
}
trap cleanup EXIT
export XDG_RUNTIME_DIR=$runtime ASAN_OPTIONS=detect_leaks=0
# The same fonts and style everywhere: no desktop theme.
unset QT_QPA_PLATFORMTHEME QT_STYLE_OVERRIDE
if command -v Xvfb >/dev/null; then
    exec 3< <(Xvfb -displayfd 1 -nolisten tcp -screen 0 1280x1024x24 2>/dev/null & echo "pid $!")
    read -r _ xvfb <&3
    read -r display <&3
    export DISPLAY=":$display" QT_QPA_PLATFORM=xcb
else
    export QT_QPA_PLATFORM=offscreen
fi
mkdir -p "$out"
"$tool" screenshots "$out"
# One at 200 % scaling, to see that icons and text stay sharp.
QT_SCALE_FACTOR=2 "$tool" screenshots "$runtime/2x" >/dev/null
cp "$runtime/2x/panel-running-en-light.png" "$out/panel-running-en-light@2x.png"
echo "$out/panel-running-en-light@2x.png"
cp "$runtime/2x/window-log-en-light.png" "$out/window-log-en-light@2x.png"
echo "$out/window-log-en-light@2x.png"
cp "$runtime/2x/window-settings-pl-light.png" "$out/window-settings-pl-light@2x.png"
echo "$out/window-settings-pl-light@2x.png"
# A KDE Plasma desktop in Breeze Dark: Qt reads the palette from its kdeglobals itself (xcb only).
if [ -n "$xvfb" ]; then
    mkdir -p "$runtime/kde"
    cp tools/breeze-dark.kdeglobals "$runtime/kde/kdeglobals"
    XDG_CURRENT_DESKTOP=KDE KDE_SESSION_VERSION=5 XDG_CONFIG_HOME="$runtime/kde" \
        KDEHOME="$runtime/kde" "$tool" screenshots "$out" kde-dark
fi
