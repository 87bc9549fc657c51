#!/usr/bin/env python3
"""Sources a stranger can leave in a wallpaper folder or write as a list file, at start-up and at
SIGHUP: special files behind names and links, files that fail to read, formats that feh cannot show
or that would make MagickCore start programs, bombs of frames and layers, probes that hang or crash,
chains and fan-outs of list files. Each start and reload completes with the good images in the ring,
and SIGTERM still ends the daemon."""
import bz2, glob, gzip, lzma, os, pathlib, re, shutil, signal, struct, subprocess, time, unittest

from harness import BINARY, MAGICK_TOOLS, TOOLS, magick_policy, namespace_command, proc_status, records
from test_cycle import RELOAD, RELOADED
import test_display
from test_hostile import HostileCase

# Programs that MagickCore's delegates would start for PostScript and SVG.
DELEGATES = ("gs", "inkscape", "rsvg-convert")
POSTSCRIPT = "%!PS-Adobe-3.0\n{ } loop\n"
LIST_BUDGET = "Zelvo has read 10000 list files, the most for one expansion: the other list files are skipped"
IMAGE_BUDGET = re.compile(r"Zelvo has found (\d+) images, as many as one expansion takes: the rest are skipped")
HANG = os.environ.get("ZELVO_HANG", "")
SANITIZED = os.environ.get("ZELVO_SANITIZED") == "1"
PROBE_DEADLINE = 5
ENDED = "Zelvo gave up on {}: probing it ended before it was done"
OVERRAN = "Zelvo gave up on {}: probing it took longer than 5 seconds"

BASE = ["-size", "64x48", "gradient:red-blue", "-fill", "yellow", "-draw", "rectangle 5,5 30,20"]
# Shown in none of the images, so that a screen that still shows it tells that feh drew nothing.
ROOT_COLOUR = "#00ff00"


def farbfeld(path):
    """A 2x2 farbfeld image, which Debian's ImageMagick cannot write."""
    pixels = [(0xffff, 0, 0), (0, 0, 0xffff), (0xffff, 0xffff, 0), (0, 0xffff, 0xffff)]
    pathlib.Path(path).write_bytes(b"farbfeld" + struct.pack(">II", 2, 2) +
                                   b"".join(struct.pack(">HHHH", *pixel, 0xffff) for pixel in pixels))


def xcf(path, layers=1, side=16):
    """A GIMP image of layers copies of one side x side layer, which ImageMagick cannot write."""
    out = bytearray(b"gimp xcf file\0" + struct.pack(">III", side, side, 0) + struct.pack(">II", 17, 1) + b"\0" +
                    struct.pack(">II", 0, 0))
    layer_at = len(out) + 4 * (layers + 2)
    out += struct.pack(">I", layer_at) * layers + struct.pack(">II", 0, 0)
    layer = struct.pack(">IIII", side, side, 0, 2) + b"L\0" + struct.pack(">II", 0, 0)
    hierarchy_at = layer_at + len(layer) + 8
    level_at = hierarchy_at + 20
    out += layer + struct.pack(">II", hierarchy_at, 0) + struct.pack(">IIIII", side, side, 3, level_at, 0)
    # One uncompressed tile, padded to what the reader takes for the last tile.
    out += struct.pack(">IIII", side, side, level_at + 16, 0) + bytes(24576)
    pathlib.Path(path).write_bytes(out)


def readable_formats():
    """The formats that the MagickCore zelvo is built against reads."""
    listing = subprocess.run([os.path.join(MAGICK_TOOLS, "convert"), "-list", "format"], capture_output=True,
                             text=True, check=True).stdout
    return {line.split()[0].rstrip("*") for line in listing.splitlines()[2:]
            if len(line.split()) >= 3 and any(word.startswith("r") for word in line.split()[1:3])}


# (file name, what makes it: convert's output format and options, or a function of the path, or the name of
# a file made before it and the compressor that wraps it; in the ring: True, False, or the coder that the
# MagickCore in use must have; feh shows it).
FORMATS = [
    ("photo.jpg", ("JPEG", []), True, True), ("plain.png", ("PNG", []), True, True),
    ("deep.png", ("PNG48", []), True, True), ("anim.gif", ("GIF", []), True, True),
    ("web.webp", ("WEBP", []), True, True), ("scan.tif", ("TIFF", []), True, True),
    ("big.tif", ("TIFF64", []), True, True), ("paint.bmp", ("BMP", []), True, True),
    ("old.bmp", ("BMP2", []), True, True), ("icon.ico", ("ICO", []), True, True),
    ("pointer.cur", ("CUR", []), True, True), ("bits.pbm", ("PBM", []), True, True),
    ("grey.pgm", ("PGM", ["-depth", "8"]), True, True), ("colour.ppm", ("PPM", ["-depth", "8"]), True, True),
    ("icon.xpm", ("XPM", []), True, True), ("bits.xbm", ("XBM", []), True, True),
    ("jpeg2000.jp2", ("JP2", []), True, True), ("stream.j2k", ("J2K", []), True, True),
    ("targa.tga", ("TGA", []), True, True), ("packed.tga", ("TGA", ["-compress", "RLE"]), True, True),
    ("apple.heic", ("HEIC", []), "HEIC", True), ("av1.avif", ("AVIF", []), "AVIF", True),
    ("farb.ff", farbfeld, "FARBFELD", True),
    ("layers.psd", ("PSD", []), False, False), ("large.psb", ("PSB", []), False, False),
    ("gimp.xcf", xcf, False, False), ("native.miff", ("MIFF", []), False, False),
    ("cached.mpc", ("MPC", []), False, False), ("sky.fits", ("FITS", []), False, False),
    ("iris.sgi", ("SGI", []), False, False), ("sun.ras", ("SUN", []), False, False),
    ("dos.pcx", ("PCX", []), False, False), ("pages.dcx", ("DCX", []), False, False),
    ("film.dpx", ("DPX", []), False, False), ("film.cin", ("CIN", []), False, False),
    ("light.hdr", ("HDR", []), False, False), ("light.exr", ("EXR", []), False, False),
    ("mac.pict", ("PICT", []), False, False), ("hand.palm", ("PALM", []), False, False),
    ("kodak.pcd", ("PCD", []), False, False), ("khoros.viff", ("VIFF", []), False, False),
    ("nasa.vic", ("VICAR", []), False, False), ("pixels.txt", ("TXT", []), False, False),
    ("term.six", ("SIXEL", []), False, False), ("jpeg.jng", ("JNG", []), False, False),
    ("movie.mng", ("MNG", []), False, False), ("arbitrary.pam", ("PAM", []), False, False),
    ("float.pfm", ("PFM", []), False, False), ("wide.pgm", ("PGM", ["-depth", "16"]), False, False),
    ("wide.ppm", ("PPM", ["-depth", "16"]), False, False), ("fax.jbg", ("JBIG", []), False, False),
    ("window.xwd", ("XWD", []), False, False), ("phone.wbmp", ("WBMP", []), False, False),
    # MagickCore tells these from their content, whatever they are called.
    ("disguised.jpg", "layers.psd", False, False), ("disguised.png", "native.miff", False, False),
    # feh unwraps these, but a compressed file is no wallpaper to zelvo.
    ("grey.pgm.bz2", ("grey.pgm", bz2.compress), False, True),
    ("plain.png.gz", ("plain.png", gzip.compress), False, True),
    ("grey.pgm.xz", ("grey.pgm", lzma.compress), False, True),
]


def pgm_frames(path, frames):
    pathlib.Path(path).write_bytes(b"P5\n1 1\n255\n\x80" * frames)


def tiff_directories(path, directories):
    """A TIFF of that many 1x1 directories, each naming the next."""
    entries = lambda strip: [(256, 3, 1, 1), (257, 3, 1, 1), (258, 3, 1, 8), (259, 3, 1, 1), (262, 3, 1, 1),
                             (273, 4, 1, strip), (277, 3, 1, 1), (278, 3, 1, 1), (279, 4, 1, 1)]
    out, size = bytearray(b"II*\0" + struct.pack("<I", 8)), 2 + 9 * 12 + 4 + 2
    for index in range(directories):
        at, following = len(out), len(out) + size if index + 1 < directories else 0
        out += struct.pack("<H", 9) + b"".join(struct.pack("<HHII", *entry) for entry in entries(at + 2 + 9 * 12 + 4))
        out += struct.pack("<I", following) + b"\x80\0"
    pathlib.Path(path).write_bytes(out)


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
            with self.subTest(str(budget)):
                self.feh = self.install_recorder(f"bin/feh-budget-{index}")
                pid = self.launch({"monitors": 2, "pics": sources})
                [said] = [line for line in self.stderr.decode().splitlines() if line.startswith("Zelvo")]
                self.assertTrue(said == budget if isinstance(budget, str) else budget.fullmatch(said), said)
                shown = [self.shown(pid, 1)]
                self.send(pid, [signal.SIGHUP])
                self.assertEqual([message.text for message in self.messages(3, timeout=60)], [RELOAD, said, RELOADED])
                shown.append(self.shown(pid, 2))
                # The old ring and the new one were held side by side; the daemon stays small all the same
                # (but for the sanitizers' shadow memory).
                if not SANITIZED:
                    self.assertLess(int(proc_status(pid, "VmRSS").split()[0]), 64 << 10)
                for entries in shown:
                    self.assertTrue(set(entries) <= set(ring) and (len(ring) > 2 or entries == sorted(ring)), entries)
                self.quit(pid)


class FormatTest(SourcesCase):
    def test_the_ring_holds_exactly_the_formats_that_feh_shows(self):
        folder = os.path.realpath(self.path("formats"))
        os.mkdir(folder)
        readable, made = readable_formats(), {}
        for name, how, _, _ in FORMATS:
            path = made[name] = os.path.join(folder, name)
            if callable(how):
                how(path)
            elif isinstance(how, str):
                shutil.copy(made[how], path)
            elif callable(how[1]):
                pathlib.Path(path).write_bytes(how[1](pathlib.Path(made[how[0]]).read_bytes()))
            else:
                subprocess.run([TOOLS["convert"], *BASE, *how[1], f"{how[0]}:{path}"], check=True,
                               capture_output=True)
        allowed = sorted(made[name] for name, _, ring, _ in FORMATS if ring is True or ring in readable)
        self.assertGreater(len(allowed), 20)
        # One change shows the whole ring, and wraps round where it has fewer images than monitors.
        pid = self.launch({"monitors": 64, "pics": [folder]})
        self.assertEqual(self.shown(pid, 1), allowed)
        said = self.stderr.decode(errors="replace").splitlines()
        self.assertEqual([line for line in said if line.startswith("Zelvo")], [])
        # The probers' complaints from MagickCore, side by side: whole lines, never mixed.
        self.assertGreater(len(said), 0)
        self.assertEqual([line for line in said if not re.fullmatch(r"zelvo: [^@]+ @ [^@ ]+\.", line)], [])
        self.quit(pid)

        display = test_display.DisplayTest.start_xvfb(self, "64x48")
        for name, _, ring, shows in FORMATS:
            with self.subTest(name):
                subprocess.run(["xsetroot", "-display", display, "-solid", ROOT_COLOUR], check=True)
                feh = subprocess.run([test_display.PROGRAMS["feh"], "--bg-scale", "--no-fehbg", made[name]], capture_output=True,
                                     env={"DISPLAY": display, "HOME": self.home})
                if shows:
                    self.assertEqual(feh.returncode, 0, feh.stderr)
                    self.assertNotEqual(test_display.DisplayTest.colours_on_screen(self, display, 1), [ROOT_COLOUR])
                else:
                    self.assertNotEqual(feh.returncode, 0, f"feh shows {name}")


class ProberTest(SourcesCase):
    def test_bombs_cost_neither_time_nor_memory_and_are_never_read(self):
        good = sorted([self.blocks("pics", "a.png"), self.blocks("pics", "b.png")])
        bombs = os.path.realpath(self.path("bombs"))
        os.mkdir(bombs)
        pgm_frames(os.path.join(bombs, "frames.pgm"), 100000)
        tiff_directories(os.path.join(bombs, "directories.tif"), 100000)
        xcf(os.path.join(bombs, "layers.xcf"), 30000)
        pathlib.Path(bombs, "frames.pgm.bz2").write_bytes(bz2.compress(pathlib.Path(bombs, "frames.pgm").read_bytes()))
        jbig = subprocess.run(["convert", *BASE, "JBIG:-"], check=True, capture_output=True).stdout
        for at in (20, len(jbig) // 2):
            pathlib.Path(bombs, f"changed-{at}.jbg").write_bytes(jbig[:at] + bytes([jbig[at] ^ 0x5a]) + jbig[at + 1:])
        # Pixel caches whose companion is a FIFO nobody writes, or a link to another image.
        for name in ("fifo", "link"):
            subprocess.run(["convert", *BASE, os.path.join(bombs, f"{name}.mpc")], check=True)
            os.remove(os.path.join(bombs, f"{name}.cache"))
        os.mkfifo(os.path.join(bombs, "fifo.cache"))
        os.symlink(good[0], os.path.join(bombs, "link.cache"))
        pathlib.Path(bombs, "one-string.list").write_text('default = [ "' + "a" * (16 << 20) + '" ];\n')
        # The first frame of each still in the ring: the frames, the directories.
        kept = sorted(os.path.join(bombs, name) for name in ("frames.pgm", "directories.tif"))
        pid = self.launch({"monitors": 8, "pics": [self.path("pics"), bombs, os.path.join(bombs, "one-string.list")]})
        took = {"start-up": self.startup}
        self.assertEqual(self.shown(pid, 1), sorted(good + kept))
        # MagickCore says why it reads none of the others; zelvo has nothing to say.
        self.assertEqual([line for line in self.stderr.decode().splitlines() if line.startswith("Zelvo")], [])
        sizes = [int(proc_status(pid, "VmRSS").split()[0])]
        began = time.monotonic()
        self.assertEqual(self.shown(pid, 2, signal.SIGHUP, RELOAD, RELOADED), sorted(good + kept))
        took["reload"] = time.monotonic() - began
        sizes.append(int(proc_status(pid, "VmRSS").split()[0]))
        print(f"\nbombs: {took}, VmRSS {sizes} KiB")
        self.assertLess(max(took.values()), 2 * (3 if SANITIZED else 1), took)
        if not SANITIZED:  # the sanitizers' shadow memory sets the size there
            self.assertLess(max(sizes), 12 << 10)
        self.quit(pid)

    def test_a_prober_that_hangs_or_is_killed_costs_only_its_file(self):
        self.assertTrue(os.access(HANG, os.R_OK), f"ZELVO_HANG names no library: {HANG!r}")
        good = sorted([self.blocks("pics", "a.png"), self.blocks("pics", "b.png")])
        killed, stuck = self.blocks("zelvo-hang-killed.png"), self.blocks("zelvo-hang-stuck.png")
        self.configure({"feh-path": self.feh, "monitors": 2, "pics": [killed, stuck, self.path("pics")]})
        env = {**self.env, "LD_PRELOAD": HANG, "ASAN_OPTIONS": "verify_asan_link_order=0"}

        def kill_the_prober():
            """Waits for a prober to hang on the first file, then kills it from outside."""
            [marker] = self.poll(lambda: glob.glob(killed + ".hanging-*"), "hangs on the first file")
            os.remove(marker)
            os.kill(int(marker.rsplit("-", 1)[1]), signal.SIGKILL)

        began = time.monotonic()
        with subprocess.Popen(namespace_command(self.dev, self.path("log"), [BINARY]), env=env,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE) as start:
            kill_the_prober()
            out, err = start.communicate(timeout=60)
        took = time.monotonic() - began
        self.assertEqual((start.returncode, out, err.decode().splitlines()),
                         (0, b"", [ENDED.format(killed), OVERRAN.format(stuck)]))
        self.assertLess(took, PROBE_DEADLINE + 3)
        pid = self.messages(2)[0].pid
        self.assertEqual(self.shown(pid, 1), good)
        os.kill(pid, signal.SIGHUP)
        kill_the_prober()
        self.expect(pid, RELOAD, ENDED.format(killed), OVERRAN.format(stuck), RELOADED)
        self.assertEqual(self.shown(pid, 2), good)
        print(f"\nhanging probes: start-up {took:.2f} s")
        self.quit(pid)


if __name__ == "__main__":
    unittest.main()
