#!/usr/bin/env bash
# Times the main window (bench/paint_bench.cpp, which starts it as the program does): from the start of the program to the first painted frame of a
# 6000 × 4000 24-bit BMP named on the command line, and the repaint after a change of the
# display ratio, on that bitmap and on a metafile. Prints the median of several runs.
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
convert -size 6000x4000 gradient:'#ff2000'-'#0030ff' -type TrueColor "BMP3:$work/big.bmp"
convert -size 1600x1200 gradient:'#20ff00'-'#ff00a0' -type TrueColor "BMP3:$work/mid.bmp"
"$tool" "$work/mid.bmp" -o "$work/drawing.emf"

median() { sort -n | awk '{a[NR]=$1} END {if (NR==0) print "n/a"; else print a[int((NR+1)/2)]}'; }

measure() { # picture label
    local picture="$1" label="$2" first=() repaint=() wall=()
    for _ in $(seq "$runs"); do
        # The settings file is the one beside the built executable.
        local t0 t1 out
        t0=$(date +%s%N)
        out=$("$app" "$picture" 2>/dev/null)
        t1=$(date +%s%N)
        first+=("$(awk '/^first-paint-ms/ {print $2}' <<<"$out")")
        repaint+=("$(awk '/^ratio-repaint-median-ms/ {print $2}' <<<"$out")")
        wall+=("$(( (t1 - t0) / 1000000 ))")
    done
    printf '%-28s first paint %8s ms (process wall incl. exit %s ms)   repaint after ratio change %s ms\n' \
        "$label" "$(printf '%s\n' "${first[@]}" | median)" "$(printf '%s\n' "${wall[@]}" | median)" \
        "$(printf '%s\n' "${repaint[@]}" | median)"
}

echo "median of $runs runs, platform $QT_QPA_PLATFORM"
measure "$work/big.bmp" "6000x4000 24-bit BMP"
measure "$work/drawing.emf" "1600x1200 EMF"
