#!/usr/bin/env python3
"""Measures zelvo's own drawing on Wayland (the painter, through its probe,
tests/integration/wayland_painter_probe.cpp) on a private headless sway 1.7
with one 3840x2160 output, against swaybg on the same output (through the
swaybg probe, as the daemon changes it) and feh on a private 3840x2160 Xvfb.

- A show of a 3840x2160 picture already in shared memory (the decoding is
  the worker's, not measured here) until its frame callback, and until grim
  sees it on screen; the gap between the two. Median of 20.
- The same change with swaybg (a 3840x2160 PNG, until grim sees it) and with
  feh (started on a 3840x2160 PNG, until the root window's pixel has it,
  read with GetImage through libxcb): the ratios.
- The probe at rest with a picture on screen over the idle window: its
  wake-ups (target 0), its resident memory, and the shared memory the
  compositor holds mapped of the painter's buffers (one for the output).
- Transitions, on a second headless sway with a 1920x1080 and a 3840x2160
  output (60 Hz), one output at a time: 1 s fades at 30 fps from black to
  white and back, FADE_ROUNDS of each: the frames delivered against those
  asked for, from the painter's own count; the processor time of the probe
  (the daemon's side: the painter and its connection) and of the blending
  worker (reaped, so counted whole); against blending each frame whole in
  the probe itself, as a daemon that blends its own frames would (one pass
  over every pixel each frame); the shared memory that the probe holds and
  that the compositor has mapped of it, half way through a fade and after
  it; the worker's time for a wipe, which writes only what changed; and the
  frames delivered at 60 fps, as often as the outputs refresh.

Usage: painter_bench.py ZELVO_WAYLAND_PAINTER_PROBE ZELVO_WAYLAND_PROBE
Run it as root: sway runs as an unprivileged user. ZELVO_IDLE_SECONDS sets
the idle window (default 30); ZELVO_TRANSITIONS_ONLY=1 measures the
transitions alone. Prints "row" and "note" lines for bench/run.sh."""
import ctypes, json, os, pathlib, shutil, statistics, subprocess, sys, tempfile, threading, time

sys.dont_write_bytecode = True
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "integration"))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from harness import TOOLS  # noqa: E402
from wayland import PROGRAMS, Sway, as_user  # noqa: E402
from xserver import XServer  # noqa: E402
from monitors_bench import Case  # noqa: E402

ROUNDS = 20
FADE_ROUNDS = 5
IDLE_SECONDS = float(os.environ.get("ZELVO_IDLE_SECONDS", "30"))
CENTRE = (1920, 1080)
COLOURS = {"red": (255, 0, 0), "lime": (0, 255, 0), "blue": (0, 0, 255)}


def row(name, value, unit, reference="-", ratio="-"):
    print(f"row\t{name}\t{value}\t{unit}\t{reference}\t{ratio}")


def ms(seconds):
    return f"{seconds * 1000:.0f}"


class Lines:
    """A probe as the compositor's user, its JSON lines gathered as they come."""

    def __init__(self, argv, env, errors):
        self.errors = open(errors, "wb")
        self.process = subprocess.Popen(as_user(argv), env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=self.errors)
        self.events, self.changed = [], threading.Condition()
        threading.Thread(target=self.read, daemon=True).start()

    def read(self):
        for line in self.process.stdout:
            with self.changed:
                self.events.append(json.loads(line))
                self.changed.notify_all()

    def send(self, *words):
        self.process.stdin.write((" ".join(words) + "\n").encode())
        self.process.stdin.flush()

    def wait(self, condition, what, start=0, timeout=60):
        with self.changed:
            found = self.changed.wait_for(lambda: next((e for e in self.events[start:] if condition(e)), None), timeout)
        if not found:
            raise SystemExit(f"painter_bench.py: the probe never {what}: {self.events[start:][-5:]}")
        return found

    def status(self, key):
        lines = pathlib.Path(f"/proc/{self.process.pid}/status").read_text().splitlines()
        return next(int(line.split()[1]) for line in lines if line.startswith(key + ":"))

    def stop(self):
        self.process.stdin.close()
        self.process.wait(10)
        self.process.stdout.close()
        self.errors.close()


def until_pixel(pixel, colour, began, limit=30):
    """Reads the pixel until it has the colour; gives the time the read that saw it ended."""
    while pixel() != colour:
        if time.monotonic() > began + limit:
            raise SystemExit(f"painter_bench.py: the screen never showed {colour}")
    return time.monotonic()


class XPixel:
    """One pixel of an X display's root window, read with GetImage through libxcb."""

    class Iterator(ctypes.Structure):
        _fields_ = [("data", ctypes.c_void_p), ("rem", ctypes.c_int), ("index", ctypes.c_int)]

    class Cookie(ctypes.Structure):
        _fields_ = [("sequence", ctypes.c_uint)]

    def __init__(self, display):
        xcb, self.libc = ctypes.CDLL("libxcb.so.1"), ctypes.CDLL(None)
        xcb.xcb_connect.restype, xcb.xcb_connect.argtypes = ctypes.c_void_p, [ctypes.c_char_p, ctypes.c_void_p]
        xcb.xcb_get_setup.restype, xcb.xcb_get_setup.argtypes = ctypes.c_void_p, [ctypes.c_void_p]
        xcb.xcb_setup_roots_iterator.restype = self.Iterator
        xcb.xcb_setup_roots_iterator.argtypes = [ctypes.c_void_p]
        xcb.xcb_get_image.restype = self.Cookie
        xcb.xcb_get_image.argtypes = [ctypes.c_void_p, ctypes.c_uint8, ctypes.c_uint32, ctypes.c_int16, ctypes.c_int16,
                                      ctypes.c_uint16, ctypes.c_uint16, ctypes.c_uint32]
        xcb.xcb_get_image_reply.restype = ctypes.c_void_p
        xcb.xcb_get_image_reply.argtypes = [ctypes.c_void_p, self.Cookie, ctypes.c_void_p]
        xcb.xcb_get_image_data.restype = ctypes.POINTER(ctypes.c_uint8)
        xcb.xcb_get_image_data.argtypes = [ctypes.c_void_p]
        xcb.xcb_disconnect.argtypes = [ctypes.c_void_p]
        self.libc.free.argtypes = [ctypes.c_void_p]
        self.xcb, self.connection = xcb, xcb.xcb_connect(display.encode(), None)
        roots = xcb.xcb_setup_roots_iterator(xcb.xcb_get_setup(self.connection))
        self.root = ctypes.c_uint32.from_address(roots.data).value

    def __call__(self):
        z_pixmap = 2
        reply = self.xcb.xcb_get_image_reply(self.connection, self.xcb.xcb_get_image(
            self.connection, z_pixmap, self.root, CENTRE[0], CENTRE[1], 1, 1, 0xFFFFFFFF), None)
        if not reply:
            raise SystemExit("painter_bench.py: GetImage failed")
        data = self.xcb.xcb_get_image_data(reply)
        pixel = (data[2], data[1], data[0])
        self.libc.free(reply)
        return pixel

    def close(self):
        self.xcb.xcb_disconnect(self.connection)


def painter_figures(sway, probe_path, work):
    """Shows until the frame callback and until grim; then the probe at rest."""
    probe = Lines([probe_path], sway.environment(), os.path.join(work, "painter.err"))
    try:
        probe.wait(lambda event: "outputs" in event, "reported its outputs")
        names = list(COLOURS)
        # Each picture is made once, before anything is timed.
        for name in names:
            start = len(probe.events)
            probe.send("show", f"HEADLESS-1=#{bytes(COLOURS[name]).hex()}")
            probe.wait(lambda event: "shown" in event, "showed a picture", start)
        frames, screens = [], []
        for change in range(ROUNDS):
            colour = COLOURS[names[change % len(names)]]
            start = len(probe.events)
            began = time.monotonic()
            probe.send("show", f"HEADLESS-1=#{bytes(colour).hex()}")
            seen = until_pixel(lambda: sway.pixel(*CENTRE), colour, began)
            shown = probe.wait(lambda event: "shown" in event, "ended a show", start)
            if shown["end"] != "framed":
                raise SystemExit(f"painter_bench.py: a show ended {shown['end']}")
            frames.append(shown["at"] - began)
            screens.append(seen - began)
        # At rest: the last frame callback has come and the buffers before are released.
        deadline = time.monotonic() + 10
        while True:
            start = len(probe.events)
            probe.send("counts")
            counts = probe.wait(lambda event: "counts" in event, "counted", start)
            if counts["counts"]["buffers"] == 1 or time.monotonic() > deadline:
                break
        time.sleep(1)
        before = probe.status("voluntary_ctxt_switches") + probe.status("nonvoluntary_ctxt_switches")
        time.sleep(IDLE_SECONDS)
        wake_ups = probe.status("voluntary_ctxt_switches") + probe.status("nonvoluntary_ctxt_switches") - before
        rss = probe.status("VmRSS")
        mapped = mapped_pictures(sway.compositor_pid())
    finally:
        probe.stop()
    return frames, screens, wake_ups, rss, counts["counts"]["buffers"], mapped


def mapped_pictures(pid):
    """The compositor's mappings of the painter's picture memory: their count and KiB."""
    count, size = 0, 0
    for line in pathlib.Path(f"/proc/{pid}/maps").read_text().splitlines():
        if "memfd:zelvo-picture" in line:
            low, high = (int(part, 16) for part in line.split()[0].split("-"))
            count, size = count + 1, size + (high - low) // 1024
    return count, size


def transition_figures(probe_path, work):
    """1 s fades (and wipes) at 30 fps on each output of a sway of its own; figures for each output."""
    outputs = {"HEADLESS-1": (1920, 1080), "HEADLESS-2": (3840, 2160)}
    sway = Sway(os.path.join(work, "fades"), [(name, f"{w}x{h}", (x, 0)) for x, (name, (w, h))
                                              in zip((0, 1920), outputs.items())])
    figures = {}
    try:
        sway.start()
        probe = Lines([probe_path], sway.environment(), os.path.join(work, "fades.err"))
        counted = lambda: (start := len(probe.events), probe.send("counts"),
                           probe.wait(lambda event: "counts" in event, "counted", start))[2]
        try:
            probe.wait(lambda event: "outputs" in event, "reported its outputs")
            colours = ["#000000", "#ffffff"]
            start = len(probe.events)
            probe.send("show", *(f"{name}={colours[1]}" for name in outputs))
            probe.wait(lambda event: "shown" in event, "showed a picture", start)
            for name, (width, height) in outputs.items():
                found = {"ratios": [], "probe": [], "worker": [], "wipe": [], "during": [], "mapped": [], "fast": []}
                for number, (kind, fps) in enumerate([("fade", 30)] * FADE_ROUNDS + [("wipe", 30)] * 3 +
                                                     [("fade", 60)] * 3):
                    colour = colours[(number + 1) % 2]
                    before = counted()
                    start = len(probe.events)
                    # Half way, the probe counts what it holds while the frames go, once.
                    probe.send("show", f"with={kind}", "ms=1000", f"fps={fps}", f"{name}={colour}")
                    probe.send("after", "500", "counts")
                    show = probe.wait(lambda event: "show" in event, "took a show", start)["show"]
                    during = probe.wait(lambda event: "counts" in event, "counted half way", start)
                    mapped = mapped_pictures(sway.compositor_pid())[1]
                    end = probe.wait(lambda event: event.get("shown") == show, "ended a transition", start)
                    if end["end"] != "framed":
                        raise SystemExit(f"painter_bench.py: a transition ended {end['end']}")
                    after = counted()
                    # The worker is reaped once it has ended: its time is counted then.
                    deadline = time.monotonic() + 10
                    while (reaped := counted())["blenders"] or reaped["cpu"]["children"] == before["cpu"]["children"]:
                        if time.monotonic() > deadline:
                            raise SystemExit("painter_bench.py: the blending worker was never reaped")
                        time.sleep(0.05)
                    worker = reaped["cpu"]["children"] - before["cpu"]["children"]
                    ratio = (after["frames"][name] - before["frames"][name]) / (after["asked"][name] - before["asked"][name])
                    if kind == "wipe":
                        found["wipe"].append(worker)
                        continue
                    if fps == 60:
                        found["fast"].append(ratio)
                        continue
                    found["ratios"].append(ratio)
                    found["probe"].append(after["cpu"]["self"] - before["cpu"]["self"])
                    found["worker"].append(worker)
                    found["during"].append(during["shared"])
                    found["mapped"].append(mapped)
                # At rest after the last, each output's buffers but one let go; the probe keeps both pictures it
                # made for the output.
                deadline = time.monotonic() + 10
                while (rest := counted())["counts"]["buffers"] != len(outputs):
                    if time.monotonic() > deadline:
                        raise SystemExit(f"painter_bench.py: buffers never let go: {rest}")
                    time.sleep(0.05)
                found["after"] = rest["shared"]
                found["mapped_after"] = mapped_pictures(sway.compositor_pid())[1]
                start = len(probe.events)
                probe.send("blend", str(width), str(height), "30")
                found["in_daemon"] = probe.wait(lambda event: "blended" in event, "blended here", start)["blended"]["cpu"]
                figures[name] = (width, height, found)
        finally:
            probe.stop()
    finally:
        sway.stop()
    return figures


def swaybg_figures(sway, probe_path, images, work):
    """The swaybg probe's change (as the daemon makes it) until grim sees the new image."""
    probe = Lines([probe_path, PROGRAMS["swaybg"], "--bg-fill"], sway.environment(), os.path.join(work, "swaybg.err"))
    times = []
    try:
        probe.wait(lambda event: "outputs" in event, "reported its outputs")
        names = list(COLOURS)
        for change in range(ROUNDS + 1):
            name = names[change % len(names)]
            start = len(probe.events)
            began = time.monotonic()
            probe.send("show", images[name])
            seen = until_pixel(lambda: sway.pixel(*CENTRE), COLOURS[name], began)
            if change > 0:  # the first has nothing to hand over from
                times.append(seen - began)
            # The one it replaced has ended: the next change finds one swaybg.
            probe.wait(lambda event: event.get("alive") == 1 and event.get("on_screen") is not None,
                       "handed over", start)
    finally:
        probe.stop()
    return times


def feh_figures(images, work):
    """feh started on a 3840x2160 PNG until the root window's pixel has it, on a 3840x2160 Xvfb."""
    case, times = Case(), []
    try:
        server = XServer(case, size="3840x2160")
        display = server.start()
        pixel = XPixel(display)
        case.addCleanup(pixel.close)
        names = list(COLOURS)
        env = {"DISPLAY": display, "HOME": work, "PATH": os.environ.get("PATH", "/usr/bin:/bin")}
        for change in range(ROUNDS + 1):
            name = names[change % len(names)]
            began = time.monotonic()
            subprocess.run(["feh", "--no-fehbg", "--bg-fill", images[name]], env=env, check=True, timeout=30)
            seen = until_pixel(pixel, COLOURS[name], began)
            if change > 0:
                times.append(seen - began)
    finally:
        case.clean_up()
    return times


def main():
    if os.geteuid() != 0 or len(sys.argv) != 3:
        raise SystemExit(__doc__)
    load = os.getloadavg()[0]
    work = tempfile.mkdtemp(prefix="zelvo-painter-bench-")
    os.chmod(work, 0o755)
    if os.environ.get("ZELVO_TRANSITIONS_ONLY") == "1":
        try:
            transition_rows(transition_figures(sys.argv[1], work), load)
        finally:
            shutil.rmtree(work)
        return
    sway = Sway(os.path.join(work, "sway"), (("HEADLESS-1", "3840x2160", (0, 0)),))
    try:
        images = {}
        for name in COLOURS:
            images[name] = os.path.join(work, f"{name}.png")
            subprocess.run([TOOLS["convert"], "-size", "3840x2160", f"xc:{name}", images[name]], check=True)
        sway.start()
        grim_runs = []
        for _ in range(ROUNDS):
            began = time.monotonic()
            sway.pixel(*CENTRE)
            grim_runs.append(time.monotonic() - began)
        frames, screens, wake_ups, rss, buffers, (mapped, mapped_kib) = painter_figures(sway, sys.argv[1], work)
        swaybg = swaybg_figures(sway, sys.argv[2], images, work)
        feh = feh_figures(images, work)
        sway.stop()
        transitions = transition_figures(sys.argv[1], work)
    finally:
        sway.stop()
        shutil.rmtree(work)
    frame, screen = statistics.median(frames), statistics.median(screens)
    gaps = [seen - framed for seen, framed in zip(screens, frames)]
    row(f"painter: show on a 3840x2160 output to its frame callback, median of {ROUNDS}", ms(frame), "ms")
    row(f"painter: show on a 3840x2160 output until grim sees it (ref: swaybg's change), median of {ROUNDS}",
        ms(screen), "ms", ms(statistics.median(swaybg)), f"{screen / statistics.median(swaybg):.3f}")
    row(f"painter: show on a 3840x2160 output until grim sees it (ref: feh on a 3840x2160 Xvfb), median of {ROUNDS}",
        ms(screen), "ms", ms(statistics.median(feh)), f"{screen / statistics.median(feh):.2f}")
    row(f"painter: frame callback to grim seeing the picture, median of {ROUNDS} (most)",
        f"{ms(statistics.median(gaps))} ({ms(max(gaps))})", "ms")
    row(f"painter probe: wake-ups in {IDLE_SECONDS:g} s idle, a picture on screen", wake_ups, "")
    row("painter probe: resident memory (VmRSS) at rest", rss, "KiB")
    row("painter: buffers alive at rest, one output (compositor's mappings of them, KiB)",
        f"{buffers} ({mapped}, {mapped_kib})", "")
    print(f"note\tgrim takes {ms(statistics.median(grim_runs))} ms for one pixel of the 3840x2160 output (median of "
          f"{ROUNDS}): a time until grim sees the picture is good to about that much; the gap ends with the first grim run "
          "that saw the picture, which may have begun before the frame callback")
    print("note\tthe painter's show starts from a picture already in shared memory; swaybg and feh decode a "
          "3840x2160 PNG first, and swaybg's change waits out the handover's bound of 1 s")
    transition_rows(transitions, load)


def transition_rows(figures, load):
    mib = lambda size: f"{size / 1048576:.1f}"
    for name, (width, height, found) in figures.items():
        size = f"{width}x{height}"
        ratios = found["ratios"]
        row(f"transition: frames delivered / asked for, 1 s fade at 30 fps on a {size} output, median of "
            f"{len(ratios)} (least)", f"{statistics.median(ratios):.3f} ({min(ratios):.3f})", "", "0.95")
        row(f"transition: frames delivered / asked for, 1 s fade at 60 fps (the outputs' refresh) on a {size} output, "
            f"median of {len(found['fast'])} (least)", f"{statistics.median(found['fast']):.3f} ({min(found['fast']):.3f})",
            "")
        probe, worker, here = statistics.median(found["probe"]), statistics.median(found["worker"]), found["in_daemon"]
        row(f"transition: processor time of the daemon's side (the probe) for one 1 s fade at 30 fps, {size} "
            "(ref: each frame blended whole in the daemon)", ms(probe), "ms", ms(here), f"{probe / here:.3f}")
        row(f"transition: processor time of the blending worker for that fade, {size} "
            "(ref: each frame blended whole in the daemon)", ms(worker), "ms", ms(here), f"{worker / here:.2f}")
        row(f"transition: processor time of the blending worker for a 1 s wipe at 30 fps, {size}, median of "
            f"{len(found['wipe'])} (ref: the fade's)", ms(statistics.median(found["wipe"])), "ms", ms(worker),
            f"{statistics.median(found['wipe']) / worker:.2f}")
        row(f"transition: shared memory held for the transition half way through a fade, {size} (after it)",
            f"{mib(statistics.median(found['during']) - found['after'])} (0)", "MiB", mib(width * height * 4),
            f"{(statistics.median(found['during']) - found['after']) / (width * height * 4):.2f}")
        row(f"transition: the compositor's mappings of the pictures half way through a fade, {size} (after it)",
            f"{mib(statistics.median(found['mapped']) * 1024)} ({mib(found['mapped_after'] * 1024)})", "MiB")
    print(f"note\ttransitions: the machine's load average was {load:.2f} when the benchmark began and "
          f"{os.getloadavg()[0]:.2f} at its end (2 processors, shared); the shared memory held for a transition is "
          "what the probe holds half way less what it holds after (the pictures it keeps for its shows), against one "
          "picture of the output; the compositor's mappings include the other output's picture; the worker's time "
          "includes its start, its mapping of both pictures and of its ring (each page faulted in once, the ring's "
          "fresh) and the ring's first round written whole, which the reference, blending into memory already "
          "touched, does not")


if __name__ == "__main__":
    main()
