#!/bin/bash
# Quick start: install what is missing, build the debug preset and run the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test

echo "== formatting"
scripts/check-format.sh

echo "== debug build (warnings as errors, ASan+UBSan)"
cmake --preset debug >/dev/null
cmake --build --preset debug

echo "== fuzz build (clang, libFuzzer)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

echo "== ThreadSanitizer build (only the engine and app tests)"
cmake --preset tsan >/dev/null
cmake --build --preset tsan

status=0
echo "== Debian package (build, lintian, install, run, remove)"
scripts/package-check.sh || status=1

echo "== tests"
ctest --preset fuzz || status=1
ctest --preset tsan || status=1  # one at a time: the sanitizer slows the instance hand-over
ctest --preset debug -j2 || status=1
exit $status
