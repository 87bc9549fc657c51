#!/bin/sh
# Builds the libFuzzer targets in build-fuzz/ with clang++, replays every committed seed, then fuzzes each target for FUZZ_SECONDS (60).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build-fuzz"
seconds=${FUZZ_SECONDS:-60}
targets="colour_fuzz template_fuzz list_fuzz config_fuzz status_fuzz protocol_fuzz"

"$top/scripts/setup.sh"
mkdir -p "$build"
# Nothing in the build directory belongs in the repository.
printf '*\n' >"$build/.gitignore"
CC=clang CXX=clang++ cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZELVO_FUZZ=ON -DZELVO_TESTS=OFF -DZELVO_BENCH=OFF >/dev/null
cmake --build "$build" -j2

# The code under test reports to standard error on nearly every input;
# -close_fd_mask=2 silences it while libFuzzer and the checks still speak.
quiet="-close_fd_mask=2"
status=0
for target in $targets; do
    program="$build/fuzz/$target"
    seeds="$top/fuzz/corpus/$target"
    corpus="$build/corpus-$target"
    artifacts="$build/artifacts-$target"
    log="$build/$target.log"
    mkdir -p "$corpus" "$artifacts"

    # Every committed seed once, as a regression test.
    if ! "$program" $quiet -timeout=20 "$seeds"/* >"$build/$target.replay.log" 2>&1; then
        echo "$target: a committed seed fails; see $build/$target.replay.log" >&2
        tail -n 40 "$build/$target.replay.log" >&2
        status=1
        continue
    fi
    echo "$target: $(find "$seeds" -type f | wc -l) committed seeds replayed"

    # Fuzz from a copy of the seeds: libFuzzer writes its finds into the copy.
    cp "$seeds"/* "$corpus"/
    start=$(date +%s)
    if "$program" $quiet -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" >"$log" 2>&1; then
        result=passed
    else
        result=FAILED
        status=1
    fi
    elapsed=$(($(date +%s) - start))
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    # The last status line: "#N ... cov: C ft: F corp: E/S ...".
    coverage=$(grep -E '^#[0-9]+.*cov: ' "$log" | tail -n 1 |
        sed -E 's/.*(cov: [0-9]+) (ft: [0-9]+) corp: ([0-9]+).*/\1 \2, \3 entries in the run/')
    files=$(find "$corpus" -type f | wc -l)
    echo "$target: $result in ${elapsed}s: ${runs:-?} executions, ${coverage:-no status line}, $files files in $corpus"
    if [ "$result" = FAILED ]; then
        echo "$target: see $log; crashing inputs are in $artifacts" >&2
        grep -E 'fuzz check failed|ERROR: |SUMMARY: |runtime error|Test unit written' "$log" >&2 || tail -n 40 "$log" >&2
    fi
done
exit "$status"
