#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times whole runs of md5refresh on a manifest against the tools a user could
# pick instead, on the same files, in alternation, and prints the median of each
# and the ratios. Each run reads its files once just before it, so every tool
# starts from the page cache; with DROP_CACHES=1 (as root) the page cache is
# dropped before each run instead, so every tool reads from the disk.
# Usage: bench/compare_tools.sh [profile...]   (profiles: 1x1024 10x100 3x2048 mixed;
# all by default; RUNS=7; needs a release build first; MD5REFRESH=path picks
# another binary). SHA256=1 gives every section a sha256 entry too and times
# the run against sha256sum, openssl's SHA-256 and the tool's own run of the
# same files without sha256 entries. BASELINE=path times another build of the
# tool beside this one, in the same alternation (a change measured against
# the commit before it).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
runs=${RUNS:-7}
tool=${MD5REFRESH:-$root/build/release/md5refresh}
work=$root/build/bench-data
jobs=$(nproc)

[ -x "$tool" ] || { echo "no $tool: build it first (make demo)" >&2; exit 1; }
mkdir -p "$work"

# File sizes in MiB of each profile.
sizes_of() {
    case $1 in
        1x1024) echo 1024 ;;
        10x100) echo 100 100 100 100 100 100 100 100 100 100 ;;
        3x2048) echo 2048 2048 2048 ;;
        mixed) echo 400 200 100 50 25 12 6 3 1 1 ;;
        *) echo "unknown profile $1" >&2; exit 1 ;;
    esac
}

median() { tr ' ' '\n' | grep . | sort -g | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }

run_profile() {
    local profile=$1 dir=$work/$1 files=() total=0 i=0
    mkdir -p "$dir"
    printf '' >"$dir/update.txt"
    printf '' >"$dir/update-sha256.txt"
    for size in $(sizes_of "$profile"); do
        local file=$dir/f$i.bin
        if [ ! -f "$file" ] || [ "$(stat -c %s "$file")" -ne $((size << 20)) ]; then
            head -c $((size << 20)) /dev/urandom >"$file"
        fi
        printf 's%d={\n        file_path=/packages/f%d.bin\n        md5=0\n}\n\n' $i $i >>"$dir/update.txt"
        printf 's%d={\n        file_path=/packages/f%d.bin\n        md5=0\n        sha256=0\n}\n\n' \
            $i $i >>"$dir/update-sha256.txt"
        files+=("$file")
        total=$((total + size))
        i=$((i + 1))
    done
    local manifest=$dir/update.txt

    # The tools must agree before their times mean anything.
    local ours theirs
    ours=$("$tool" "$manifest" | cut -f1 | sort)
    theirs=$(md5sum "${files[@]}" | cut -d' ' -f1 | sort)
    [ "$ours" = "$theirs" ] || { echo "$profile: md5refresh and md5sum disagree" >&2; exit 1; }

    declare -A commands=(
        [md5refresh]="$tool $manifest"
        [md5sum]="md5sum ${files[*]}"
        [openssl]="openssl md5 ${files[*]}"
        [md5sum-parallel]="xargs -P $jobs -n 1 md5sum"
    )
    local names=(md5refresh md5sum openssl md5sum-parallel)
    local peers=(md5sum openssl md5sum-parallel)
    if [ -n "${BASELINE:-}" ]; then
        commands[baseline]="$BASELINE $manifest"
        names+=(baseline)
        peers+=(baseline)
    fi
    if [ "${SHA256:-0}" = 1 ]; then
        local sha_manifest=$dir/update-sha256.txt
        "$tool" "$sha_manifest" >/dev/null
        ours=$(sed -n 's/^ *sha256=//p' "$sha_manifest" | sort)
        theirs=$(sha256sum "${files[@]}" | cut -d' ' -f1 | sort)
        [ "$ours" = "$theirs" ] || { echo "$profile: md5refresh and sha256sum disagree" >&2; exit 1; }
        commands=(
            [md5refresh]="$tool $sha_manifest"
            [md5refresh-md5-only]="$tool $manifest"
            [sha256sum]="sha256sum ${files[*]}"
            [openssl-sha256]="openssl dgst -sha256 ${files[*]}"
        )
        names=(md5refresh md5refresh-md5-only sha256sum openssl-sha256)
        peers=(md5refresh-md5-only sha256sum openssl-sha256)
        if [ -n "${BASELINE:-}" ]; then
            commands[baseline]="$BASELINE $sha_manifest"
            names+=(baseline)
            peers+=(baseline)
        fi
        manifest=$sha_manifest
    fi
    declare -A times
    for ((run = 0; run < runs; run++)); do
        for name in "${names[@]}"; do
            if [ "${DROP_CACHES:-0}" = 1 ]; then
                sync
                echo 3 >/proc/sys/vm/drop_caches
            else
                cat "${files[@]}" >/dev/null
            fi
            local start end
            start=$(date +%s.%N)
            if [ "$name" = md5sum-parallel ]; then
                printf '%s\n' "${files[@]}" | ${commands[$name]} >/dev/null
            else
                ${commands[$name]} >/dev/null
            fi
            end=$(date +%s.%N)
            times[$name]+="$(echo "$end - $start" | bc) "
        done
    done

    declare -A medians
    local cache=warm
    [ "${DROP_CACHES:-0}" = 1 ] && cache=dropped
    echo "profile $profile: ${#files[@]} files, $total MiB, $runs alternating runs each, cache $cache, medians:"
    for name in "${names[@]}"; do
        medians[$name]=$(echo "${times[$name]}" | median)
        printf '  %-16s %7.3f s  %6.0f MiB/s\n' "$name" "${medians[$name]}" \
            "$(echo "$total / ${medians[$name]}" | bc -l)"
    done
    for name in "${peers[@]}"; do
        printf '  md5refresh / %-16s time ratio %.3f\n' "$name" \
            "$(echo "${medians[md5refresh]} / ${medians[$name]}" | bc -l)"
    done
    local peak_kib
    peak_kib=$(/usr/bin/time -f %M "$tool" "$manifest" 2>&1 >/dev/null | tail -1)
    echo "  md5refresh peak resident memory: ${peak_kib} KiB"
}

profiles=("$@")
[ ${#profiles[@]} -gt 0 ] || profiles=(1x1024 10x100 3x2048 mixed)
for profile in "${profiles[@]}"; do
    run_profile "$profile"
done
