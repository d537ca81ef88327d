#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times whole runs over a generated release folder: PACKAGES package folders,
# each an update.txt naming 5 files of sizes spread evenly on a log scale from
# 1 KiB to MAX_KIB (16 MiB: mostly small, about 1.7 GiB at 200 packages). It
# compares, cache warm and in alternation, the medians of:
#   unchanged  md5refresh -r over the folder, every digest current: nothing to write
#   stale      md5refresh -r with every digest stale: every manifest written (the
#              stale manifests are put back and synced before each run, untimed)
#   check      md5refresh -c --status -r, which writes nothing
#   md5sum     md5sum over all the files;  md5deep  md5deep -r -j<cores>
#   floor      bench/manifest_write_floor's "replace": each manifest replaced
#              through a temporary beside it, one sync, with nothing else done
#   loop       (with TOOLS) a shell loop running md5refresh once per manifest
# Then it measures md5refresh -r alone: its peak RSS and the most descriptors
# it held open.
# Usage: bench/compare_trees.sh   (PACKAGES=200 MAX_KIB=16384 RUNS=9; needs a
# release build and the bench preset's floor; MD5REFRESH=path picks another
# binary, FLOOR=path another floor; TOOLS="unchanged check" times only some).
# PROFILE=small is the release of many small files: 2,000 folders of 5 files
# of 1 to 64 KiB (PACKAGES=2000 MAX_KIB=64). TREES=/dev/shm puts the tree in
# memory, where writing, renaming and syncing cost next to nothing; the
# default, build/bench-data, lies on the disk that holds the repository.
# BASELINE=path times another build of the tool beside this one, its stale
# refresh and its check, in the same alternation.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
if [ "${PROFILE:-mixed}" = small ]; then
    packages=${PACKAGES:-2000}
    max_kib=${MAX_KIB:-64}
else
    packages=${PACKAGES:-200}
    max_kib=${MAX_KIB:-16384}
fi
runs=${RUNS:-9}
tool=${MD5REFRESH:-$root/build/release/md5refresh}
floor=${FLOOR:-$root/build/bench/bench/manifest_write_floor}
tree=${TREES:-$root/build/bench-data}/tree-$packages-$max_kib
stale=$tree.stale
cores=$(nproc)
names=(${TOOLS:-unchanged stale check md5sum md5deep floor})
baseline=${BASELINE:-}
[ -n "$baseline" ] && names+=(baseline baseline-check)

[ -x "$tool" ] || { echo "no $tool: build it first (make demo)" >&2; exit 1; }
[ -x "$floor" ] || { echo "no $floor: build the bench preset first (make bench)" >&2; exit 1; }
bash "$root/scripts/install-deps.sh" peers

# The same tree every time: sizes from a fixed seed.
make_tree() {
    [ -f "$tree/done" ] && return
    rm -rf "$tree"
    awk -v packages="$packages" -v max="$max_kib" 'BEGIN {
        srand(20261208)
        for (p = 0; p < packages; ++p)
            for (f = 0; f < 5; ++f)
                printf "%04d %d %d\n", p, f, int(exp(rand() * log(max))) + 1
    }' | while read -r package file kib; do
        mkdir -p "$tree/pkg$package"
        head -c $((kib * 1024)) /dev/urandom >"$tree/pkg$package/f$file.bin"
        printf 'f%d={\n        file_path=/packages/pkg%s/f%d.bin\n        md5=0\n}\n\n' \
            "$file" "$package" "$file" >>"$tree/pkg$package/update.txt"
    done
    touch "$tree/done"
}

all_files() { find "$tree" -name '*.bin' -print0; }

median() { tr ' ' '\n' | grep . | sort -g | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }

# Every manifest as stale as the tree was made, on disk before the timed run.
put_back_stale() {
    cp -R "$stale/." "$tree/"
    sync -f "$tree/"
}

run_tool() {
    case $1 in
        unchanged | stale) "$tool" -r "$tree" ;;
        floor) "$floor" "$tree" 1 replace ;;
        check) "$tool" -c --status -r "$tree" ;;
        loop) for manifest in "$tree"/*/update.txt; do "$tool" "$manifest"; done ;;
        md5sum) all_files | xargs -0 md5sum ;;
        md5deep) md5deep -r -j"$cores" "$tree" ;;
        baseline) "$baseline" -r "$tree" ;;
        baseline-check) "$baseline" -c --status -r "$tree" ;;
    esac
}

make_tree
if [ ! -d "$stale" ]; then
    mkdir -p "$stale"
    for manifest in "$tree"/*/update.txt; do
        package=$(basename "$(dirname "$manifest")")
        mkdir -p "$stale/$package"
        sed 's/^\( *md5=\).*/\10/' "$manifest" >"$stale/$package/update.txt"
    done
fi
echo "tree: $packages manifests, $(all_files | tr -cd '\0' | wc -c) files," \
    "$(du -sm --apparent-size "$tree" | cut -f1) MiB; $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2)," \
    "family $(grep -m1 'cpu family' /proc/cpuinfo | cut -d: -f2 | tr -d ' '), $cores cores;" \
    "$(df -T "$tree" | awk 'NR == 2 {print $2 " on " $1}')"
all_files | xargs -0 cat >/dev/null  # warm

# The tools must agree before their times mean anything.
put_back_stale
ours=$("$tool" -r "$tree" 2>/dev/null | cut -f1 | sort)
theirs=$(all_files | xargs -0 md5sum | cut -d' ' -f1 | sort)
[ "$ours" = "$theirs" ] || { echo "md5refresh -r and md5sum disagree" >&2; exit 1; }

declare -A times
for ((run = 0; run < runs; run++)); do
    for name in "${names[@]}"; do
        case $name in stale | baseline) put_back_stale ;; esac
        start=$(date +%s.%N)
        run_tool "$name" >/dev/null 2>&1
        end=$(date +%s.%N)
        times[$name]+="$(echo "$end - $start" | bc) "
    done
done
declare -A medians
for name in "${names[@]}"; do
    medians[$name]=$(echo "${times[$name]}" | median)
    printf '%-12s median %8.3f s   runs: %s\n' "$name" "${medians[$name]}" "${times[$name]}"
done
ratio() {  # NAME and the medians it is divided by, added up
    local sum=0 name
    for name in "${@:2}"; do
        [ -z "${medians[$name]:-}" ] && return
        sum=$(echo "$sum + ${medians[$name]}" | bc -l)
    done
    [ -z "${medians[$1]:-}" ] && return
    printf '%-10s / %-16s %.3f\n' "$1" "$(echo "${@:2}" | tr ' ' '+')" "$(echo "${medians[$1]} / $sum" | bc -l)"
}
ratio unchanged check
ratio stale check floor
for ours in unchanged stale check; do
    for name in md5sum md5deep; do ratio "$ours" "$name"; done
done
ratio stale baseline
ratio check baseline-check

# Peak RSS, and the most descriptors open at once, sampled every few ms.
put_back_stale
/usr/bin/time -f '%M' -o "$tree.rss" "$tool" -r "$tree" >/dev/null 2>&1 &
sleep 0.05
pid=$(pgrep -n -f "$tool -r $tree" || true)
most=0
while [ -n "$pid" ] && [ -d "/proc/$pid" ]; do
    open=$( (ls "/proc/$pid/fd" 2>/dev/null || true) | wc -l)
    [ "$open" -gt "$most" ] && most=$open
    sleep 0.005
done
wait
echo "md5refresh -r: peak RSS $(($(cat "$tree.rss") / 1024)) MiB, at most $most descriptors seen open"
