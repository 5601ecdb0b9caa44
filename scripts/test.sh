#!/usr/bin/env bash
# Builds and runs every test leg: a Release build, an AddressSanitizer+UndefinedBehaviorSanitizer
# build, and the installed package used from outside. Name legs to run only those:
#   scripts/test.sh [release] [sanitize] [consumer]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)
legs=("$@")
[ ${#legs[@]} -gt 0 ] || legs=(release sanitize consumer)

build() {
    local dir=$1; shift
    cmake -S . -B "$dir" "$@" >/dev/null
    cmake --build "$dir" -j"$jobs"
}

for leg in "${legs[@]}"; do
    echo "=== $leg"
    case "$leg" in
        release)
            build build/release -DCMAKE_BUILD_TYPE=Release
            ctest --test-dir build/release --output-on-failure -j"$jobs"
            ;;
        sanitize)
            build build/sanitize -DCMAKE_BUILD_TYPE=Debug -DDATABASE_SANITIZE=address,undefined
            ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
                ctest --test-dir build/sanitize --output-on-failure -j"$jobs"
            ;;
        consumer)
            build build/release -DCMAKE_BUILD_TYPE=Release
            rm -rf build/prefix build/consumer
            cmake --install build/release --prefix build/prefix >/dev/null
            cmake -S tests/consumer -B build/consumer -DCMAKE_PREFIX_PATH="$PWD/build/prefix" >/dev/null
            cmake --build build/consumer -j"$jobs"
            data=$(mktemp -d)
            PROGRAMDATA="$data" VTLOGGER_FILE="$data/log.txt" build/consumer/consumer
            rm -rf "$data"
            ;;
        *)
            echo "unknown leg: $leg" >&2
            exit 2
            ;;
    esac
done
echo "all legs passed: ${legs[*]}"
