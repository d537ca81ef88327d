#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds md5refresh as a static Windows program with MinGW-w64 and runs the test
# suite under Wine. Installs what it needs from Debian's packages first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/install-deps.sh windows

source scripts/wine-env.sh

cmake --preset windows
cmake --build --preset windows -j "${JOBS:-2}"
ctest --preset windows -j "${JOBS:-2}" --timeout 60
