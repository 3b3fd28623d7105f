#!/usr/bin/env bash
# Times the engine's neighbourhood filters and geometry on a 6000 × 4000 24-bit picture
# beside the nearest operations of OpenCV, libvips and ImageMagick, with one thread and
# with two, in the same run. Prints the median milliseconds of each.
#
#   scripts/compare-filters.sh [build-folder]    (default: build-bench)
#
# Needs python3-opencv, python3-numpy, libvips-tools and imagemagick (apt-get install).
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build-bench}"
reps="${REPS:-7}"

cmake -S "$root" -B "$build" -G Ninja -DPW_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target bench_filters -j2 >/dev/null

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

"$build/bench/bench_filters" --benchmark_format=json --benchmark_out="$work/ours.json" \
    --benchmark_out_format=json >/dev/null

/usr/bin/python3 - "$work" "$reps" <<'EOF'
import json, os, statistics, subprocess, sys, time

import cv2
import numpy as np

work, reps = sys.argv[1], int(sys.argv[2])
W, H = 6000, 4000

# A photograph-like picture of the same kind the engine benchmark uses.
rng = np.random.default_rng(7)
noise = rng.integers(-12, 13, size=(H, W), dtype=np.int32)
x = np.arange(W, dtype=np.int32)[None, :]
y = np.arange(H, dtype=np.int32)[:, None]
img = np.empty((H, W, 3), np.uint8)
img[..., 0] = np.clip(x * 255 // W + noise, 0, 255)
img[..., 1] = np.clip(y * 255 // H + noise, 0, 255)
img[..., 2] = np.clip((x // 7 + y // 5) % 256 + noise, 0, 255)
ppm = os.path.join(work, "in.ppm")
cv2.imwrite(ppm, img)
vimg = os.path.join(work, "in.v")
subprocess.run(["vips", "copy", ppm, vimg], check=True)

def median_ms(fn, clock=time.perf_counter):
    fn()
    times = []
    for _ in range(reps):
        t = clock()
        fn()
        times.append((clock() - t) * 1000)
    return statistics.median(times)

sharpen = np.array([[0, -1, 0], [-1, 5, -1], [0, -1, 0]], np.float32)

def pixelate(a, block=10):
    small = cv2.resize(a, (W // block, H // block), interpolation=cv2.INTER_NEAREST)
    return cv2.resize(small, (W, H), interpolation=cv2.INTER_NEAREST)

# OpenCV writes into outputs allocated once, as our operations reuse picture memory: a
# fresh 72 MB output per call would charge it page faults ours do not pay.
out_same = np.empty_like(img)
out_gx = np.empty(img.shape, np.int16)
out_gy = np.empty(img.shape, np.int16)
out_abs_x = np.empty_like(img)
out_abs_y = np.empty_like(img)
out_turn = np.empty((W, H, 3), np.uint8)
out_small = np.empty((H // 10, W // 10, 3), np.uint8)
out_size = {s: np.empty((s[1], s[0], 3), np.uint8)
            for s in [(9000, 6000), (12000, 8000), (3000, 2000), (1920, 1280)]}

def pixelate(a, block=10):
    cv2.resize(a, (W // block, H // block), dst=out_small, interpolation=cv2.INTER_NEAREST)
    return cv2.resize(out_small, (W, H), dst=out_same, interpolation=cv2.INTER_NEAREST)

def sobel():
    cv2.Sobel(img, cv2.CV_16S, 1, 0, dst=out_gx)
    cv2.Sobel(img, cv2.CV_16S, 0, 1, dst=out_gy)
    cv2.convertScaleAbs(out_gx, dst=out_abs_x)
    cv2.convertScaleAbs(out_gy, dst=out_abs_y)
    return cv2.addWeighted(out_abs_x, 0.5, out_abs_y, 0.5, 0, dst=out_same)

def resize(size, how):
    return lambda: cv2.resize(img, size, dst=out_size[size], interpolation=how)

cv_ops = {
    "Blur": lambda: cv2.blur(img, (3, 3), dst=out_same),
    "Edge": lambda: cv2.filter2D(img, -1, sharpen, dst=out_same),
    "Median": lambda: cv2.medianBlur(img, 3, dst=out_same),
    "Sobel": sobel,
    "Mosaic": lambda: pixelate(img),
    "Turn90": lambda: cv2.rotate(img, cv2.ROTATE_90_CLOCKWISE, dst=out_turn),
    "Turn180": lambda: cv2.rotate(img, cv2.ROTATE_180, dst=out_same),
    "Reverse": lambda: cv2.flip(img, 1, dst=out_same),
    "Enlarge 9000x6000": resize((9000, 6000), cv2.INTER_LINEAR),
    "Enlarge 12000x8000": resize((12000, 8000), cv2.INTER_LINEAR),
    "Shrink 3000x2000": resize((3000, 2000), cv2.INTER_AREA),
    "Shrink 1920x1280": resize((1920, 1280), cv2.INTER_AREA),
}

def vips(args, threads):
    env = dict(os.environ, VIPS_CONCURRENCY=str(threads))
    out = os.path.join(work, "out.v")
    return lambda: subprocess.run(["vips"] + args(out), env=env, check=True)

vips_ops = {
    "Sobel": lambda o: ["sobel", vimg, o],
    "Median": lambda o: ["rank", vimg, o, "3", "3", "4"],
    "Turn90": lambda o: ["rot", vimg, o, "d90"],
    "Reverse": lambda o: ["flip", vimg, o, "horizontal"],
}

def magick(args, threads):
    out = os.path.join(work, "out.ppm")
    return lambda: subprocess.run(["convert", "-limit", "thread", str(threads), ppm] + args + [out],
                                  check=True)

magick_ops = {
    "Median": ["-statistic", "Median", "3x3"],
    "Turn90": ["-rotate", "90"],
    "Reverse": ["-flop"],
}

ours = {}
for b in json.load(open(os.path.join(work, "ours.json")))["benchmarks"]:
    if b.get("aggregate_name") != "median":
        continue
    name, threads = b["run_name"].split("/")[0][3:], int(b["run_name"].split("/")[1])
    ours[(name, threads)] = b["real_time"]
    if threads == 1:
        ours[(name, "cpu")] = b["cpu_time"]

names = {"Blur": "Blur", "Edge": "Edge", "Median": "Median100", "Sobel": "SobelOverlay",
         "Mosaic": "Mosaic10", "Turn90": "Turn90", "Turn180": "Turn180", "Reverse": "Reverse",
         "Enlarge 9000x6000": "EnlargeTo9000x6000", "Enlarge 12000x8000": "EnlargeTo12000x8000",
         "Shrink 3000x2000": "ShrinkTo3000x2000", "Shrink 1920x1280": "ShrinkTo1920x1280"}

def fmt(v):
    return "%9.1f" % v if v is not None else "        -"

# Wall-clock times suffer on a busy machine; the one-thread CPU times (thread CPU time of
# the calling thread, which is where both run with one thread) compare fairly there too.
print("median ms on %dx%d, 24-bit; libvips and ImageMagick include process start and file I/O" % (W, H))
print("%-20s %9s %9s %9s %9s %9s %9s %9s %9s %9s %9s" % (
    "operation", "ours/1", "cpu/1", "ours/2", "cv2/1", "cpu/1", "cv2/2", "vips/1", "vips/2",
    "magick/1", "magick/2"))
for op, ourname in names.items():
    row = [ours.get((ourname, 1)), ours.get((ourname, "cpu")), ours.get((ourname, 2))]
    cv2.setNumThreads(1)
    row.append(median_ms(cv_ops[op]) if op in cv_ops else None)
    row.append(median_ms(cv_ops[op], time.thread_time) if op in cv_ops else None)
    cv2.setNumThreads(2)
    row.append(median_ms(cv_ops[op]) if op in cv_ops else None)
    for t in (1, 2):
        row.append(median_ms(vips(vips_ops[op], t)) if op in vips_ops else None)
    for t in (1, 2):
        row.append(median_ms(magick(magick_ops[op], t)) if op in magick_ops else None)
    print("%-20s %s" % (op, " ".join(fmt(v) for v in row)))
if ("Median50", 1) in ours:
    print("%-20s %s %s %s" % ("Median (level 50)", fmt(ours[("Median50", 1)]),
                              fmt(ours[("Median50", "cpu")]), fmt(ours[("Median50", 2)])))
EOF
