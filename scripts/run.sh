#!/bin/bash
# Quick start: install what is missing, build the release preset and run `keelbox demo`, or
# `keelbox` with the arguments given instead (e.g. `scripts/run.sh backup /media/$USER/STICK`).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build
cmake --preset release >/dev/null
cmake --build --preset release -j2
if [ $# -eq 0 ]; then
    set -- demo
fi
exec build/release/keelbox "$@"
