#!/usr/bin/env python3
"""Measures the Wayland side on a private headless sway 1.7 with the real
swaybg, through the probe that stands for the daemon (tests/integration/wayland_probe.cpp):
how long swaybg takes from its start to its first frame on screen, for a
small PNG and a 3840x2160 JPEG, on an idle machine and with both cores busy
(what the handover's bound rests on); how soon a change becomes the new
image on screen (the probe's `show`, as a SIGUSR1 is to the daemon, until grim
sees it; median of 20); and the probe's wake-ups while it holds the
connection and waits, with a wallpaper on screen (target 0).

Every time on screen is polled with grim, one pixel at a time: a figure is
good to about one grim run, whose own median is given in a note.

Usage: wayland_bench.py ZELVO_WAYLAND_PROBE
Run it as root: sway runs as an unprivileged user. ZELVO_IDLE_SECONDS sets
the idle window (default 30). Prints "row" and "note" lines for bench/run.sh."""
import contextlib, os, pathlib, shutil, statistics, subprocess, sys, tempfile, time

sys.dont_write_bytecode = True
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "integration"))
os.environ.setdefault("ZELVO_WAYLAND_PROBE", sys.argv[1] if len(sys.argv) > 1 else "")
from harness import TOOLS  # noqa: E402
from wayland import PROGRAMS, USER, Sway, as_user, missing_programs  # noqa: E402

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


def main():
    if os.geteuid() != 0 or missing_programs():
        raise SystemExit(__doc__ + f"\nmissing: {missing_programs()}")
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
    finally:
        sway.stop()
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
