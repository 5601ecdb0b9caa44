#!/usr/bin/env bash
# Builds and runs every test leg: a Release build, an AddressSanitizer+UndefinedBehaviorSanitizer
# build, the installed package used from outside, and the Windows x64 build (mingw-w64) with its
# tests and its installed package run under Wine, the .deb and .zip packages used from outside,
# a ThreadSanitizer build of the concurrency tests, the libFuzzer targets run for a bounded time
# each (FUZZ_SECONDS, default 60), and the benchmarks at their small sizes. Name legs to run only
# those:
#   scripts/test.sh [release] [sanitize] [consumer] [windows] [package] [tsan] [fuzz] [bench]
#                   [mutation]
# The mutation leg is not among the defaults: it plants MUTATION_COUNT (default 8) faults in the
# library one at a time and reports how many the tests catch (the workplace's mutate.sh, found
# at $MUTATE or beside the checkout in ../shared/tools/).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)
legs=("$@")
[ ${#legs[@]} -gt 0 ] || legs=(release sanitize consumer windows package tsan fuzz bench)

# Every ctest run's summary is kept, so that the script closes with one count over all legs.
results=$(mktemp)
trap 'rm -f "$results"' EXIT
counted_ctest() { ctest "$@" | tee -a "$results"; }

build() {
    local dir=$1; shift
    cmake -S . -B "$dir" "$@" >/dev/null
    cmake --build "$dir" -j"$jobs"
}

# Debian's wine64 keeps its loader and server out of PATH.
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver

# Runs "$@" with Wine in a throw-away prefix. A persistent server, started with its output away
# from ctest's pipes (or ctest waits for it), spares each test process Wine's start-up; the
# first start builds the prefix, which takes seconds.
with_wine() (
    local home
    home=$(mktemp -d)
    # Wine refuses a HOME that is not the user's own; this one is.
    export HOME=$home WINEPREFIX=$home/prefix WINEDEBUG=-all
    mkdir -p "$WINEPREFIX"
    trap '"$wineserver" -k >/dev/null 2>&1 || true; rm -rf "$home"' EXIT
    "$wineserver" -p </dev/null >/dev/null 2>&1
    "$wine" cmd /c exit </dev/null >/dev/null 2>&1
    "$@"
)

windows_tests() {
    counted_ctest --test-dir build/windows --output-on-failure -j"$jobs"
    # The installed package, from a program outside the project, in a fresh data folder.
    rm -rf "$WINEPREFIX/drive_c/ProgramData/Voded"
    "$wine" build/windows-consumer/consumer.exe </dev/null
}

# The zip's consumer and transferdb.exe, in a fresh data folder.
windows_package() {
    rm -rf "$WINEPREFIX/drive_c/ProgramData/Voded"
    "$wine" build/package-consumer-windows/consumer.exe </dev/null
    "$wine" "$1/bin/transferdb.exe" --version </dev/null | tr -d '\r' | grep -Fx "$2"
}

# Runs the consumer, built in $1 against a package, in a fresh data folder.
run_consumer() {
    local data
    data=$(mktemp -d)
    PROGRAMDATA="$data" VTLOGGER_FILE="$data/log.txt" "$1/consumer"
    rm -rf "$data"
}

toolchain=$PWD/cmake/mingw-w64-x86_64.cmake
for leg in "${legs[@]}"; do
    echo "=== $leg"
    case "$leg" in
        release)
            build build/release -DCMAKE_BUILD_TYPE=Release
            counted_ctest --test-dir build/release --output-on-failure -j"$jobs"
            ;;
        sanitize)
            build build/sanitize -DCMAKE_BUILD_TYPE=Debug -DDATABASE_SANITIZE=address,undefined
            ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
                counted_ctest --test-dir build/sanitize --output-on-failure -j"$jobs"
            ;;
        consumer)
            build build/release -DCMAKE_BUILD_TYPE=Release
            rm -rf build/prefix build/consumer
            cmake --install build/release --prefix build/prefix >/dev/null
            cmake -S tests/consumer -B build/consumer -DCMAKE_PREFIX_PATH="$PWD/build/prefix" >/dev/null
            cmake --build build/consumer -j"$jobs"
            run_consumer build/consumer
            ;;
        windows)
            build build/windows --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
                -DCMAKE_BUILD_TYPE=Release
            rm -rf build/windows-prefix build/windows-consumer
            cmake --install build/windows --prefix build/windows-prefix >/dev/null
            cmake -S tests/consumer -B build/windows-consumer -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
                -DDataBase_DIR="$PWD/build/windows-prefix/lib/cmake/DataBase" >/dev/null
            cmake --build build/windows-consumer -j"$jobs"
            with_wine windows_tests
            ;;
        package)
            # The packages as users get them, made from the builds of the release and windows
            # legs (built here if they are not): the .deb checked by lintian and unpacked into
            # an empty root, the .zip unpacked; against each, tests/consumer is built and run
            # (the Windows one under Wine), and its transferdb says the project's version.
            build build/release -DCMAKE_BUILD_TYPE=Release >/dev/null
            build build/windows --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
                -DCMAKE_BUILD_TYPE=Release >/dev/null
            LINUX_BUILD=build/release WINDOWS_BUILD=build/windows bash scripts/package.sh
            version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/release/CMakeCache.txt)
            said="transferdb $version (SQLite $(sed -n 's/^#define SQLITE_VERSION *"\(.*\)"/\1/p' \
                third_party/sqlite/sqlite3.h))"
            deb=build/packages/database_${version}_amd64.deb
            lintian --fail-on error "$deb"
            unpacked=$(mktemp -d)
            dpkg -x "$deb" "$unpacked/deb"
            "$unpacked/deb/usr/bin/transferdb" --version | grep -Fx "$said"
            rm -rf build/package-consumer build/package-consumer-windows
            cmake -S tests/consumer -B build/package-consumer \
                -DCMAKE_PREFIX_PATH="$unpacked/deb/usr" >/dev/null
            cmake --build build/package-consumer -j"$jobs"
            run_consumer build/package-consumer
            zip=$PWD/build/packages/DataBase-$version-windows-x64.zip
            mkdir -p "$unpacked/zip"
            (cd "$unpacked/zip" && cmake -E tar xf "$zip")
            zipped=$unpacked/zip/DataBase-$version-windows-x64
            cmake -S tests/consumer -B build/package-consumer-windows \
                -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DDataBase_DIR="$zipped/lib/cmake/DataBase" \
                >/dev/null
            cmake --build build/package-consumer-windows -j"$jobs"
            with_wine windows_package "$zipped" "$said"
            rm -rf "$unpacked"
            ;;
        tsan)
            # The tests that run the library on many threads: the load from two processes, the
            # worker pool, the largest task id asked from two threads at once, start-ups retried
            # together, a fork while another thread writes, a sink that calls the library, a
            # writer that waits for another one, and the connections let go when idle.
            cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=Debug -DDATABASE_SANITIZE=thread >/dev/null
            cmake --build build/tsan -j"$jobs" \
                --target LoadPosixTest ThreadPoolTest TaskRecordsTest FoundationPosixTest FoundationTest
            # Forks from a process with threads are what the fork cases test; the suppression names
            # the one thread a child ended by _exit leaves behind, finished.
            TSAN_OPTIONS="halt_on_error=1 die_after_fork=0 suppressions=$PWD/tests/tsan.supp" \
                counted_ctest --test-dir build/tsan --output-on-failure -j"$jobs" --no-tests=error \
                -R '^(LoadPosixTest|ThreadPoolTest|FoundationPosixTest\..*(Together|Fork)|FoundationTest\..*(Sink|Writer|Idle))'
            ;;
        fuzz)
            # Under AddressSanitizer and UndefinedBehaviorSanitizer, from the committed seeds;
            # new inputs go to a scratch folder. A crash, leak, time-out or failed check stops
            # the target with a non-zero status and leaves the input in build/fuzz/artifacts.
            # The clang leg: the lock rules written on each mutex are checked here, as errors.
            CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
                -DDATABASE_BUILD_FUZZ=ON -DDATABASE_BUILD_TESTS=OFF -DDATABASE_BUILD_TOOLS=OFF \
                -DDATABASE_SANITIZE=address,undefined \
                "-DCMAKE_CXX_FLAGS=-Wthread-safety -Werror=thread-safety" >/dev/null
            cmake --build build/fuzz -j"$jobs" --target SplitPathFuzz QueryDbFuzz DataBase LogHelper
            mkdir -p build/fuzz/artifacts
            for target in SplitPathFuzz QueryDbFuzz; do
                scratch=$(mktemp -d)
                status=0
                # A small quarantine: every operation opens a connection, and fresh pages for
                # each of its allocations would cost more time than the run has.
                ASAN_OPTIONS=quarantine_size_mb=8 "build/fuzz/bin/$target" \
                    -max_total_time="${FUZZ_SECONDS:-60}" -timeout=30 -max_len=16384 \
                    -rss_limit_mb=2048 -print_final_stats=1 \
                    -artifact_prefix="build/fuzz/artifacts/$target-" \
                    "$scratch" "fuzz/corpus/$target" || status=$?
                rm -rf "$scratch"
                [ "$status" -eq 0 ] || exit "$status"
            done
            ;;
        mutation)
            mutate=${MUTATE:-$PWD/../shared/tools/mutate.sh}
            if [ ! -f "$mutate" ]; then
                echo "mutation: no mutate.sh at $mutate (set MUTATE)" >&2
                exit 2
            fi
            bash "$mutate" --project . --count "${MUTATION_COUNT:-8}" --seed "${MUTATION_SEED:-1}"
            ;;
        bench)
            # So that the benchmarks never rot: they build, and every library path and its
            # baseline leave the same result. Their speed is read in a full run, not here.
            bash bench/run.sh --quick
            ;;
        *)
            echo "unknown leg: $leg" >&2
            exit 2
            ;;
    esac
done
echo "all legs passed: ${legs[*]}"
{ grep -oE '[0-9]+ tests failed out of [0-9]+' "$results" || true; } |
    awk '{ failed += $1; total += $6 } END { printf "tests: %d passed, %d failed\n", total - failed, failed }'
