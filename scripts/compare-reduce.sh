#!/usr/bin/env bash
# Runs the six colour reductions (bench_reduce) beside ImageMagick's -colors 256 (without and
# with Floyd–Steinberg dithering), Pillow's quantize (median cut and fast octree) and pngquant
# on the same photo-like pictures (6000 x 4000 and 1920 x 1080), and prints the median time
# and the PSNR against the original for each, then the speed ratios in this one run.
#
#   scripts/compare-reduce.sh [BUILD_DIR]       (default build-reduce-bench, configured here)
#
# PW_BENCH_REPETITIONS (default 5) sets the runs per measurement. Times are medians of wall
# clock and of CPU time; the ratios use CPU time, which a busy machine disturbs least (it sums
# the threads of a tool that uses several). ImageMagick's time is the command's minus the
# same command without the reduction (reading and writing the PPM); pngquant's includes its
# PNG reading and writing, which cannot be separated.
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build-reduce-bench}"
reps="${PW_BENCH_REPETITIONS:-5}"
convert="${PW_CONVERT:-/usr/bin/convert}"
python="${PW_PYTHON:-/usr/bin/python3}"

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPW_BUILD_BENCH=ON >/dev/null
cmake --build "$dir" --target bench_reduce -j 2 >/dev/null

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
"$dir/bench/bench_reduce" --write-picture=6000x4000:"$work/6000x4000.ppm" \
    --write-picture=1920x1080:"$work/1920x1080.ppm"
"$dir/bench/bench_reduce" --benchmark_repetitions="$reps" --benchmark_report_aggregates_only=true \
    --benchmark_min_time=0 --benchmark_format=json >"$work/ours.json" 2>/dev/null

"$python" - "$work" "$reps" "$convert" <<'PY'
import json, os, resource, statistics, subprocess, sys, time
import numpy as np
from PIL import Image

work, reps, convert = sys.argv[1], int(sys.argv[2]), sys.argv[3]
sizes = ["6000x4000", "1920x1080"]
methods = ["Octree", "MedianCut", "MedianCutVariance", "MedianCutDiffusion",
           "MedianCutVarianceDiffusion", "FixedPalette"]

ours = {}
for b in json.load(open(os.path.join(work, "ours.json")))["benchmarks"]:
    if b.get("aggregate_name") != "median":
        continue
    name, size = b["run_name"].replace("BM_", "").split("/")[:2]
    ours[(name, size)] = (b["real_time"], b["cpu_time"], b.get("PSNR", 0.0))

def psnr(a, b):
    d = a.astype(np.float64) - b.astype(np.float64)
    mse = float(np.mean(d * d))
    return 99.0 if mse == 0 else 10 * np.log10(255.0 * 255.0 / mse)

def children_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime

def run_median(cmd):
    walls, cpus = [], []
    for _ in range(reps):
        c0, t0 = children_cpu(), time.perf_counter()
        subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        walls.append((time.perf_counter() - t0) * 1000)
        cpus.append((children_cpu() - c0) * 1000)
    return statistics.median(walls), statistics.median(cpus)

def call_median(fn):
    walls, cpus = [], []
    result = None
    for _ in range(reps):
        c0, t0 = time.process_time(), time.perf_counter()
        result = fn()
        walls.append((time.perf_counter() - t0) * 1000)
        cpus.append((time.process_time() - c0) * 1000)
    return statistics.median(walls), statistics.median(cpus), result

theirs = {}
for size in sizes:
    src = os.path.join(work, size + ".ppm")
    original = np.asarray(Image.open(src).convert("RGB"))
    out = os.path.join(work, "out.ppm")
    base_wall, base_cpu = run_median([convert, src, out])
    for label, args in (("ImageMagick -colors 256 +dither", ["+dither"]),
                        ("ImageMagick -colors 256 -dither FloydSteinberg", ["-dither", "FloydSteinberg"])):
        wall, cpu = run_median([convert, src] + args + ["-colors", "256", out])
        q = psnr(original, np.asarray(Image.open(out).convert("RGB")))
        theirs[(label, size)] = (wall - base_wall, cpu - base_cpu, q)
    img = Image.open(src).convert("RGB")
    img.load()
    for label, method in (("Pillow quantize MEDIANCUT", Image.Quantize.MEDIANCUT),
                          ("Pillow quantize FASTOCTREE", Image.Quantize.FASTOCTREE)):
        wall, cpu, q = call_median(lambda: img.quantize(256, method=method, dither=Image.Dither.NONE))
        theirs[(label, size)] = (wall, cpu, psnr(original, np.asarray(q.convert("RGB"))))
    png = os.path.join(work, size + ".png")
    img.save(png, compress_level=1)
    qpng = os.path.join(work, "pngquant.png")
    wall, cpu = run_median(["pngquant", "--force", "--output", qpng, "256", png])
    theirs[("pngquant 256 (with PNG i/o)", size)] = (wall, cpu, psnr(original, np.asarray(Image.open(qpng).convert("RGB"))))

print(f"{'method':48} {'size':>10} {'wall ms':>9} {'cpu ms':>9} {'PSNR dB':>8}")
for size in sizes:
    for m in methods:
        w, c, q = ours[(m, size)]
        print(f"{'Pixelwright ' + m:48} {size:>10} {w:9.1f} {c:9.1f} {q:8.2f}")
    for (label, s), (w, c, q) in theirs.items():
        if s == size:
            print(f"{label:48} {size:>10} {w:9.1f} {c:9.1f} {q:8.2f}")
    print()

print("ratios (CPU time; below 1 means Pixelwright is faster):")
for size in sizes:
    plain = theirs[("ImageMagick -colors 256 +dither", size)][1]
    dither = theirs[("ImageMagick -colors 256 -dither FloydSteinberg", size)][1]
    for i, m in enumerate(methods):
        ref, label = (plain, "+dither") if i < 3 else (dither, "FloydSteinberg")
        print(f"  {size} {m:28} / ImageMagick {label:15} = {ours[(m, size)][1] / ref:6.3f}")
    octree = theirs[("Pillow quantize FASTOCTREE", size)][1]
    print(f"  {size} {'Octree':28} / Pillow FASTOCTREE          = {ours[('Octree', size)][1] / octree:6.3f}  (target <= 2)")
PY
