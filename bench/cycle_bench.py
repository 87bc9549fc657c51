#!/usr/bin/env python3
"""Measures the running daemon, with the recording stand-in as its viewer:
how soon a SIGUSR1 becomes a started viewer (against Python's own fork and
exec of the same program), what the daemon costs while it waits between
changes, and its resident memory with 10,000 images in the ring (against 10);
with colours on, its memory over 100 changes of a 3840x2160 photo, how soon
a SIGUSR1 becomes a started viewer and a started xrdb, and how long hostile
images (an animation of 500 frames, a FIFO, a killed colour step, a URL that
never answers) take to be dealt with; a photo fetched over loopback https
against the same file on disk; the daemon's times and memory with decoder
bombs beside its images; how soon a SIGUSR1 becomes a started hook with
colours on, the next palette prepared and every export written, and what
`terminals = true` costs a change with 64 open pseudo-terminals; then how soon
`zelvoctl next` becomes a started viewer (against a SIGUSR1 sent by this
program), and how long a start takes
until the command returns, with no daemon on the display and with one
already running there (against `zelvo -v` in the same namespace); and how
many entries the palette cache holds after 30,000 changes 25 ms apart, each
of an image of its own, against the cache's bound.

Usage: cycle_bench.py ZELVO_BINARY ZELVO_RECORDER
zelvoctl is the one beside ZELVO_BINARY.
Run it as root: each daemon runs in a private mount namespace whose /dev/log
is a socket this program owns and drains. ZELVO_IDLE_SECONDS sets the idle
window (default 30); ZELVO_COLOURS_ONLY=1 measures only the changes with
colours on, ZELVO_PUBLISH_ONLY=1 only the hook and the terminals,
ZELVO_CONTROL_ONLY=1 only zelvoctl and the starts, ZELVO_CACHE_ONLY=1 only the
palette cache (ZELVO_CACHE_CHANGES sets its number of changes), and
ZELVO_BAD_INPUTS=0 leaves the hostile images out (for a build that would
hang on them). Prints "row" and "note" lines for bench/run.sh."""
import bz2, contextlib, ctypes, math, os, pathlib, select, shutil, signal, socket, statistics, struct, subprocess, sys, \
    tempfile, time, zlib

# The integration harness is borrowed, not built: leave no bytecode beside it.
sys.dont_write_bytecode = True
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "integration"))
from harness import (SYSLOG_LINE, TOOLS, libconfig_text, make_solid_images, namespace_command,  # noqa: E402
                     receive_messages, records)
from test_colour_child import HttpsServer, make_animation  # noqa: E402
from test_sources import pgm_frames, tiff_directories, xcf  # noqa: E402

# SIGUSR1 changes, and as many Python starts of the same program.
ROUNDS = 200
SMALL_RING, LARGE_RING = 10, 10_000
# Long enough that no timer change falls into any measurement.
MINUTES = 1440
SETTLE_SECONDS = 1.0
# The colour step's deadline.
DEADLINE_SECONDS = 20
PR_SET_CHILD_SUBREAPER = 36
SKIP_NOTICE = "SIGUSR1 has been recived: skiping ahead"
# zelvoctl next and SIGUSR1 each, and starts of each kind.
CONTROL_ROUNDS, START_ROUNDS = 99, 21
# Changes with colours on, of a 3840x2160 photo; the memory is sampled after these.
COLOUR_CHANGES, COLOUR_SAMPLES = 100, (1, 10, 100)
# Changes of the photo fetched over https, and as many of it read from disk.
URL_CHANGES = 10
# Changes with nothing prepared for them, and the idle window once the next colours are prepared.
UNPREPARED_CHANGES, COLOUR_IDLE_SECONDS = 20, 10
SHUFFLE_NOTICE = "SIGUSR2 has been recived: reshuffling picture list"
GAVE_UP = "Zelvo gave up on the colours of "
# Changes timed to the hook's start, and the pseudo-terminals open for terminals = true.
HOOK_ROUNDS, OPEN_TERMINALS = 99, 64
# Changes of an image of its own each, their pace, and the palette cache's bound.
CACHE_CHANGES, CACHE_PACE_SECONDS, CACHE_BOUND = 30_000, 0.025, 20_000
# The uid that those daemons run as: the only terminals they may write to are the ones opened here for it.
BENCH_UID = 54360


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

    def __init__(self, registry, top, name, binary, recorder, image_count, settings=(), sample=None, binds=(), uid=None):
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
        sample = sample or make_solid_images(os.path.join(self.root, "sample"), ["teal"])[0]
        self.images = [os.path.join(images, f"image-{index:05}.png") for index in range(image_count)]
        for path in self.images:
            os.link(sample, path)
        config = os.path.join(self.home, ".zelvo", ".zelvorc")
        os.makedirs(os.path.dirname(config))
        pathlib.Path(config).write_text(libconfig_text(
            {"colors": False, "minutes": MINUTES, "monitors": 1, "source_to_use": "default",
             "default": [images], "feh-path": self.viewer, **dict(settings)}))
        self.binary, self.seen_size, self.seen, self.binds, self.uid = binary, 0, [], binds, uid
        if uid is not None:
            # Its own folder (where the stand-ins log), home and configuration: the rest it only reads.
            for path in (self.root, self.home, os.path.dirname(config), config):
                os.chown(path, uid, uid)
            os.chmod(os.path.join(self.root, "log"), 0o666)

    def start(self, timeout, complaints=False):
        """Runs the binary until it has detached, then waits for its first change. With complaints,
        MagickCore may have said on standard error why files are no images."""
        command = namespace_command(self.dev, os.path.join(self.root, "log"), [self.binary], uid=self.uid,
                                    binds=self.binds)
        env = {"HOME": self.home, "PATH": os.environ.get("PATH", "/usr/bin:/bin")}
        with subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE) as launched:
            out, err = launched.communicate(timeout=timeout)
        said = [line for line in err.splitlines() if not (complaints and line.startswith(b"zelvo: "))]
        if (launched.returncode, out, said) != (0, b"", []):
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
    bomb_start, bomb_reload, bombs_started, bombs_reloaded = measure_bombs(binary, recorder, top, daemons, faults)

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
        (f"peak memory (VmHWM), {LARGE_RING:,} images in the ring (ref: {SMALL_RING} images)",
         f"{large_hwm / 1024:.2f}", "MiB", f"{small_hwm / 1024:.2f}", f"{large_hwm / small_hwm:.2f}"),
        ("bombs beside 10 images (100,000-frame PGM and TIFF, 30,000-layer XCF, .pgm.bz2, 16 MiB string), start-up",
         f"{bomb_start:.2f}", "s", "-", "-"),
        ("the same, SIGHUP to the next change", f"{bomb_reload:.2f}", "s", "-", "-"),
        *[(f"the same, daemon {key} after the {when}", f"{values[index] / 1024:.2f}", "MiB", "-", "-")
          for when, values in (("start-up", bombs_started), ("reload", bombs_reloaded))
          for index, key in enumerate(("VmRSS", "VmHWM"))],
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


def wait_start(program, count, timeout):
    """The count-th start that the stand-in program recorded, once there is one."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            if len(found := records(program)) >= count:
                return found[count - 1]
        except ValueError:
            pass  # a line read while the stand-in still wrote it
        if time.monotonic() > deadline:
            raise BenchError(f"{os.path.basename(program)} was not started {count} times within {timeout} s")
        time.sleep(0.001)


def children(pid):
    with open(f"/proc/{pid}/task/{pid}/children") as listed:
        return [int(child) for child in listed.read().split()]


def settle(daemon):
    """Waits until every child of the daemon has ended: it is back in its loop, between changes."""
    deadline = time.monotonic() + 10
    while children(daemon.pid):
        if time.monotonic() > deadline:
            raise BenchError("the daemon's children did not end within 10 s")
        time.sleep(0.001)


def until_quiet(daemon):
    """Waits until the daemon has taken the answer of a child that has ended: the child's end wakes it
    once, a moment after the child is gone. Quiet is 0.2 s without a context switch."""
    deadline = time.monotonic() + 5
    last = idle_sample(daemon.pid)["switches"]
    while time.monotonic() < deadline:
        time.sleep(0.2)
        if (now := idle_sample(daemon.pid)["switches"]) == last:
            return
        last = now
    raise BenchError("the daemon never came to rest within 5 s")


def colour_daemon(daemons, top, name, binary, recorder, sample, settings=(), binds=()):
    xrdb = os.path.join(top, f"{name}-xrdb")
    with open(recorder, "rb") as source, open(xrdb, "wb") as copy:
        copy.write(source.read())
    os.chmod(xrdb, 0o755)
    daemon = Daemon(daemons, top, name, binary, recorder, 1, {"colors": True, "use-xrdb": True, "dark": True,
                                                              "xrdb-path": xrdb, **dict(settings)}, sample, binds)
    return daemon, xrdb


def measure_colours(binary, recorder, top, daemons, photo, faults):
    """Changes with colours on: the daemon's memory between them and the latencies of viewer and xrdb."""
    daemon, xrdb = colour_daemon(daemons, top, "colours", binary, recorder, photo)
    daemon.start(timeout=120)
    wait_start(xrdb, 1, 60)
    settle(daemon)
    memory, between, to_viewer, to_xrdb = {1: kibibytes(daemon)}, [], [], []
    daemon.pending_messages()
    for change in range(2, COLOUR_CHANGES + 1):
        sent = time.monotonic_ns()
        os.kill(daemon.pid, signal.SIGUSR1)
        to_viewer.append(daemon.wait_records(change, timeout=10)["monotonic"] - sent)
        to_xrdb.append(wait_start(xrdb, change, DEADLINE_SECONDS + 10)["monotonic"] - sent)
        settle(daemon)
        between.append(kibibytes(daemon)[0])
        if change in COLOUR_SAMPLES:
            memory[change] = kibibytes(daemon)
        if (logged := daemon.pending_messages()) != [SKIP_NOTICE]:
            faults.append(f"colour change {change} logged {logged}")
    colours = pathlib.Path(daemon.home, ".zelvo", "colors").read_text()
    if colours.count("\n") != 16 or "#define c1 #CD0000\n" in colours:
        faults.append(f"the photo did not give its own palette: {colours!r}")
    # Once the next change's colours are prepared, the daemon waits without a wake-up.
    until_quiet(daemon)
    idle, _ = measure_idle(daemon, COLOUR_IDLE_SECONDS, faults)
    # A reshuffle of a photo changed since its colours were prepared: the step of a change with nothing prepared.
    unprepared = []
    for change in range(COLOUR_CHANGES + 1, COLOUR_CHANGES + 1 + UNPREPARED_CHANGES):
        os.utime(daemon.images[0])
        sent = time.monotonic_ns()
        os.kill(daemon.pid, signal.SIGUSR2)
        unprepared.append(wait_start(xrdb, change, DEADLINE_SECONDS + 10)["monotonic"] - sent)
        settle(daemon)
        if (logged := daemon.pending_messages()) != [SHUFFLE_NOTICE]:
            faults.append(f"unprepared change {change} logged {logged}")
    if pathlib.Path(daemon.home, ".zelvo", "colors").read_text() != colours:
        faults.append("the photo's colours made afresh are not those prepared")
    return daemon, xrdb, memory, max(between), to_viewer, to_xrdb, unprepared, idle


def child_of(daemon, timeout):
    """The daemon's colour step: its child that still runs the daemon's own program."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for child in children(daemon.pid):
            try:
                if pathlib.Path(f"/proc/{child}/comm").read_text() == "zelvo\n":
                    return child
            except OSError:
                continue  # it ended while we looked
        time.sleep(0.0005)
    raise BenchError(f"no colour step started within {timeout} s")


def measure_bad_inputs(daemon, xrdb, photo, top, binary, recorder, daemons, faults):
    """Seconds from the viewer's start (or the kill) to xrdb's for each hostile input, and whether the
    daemon logged why it gave up."""
    wall, results = daemon.images[0], []
    count = len(records(xrdb))

    def change(name, prepare, expect_gave_up, kill=False):
        nonlocal count
        prepare()
        count += 1
        os.kill(daemon.pid, signal.SIGUSR1)
        started = daemon.wait_records(count, timeout=10)["monotonic"]
        if kill:
            child = child_of(daemon, 10)
            time.sleep(0.05)  # well inside the read of the photo
            started = time.monotonic_ns()
            os.kill(child, signal.SIGKILL)
        loaded = wait_start(xrdb, count, DEADLINE_SECONDS + 10)["monotonic"]
        settle(daemon)
        logged = daemon.pending_messages()
        if (len([text for text in logged if text.startswith(GAVE_UP)]) == 1) != expect_gave_up:
            faults.append(f"{name}: logged {logged}")
        results.append((name, (loaded - started) / 1e9))

    first, red, animation = (os.path.join(top, name) for name in ("first.gif", "red.gif", "animation.gif"))
    subprocess.run([TOOLS["convert"], photo, "-resize", "4000x4000!", first], check=True)
    subprocess.run([TOOLS["convert"], "-size", "4000x4000", "xc:red", red], check=True)
    make_animation(animation, first, red, 500)
    change(f"GIF of 500 frames at 4000x4000 ({os.path.getsize(animation) / 1e6:.1f} MB), viewer to xrdb",
           lambda: os.replace(animation, wall), False)
    # A FIFO is never opened: the default palette at once, and no line for it.
    change("image swapped for a FIFO, viewer to xrdb", lambda: (os.remove(wall), os.mkfifo(wall)), False)
    change("colour step killed in a 3840x2160 photo, kill to xrdb", lambda: (os.remove(wall), os.link(photo, wall)),
           True, kill=True)

    server = socket.create_server(("127.0.0.1", 0))
    try:
        url = f"http://127.0.0.1:{server.getsockname()[1]}/wall.png"
        silent, silent_xrdb = colour_daemon(daemons, top, "silent-url", binary, recorder, photo, {"default": [url]})
        silent.start(timeout=60)
        viewer = records(silent.viewer)[0]["monotonic"]
        loaded = wait_start(silent_xrdb, 1, DEADLINE_SECONDS + 10)["monotonic"]
        results.append(("URL to a loopback server that never answers, viewer to xrdb", (loaded - viewer) / 1e9))
        began = time.monotonic()
        silent.stop()
        results.append(("SIGTERM after the silent URL, signal to reaped", time.monotonic() - began))
    finally:
        server.close()
    return results


class Folder:
    """What the test's loopback server needs of a test case: a folder and a list of clean-ups."""

    def __init__(self, top):
        self.top, self.cleanups = top, []
        os.makedirs(top)

    def path(self, *parts):
        return os.path.join(self.top, *parts)

    def addCleanup(self, action):
        self.cleanups.append(action)

    def clean_up(self):
        while self.cleanups:
            self.cleanups.pop()()


def measure_url(binary, recorder, top, daemons, photo, faults):
    """SIGUSR1 to xrdb for a photo fetched from a loopback https server and for the same photo on disk,
    in a ring of the two; medians of URL_CHANGES each."""
    folder = Folder(os.path.join(top, "https"))
    try:
        shutil.copy(photo, folder.path("photo.jpg"))
        server = HttpsServer(folder, "trusted")
        url = server.url("photo.jpg")
        daemon, xrdb = colour_daemon(daemons, top, "url", binary, recorder, photo,
                                     {"default": [url, folder.path("photo.jpg")]}, [server.trust])
        daemon.start(timeout=60)
        wait_start(xrdb, 1, DEADLINE_SECONDS + 10)
        settle(daemon)
        daemon.pending_messages()
        times, palettes = {url: [], folder.path("photo.jpg"): []}, {}
        for change in range(2, 2 + 2 * URL_CHANGES):
            # URLs are never prepared ahead; the file is made to need a step of its own too.
            os.utime(folder.path("photo.jpg"))
            sent = time.monotonic_ns()
            os.kill(daemon.pid, signal.SIGUSR1)
            shown = daemon.wait_records(change, timeout=10)["argv"][3]
            times[shown].append(wait_start(xrdb, change, DEADLINE_SECONDS + 10)["monotonic"] - sent)
            settle(daemon)
            palettes.setdefault(shown, set()).add(pathlib.Path(daemon.home, ".zelvo", "colors").read_text())
            if (logged := daemon.pending_messages()) != [SKIP_NOTICE]:
                faults.append(f"URL change {change} logged {logged}")
        if len({text for texts in palettes.values() for text in texts}) != 1:
            faults.append("the URL and the file gave different palettes")
        daemon.stop()
        return [statistics.median(times[url]), statistics.median(times[folder.path("photo.jpg")])]
    finally:
        folder.clean_up()


def measure_bombs(binary, recorder, top, daemons, faults):
    """The daemon's memory and times with bombs beside its images: at start-up and after a reload."""
    folder = os.path.join(top, "bomb-files")
    os.makedirs(folder)
    pgm_frames(os.path.join(folder, "frames.pgm"), 100000)
    tiff_directories(os.path.join(folder, "directories.tif"), 100000)
    xcf(os.path.join(folder, "layers.xcf"), 30000)
    with open(os.path.join(folder, "frames.pgm"), "rb") as frames:
        pathlib.Path(folder, "frames.pgm.bz2").write_bytes(bz2.compress(frames.read()))
    pathlib.Path(folder, "one-string.list").write_text('default = [ "' + "a" * (16 << 20) + '" ];\n')
    daemon = Daemon(daemons, top, "bombs", binary, recorder, 10,
                    {"default": [os.path.join(top, "bombs", "images"), folder, os.path.join(folder, "one-string.list")]})
    begun = time.monotonic()
    daemon.start(timeout=120, complaints=True)
    started = time.monotonic() - begun - SETTLE_SECONDS
    after_start = kibibytes(daemon)
    count = len(records(daemon.viewer))
    begun = time.monotonic()
    os.kill(daemon.pid, signal.SIGHUP)
    daemon.wait_records(count + 1, timeout=60)
    reloaded = time.monotonic() - begun
    settle(daemon)
    after_reload = kibibytes(daemon)
    if logged := [text for text in daemon.pending_messages() if text.startswith("Zelvo")]:
        faults.append(f"the bombs cost log lines: {logged}")
    daemon.stop()
    return started, reloaded, after_start, after_reload


def run_colours(binary, recorder, top, daemons):
    faults = []
    photo = os.path.join(top, "photo.jpg")
    subprocess.run([TOOLS["convert"], "-size", "3840x2160", "-seed", "7", "plasma:fractal", "-blur", "0x3",
                    "-quality", "90", photo], check=True)
    daemon, xrdb, memory, most, to_viewer, to_xrdb, unprepared, idle = measure_colours(binary, recorder, top, daemons,
                                                                                       photo, faults)
    bad = []
    if os.environ.get("ZELVO_BAD_INPUTS", "1") != "0":
        bad = measure_bad_inputs(daemon, xrdb, photo, top, binary, recorder, daemons, faults)
    daemon.stop()
    url, on_disk = measure_url(binary, recorder, top, daemons, photo, faults)
    rows = [(f"daemon {key} after {change} change{'s' * (change != 1)} with colours on, 3840x2160 photo",
             f"{values[index] / 1024:.2f}", "MiB", "-", "-")
            for index, key in enumerate(("VmRSS", "VmHWM")) for change, values in memory.items()]
    rows += [(f"SIGUSR1 to viewer with colours on, median of {len(to_viewer)}",
              f"{ms(statistics.median(to_viewer)):.3f}", "ms", "-", "-")]
    rows += [(f"SIGUSR1 to xrdb, the next colours prepared, {name} of {len(to_xrdb)} (ref: {name} of "
              f"{len(unprepared)} with nothing prepared)", f"{ms(value(to_xrdb)):.3f}", "ms",
              f"{ms(value(unprepared)):.3f}", f"{value(to_xrdb) / value(unprepared):.3f}")
             for name, value in (("median", statistics.median), ("p90", lambda times: percentile(times, 0.9)))]
    rows.append((f"idle wake-ups over {COLOUR_IDLE_SECONDS} s once the next colours are prepared",
                 str(idle["switches"]), "switches", "-", "-"))
    rows += [(name, f"{seconds:.3f}", "s", "-", "-") for name, seconds in bad]
    rows.append((f"SIGUSR1 to xrdb, the photo fetched over loopback https, median of {URL_CHANGES} (ref: the same file "
                 "on disk, nothing prepared)", f"{ms(url):.3f}", "ms", f"{ms(on_disk):.3f}", f"{url / on_disk:.2f}"))
    notes = [f"colours: largest VmRSS between the {COLOUR_CHANGES} changes {most / 1024:.2f} MiB, VmHWM after them "
             f"{memory[COLOUR_CHANGES][1] / 1024:.2f} MiB; target under 12 and 24 MiB: "
             f"{'met' if most < 12 << 10 and memory[COLOUR_CHANGES][1] < 24 << 10 else 'MISSED'}",
             f"colours: SIGUSR1 to viewer p90 {ms(percentile(to_viewer, 0.9)):.3f} ms; to xrdb with the colours "
             f"prepared, target median under 10 ms: {'met' if ms(statistics.median(to_xrdb)) < 10 else 'MISSED'}; "
             f"nothing prepared: a SIGUSR2 after the photo was touched, so that the prepared colours no longer fit"]
    notes += [f"FAULT: {fault}" for fault in faults]
    # These rows are the daemon's with colours on; bench/run.sh sets them beside those of MagickCore 7.
    for row in rows:
        print("colour-row", *row, sep="\t")
    for note in notes:
        print("note", note, sep="\t")


def publish_daemon(daemons, top, name, binary, recorder, photo, settings=(), binds=()):
    """A daemon of BENCH_UID with colours, xrdb, every export and a recording hook; gives it and the hook."""
    root = os.path.join(top, name)
    hook, xrdb = os.path.join(root, "hook"), os.path.join(root, "xrdb")
    daemon = Daemon(daemons, top, name, binary, recorder, 1, {
        "colors": True, "dark": True, "use-xrdb": True, "xrdb-path": xrdb, "hook": [hook],
        "exports": ["json", "sh", "sequences"], **dict(settings)}, photo, binds, BENCH_UID)
    for program in (hook, xrdb):
        shutil.copy(recorder, program)
        os.chmod(program, 0o755)
    return daemon, hook


def run_publish(binary, recorder, top, daemons):
    """SIGUSR1 to the hook's start with the next palette prepared, without terminals and with terminals = true
    and OPEN_TERMINALS pseudo-terminals of the daemon's user open, changes of the two daemons alternating."""
    faults = []
    os.chmod(top, 0o711)  # the daemons' uid passes through to its own folders
    photo = os.path.join(top, "publish.jpg")
    subprocess.run([TOOLS["convert"], "-size", "1280x720", "-seed", "7", "plasma:fractal", "-blur", "0x3", photo],
                   check=True)
    terminals = [os.openpty() for _ in range(OPEN_TERMINALS)]
    try:
        for master, slave in terminals:
            os.fchown(slave, BENCH_UID, BENCH_UID)
            os.set_blocking(master, False)
        plain = publish_daemon(daemons, top, "publish", binary, recorder, photo)
        pts = os.path.join(top, "publish-pts", "dev", "pts")
        written = publish_daemon(daemons, top, "publish-pts", binary, recorder, photo, {"terminals": True},
                                 [("/dev/pts", pts)])
        os.mkdir(pts)  # in the daemon's private /dev, made by the constructor
        times = {}
        for daemon, hook in (plain, written):
            daemon.start(timeout=60)
            wait_start(hook, 1, DEADLINE_SECONDS + 10)
            settle(daemon)
            daemon.pending_messages()
            times[hook] = []
        for change in range(2, HOOK_ROUNDS + 2):
            for daemon, hook in (plain, written):
                for master, _ in terminals:
                    with contextlib.suppress(BlockingIOError):
                        os.read(master, 1 << 16)
                sent = time.monotonic_ns()
                os.kill(daemon.pid, signal.SIGUSR1)
                times[hook].append(wait_start(hook, change, DEADLINE_SECONDS + 10)["monotonic"] - sent)
                settle(daemon)
                if (logged := daemon.pending_messages()) != [SKIP_NOTICE]:
                    faults.append(f"publishing change {change} logged {logged}")
            # Every terminal got the sequences of the change, whole: sixteen colours, then three more.
            sequences = pathlib.Path(written[0].home, ".zelvo", "sequences").read_bytes()
            got = [os.read(master, 1 << 16) if select.select([master], [], [], 1)[0] else b"" for master, _ in terminals]
            if sorted(set(got)) != [sequences] or sequences.count(b"\x1b]") != 19:
                faults.append(f"change {change}: the terminals got {sorted(set(got))[:2]}, not {sequences!r}")
        for daemon, _ in (plain, written):
            daemon.stop()
    finally:
        for pair in terminals:
            for end in pair:
                os.close(end)
    alone, along = (statistics.median(times[hook]) for _, hook in (plain, written))
    rows = [(f"SIGUSR1 to hook start, colours on with the next palette prepared, xrdb and the three exports, median "
             f"of {HOOK_ROUNDS}", f"{ms(alone):.3f}", "ms", "-", "-"),
            (f"the same with terminals = true and {OPEN_TERMINALS} open pseudo-terminals (ref: without)",
             *ratio_cells(along, alone)),
            (f"terminals = true with {OPEN_TERMINALS} open pseudo-terminals, cost per change (difference of the medians)",
             f"{ms(along - alone):.3f}", "ms", "-", "-")]
    notes = [f"hook: p90 {ms(percentile(times[plain[1]], 0.9)):.3f} ms, with terminals "
             f"{ms(percentile(times[written[1]], 0.9)):.3f} ms; target median under 15 ms: "
             f"{'met' if ms(alone) < 15 else 'MISSED'}; a 1280x720 photo, changes of the two daemons alternating, each "
             "timed to the recording hook's own start stamp, the terminals drained between changes"]
    notes += [f"FAULT: {fault}" for fault in faults]
    for row in rows:
        print("row", *row, sep="\t")
    for note in notes:
        print("note", note, sep="\t")


def run_control(binary, recorder, top, daemons):
    """zelvoctl next to the viewer's start, and the time of a start with and without a daemon."""
    faults = []
    zelvoctl = os.path.join(os.path.dirname(binary), "zelvoctl")
    if not os.access(zelvoctl, os.X_OK):
        raise BenchError(f"no zelvoctl beside {binary}")
    daemon = Daemon(daemons, top, "control", binary, recorder, SMALL_RING)
    daemon.start(timeout=60)
    # Without XDG_RUNTIME_DIR both find the daemon in its home's ~/.zelvo/run.
    env = {"HOME": daemon.home, "PATH": os.environ.get("PATH", "/usr/bin:/bin")}

    def zelvoctl_run(*args, status=0):
        done = subprocess.run([zelvoctl, *args], env=env, capture_output=True, timeout=30)
        if done.returncode != status:
            raise BenchError(f"zelvoctl {' '.join(args)} gave {done.returncode}: {done.stderr!r}")

    through_zelvoctl, through_kill, count = [], [], 1
    for round_ in range(2 * CONTROL_ROUNDS):  # alternating, one at a time
        count += 1
        sent = time.monotonic_ns()
        if round_ % 2 == 0:
            zelvoctl_run("next")
        else:
            os.kill(daemon.pid, signal.SIGUSR1)
        (through_zelvoctl if round_ % 2 == 0 else through_kill).append(
            daemon.wait_records(count, timeout=10)["monotonic"] - sent)
        if daemon.messages(1, timeout=10) != [(daemon.pid, SKIP_NOTICE)]:
            faults.append(f"change {count} was not logged as a skip")
    pid_file = pathlib.Path(daemon.home, ".zelvo", "run", ":0.pid")
    if pid_file.read_text() != f"{daemon.pid}\n":
        faults.append(f"the pid file holds {pid_file.read_text()!r}, not {daemon.pid}")

    def start(*args):
        """Seconds until zelvo, in its namespace, has returned; its status and standard error."""
        command = namespace_command(daemon.dev, os.path.join(daemon.root, "log"), [binary, *args])
        began = time.monotonic_ns()
        done = subprocess.run(command, env=env, stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        return time.monotonic_ns() - began, done.returncode, done.stderr

    refused, floor, fresh = [], [], []
    for _ in range(START_ROUNDS):
        took, status, err = start()
        if (status, err) != (1, f"Zelvo is already running on display :0, as pid {daemon.pid}\r\n".encode()):
            faults.append(f"a second start gave {status}: {err!r}")
        refused.append(took)
        took, status, _ = start("-v")
        floor.append(took)
    for _ in range(START_ROUNDS):
        zelvoctl_run("quit")  # returns once the lock is let go
        reap_orphans()
        daemon.messages(1, timeout=10)
        took, status, err = start()
        if (status, err) != (0, b""):
            raise BenchError(f"a start after zelvoctl quit gave {status}: {err!r}")
        fresh.append(took)
        reap_orphans()  # the process that detached it
        daemon.pid = daemon.messages(2, timeout=10)[0][0]
        # The next quit must find its loop: until then SIGTERM would end it unlogged.
        deadline = time.monotonic() + 10
        while not int(daemon.status("SigCgt")[0], 16) & 1 << (signal.SIGTERM - 1):
            if time.monotonic() > deadline:
                raise BenchError("the daemon never caught SIGTERM")
            time.sleep(0.001)
    daemon.stop()

    rows = [(f"zelvoctl next to viewer start, median of {CONTROL_ROUNDS} (ref: SIGUSR1 sent by Python)",
             *ratio_cells(statistics.median(through_zelvoctl), statistics.median(through_kill))),
            (f"start-up until the command returns, {SMALL_RING} images, no daemon on the display, median of "
             f"{START_ROUNDS} (ref: zelvo -v)", *ratio_cells(statistics.median(fresh), statistics.median(floor))),
            (f"start-up refused, a daemon already on the display, median of {START_ROUNDS} (ref: zelvo -v)",
             *ratio_cells(statistics.median(refused), statistics.median(floor)))]
    notes = [f"control: zelvoctl next p90 {ms(percentile(through_zelvoctl, 0.9)):.3f} ms, max "
             f"{ms(max(through_zelvoctl)):.3f} ms; starts run in the daemon's private mount namespace, as does "
             "the reference, which costs unshare, the mounts and a shell"]
    notes += [f"FAULT: {fault}" for fault in faults]
    # These rows are the daemon's with colours on; bench/run.sh sets them beside those of MagickCore 7.
    for row in rows:
        print("colour-row", *row, sep="\t")
    for note in notes:
        print("note", note, sep="\t")


def ratio_cells(value, reference):
    """The cells of a row in milliseconds: value, unit, reference, ratio."""
    return f"{ms(value):.3f}", "ms", f"{ms(reference):.3f}", f"{value / reference:.2f}"


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


def solid_png(path, red, green, blue, side=8):
    """A side x side PNG of one colour, written directly: thousands of them in a moment."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    rows = (b"\0" + bytes((red, green, blue)) * side) * side
    pathlib.Path(path).write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", side, side, 8, 2, 0, 0, 0))
                                   + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def run_cache(binary, recorder, top, daemons):
    """CACHE_CHANGES changes CACHE_PACE_SECONDS apart with colours and the cache on, each of an image of its own
    (the ring walked by name); the cache's entries are counted every thousand changes and once the daemon has
    settled after the last."""
    changes = int(os.environ.get("ZELVO_CACHE_CHANGES", str(CACHE_CHANGES)))
    daemon, _ = colour_daemon(daemons, top, "cache", binary, recorder, None, {"cache": True, "order": "name"})
    images = os.path.join(daemon.root, "images")
    for path in daemon.images:
        os.remove(path)
    for number in range(changes + 1):
        solid_png(os.path.join(images, f"image-{number:06}.png"), number >> 16, number >> 8 & 255, number & 255)
    cache = pathlib.Path(daemon.home, ".zelvo", "cache")
    count = lambda: sum(1 for _ in cache.iterdir())
    daemon.start(timeout=120)
    most, began = 0, time.monotonic()
    for change in range(changes):
        os.kill(daemon.pid, signal.SIGUSR1)
        daemon.pending_messages()
        if change % 1000 == 999:
            most = max(most, count())
        time.sleep(max(0.0, began + (change + 1) * CACHE_PACE_SECONDS - time.monotonic()))
    # The last changes' steps and prunes end.
    deadline = time.monotonic() + 120
    while children(daemon.pid):
        daemon.pending_messages()
        if time.monotonic() > deadline:
            raise BenchError("the daemon's children did not end within 120 s")
        time.sleep(0.01)
    left = count()
    daemon.stop()
    print("row", f"palette cache entries after {changes:,} changes {CACHE_PACE_SECONDS * 1000:.0f} ms apart, each of "
          "its own image (ref: the bound)", left, "entries", CACHE_BOUND, f"{left / CACHE_BOUND:.3f}", sep="\t")
    print("row", "the same: the most entries counted between them, every 1,000 changes (ref: the bound)", most,
          "entries", CACHE_BOUND, f"{most / CACHE_BOUND:.3f}", sep="\t")


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
        binary, recorder = os.path.abspath(argv[1]), os.path.abspath(argv[2])
        only = [name for name in ("COLOURS", "PUBLISH", "CONTROL", "CACHE")
                if os.environ.get(f"ZELVO_{name}_ONLY", "0") != "0"]
        if not only:
            run(binary, recorder, idle_seconds, top, daemons)
        if not only or "COLOURS" in only:
            run_colours(binary, recorder, top, daemons)
        if not only or "PUBLISH" in only:
            run_publish(binary, recorder, top, daemons)
        if not only or "CONTROL" in only:
            run_control(binary, recorder, top, daemons)
        if not only or "CACHE" in only:
            run_cache(binary, recorder, top, daemons)
    except (BenchError, subprocess.TimeoutExpired, OSError) as error:
        print(f"cycle_bench: {error}", file=sys.stderr)
        return 1
    finally:
        clean_up(daemons, top)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
