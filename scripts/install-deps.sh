#!/usr/bin/env bash
# Installs what building and testing md5refresh needs, from Debian's packages.
# Safe to run again: packages already present are left alone.
set -euo pipefail

packages=(g++ cmake ninja-build make libgtest-dev libbenchmark-dev libssl-dev openssl clang-format valgrind bc clang libclang-rt-14-dev)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
        missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get -o DPkg::Lock::Timeout=300 update
$sudo apt-get -o DPkg::Lock::Timeout=300 install -y --no-install-recommends "${missing[@]}"
