#!/usr/bin/env bash
# Sets up, builds and starts Pixelwright, optionally with a picture: scripts/run.sh [PICTURE]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh -DPW_BUILD_TESTS=OFF -DPW_BUILD_BENCH=OFF
exec ./build/src/pixelwright "$@"
