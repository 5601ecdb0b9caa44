#!/usr/bin/env bash
# The main job: builds the library with its tool, installs both into build/prefix, and runs a
# real local migration of a folder (default /usr/share/doc, or $DEMO_SOURCE) into a temporary
# target: a few files fail on purpose, the run stops half-way as a crash would, the resume
# finishes it, and the history and the failures are printed. DEMO_KEEP=1 keeps the target and
# the database for a look afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j"$(nproc)"
cmake --install build/release --prefix build/prefix >/dev/null
tool=build/prefix/bin/transferdb
source_folder=${DEMO_SOURCE:-/usr/share/doc}

# The library commits every operation on a connection of its own, a few disk syncs per file:
# in memory where there is a memory-backed folder, the demo does not wait for the disk.
base=${TMPDIR:-/tmp}
[ -d /dev/shm ] && [ -w /dev/shm ] && base=/dev/shm
work=$(mktemp -d "$base/transferdb-demo.XXXXXX")
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
echo "demo: $(($(date +%s) - started)) s after the build"
