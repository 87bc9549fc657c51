#!/usr/bin/env python3
"""Measures the Wayland side on a private headless sway 1.7 with the real
swaybg, through the probe that stands for the daemon (tests/integration/wayland_probe.cpp):
how long swaybg takes from its start to its first frame on screen, for a
small PNG and a 3840x2160 JPEG, on an idle machine and with both cores busy
(what the handover's bound rests on); how soon a change becomes the new
image on screen (the probe's `show`, as a SIGUSR1 is to the daemon, until grim
sees it; median of 20); and the probe's wake-ups while it holds the
connection and waits, with a wallpaper on screen (target 0).

Then the daemon itself with viewer = "swaybg" on the same sway, against the
daemon with the real feh on a private Xvfb: SIGUSR1 until the new image is on
screen (grim there, xwd here; median of 20) and the ratio of the two; the
daemon's wake-ups over the idle window with its Wayland connection held
(target 0); and its resident memory against the X11 daemon's with
monitors = "auto" (each holds one connection to its display server).

Every time on screen is polled with grim, one pixel at a time: a figure is
good to about one grim run, whose own median is given in a note.

Usage: wayland_bench.py ZELVO_WAYLAND_PROBE ZELVO_BINARY
Run it as root: sway runs as an unprivileged user. ZELVO_IDLE_SECONDS sets
the idle window (default 30); ZELVO_DAEMON_ONLY=1 measures only the daemon.
Prints "row" and "note" lines for bench/run.sh."""
import contextlib, ctypes, os, pathlib, shutil, signal, socket, statistics, struct, subprocess, sys, tempfile, \
    threading, time

sys.dont_write_bytecode = True
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "integration"))
os.environ.setdefault("ZELVO_WAYLAND_PROBE", sys.argv[1] if len(sys.argv) > 1 else "")
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from harness import TOOLS, libconfig_text, namespace_command  # noqa: E402
from wayland import PROGRAMS, USER, Sway, as_user, live_children, missing_programs  # noqa: E402
from xserver import XServer  # noqa: E402
from cycle_bench import BenchError  # noqa: E402
from monitors_bench import Case  # noqa: E402

ROUNDS = 20
IDLE_SECONDS = float(os.environ.get("ZELVO_IDLE_SECONDS", "30"))
CENTRE = (400, 300)  # amid HEADLESS-1, away from the partly transparent edges that swaybg leaves


def row(name, value, unit):
    print(f"row\t{name}\t{value}\t{unit}\t-\t-")


def milliseconds(seconds):
    return f"{seconds * 1000:.0f}"


def wait_pixel(sway, condition):
    """Polls the centre pixel until condition holds of it; gives the time it held."""
    deadline = time.monotonic() + 30
    while not condition(sway.pixel(*CENTRE)):
        if time.monotonic() > deadline:
            raise SystemExit("the screen never changed as awaited")
    return time.monotonic()


def first_frame(sway, image):
    """Seconds from the start of swaybg alone to its image on screen."""
    started = time.monotonic()
    swaybg = subprocess.Popen(as_user([PROGRAMS["swaybg"], "-o", "HEADLESS-1", "-i", image, "-m", "fill"]),
                              env=sway.environment(), stderr=subprocess.DEVNULL)
    drawn = wait_pixel(sway, lambda pixel: pixel != sway.bare)
    swaybg.terminate()
    swaybg.wait()
    wait_pixel(sway, lambda pixel: pixel == sway.bare)
    return drawn - started


@contextlib.contextmanager
def busy_cores(count):
    """count processes that spin until the block ends."""
    spinners = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(count)]
    try:
        yield
    finally:
        for spinner in spinners:
            spinner.kill()
            spinner.wait()


class Probe:
    """The probe as the compositor's user, its events read as they come."""

    def __init__(self, sway, work):
        self.errors = open(os.path.join(work, "probe.err"), "wb")
        self.process = subprocess.Popen(as_user([os.environ["ZELVO_WAYLAND_PROBE"], PROGRAMS["swaybg"], "--bg-fill"]),
                                        env=sway.environment(), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=self.errors)

    def send(self, *words):
        self.process.stdin.write((" ".join(words) + "\n").encode())
        self.process.stdin.flush()

    def wait_line(self, text):
        for line in self.process.stdout:
            if text in line.decode():
                return
        raise SystemExit(f"the probe ended before it said {text}")

    def wake_ups(self):
        status = pathlib.Path(f"/proc/{self.process.pid}/status").read_text().splitlines()
        return sum(int(line.split()[1]) for line in status if "ctxt_switches" in line)

    def stop(self):
        self.process.stdin.close()
        self.process.wait(10)
        self.process.stdout.close()
        self.errors.close()


class Daemon:
    """The real daemon in a private namespace, its syslog socket drained by a thread (a socket nobody reads
    would block it); as USER, with /dev/shm for swaybg, when on Wayland."""

    def __init__(self, binary, root, home, settings, env, wayland):
        self.root, self.pid, self.lines, self.arrived = root, None, [], threading.Condition()
        for directory in (root, os.path.join(root, "dev"), os.path.join(home, ".zelvo")):
            os.makedirs(directory, exist_ok=True)
        config = os.path.join(home, ".zelvo", ".zelvorc")
        pathlib.Path(config).write_text(libconfig_text(settings))
        binds, uid = [], None
        if wayland:
            uid = USER
            for path in (os.path.dirname(config), config):
                os.chown(path, USER, USER)
            os.makedirs(os.path.join(root, "dev", "shm"))
            binds = [("/dev/shm", os.path.join(root, "dev", "shm"))]
        self.log = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.log.bind(os.path.join(root, "log"))
        os.chmod(os.path.join(root, "log"), 0o666)
        threading.Thread(target=self.drain, daemon=True).start()
        command = namespace_command(os.path.join(root, "dev"), os.path.join(root, "log"), [binary], uid=uid,
                                    binds=binds)
        done = subprocess.run(command, env=env, stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        if (done.returncode, done.stdout, done.stderr) != (0, b"", b""):
            raise SystemExit(f"wayland_bench.py: the daemon did not start: {done!r}")
        self.wait_line("Zelvo is started")

    def drain(self):
        while True:
            try:
                datagram = self.log.recv(65536)
            except OSError:
                return
            head, _, text = datagram.decode(errors="replace").partition("]: ")
            with self.arrived:
                self.pid = self.pid or int(head.rsplit("[", 1)[1])
                self.lines.append(text)
                self.arrived.notify_all()

    def wait_line(self, text, start=0):
        with self.arrived:
            if not self.arrived.wait_for(lambda: text in self.lines[start:], 30):
                raise SystemExit(f"wayland_bench.py: the daemon never logged {text!r}: {self.lines}")

    def next_image(self):
        os.kill(self.pid, signal.SIGUSR1)

    def status(self, key):
        lines = pathlib.Path(f"/proc/{self.pid}/status").read_text().splitlines()
        return next(int(line.split()[1]) for line in lines if line.startswith(key + ":"))

    def switches(self):
        return self.status("voluntary_ctxt_switches") + self.status("nonvoluntary_ctxt_switches")

    def stop(self):
        if self.pid is not None and os.path.exists(f"/proc/{self.pid}"):
            os.kill(self.pid, signal.SIGTERM)
            deadline = time.monotonic() + 20
            while time.monotonic() < deadline:
                with contextlib.suppress(ChildProcessError):
                    if os.waitpid(self.pid, os.WNOHANG)[0] == self.pid:
                        break
                time.sleep(0.02)
        self.log.close()


def xwd_pixel(display, x, y):
    """The colour (r, g, b) of one pixel of the root window of an X display at depth 24, read with xwd."""
    shot = subprocess.run(["xwd", "-root", "-silent", "-display", display], capture_output=True, check=True,
                          timeout=10).stdout
    fields = struct.unpack(">25I", shot[:100])
    header, byte_order, bits, line, colours = fields[0], fields[7], fields[11], fields[12], fields[19]
    if bits != 32:
        raise SystemExit(f"wayland_bench.py: xwd gave {bits} bits per pixel")
    at = header + colours * 12 + y * line + x * 4
    pixel = struct.unpack("<I" if byte_order == 0 else ">I", shot[at:at + 4])[0]
    return (pixel >> 16) & 0xFF, (pixel >> 8) & 0xFF, pixel & 0xFF


def change_latencies(daemon, pixel, sequence, settled):
    """Seconds from SIGUSR1 to the next colour of sequence at the pixel, ROUNDS times, from the first colour
    of sequence on (the image before the first change); settled() holds once the viewer is back to rest."""
    def wait(colour, began):
        while pixel() != colour:
            if time.monotonic() > began + 30:
                raise SystemExit(f"wayland_bench.py: the screen never showed {colour}")
        return time.monotonic()

    wait(sequence[0], time.monotonic())
    latencies = []
    for change in range(1, ROUNDS + 1):
        deadline = time.monotonic() + 30
        while not settled():
            if time.monotonic() > deadline:
                raise SystemExit("wayland_bench.py: the viewer never came to rest")
            time.sleep(0.005)
        began = time.monotonic()
        daemon.next_image()
        latencies.append(wait(sequence[change % len(sequence)], began) - began)
    return latencies


def first_images(colours, monitors):
    """The colour of the first monitor at each change, the ring taken by name, monitors images at a time."""
    return [colours[change * monitors % len(colours)] for change in range(len(colours))]


def probe_figures(sway, work, small, large, colours):
    """swaybg alone and the probe: first frames, changes and idle wake-ups."""
    grim_runs = []
    for _ in range(ROUNDS):
        began = time.monotonic()
        sway.pixel(*CENTRE)
        grim_runs.append(time.monotonic() - began)
    for load, label in ((0, ""), (2, ", both cores busy")):
        with busy_cores(load):
            for name, image in (("64x48 PNG", small), ("3840x2160 JPEG", large)):
                times = [first_frame(sway, image) for _ in range(ROUNDS)]
                row(f"swaybg start to first frame, {name}{label}: median", milliseconds(statistics.median(times)), "ms")
                row(f"swaybg start to first frame, {name}{label}: most", milliseconds(max(times)), "ms")

    probe = Probe(sway, work)
    try:
        probe.wait_line("outputs")
        latencies = []
        for change in range(ROUNDS + 1):
            image = colours[change % len(colours)]
            expected = {"red": (255, 0, 0), "lime": (0, 255, 0), "blue": (0, 0, 255)}[os.path.basename(image)[:-4]]
            began = time.monotonic()
            probe.send("show", image)
            shown = wait_pixel(sway, lambda pixel: pixel == expected)
            if change > 0:  # the first has nothing to hand over from
                latencies.append(shown - began)
            # The one it replaced has ended: the next change finds one swaybg.
            probe.wait_line('"alive": 1}')
        row("change to the new image on screen (median of 20)", milliseconds(statistics.median(latencies)), "ms")
        before = probe.wake_ups()
        time.sleep(IDLE_SECONDS)
        row(f"wake-ups of the probe in {IDLE_SECONDS:g} s idle, connected, a wallpaper on screen",
            probe.wake_ups() - before, "")
    finally:
        probe.stop()
    print(f"note\tgrim takes {milliseconds(statistics.median(grim_runs))} ms for one pixel (median of {ROUNDS}):"
          " every time on screen is good to about that much")


def daemon_figures(binary, work, sway, images, colours):
    """The daemon on sway against the daemon on Xvfb with feh: change latency, idle wake-ups, memory."""
    case, daemons = Case(), []
    try:
        settings = {"colors": False, "minutes": 30, "order": "name", "source_to_use": "default", "default": images}
        wayland = Daemon(binary, os.path.join(work, "wayland-daemon"), sway.home, {**settings, "viewer": "swaybg"},
                         {**sway.environment(), "PATH": os.environ.get("PATH", "/usr/bin:/bin")}, True)
        daemons.append(wayland)
        one_swaybg = lambda: len(live_children(wayland.pid)) == 1
        wayland_times = change_latencies(wayland, lambda: sway.pixel(*CENTRE), first_images(colours, 2), one_swaybg)
        time.sleep(1)
        before = wayland.switches()
        time.sleep(IDLE_SECONDS)
        wake_ups = wayland.switches() - before
        wayland_memory = wayland.status("VmRSS")

        server = XServer(case, size="800x600")
        display = server.start()
        x_home = os.path.join(work, "x-home")
        x11 = Daemon(binary, os.path.join(work, "x-daemon"), x_home,
                     {**settings, "monitors": "auto", "bg-style": "--bg-fill", "DISPLAY": display},
                     {"HOME": x_home, "PATH": os.environ.get("PATH", "/usr/bin:/bin")}, False)
        daemons.append(x11)
        no_feh = lambda: not live_children(x11.pid)
        x_times = change_latencies(x11, lambda: xwd_pixel(display, *CENTRE), first_images(colours, 1), no_feh)
        x_memory = x11.status("VmRSS")
    finally:
        for daemon in daemons:
            daemon.stop()
        case.clean_up()
    wayland_median, x_median = statistics.median(wayland_times), statistics.median(x_times)
    print(f"row\tdaemon: SIGUSR1 to the new image on screen, swaybg on sway (ref: feh on Xvfb), median of {ROUNDS}"
          f"\t{milliseconds(wayland_median)}\tms\t{milliseconds(x_median)}\t{wayland_median / x_median:.1f}")
    row(f"daemon: wake-ups in {IDLE_SECONDS:g} s idle, viewer = \"swaybg\", connected", wake_ups, "")
    print(f"row\tdaemon: resident memory (VmRSS), swaybg with the Wayland connection (ref: feh, monitors = "
          f"\"auto\", X connection)\t{wayland_memory}\tKiB\t{x_memory}\t{wayland_memory / x_memory:.2f}")
    print(f"note\tthe daemon's change on Wayland waits out swaybg's handover bound of 1 s; grim reads one pixel"
          f" there, xwd the whole 800x600 root window on X")


def main():
    if os.geteuid() != 0 or missing_programs():
        raise SystemExit(__doc__ + f"\nmissing: {missing_programs()}")
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    # The detached daemons are re-parented here, so that they can be reaped.
    if ctypes.CDLL(None, use_errno=True).prctl(36, 1, 0, 0, 0) != 0:  # PR_SET_CHILD_SUBREAPER
        raise SystemExit("wayland_bench.py: cannot become a child subreaper")
    work = tempfile.mkdtemp(prefix="zelvo-wayland-bench-")
    os.chmod(work, 0o755)
    sway = Sway(os.path.join(work, "sway"))
    try:
        images = os.path.join(work, "images")
        os.mkdir(images, 0o755)
        small, large = os.path.join(images, "small.png"), os.path.join(images, "large.jpg")
        subprocess.run([TOOLS["convert"], "-size", "64x48", "gradient:red-blue", small], check=True)
        subprocess.run([TOOLS["convert"], "-size", "3840x2160", "-seed", "7", "plasma:fractal", "-quality", "90",
                        large], check=True)
        colours = [os.path.join(images, f"{name}.png") for name in ("red", "lime", "blue")]
        for path in colours:
            subprocess.run([TOOLS["convert"], "-size", "64x48", f"xc:{os.path.basename(path)[:-4]}", path], check=True)
        sway.start()

        if os.environ.get("ZELVO_DAEMON_ONLY") != "1":
            probe_figures(sway, work, small, large, colours)
        # By name: blue, lime, red.
        daemon_figures(sys.argv[2], work, sway, colours, [(0, 0, 255), (0, 255, 0), (255, 0, 0)])
    except BenchError as error:
        raise SystemExit(f"wayland_bench.py: {error}") from error
    finally:
        sway.stop()
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
