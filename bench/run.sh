#!/usr/bin/env bash
# Builds the benchmark programs when needed, runs each one, and prints all
# their results as one Markdown table. A benchmark program prints
#   row<TAB>name<TAB>value<TAB>unit<TAB>reference value<TAB>ratio
# for each table row ("-" where it has no reference), and
#   note<TAB>text
# for a line shown under the table. A program that exits non-zero stops the run.
# A benchmark is either a program target built here or a Python script in
# bench/ (a name ending in .py), which is run as
#   python3 bench/SCRIPT ZELVO_BINARY ZELVO_RECORDER
# with the paths of the daemon and of the recording stand-in that it drives
# (cycle_bench.py takes zelvoctl from beside the daemon); wayland_bench.py is
# given the tests' Wayland probe and the daemon, and runs a headless sway and an Xvfb of its own;
# monitors_bench.py runs a private Xvfb of its own; x_painter_bench.py is given the tests' X painter probe
# and runs a private Xvfb of its own; painter_bench.py is given the Wayland painter's probe and the Wayland
# probe, and runs a headless sway of its own; zelvo_viewer_bench.py is given the daemon, the stand-in and
# zelvo_pixel_watch, and runs a private Xvfb and a headless sway of its own; transitions_bench.py is given the
# daemon and the stand-in, and runs a private Xvfb and a headless sway of its own (ZELVO_X_ONLY=1 runs only X,
# ZELVO_SIZES=1920x1080 only the sizes it names).
# desktop_bench.py runs the desktops' own programs (installed by the integration module
# test_desktops.py), each on a private Xvfb with a private session bus.
# cycle_bench.py must run as root (see its usage text); ZELVO_IDLE_SECONDS
# shortens its idle window for a quick run, and ZELVO_COLOURS_ONLY=1,
# ZELVO_PUBLISH_ONLY=1 or ZELVO_CONTROL_ONLY=1 runs only one part of it;
# ZELVO_SOCKET_ONLY=1 runs only the control socket's part of steering_bench.py.
# zelvo_contrast_bench reads the wallpapers of Debian's gnome-backgrounds
# package in /usr/share/backgrounds/gnome.
# The colour benchmark runs twice, built against the system's MagickCore in
# the build directory and against MagickCore 7 in build-magick7/ (which
# scripts/magick7.sh makes when it is missing), and its rows come in a table
# of their own with both side by side.
# Usage: bench/run.sh [build directory, default: build/ in the source tree]
set -euo pipefail

source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${1:-$source_dir/build}
magick7_dir=$source_dir/build-magick7
# One entry per benchmark; rows appear in this order.
benchmarks=(zelvo_expand_bench zelvo_template_bench zelvo_contrast_bench zelvo_rescan_bench cycle_bench.py
            steering_bench.py monitors_bench.py wayland_bench.py x_painter_bench.py painter_bench.py desktop_bench.py
            zelvo_viewer_bench.py)

work=$(mktemp -d "${TMPDIR:-/tmp}/zelvo-bench-run.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The Python benchmarks drive the daemon and the stand-in; the rest are targets.
targets=(zelvo zelvoctl zelvo_recorder zelvo_wayland_probe zelvo_x_painter_probe zelvo_wayland_painter_probe
         zelvo_pixel_watch zelvo_colour_bench)
for benchmark in "${benchmarks[@]}"; do
    [[ $benchmark == *.py ]] || targets+=("$benchmark")
done

# Configures only a fresh build tree or one that left the benchmarks out.
if ! grep -qs '^ZELVO_BENCH:BOOL=ON' "$build_dir/CMakeCache.txt"; then
    cmake -S "$source_dir" -B "$build_dir" -DZELVO_BENCH=ON >"$work/build.log" 2>&1 ||
        { cat "$work/build.log" >&2; exit 1; }
fi
cmake --build "$build_dir" -j2 --target "${targets[@]}" >"$work/build.log" 2>&1 ||
    { cat "$work/build.log" >&2; exit 1; }
if [[ ! -f $magick7_dir/CMakeCache.txt ]]; then
    "$source_dir/scripts/magick7.sh" build >"$work/magick7.log" 2>&1 || { tail -n 40 "$work/magick7.log" >&2; exit 1; }
fi
cmake --build "$magick7_dir" -j2 --target zelvo zelvo_recorder zelvo_colour_bench >"$work/build.log" 2>&1 ||
    { cat "$work/build.log" >&2; exit 1; }
# The paths as the build wrote them (bench/CMakeLists.txt), one a line.
{ read -r zelvo_binary && read -r zelvo_recorder && read -r zelvo_wayland_probe && read -r zelvo_x_painter_probe &&
    read -r zelvo_wayland_painter_probe && read -r zelvo_pixel_watch; } <"$build_dir/bench/programs.txt"

for benchmark in "${benchmarks[@]}"; do
    echo "running $benchmark ..." >&2
    case $benchmark in
        wayland_bench.py) command=(python3 "$source_dir/bench/$benchmark" "$zelvo_wayland_probe" "$zelvo_binary") ;;
        x_painter_bench.py) command=(python3 "$source_dir/bench/$benchmark" "$zelvo_x_painter_probe") ;;
        painter_bench.py)
            command=(python3 "$source_dir/bench/$benchmark" "$zelvo_wayland_painter_probe" "$zelvo_wayland_probe") ;;
        zelvo_viewer_bench.py)
            command=(python3 "$source_dir/bench/$benchmark" "$zelvo_binary" "$zelvo_recorder" "$zelvo_pixel_watch") ;;
        *.py) command=(python3 "$source_dir/bench/$benchmark" "$zelvo_binary" "$zelvo_recorder") ;;
        *) command=("$build_dir/bench/$benchmark") ;;
    esac
    if ! "${command[@]}" >"$work/$benchmark.out" 2>"$work/$benchmark.err"; then
        cat "$work/$benchmark.out" "$work/$benchmark.err" >&2
        echo "$benchmark failed" >&2
        exit 1
    fi
done

# The daemon with colours on, built against MagickCore 7: its rows go beside those of the build above.
echo "running cycle_bench.py (colours) of $magick7_dir ..." >&2
{ read -r magick7_binary && read -r magick7_recorder; } <"$magick7_dir/bench/programs.txt"
if ! ZELVO_COLOURS_ONLY=1 ZELVO_BAD_INPUTS=0 python3 "$source_dir/bench/cycle_bench.py" "$magick7_binary" \
    "$magick7_recorder" >"$work/cycle7.out" 2>"$work/cycle7.err"; then
    cat "$work/cycle7.out" "$work/cycle7.err" >&2
    echo "cycle_bench.py of $magick7_dir failed" >&2
    exit 1
fi

for colour_build in "$build_dir" "$magick7_dir"; do
    echo "running zelvo_colour_bench of $colour_build ..." >&2
    out=$work/colour.$([[ $colour_build == "$magick7_dir" ]] && echo 7 || echo base)
    if ! "$colour_build/bench/zelvo_colour_bench" >"$out.out" 2>"$out.err"; then
        cat "$out.out" "$out.err" >&2
        echo "zelvo_colour_bench of $colour_build failed" >&2
        exit 1
    fi
done

echo "| Benchmark | Value | Unit | Reference | Ratio |"
echo "|---|---:|---|---:|---:|"
for benchmark in "${benchmarks[@]}"; do
    awk -F'\t' '$1 == "row" { printf "| %s | %s | %s | %s | %s |\n", $2, $3, $4, $5, $6 }' "$work/$benchmark.out"
done
echo
for benchmark in "${benchmarks[@]}"; do
    awk -F'\t' -v name="$benchmark" '$1 == "note" { printf "- %s: %s\n", name, $2 }' "$work/$benchmark.out"
    # What MagickCore and others reported on standard error, each distinct line once with its count.
    sort "$work/$benchmark.err" | uniq -c | sed "s/^ *\([0-9]*\) /- $benchmark stderr (\1x): /"
done

# The colour rows of both builds side by side, matched by name.
# "ImageMagick 7.1.2-30 (Beta) Q16-HDRI x86_64 ..." becomes "7.1.2-30 Q16-HDRI".
version() {
    awk -F'\t' '$1 == "version" { n = split($2, word, " "); quantum = "";
        for (i = 3; i <= n; i++) if (word[i] ~ /^Q[0-9]/) { quantum = " " word[i]; break }
        print word[2] quantum }' "$1"
}
echo
echo "| The daemon with colours on | $(version "$work/colour.base.out") | Reference | Ratio | $(version "$work/colour.7.out") | Reference | Ratio |"
echo "|---|---:|---:|---:|---:|---:|---:|"
awk -F'\t' 'FNR == NR { if ($1 == "colour-row") seven[$2] = $3 " " $4 " | " $5 " | " $6; next }
    $1 == "colour-row" { printf "| %s | %s %s | %s | %s | %s |\n", $2, $3, $4, $5, $6, ($2 in seven) ? seven[$2] : "- | - | -" }' \
    "$work/cycle7.out" "$work/cycle_bench.py.out"
awk -F'\t' '$1 == "note" { printf "- cycle_bench.py, MagickCore 7: %s\n", $2 }' "$work/cycle7.out"
echo
echo "| Colour step | $(version "$work/colour.base.out") | Reference | Ratio | $(version "$work/colour.7.out") | Reference | Ratio |"
echo "|---|---:|---:|---:|---:|---:|---:|"
awk -F'\t' 'FNR == NR { if ($1 == "row") seven[$2] = $3 " " $4 " | " $5 " | " $6; next }
    $1 == "row" { printf "| %s | %s %s | %s | %s | %s |\n", $2, $3, $4, $5, $6, ($2 in seven) ? seven[$2] : "- | - | -" }' \
    "$work/colour.7.out" "$work/colour.base.out"
echo
for out in "$work/colour.base" "$work/colour.7"; do
    name="zelvo_colour_bench, $(version "$out.out")"
    awk -F'\t' -v name="$name" '$1 == "note" { printf "- %s: %s\n", name, $2 }' "$out.out"
    sort "$out.err" | uniq -c | sed "s/^ *\([0-9]*\) /- $name stderr (\1x): /"
done
