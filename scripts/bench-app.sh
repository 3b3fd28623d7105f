#!/usr/bin/env bash
# Times the main window (bench/paint_bench.cpp, which starts it as the program does) on
# pictures named on the command line: a 6000 × 4000 JPEG (quality 90), the same picture as a
# 24-bit BMP, and a metafile. For each it prints the median of several runs of
#   - the first painted frame of the picture, measured from the start of main and from the
#     moment this script started the process (so loading the program counts too);
#   - the first move of the brightness slider, until the view has repainted and until the
#     work it queued (the histogram) is done;
#   - the repaint after a change of the display ratio.
# The JPEG runs twice: with the histogram window closed and open at start.
#   scripts/bench-app.sh [BUILD_DIR] [RUNS]
# Runs on Qt's offscreen platform unless QT_QPA_PLATFORM is set (e.g. xcb under Xvfb).
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
runs="${2:-5}"
app="$build/bench/bench_paint"
tool="$build/src/pwtool"
[ -x "$app" ] || { echo "missing $app (build the bench_paint target)" >&2; exit 1; }
[ -x "$tool" ] || { echo "missing $tool (build the pwtool target)" >&2; exit 1; }
export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$(mktemp -d)}"
chmod 700 "$XDG_RUNTIME_DIR"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# A photograph-like picture: gradients, a slow wave and fine noise, so that the JPEG has
# the size of a real photograph's rather than of a flat gradient's.
convert -size 6000x4000 gradient:'#ff2000'-'#0030ff' \
    \( -size 6000x4000 xc:gray50 +noise Gaussian -colorspace gray \) \
    -compose overlay -composite -quality 90 "$work/big.jpg"
convert "$work/big.jpg" -type TrueColor "BMP3:$work/big.bmp"
convert -size 1600x1200 gradient:'#20ff00'-'#ff00a0' -type TrueColor "BMP3:$work/mid.bmp"
"$tool" "$work/mid.bmp" -o "$work/drawing.emf"

# Settings folders: one as on a first run (histogram closed), one with the histogram open.
mkdir -p "$work/plain" "$work/histogram"
# A first run writes the settings file at its close.
"$app" "$work/mid.bmp" --settings-dir "$work/plain" --slider-delay-ms 0 >/dev/null 2>&1
sed 's/^Histgram=.*/Histgram=True/' "$work/plain/pixelwright.ini" >"$work/histogram/pixelwright.ini"

median() { sort -n | awk '{a[NR]=$1} END {if (NR==0) print "n/a"; else print a[int((NR+1)/2)]}'; }

measure() { # picture label settings-dir
    local picture="$1" label="$2" settings="$3" first=() outside=() slider=() settled=() repaint=()
    for _ in $(seq "$runs"); do
        local t0 out
        t0=$(date +%s%N)
        out=$("$app" "$picture" --settings-dir "$settings" 2>/dev/null)
        first+=("$(awk '/^first-paint-ms/ {print $2}' <<<"$out")")
        outside+=("$(awk -v t0="$t0" '/^first-paint-epoch-ms/ {printf "%.1f", $2 - t0 / 1e6}' <<<"$out")")
        slider+=("$(awk '/^first-slider-ms/ {print $2}' <<<"$out")")
        settled+=("$(awk '/^first-slider-settled-ms/ {print $2}' <<<"$out")")
        repaint+=("$(awk '/^ratio-repaint-median-ms/ {print $2}' <<<"$out")")
    done
    printf '%-34s first paint %7s ms (from process start %7s ms)  first slider %6s ms (settled %6s ms)  ratio repaint %5s ms\n' \
        "$label" "$(printf '%s\n' "${first[@]}" | median)" "$(printf '%s\n' "${outside[@]}" | median)" \
        "$(printf '%s\n' "${slider[@]}" | median)" "$(printf '%s\n' "${settled[@]}" | median)" \
        "$(printf '%s\n' "${repaint[@]}" | median)"
}

echo "median of $runs runs, platform $QT_QPA_PLATFORM, $(stat -c %s "$work/big.jpg") bytes of JPEG"
measure "$work/big.jpg" "6000x4000 JPEG q90" "$work/plain"
measure "$work/big.jpg" "6000x4000 JPEG q90, histogram open" "$work/histogram"
measure "$work/big.bmp" "6000x4000 24-bit BMP" "$work/plain"
measure "$work/drawing.emf" "1600x1200 EMF" "$work/plain"
