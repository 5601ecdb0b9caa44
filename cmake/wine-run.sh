#!/usr/bin/env bash
# Runs a Windows program under Wine for ctest (Debian's loader is not on PATH).
wine=${WINELOADER:-/usr/lib/wine/wine64}
export WINEDEBUG=${WINEDEBUG:--all}
for arg in "$@"; do
    if [ "$arg" = --gtest_list_tests ]; then
        # msvcrt writes CRLF to a pipe; CMake's reader of the test list would keep the CR in
        # the suite names.
        "$wine" "$@" | tr -d '\r'
        exit "${PIPESTATUS[0]}"
    fi
done
exec "$wine" "$@"
