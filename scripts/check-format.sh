#!/bin/bash
# Fails when any C++ file differs from what clang-format makes of it.
set -euo pipefail
cd "$(dirname "$0")/.."
files=$(git ls-files -co --exclude-standard '*.cpp' '*.h' | grep -v '^build/' || true)
[ -z "$files" ] && exit 0
bad=0
for f in $files; do
    if ! clang-format --style=file "$f" | cmp -s - "$f"; then
        echo "needs clang-format: $f"
        bad=1
    fi
done
exit $bad
