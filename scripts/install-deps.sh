#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks for building and testing, and nothing it has.
set -euo pipefail
packages=(cmake g++ make libgtest-dev libbenchmark-dev npm
          g++-mingw-w64-x86-64 wine64
          libcli11-dev nlohmann-json3-dev
          clang libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "install-deps: installing ${missing[*]}"
    sudo_cmd=""
    [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
    $sudo_cmd apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
bash "$(dirname "$0")/fetch-sqlite.sh"
