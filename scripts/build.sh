#!/usr/bin/env bash
# Configures and builds into build/ (or $PW_BUILD_DIR) with Ninja.
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${PW_BUILD_DIR:-build}"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="${PW_BUILD_TYPE:-RelWithDebInfo}" "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
