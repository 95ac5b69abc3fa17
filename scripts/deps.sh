#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only when missing.
# Usage: scripts/deps.sh [build|test|ci|vm|clang]   (each of the first
# three includes the ones before; vm, for the USB test machine, and clang,
# for the lock-checking build, add their packages to the build's)
set -euo pipefail
level=${1:-build}
pkgs=(cmake ninja-build g++ make libgtest-dev libgmock-dev clang-format pkg-config libusb-1.0-0-dev)
if [ "$level" = test ] || [ "$level" = ci ]; then
    pkgs+=(tshark python3-serial)
fi
if [ "$level" = clang ]; then
    pkgs+=(clang)
fi
if [ "$level" = ci ]; then
    pkgs+=(clang libclang-rt-14-dev g++-arm-linux-gnueabihf qemu-user g++-mingw-w64)
fi
if [ "$level" = vm ] || [ "$level" = ci ]; then
    pkgs+=(qemu-system-x86 busybox-static cpio python3)
fi
missing=()
for p in "${pkgs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "deps: installing ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
