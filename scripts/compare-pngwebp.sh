#!/bin/sh
# Times our PNG and WebP codecs beside Pillow and OpenCV on the same 6000 x 4000 photo:
# bench_png writes the files it decodes to the temporary folder, then Pillow and OpenCV
# decode those very files and encode the same pixels with their default settings.
# Reports wall and CPU times (best of 3) and the file sizes.
# Usage: scripts/compare-pngwebp.sh [build folder]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-bench}
tmp=${TMPDIR:-/tmp}

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPW_BUILD_BENCH=ON >/dev/null
cmake --build "$build" --target bench_png -j2 >/dev/null

echo "== ours (bench_png; real time = wall, CPU = this process) =="
"$build/bench/bench_png" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true

if ! /usr/bin/python3 -c 'import PIL, cv2' 2>/dev/null; then
    echo "Pillow or OpenCV missing (python3-pil, python3-opencv): comparison skipped"
    exit 0
fi
/usr/bin/python3 - "$tmp" <<'PYEOF'
import io, os, sys, time
import cv2
from PIL import Image
tmp = sys.argv[1]
png = os.path.join(tmp, "pw-bench-photo.png")
lossy = os.path.join(tmp, "pw-bench-photo-q90.webp")
lossless = os.path.join(tmp, "pw-bench-photo-lossless.webp")

def best(f, n=3):
    wall = cpu = 1e9
    result = None
    for _ in range(n):
        t0, c0 = time.perf_counter(), time.process_time()
        result = f()
        wall = min(wall, time.perf_counter() - t0)
        cpu = min(cpu, time.process_time() - c0)
    return wall * 1e3, cpu * 1e3, result

def row(name, wall, cpu, size=None):
    extra = "" if size is None else ", %.2f MB" % (size / 1e6)
    print("%-34s %7.0f ms wall %7.0f ms CPU%s" % (name, wall, cpu, extra))

def pil_open(path):
    im = Image.open(path)
    im.load()
    return im

for label, path in (("PNG", png), ("WebP q90", lossy), ("WebP lossless", lossless)):
    w, c, im = best(lambda: cv2.imread(path, cv2.IMREAD_COLOR))
    row("OpenCV decode " + label, w, c)
    w, c, pim = best(lambda: pil_open(path))
    row("Pillow decode " + label, w, c)

rgb = pil_open(png).convert("RGB")
bgr = cv2.imread(png, cv2.IMREAD_COLOR)
w, c, buf = best(lambda: cv2.imencode(".png", bgr)[1])
row("OpenCV encode PNG (default)", w, c, len(buf))
def pil_save(**kw):
    b = io.BytesIO()
    rgb.save(b, **kw)
    return b.getbuffer().nbytes
w, c, n = best(lambda: pil_save(format="PNG"), 1)
row("Pillow encode PNG (default)", w, c, n)
w, c, buf = best(lambda: cv2.imencode(".webp", bgr, [cv2.IMWRITE_WEBP_QUALITY, 90])[1], 2)
row("OpenCV encode WebP q90", w, c, len(buf))
w, c, n = best(lambda: pil_save(format="WEBP", quality=90), 2)
row("Pillow encode WebP q90", w, c, n)
w, c, n = best(lambda: pil_save(format="WEBP", lossless=True), 1)
row("Pillow encode WebP lossless", w, c, n)
PYEOF
