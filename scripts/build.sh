#!/bin/sh
# Configures and builds zelvo in build/ (after installing what is missing).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
cmake -S "$top" -B "$top/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$top/build" -j"$(nproc 2>/dev/null || echo 2)"
