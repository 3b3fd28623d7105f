#!/usr/bin/env bash
# Runs the engine's benchmarks beside OpenCV on pictures of the same size and prints the
# median times side by side (milliseconds, one thread and two).
#
#   scripts/compare-engine.sh [BUILD_DIR]     (default build-bench, configured here)
#
# Point operations: each table operation against cv2.LUT on the same 6000 x 4000 3-channel
# picture; GrayScale against cv2.cvtColor(BGR2GRAY) and Sepia against cv2.transform with a
# 3 x 3 matrix.
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build-bench}"
reps="${PW_BENCH_REPETITIONS:-7}"

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPW_BUILD_BENCH=ON >/dev/null
cmake --build "$dir" --target bench_tone -j 2 >/dev/null

ours="$(mktemp)"
trap 'rm -f "$ours"' EXIT
"$dir/bench/bench_tone" --benchmark_repetitions="$reps" --benchmark_report_aggregates_only=true \
    --benchmark_format=json >"$ours" 2>/dev/null

# Debian's python3-opencv lives beside the system interpreter.
py=python3
[ -x /usr/bin/python3 ] && py=/usr/bin/python3
"$py" - "$ours" "$reps" <<'EOF'
import json, statistics, sys, time
import numpy as np
try:
    import cv2
except ImportError:
    cv2 = None

ours = json.load(open(sys.argv[1]))
reps = int(sys.argv[2])
median = {}
for b in ours["benchmarks"]:
    if b.get("aggregate_name") == "median":
        name = b["run_name"].replace("BM_", "").replace("/real_time", "")
        median[name] = b["real_time"]

def cv_median(fn, threads):
    cv2.setNumThreads(threads)
    fn()
    times = []
    for _ in range(reps):
        t = time.perf_counter()
        fn()
        times.append((time.perf_counter() - t) * 1000)
    return statistics.median(times)

cv = {}
if cv2 is not None:
    rng = np.random.default_rng(1)
    img = rng.integers(0, 256, size=(4000, 6000, 3), dtype=np.uint8)
    lut = np.arange(256, dtype=np.uint8)[::-1].copy()
    dst = np.empty_like(img)
    gray = np.empty((4000, 6000), dtype=np.uint8)
    sepia = np.array([[0.114 * 0.604, 0.587 * 0.604, 0.299 * 0.604],
                      [0.114 * 0.833, 0.587 * 0.833, 0.299 * 0.833],
                      [0.114, 0.587, 0.299]], dtype=np.float32)
    for t in (1, 2):
        cv[("LUT", t)] = cv_median(lambda: cv2.LUT(img, lut, dst=dst), t)
        cv[("cvtColor", t)] = cv_median(lambda: cv2.cvtColor(img, cv2.COLOR_BGR2GRAY, dst=gray), t)
        cv[("transform", t)] = cv_median(lambda: cv2.transform(img, sepia, dst=dst), t)

reference = {"GrayScale": "cvtColor", "Sepia": "transform"}
print(f"{'operation':<22}{'ours 1T':>10}{'ours 2T':>10}{'OpenCV':>12}{'cv 1T':>10}{'cv 2T':>10}{'ratio 1T':>10}{'ratio 2T':>10}")
names = sorted({k.rsplit("/", 1)[0] for k in median})
for name in names:
    a, b = median.get(name + "/1"), median.get(name + "/2")
    ref = reference.get(name, "LUT")
    c1, c2 = cv.get((ref, 1)), cv.get((ref, 2))
    fmt = lambda v: f"{v:10.2f}" if v is not None else f"{'-':>10}"
    r1 = a / c1 if (a and c1) else None
    r2 = b / c2 if (b and c2) else None
    print(f"{name:<22}{fmt(a)}{fmt(b)}{ref:>12}{fmt(c1)}{fmt(c2)}{fmt(r1)}{fmt(r2)}")
if cv2 is None:
    print("(python3-opencv is not installed: no OpenCV column)")
EOF
