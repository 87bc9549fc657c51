#!/usr/bin/env python3
"""Measures monitors = "auto" on a private Xvfb whose monitors RandR makes:
how soon a monitor plugged in (`xrandr --setmonitor`) has the viewer started
with an image for it (median of 20, from just before xrandr runs to the
stand-in's start, both on CLOCK_MONOTONIC); the daemon's wake-ups while it
holds the connection and nothing changes (target 0); how long `zelvoctl
status` takes while the X server is stopped (SIGSTOP) and the daemon reaches
it again after a reload (20 calls over three seconds, the most of them); and
its resident memory with "auto", against the same daemon told a number of
monitors.

Usage: monitors_bench.py ZELVO_BINARY ZELVO_RECORDER (as root, like cycle_bench.py); zelvoctl is the one
beside ZELVO_BINARY.
ZELVO_IDLE_SECONDS sets the idle window (default 30). Prints "row" and "note"
lines for bench/run.sh."""
import ctypes, os, pathlib, shutil, signal, statistics, subprocess, sys, tempfile, time

sys.dont_write_bytecode = True
here = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(here))
sys.path.insert(0, str(here.parent / "tests" / "integration"))
import cycle_bench  # noqa: E402
from cycle_bench import BenchError, Daemon, idle_sample, kibibytes  # noqa: E402
from harness import records  # noqa: E402
from xserver import XServer  # noqa: E402

ROUNDS = 20
IDLE_SECONDS = float(os.environ.get("ZELVO_IDLE_SECONDS", "30"))
STUCK_SECONDS = 5


class Case:
    """What the private X server needs of a test case: a way to fail and a list of clean-ups."""

    def __init__(self):
        self.cleanups = []

    def fail(self, reason):
        raise BenchError(reason)

    def addCleanup(self, action, *args):
        self.cleanups.append((action, args))

    def clean_up(self):
        while self.cleanups:
            action, args = self.cleanups.pop()
            action(*args)


def row(name, value, unit, reference="-", ratio="-"):
    print(f"row\t{name}\t{value}\t{unit}\t{reference}\t{ratio}")


def run(binary, recorder, top, daemons, case):
    server = XServer(case)
    display = server.start()
    auto = Daemon(daemons, top, "auto", binary, recorder, 10, {"monitors": "auto", "DISPLAY": display})
    auto.start(timeout=30)
    cycle_bench.settle(auto)
    auto.pending_messages()

    # A monitor plugged in, to the viewer's start with an image for it; then taken away again.
    plugged, count = [], len(records(auto.viewer))
    for index in range(ROUNDS):
        begun = time.monotonic_ns()
        server.add_monitor(f"P{index}", f"300/75x300/75+{300 * (index % 4)}+0")
        start = auto.wait_records(count + 1, timeout=10)
        if len(start["argv"]) != 3 + 2:
            raise BenchError(f"the viewer was given {start['argv']} for two monitors")
        plugged.append(start["monotonic"] - begun)
        server.remove_monitor(f"P{index}")
        auto.wait_records(count + 2, timeout=10)
        count += 2
        cycle_bench.settle(auto)
        auto.pending_messages()

    # Connected, and nothing changes: the loop sleeps.
    cycle_bench.settle(auto)
    auto.pending_messages()
    before, shown = idle_sample(auto.pid), len(records(auto.viewer))
    time.sleep(IDLE_SECONDS)
    after = idle_sample(auto.pid)
    if len(records(auto.viewer)) != shown or (logged := auto.pending_messages()):
        raise BenchError("the daemon changed or logged during the idle window")
    wakeups = after["switches"] - before["switches"]
    auto_memory = kibibytes(auto)

    # zelvoctl status while the X server is stopped and the daemon reaches it again (a reload); a call
    # that waits longer than STUCK_SECONDS ends the rounds (zelvoctl itself gives up after 40 s).
    zelvoctl = os.path.join(os.path.dirname(binary), "zelvoctl")
    statuses = []
    server.process.send_signal(signal.SIGSTOP)
    try:
        os.kill(auto.pid, signal.SIGHUP)
        for _ in range(ROUNDS):
            begun = time.monotonic()
            subprocess.run([zelvoctl, "-d", display, "status"], env={"HOME": auto.home}, capture_output=True,
                           timeout=60)
            statuses.append(time.monotonic() - begun)
            if statuses[-1] > STUCK_SECONDS:
                break
            # Spread over three seconds: the reload, then a handshake that waits out its deadline.
            time.sleep(0.15)
    finally:
        server.process.send_signal(signal.SIGCONT)
    cycle_bench.settle(auto)
    auto.pending_messages()

    number = Daemon(daemons, top, "number", binary, recorder, 10, {"monitors": 1, "DISPLAY": display})
    number.start(timeout=30)
    cycle_bench.settle(number)
    number_memory = kibibytes(number)

    median = statistics.median(plugged) / 1e6
    row("monitor plugged in to the viewer's start with its image, median of 20", f"{median:.1f}", "ms")
    row(f"idle wake-ups over {IDLE_SECONDS:g} s, monitors = \"auto\", nothing changes", str(wakeups), "switches")
    row(f"zelvoctl status while the X server is stopped and the daemon reaches it again, most of "
        f"{len(statuses)}", f"{max(statuses) * 1000:.1f}", "ms")
    row("resident memory (VmRSS), monitors = \"auto\" (ref: monitors = 1)", str(auto_memory[0]), "KiB",
        str(number_memory[0]), f"{auto_memory[0] / number_memory[0]:.2f}")
    row("peak memory (VmHWM), monitors = \"auto\" (ref: monitors = 1)", str(auto_memory[1]), "KiB",
        str(number_memory[1]), f"{auto_memory[1] / number_memory[1]:.2f}")
    print(f"note\tmonitors: a monitor plugged in shows its image in {median:.1f} ms (median; slowest "
          f"{max(plugged) / 1e6:.1f} ms; xrandr itself is part of it); target under 50 ms: "
          f"{'met' if median < 50 else 'MISSED'}. Idle: {wakeups} wake-ups over {IDLE_SECONDS:g} s "
          f"with the X connection held; target 0: {'met' if wakeups == 0 else 'MISSED'}. zelvoctl status "
          f"while the X server is stopped: median {statistics.median(statuses) * 1000:.1f} ms, most "
          f"{max(statuses) * 1000:.1f} ms over {len(statuses)} calls in the reload and the handshakes after it.")


def main():
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    if os.geteuid() != 0:
        raise SystemExit("monitors_bench.py must run as root (private mount namespaces)")
    binary, recorder = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    # The detached daemons are re-parented here, so they can be reaped.
    if ctypes.CDLL(None, use_errno=True).prctl(cycle_bench.PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        raise SystemExit("monitors_bench.py: cannot become a child subreaper")
    top = tempfile.mkdtemp(prefix="zelvo-monitors-bench-")
    daemons, case = [], Case()
    try:
        run(binary, recorder, top, daemons, case)
    except BenchError as error:
        raise SystemExit(f"monitors_bench.py: {error}")
    finally:
        for daemon in daemons:
            try:
                daemon.stop()
            except BenchError:
                pass
            if daemon.log is not None:
                daemon.log.close()
        case.clean_up()
        shutil.rmtree(top, ignore_errors=True)


if __name__ == "__main__":
    main()
