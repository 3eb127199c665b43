#!/bin/bash
# Quick start: install what is missing, build the release preset and run Keelbox.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build
cmake --preset release >/dev/null
cmake --build --preset release
exec build/release/keelbox "$@"
