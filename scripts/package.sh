#!/usr/bin/env bash
# Builds the packages into build/packages:
#   linux    database_<version>_amd64.deb: the library, its headers, the CMake package and
#            transferdb, for /usr
#   windows  DataBase-<version>-windows-x64.zip: the four DLLs, their import libraries, the
#            headers, the CMake package and transferdb.exe, cross-built with mingw-w64
# Both by default; name one to build only it. The version is the project's (project(VERSION) in
# CMakeLists.txt). Each is built in build/package-linux or build/package-windows (Release,
# without the tests), or in the folder named by LINUX_BUILD or WINDOWS_BUILD when that folder is
# configured already: scripts/test.sh passes its own, so that nothing is built twice.
set -euo pipefail
cd "$(dirname "$0")/.."
platforms=("$@")
[ ${#platforms[@]} -gt 0 ] || platforms=(linux windows)
out=$PWD/build/packages
mkdir -p "$out"

package() {  # package DIR CMAKE-OPTIONS...: configures DIR unless it is, builds, runs CPack
    local dir=$1
    shift
    if [ ! -f "$dir/CMakeCache.txt" ]; then
        cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DDATABASE_BUILD_TESTS=OFF "$@" >/dev/null
    fi
    cmake --build "$dir" -j"$(nproc)"
    cpack --config "$dir/CPackConfig.cmake" -B "$out" >/dev/null
    rm -rf "$out/_CPack_Packages"
}

for platform in "${platforms[@]}"; do
    case "$platform" in
        linux)
            bash scripts/install-deps.sh build
            package "${LINUX_BUILD:-build/package-linux}"
            ;;
        windows)
            bash scripts/install-deps.sh build windows
            package "${WINDOWS_BUILD:-build/package-windows}" \
                -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake"
            ;;
        *)
            echo "package: unknown platform $platform (linux, windows)" >&2
            exit 2
            ;;
    esac
done
ls -1 "$out"
