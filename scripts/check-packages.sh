#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks the packages in build/packages/ as a user would meet them: the sums
# hold, the .deb is clean and its installed program refreshes the example
# manifest; so does the tarball's program, which is static; the bash completion
# offers every option; and the program from the Windows zip refreshes the
# example under Wine, its text files in CR LF.
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
test -f "$scratch/root/usr/share/bash-completion/completions/md5refresh"
test -f "$scratch/root/usr/share/doc/md5refresh/json-lines.schema.json"

tarball_top=md5refresh-$version-linux-x86_64
tar -xzf "$packages/$tarball_top.tar.gz" -C "$scratch"
tarball_program=$scratch/$tarball_top/bin/md5refresh
for file in bin/md5refresh share/man/man1/md5refresh.1.gz share/bash-completion/completions/md5refresh; do
    test -f "$scratch/$tarball_top/$file" || { echo "the tarball lacks $file" >&2; exit 1; }
done
# Static: nothing for an older distribution's loader to miss.
file "$tarball_program" | grep -q 'statically linked' || { file "$tarball_program" >&2; exit 1; }
if ldd "$tarball_program" >/dev/null 2>&1; then
    echo "the tarball's program has dynamic dependencies:" >&2
    ldd "$tarball_program" >&2
    exit 1
fi

# The completion offers every option that --help lists, and only those.
help_options=$("$tarball_program" --help | grep -oE '(^|[[:space:],])--?[a-z][a-z0-9-]*' | tr -d ' \t,' | sort -u)
completed=$(bash -c 'source "$1"; COMP_WORDS=(md5refresh -); COMP_CWORD=1; _md5refresh; printf "%s\n" "${COMPREPLY[@]}"' \
    _ "$scratch/$tarball_top/share/bash-completion/completions/md5refresh" | sort -u)
[ "$help_options" = "$completed" ] || { printf 'completion: %s\n--help: %s\n' "$completed" "$help_options" >&2; exit 1; }

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
tarball_out=$(refresh_example "$scratch/tarball" "$tarball_program")
[ "$tarball_out" = "$expected" ] || { echo "tarball program printed: $tarball_out" >&2; exit 1; }
cmp "$scratch/linux/update.txt" "$scratch/tarball/update.txt"

unzip -q "$packages/md5refresh-$version-win64.zip" -d "$scratch/zip"
for file in md5refresh.exe README.md LICENSE CHANGELOG.md md5refresh.txt; do
    test -f "$scratch/zip/$file" || { echo "the zip lacks $file" >&2; exit 1; }
done
for file in README.md LICENSE CHANGELOG.md md5refresh.txt; do
    if ! awk '!/\r$/ { bad = 1 } END { exit bad || NR == 0 }' "$scratch/zip/$file"; then
        echo "the zip's $file has lines without CR LF" >&2
        exit 1
    fi
done
source scripts/wine-env.sh
windows_out=$(refresh_example "$scratch/windows" "$wine64" "$scratch/zip/md5refresh.exe")
[ "$windows_out" = "$expected" ] || { echo "zipped Windows program printed: $windows_out" >&2; exit 1; }
cmp "$scratch/linux/update.txt" "$scratch/windows/update.txt"
"$wine64" "$scratch/zip/md5refresh.exe" -v | tr -d '\r' | grep -q "Version:v$version\$"
rm -rf "$scratch"
echo "packages: all checks passed"
