#!/bin/bash
# Builds the Debian package, checks it with lintian, installs it with apt-get, runs the installed
# Keelbox and validates its desktop entry and metadata, then removes it and checks that nothing
# of it is left. Needs root (or sudo) for apt-get.
set -euo pipefail
cd "$(dirname "$0")/.."
SUDO=
[ "$(id -u)" -ne 0 ] && SUDO=sudo

cmake --preset package >/dev/null
cmake --build --preset package
rm -f build/package/keelbox_*.deb
(cd build/package && cpack >/dev/null)
deb=$(ls build/package/keelbox_*.deb)
echo "== $deb"
dpkg-deb --field "$deb" Depends
# What `apt show keelbox` prints: one paragraph, no line of it a left-over list separator.
description=$(dpkg-deb --field "$deb" Description)
if grep -qE '^ *;' <<<"$description"; then
    echo "the package description has \";\" lines:"
    echo "$description"
    exit 1
fi
lintian --fail-on error --suppress-tags-from-file /dev/null "$deb"

export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get install -y -qq "./$deb" >/dev/null
files=$(dpkg-query -L keelbox)
/usr/bin/keelbox --version
/usr/bin/keelbox --selftest >/dev/null && echo "installed --selftest: all checks passed"
desktop-file-validate /usr/share/applications/keelbox.desktop
appstreamcli validate --no-net /usr/share/metainfo/org.example.keelbox.metainfo.xml

$SUDO apt-get remove -y -qq keelbox >/dev/null
left=0
while read -r path; do
    if [ -e "$path" ] && [ ! -d "$path" ]; then
        echo "left behind: $path"
        left=1
    fi
done <<<"$files"
status=$(dpkg-query -W -f='${db:Status-Status}' keelbox 2>/dev/null || echo not-installed)
[ "$status" = not-installed ] || { echo "dpkg still knows keelbox: $status"; left=1; }
[ $left -eq 0 ] && echo "removed: nothing left"
exit $left
