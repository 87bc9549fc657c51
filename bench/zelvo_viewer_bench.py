#!/usr/bin/env python3
"""Measures viewer = "zelvo", the daemon drawing every monitor itself, on one 3840x2160 monitor:
- a change: SIGUSR1 until the new image is on screen, its pictures (and colours) prepared while the one
  before rested, median of 20; on a private Xvfb against the daemon with feh, the root window's centre
  pixel watched by zelvo_pixel_watch (one GetImage a millisecond); on a private headless sway against the
  daemon with swaybg, watched with grim (one pixel a run; its own time is in a note);
- the same frame: from the picture on screen (the watcher) to xrdb's start (the recording stand-in's
  stamp, on the same clock), median of 20, on X;
- the daemon's resident memory after the changes (VmRSS) against the daemon with feh, and the shared
  memory it holds at rest: the pictures prepared for the next change, and on Wayland the buffers the
  compositor shows;
- its wake-ups over the idle window with a wallpaper on screen and the next prepared (target 0).
The images are 3840x2160 JPEGs of one colour each, colours and xrdb on.

Usage: zelvo_viewer_bench.py ZELVO_BINARY ZELVO_RECORDER ZELVO_PIXEL_WATCH (as root: sway runs as an
unprivileged user, the daemons in private mount namespaces). ZELVO_IDLE_SECONDS sets the idle window
(default 30). Prints "row" and "note" lines for bench/run.sh."""
import ctypes, os, pathlib, shutil, signal, statistics, subprocess, sys, tempfile, threading, time

sys.dont_write_bytecode = True
here = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(here))
sys.path.insert(0, str(here.parent / "tests" / "integration"))
from cycle_bench import BenchError, idle_sample  # noqa: E402
from harness import records  # noqa: E402
from monitors_bench import Case, row  # noqa: E402
from wayland import PROGRAMS, Sway, live_children  # noqa: E402
from wayland_bench import Daemon  # noqa: E402
from xserver import XServer  # noqa: E402

ROUNDS = 20
IDLE_SECONDS = float(os.environ.get("ZELVO_IDLE_SECONDS", "30"))
COLOURS = {"blue": (0, 0, 255), "lime": (0, 255, 0), "red": (255, 0, 0)}  # by name, the ring's order
CENTRE = (1920, 1080)


def close(one, other, tolerance=8):
    return all(abs(a - b) <= tolerance for a, b in zip(one, other))


class Watch:
    """zelvo_pixel_watch on the root window's centre: the moments at which its colour changed."""

    def __init__(self, program, display):
        self.process = subprocess.Popen([program, display, *map(str, CENTRE)], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE)
        self.seen, self.changed = [], threading.Condition()
        threading.Thread(target=self.read, daemon=True).start()

    def read(self):
        for line in self.process.stdout:
            nanoseconds, colour = line.split()
            with self.changed:
                self.seen.append((int(nanoseconds), bytes.fromhex(colour.decode())))
                self.changed.notify_all()

    def wait(self, colour, after):
        """The moment (ns) at which the pixel became colour, after the moment after."""
        with self.changed:
            found = self.changed.wait_for(lambda: next((at for at, seen in self.seen if at > after and
                                                        close(seen, colour)), None), 30)
        if found is None:
            raise BenchError(f"the screen never showed {colour}: {self.seen[-3:]}")
        return found

    def stop(self):
        self.process.stdin.close()
        self.process.wait(10)
        self.process.stdout.close()


def wait_for(condition, what, timeout=60):
    deadline = time.monotonic() + timeout
    while not (value := condition()):
        if time.monotonic() > deadline:
            raise BenchError(f"the daemon never {what}")
        time.sleep(0.005)
    return value


def pictures_held(pid):
    """The pictures' shared memory among the descriptors of a process: count and bytes."""
    count = size = 0
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            if "zelvo-picture" in os.readlink(f"/proc/{pid}/fd/{fd}"):
                count, size = count + 1, size + os.stat(f"/proc/{pid}/fd/{fd}").st_size
        except OSError:
            pass
    return count, size


def changes(daemon, shown, at_rest, xrdb, hook, on_x):
    """ROUNDS changes, each begun at rest: seconds from SIGUSR1 to the screen and to the hook's start (the
    last of a change, once the viewer has told that it is on screen), and from the screen to xrdb's start."""
    times, hooks, gaps = [], [], []
    first = list(COLOURS.values())
    for change in range(1, ROUNDS + 1):
        wait_for(at_rest, "came to rest")
        before = len(records(xrdb)), len(records(hook))
        began = time.monotonic_ns()
        daemon.next_image()
        if shown:
            on_screen = shown(first[change % len(first)], began)
            times.append((on_screen - began) / 1e9)
        started = wait_for(lambda: len(found := records(hook)) > before[1] and found[before[1]], "started the hook")
        hooks.append((started["monotonic"] - began) / 1e9)
        if on_x:
            start = wait_for(lambda: len(found := records(xrdb)) > before[0] and found[before[0]], "started xrdb")
            gaps.append((start["monotonic"] - on_screen) / 1e9)
    for program in (xrdb, hook):
        if os.path.exists(program + ".log"):
            os.unlink(program + ".log")
    return times, hooks, gaps


def grim_shown(sway):
    def shown(colour, began):
        while not close(sway.pixel(*CENTRE), colour):
            if time.monotonic_ns() - began > 30e9:
                raise BenchError(f"grim never saw {colour}")
        return time.monotonic_ns()
    return shown


def idle(daemon):
    # What the last change still has under way (the next one prepared, a buffer released) ends first.
    time.sleep(1)
    before = idle_sample(daemon.pid)
    time.sleep(IDLE_SECONDS)
    return idle_sample(daemon.pid)["switches"] - before["switches"]


def run(binary, recorder, watcher, work, case, daemons):
    images = os.path.join(work, "images")
    os.mkdir(images, 0o755)
    paths = [os.path.join(images, f"{name}.jpg") for name in COLOURS]
    for path, name in zip(paths, COLOURS):
        subprocess.run(["convert", "-size", "3840x2160", f"xc:{name}", "-quality", "90", path], check=True)
    xrdb, hook = os.path.join(work, "xrdb"), os.path.join(work, "hook")
    for program in (xrdb, hook):
        shutil.copy(recorder, program)
        os.chmod(program, 0o755)
    os.chmod(work, 0o777)  # where the stand-ins log, for the daemon as the compositor's user too
    settings = {"colors": True, "use-xrdb": True, "xrdb-path": xrdb, "hook": [hook], "minutes": 30, "order": "name",
                "source_to_use": "default", "default": [images], "bg-style": "--bg-fill"}
    no_children = lambda daemon: lambda: not live_children(daemon.pid)

    server = XServer(case, size="3840x2160")
    display = server.start()
    watch = Watch(watcher, display)
    figures = {}
    try:
        for viewer in ("zelvo", "feh"):
            home = os.path.join(work, f"x-{viewer}")
            daemon = Daemon(binary, os.path.join(work, f"x-{viewer}-daemon"), home,
                            {**settings, "viewer": viewer, "DISPLAY": display},
                            {"HOME": home, "PATH": os.environ.get("PATH", "/usr/bin:/bin")}, False)
            daemons.append(daemon)
            timed = changes(daemon, watch.wait, no_children(daemon), xrdb, hook, True)
            wakeups = idle(daemon) if viewer == "zelvo" else None
            wait_for(no_children(daemon), "came to rest")
            figures[("x", viewer)] = (*timed, daemon.status("VmRSS"), pictures_held(daemon.pid), wakeups)
            daemon.stop()
    finally:
        watch.stop()

    sway = Sway(os.path.join(work, "sway"), (("HEADLESS-1", "3840x2160", (0, 0)),))
    case.addCleanup(sway.stop)
    sway.start()
    grim_runs = []
    for _ in range(ROUNDS):
        began = time.monotonic()
        sway.pixel(*CENTRE)
        grim_runs.append(time.monotonic() - began)
    for viewer in ("zelvo", "swaybg"):
        daemon = Daemon(binary, os.path.join(work, f"wayland-{viewer}-daemon"), sway.home, {**settings, "viewer": viewer},
                        {**sway.environment(), "PATH": os.environ.get("PATH", "/usr/bin:/bin")}, True)
        daemons.append(daemon)
        rest = no_children(daemon) if viewer == "zelvo" else lambda: len(live_children(daemon.pid)) == 1
        timed = changes(daemon, grim_shown(sway), rest, xrdb, hook, False)
        if viewer == "zelvo":
            # Once more without grim, whose screenshots keep the compositor busy: to the frame callback alone.
            timed = (timed[0], changes(daemon, None, rest, xrdb, hook, False)[1], timed[2])
        wakeups = idle(daemon) if viewer == "zelvo" else None
        wait_for(rest, "came to rest")
        figures[("wayland", viewer)] = (*timed, daemon.status("VmRSS"), pictures_held(daemon.pid), wakeups)
        daemon.stop()
        shutil.rmtree(os.path.join(sway.home, ".zelvo"))

    median = lambda values: statistics.median(values) * 1000
    zx, feh, zw, swaybg = (figures[key] for key in (("x", "zelvo"), ("x", "feh"), ("wayland", "zelvo"),
                                                    ("wayland", "swaybg")))
    times, hooks, gaps, memory, held, wakeups = range(6)
    row("viewer = \"zelvo\" on X: SIGUSR1 to the new image on screen, prepared, 3840x2160, median of 20 (ref: feh)",
        f"{median(zx[times]):.1f}", "ms", f"{median(feh[times]):.1f}", f"{median(zx[times]) / median(feh[times]):.2f}")
    row("viewer = \"zelvo\" on Wayland: the same, seen by grim (ref: swaybg)", f"{median(zw[times]):.1f}", "ms",
        f"{median(swaybg[times]):.1f}", f"{median(zw[times]) / median(swaybg[times]):.2f}")
    row("viewer = \"zelvo\" on Wayland: SIGUSR1 to the hook's start, after the frame callback, no grim, median of 20",
        f"{median(zw[hooks]):.1f}", "ms")
    row("viewer = \"zelvo\" on X: picture on screen to xrdb's start, median of 20", f"{median(zx[gaps]):.1f}", "ms")
    for where, ours, theirs, name in (("X", zx, feh, "feh"), ("Wayland", zw, swaybg, "swaybg")):
        row(f"viewer = \"zelvo\" on {where}: daemon's VmRSS after 20 changes (ref: {name})", str(ours[memory]), "KiB",
            str(theirs[memory]), f"{ours[memory] / theirs[memory]:.2f}")
        row(f"viewer = \"zelvo\" on {where}: shared memory held at rest ({ours[held][0]} pictures)",
            f"{ours[held][1] / 2**20:.1f}", "MiB")
        row(f"viewer = \"zelvo\" on {where}: wake-ups over {IDLE_SECONDS:g} s idle", str(ours[wakeups]), "switches")
    met = lambda value, target: "met" if value < target else "MISSED"
    print(f"note\tzelvo viewer: change on X {median(zx[times]):.1f} ms (slowest {max(zx[times]) * 1000:.1f}), on "
          f"Wayland {median(zw[hooks]):.1f} ms to the frame callback (slowest {max(zw[hooks]) * 1000:.1f}): target "
          f"under 30 ms: {met(median(zx[times]), 30)} on X, {met(median(zw[hooks]), 30)} on Wayland; ratio to feh "
          f"under 1: {met(median(zx[times]) / median(feh[times]), 1)}. On screen to xrdb {median(zx[gaps]):.1f} ms "
          f"(slowest {max(zx[gaps]) * 1000:.1f}): target under 16 ms: {met(median(zx[gaps]), 16)}; with feh, xrdb "
          f"starts {-median(feh[gaps]):.1f} ms before the picture is on screen. grim takes {median(grim_runs):.1f} ms "
          f"a run on the 3840x2160 output: the times it sees are good to about that. VmRSS target under 12 MiB: "
          f"{met(max(zx[memory], zw[memory]), 12 * 1024)}. Idle target 0: X {zx[wakeups]}, Wayland {zw[wakeups]}.")


def bench_main(program, usage, arguments, run):
    """The frame of a benchmark that drives daemons as root: checks its arguments and tools, becomes the
    subreaper of the daemons it starts, runs it in a folder of its own, and stops and removes all at the end."""
    if len(sys.argv) != arguments + 1:
        raise SystemExit(usage)
    missing = [name for name, path in PROGRAMS.items() if not path]
    if os.geteuid() != 0 or missing:
        raise SystemExit(usage + f"\nmissing: {missing}")
    # The detached daemons are re-parented here, so that they can be reaped.
    if ctypes.CDLL(None, use_errno=True).prctl(36, 1, 0, 0, 0) != 0:  # PR_SET_CHILD_SUBREAPER
        raise SystemExit(f"{program}: cannot become a child subreaper")
    work = tempfile.mkdtemp(prefix=f"zelvo-{program.removesuffix('.py')}-")
    case, daemons = Case(), []
    try:
        run(*map(os.path.abspath, sys.argv[1:]), work, case, daemons)
    except BenchError as error:
        raise SystemExit(f"{program}: {error}") from error
    finally:
        for daemon in daemons:
            daemon.stop()
        case.clean_up()
        shutil.rmtree(work, ignore_errors=True)


def main():
    bench_main("zelvo_viewer_bench.py", __doc__, 3, run)


if __name__ == "__main__":
    main()
