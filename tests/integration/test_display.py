#!/usr/bin/env python3
"""The wallpaper on a real X server: a private Xvfb, the real feh behind a
wrapper that notes the images it was given, and screenshots of the root window."""
import os
import pathlib
import re
import shutil
import signal
import subprocess
import time
import struct
import zlib

from harness import TOOLS, ZelvoCase, block_colours, hex_colour, make_block_image, make_solid_images, near
from test_colours import DEFAULT_FILE
from xserver import XServer

PROGRAMS = {name: shutil.which(name) for name in ("xwd", "xrandr", "feh")}
# Solid colours far apart, so that a half-drawn or stale screen never passes for another.
COLOURS = ["#ff0000", "#00c000", "#0000ff", "#ffff00"]
SKIP_AHEAD = "SIGUSR1 has been recived: skiping ahead"


def write_rgba_png(path, width, height, pixels):
    """A PNG of 8-bit RGBA pixels (bytes, row by row) written as they are: no encoder's say over the colour
    of a transparent pixel."""
    rows = b"".join(b"\0" + pixels[row * width * 4:(row + 1) * width * 4] for row in range(height))
    chunk = lambda kind, data: struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    pathlib.Path(path).write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows)) +
                                   chunk(b"IEND", b""))


class DisplayTest(ZelvoCase):
    def setUp(self):
        super().setUp()
        self.assertNotIn(None, PROGRAMS.values(), f"missing programs: {PROGRAMS}")

    def start_xvfb(self, size):
        """A private X server with -noreset on a free display; gives its name."""
        return XServer(self, size).start()

    def install_feh(self, path):
        """An executable at path that appends its arguments as one line to path.args, then runs the real feh."""
        with open(path, "w") as wrapper:
            wrapper.write(f'#!/bin/sh\nprintf "%s\\n" "$*" >> "{path}.args"\nexec {PROGRAMS["feh"]} "$@"\n')
        os.chmod(path, 0o755)
        return path

    def feh_starts(self, feh, count):
        """Waits for count starts of the wrapper; gives the arguments of each start."""
        log = pathlib.Path(feh + ".args")
        found = self.poll(lambda: log.exists() and len(lines := log.read_text().splitlines()) >= count and lines,
                          f"started feh {count} times")
        self.assertEqual(len(found), count, "feh was started more often than asked")
        return [line.split() for line in found]

    def colours_on_screen(self, display, heads):
        """The mean colour of each of heads equal vertical strips of the root window."""
        shot = subprocess.run([PROGRAMS["xwd"], "-root", "-display", display], capture_output=True, check=True)
        raw = subprocess.run([TOOLS["convert"], "xwd:-", "-scale", f"{heads}x1!", "-depth", "8", "rgb:-"],
                             input=shot.stdout, capture_output=True, check=True).stdout
        return ["#" + raw[at:at + 3].hex() for at in range(0, len(raw), 3)]

    def assert_shows(self, display, images):
        """Polls the screen until each head shows the colour of its image, named after that colour."""
        expected = ["#" + os.path.basename(image).removesuffix(".png") for image in images]
        deadline = time.monotonic() + 10
        while (seen := self.colours_on_screen(display, len(images))) != expected:
            if time.monotonic() > deadline:
                self.fail(f"the screen shows {seen}, not {expected}")
            time.sleep(0.05)

    def skip_ahead(self, pid):
        os.kill(pid, signal.SIGUSR1)
        self.assert_notices(self.messages(1), pid, SKIP_AHEAD)

    def test_start_and_each_skip_show_the_next_image_of_the_ring(self):
        display = self.start_xvfb("200x150")
        images = make_solid_images(self.path("images"), COLOURS)
        feh = self.install_feh(self.path("feh-wrapper"))
        self.write_config({"default": [self.path("images")], "feh-path": feh})
        pid = self.start_daemon(env={"HOME": self.home, "PATH": os.environ["PATH"], "DISPLAY": display})
        shown = []
        for change in range(len(images) + 1):
            if change:
                self.skip_ahead(pid)
            args = self.feh_starts(feh, change + 1)[change]
            self.assertEqual(args[:2], ["--bg-scale", "--no-fehbg"])
            self.assert_shows(display, args[2:])
            shown.append(args[2])
        # One pass over the ring shows every image once, then it comes round again.
        self.assertCountEqual(shown[:-1], images)
        self.assertEqual(shown[-1], shown[0])
        self.assertEqual(self.stop_daemon(pid), 0)
        self.assert_notices(self.messages(1), pid, "Zelvo has quit")

    def test_two_monitors_found_feh_and_configured_display(self):
        # Two side-by-side monitors on one screen; feh puts one image on each.
        display = self.start_xvfb("320x120")
        for name, geometry, output in [("left", "160/40x120/30+0+0", "screen"),
                                       ("right", "160/40x120/30+160+0", "none")]:
            made = subprocess.run([PROGRAMS["xrandr"], "-display", display, "--setmonitor", name, geometry,
                                   output], capture_output=True)
            self.assertEqual(made.returncode, 0, made.stderr)
        images = make_solid_images(self.path("images"), COLOURS[:3])
        bin_directory = self.path("displaybin")
        os.mkdir(bin_directory)
        feh = self.install_feh(os.path.join(bin_directory, "feh"))
        # The configured display wins over the inherited one, which names no server.
        self.write_config({"default": [self.path("images")], "DISPLAY": display, "monitors": 3})
        path = f"{bin_directory}:{os.environ['PATH']}"
        pid = self.start_daemon("-m", "2", env={"HOME": self.home, "PATH": path, "DISPLAY": ":99.7"})
        first = self.feh_starts(feh, 1)[0]
        self.assertEqual(first[:2], ["--bg-scale", "--no-fehbg"])
        self.assert_shows(display, first[2:])
        self.skip_ahead(pid)
        second = self.feh_starts(feh, 2)[1]
        self.assert_shows(display, second[2:])
        # A ring of three moved on by two: the third image, then round to the first.
        self.assertEqual(second[2:], [*(set(images) - set(first[2:])), first[2]])
        self.assertEqual(self.stop_daemon(pid), 0)
        self.assert_notices(self.messages(1), pid, "Zelvo has quit")

    def test_each_change_loads_the_palette_of_the_first_image_with_xrdb(self):
        display = self.start_xvfb("200x150")
        os.mkdir(self.path("images"))
        # Both sets share the eight corners; only their mid colours tell the images apart.
        blocks = {}
        for name, low, high in [("wide.png", 0x48, 0xb8), ("narrow.png", 0x60, 0x9f)]:
            blocks[name] = block_colours(low, high)
            make_block_image(self.path("images", name), blocks[name])
        feh = self.install_feh(self.path("feh-wrapper"))
        colour_file = os.path.join(self.home, ".zelvo", "colors")
        resources = pathlib.Path(self.home, "resources")
        resources.write_text(f'#include "{colour_file}"\n' + "".join(f"*color{i}: c{i}\n" for i in range(16)))
        self.write_config({"default": [self.path("images")], "feh-path": feh, "colors": True, "use-xrdb": True,
                           "dark": True, "xresources": str(resources)})
        # The real xrdb and cpp, found on the daemon's search path, load into the private server.
        pid = self.start_daemon(env={"HOME": self.home, "PATH": os.environ["PATH"], "DISPLAY": display})

        def loaded_colours():
            query = subprocess.run(["xrdb", "-query", "-display", display], capture_output=True, check=True, text=True)
            found = dict(re.findall(r"^\*color(\d+):\s*(\S*)$", query.stdout, re.M))
            return [found.get(str(index)) for index in range(16)]

        seen, shown = [], []
        for change in range(2):
            if change:
                self.skip_ahead(pid)
            shown.append(os.path.basename(self.feh_starts(feh, change + 1)[change][2]))
            # xrdb starts only once the file is complete, so new values mean the file is final too.
            values = self.poll(lambda: None not in (found := loaded_colours()) and found not in seen and found,
                               f"loaded the colours of change {change} with xrdb")
            seen.append(values)
            lines = pathlib.Path(colour_file).read_text().splitlines(keepends=True)
            self.assertEqual([len(line) for line in lines], [19] * 10 + [20] * 6, lines)
            entries = [re.fullmatch(rf"#define c{index} (#[0-9A-Fa-f]{{6}})\n", line) for index, line in enumerate(lines)]
            self.assertNotIn(None, entries, lines)
            entries = [match[1] for match in entries]
            # cpp passes the definitions through unchanged, so the letters' case must match too.
            self.assertEqual(values, entries)
            own = blocks[shown[-1]]
            kept = [hex_colour(entries[index]) for index in (*range(7), *range(9, 15))]
            self.assertTrue(all(near(colour, own) for colour in kept), f"{entries} are not all from {shown[-1]}")
            # Twelve of the sixteen distinct colours are kept, so at least four of the eight mid ones; the
            # other image's mid colours lie 24 or more away from these.
            self.assertGreaterEqual(sum(near(colour, own[8:]) for colour in kept), 4, entries)
            # c7 and c15 lean halfway to #eeeeee; c8 is c7 at seven tenths, truncated.
            toward_grey = [tuple((channel + 0xee) // 2 for channel in colour) for colour in own]
            c7, c8, c15 = (hex_colour(entries[index]) for index in (7, 8, 15))
            self.assertTrue(near(c7, toward_grey) and near(c15, toward_grey), entries)
            self.assertTrue(near(c8, [tuple(int(channel * 0.7) for channel in c7)], 1), entries)
        self.assertEqual(sorted(shown), sorted(blocks), "a ring of two shows the other image after a skip")
        self.assertEqual(self.stop_daemon(pid), 0)
        self.assert_notices(self.messages(1), pid, "Zelvo has quit")

    def test_feh_shows_transparency_over_black_and_the_palette_is_that_of_what_it_shows(self):
        display = self.start_xvfb("256x64")
        os.mkdir(self.path("images"))
        # White, from opaque on the left to clear on the right; the same drawn over black; and sixteen blocks
        # of colour that are wholly transparent.
        ramp, flat, clear = (self.path("images", name) for name in ("ramp.png", "flat.png", "clear.png"))
        subprocess.run([TOOLS["convert"], "-size", "256x64", "xc:white", "(", "-size", "64x256", "gradient:black-white",
                        "-rotate", "90", ")", "-alpha", "off", "-compose", "CopyOpacity", "-composite", "PNG32:" + ramp],
                       check=True)
        subprocess.run([TOOLS["convert"], ramp, "-background", "black", "-alpha", "remove", "-alpha", "off", flat], check=True)
        blocks = subprocess.run([TOOLS["convert"], make_block_image(self.path("blocks.png"), block_colours(0x48, 0xb8), 256),
                                 "-depth", "8", "rgb:-"], capture_output=True, check=True).stdout
        write_rgba_png(clear, 256, 256, b"".join(blocks[at:at + 3] + b"\0" for at in range(0, len(blocks), 3)))
        strips = lambda image: subprocess.run([TOOLS["convert"], image, "-scale", "4x1!", "-depth", "8", "rgb:-"],
                                              capture_output=True, check=True).stdout
        shown_over_black = {ramp: strips(flat), flat: strips(flat), clear: bytes(12)}
        self.assertGreater(shown_over_black[ramp][0], shown_over_black[ramp][9] + 0x80, "the ramp is white on the left only")

        feh, xrdb = self.install_feh(self.path("feh-wrapper")), self.install_recorder("xrdb")
        self.write_config({"default": [self.path("images")], "feh-path": feh, "colors": True, "dark": True,
                           "use-xrdb": True, "xrdb-path": xrdb})
        pid = self.start_daemon(env={"HOME": self.home, "PATH": os.environ["PATH"], "DISPLAY": display})
        palettes = {}
        for change in range(3):
            if change:
                self.skip_ahead(pid)
            image = self.feh_starts(feh, change + 1)[change][2]
            expected = ["#" + shown_over_black[image][at:at + 3].hex() for at in range(0, 12, 3)]
            self.poll(lambda: all(near(hex_colour(seen), [hex_colour(want)], 2) for seen, want in
                                  zip(self.colours_on_screen(display, 4), expected)), f"shows {image} over black")
            self.wait_records(xrdb, change + 1)  # started once the colour file is complete
            palettes[image] = pathlib.Path(self.home, ".zelvo", "colors").read_text()
        self.assertEqual(palettes[ramp], palettes[flat])
        self.assertNotEqual(palettes[ramp], DEFAULT_FILE)
        # Over black, the blocks are black: a single colour, so the default palette.
        self.assertEqual(palettes[clear], DEFAULT_FILE)
        self.assertEqual(self.stop_daemon(pid), 0)
        self.assert_notices(self.messages(1), pid, "Zelvo has quit")
