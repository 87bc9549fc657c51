#!/usr/bin/env python3
"""Sources a stranger can leave in a wallpaper folder or write as a list file, at start-up and at
SIGHUP: special files behind names and links, files that fail to read, formats that would make
MagickCore start programs, chains and fan-outs of list files. Each start and reload completes with
the good images in the ring, and SIGTERM still ends the daemon."""
import os, pathlib, re, signal, subprocess, unittest

from harness import magick_policy, records
from test_cycle import RELOAD, RELOADED
from test_hostile import HostileCase

# Programs that MagickCore's delegates would start for PostScript and SVG.
DELEGATES = ("gs", "inkscape", "rsvg-convert")
POSTSCRIPT = "%!PS-Adobe-3.0\n{ } loop\n"
LIST_BUDGET = "Zelvo has read 10000 list files, the most for one expansion: the other list files are skipped"
IMAGE_BUDGET = "Zelvo has found 1000000 images, as many as one expansion takes: the rest are skipped"


class SourcesCase(HostileCase):
    def setUp(self):
        super().setUp()
        self.env["PATH"] = self.search_path  # the delegates' stand-ins come first
        self.delegates = [self.install_recorder(os.path.join("bin", name)) for name in DELEGATES]

    def shown(self, pid, count, number=None, *texts):
        """The distinct image entries of change count, as text; see HostileCase.change."""
        return sorted({entry.decode() for entry in self.change(pid, count, number, *texts)})

    def list_file(self, name, *sources):
        path = self.path(name)
        pathlib.Path(path).write_text("default = ( " + ", ".join(f'"{source}"' for source in sources) + " );\n")
        return path


class SpecialFileTest(SourcesCase):
    def test_special_files_read_errors_and_delegates_at_start_and_reload(self):
        pics = os.path.realpath(self.path("pics"))
        good = [self.blocks("pics", "a.png"), self.blocks("pics", "b.png"), self.blocks("named.png")]
        os.mkfifo(os.path.join(pics, "x.jpg"))
        for name, target in (("tty", "/dev/zero"), ("stdin", "/proc/self/fd/0"), ("mem", "/proc/self/mem")):
            os.symlink(target, os.path.join(pics, name))
        # The PostScript family by any of its names, PostScript named as a JPEG, and an SVG.
        for name in ("poster.ai", "poster.epsf", "poster.epsi", "poster.epi", "poster.epdf", "poster.pdfa", "ps.jpg"):
            pathlib.Path(pics, name).write_text(POSTSCRIPT)
        pathlib.Path(pics, "drawing.svg").write_text(
            '<svg xmlns="http://www.w3.org/2000/svg" width="64" height="64"><rect width="64" height="64" fill="red"/></svg>\n')
        specials = self.list_file("specials.list", "/proc/self/fd/0", "/proc/self/mem", "/dev/zero",
                                  os.path.join(pics, "x.jpg"), good[2])
        # An include would have libconfig read a file of the list's choosing: the list is refused.
        included = self.blocks("included.png")
        pathlib.Path(self.path("include.list")).write_text(f'@include "/proc/self/mem"\ndefault = ( "{included}" );\n')
        os.symlink("/proc/self/mem", self.path("mem.list"))
        temporary, stock = self.path("temporary"), self.path("stock-policy.xml")
        os.mkdir(temporary)
        pathlib.Path(stock).write_text("<policymap/>\n")  # ImageMagick's own default: nothing denied
        # Four monitors show the whole ring of three at every change, and any fourth image in it.
        settings = {"monitors": 4, "pics": [pics, specials, self.path("include.list"), self.path("mem.list")]}
        # Standard input is a pipe that nobody writes to, as a terminal nobody types at.
        reader, writer = os.pipe()
        try:
            pid = self.launch(settings, stdin=reader, binds=[(stock, magick_policy())],
                              env={"MAGICK_TEMPORARY_PATH": temporary})
        finally:
            os.close(reader)
            os.close(writer)
        self.assertEqual(self.shown(pid, 1), sorted(good))
        self.assertEqual(self.shown(pid, 2, signal.SIGHUP, RELOAD, RELOADED), sorted(good))
        self.quit(pid)
        self.assertEqual([records(program) for program in self.delegates], [[]] * len(DELEGATES))
        self.assertEqual(os.listdir(temporary), [])

    def test_a_configuration_that_cannot_be_read_costs_one_line(self):
        good = self.blocks("pics", "a.png")
        os.mkfifo(self.path("fifo.conf"))
        os.symlink("/proc/self/mem", self.path("mem.conf"))
        for name, why in (("fifo.conf", "not a regular file"), ("mem.conf", os.strerror(5))):
            with self.subTest(name):
                done = self.run_zelvo("-c", self.path(name))
                self.assertEqual((done.status, done.err),
                                 (1, f"Zelvo cannot read the configuration file {self.path(name)}: {why}\r\n".encode()))
        # A running daemon says so at SIGHUP and keeps what it has.
        pid = self.launch({"pics": [good]})
        self.assertEqual(self.change(pid, 1), [good.encode()])  # the loop has the signals now
        self.rc.unlink()
        self.rc.symlink_to("/proc/self/mem")
        self.send(pid, [signal.SIGHUP])
        reload, reason, reloaded = self.messages(3)
        self.assertEqual((reload.text, reason.text, reloaded.text),
                         (RELOAD, f"Zelvo cannot read the configuration file {self.rc}: {os.strerror(5)}", RELOADED))
        self.assertEqual(self.change(pid, 2, None), [good.encode()])
        self.quit(pid)


class FanOutTest(SourcesCase):
    def test_deep_chains_and_fan_outs_stop_at_their_budget(self):
        good, deep, beyond = self.blocks("pics", "good.png"), self.blocks("deep.png"), self.blocks("beyond.png")
        chain = self.path("chain")
        os.mkdir(chain)
        # 10500 list files, each naming the next: the 9999th also names an image, far deeper than any
        # stack of calls could go; the last one's image lies beyond the 10000 list files that one
        # expansion reads.
        for level in range(10500):
            sources = [deep] if level == 9998 else [beyond] if level == 10499 else []
            self.list_file(f"chain/{level}", *sources, *([f"{chain}/{level + 1}"] if level < 10499 else []))
        # Seven small list files, each naming the next twenty times, the last naming 200 URLs: 1.28e9
        # list files read and 2.56e11 entries unbounded.
        fan = self.path("fan")
        os.mkdir(fan)
        urls = [f"http://www.example.com/{'x' * 80}/{number}.jpg" for number in range(200)]
        for level in range(7):
            self.list_file(f"fan/{level}", *([f"{fan}/{level + 1}"] * 20 if level < 6 else urls))
        # The chain's ring is its two images, shown together on two monitors; the fan-out's, a
        # million of its URLs, and nothing after them.
        for index, (sources, budget, ring) in enumerate((([f"{chain}/0", good], LIST_BUDGET, [deep, good]),
                                                         ([f"{fan}/0", good], IMAGE_BUDGET, urls))):
            with self.subTest(budget):
                self.feh = self.install_recorder(f"bin/feh-budget-{index}")
                pid = self.launch({"monitors": 2, "pics": sources})
                said = [line for line in self.stderr.decode().splitlines() if line.startswith("Zelvo")]
                self.assertEqual(said, [budget])
                shown = [self.shown(pid, 1)]
                self.send(pid, [signal.SIGHUP])
                self.assertEqual([message.text for message in self.messages(3, timeout=60)], [RELOAD, budget, RELOADED])
                shown.append(self.shown(pid, 2))
                for entries in shown:
                    self.assertTrue(set(entries) <= set(ring) and (len(ring) > 2 or entries == sorted(ring)), entries)
                self.quit(pid)


if __name__ == "__main__":
    unittest.main()
