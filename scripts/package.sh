#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes the packages in build/packages/: the Windows zip from the MinGW-w64
# build, the .deb from the release build, the Linux tarball from the static
# build, and SHA256SUMS over them. Installs what it needs from Debian's packages first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=${JOBS:-2}

bash scripts/install-deps.sh windows packaging
rm -rf build/packages

cmake --preset release >/dev/null
cmake --build --preset release -j "$jobs" --target md5refresh compressed_documents
(cd build/release && cpack)

cmake --preset static >/dev/null
cmake --build --preset static -j "$jobs" --target md5refresh compressed_documents
(cd build/static && cpack)

cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs" --target md5refresh manual_text
(cd build/windows && cpack)

cd build/packages
rm -rf _CPack_Packages
sha256sum -- *.zip *.tar.gz *.deb >SHA256SUMS
ls -l
