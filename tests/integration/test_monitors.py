#!/usr/bin/env python3
"""Every monitor its own: monitors = "auto" on a private Xvfb whose monitors
RandR makes and takes away, with the real feh painting them; the groups of
per-monitor with their own images and periods; next, previous and set for one
monitor; the status of each."""
import itertools, json, os, pathlib, re, signal, shutil, socket, subprocess, time, unittest

from harness import TOOLS, libconfig_text, make_solid_images, proc_status, records
from test_cycle import RELOAD, RELOADED, CycleCase
from test_sources import pgm_frames
from xserver import XServer

FEH = shutil.which("feh")
HEADS = {"H0": "400x300+0+0", "H1": "400x300+400+0", "H2": "400x300+800+0"}
# Solid colours far apart, so that a half-drawn or stale head never passes for another.
LEFT = ["#ff0000", "#00c000", "#0000ff", "#ffff00"]
RIGHT = ["#00ffff", "#ff00ff", "#ffffff", "#808080"]
NO_GROUP_IMAGES = "Zelvo found no suitable images for monitor {} and shows the main images there"


def clock_ticks(pid):
    """The user and system CPU time of the process, in clock ticks."""
    with open(f"/proc/{pid}/stat", "rb") as stat:
        fields = stat.read().rsplit(b")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def group_text(group):
    """A group of per-monitor in libconfig: a dict of sources (a list), minutes and bg-style, or any other value."""
    if not isinstance(group, dict):
        return json.dumps(group)
    return "{ " + libconfig_text(group).replace("\n", " ") + "}"


class MonitorsCase(CycleCase):
    def setUp(self):
        super().setUp()
        self.env["XDG_RUNTIME_DIR"] = self.runtime

    def configure_groups(self, settings, groups):
        """The file of settings (see CycleCase.configure) with per-monitor given as groups."""
        path = self.configure(settings)
        with open(path, "a") as text:
            text.write("per-monitor = ( " + ", ".join(map(group_text, groups)) + " );\n")
        return path

    def install_feh(self, name="feh"):
        """The real feh behind a wrapper that notes, one line each, its pid and the images it was given."""
        path = self.path("bin", name)
        pathlib.Path(path).write_text(f'#!/bin/sh\necho "$$ $*" >> "{path}.args"\nexec {FEH} "$@"\n')
        os.chmod(path, 0o755)
        return path

    def feh_images(self, feh, count, pid, timeout=20):
        """The images of each start of the wrapper, once there are count, in the order the daemon forked them."""
        log = pathlib.Path(feh + ".args")
        lines = self.poll(lambda: log.exists() and len(found := log.read_text().splitlines()) >= count and found,
                          f"started feh {count} times", timeout=timeout)
        wrap = int(pathlib.Path("/proc/sys/kernel/pid_max").read_text())
        starts = sorted((line.split() for line in lines), key=lambda words: (int(words[0]) - pid) % wrap)
        return [words[3:] for words in starts]

    def last_start(self, feh, pid, monitors):
        """Waits until the newest start of the wrapper has an image for each of that many monitors; gives them."""
        return self.poll(lambda: self.drain() is not None and len(last := self.feh_images(feh, 1, pid)[-1]) == monitors
                         and last, f"shows {monitors} monitors", timeout=20)

    def settle(self, pid):
        """Waits until every child of the daemon has ended: no feh still paints. (Two feh started close
        together may paint in either order, as they always could.)"""
        children = pathlib.Path(f"/proc/{pid}/task/{pid}/children")
        self.poll(lambda: self.drain() is not None and not children.read_text(), "lets its children end")

    def drain_until(self, pid, text, timeout=20.0):
        """Reads the log until the daemon's line text comes (the socket must never fill); gives the lines read."""
        read = []
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            [message] = self.messages(1, timeout=max(0.1, deadline - time.monotonic()))
            read.append(message.text)
            if message.pid == pid and message.text == text:
                return read
        self.fail(f"the daemon never said {text!r}: {read}")

    def drain(self):
        """Reads whatever the log holds now, without waiting; gives the texts."""
        texts = []
        self.log.setblocking(False)
        try:
            while True:
                texts.append(self.log.recv(65536).decode(errors="replace"))
        except BlockingIOError:
            return texts
        finally:
            self.log.setblocking(True)

    def colour_of(self, image):
        return "#" + os.path.basename(image).split(".")[0]


class PerMonitorTest(MonitorsCase):
    def test_groups_that_give_no_image_leave_their_monitor_on_the_main_ring(self):
        main = self.images(3)
        own = make_solid_images(self.path("own"), ["#123456"])
        other = make_solid_images(self.path("other"), ["#654321"])
        odd = self.path("odd")
        os.mkdir(odd)
        os.mkfifo(os.path.join(odd, "fifo.png"))
        pgm = os.path.join(odd, "frames.pgm")
        pgm_frames(pgm, 100000)
        # (groups, the images of the two monitors: "main" for one of the main ring, the lines said)
        cases = [([{"sources": [own[0]]}, {"sources": [other[0]]}, {"sources": [main[0]]}], [own[0], other[0]], []),
                 ([{}, {"sources": [own[0]]}], ["main", own[0]], []),
                 ([{"sources": [os.path.join(odd, "fifo.png")]}], ["main", "main"], [1]),
                 ([{"sources": [pgm]}, {"sources": []}], [pgm, "main"], [2]),
                 (["a text", {"sources": [own[0]], "minutes": "ten"}], ["main", own[0]], [])]
        for index, (groups, expected, said) in enumerate(cases):
            with self.subTest(groups=groups):
                feh = self.install_recorder(f"feh{index}")
                self.configure_groups({"feh-path": feh, "pics": main}, groups)
                result = self.run_zelvo("-m", "2", env=self.env)
                lines = "".join(NO_GROUP_IMAGES.format(monitor) + "\r\n" for monitor in said)
                self.assertEqual((result.status, result.out, result.err.decode()), (0, b"", lines))
                pid = self.messages(2)[0].pid
                # SIGHUP is ignored until the loop takes it over, a moment after the start is logged.
                hangup = 1 << (signal.SIGHUP - 1)
                self.poll(lambda: int(proc_status(pid, "SigCgt"), 16) & hangup, "catches SIGHUP")
                # A reload makes the rings again, and says the same of them.
                self.send(pid, [signal.SIGHUP], RELOAD, *(NO_GROUP_IMAGES.format(m) for m in said), RELOADED)
                for start in self.changes(pid, feh, 2):
                    shown = start["argv"][3:]
                    self.assertEqual(len(shown), 2)
                    for image, wanted in zip(shown, expected):
                        self.assertIn(image, main) if wanted == "main" else self.assertEqual(image, wanted)
                self.quit(pid)

    def test_next_previous_and_set_steer_one_monitor_and_the_palette_follows_the_first(self):
        left = make_solid_images(self.path("left"), LEFT)
        right = make_solid_images(self.path("right"), RIGHT)
        feh = self.install_recorder("feh")
        self.configure_groups({"feh-path": feh, "pics": self.images(2), "colors": True},
                              [{"sources": [self.path("left")], "minutes": 10}, {"sources": [self.path("right")],
                                                                                 "minutes": 60}])
        pid = self.start_daemon("-m", "2", env=self.env)
        colours = pathlib.Path(self.home, ".zelvo", "colors")
        self.poll(colours.exists, "writes the colour file")
        on_screen = lambda count: self.changes(pid, feh, count)[-1]["argv"][3:]
        first = on_screen(1)
        self.assertTrue(first[0] in left and first[1] in right, first)

        def steer(args, count, line):
            """Steers, and gives the images on screen and whether the colour file was written again. A change
            whose first image stays is complete once zelvoctl has its answer; one whose first image changes
            writes its palette a moment later."""
            palette = colours.stat().st_ino
            self.assertEqual(self.zelvoctl(*args)[:3], (0, b"", b""), args)
            self.expect(pid, line)
            shown = on_screen(count)
            self.assertEqual(self.zelvoctl("current").out.decode().split("\n")[:2], shown)
            if colours.stat().st_ino == palette and args[2] == "1":
                self.poll(lambda: colours.stat().st_ino != palette, "writes the palette of the first monitor")
            return shown, colours.stat().st_ino != palette

        # The second monitor alone: the first keeps its image and the palette stays.
        second, repainted = steer(("next", "-n", "2"), 2, "Zelvo is skipping ahead on monitor 2")
        self.assertEqual((second[0], repainted), (first[0], False))
        self.assertIn(second[1], set(right) - {first[1]})
        third, repainted = steer(("next", "-n", "1"), 3, "Zelvo is skipping ahead on monitor 1")
        self.assertEqual((third[1], repainted), (second[1], True))
        self.assertIn(third[0], set(left) - {first[0]})
        back, repainted = steer(("previous", "-n", "2"), 4, "Zelvo is going back on monitor 2")
        self.assertEqual((back, repainted), ([third[0], first[1]], False))
        shown, repainted = steer(("set", "-n", "2", left[3]), 5, "Zelvo is showing the images it was set to")
        self.assertEqual((shown, repainted), ([third[0], left[3]], False))
        # Each round of a group's own ring shows each of its images once.
        for count in range(6, 9):
            steer(("next", "-n", "1"), count, "Zelvo is skipping ahead on monitor 1")
        firsts = [start["argv"][3] for start in self.changes(pid, feh, 8)]
        self.assertEqual(len({firsts[0], firsts[2], firsts[5], firsts[6]}), 4, firsts)

        # What cannot be: one monitor too many, a number that is none, two files for one monitor.
        for args, reason in [(("next", "-n", "3"), "there is no monitor 3: zelvo counts 2 monitors"),
                             (("previous", "-n", "0"), "there is no monitor 0: zelvo counts 2 monitors"),
                             (("next", "-n", "x1"), "there is no monitor x1: zelvo counts 2 monitors"),
                             (("set", "-n", "1", left[0], left[1]), "set -n takes one file")]:
            self.assertEqual(self.zelvoctl(*args)[:3], (1, b"", f"zelvoctl: {reason}\n".encode()), args)
        self.assertEqual(len(records(feh)), 8)

        # Each monitor with its image, its period and its next change.
        shown = on_screen(8)
        status = self.zelvoctl("status").out.decode()
        clock = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \(in [^)]+\)"
        self.assertRegex(status, rf"monitor 1:   {re.escape(shown[0])}\n {{13}}every 10 min, next change {clock}\n"
                                 rf"monitor 2:   {re.escape(shown[1])}\n {{13}}every 1 h, next change {clock}\n\Z")
        described = json.loads(self.zelvoctl("status", "--json").out)
        self.assertEqual([(m["monitor"], m["image"], m["interval"]) for m in described["monitors"]],
                         [(1, shown[0], 600), (2, shown[1], 3600)])
        self.assertLess(described["monitors"][0]["next_change"], described["monitors"][1]["next_change"])
        self.quit(pid)


class AutoTest(MonitorsCase):
    def setUp(self):
        super().setUp()
        self.assertTrue(FEH and TOOLS["convert"], "feh and convert are needed")
        self.server = XServer(self)

    def start_on(self, feh, images, groups=None, colours=False):
        display = self.server.start()
        settings = {"feh-path": feh, "pics": images, "monitors": "auto", "colors": colours}
        if groups:
            self.configure_groups(settings, groups)
        else:
            self.configure(settings)
        return self.start_daemon(env={**self.env, "DISPLAY": display})

    def assert_heads(self, images, heads):
        """Each head shows its image: the mean colour of its part of the screen is the image's."""
        self.server.wait_colours({HEADS[head]: self.colour_of(image) for head, image in zip(heads, images)})

    def test_the_count_follows_the_display_and_survives_it(self):
        feh = self.install_feh()
        images = make_solid_images(self.path("images"), LEFT + RIGHT)
        pid = self.start_on(feh, images)
        display = self.server.display
        [first] = self.feh_images(feh, 1, pid)
        self.assertEqual(len(first), 1)

        counted = lambda count: f"Zelvo counts {count} monitor{'s' if count > 1 else ''} on display {display}"
        # Two monitors made one after the other: two changes.
        self.server.add_two_heads()
        two = self.last_start(feh, pid, 2)
        self.settle(pid)
        # A third monitor gets its image at once; the other two keep theirs.
        self.server.add_monitor("H2", "400/100x300/75+800+0")
        three = self.last_start(feh, pid, 3)
        self.assertEqual(three[:2], two)
        self.assertNotIn(three[2], two)
        self.assert_heads(three, ["H0", "H1", "H2"])

        # Ten changes within a second, five monitors removed while five others come: their clients wait on
        # the stopped server, which then makes them together.
        for index in range(5):
            self.server.add_monitor(f"D{index}", f"100/25x300/75+{100 * index}+0")
        self.last_start(feh, pid, 8)
        self.server.process.send_signal(signal.SIGSTOP)
        started = time.monotonic()
        changes = [self.server.xrandr_started("--delmonitor", f"D{index}") for index in range(5)] + \
                  [self.server.xrandr_started("--setmonitor", f"S{index}", f"120/30x300/75+{120 * index}+0", "none")
                   for index in range(5)]
        self.server.process.send_signal(signal.SIGCONT)
        self.assertEqual([change.wait(10) for change in changes], [0] * 10)
        self.assertLess(time.monotonic() - started, 1.0, "xrandr was too slow for ten changes in a second")
        now = self.server.monitors()
        self.assertEqual(len(now), 8)
        # The last start of feh has an image for each monitor the display has now, and the three first
        # monitors, which stayed, kept theirs.
        last = self.last_start(feh, pid, 8)
        self.assertEqual(last[:3], three)
        self.assertLessEqual(set(last), set(images))
        self.assertEqual(self.zelvoctl("-d", display, "status")[0], 0)

        # A display that reports no monitor counts one: the whole screen.
        for name, _ in now:
            self.server.remove_monitor(name)
        self.assertEqual(self.server.monitors(), [("screen", "1200x300+0+0")])
        self.last_start(feh, pid, 1)
        self.settle(pid)
        shown = len(pathlib.Path(feh + ".args").read_text().splitlines())
        self.server.switch_output(on=False)
        self.assertEqual(self.server.monitors(), [])
        self.drain_until(pid, counted(1))
        self.assertEqual(len(self.feh_images(feh, shown + 1, pid)[-1]), 1)
        self.settle(pid)
        self.server.switch_output(on=True)

        # The server dies under the daemon: one line; a new server on the same display is found again.
        self.server.kill()
        lost = f"Zelvo lost the display {display} (the X server closed the connection) and counts one monitor until it is back"
        said = self.drain_until(pid, lost)
        # Without a display it sleeps rather than spins. A measurement, not a wait: a second in which a
        # spinning daemon would take a hundred ticks.
        self.settle(pid)
        before = clock_ticks(pid)
        time.sleep(1.0)
        self.assertLessEqual(clock_ticks(pid) - before, 2, "it used the CPU without a display")
        self.server.start()
        said += self.drain_until(pid, counted(1))
        self.assertEqual(said.count(lost), 1, said)
        self.server.add_two_heads()
        back = self.last_start(feh, pid, 2)
        self.settle(pid)
        self.server.add_monitor("H2", "400/100x300/75+800+0")
        back = self.last_start(feh, pid, 3)
        self.assert_heads(back, ["H0", "H1", "H2"])
        self.assertEqual(os.waitpid(pid, os.WNOHANG), (0, 0))
        status = self.zelvoctl("-d", display, "status").out.decode()
        self.assertEqual(re.findall(r"^monitor (\d):", status, re.M), ["1", "2", "3"])
        self.quit(pid)

    def test_a_display_that_cannot_be_reached_counts_one_monitor_and_is_tried_again_at_the_next_change(self):
        feh = self.install_recorder("feh")
        self.configure({"feh-path": feh, "pics": self.images(3), "monitors": "auto"})
        # A display number that nobody serves; the private server comes up there later.
        self.server.start()
        display = self.server.display
        self.server.kill()
        pid = self.start_daemon(env={**self.env, "DISPLAY": display})
        self.expect(pid, f"Zelvo cannot reach the display {display} (no X server accepts the connection) and counts "
                         "one monitor until it can")
        self.assertEqual(len(self.changes(pid, feh, 1)[0]["argv"]), 4)
        self.server.start()
        self.server.add_two_heads()
        os.kill(pid, signal.SIGUSR1)
        self.poll(lambda: self.drain() is not None and len(records(feh)[-1]["argv"]) == 5, "counts the two monitors")
        self.assertEqual(self.stop_daemon(pid), 0)

    def test_a_server_that_never_answers_leaves_status_and_quit_answered_and_is_counted_once_it_answers(self):
        images = make_solid_images(self.path("images"), LEFT + RIGHT)
        # (what hangs, when the daemon reaches it, what ends the case): a stopped Xvfb or a socket that only
        # accepts, at the start or when the daemon connects again (a reload, or a server that went).
        cases = itertools.product(("stopped", "accepting"), ("start", "again"), ("resumed", "quit"))
        for index, (hang, moment, ending) in enumerate(cases):
            with self.subTest(hang=hang, moment=moment, ending=ending):
                self.configure({"feh-path": (feh := self.install_feh(f"feh{index}")), "pics": images, "monitors": "auto"})
                self.server = server = XServer(self)
                listener = socket.socket(socket.AF_UNIX)
                self.addCleanup(listener.close)

                socket_path = lambda: f"/tmp/.X11-unix/X{server.number}"
                def never_answer():
                    if hang == "stopped":
                        return server.process.send_signal(signal.SIGSTOP)
                    server.kill()
                    if os.path.exists(socket_path()):  # a server killed leaves it behind
                        os.unlink(socket_path())
                    listener.bind(socket_path())
                    listener.listen(8)
                if moment == "start" and hang == "accepting":
                    server.number = next(n for n in range(1000, 2000) if not os.path.exists(f"/tmp/.X11-unix/X{n}"))
                    never_answer()
                else:
                    server.start()
                    server.add_two_heads()
                    if moment == "start":
                        never_answer()
                pid = self.start_daemon(env={**self.env, "DISPLAY": server.display})
                if moment == "again":
                    self.assert_heads(self.last_start(feh, pid, 2), ["H0", "H1"])
                    never_answer()
                    if hang == "stopped":
                        os.kill(pid, signal.SIGHUP)
                # The daemon waits for the server's answer on its handshake's thread.
                self.poll(lambda: len(os.listdir(f"/proc/{pid}/task")) > 1, "waits for the server's answer")
                started = time.monotonic()
                self.assertEqual(self.zelvoctl("-d", server.display, "status").status, 0)
                self.assertLess(time.monotonic() - started, 1.0, "status took too long")
                if ending == "resumed":
                    if hang == "stopped":
                        server.process.send_signal(signal.SIGCONT)
                    else:
                        listener.close()
                        os.unlink(socket_path())
                        server.start()
                        server.add_two_heads()
                    # At rest, the heads show the images of the last start of feh, which has one for each.
                    self.poll(lambda: self.settle(pid) is None and [self.server.colour_at(HEADS[head]) for head in ("H0", "H1")]
                              == list(map(self.colour_of, self.feh_images(feh, 1, pid)[-1])), "drew both heads", 30)
                started = time.monotonic()
                self.assertEqual(self.zelvoctl("-d", server.display, "quit").status, 0)
                self.assertEqual(self.stop_daemon(pid), 0)
                took = time.monotonic() - started
                self.drain_until(pid, "Zelvo has quit")
                # Its loop ends a second after the quit; one that waited for the server would wait out the
                # handshake's deadline of two seconds.
                self.assertLess(took, 1.8, "quit took too long")

    def test_two_monitors_change_on_their_own_periods_and_the_other_keeps_its_image(self):
        # One and two minutes, watched for two: the first changes alone at one minute, both at two.
        feh = self.install_feh()
        make_solid_images(self.path("left"), LEFT)
        make_solid_images(self.path("right"), RIGHT)
        display = self.server.start()
        self.server.add_two_heads()
        self.configure_groups({"feh-path": feh, "pics": self.images(2), "monitors": "auto", "colors": True},
                              [{"sources": [self.path("left")], "minutes": 1},
                               {"sources": [self.path("right")], "minutes": 2}])
        started = time.monotonic()
        pid = self.start_daemon(env={**self.env, "DISPLAY": display})
        colours = pathlib.Path(self.home, ".zelvo", "colors")
        seen, palette, palettes = [], None, []
        for count, at in [(1, 0), (2, 60), (3, 120)]:
            images = self.feh_images(feh, count, pid, timeout=80)
            elapsed = time.monotonic() - started
            self.assertEqual(len(images), count)
            self.assertTrue(at - 1 <= elapsed <= at + 10, (count, elapsed))
            # Each head shows its own image: the one kept too.
            self.assert_heads(images[-1], ["H0", "H1"])
            self.poll(lambda: colours.exists() and colours.stat().st_ino != palette, "writes the palette")
            palette = colours.stat().st_ino
            palettes.append(palette)
            seen.append(images[-1])
        # The first monitor changed each time, and the palette was made again; the second kept its image
        # at one minute, and changed at two.
        first, second, third = seen
        self.assertTrue(first[0] != second[0] and third[0] != second[0], seen)
        self.assertEqual(second[1], first[1])
        self.assertNotEqual(third[1], second[1])
        self.assertEqual(len(set(palettes)), 3)
        self.assertEqual(len(self.feh_images(feh, 3, pid)), 3)
        self.quit(pid)


if __name__ == "__main__":
    unittest.main()
