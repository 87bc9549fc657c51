#!/bin/sh
# Builds zelvo and runs it for real on a generated folder of sample images:
# it detaches, logs to a syslog socket of this script's own, and quits on
# SIGTERM. Needs root for the private mount namespace that holds the socket.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/build.sh" >/dev/null
exec python3 "$top/scripts/demo.py" "$top/build/src/zelvo"
