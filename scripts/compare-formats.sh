#!/bin/sh
# Times our JPEG and GIF codecs beside other implementations on the same pictures:
# djpeg/cjpeg (inside bench_jpeg), giflib (a small C program built here), Pillow and
# ImageMagick. Usage: scripts/compare-formats.sh [build folder]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-bench}
tmp=${TMPDIR:-/tmp}

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPW_BUILD_BENCH=ON >/dev/null
cmake --build "$build" --target bench_jpeg bench_gif -j2 >/dev/null

echo "== JPEG 6000 x 4000 (ours vs djpeg/cjpeg, wall time) =="
"$build/bench/bench_jpeg" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true

echo "== GIF 2000 x 1500, 256 colours (ours) =="
"$build/bench/bench_gif" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true
gif=$tmp/pw-bench-256.gif

# giflib: decode with DGifSlurp, encode the decoded picture with EGifSpew.
if [ -f /usr/include/gif_lib.h ]; then
    cat >"$tmp/pw-giflib-bench.c" <<'CEOF'
#include <gif_lib.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
static double now(void) { struct timespec t; clock_gettime(CLOCK_MONOTONIC, &t); return t.tv_sec * 1e3 + t.tv_nsec / 1e6; }
static int sink(GifFileType *g, const GifByteType *b, int n) { (void)g; (void)b; return n; }
int main(int argc, char **argv) {
    int err, runs = 10;
    double best_dec = 1e9, best_enc = 1e9;
    for (int r = 0; r < runs; ++r) {
        double t0 = now();
        GifFileType *in = DGifOpenFileName(argv[1], &err);
        if (!in || DGifSlurp(in) != GIF_OK) { fprintf(stderr, "giflib cannot read %s\n", argv[1]); return 1; }
        double t1 = now();
        GifFileType *out = EGifOpen(NULL, sink, &err);
        out->SWidth = in->SWidth; out->SHeight = in->SHeight; out->SColorResolution = in->SColorResolution;
        out->SBackGroundColor = in->SBackGroundColor;
        out->SColorMap = in->SColorMap ? GifMakeMapObject(in->SColorMap->ColorCount, in->SColorMap->Colors) : NULL;
        for (int i = 0; i < in->ImageCount; ++i) GifMakeSavedImage(out, &in->SavedImages[i]);
        double t2 = now();
        if (EGifSpew(out) != GIF_OK) { fprintf(stderr, "giflib cannot write\n"); return 1; }
        double t3 = now();
        DGifCloseFile(in, &err);
        if (t1 - t0 < best_dec) best_dec = t1 - t0;
        if (t3 - t2 < best_enc) best_enc = t3 - t2;
    }
    printf("giflib decode %.1f ms, encode %.1f ms (best of %d)\n", best_dec, best_enc, runs);
    return 0;
}
CEOF
    cc -O2 -o "$tmp/pw-giflib-bench" "$tmp/pw-giflib-bench.c" -lgif
    "$tmp/pw-giflib-bench" "$gif"
else
    echo "giflib headers missing (libgif-dev): giflib skipped"
fi

if /usr/bin/python3 -c 'import PIL' 2>/dev/null; then
    /usr/bin/python3 - "$gif" <<'PYEOF'
import io, sys, time
from PIL import Image
path = sys.argv[1]
dec = enc = 1e9
for _ in range(5):
    t0 = time.perf_counter(); im = Image.open(path); im.load(); t1 = time.perf_counter()
    buf = io.BytesIO(); im.save(buf, format="GIF"); t2 = time.perf_counter()
    dec = min(dec, t1 - t0); enc = min(enc, t2 - t1)
print("Pillow decode %.1f ms, encode %.1f ms (best of 5)" % (dec * 1e3, enc * 1e3))
PYEOF
else
    echo "Pillow missing: skipped"
fi

if command -v convert >/dev/null; then
    best() { b=999999; for i in 1 2 3; do s=$(date +%s%N); "$@" >/dev/null 2>&1; e=$(date +%s%N); t=$(( (e - s) / 1000000 )); [ $t -lt $b ] && b=$t; done; echo $b; }
    d=$(best convert "$gif" -depth 8 rgb:/dev/null)
    r=$(best convert "$gif" "$tmp/pw-magick-out.gif")
    echo "ImageMagick decode ${d} ms, decode+encode ${r} ms (process, best of 3)"
fi
