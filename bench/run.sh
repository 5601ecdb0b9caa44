#!/usr/bin/env bash
# Builds the benchmarks (Release, in build/bench) and runs them: every library path beside the
# same work done straight with SQLite, in one run, ending in a table of rows per second and
# ratios (see docs/benchmarks.md).
#   bench/run.sh [--quick] [--synchronous=LEVEL] [Google Benchmark flags, e.g.
#                --benchmark_filter=InsertFileInfo]
# --quick runs small sizes in well under two minutes, then bench/migrate.sh on a small tree;
# CI runs it so that the benchmarks and the script build and pass their own checks. The full
# migration comparison is bench/migrate.sh on its own. Progress goes to stderr, the tables to
# stdout.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
# The tool is configured too, so that migrate.sh builds it in the same tree.
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DDATABASE_BUILD_BENCH=ON \
    -DDATABASE_BUILD_TESTS=OFF -DDATABASE_BUILD_TOOLS=ON >/dev/null
cmake --build build/bench -j"$(nproc)" --target database_bench
build/bench/bin/database_bench "$@"
for arg in "$@"; do
    if [ "$arg" = --quick ]; then bash bench/migrate.sh --quick; fi
done
