#!/usr/bin/env python3
"""A private headless sway for the tests, with the probes that stand for the
daemon's Wayland side (wayland_probe.cpp with swaybg, wayland_painter_probe.cpp
with zelvo's own drawing) and screenshots by grim; and a private headless
weston, a compositor without the layer shell.

sway refuses to run as root, so it runs as USER, in a runtime directory of its
own (mode 0700, owned by USER), with an output configuration that sets each
output's mode and position and has no `bg` line (sway's own swaybg would
hide every other). Each compositor lives at most LIFETIME seconds, whatever
happens to the test that started it, and is always ended by its stop().
A headless output cannot go; a sway nested in another (inside=) has outputs
that are windows of the other's, and one goes when its window is closed."""
import collections, json, os, pathlib, shutil, signal, subprocess, threading, time

from harness import TOOLS, namespace_command

USER = 65534
PROBE = os.environ.get("ZELVO_WAYLAND_PROBE", "")
PAINTER_PROBE = os.environ.get("ZELVO_WAYLAND_PAINTER_PROBE", "")
PROGRAMS = {name: shutil.which(name) for name in ("sway", "swaymsg", "swaybg", "grim", "timeout", "weston")}
LIFETIME = 300
# Outputs of the headless backend: name, mode, position. sway 1.7 numbers them from 1.
TWO_OUTPUTS = (("HEADLESS-1", "800x600", (0, 0)), ("HEADLESS-2", "640x480", (800, 0)))
# Named against their order: left to right, then top to bottom, is 2, 3, 1.
UNORDERED_OUTPUTS = (("HEADLESS-1", "800x600", (640, 0)), ("HEADLESS-2", "640x480", (0, 0)),
                     ("HEADLESS-3", "320x240", (0, 480)))
# Solid colours far apart from each other and from sway's grey.
COLOURS = ["#ff0000", "#00c000", "#0000ff", "#ffff00", "#ff00ff", "#00ffff"]
Output = collections.namedtuple("Output", "name mode position")


def missing_programs():
    """The programs that the Wayland tests need and this machine lacks."""
    found = dict(PROGRAMS, probe=PROBE if os.access(PROBE, os.X_OK) else None,
                 painter_probe=PAINTER_PROBE if os.access(PAINTER_PROBE, os.X_OK) else None, setpriv=TOOLS["setpriv"])
    return [name for name, path in found.items() if not path]


def as_user(argv):
    return [TOOLS["setpriv"], f"--reuid={USER}", f"--regid={USER}", "--clear-groups", "--", *argv]


def ppm_pixels(data):
    """(width, height, RGB bytes) of a binary PPM as grim writes it (maxval 255, no comments)."""
    magic, width, height, maxval, pixels = data.split(maxsplit=4)
    assert magic == b"P6" and maxval == b"255", data[:32]
    return int(width), int(height), pixels


def live_children(pid):
    """The children of pid that have not ended (zombies aside)."""
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as listing:
            pids = [int(child) for child in listing.read().split()]
    except FileNotFoundError:
        return []
    live = []
    for child in pids:
        try:
            with open(f"/proc/{child}/stat", "rb") as stat:
                if stat.read().rsplit(b")", 1)[1].split()[0] != b"Z":
                    live.append(child)
        except (FileNotFoundError, ProcessLookupError):  # it ended while we looked
            pass
    return live


class Sway:
    """One private headless compositor in the directory top (made here)."""

    def __init__(self, top, outputs=TWO_OUTPUTS, spare=(), inside=None, lines=()):
        self.top, self.outputs, self.inside = top, [Output(*output) for output in outputs], inside
        self.runtime, self.home = os.path.join(top, "runtime"), os.path.join(top, "home")
        for directory in (top, self.home):
            os.makedirs(directory, mode=0o755, exist_ok=True)
        os.mkdir(self.runtime, 0o700)
        os.chown(self.runtime, USER, USER)
        os.chown(self.home, USER, USER)
        # Outputs created later (create_output) take the settings named here.
        lines = ["xwayland disable", *lines] + [f"output {name} mode {mode} position {x} {y}"
                                                for name, mode, (x, y) in [*self.outputs, *map(lambda o: Output(*o), spare)]]
        self.config = os.path.join(top, "sway.config")
        pathlib.Path(self.config).write_text("\n".join(lines) + "\n")
        self.process, self.display, self.bare = None, None, None

    def environment(self):
        """What a client of this compositor needs in its environment."""
        return {"XDG_RUNTIME_DIR": self.runtime, "WAYLAND_DISPLAY": self.display, "HOME": self.home}

    def start(self, timeout=20):
        """Starts the compositor and waits until its outputs are all there; a
        restart must come back on the same WAYLAND_DISPLAY."""
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": self.home, "XDG_RUNTIME_DIR": self.runtime,
               "WLR_BACKENDS": "headless", "WLR_RENDERER": "pixman", "WLR_LIBINPUT_NO_DEVICES": "1",
               "WLR_HEADLESS_OUTPUTS": str(len(self.outputs))}
        if self.inside:
            env.update(WLR_BACKENDS="wayland", WLR_WL_OUTPUTS=env.pop("WLR_HEADLESS_OUTPUTS"),
                       WAYLAND_DISPLAY=os.path.join(self.inside.runtime, self.inside.display))
        with open(os.path.join(self.top, "sway.log"), "ab") as log:
            # timeout is the group's leader (it makes a group of its own): one killpg ends both.
            self.process = subprocess.Popen(as_user([PROGRAMS["timeout"], "-s", "KILL", str(LIFETIME), PROGRAMS["sway"],
                                                     "-c", self.config]), env=env, stdin=subprocess.DEVNULL,
                                            stdout=log, stderr=log)
        deadline, previous = time.monotonic() + timeout, self.display
        while True:
            sockets = sorted(name for name in os.listdir(self.runtime)
                             if name.startswith("wayland-") and not name.endswith(".lock"))
            if sockets and self.ipc_socket():
                self.display = sockets[0]
                names = [output["name"] for output in self.ask("get_outputs", check=False) or []]
                if set(names) >= {output.name for output in self.outputs}:
                    break
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise AssertionError(f"sway did not start: {self.log()!r}")
            time.sleep(0.05)
        if previous is not None and sockets != [previous]:
            raise AssertionError(f"sway came back on {sockets}, not on {previous}")
        # The clear colour, where no wallpaper covers an output.
        self.bare = self.pixel(0, 0)

    def log(self):
        return pathlib.Path(self.top, "sway.log").read_bytes()[-2000:]

    def compositor_pid(self):
        """sway's own pid: the child of timeout."""
        with open(f"/proc/{self.process.pid}/task/{self.process.pid}/children") as listing:
            return int(listing.read().split()[0])

    def kill(self):
        """Kills the compositor as a crash would, leaving its socket behind."""
        os.kill(self.compositor_pid(), signal.SIGKILL)
        self.process.wait(10)

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait(10)

    def ipc_socket(self):
        """The IPC socket of the running compositor (one killed leaves its own behind)."""
        try:
            path = os.path.join(self.runtime, f"sway-ipc.{USER}.{self.compositor_pid()}.sock")
        except (FileNotFoundError, IndexError):
            return None
        return path if os.path.exists(path) else None

    def ask(self, *message, check=True):
        """swaymsg with the message (a -t type, or a command), its JSON answer."""
        argv = ["-t", message[0]] if message[0].startswith("get_") else list(message)
        done = subprocess.run(as_user([PROGRAMS["swaymsg"], "-r", *argv]), capture_output=True, timeout=10,
                              env={"SWAYSOCK": self.ipc_socket() or "", **self.environment()})
        if check and done.returncode != 0:
            raise AssertionError(f"swaymsg {message} failed: {done.stdout + done.stderr!r}")
        return json.loads(done.stdout) if done.returncode == 0 else None

    def create_output(self):
        self.ask("create_output")

    def remove_output(self, name):
        """Closes the window that is the output, in the compositor this one is nested in."""
        self.inside.ask(f'[title="wlroots - {name}"]', "kill")

    def grim(self, *argv):
        done = subprocess.run(as_user([PROGRAMS["grim"], "-t", "ppm", *argv, "-"]), capture_output=True, timeout=10,
                              env=self.environment(), check=True)
        return ppm_pixels(done.stdout)

    def pixel(self, x, y):
        """The colour (r, g, b) of one pixel of the desktop."""
        return tuple(self.grim("-g", f"{x},{y} 1x1")[2][:3])

    def output_colour(self, name):
        """The one colour of an output within a border of an eighth of its size; none when it shows more
        than one. swaybg leaves the outer pixels of an image that it scales up partly transparent,
        and sway's grey shows through them."""
        width, height, pixels = self.grim("-o", name)
        left, top, row = width // 8 * 3, height // 8, width * 3
        first = pixels[top * row + left:top * row + left + 3]
        inner = first * (width - 2 * (width // 8))
        uniform = all(pixels[y * row + left:(y + 1) * row - left] == inner for y in range(top, height - top))
        return tuple(first) if uniform else None


class Weston:
    """One private headless weston in the directory top (made here): a
    compositor without the layer shell."""

    def __init__(self, top):
        self.top, self.runtime, self.display = top, os.path.join(top, "runtime"), "wayland-weston"
        os.makedirs(top, mode=0o755, exist_ok=True)
        os.mkdir(self.runtime, 0o700)
        os.chown(self.runtime, USER, USER)
        self.process = None

    def environment(self):
        return {"XDG_RUNTIME_DIR": self.runtime, "WAYLAND_DISPLAY": self.display}

    def start(self, timeout=20):
        """Starts the compositor and waits until it answers on its socket."""
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": self.top, "XDG_RUNTIME_DIR": self.runtime}
        with open(os.path.join(self.top, "weston.log"), "ab") as log:
            self.process = subprocess.Popen(as_user([PROGRAMS["timeout"], "-s", "KILL", str(LIFETIME), PROGRAMS["weston"],
                                                     "--backend=headless-backend.so", f"--socket={self.display}",
                                                     "--idle-time=0"]), env=env, stdin=subprocess.DEVNULL,
                                            stdout=log, stderr=log)
        deadline = time.monotonic() + timeout
        while "weston-desktop-shell" not in pathlib.Path(self.top, "weston.log").read_text(errors="replace"):
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise AssertionError("weston did not start: "
                                     f"{pathlib.Path(self.top, 'weston.log').read_bytes()[-2000:]!r}")
            time.sleep(0.05)

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait(10)


class Probe:
    """The probe, as USER in the test's private namespace (its syslog lines
    reach the test), talking to one compositor; its output is gathered as it
    comes. With painter, the painter's probe, which draws itself."""

    def __init__(self, case, sway, swaybg=None, bg_style="--bg-fill", painter=False):
        dev_shm = os.path.join(case.dev, "shm")
        os.makedirs(dev_shm, exist_ok=True)  # swaybg's buffers are made with shm_open
        argv = [PAINTER_PROBE] if painter else [PROBE, swaybg or PROGRAMS["swaybg"], bg_style]
        command = namespace_command(case.dev, case.path("log"), argv, uid=USER, binds=[("/dev/shm", dev_shm)])
        self.case, self.events, self.changed = case, [], threading.Condition()
        self.errors = open(case.path("probe.err"), "wb")
        self.process = subprocess.Popen(command, env=sway.environment(), stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=self.errors)
        self.reader = threading.Thread(target=self.read, daemon=True)
        self.reader.start()
        case.addCleanup(self.stop)

    def read(self):
        for line in self.process.stdout:
            with self.changed:
                self.events.append(json.loads(line))
                self.changed.notify_all()

    def send(self, *words):
        self.process.stdin.write((" ".join(words) + "\n").encode())
        self.process.stdin.flush()

    def wait_for(self, condition, what, timeout=15, start=0):
        """Waits for an event from the index start on for which condition holds; gives its index."""
        deadline = time.monotonic() + timeout
        with self.changed:
            while True:
                for index in range(start, len(self.events)):
                    if condition(self.events[index]):
                        return index
                left = deadline - time.monotonic()
                if left <= 0:
                    self.case.fail(f"the probe never {what}: {self.events[start:]}")
                self.changed.wait(left)

    def outputs(self, start=0):
        """The outputs of the first report from event start on, as (name, x, y, width, height)."""
        found = self.events[self.wait_for(lambda event: "outputs" in event, "reported outputs", start=start)]
        return [(o["name"], o["x"], o["y"], o["width"], o["height"]) for o in found["outputs"]]

    def live_swaybg(self):
        return live_children(self.process.pid)

    def stop(self):
        """Quits the probe (which ends its swaybg); kills it and what it left when it does not end."""
        if self.process.poll() is None:
            try:
                self.process.stdin.close()
                self.process.wait(10)
            except (BrokenPipeError, subprocess.TimeoutExpired):
                left = live_children(self.process.pid)
                self.process.kill()
                self.process.wait()
                # Its children are this process's now (the harness made it a subreaper).
                for child in left:
                    os.kill(child, signal.SIGKILL)
                    try:
                        os.waitpid(child, 0)
                    except ChildProcessError:
                        pass
        self.reader.join(10)
        for stream in (self.process.stdout, self.errors):
            stream.close()
