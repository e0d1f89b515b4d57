#!/usr/bin/env bash
# Installs, from Debian 12's packages, what building, running, testing and
# packaging need.
# Installs only what is missing, so a second run is quick.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    libgtest-dev libgmock-dev libbenchmark-dev
    qt6-base-dev qt6-connectivity-dev libgl-dev
    xvfb fonts-dejavu-core
    dbus python3 python3-dbus python3-gi gir1.2-glib-2.0
    at-spi2-core
    clang libclang-rt-14-dev
    clang-19 libc++-19-dev
    g++-mingw-w64-x86-64 wine64
    dpkg-dev file lintian desktop-file-utils appstream xauth xdotool x11-utils
)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update
    $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi
