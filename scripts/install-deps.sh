#!/bin/bash
# Installs the Debian packages Keelbox needs to build and test. Quiet and quick when all are present.
# Usage: scripts/install-deps.sh [build|test|panels]
set -euo pipefail

# libsodium-dev: Ed25519 signatures of the update feed.
build_packages=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-svg-dev nlohmann-json3-dev libcap-dev
    libsodium-dev)
# qt6-translations-l10n: Qt's own texts (file dialogs) in Polish.
# dpkg-dev, file, lintian, appstream: building and checking the Debian package
# (scripts/package-check.sh).
test_packages=(mount libgtest-dev libgmock-dev clang libclang-rt-14-dev clang-format
    udisks2 dbus dbus-x11 udev ntfs-3g dosfstools exfatprogs exfat-fuse fusefat fuse3 e2fsprogs
    python3-dbusmock python3-dbus python3-gi desktop-file-utils rsync util-linux libcap2-bin time strace
    xvfb xauth trayer x11-utils xdotool imagemagick libqt6svg6 adwaita-icon-theme
    at-spi2-core python3-pyatspi gir1.2-atspi-2.0 qt6-translations-l10n
    dpkg-dev file lintian appstream)
# Real desktop panels and an X client library for bench/xfce-panel.sh (screenshots and the
# click-to-panel figure) and bench/lxqt-panel.sh (screenshots); nothing else needs them.
panel_packages=(xvfb x11-utils imagemagick dbus dbus-x11 xfce4-panel python3-xlib lxqt-panel)

wanted=("${build_packages[@]}")
if [ "${1:-build}" = "test" ]; then
    wanted+=("${test_packages[@]}")
elif [ "${1:-build}" = "panels" ]; then
    wanted+=("${panel_packages[@]}")
fi

missing=()
for pkg in "${wanted[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$pkg")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    SUDO=sudo
else
    SUDO=
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
