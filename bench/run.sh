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
# with the paths of the daemon and of the recording stand-in that it drives.
# cycle_bench.py must run as root (see its usage text); ZELVO_IDLE_SECONDS
# shortens its idle window for a quick run.
# Usage: bench/run.sh [build directory, default: build/ in the source tree]
set -euo pipefail

source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${1:-$source_dir/build}
# One entry per benchmark; rows appear in this order.
benchmarks=(zelvo_expand_bench zelvo_colour_bench cycle_bench.py)

work=$(mktemp -d "${TMPDIR:-/tmp}/zelvo-bench-run.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The Python benchmarks drive the daemon and the stand-in; the rest are targets.
targets=(zelvo zelvo_recorder)
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
# Both paths as the build wrote them (bench/CMakeLists.txt), one a line.
{ read -r zelvo_binary && read -r zelvo_recorder; } <"$build_dir/bench/programs.txt"

for benchmark in "${benchmarks[@]}"; do
    echo "running $benchmark ..." >&2
    case $benchmark in
        *.py) command=(python3 "$source_dir/bench/$benchmark" "$zelvo_binary" "$zelvo_recorder") ;;
        *) command=("$build_dir/bench/$benchmark") ;;
    esac
    if ! "${command[@]}" >"$work/$benchmark.out" 2>"$work/$benchmark.err"; then
        cat "$work/$benchmark.out" "$work/$benchmark.err" >&2
        echo "$benchmark failed" >&2
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
