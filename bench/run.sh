#!/usr/bin/env bash
# Builds the benchmark programs when needed, runs each one, and prints all
# their results as one Markdown table. A benchmark program prints
#   row<TAB>name<TAB>value<TAB>unit<TAB>reference value<TAB>ratio
# for each table row ("-" where it has no reference), and
#   note<TAB>text
# for a line shown under the table. A program that exits non-zero stops the run.
# Usage: bench/run.sh [build directory, default: build/ in the source tree]
set -euo pipefail

source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${1:-$source_dir/build}
# One entry per benchmark target; rows appear in this order.
benchmarks=(zelvo_expand_bench)

work=$(mktemp -d "${TMPDIR:-/tmp}/zelvo-bench-run.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Configures only a fresh build tree or one that left the benchmarks out.
if ! grep -qs '^ZELVO_BENCH:BOOL=ON' "$build_dir/CMakeCache.txt"; then
    cmake -S "$source_dir" -B "$build_dir" -DZELVO_BENCH=ON >"$work/build.log" 2>&1 ||
        { cat "$work/build.log" >&2; exit 1; }
fi
cmake --build "$build_dir" -j2 --target "${benchmarks[@]}" >"$work/build.log" 2>&1 ||
    { cat "$work/build.log" >&2; exit 1; }

for benchmark in "${benchmarks[@]}"; do
    echo "running $benchmark ..." >&2
    if ! "$build_dir/bench/$benchmark" >"$work/$benchmark.out" 2>"$work/$benchmark.err"; then
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
