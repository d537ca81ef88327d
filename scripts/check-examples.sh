#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs every example the README (```console blocks) and the manual (.EX blocks
# with "$ " lines) show, and compares what each command prints (standard
# output and error together) with what the document says. Each block runs in a
# folder of its own holding pkg/ (a copy of examples/) and release/pkg-a and
# release/pkg-b (two more). Usage: scripts/check-examples.sh BINARY_FOLDER
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
bin=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Each block of a document, one file per block, its lines as written.
awk -v out="$work/readme" '
    /^```console$/ { n++; inside = 1; next }
    /^```/ && inside { inside = 0; next }
    inside { print > (out "-" n) }
' "$root/README.md"
# The manual's: groff escapes for "-" and "\" undone.
awk -v out="$work/manual" '
    /^\.EX$/ { n++; inside = 1; next }
    /^\.EE$/ { inside = 0; next }
    inside { gsub(/\\-/, "-"); gsub(/\\e/, "\\"); print > (out "-" n) }
' "$root/man/md5refresh.1.in"

failed=0 blocks=0
for block in "$work"/readme-* "$work"/manual-*; do
    [ -e "$block" ] || continue
    grep -q '^\$ ' "$block" || continue  # a command line to copy, not a session
    blocks=$((blocks + 1))
    folder="$block.run"
    mkdir -p "$folder/release"
    cp -R "$root/examples" "$folder/pkg"
    cp -R "$root/examples" "$folder/release/pkg-a"
    cp -R "$root/examples" "$folder/release/pkg-b"
    : >"$block.seen"
    while IFS= read -r line; do
        [[ $line == '$ '* ]] || continue
        printf '%s\n' "$line" >>"$block.seen"
        (cd "$folder" && PATH="$bin:$PATH" bash -c "${line#\$ }" 2>&1) >>"$block.seen" || true
    done <"$block"
    if ! diff -u "$block" "$block.seen" >"$block.diff"; then
        echo "example ${block##*/} differs from what the tool prints:"
        cat "$block.diff"
        failed=1
    fi
done
echo "$blocks example sessions run"
[ "$blocks" -gt 0 ] || { echo "no example found" >&2; exit 1; }
exit $failed
