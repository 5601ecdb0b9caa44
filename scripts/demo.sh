#!/usr/bin/env bash
# The main job: builds the library with its tool (without the tests), installs both into
# build/prefix, and runs a real local migration of a folder (default /usr/share/doc, or
# $DEMO_SOURCE) into a target in the temporary folder: a few files fail on purpose, the run
# stops half-way as a crash would, the resume finishes it, the history and the failures are
# printed, verify finds two damaged copies that the resume copies again, and the task's HTML
# report is written. DEMO_KEEP=1 keeps the target, the database and the report for a look
# afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh build
cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=Release -DDATABASE_BUILD_TESTS=OFF >/dev/null
cmake --build build/demo -j"$(nproc)"
cmake --install build/demo --prefix build/prefix >/dev/null
tool=build/prefix/bin/transferdb
source_folder=${DEMO_SOURCE:-/usr/share/doc}

# On the disk, as a real migration: the tool records outcomes in batches, each after one sync.
work=$(mktemp -d "${TMPDIR:-/tmp}/transferdb-demo.XXXXXX")
if [ "${DEMO_KEEP:-0}" = 1 ]; then
    trap 'echo "kept: $work"' EXIT
else
    trap 'rm -rf "$work"' EXIT
fi
data=$work/data
target=$work/target
started=$(date +%s)

# About ten failures in the first half, and the interruption in the middle.
entries=$(find "$source_folder" \( -type f -o -type l -o -type d -empty \) 2>/dev/null | wc -l)
stop_after=$((entries / 2 > 0 ? entries / 2 : 1))
fail_every=$((entries / 20 > 0 ? entries / 20 : 1))

expect() {  # expect CODE COMMAND...: runs the tool, which must end with CODE
    local want=$1 got=0
    shift
    "$tool" "$@" --data-dir "$data" || got=$?
    if [ "$got" != "$want" ]; then
        echo "demo: transferdb $1 ended with $got, not $want" >&2
        exit 1
    fi
}

echo
echo "== migrate $source_folder ($entries entries) into $target"
echo "   every ${fail_every}th file fails; the run stops after $stop_after entries as a crash would"
expect 4 migrate "$source_folder" "$target" --fail-every "$fail_every" --stop-after "$stop_after"
echo
echo "== the history after the interruption"
expect 0 history
echo
echo "== resume"
expect 3 resume "$source_folder" "$target"
echo
echo "== the history"
expect 0 history
echo
echo "== the failures of task 1"
expect 0 failures 1
echo
echo "== what TARGET lacks: exactly those failures"
diff -rq --no-dereference "$source_folder" "$target" || true
echo
echo "== verify: every copy recorded is its source"
expect 0 verify "$source_folder" "$target"
# Two copies damaged after the migration, as a failing disk or a user would: one cut short, one
# deleted. verify finds them and marks them; the resume copies them again.
mapfile -t copies < <(find "$target" -type f -size +0 | sort | head -n 2)
if [ "${#copies[@]}" -eq 2 ]; then
    echo
    echo "== ${copies[0]#"$target"/} cut short, ${copies[1]#"$target"/} deleted: verify finds them"
    truncate -s 0 "${copies[0]}"
    rm "${copies[1]}"
    expect 3 verify "$source_folder" "$target"
    echo
    echo "== resume copies them again"
    expect 3 resume "$source_folder" "$target"
    expect 0 verify "$source_folder" "$target"
fi
echo
echo "== the report of task 1, to open in a browser"
expect 0 report 1 -o "$work/report.html"
echo
echo "demo: $(($(date +%s) - started)) s after the build"
