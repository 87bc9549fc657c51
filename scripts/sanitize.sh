#!/bin/sh
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and runs the whole test suite on it.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build-sanitize
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELVO_SANITIZE=ON -DZELVO_BENCH=OFF
# Every instrumented program carries its sanitizer options
# (src/support/sanitize_options.cpp), since the daemon runs with an
# environment of its own: reports go to files here, one per process, because
# the detached daemon's stderr is /dev/null. Daemons of other uids write here
# too, hence mode 1777.
reports=$build/sanitizer-reports
rm -rf "$reports"
mkdir -p "$reports"
chmod 1777 "$reports"

# Building runs the unit test program to list its tests: its reports count too.
cmake --build "$build" -j2

status=0
(cd "$build" && ctest --output-on-failure -j2) || status=$?
found=0
for report in "$reports"/*; do
    [ -e "$report" ] || continue
    found=1
    echo "==== sanitizer report $report"
    cat "$report"
done
if [ "$found" -ne 0 ]; then
    echo "sanitize.sh: the sanitizers reported errors (above)" >&2
    exit 1
fi
if [ "$status" -ne 0 ]; then
    echo "sanitize.sh: ctest failed with status $status" >&2
    exit "$status"
fi
echo "sanitize.sh: every test passed with no sanitizer report"
