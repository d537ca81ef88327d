#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks the packages in build/packages/ as a user would meet them: the sums
# hold, the .deb is clean and its installed program refreshes the example
# manifest, and so does the program from the Windows zip, under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
packages=$root/build/packages
version=$(sed -n 's/^project(md5refresh VERSION \([0-9.]*\)$/\1/p' CMakeLists.txt)
scratch=$(mktemp -d)

(cd "$packages" && sha256sum -c SHA256SUMS)

deb=$(ls "$packages"/md5refresh_"$version"_*.deb)
dpkg-deb --info "$deb"
lintian --fail-on error "$deb"
dpkg -x "$deb" "$scratch/root"
test -x "$scratch/root/usr/bin/md5refresh"
test -f "$scratch/root/usr/share/man/man1/md5refresh.1.gz"
tar -tzf "$packages/md5refresh-$version-linux-x86_64.tar.gz" | grep -q '/bin/md5refresh$'

# What a refresh of the example manifest prints: each file's digest and name.
expected=$(cd examples && md5sum example-tool.sh notes.txt | awk '{print $1 "\t" $2}')

refresh_example() {  # a folder, then the program and its first words
    local dir=$1
    shift
    mkdir -p "$dir"
    cp -R examples/. "$dir/"
    (cd "$dir" && "$@" update.txt) | tr -d '\r'
}

linux_out=$(refresh_example "$scratch/linux" "$scratch/root/usr/bin/md5refresh")
[ "$linux_out" = "$expected" ] || { echo "installed .deb program printed: $linux_out" >&2; exit 1; }
grep -q "md5=$(md5sum <examples/notes.txt | cut -d' ' -f1)" "$scratch/linux/update.txt"

unzip -q "$packages/md5refresh-$version-win64.zip" -d "$scratch/zip"
for file in md5refresh.exe README.md LICENSE CHANGELOG.md md5refresh.txt; do
    test -f "$scratch/zip/$file" || { echo "the zip lacks $file" >&2; exit 1; }
done
source scripts/wine-env.sh
windows_out=$(refresh_example "$scratch/windows" "$wine64" "$scratch/zip/md5refresh.exe")
[ "$windows_out" = "$expected" ] || { echo "zipped Windows program printed: $windows_out" >&2; exit 1; }
cmp "$scratch/linux/update.txt" "$scratch/windows/update.txt"
"$wine64" "$scratch/zip/md5refresh.exe" -v | tr -d '\r' | grep -q "Version:v$version\$"
rm -rf "$scratch"
echo "packages: all checks passed"
