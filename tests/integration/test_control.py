#!/usr/bin/env python3
"""zelvoctl with the real daemon: bad calls, displays without a daemon, every command, the
status file that it reads, and a quit that lets the next zelvo start at once."""
import os, pathlib, re, signal, subprocess, time, unittest

from harness import ZELVOCTL, records
from test_cycle import BACK, RELOAD, RELOADED, SHUFFLE, SKIP, CycleCase

USAGE = (b"Usage: " + ZELVOCTL.encode() +
         b" [-d display] next | previous | reshuffle | reload | quit | status | current\n")


class ControlTest(CycleCase):
    def setUp(self):
        super().setUp()
        self.env["XDG_RUNTIME_DIR"] = self.runtime
        self.feh = self.install_recorder("feh")

    def test_bad_calls_and_displays_without_a_daemon(self):
        nobody = lambda display: (1, b"", b"zelvoctl: no zelvo runs on display %s\n" % display)
        # (arguments, lines of the C library's diagnostic before the usage line)
        bad = [((), 0), (("jump",), 0), (("next", "now"), 0), (("--", "-d", ":1", "next"), 0), (("-d",), 1),
               (("-x", "next"), 1)]
        for args, diagnostics in bad:
            with self.subTest(args=args):
                status, out, err, _ = self.zelvoctl(*args)
                self.assertEqual((status, out, err.count(b"\n")), (2, b"", diagnostics + 1))
                self.assertTrue(err.endswith(USAGE), err)
        # No daemon has ever run: not even the runtime directory's folder exists.
        self.assertEqual(self.zelvoctl("status")[:3], nobody(b":0"))
        self.assertEqual(self.zelvoctl("next", env={"HOME": self.home, "DISPLAY": ":3"})[:3], nobody(b":3"))

        pid = self.start({"feh-path": self.feh, "pics": self.images(2)})
        # A pid file that nobody locks is nobody's, whatever pid it names.
        pathlib.Path(self.runtime, "zelvo", ":5.pid").write_text(f"{pid}\n")
        for args in [("-d", ":5", "next"), ("-d", ":7", "quit"), ("-d", "", "status")]:
            with self.subTest(args=args):
                self.assertEqual(self.zelvoctl(*args)[:3], nobody(args[1].encode()))
        self.send(pid, [signal.SIGUSR1], SKIP)  # the first log line since the start: it got nothing else
        self.changes(pid, self.feh, 2)
        self.quit(pid)

    def test_every_command_reaches_the_daemon_and_quit_waits_for_its_end(self):
        images = self.images(2)
        named = os.path.join(os.path.dirname(images[0]), "two\nlines=.png")  # any name fits the status file
        os.link(images[0], named)
        began = int(time.time())
        pid = self.start({"feh-path": self.feh, "pics": [*images, named]}, "-m", "3")
        status_file = pathlib.Path(self.runtime, "zelvo", ":0.status")
        for count, (command, texts) in enumerate([("current", ()), ("next", (SKIP,)), ("reshuffle", (SHUFFLE,)),
                                                  ("reload", (RELOAD, RELOADED)), ("previous", (BACK,)),
                                                  ("status", ())]):
            with self.subTest(command):
                if command == "reload":  # another display in the file: the lock stays with the one it started on
                    self.configure({"feh-path": self.feh, "pics": [*images, named], "DISPLAY": ":6"})
                reads = command in ("current", "status")
                result = None if reads else self.zelvoctl(command)
                self.expect(pid, *texts)
                found = self.changes(pid, self.feh, count + (command != "status"))
                on_screen = found[-1]["argv"][3:]
                self.assertEqual(on_screen, found[-3]["argv"][3:] if command == "previous" else on_screen)
                self.assertCountEqual(on_screen, [*images, named])
                # The status follows once the change is complete, a moment after feh has started.
                shown = [b"image=" + image.encode() for image in on_screen]
                self.poll(lambda: status_file.exists() and status_file.read_bytes().split(b"\0")[6:-1] == shown,
                          "publishes what it shows")
                result = self.zelvoctl(command) if reads else result
                records_ = status_file.read_bytes().split(b"\0")
                changed, due = (int(record.split(b"=")[1]) for record in records_[4:6])
                self.assertEqual(records_, [b"zelvo-status=1", b"pid=%d" % pid, b"display=:0", b"interval=1200",
                                            b"changed=%d" % changed, b"next=%d" % due,
                                            *(b"image=" + image.encode() for image in on_screen), b""])
                self.assertTrue(began <= changed <= time.time() and 1199 <= due - changed <= 1201, (changed, due))
                if command == "current":
                    self.assertEqual(result, (0, "".join(f"{image}\n" for image in on_screen).encode(), b"", None))
                elif command == "status":
                    lines = [rf"pid:         {pid}", "display:     :0", "interval:    20 min",
                             r"last change: \d{4}-\d\d-\d\d \d\d:\d\d:\d\d \(\d+ s ago\)",
                             r"next change: \d{4}-\d\d-\d\d \d\d:\d\d:\d\d \(in (19 min \d+ s|20 min)\)",
                             *(("on screen:   " if at == 0 else " " * 13) + re.escape(image.replace("\n", "\\n"))
                               for at, image in enumerate(on_screen))]
                    self.assertEqual(result[0], 0)
                    self.assertRegex(result.out.decode(), r"\A" + r"\n".join(lines) + r"\n\Z")
                else:
                    self.assertEqual(result, (0, b"", b"", None))
        self.assertEqual(found[-1]["env"]["DISPLAY"], ":6")
        self.assertEqual(self.zelvoctl("-d", ":6", "current")[:3], (1, b"", b"zelvoctl: no zelvo runs on display :6\n"))

        # Once quit returns, the daemon has let go of the display: a new start takes it.
        started = time.monotonic()
        self.assertEqual(self.zelvoctl("quit"), (0, b"", b"", None))
        self.assertLess(time.monotonic() - started, 5)
        self.expect(pid, "Zelvo has quit")
        pid_file = pathlib.Path(self.runtime, "zelvo", ":0.pid")
        self.assertEqual((status_file.exists(), pid_file.read_bytes()), (False, b""))
        self.quit(self.start_daemon(env=self.env))

    def test_names_reach_a_terminal_escaped_and_a_script_byte_for_byte(self):
        [image] = self.images(1)
        os.mkdir(self.path("strange"))
        named = os.path.join(self.path("strange").encode(), b"\x1b]2;OWNED\x07\x1b[2J\xc2\x9b.png")
        os.link(image, named)
        escaped = named.replace(b"\x1b", b"\\e").replace(b"\x07", b"\\a").replace(b"\xc2\x9b", b"\\xc2\\x9b")
        pid = self.start({"feh-path": self.feh, "pics": [self.path("strange")]})
        self.poll(lambda: self.zelvoctl("current").status == 0, "publishes what it shows")
        master, slave = os.openpty()
        self.addCleanup(os.close, master)
        # (command, what a pipe gets, what a terminal gets) for the name's line
        for command, piped, shown in [("current", named, escaped), ("status", b"on screen:   " + escaped, None)]:
            with self.subTest(command):
                out = self.zelvoctl(command).out
                self.assertIn(piped + b"\n", out)
                done = subprocess.run([ZELVOCTL, command], env={"HOME": self.home, "XDG_RUNTIME_DIR": self.runtime,
                                      "LANG": "C.UTF-8"}, stdin=subprocess.DEVNULL, stdout=slave, timeout=30)
                self.assertEqual(done.returncode, 0)
                got = os.read(master, 65536)
                self.assertNotIn(b"\x1b", got)
                self.assertIn((shown or piped) + b"\r\n", got)
        os.close(slave)
        self.quit(pid)


if __name__ == "__main__":
    unittest.main()
