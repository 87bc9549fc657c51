#!/usr/bin/env python3
"""Measures viewer = "desktop" on the desktops' own programs, each on a private Xvfb with a private session
bus: how soon a SIGUSR1 becomes the new image on screen (xwd of the root window, which the desktop draws
over; median of 20) for Xfce's xfdesktop, MATE's caja and LXQt's pcmanfm-qt, and, when plasmashell is
installed, KDE Plasma's, against the daemon with the real feh on Xvfb; the daemon's wake-ups over the
idle window with its wallpaper set on Xfce (target 0); and its resident memory against feh's.

Usage: desktop_bench.py ZELVO_BINARY ZELVO_RECORDER (as root, like cycle_bench.py; the recorder is unused).
ZELVO_IDLE_SECONDS sets the idle window (default 30). The desktops' packages must be installed (the
integration module test_desktops.py installs them). Prints "row" and "note" lines for bench/run.sh."""
import ctypes, os, pathlib, shutil, statistics, subprocess, sys, tempfile, time

sys.dont_write_bytecode = True
here = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(here))
sys.path.insert(0, str(here.parent / "tests" / "integration"))
from cycle_bench import BenchError  # noqa: E402
from monitors_bench import Case  # noqa: E402
from wayland_bench import ROUNDS, Daemon, change_latencies, first_images, milliseconds, xwd_pixel  # noqa: E402
from wayland import live_children  # noqa: E402
from xserver import XServer, die_with_parent  # noqa: E402

IDLE_SECONDS = float(os.environ.get("ZELVO_IDLE_SECONDS", "30"))
CENTRE = (400, 300)
# Plasma draws with Qt's software renderer on Xvfb.
PLASMA_ENV = {"QT_XCB_GL_INTEGRATION": "none", "QT_QUICK_BACKEND": "software", "KDE_FULL_SESSION": "true"}
# (XDG_CURRENT_DESKTOP, what the rows call it, its program)
DESKTOPS = [("XFCE", "Xfce", ["xfdesktop", "--disable-wm-check"]), ("MATE", "MATE", ["caja", "-n", "--force-desktop"]),
            ("LXQt", "LXQt", ["pcmanfm-qt", "--desktop", "--profile=lxqt"]),
            ("KDE", "KDE Plasma", ["plasmashell", "--no-respawn"])]


class Session:
    """A private X server, session bus and desktop program in the folder root; ended by stop()."""

    def __init__(self, case, root, desktop, program):
        self.home, runtime = os.path.join(root, "home"), os.path.join(root, "runtime")
        os.makedirs(self.home)
        os.mkdir(runtime, 0o700)
        self.server = XServer(case, size="800x600")
        self.display = self.server.start()
        self.env = {"HOME": self.home, "PATH": os.environ.get("PATH", "/usr/bin:/bin"), "XDG_RUNTIME_DIR": runtime,
                    "DISPLAY": self.display, "XDG_CURRENT_DESKTOP": desktop, **(PLASMA_ENV if desktop == "KDE" else {})}
        self.processes = []
        bus = self.run([shutil.which("dbus-daemon"), "--session", "--nofork", "--print-address=1"], subprocess.PIPE)
        self.env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().decode().strip()
        bus.stdout.close()
        self.run(program)

    def run(self, argv, stdout=subprocess.DEVNULL):
        process = subprocess.Popen(argv, env=self.env, stdin=subprocess.DEVNULL, stdout=stdout,
                                   stderr=subprocess.DEVNULL, preexec_fn=die_with_parent)
        self.processes.append(process)
        return process

    def ready(self, desktop):
        """xfdesktop overwrites what is set before it has read its own settings: wait for them."""
        deadline = time.monotonic() + 30
        while desktop == "XFCE" and "/last-image" not in subprocess.run(
                ["xfconf-query", "-c", "xfce4-desktop", "-l"], env=self.env, capture_output=True, text=True).stdout:
            if time.monotonic() > deadline:
                raise BenchError("xfdesktop never listed its settings")
            time.sleep(0.05)

    def stop(self):
        for process in reversed(self.processes):
            process.kill()
            process.wait()
        self.server.kill()


def colour_images(folder):
    """Three solid PNGs of 64x48, by name blue, lime, red; gives their paths and their colours in that order."""
    os.makedirs(folder)
    paths = [os.path.join(folder, f"{name}.png") for name in ("blue", "lime", "red")]
    for path in paths:
        subprocess.run(["convert", "-size", "64x48", f"xc:{os.path.basename(path)[:-4]}", path], check=True)
    return paths, [(0, 0, 255), (0, 255, 0), (255, 0, 0)]


def measure(binary, work, name, desktop, program, images, colours, idle=False):
    """SIGUSR1 to the screen for one desktop (none: feh), and, with idle, the wake-ups and memory."""
    case, daemon, session = Case(), None, None
    root = os.path.join(work, name.replace(" ", "-"))
    settings = {"colors": False, "minutes": 30, "order": "name", "source_to_use": "default", "default": images,
                "bg-style": "--bg-scale", "viewer": "desktop" if desktop else "feh"}
    try:
        if desktop:
            session = Session(case, root, desktop, program)
            session.ready(desktop)
            env, display, home = session.env, session.display, session.home
        else:
            server = XServer(case, size="800x600")
            display, home = server.start(), os.path.join(root, "home")
            env = {"HOME": home, "PATH": os.environ.get("PATH", "/usr/bin:/bin"), "DISPLAY": display}
        daemon = Daemon(binary, os.path.join(root, "daemon"), home, settings, env, False)
        rested = lambda: not live_children(daemon.pid)
        times = change_latencies(daemon, lambda: xwd_pixel(display, *CENTRE), first_images(colours, 1), rested)
        figures = {"median": statistics.median(times), "most": max(times)}
        if idle:
            time.sleep(1)
            before = daemon.switches()
            time.sleep(IDLE_SECONDS)
            figures["wake-ups"] = daemon.switches() - before
            figures["memory"] = daemon.status("VmRSS")
        return figures
    finally:
        if daemon is not None:
            daemon.stop()
        if session is not None:
            session.stop()
        case.clean_up()


def main():
    if os.geteuid() != 0 or len(sys.argv) != 3:
        raise SystemExit(__doc__)
    missing = [program[0] for _, _, program in DESKTOPS[:3] if not shutil.which(program[0])]
    if missing:
        raise SystemExit(f"desktop_bench.py: missing {missing}: run the integration module test_desktops.py first")
    # The detached daemons are re-parented here, so that they can be reaped.
    if ctypes.CDLL(None, use_errno=True).prctl(36, 1, 0, 0, 0) != 0:  # PR_SET_CHILD_SUBREAPER
        raise SystemExit("desktop_bench.py: cannot become a child subreaper")
    work = tempfile.mkdtemp(prefix="zelvo-desktop-bench-")
    binary = os.path.abspath(sys.argv[1])
    try:
        images, colours = colour_images(os.path.join(work, "images"))
        feh = measure(binary, work, "feh", None, None, images, colours, idle=True)
        desktops = DESKTOPS if shutil.which("plasmashell") else DESKTOPS[:3]
        for desktop, name, program in desktops:
            found = measure(binary, work, name, desktop, program, images, colours, idle=desktop == "XFCE")
            print(f"row\tdesktop: SIGUSR1 to the new image on screen, {name} (ref: feh on Xvfb), median of {ROUNDS}"
                  f"\t{milliseconds(found['median'])}\tms\t{milliseconds(feh['median'])}"
                  f"\t{found['median'] / feh['median']:.1f}")
            print(f"note\t{name}: the slowest of {ROUNDS} changes took {milliseconds(found['most'])} ms")
            if "memory" in found:
                print(f"row\tdesktop: wake-ups in {IDLE_SECONDS:g} s idle, viewer = \"desktop\" on Xfce (ref: feh)"
                      f"\t{found['wake-ups']}\t\t{feh['wake-ups']}\t-")
                print(f"row\tdesktop: resident memory (VmRSS), viewer = \"desktop\" on Xfce (ref: feh)"
                      f"\t{found['memory']}\tKiB\t{feh['memory']}\t{found['memory'] / feh['memory']:.2f}")
        if len(desktops) == 3:
            print("note\tplasmashell is not installed: KDE Plasma was not measured")
    except BenchError as error:
        raise SystemExit(f"desktop_bench.py: {error}") from error
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
