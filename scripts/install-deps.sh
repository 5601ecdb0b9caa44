#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks, and nothing it has. A tool counts as present when
# its command is there, however it was installed (npm may come with nodejs); a library when its
# Debian package is. Profiles, any number of them:
#   build    the library and transferdb: cmake, g++, make, npm (which fetches SQLite), CLI11,
#            nlohmann/json; what scripts/demo.sh needs
#   windows  the mingw-w64 cross compilers, for the Windows package (scripts/package.sh)
#   test     the rest of scripts/test.sh: GoogleTest, Google Benchmark, clang with its sanitizer
#            runtime, the mingw-w64 cross compilers, Wine, Chromium (the report's tests load the
#            report in it) and lintian (which checks the .deb)
#   bench    what bench/migrate.sh sets transferdb beside: rsync, and GNU time for peak memory
# Without a profile, build and test.
set -euo pipefail
profiles=("$@")
[ ${#profiles[@]} -gt 0 ] || profiles=(build test)
missing=()
need_command() { command -v "$1" >/dev/null 2>&1 || [ -x "$1" ] || missing+=("$2"); }
need_package() { dpkg -s "$1" >/dev/null 2>&1 || missing+=("$1"); }

for profile in "${profiles[@]}"; do
    case "$profile" in
        build)
            need_command cmake cmake
            need_command g++ g++
            need_command make make
            need_command npm npm
            need_package libcli11-dev
            need_package nlohmann-json3-dev
            ;;
        windows)
            need_command x86_64-w64-mingw32-g++-posix g++-mingw-w64-x86-64
            ;;
        test)
            need_command clang++ clang
            need_command x86_64-w64-mingw32-g++-posix g++-mingw-w64-x86-64
            need_command /usr/lib/wine/wine64 wine64
            need_command chromium chromium
            need_command lintian lintian
            need_package libgtest-dev
            need_package libbenchmark-dev
            need_package libclang-rt-14-dev
            ;;
        bench)
            need_command rsync rsync
            need_command /usr/bin/time time
            ;;
        *)
            echo "install-deps: unknown profile $profile (build, windows, test, bench)" >&2
            exit 2
            ;;
    esac
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "install-deps: installing ${missing[*]}"
    sudo_cmd=""
    [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
    $sudo_cmd apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
fi
bash "$(dirname "$0")/fetch-sqlite.sh"
