#!/bin/bash
# Quick start: install what is missing, build the release preset and start the tray application
# when a display is available (`keelbox demo` otherwise), or run `keelbox` with the arguments
# given instead (e.g. `scripts/run.sh backup /media/$USER/STICK`).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build
cmake --preset release >/dev/null
cmake --build --preset release -j2
if [ $# -eq 0 ] && [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    set -- demo
fi
exec build/release/keelbox "$@"
