#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the release binary under valgrind over a refresh that keeps a stale
# digest, a whole one, a refused manifest and a failed write; any memory error
# or leak fails the check.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
tool=$(realpath "${1:-$root/build/release/md5refresh}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

head -c 100000 /dev/urandom >"$work/a.bin"
printf 'abc' >"$work/b.bin"
printf 'a={\nfile_path=/x/a.bin\nmd5=0\n}\nb={\nfile_path=b.bin\n}\nc={\nfile_path=/missing\nmd5=0\n}\n' >"$work/m.txt"
printf 'a={\nk=v w\n}\n' >"$work/bad.txt"

check() {
    local expected=$1; shift
    local status=0
    valgrind --quiet --error-exitcode=99 --leak-check=full --show-leak-kinds=all \
        --errors-for-leak-kinds=all "$tool" "$@" >/dev/null 2>"$work/valgrind.log" || status=$?
    if [ "$status" -ne "$expected" ]; then
        cat "$work/valgrind.log" >&2
        echo "valgrind check failed: md5refresh $* exited $status, expected $expected" >&2
        exit 1
    fi
}

cd "$work"
check 1 m.txt -x b
check 0 m.txt --ignore-missing
check 1 bad.txt
check 1 m.txt -o /dev/full
check 0 -v
echo "valgrind: no memory errors or leaks in 5 runs"
