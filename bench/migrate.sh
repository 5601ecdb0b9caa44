#!/usr/bin/env bash
# A real local migration on the library beside plain `cp -a` of the same tree, in one run:
# `transferdb migrate SRC DST --data-dir D` against `cp -a SRC DST2`, for trees of small files
# generated on disk. Reports the time ratio (transferdb over cp -a, median over the pairs), the
# same ratio until each side's copy is on disk (transferdb syncs before it records; cp -a is
# followed by a sync), the peak size of the migration database's write-ahead log while transferdb
# runs, and transferdb's peak resident memory (see docs/benchmarks.md).
#   bench/migrate.sh [--quick] [--files "10000 100000"] [--pairs N]
# --quick migrates one tree of 1,000 files in 2 pairs (CI runs it through run.sh --quick);
# --pairs sets the timed pairs of every tree (by default 4 up to 10,000 files, 2 above). The
# trees live in ${TMPDIR:-/tmp}, never in memory; every run's copy stays until the tree's last
# pair (about 4 GB for 100,000 files). Progress goes to stderr, the table to stdout.
set -euo pipefail
cd "$(dirname "$0")/.."

sizes=(10000 100000)
pairs=""
quick=0
while [ $# -gt 0 ]; do
    case $1 in
        --quick)
            quick=1
            sizes=(1000)
            pairs=${pairs:-2}
            ;;
        --files) read -r -a sizes <<<"$2" && shift ;;
        --pairs) pairs=$2 && shift ;;
        *)
            echo "usage: bench/migrate.sh [--quick] [--files \"N ...\"] [--pairs N]" >&2
            exit 2
            ;;
    esac
    shift
done

bash scripts/install-deps.sh
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DDATABASE_BUILD_BENCH=ON \
    -DDATABASE_BUILD_TESTS=OFF -DDATABASE_BUILD_TOOLS=ON >/dev/null
cmake --build build/bench -j"$(nproc)" --target transferdb >&2
tool=$PWD/build/bench/bin/transferdb

work=$(mktemp -d "${TMPDIR:-/tmp}/database-migrate-XXXXXX")
trap 'rm -rf "$work"' EXIT
case $(stat -f -c %T "$work") in
    tmpfs | ramfs) echo "migrate.sh: $work is in memory; set TMPDIR to a folder on disk" >&2 ;;
esac

# A user's folder of `files` files of 1 to 8 KB: 10 subfolders in each of up to 50 folders,
# names with an "ä" in them, one `split` per subfolder so that a tree of 100,000 files takes
# seconds.
make_tree() {
    local root=$1 files=$2
    local top=$((files / 500 > 50 ? 50 : files / 500 < 2 ? 2 : files / 500))
    local folders=$((top * 10))
    local k=0 made=0 count size folder
    while [ "$k" -lt "$folders" ]; do
        count=$(((files - made) / (folders - k)))
        size=$((1024 + (k * 1531) % 7168))
        folder=$root/Projekt_ä_$((k / 10))/Unterordner_$((k % 10))
        mkdir -p "$folder"
        head -c $((count * size)) /dev/urandom | split -a 5 -d -b "$size" - "$folder/Datei_"
        made=$((made + count))
        k=$((k + 1))
    done
}

now() { echo "${EPOCHREALTIME/[.,]/}"; }  # microseconds, without a process of its own

# GNU time reads a run's peak resident set from the kernel when it ends; without it the
# watched run's samples stand alone.
usage=$work/usage
timer=()
[ -x /usr/bin/time ] && timer=(/usr/bin/time -f %M -o "$usage")

# Runs one side into a target and data folder that do not exist yet; prints its milliseconds
# and peak resident KB (0 unknown). The last run's writes go to disk (sync) before the clock
# starts, so that no side pays for the other's. Nothing is deleted between timed runs: where the
# file system discards freed blocks (mounted with discard, as here), a copy right after deleting
# the last one's 100,000 files took eight times as long.
run_side() {
    local side=$1 src=$2 dst=$3 data=${4:-}
    mkdir -p "$(dirname "$dst")"
    if [ -n "$data" ]; then mkdir -p "$data"; fi
    sync
    echo 0 >"$usage"
    local start end
    start=$(now)
    if [ "$side" = transferdb ]; then
        "${timer[@]}" "$tool" migrate "$src" "$dst" --data-dir "$data" >/dev/null 2>"$log" ||
            failed_migration
    else
        "${timer[@]}" cp -a "$src" "$dst"
    fi
    end=$(now)
    # Until the copy is on disk: transferdb has synced each batch before recording it, cp -a
    # leaves its writes to the page cache.
    sync
    durable=$(now)
    check_copy "$src" "$dst"
    echo "$(((end - start) / 1000)) $(tail -n 1 "$usage") $(((durable - start) / 1000))"
}

# transferdb's progress and the library's error lines, shown when it fails.
log=$work/transferdb.log
failed_migration() {
    cat "$log" >&2
    echo "migrate.sh: transferdb migrate failed" >&2
    exit 1
}

# Both sides must leave every file at the target.
check_copy() {
    local want got
    want=$(find "$1" -type f | wc -l)
    got=$(find "$2" -type f | wc -l)
    if [ "$want" != "$got" ]; then
        echo "migrate.sh: $2 holds $got files of $want" >&2
        exit 1
    fi
}

# The untimed first run of transferdb, watched every 10 ms: the largest write-ahead log and
# resident set seen. Printed as "WAL-bytes RSS-KB".
watched_migration() {
    local src=$1 dst=$2 data=$3
    mkdir -p "$data"
    local wal=$data/Voded/Corvanel/corvanel.db-wal
    local peak_wal=0 peak_rss=0 size key value
    "$tool" migrate "$src" "$dst" --data-dir "$data" >/dev/null 2>"$log" &
    local pid=$!
    while kill -0 "$pid" 2>/dev/null; do
        size=$(stat -c %s "$wal" 2>/dev/null || echo 0)
        if [ "$size" -gt "$peak_wal" ]; then peak_wal=$size; fi
        while read -r key value _; do
            if [ "$key" = VmHWM: ] && [ "$value" -gt "$peak_rss" ]; then peak_rss=$value; fi
        done 2>/dev/null <"/proc/$pid/status" || true
        sleep 0.01
    done
    wait "$pid" || failed_migration
    check_copy "$src" "$dst"
    echo "$peak_wal $peak_rss"
}

median() {
    sort -n | awk '{ v[NR] = $1 }
        END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'
}

rows=()
for files in "${sizes[@]}"; do
    n=${pairs:-$((files > 10000 ? 2 : 4))}
    src=$work/source-$files/Benutzer
    echo "migrate.sh: generating $files files" >&2
    make_tree "$src" "$files"
    bytes=$(du -sk "$src" | cut -f1)
    # Both sides once, untimed: the source in the page cache, the binaries loaded.
    echo "migrate.sh: $files files, a warming pass" >&2
    runs=$work/runs-$files
    watched=$(watched_migration "$src" "$runs/warm/target" "$runs/warm/data")
    read -r peak_wal watched_rss <<<"$watched"
    run_side cp "$src" "$runs/warm/copy" >/dev/null
    tool_times=() cp_times=() ratios=() durable_ratios=() tool_rss=0
    for ((p = 0; p < n; p++)); do
        order=(transferdb cp)
        if [ $((p % 2)) -eq 1 ]; then order=(cp transferdb); fi
        for side in "${order[@]}"; do
            if [ "$side" = transferdb ]; then
                result=$(run_side transferdb "$src" "$runs/$p/target" "$runs/$p/data")
                read -r tool_ms rss tool_durable <<<"$result"
                if [ "$rss" -gt "$tool_rss" ]; then tool_rss=$rss; fi
            else
                result=$(run_side cp "$src" "$runs/$p/copy")
                read -r cp_ms _ cp_durable <<<"$result"
            fi
        done
        echo "migrate.sh: $files files, pair $((p + 1)) of $n:" \
            "transferdb ${tool_ms} ms, cp -a ${cp_ms} ms (on disk: ${tool_durable}, ${cp_durable})" >&2
        tool_times+=("$tool_ms") cp_times+=("$cp_ms")
        ratios+=("$(awk -v a="$tool_ms" -v b="$cp_ms" \
            'BEGIN { printf "%.4f", a / (b > 0 ? b : 1) }')")
        durable_ratios+=("$(awk -v a="$tool_durable" -v b="$cp_durable" \
            'BEGIN { printf "%.4f", a / (b > 0 ? b : 1) }')")
    done
    tool_median=$(printf '%s\n' "${tool_times[@]}" | median)
    cp_median=$(printf '%s\n' "${cp_times[@]}" | median)
    ratio=$(printf '%s\n' "${ratios[@]}" | median)
    durable_ratio=$(printf '%s\n' "${durable_ratios[@]}" | median)
    rows+=("$(printf '| %s | %s | %.2f | %.2f | %.3g | %.3g | %.0f | %d |' "$files" \
        "$((bytes / 1024))" "$(awk -v v="$tool_median" 'BEGIN { print v / 1000 }')" \
        "$(awk -v v="$cp_median" 'BEGIN { print v / 1000 }')" "$ratio" "$durable_ratio" \
        "$(awk -v v="$peak_wal" 'BEGIN { print v / 1024 }')" \
        "$(((tool_rss > watched_rss ? tool_rss : watched_rss) / 1024))")")
    rm -rf "$work/source-$files" "$runs"
done

load=$(cut -d' ' -f1-3 /proc/loadavg)
echo
mode=full
if ((quick)); then mode=quick; fi
echo "transferdb migrate against cp -a, $mode sizes, $(nproc) CPUs, load average $load at the end"
echo
echo "| files | MB | transferdb s | cp -a s | time ratio | ratio on disk | peak WAL KB |" \
    "transferdb peak RSS MB |"
echo "|---:|---:|---:|---:|---:|---:|---:|---:|"
printf '%s\n' "${rows[@]}"
