#!/usr/bin/env python3
"""A private X server for the tests: Xvfb on a free display, monitors made
with RandR on its one wide screen, the server killed and started again on the
same display, and the colour that one monitor shows."""
import ctypes
import os
import random
import re
import select
import shutil
import signal
import struct
import subprocess
import time

PROGRAMS = {name: shutil.which(name) for name in ("Xvfb", "xrandr", "xwd", "convert")}
# Xvfb is ready in well under a second; a server that is not ready by then never will be.
START_SECONDS = 10
# Two monitors side by side on a 1200x300 screen, as RandR makes them: naming
# the output "screen" for the first replaces the automatic monitor, so that
# Xinerama reports the two and feh paints each.
TWO_HEADS = [("H0", "400/100x300/75+0+0", "screen"), ("H1", "400/100x300/75+400+0", "none")]
PR_SET_PDEATHSIG = 1
LISTED_MONITOR = re.compile(r"\s*\d+: [+*]*(\S+) (\d+)/\d+x(\d+)/\d+\+(-?\d+)\+(-?\d+)")


def write_xauthority(path, cookie):
    """An X authority file whose one entry gives the cookie (16 bytes) for any
    host and display, in the file format libXau reads."""
    def counted(data):
        return struct.pack(">H", len(data)) + data
    family_wild = 0xFFFF
    with open(path, "wb") as entries:
        entries.write(struct.pack(">H", family_wild) + counted(b"") + counted(b"") +
                      counted(b"MIT-MAGIC-COOKIE-1") + counted(cookie))
    return path


def die_with_parent():
    """In the child before exec: the server ends when the test process does, whatever ends it."""
    ctypes.CDLL(None).prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)


class XServer:
    """One Xvfb with -noreset for a test case, killed at the case's clean-up.
    The display number is chosen free at the first start and kept for the
    restarts. auth names an X authority file whose cookies the server asks for;
    extra are further arguments of Xvfb (such as "-extension", "MIT-SHM")."""

    def __init__(self, case, size="1200x300", auth=None, extra=()):
        missing = [name for name, path in PROGRAMS.items() if path is None]
        if missing:
            case.fail(f"missing programs for a private X server: {missing}")
        self.case, self.size, self.auth, self.extra = case, size, auth, list(extra)
        self.number, self.process = None, None
        self.errors = os.path.join(os.environ.get("TMPDIR", "/tmp"), f"zelvo-xvfb-{os.getpid()}-{id(self)}.err")
        case.addCleanup(self.kill)
        case.addCleanup(lambda: os.path.exists(self.errors) and os.unlink(self.errors))

    @property
    def display(self):
        return f":{self.number}"

    def start(self):
        """Starts the server and waits until it takes connections: on a free
        display the first time, on the same display after kill(). Gives the display."""
        # Well above :0, where daemons started without a DISPLAY draw; a number taken meanwhile is passed over.
        numbers = [self.number] if self.number is not None else random.sample(range(100, 1000), 10)
        for number in numbers:
            if self.launch(number):
                self.number = number
                return self.display
        with open(self.errors, "rb") as errors:
            self.case.fail(f"Xvfb did not start on {numbers}: {errors.read()!r}")

    def launch(self, number):
        read, write = os.pipe()
        command = [PROGRAMS["Xvfb"], f":{number}", "-displayfd", str(write), "-noreset",
                   "-screen", "0", f"{self.size}x24"] + (["-auth", self.auth] if self.auth else []) + self.extra
        with open(self.errors, "wb") as errors:
            self.process = subprocess.Popen(command, pass_fds=[write], stdin=subprocess.DEVNULL, stdout=errors,
                                            stderr=errors, preexec_fn=die_with_parent)
        os.close(write)
        # It writes the number and a newline once it listens; one whose display is taken ends at once.
        with os.fdopen(read, "rb") as pipe:
            if select.select([pipe], [], [], START_SECONDS)[0] and pipe.read() == b"%d\n" % number:
                return True
        self.kill()
        return False

    def kill(self, signal_number=signal.SIGKILL):
        """Ends the server, by default as a crash would, and waits until it has."""
        if self.process is None:
            return
        self.process.send_signal(signal_number)
        self.process.wait(START_SECONDS)
        self.process = None

    def xrandr(self, *args, check=True):
        done = subprocess.run([PROGRAMS["xrandr"], "-display", self.display, *args], capture_output=True,
                              text=True, timeout=START_SECONDS)
        if check and done.returncode != 0:
            self.case.fail(f"xrandr {' '.join(args)}: {done.stderr}")
        return done

    def xrandr_started(self, *args):
        """xrandr started on the display and left running, for changes that come at once; gives its process."""
        return subprocess.Popen([PROGRAMS["xrandr"], "-display", self.display, *args], stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def add_monitor(self, name, geometry, output="none"):
        """A monitor as `xrandr --setmonitor NAME W/MMxH/MM+X+Y OUTPUT` makes it."""
        self.xrandr("--setmonitor", name, geometry, output)

    def add_two_heads(self):
        for name, geometry, output in TWO_HEADS:
            self.add_monitor(name, geometry, output)

    def remove_monitor(self, name):
        self.xrandr("--delmonitor", name)

    def switch_output(self, on):
        """Turns the screen's one output off, which leaves the display without
        any monitor, or on again. xrandr says it fails to shrink the screen
        when turning it off, yet turns it off."""
        self.xrandr("--output", "screen", "--auto" if on else "--off", check=False)

    def monitors(self):
        """The server's monitors in its order, which is Xinerama's and feh's:
        (name, "WxH+X+Y") each."""
        listed = self.xrandr("--listmonitors").stdout.splitlines()[1:]
        found = [LISTED_MONITOR.match(line) for line in listed]
        if None in found:
            self.case.fail(f"unexpected xrandr --listmonitors: {listed}")
        return [(match[1], f"{match[2]}x{match[3]}+{match[4]}+{match[5]}") for match in found]

    def colour_at(self, geometry):
        """The mean colour of the part "WxH+X+Y" of the root window, as "#rrggbb"."""
        shot = subprocess.run([PROGRAMS["xwd"], "-root", "-silent", "-display", self.display], capture_output=True,
                              check=True, timeout=START_SECONDS)
        mean = subprocess.run([PROGRAMS["convert"], "xwd:-", "-crop", geometry, "+repage", "-scale", "1x1!",
                               "-depth", "8", "rgb:-"], input=shot.stdout, capture_output=True, check=True,
                              timeout=START_SECONDS).stdout
        return "#" + mean.hex()

    def wait_colours(self, expected, timeout=10.0):
        """Polls until each part {geometry: "#rrggbb"} shows its colour; gives what was seen last."""
        deadline = time.monotonic() + timeout
        while (seen := {geometry: self.colour_at(geometry) for geometry in expected}) != expected:
            if time.monotonic() > deadline:
                self.case.fail(f"the screen shows {seen}, not {expected}")
            time.sleep(0.05)
        return seen
