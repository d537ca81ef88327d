# SPDX-License-Identifier: MIT
# Sourced by the scripts that run the Windows program: a headless Wine of our
# own inside the build folder, its server started persistent and warmed up, so
# that no run waits for it to start or exit, and stopped when the script ends.
# Leaves the loader's path in $wine64.
wine64=$(command -v wine64 || echo /usr/lib/wine/wine64)
export WINEPREFIX="$root/build/windows/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX"
wineserver -p
trap 'wineserver -k || true' EXIT
wineboot -i >/dev/null 2>&1
"$wine64" cmd /c exit
