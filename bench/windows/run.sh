#!/bin/bash
# The log window's figures: opened and drawn, scrolled end to end, memory. Release build,
# offscreen (no display needed). Not part of the test suite.
# Usage: bench/windows/run.sh   Environment: RUNS (default 5).
set -euo pipefail
cd "$(dirname "$0")/../.."
cmake --preset release >/dev/null
cmake --build --preset release --target bench_log_window -j2 >/dev/null
export QT_QPA_PLATFORM=offscreen
for ((i = 1; i <= ${RUNS:-5}; i++)); do
    echo "== run $i"
    build/release/bench/windows/bench_log_window 2>/dev/null
done
