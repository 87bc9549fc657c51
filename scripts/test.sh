#!/bin/sh
# Sets up, builds and runs every test. The integration tests give the daemon
# a private syslog socket in a private mount namespace, so they run as root.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/build.sh"
cd "$top/build"
ctest --output-on-failure -j2
