#!/usr/bin/env bash
# Times whole runs of md5refresh against `openssl md5` and `md5sum` on the same
# file, in alternation, and prints the median of each and the ratios.
# Usage: bench/compare_tools.sh   (SIZE_MIB=1024 RUNS=7 by default; needs `make demo`
# or a release build first; MD5REFRESH=path picks another binary)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
size_mib=${SIZE_MIB:-1024}
runs=${RUNS:-7}
tool=${MD5REFRESH:-$root/build/release/md5refresh}
work=$root/build/bench-data
payload=$work/payload.bin
manifest=$work/update.txt

[ -x "$tool" ] || { echo "no $tool: build it first (make demo)" >&2; exit 1; }
mkdir -p "$work"
if [ ! -f "$payload" ] || [ "$(stat -c %s "$payload")" -ne $((size_mib << 20)) ]; then
    head -c $((size_mib << 20)) /dev/urandom >"$payload"
fi
printf 'payload={\n        file_path=/packages/payload.bin\n        md5=0\n}\n\n' >"$manifest"
cat "$payload" >/dev/null # all three read from the page cache

declare -A commands=(
    [md5refresh]="$tool $manifest"
    [openssl]="openssl md5 $payload"
    [md5sum]="md5sum $payload"
)
names=(md5refresh openssl md5sum)

# The three must agree before their times mean anything.
digests=$( { $tool "$manifest" | cut -f1; openssl md5 -r "$payload" | cut -d' ' -f1;
             md5sum "$payload" | cut -d' ' -f1; } | sort -u | wc -l)
[ "$digests" -eq 1 ] || { echo "the tools disagree on the digest" >&2; exit 1; }

declare -A times
for ((run = 0; run < runs; run++)); do
    for name in "${names[@]}"; do
        start=$(date +%s.%N)
        ${commands[$name]} >/dev/null
        end=$(date +%s.%N)
        times[$name]+="$(echo "$end - $start" | bc) "
    done
done

median() { tr ' ' '\n' | grep . | sort -g | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
declare -A medians
echo "file: ${size_mib} MiB, $runs alternating runs each, medians:"
for name in "${names[@]}"; do
    medians[$name]=$(echo "${times[$name]}" | median)
    printf '  %-10s %7.3f s  %6.0f MiB/s\n' "$name" "${medians[$name]}" \
        "$(echo "$size_mib / ${medians[$name]}" | bc -l)"
done
for name in openssl md5sum; do
    printf '  md5refresh / %-7s time ratio %.3f\n' "$name" \
        "$(echo "${medians[md5refresh]} / ${medians[$name]}" | bc -l)"
done
peak_kib=$(/usr/bin/time -f %M "$tool" "$manifest" 2>&1 >/dev/null | tail -1)
echo "  md5refresh peak resident memory: ${peak_kib} KiB"
