#!/usr/bin/env bash
# Times reading and writing a 6000 x 4000 24-bit bitmap file here, with Pillow and with
# OpenCV, in the same run, and prints the medians side by side (milliseconds).
#
#   scripts/compare-bmp.sh [BUILD_DIR]     (default build-bench, configured here)
#
# Ours: BM_ReadBmp24File (read the file and decode) and BM_WriteBmp24File (encode and
# write) from bench_bmp; BM_SavePictureFile adds the program's safe save (flush to disk,
# rename). Pillow: Image.open + load, Image.save. OpenCV: cv2.imread, cv2.imwrite.
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build-bench}"
reps="${PW_BENCH_REPETITIONS:-7}"
# Debian's interpreter carries python3-pil and python3-opencv.
py=/usr/bin/python3
[ -x "$py" ] || py=python3

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPW_BUILD_BENCH=ON >/dev/null
cmake --build "$dir" --target bench_bmp -j 2 >/dev/null

ours="$(mktemp)"
work="$(mktemp -d)"
trap 'rm -rf "$ours" "$work"' EXIT
"$dir/bench/bench_bmp" --benchmark_filter='File|8Bit' --benchmark_repetitions="$reps" \
    --benchmark_report_aggregates_only=true --benchmark_format=json >"$ours" 2>/dev/null

"$py" - "$ours" "$reps" "$work" <<'PYEOF'
import json, os, statistics, sys, time
import numpy as np

ours_file, reps, work = sys.argv[1], int(sys.argv[2]), sys.argv[3]
median = {}
for b in json.load(open(ours_file))["benchmarks"]:
    if b.get("aggregate_name") == "median":
        median[b["run_name"].replace("BM_", "").replace("/real_time", "")] = b["real_time"]

def timed(fn):
    fn()
    times = []
    for _ in range(reps):
        t = time.perf_counter()
        fn()
        times.append((time.perf_counter() - t) * 1000)
    return statistics.median(times)

rng = np.random.default_rng(1)
h, w = 4000, 6000
img = np.clip(np.linspace(0, 255, w)[None, :, None] + rng.integers(-4, 5, size=(h, w, 3)), 0, 255).astype(np.uint8)
src = os.path.join(work, "src.bmp")
out = os.path.join(work, "out.bmp")
rows = []
try:
    from PIL import Image
    pil = Image.fromarray(img)
    pil.save(src)
    rows.append(("Pillow", timed(lambda: Image.open(src).load()), timed(lambda: pil.save(out))))
except ImportError:
    pass
try:
    import cv2
    cv2.imwrite(src, img)
    rows.append(("OpenCV", timed(lambda: cv2.imread(src)), timed(lambda: cv2.imwrite(out, img))))
except ImportError:
    pass

print(f"{'6000 x 4000, 24-bit BMP':<28}{'read ms':>10}{'write ms':>10}")
read, write = median.get("ReadBmp24File"), median.get("WriteBmp24File")
print(f"{'Pixelwright':<28}{read:>10.1f}{write:>10.1f}")
for name, r, wr in rows:
    print(f"{name:<28}{r:>10.1f}{wr:>10.1f}")
if rows:
    best_r = min(r for _, r, _ in rows)
    best_w = min(wr for _, _, wr in rows)
    print(f"{'ratio to the faster':<28}{read / best_r:>10.2f}{write / best_w:>10.2f}")
if "SavePictureFile" in median:
    print(f"Pixelwright safe save (flush + rename): {median['SavePictureFile']:.1f} ms")
for key in ("To8BitHalftone", "From8BitTo24"):
    if key in median:
        print(f"Pixelwright {key}: {median[key]:.1f} ms")
PYEOF
