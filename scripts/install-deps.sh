#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what md5refresh's build needs, from Debian's packages. Safe to run
# again: when everything is there it only looks, in a fraction of a second.
# Usage: scripts/install-deps.sh [build | [windows] [packaging] [peers]]
#   build      building the program only (make demo): a compiler, CMake, Ninja
#   (no word) building, testing, benchmarks, fuzzing
#   windows    the MinGW-w64 cross-build and Wine to run its tests
#   packaging  making and checking the packages (needs windows too)
#   peers      the tools bench/compare_trees.sh times beside md5refresh
set -euo pipefail

packages=(g++ cmake ninja-build make libgtest-dev libbenchmark-dev libssl-dev openssl clang-format
          valgrind bc clang libclang-rt-14-dev groff-base util-linux nlohmann-json3-dev
          python3 python3-jsonschema)
if [ "${1:-}" = build ]; then
    packages=(g++ cmake ninja-build make)
    shift
fi
for group in "$@"; do
    case $group in
        windows) packages+=(g++-mingw-w64-x86-64-posix wine wine64 locales) ;;
        packaging) packages+=(dpkg-dev fakeroot lintian unzip gzip coreutils file) ;;
        peers) packages+=(hashdeep time) ;;
        *) echo "install-deps.sh: unknown group $group" >&2; exit 2 ;;
    esac
done

missing=()
installed=$({ dpkg-query -W -f='${Package} ${Status}\n' "${packages[@]}" 2>/dev/null || true; } |
            awk '$NF == "installed" {print $1}')
for package in "${packages[@]}"; do
    grep -qx "$package" <<<"$installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get -o DPkg::Lock::Timeout=300 update
$sudo apt-get -o DPkg::Lock::Timeout=300 install -y --no-install-recommends "${missing[@]}"
