#!/usr/bin/env bash
# Builds md5refresh as a static Windows program with MinGW-w64 and runs the test
# suite under Wine. Installs what it needs from Debian's packages first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

packages=(g++-mingw-w64-x86-64-posix wine wine64)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
        missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get -o DPkg::Lock::Timeout=300 update
    $sudo apt-get -o DPkg::Lock::Timeout=300 install -y --no-install-recommends "${missing[@]}"
fi

# A headless Wine of our own inside the build folder. The server is started
# persistent and warmed up before the tests, so that no test waits for it to
# start or exit, and it is stopped whatever happens.
wine64=$(command -v wine64 || echo /usr/lib/wine/wine64)
export WINEPREFIX="$root/build/windows/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX"
wineserver -p
trap 'wineserver -k || true' EXIT
wineboot -i >/dev/null 2>&1
"$wine64" cmd /c exit

cmake --preset windows
cmake --build --preset windows -j "${JOBS:-2}"
ctest --preset windows -j "${JOBS:-2}" --timeout 60
