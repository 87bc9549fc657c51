#!/usr/bin/env python3
"""XMonitors on a real X server: the program zelvo_xmonitors prints the
monitors that XMonitors sees at each change, while the tests make and remove
monitors with RandR. A server that dies and comes back is proven with the
daemon itself (test_monitors.py)."""
import os
import select
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from xserver import TWO_HEADS, XServer, write_xauthority

XMONITORS = os.environ.get("ZELVO_XMONITORS", "")
FEH = shutil.which("feh")
CONVERT = shutil.which("convert")
SCREEN = "monitors 1 screen 1200x300+0+0"


def expected_line(monitors):
    """What zelvo_xmonitors prints for monitors [(name, "WxH+X+Y")]."""
    return " ".join(["monitors", str(len(monitors)), *(part for monitor in monitors for part in monitor)])


class Program:
    """zelvo_xmonitors with its arguments, read line by line."""

    def __init__(self, case, *args, env=None):
        self.case = case
        self.process = subprocess.Popen([XMONITORS, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, env=env)
        case.addCleanup(self.end)
        self.pending = b""
        self.lines = []  # every line read so far

    def end(self):
        self.process.kill()
        self.process.wait(10)
        for stream in (self.process.stdin, self.process.stdout, self.process.stderr):
            stream.close()

    def send(self, line):
        self.process.stdin.write(line.encode() + b"\n")
        self.process.stdin.flush()

    def read_line(self, timeout):
        """The next line, or None when none comes within timeout seconds."""
        deadline = time.monotonic() + timeout
        while b"\n" not in self.pending:
            left = deadline - time.monotonic()
            if left < 0 or not select.select([self.process.stdout], [], [], left)[0]:
                return None
            chunk = os.read(self.process.stdout.fileno(), 4096)
            if not chunk:
                self.case.fail(f"zelvo_xmonitors ended: {self.lines}, {self.process.stderr.read()!r}")
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        self.lines.append(line.decode())
        return self.lines[-1]

    def wait_line(self, wanted, timeout=10.0):
        """Reads lines until one equals wanted (or, when callable, passes it); gives the lines read."""
        read = []
        deadline = time.monotonic() + timeout
        while (line := self.read_line(max(0.0, deadline - time.monotonic()))) is not None:
            read.append(line)
            if (wanted(line) if callable(wanted) else line == wanted):
                return read
        self.case.fail(f"zelvo_xmonitors never printed {wanted!r}; it printed {read}")


class XMonitorsTest(unittest.TestCase):
    def setUp(self):
        self.assertTrue(os.access(XMONITORS, os.X_OK), f"ZELVO_XMONITORS names no executable: {XMONITORS!r}")
        self.top = tempfile.mkdtemp(prefix="zelvo-xmonitors-")
        self.addCleanup(shutil.rmtree, self.top)

    def test_monitors_come_and_go_in_whole_changes_and_none_is_the_screen_without_a_name(self):
        server = XServer(self)
        server.start()
        watcher = Program(self, "watch", server.display)
        watcher.wait_line(SCREEN)

        server.add_two_heads()
        watcher.wait_line("monitors 2 H0 400x300+0+0 H1 400x300+400+0")
        for name, _, _ in TWO_HEADS:
            server.remove_monitor(name)
        watcher.wait_line(SCREEN)

        # Ten changes within a second, five monitors removed while five others are added: their
        # clients wait on the stopped server, which then makes the changes together, while the
        # watcher reads the monitors at the first.
        for index in range(5):
            server.add_monitor(f"D{index}", f"200/50x300/75+{200 * index}+0")
        watcher.wait_line(lambda line: line.startswith("monitors 6 "))
        server.process.send_signal(signal.SIGSTOP)
        started = time.monotonic()
        changes = [server.xrandr_started("--delmonitor", f"D{index}") for index in range(5)] + \
                  [server.xrandr_started("--setmonitor", f"S{index}", f"240/60x300/75+{240 * index}+0", "none")
                   for index in range(5)]
        server.process.send_signal(signal.SIGCONT)
        self.assertEqual([change.wait(10) for change in changes], [0] * 10)
        self.assertLess(time.monotonic() - started, 1.0, "xrandr was too slow for ten changes in a second")
        now = server.monitors()
        self.assertCountEqual([name for name, _ in now], ["S0", "S1", "S2", "S3", "S4", "screen"])
        # Every change it printed is whole, and the last is the display's.
        seen = watcher.wait_line(expected_line(now))
        self.assertTrue(all(line.startswith("monitors ") for line in seen), seen)
        self.assertLessEqual(len(seen), 10, seen)

        # A display that reports no monitor is one monitor: the whole screen, without a name.
        for index in range(5):
            server.remove_monitor(f"S{index}")
        watcher.wait_line(SCREEN)
        server.switch_output(on=False)
        self.assertEqual(server.monitors(), [])
        watcher.wait_line("monitors 1 - 1200x300+0+0")
        server.switch_output(on=True)
        watcher.wait_line(SCREEN)


    def test_feh_paints_the_monitors_in_the_order_they_are_listed(self):
        self.assertTrue(FEH and CONVERT, "feh and convert are needed")
        server = XServer(self)
        server.start()
        # Xinerama lists the first-made monitor first, here the one on the right.
        server.add_monitor("H0", "400/100x300/75+400+0", "screen")
        server.add_monitor("H1", "400/100x300/75+0+0", "none")
        watcher = Program(self, "watch", server.display)
        listed = "monitors 2 H0 400x300+400+0 H1 400x300+0+0"
        watcher.wait_line(listed)
        images = []
        for colour in ("ff0000", "0000ff"):
            images.append(os.path.join(self.top, f"{colour}.png"))
            subprocess.run([CONVERT, "-size", "40x30", f"xc:#{colour}", images[-1]], check=True)
        subprocess.run([FEH, "--no-fehbg", "--bg-scale", *images], env={"DISPLAY": server.display, "HOME": self.top},
                       check=True, timeout=30)
        # The first image on the first monitor listed, the second on the second.
        server.wait_colours({"400x300+400+0": "#ff0000", "400x300+0+0": "#0000ff"})

    def test_a_monitor_made_with_setmonitor_is_announced_only_by_configure_notify(self):
        server = XServer(self)
        server.start()
        events = Program(self, "events", server.display)
        events.wait_line("ready")
        server.add_monitor(*TWO_HEADS[1][:2])
        events.wait_line("configure-notify")
        # Making a primary output is announced by a screen change: every event
        # of the new monitor came before it.
        server.xrandr("--output", "screen", "--primary")
        events.wait_line("screen-change")
        self.assertEqual(events.lines, ["ready", "configure-notify", "screen-change"])

    def test_the_given_x_authority_file_opens_a_display_that_asks_for_a_cookie(self):
        cookie_file = write_xauthority(os.path.join(self.top, "cookie"), os.urandom(16))
        wrong_file = write_xauthority(os.path.join(self.top, "wrong"), os.urandom(16))
        server = XServer(self, auth=cookie_file)
        server.start()
        for environment, given, line in [(wrong_file, None, "unreachable no X server accepts the connection"),
                                         (wrong_file, cookie_file, SCREEN), (cookie_file, None, SCREEN)]:
            watcher = Program(self, "watch", server.display, *([given] if given else []),
                              env={"XAUTHORITY": environment})
            self.assertEqual(watcher.wait_line(lambda printed: True), [line], (environment, given))


if __name__ == "__main__":
    unittest.main()
