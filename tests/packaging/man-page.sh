#!/bin/bash
# The manual page and `keelbox --help` name the same commands and options.
# Usage: man-page.sh KEELBOX MANPAGE
set -euo pipefail
help=$("$1" --help --language en)
page=$(sed 's/\\-/-/g' "$2")
words() { grep -oE -- '(keelbox [a-z][a-z-]+|--[a-z][a-z-]+)' | sort -u; }
missing=$(comm -3 <(words <<<"$help") <(words <<<"$page"))
if [ -n "$missing" ]; then
    echo "only in --help (left) or only in the manual page (right):"
    echo "$missing"
    exit 1
fi
