#!/usr/bin/env python3
"""Measures the running daemon, with the recording stand-in as its viewer:
how soon a SIGUSR1 becomes a started viewer (against Python's own fork and
exec of the same program), what the daemon costs while it waits between
changes, and its resident memory with 10,000 images in the ring (against 10).

Usage: cycle_bench.py ZELVO_BINARY ZELVO_RECORDER
Run it as root: each daemon runs in a private mount namespace whose /dev/log
is a socket this program owns and drains. ZELVO_IDLE_SECONDS sets the idle
window (default 30). Prints "row" and "note" lines for bench/run.sh."""
import ctypes, math, os, pathlib, shutil, signal, socket, statistics, subprocess, sys, tempfile, time

# The integration harness is borrowed, not built: leave no bytecode beside it.
sys.dont_write_bytecode = True
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "integration"))
from harness import (SYSLOG_LINE, TOOLS, libconfig_text, make_solid_images, namespace_command,  # noqa: E402
                     receive_messages, records)

# SIGUSR1 changes, and as many Python starts of the same program.
ROUNDS = 200
SMALL_RING, LARGE_RING = 10, 10_000
# Long enough that no timer change falls into any measurement.
MINUTES = 1440
SETTLE_SECONDS = 1.0
PR_SET_CHILD_SUBREAPER = 36
SKIP_NOTICE = "SIGUSR1 has been recived: skiping ahead"


class BenchError(Exception):
    pass


def percentile(values, fraction):
    """Nearest-rank percentile."""
    ordered = sorted(values)
    return ordered[max(0, math.ceil(fraction * len(ordered)) - 1)]


def status_fields(path, *keys):
    with open(path) as status:
        found = dict(line.split(":", 1) for line in status if ":" in line)
    return [int(found[key].split()[0]) for key in keys]


def idle_sample(pid):
    """Context switches and on-CPU nanoseconds summed over all threads, and utime+stime in ticks."""
    switches = run_ns = 0
    tasks = os.listdir(f"/proc/{pid}/task")
    for task in tasks:
        switches += sum(status_fields(f"/proc/{pid}/task/{task}/status",
                                      "voluntary_ctxt_switches", "nonvoluntary_ctxt_switches"))
        with open(f"/proc/{pid}/task/{task}/schedstat") as schedstat:
            run_ns += int(schedstat.read().split()[0])
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return {"switches": switches, "run_ns": run_ns, "ticks": int(fields[11]) + int(fields[12]),
            "threads": len(tasks)}


class Daemon:
    """One daemon in a directory of its own: private HOME, /dev, syslog socket, images and viewer."""

    def __init__(self, registry, top, name, binary, recorder, image_count):
        # Registered first, so that clean-up finds it however far this gets.
        self.pid = self.log = None
        registry.append(self)
        self.root = os.path.join(top, name)
        self.home, self.dev, images = (os.path.join(self.root, part) for part in ("home", "dev", "images"))
        for directory in (self.home, self.dev, images):
            os.makedirs(directory)
        self.log = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.log.bind(os.path.join(self.root, "log"))
        self.viewer = os.path.join(self.root, "feh")
        with open(recorder, "rb") as source, open(self.viewer, "wb") as copy:
            copy.write(source.read())
        os.chmod(self.viewer, 0o755)
        # One small PNG under many names: the ring's size is all that differs.
        sample = make_solid_images(os.path.join(self.root, "sample"), ["teal"])[0]
        self.images = [os.path.join(images, f"image-{index:05}.png") for index in range(image_count)]
        for path in self.images:
            os.link(sample, path)
        config = os.path.join(self.home, ".zelvo", ".zelvorc")
        os.makedirs(os.path.dirname(config))
        pathlib.Path(config).write_text(libconfig_text(
            {"colors": False, "minutes": MINUTES, "monitors": 1, "source_to_use": "default",
             "default": [images], "feh-path": self.viewer}))
        self.binary, self.seen_size, self.seen = binary, 0, []

    def start(self, timeout):
        """Runs the binary until it has detached, then waits for its first change."""
        command = namespace_command(self.dev, os.path.join(self.root, "log"), [self.binary])
        env = {"HOME": self.home, "PATH": os.environ.get("PATH", "/usr/bin:/bin")}
        with subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE) as launched:
            out, err = launched.communicate(timeout=timeout)
        if (launched.returncode, out, err) != (0, b"", b""):
            raise BenchError(f"start failed with status {launched.returncode}: {out!r} {err!r}")
        first = self.messages(2, timeout=10)
        if [text for _, text in first] != ["Zelvo is inited", "Zelvo is started"]:
            raise BenchError(f"unexpected first messages {first}")
        self.pid = first[0][0]
        reap_orphans()  # the parent that detached it
        self.wait_records(1, timeout=10)
        usr1 = 1 << (signal.SIGUSR1 - 1)
        deadline = time.monotonic() + 10
        while not int(self.status("SigCgt")[0], 16) & usr1:
            if time.monotonic() > deadline:
                raise BenchError("the daemon never caught SIGUSR1")
            time.sleep(0.01)
        time.sleep(SETTLE_SECONDS)
        return self.pid

    def status(self, *keys):
        with open(f"/proc/{self.pid}/status") as status:
            found = dict(line.split(":", 1) for line in status if ":" in line)
        return [found[key].strip() for key in keys]

    def messages(self, count, timeout):
        """The next count syslog messages as (pid, text)."""
        def fail(reason):
            raise BenchError(reason)
        return [(found.pid, found.text) for found in receive_messages(self.log, count, timeout, fail)]

    def pending_messages(self):
        """Whatever the daemon has logged and nobody read yet, without waiting."""
        found = []
        self.log.setblocking(False)
        try:
            while True:
                datagram = self.log.recv(65536)
                match = SYSLOG_LINE.fullmatch(datagram)
                found.append(match[4].decode() if match else repr(datagram))
        except BlockingIOError:
            return found

    def wait_records(self, count, timeout):
        """Polls the stand-in's log until it holds count starts; gives the newest."""
        log = self.viewer + ".log"
        deadline = time.monotonic() + timeout
        while True:
            # The stand-in appends each line in one write: a grown file holds whole lines.
            try:
                size = os.stat(log).st_size
            except FileNotFoundError:
                size = 0
            if size != self.seen_size:
                self.seen_size, self.seen = size, records(self.viewer)
            if len(self.seen) >= count:
                return self.seen[count - 1]
            if time.monotonic() > deadline:
                raise BenchError(f"the viewer was not started {count} times within {timeout} s")
            time.sleep(0.0005)

    def stop(self):
        """Asks the daemon to quit and reaps it; kills it when it does not end in time."""
        if self.pid is None:
            return
        pid, self.pid = self.pid, None
        os.kill(pid, signal.SIGTERM)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                if os.waitpid(pid, os.WNOHANG)[0] == pid:
                    return
            except ChildProcessError:
                pass  # not yet re-parented here
            time.sleep(0.02)
        os.kill(pid, signal.SIGKILL)
        raise BenchError(f"daemon {pid} did not end within 10 s of SIGTERM")


def measure_latency(daemon, faults):
    """Alternates one SIGUSR1 to the daemon with one Python start of the same program."""
    floor_program = os.path.join(daemon.root, "floor-feh")
    with open(daemon.viewer, "rb") as source, open(floor_program, "wb") as copy:
        copy.write(source.read())
    os.chmod(floor_program, 0o755)
    first = records(daemon.viewer)[0]
    changes, spawns, shown = [], [], {}
    for index in range(ROUNDS):
        sent = time.monotonic_ns()
        os.kill(daemon.pid, signal.SIGUSR1)
        record = daemon.wait_records(index + 2, timeout=10)
        changes.append(record["monotonic"] - sent)
        shown[record["argv"][-1]] = shown.get(record["argv"][-1], 0) + 1
        if record["argv"][:3] != first["argv"][:3] or len(record["argv"]) != 4:
            faults.append(f"change {index + 1} started the viewer with {record['argv']}")
        if (logged := daemon.pending_messages()) != [SKIP_NOTICE]:
            faults.append(f"change {index + 1} logged {logged}")

        sent = time.monotonic_ns()
        with subprocess.Popen(first["argv"], executable=floor_program, env=first["env"]) as started:
            pass  # leaving the block waits for it
        if started.returncode != 0:
            raise BenchError(f"the stand-in ended with status {started.returncode}")
        spawns.append(records(floor_program)[index]["monotonic"] - sent)
    # A ring walked ROUNDS steps shows each of its images equally often, give or take one.
    if sorted(shown) != sorted(daemon.images) or max(shown.values()) - min(shown.values()) > 1:
        faults.append(f"the changes showed the ring unevenly: {sorted(shown.values())}")
    return changes, spawns


def measure_idle(daemon, seconds, faults):
    before_records = len(records(daemon.viewer))
    start = idle_sample(daemon.pid)
    time.sleep(seconds)
    end = idle_sample(daemon.pid)
    if len(records(daemon.viewer)) != before_records:
        faults.append("the viewer was started during the idle window")
    if logged := daemon.pending_messages():
        faults.append(f"the daemon logged during the idle window: {logged}")
    return {key: end[key] - start[key] for key in ("switches", "run_ns", "ticks")}, end["threads"]


def kibibytes(daemon):
    return [int(value.split()[0]) for value in daemon.status("VmRSS", "VmHWM")]


def ms(nanoseconds):
    return nanoseconds / 1e6


def run(binary, recorder, idle_seconds, top, daemons):
    faults = []
    small = Daemon(daemons, top, "small", binary, recorder, SMALL_RING)
    small.start(timeout=60)
    small_rss, small_hwm = kibibytes(small)
    idle, threads = measure_idle(small, idle_seconds, faults)
    descriptors = len(os.listdir(f"/proc/{small.pid}/fd"))
    changes, spawns = measure_latency(small, faults)
    # Changes allocate nothing and open nothing that outlives them.
    after_rss = kibibytes(small)[0]
    if (after := len(os.listdir(f"/proc/{small.pid}/fd"))) != descriptors:
        faults.append(f"open descriptors went from {descriptors} to {after} over {ROUNDS} changes")
    small.stop()

    large = Daemon(daemons, top, "large", binary, recorder, LARGE_RING)
    # Start-up pings every image before the daemon detaches.
    begun = time.monotonic()
    large.start(timeout=600)
    large_start = time.monotonic() - begun - SETTLE_SECONDS
    large_rss, large_hwm = kibibytes(large)
    large.stop()

    change, floor = statistics.median(changes), statistics.median(spawns)
    tick_ms = 1000 / os.sysconf("SC_CLK_TCK")
    rows = [
        (f"change latency, median of {ROUNDS} SIGUSR1, signal to viewer start (ref: Python fork/exec)",
         f"{ms(change):.3f}", "ms", f"{ms(floor):.3f}", f"{change / floor:.2f}"),
        (f"idle wake-ups over {idle_seconds:g} s (context switches of its {threads} thread{'s' * (threads != 1)})",
         str(idle["switches"]), "switches", "-", "-"),
        (f"idle CPU over {idle_seconds:g} s (utime+stime)", f"{idle['ticks'] * tick_ms:.0f}", "ms", "-", "-"),
        (f"resident memory (VmRSS), {LARGE_RING:,} images in the ring (ref: {SMALL_RING} images)",
         f"{large_rss / 1024:.2f}", "MiB", f"{small_rss / 1024:.2f}", f"{large_rss / small_rss:.2f}"),
    ]
    notes = [
        f"change latency: p90 {ms(percentile(changes, 0.9)):.3f} ms, max {ms(max(changes)):.3f} ms, "
        f"min {ms(min(changes)):.3f} ms; target median under 5 ms: {'met' if ms(change) < 5 else 'MISSED'}",
        f"Python fork/exec floor (subprocess.Popen, same argv and environment, median of {ROUNDS}): "
        f"p90 {ms(percentile(spawns, 0.9)):.3f} ms, max {ms(max(spawns)):.3f} ms; "
        "signals and Popen starts alternate, one at a time, each timed to the stand-in's own start stamp",
        f"idle: {idle['ticks']} clock ticks (1 tick = {tick_ms:g} ms), {idle['run_ns']} ns on CPU by schedstat, "
        f"timer {MINUTES} min; target no wake-ups and no measurable CPU: "
        f"{'met' if idle['switches'] == 0 and idle['ticks'] == 0 else 'MISSED'}",
        f"VmHWM (peak since the detaching fork) {large_hwm / 1024:.2f} MiB with {LARGE_RING:,} images, {small_hwm / 1024:.2f} MiB with "
        f"{SMALL_RING} ({after_rss / 1024:.2f} MiB VmRSS after the {ROUNDS} changes, {descriptors} open "
        f"descriptors before and after); {LARGE_RING:,} hard links to one 40x30 PNG, start-up to first change "
        f"{large_start:.1f} s; target VmRSS under 16 MiB: {'met' if large_rss < 16 * 1024 else 'MISSED'}",
    ]
    notes += [f"FAULT: {fault}" for fault in faults]
    for row in rows:
        print("row", *row, sep="\t")
    for note in notes:
        print("note", note, sep="\t")


def our_zelvo_processes():
    """zelvo processes re-parented to this one, which can only be the daemons it started."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/comm") as comm, open(f"/proc/{pid}/stat") as stat:
                if comm.read() == "zelvo\n" and int(stat.read().rsplit(")", 1)[1].split()[1]) == os.getpid():
                    found.append(int(pid))
        except OSError:
            continue  # it ended while we looked
    return found


def reap_orphans():
    """Reaps whatever ended here: detaching parents and killed daemons re-parented to this process."""
    try:
        while os.waitpid(-1, os.WNOHANG)[0] != 0:
            pass
    except ChildProcessError:
        pass


def clean_up(daemons, top):
    for daemon in daemons:
        try:
            daemon.stop()
        except (BenchError, ProcessLookupError, PermissionError) as error:
            print(f"cycle_bench: while stopping: {error}", file=sys.stderr)
    for pid in our_zelvo_processes():
        os.kill(pid, signal.SIGKILL)
    reap_orphans()
    for daemon in daemons:
        if daemon.log is not None:
            daemon.log.close()
    shutil.rmtree(top, ignore_errors=True)


def main(argv):
    if len(argv) != 3 or not all(os.access(path, os.X_OK) for path in argv[1:]):
        print(__doc__.split("\n\n", 1)[1], file=sys.stderr)
        return 2
    if os.geteuid() != 0:
        print("cycle_bench: must run as root (a private mount namespace gives each daemon this "
              "program's socket as /dev/log)", file=sys.stderr)
        return 2
    if None in TOOLS.values():
        print(f"cycle_bench: missing tools: {TOOLS}", file=sys.stderr)
        return 2
    idle_seconds = float(os.environ.get("ZELVO_IDLE_SECONDS", "30"))
    # The detached daemons are re-parented here, so they can be reaped and told apart.
    if ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        print("cycle_bench: cannot become a child subreaper", file=sys.stderr)
        return 1
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    top = tempfile.mkdtemp(prefix="zelvo-cycle-bench.")
    daemons = []
    try:
        run(os.path.abspath(argv[1]), os.path.abspath(argv[2]), idle_seconds, top, daemons)
    except (BenchError, subprocess.TimeoutExpired, OSError) as error:
        print(f"cycle_bench: {error}", file=sys.stderr)
        return 1
    finally:
        clean_up(daemons, top)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
