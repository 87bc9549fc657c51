#!/bin/sh
# Builds zelvo and runs it for real on a folder of generated sample wallpapers:
# it sets them with feh, changes them on SIGUSR1 and quits on SIGTERM, and the
# screenshots of each change go to build/demo-output. Without a display, or
# with --xvfb, it uses a private Xvfb. Needs root for the private mount
# namespace that holds the daemon's syslog socket.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/build.sh" >/dev/null
exec python3 "$top/scripts/demo.py" "$top/build/src/zelvo" "$top/build/demo-output" "$@"
