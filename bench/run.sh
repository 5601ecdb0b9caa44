#!/usr/bin/env bash
# Builds the benchmarks (Release, in build/bench) and runs them: every library path beside the
# same work done straight with SQLite, in one run, ending in a table of rows per second and
# ratios (see docs/benchmarks.md).
#   bench/run.sh [--quick] [Google Benchmark flags, e.g. --benchmark_filter=InsertFileInfo]
# --quick runs small sizes in well under two minutes; CI runs it so that the benchmarks build
# and pass their own checks. Progress goes to stderr, the table to stdout.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DDATABASE_BUILD_BENCH=ON \
    -DDATABASE_BUILD_TESTS=OFF -DDATABASE_BUILD_TOOLS=OFF >/dev/null
cmake --build build/bench -j"$(nproc)" --target database_bench
build/bench/bin/database_bench "$@"
