#!/usr/bin/env bash
# Sets up, builds and runs every test headless (Qt's offscreen platform).
# PW_SANITIZE=1 builds into build-asan/ with AddressSanitizer and UBSan instead.
# PW_REQUIRE_TOOLS=1 (set by .ci/run) turns a test's skip for a missing outside tool
# (ImageMagick, Pillow, djpeg, giftext, emf2svg-conv, wmf2svg, ...) into a failure.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
export QT_QPA_PLATFORM=offscreen
export PW_REQUIRE_TOOLS="${PW_REQUIRE_TOOLS:-0}"
export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$(mktemp -d)}"
chmod 700 "$XDG_RUNTIME_DIR"
if [ "${PW_SANITIZE:-0}" = 1 ]; then
    export PW_BUILD_DIR=build-asan
    export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
    export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
    bash scripts/build.sh -DPW_SANITIZE=ON -DPW_BUILD_BENCH=OFF
else
    export PW_BUILD_DIR=build
    bash scripts/build.sh
fi
cd "$PW_BUILD_DIR"
ctest --output-on-failure -j "$(nproc)" "$@"
