#!/usr/bin/env bash
# A real local migration on the library beside plain `cp -a` and `rsync -a` of the same tree, in
# one run: `transferdb migrate SRC DST --data-dir D` against `cp -a SRC DST2` and `rsync -a SRC/
# DST3`, for trees of small files generated on disk and one tree of a few large files. Reports
# each side's time, transferdb's time ratios (median over the rounds) to each, the same ratio to
# cp -a until each side's copy is on disk (transferdb syncs before it records; cp -a is followed
# by a sync), the peak size of the migration database's write-ahead log, and the peak resident
# memory of transferdb's migrate, of a migrate stopped half-way and of the resume that finishes
# it, of cp -a and of rsync -a (see docs/benchmarks.md). Then `transferdb verify SRC DST` of the
# migrated tree beside `diff -rq` (every byte compared, as cmp -s does, in one process) and
# `sha256sum` of both trees in one run, with verify's peak resident memory.
#   bench/migrate.sh [--quick] [--files "10000 100000"] [--large N] [--pairs N]
# --quick migrates one tree of 1,000 files in 2 rounds (CI runs it through run.sh --quick);
# --files the trees of small files; --large N adds a tree of N files of 256 MiB (0: none;
# default 4 in a full run); --pairs sets the timed rounds of every tree (by default 4 up to 10,000
# files, 2 above, 1 from 1,000,000). TRANSFERDB=path runs another build of the tool. The trees
# live in ${TMPDIR:-/tmp}, never in memory; every run's copy stays until the tree's last round
# (a million files take about 6 GB a copy, 36 GB in all). Progress goes to stderr, the table to
# stdout.
set -euo pipefail
cd "$(dirname "$0")/.."

sizes=(10000 100000)
pairs=""
large=4
quick=0
while [ $# -gt 0 ]; do
    case $1 in
        --quick)
            quick=1
            sizes=(1000)
            large=0
            pairs=${pairs:-2}
            ;;
        --files) read -r -a sizes <<<"$2" && shift ;;
        --large) large=$2 && shift ;;
        --pairs) pairs=$2 && shift ;;
        *)
            echo "usage: bench/migrate.sh [--quick] [--files \"N ...\"] [--large N] [--pairs N]" >&2
            exit 2
            ;;
    esac
    shift
done

bash scripts/install-deps.sh build test bench
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DDATABASE_BUILD_BENCH=ON \
    -DDATABASE_BUILD_TESTS=OFF -DDATABASE_BUILD_TOOLS=ON >/dev/null
cmake --build build/bench -j"$(nproc)" --target transferdb >&2
# TRANSFERDB=path measures another build of the tool (an older commit's, say) the same way.
tool=${TRANSFERDB:-$PWD/build/bench/bin/transferdb}

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

# `files` files of 256 MiB, as videos or disk images are.
make_large_tree() {
    local root=$1 files=$2 k
    mkdir -p "$root/Videos"
    for ((k = 0; k < files; k++)); do
        head -c $((256 << 20)) /dev/urandom >"$root/Videos/Aufnahme_$k.mkv"
    done
}

now() { echo "${EPOCHREALTIME/[.,]/}"; }  # microseconds, without a process of its own

# GNU time reads a run's peak resident set from the kernel when it ends.
usage=$work/usage
timer=(/usr/bin/time -f %M -o "$usage")

# Runs one side into a target (and data folder) that do not exist yet; prints its milliseconds,
# its peak resident KB and its milliseconds until its copy is on disk. The last run's writes go
# to disk (sync) before the clock starts, so that no side pays for the other's. Nothing is
# deleted between timed runs: where the file system discards freed blocks (mounted with discard,
# as here), a copy right after deleting the last one's 100,000 files took eight times as long.
run_side() {
    local side=$1 src=$2 dst=$3 data=${4:-}
    mkdir -p "$(dirname "$dst")"
    if [ -n "$data" ]; then mkdir -p "$data"; fi
    sync
    echo 0 >"$usage"
    local start end durable
    start=$(now)
    case $side in
        transferdb)
            "${timer[@]}" "$tool" migrate "$src" "$dst" --data-dir "$data" >/dev/null 2>"$log" ||
                failed_migration
            ;;
        cp) "${timer[@]}" cp -a "$src" "$dst" ;;
        rsync) "${timer[@]}" rsync -a "$src/" "$dst" ;;
    esac
    end=$(now)
    # Until the copy is on disk: transferdb has synced each batch before recording it; cp -a and
    # rsync -a leave their writes to the page cache.
    sync
    durable=$(now)
    check_copy "$src" "$dst"
    echo "$(((end - start) / 1000)) $(tail -n 1 "$usage") $(((durable - start) / 1000))"
}

# transferdb's progress and the library's error lines, shown when it fails.
log=$work/transferdb.log
failed_migration() {
    cat "$log" >&2
    echo "migrate.sh: transferdb failed" >&2
    exit 1
}

# Every side must leave every file at the target.
check_copy() {
    local want got
    want=$(find "$1" -type f | wc -l)
    got=$(find "$2" -type f | wc -l)
    if [ "$want" != "$got" ]; then
        echo "migrate.sh: $2 holds $got files of $want" >&2
        exit 1
    fi
}

# The untimed first run of transferdb, watched every 10 ms: the largest write-ahead log seen,
# and the run's peak resident set. Printed as "WAL-bytes RSS-KB".
watched_migration() {
    local src=$1 dst=$2 data=$3
    mkdir -p "$data"
    local wal=$data/Voded/Corvanel/corvanel.db-wal
    local peak_wal=0 size
    echo 0 >"$usage"
    "${timer[@]}" "$tool" migrate "$src" "$dst" --data-dir "$data" >/dev/null 2>"$log" &
    local pid=$!
    while kill -0 "$pid" 2>/dev/null; do
        size=$(stat -c %s "$wal" 2>/dev/null || echo 0)
        if [ "$size" -gt "$peak_wal" ]; then peak_wal=$size; fi
        sleep 0.01
    done
    wait "$pid" || failed_migration
    check_copy "$src" "$dst"
    echo "$peak_wal $(tail -n 1 "$usage")"
}

# A migration stopped half-way as a crash would, then the resume that finishes it: each one's
# peak resident KB and seconds, as "stopped-KB stopped-ms resume-KB resume-ms".
stopped_and_resumed() {
    local src=$1 dst=$2 data=$3 files=$4 start stopped resumed stopped_kb
    mkdir -p "$data"
    echo 0 >"$usage"
    start=$(now)
    status=0
    "${timer[@]}" "$tool" migrate "$src" "$dst" --data-dir "$data" \
        --stop-after $(((files + 1) / 2)) >/dev/null 2>"$log" || status=$?
    [ "$status" -eq 4 ] || failed_migration
    stopped=$(now)
    stopped_kb=$(tail -n 1 "$usage")
    "${timer[@]}" "$tool" resume "$src" "$dst" --data-dir "$data" >/dev/null 2>"$log" ||
        failed_migration
    resumed=$(now)
    check_copy "$src" "$dst"
    echo "$stopped_kb $(((stopped - start) / 1000)) $(tail -n 1 "$usage") $(((resumed - stopped) / 1000))"
}

median() {
    sort -n | awk '{ v[NR] = $1 }
        END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.4f", a / (b > 0 ? b : 1) }'; }
mb() { awk -v v="$1" 'BEGIN { printf "%.0f", v / 1024 }'; }
seconds() { awk -v v="$1" 'BEGIN { printf "%.2f", v / 1000 }'; }

trees=()
for files in "${sizes[@]}"; do trees+=("small:$files"); done
if [ "$large" -gt 0 ]; then trees+=("large:$large"); fi
# One comparison of SRC and the migrated DST (its task in `data`): prints its milliseconds and
# its peak resident KB. The trees are in the page cache: every side reads them from there.
verify_side() {
    local side=$1 src=$2 dst=$3 data=$4 start end status=0
    echo 0 >"$usage"
    start=$(now)
    case $side in
        transferdb)
            "${timer[@]}" "$tool" verify "$src" "$dst" --data-dir "$data" >/dev/null 2>"$log" ||
                status=$?
            ;;
        diff) "${timer[@]}" diff -rq --no-dereference "$src" "$dst" >/dev/null || status=$? ;;
        sha256sum)
            find "$src" "$dst" -type f -print0 | "${timer[@]}" xargs -0 sha256sum >/dev/null ||
                status=$?
            ;;
    esac
    end=$(now)
    if [ "$status" -ne 0 ]; then
        cat "$log" >&2
        echo "migrate.sh: $side found a difference, or failed ($status)" >&2
        exit 1
    fi
    echo "$(((end - start) / 1000)) $(tail -n 1 "$usage")"
}

times=() memory=() verifies=() done_trees=()
for tree in "${trees[@]}"; do
    # The last tree's files go before the next one is made (deleting a million files takes
    # minutes; the last tree's go after the table).
    if [ ${#done_trees[@]} -gt 0 ]; then rm -rf "${done_trees[@]}" && done_trees=(); fi
    kind=${tree%%:*}
    files=${tree#*:}
    n=${pairs:-$((files >= 1000000 ? 1 : files > 10000 ? 2 : 4))}
    if [ "$kind" = large ]; then n=${pairs:-2}; fi
    name="$files"
    if [ "$kind" = large ]; then name="$files x 256 MiB"; fi
    src=$work/source-$kind-$files/Benutzer
    echo "migrate.sh: generating $name files" >&2
    if [ "$kind" = large ]; then make_large_tree "$src" "$files"; else make_tree "$src" "$files"; fi
    bytes=$(du -sk "$src" | cut -f1)
    runs=$work/runs-$kind-$files
    # transferdb untimed: the source in the page cache, the binary loaded, its log and memory
    # watched; then a migration stopped half-way and resumed.
    echo "migrate.sh: $name files, the untimed passes" >&2
    read -r peak_wal migrate_kb <<<"$(watched_migration "$src" "$runs/warm/target" "$runs/warm/data")"
    read -r stopped_kb stopped_ms resume_kb resume_ms <<<"$(stopped_and_resumed "$src" \
        "$runs/warm/resumed" "$runs/warm/resumed-data" "$files")"
    cp_kb=0 rsync_kb=0
    tool_times=() cp_times=() rsync_times=() ratios=() durable_ratios=() rsync_ratios=()
    for ((p = 0; p < n; p++)); do
        # The order turns each round, so that every side goes first as often.
        order=(transferdb cp rsync)
        order=("${order[@]:$((p % 3))}" "${order[@]:0:$((p % 3))}")
        for side in "${order[@]}"; do
            case $side in
                transferdb)
                    read -r tool_ms rss tool_durable <<<"$(run_side transferdb "$src" \
                        "$runs/$p/target" "$runs/$p/data")"
                    if [ "$rss" -gt "$migrate_kb" ]; then migrate_kb=$rss; fi
                    ;;
                cp)
                    read -r cp_ms rss cp_durable <<<"$(run_side cp "$src" "$runs/$p/copy")"
                    if [ "$rss" -gt "$cp_kb" ]; then cp_kb=$rss; fi
                    ;;
                rsync)
                    read -r rsync_ms rss _ <<<"$(run_side rsync "$src" "$runs/$p/rsync")"
                    if [ "$rss" -gt "$rsync_kb" ]; then rsync_kb=$rss; fi
                    ;;
            esac
        done
        echo "migrate.sh: $name files, round $((p + 1)) of $n: transferdb ${tool_ms} ms," \
            "cp -a ${cp_ms} ms, rsync -a ${rsync_ms} ms (on disk: ${tool_durable}, ${cp_durable})" >&2
        tool_times+=("$tool_ms") cp_times+=("$cp_ms") rsync_times+=("$rsync_ms")
        ratios+=("$(ratio "$tool_ms" "$cp_ms")")
        durable_ratios+=("$(ratio "$tool_durable" "$cp_durable")")
        rsync_ratios+=("$(ratio "$tool_ms" "$rsync_ms")")
    done
    times+=("$(printf '| %s | %s | %s | %s | %s | %.3g | %.3g | %.3g | %.0f |' "$name" \
        "$((bytes / 1024))" \
        "$(seconds "$(printf '%s\n' "${tool_times[@]}" | median)")" \
        "$(seconds "$(printf '%s\n' "${cp_times[@]}" | median)")" \
        "$(seconds "$(printf '%s\n' "${rsync_times[@]}" | median)")" \
        "$(printf '%s\n' "${ratios[@]}" | median)" \
        "$(printf '%s\n' "${durable_ratios[@]}" | median)" \
        "$(printf '%s\n' "${rsync_ratios[@]}" | median)" \
        "$(awk -v v="$peak_wal" 'BEGIN { print v / 1024 }')")")
    # verify of the untimed migration's copy, beside diff -rq and sha256sum, in turning order.
    verify_kb=0 verify_times=() diff_times=() sum_times=() diff_ratios=() sum_ratios=()
    for side in diff transferdb sha256sum; do  # a first pass untimed: all of it in the cache
        verify_side "$side" "$src" "$runs/warm/target" "$runs/warm/data" >/dev/null
    done
    for ((p = 0; p < n; p++)); do
        order=(transferdb diff sha256sum)
        order=("${order[@]:$((p % 3))}" "${order[@]:0:$((p % 3))}")
        for side in "${order[@]}"; do
            read -r ms rss <<<"$(verify_side "$side" "$src" "$runs/warm/target" "$runs/warm/data")"
            case $side in
                transferdb)
                    verify_ms=$ms
                    if [ "$rss" -gt "$verify_kb" ]; then verify_kb=$rss; fi
                    ;;
                diff) diff_ms=$ms ;;
                sha256sum) sum_ms=$ms ;;
            esac
        done
        echo "migrate.sh: $name files, verify round $((p + 1)) of $n: transferdb ${verify_ms} ms," \
            "diff -rq ${diff_ms} ms, sha256sum ${sum_ms} ms" >&2
        verify_times+=("$verify_ms") diff_times+=("$diff_ms") sum_times+=("$sum_ms")
        diff_ratios+=("$(ratio "$verify_ms" "$diff_ms")")
        sum_ratios+=("$(ratio "$verify_ms" "$sum_ms")")
    done
    verifies+=("$(printf '| %s | %s | %s | %s | %s | %.3g | %.3g | %s |' "$name" \
        "$((bytes / 1024))" \
        "$(seconds "$(printf '%s\n' "${verify_times[@]}" | median)")" \
        "$(seconds "$(printf '%s\n' "${diff_times[@]}" | median)")" \
        "$(seconds "$(printf '%s\n' "${sum_times[@]}" | median)")" \
        "$(printf '%s\n' "${diff_ratios[@]}" | median)" \
        "$(printf '%s\n' "${sum_ratios[@]}" | median)" "$(mb "$verify_kb")")")
    per_file() { awk -v kb="$1" -v n="$files" 'BEGIN { printf "%.2f", kb / n }'; }
    memory+=("$(printf '| %s | %s | %s | %s | %s | %s | %s | %s | %s |' "$name" \
        "$(mb "$migrate_kb")" "$(per_file "$migrate_kb")" "$(mb "$stopped_kb")" \
        "$(seconds "$stopped_ms")" "$(mb "$resume_kb")" "$(per_file "$resume_kb")" \
        "$(seconds "$resume_ms")" "$(mb "$cp_kb") / $(mb "$rsync_kb")")")
    done_trees+=("$work/source-$kind-$files" "$runs")
done

load=$(cut -d' ' -f1-3 /proc/loadavg)
echo
mode=full
if ((quick)); then mode=quick; fi
echo "transferdb migrate against cp -a and rsync -a, $mode sizes, $(nproc) CPUs," \
    "load average $load at the end"
echo
echo "| files | MB | transferdb s | cp -a s | rsync -a s | ratio to cp -a |" \
    "ratio on disk | ratio to rsync -a | peak WAL KB |"
echo "|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
printf '%s\n' "${times[@]}"
echo
echo "Peak resident memory: a whole migrate, a migrate stopped half-way and the resume that"
echo "finishes it (with their seconds), cp -a and rsync -a:"
echo
echo "| files | migrate MB | KB/file | stopped MB | stopped s | resume MB | KB/file |" \
    "resume s | cp -a / rsync -a MB |"
echo "|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
printf '%s\n' "${memory[@]}"
echo
echo "transferdb verify of the migrated tree against diff -rq (every byte, as cmp -s) and"
echo "sha256sum of both trees in one run, all reading from the page cache:"
echo
echo "| files | MB | verify s | diff -rq s | sha256sum s | ratio to diff -rq |" \
    "ratio to sha256sum | verify MB |"
echo "|---:|---:|---:|---:|---:|---:|---:|---:|"
printf '%s\n' "${verifies[@]}"
