#!/usr/bin/env bash
# The main job: builds the library and installs it into build/prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j"$(nproc)"
cmake --install build/release --prefix build/prefix
echo "installed into build/prefix"
