#!/usr/bin/env python3
"""The colour file of the real binary: made at every change from the image the
viewer shows on the first monitor, before xrdb is started, and a colour file
that cannot be written costs one log line, never the change. The exports and
the hook hear of the very palette that the colour file holds."""
import json, os, pathlib, re, signal, subprocess, unittest

from harness import block_colours, hex_colour, make_block_image, make_solid_images, near, records
from test_cycle import CycleCase, RELOAD, RELOADED, SHUFFLE, SKIP

DEFAULT_FILE = "".join(f"#define c{index} {colour}\n" for index, colour in enumerate(
    ["#000000", "#CD0000", "#00CD00", "#CDCD00", "#0000CD", "#CD00CD", "#00CDCD", "#e5e5e5",
     "#7f7f7f", "#FF0000", "#00FF00", "#FFFF00", "#ADD8E6", "#FF00FF", "#00FFFF", "#FFFFFF"]))
# Three images whose palettes tell them apart by their mid colours.
MIDS = [(0x48, 0xb8), (0x55, 0xaa), (0x60, 0x9f)]
OSC = re.compile(rb"\x1b\](4;\d+|1[012]);(#[0-9A-Fa-f]{6})\x1b\\")
# A hook that keeps what it found at its start: the colour file, the exports and its call.
SNAPSHOT = ('#!/bin/sh\nd="$0.$$"\nmkdir "$d" && cp "$ZELVO_COLORS" "$ZELVO_COLORS.json" "$ZELVO_COLORS.sh" '
            '"${ZELVO_COLORS%colors}sequences" "$d" && printf "%s\\n" "$ZELVO_MONITORS" "$@" > "$d/call"\n')


def terminal_colours(data):
    """The colours that the escape sequences in data set, by OSC ("4;0" to "4;15", "10" to "12"); data holds nothing else."""
    found = OSC.findall(data)
    assert b"".join(b"\x1b]%s;%s\x1b\\" % pair for pair in found) == data, data
    return {key.decode(): colour.decode() for key, colour in found}


def palette_colours(entries):
    """What the sequences of a palette set: colours 0 to 15, foreground and cursor c15, background c0."""
    return {**{f"4;{index}": entry for index, entry in enumerate(entries)}, "10": entries[15], "11": entries[0], "12": entries[15]}


def sourced(path, *names):
    """The values of the variables names after `sh -u` sources the file at path, as bytes."""
    done = subprocess.run(["sh", "-u", "-c", '. "$1" && shift && for name; do eval "value=\\$$name"; printf "%s\\0" "$value"; done',
                           "sh", path, *names], capture_output=True, check=True, cwd=os.path.dirname(path))
    assert done.stderr == b"", done.stderr
    return done.stdout.split(b"\0")[:-1]


class ColourFileTest(CycleCase):
    def colour_file(self):
        """The entries c0 to c15 of the colour file, after checking every line's form."""
        lines = pathlib.Path(self.home, ".zelvo", "colors").read_text().splitlines()
        self.assertEqual([line.split()[:2] for line in lines], [["#define", f"c{index}"] for index in range(16)])
        return [line.split()[2] for line in lines]

    def test_each_change_takes_its_colours_from_the_first_monitors_image(self):
        os.mkdir(self.path("images"))
        images = {make_block_image(self.path("images", f"{low:02x}.png"), block_colours(low, high)):
                  block_colours(low, high) for low, high in MIDS}
        feh, xrdb = self.install_recorder("feh"), self.install_recorder("xrdb")
        pid = self.start({"feh-path": feh, "xrdb-path": xrdb, "colors": True, "use-xrdb": True, "dark": True,
                          "monitors": 2, "pics": list(images)})
        for change, (numbers, texts) in enumerate([([], ()), ([signal.SIGUSR1], (SKIP,)),
                                                    ([signal.SIGUSR2], (SHUFFLE,)),
                                                    ([signal.SIGHUP], (RELOAD, RELOADED))]):
            self.send(pid, numbers, *texts)
            self.wait_records(xrdb, change + 1)
            shown = self.changes(pid, feh, change + 1)[change]["argv"]
            # The twelve entries left as the image gave them; c7, c8 and c15 are shaped.
            kept = [hex_colour(entry) for index, entry in enumerate(self.colour_file()) if index not in (7, 8, 15)]
            own = images[shown[3]]
            self.assertTrue(all(near(colour, own) for colour in kept), (shown, kept))
            self.assertTrue(any(near(colour, own[8:]) for colour in kept), (shown, kept))
            self.assertEqual(len(records(xrdb)), change + 1)
        self.quit(pid)

    def test_images_without_a_palette_give_the_default_file(self):
        # Too small to halve twice, and a few flat colours.
        tiny, flat = make_solid_images(self.path("tiny"), ["#123456"], "3x1") + make_solid_images(
            self.path("flat"), ["#654321"], "64x64")
        colour_file = pathlib.Path(self.home, ".zelvo", "colors")
        for image in [tiny, flat]:
            feh = self.install_recorder(f"feh-{os.path.basename(image)}")
            pid = self.start({"feh-path": feh, "colors": True, "pics": [image]})
            self.send(pid, [signal.SIGUSR1], SKIP)
            self.changes(pid, feh, 2)
            self.assertEqual(colour_file.read_text(), DEFAULT_FILE)
            self.quit(pid)
            colour_file.write_text("stale\n")

    def test_a_colour_file_that_cannot_be_written_costs_one_line_per_change(self):
        os.makedirs(os.path.join(self.home, ".zelvo", "colors"))
        feh, xrdb = self.install_recorder("feh"), self.install_recorder("xrdb")
        settings = {"feh-path": feh, "xrdb-path": xrdb, "colors": True, "use-xrdb": True, "pics": self.images(3)}
        self.configure(settings)
        pid = self.start_daemon(env=self.env)
        # The daemon writes the file, and never opens what is not a regular file.
        failed = f"Zelvo could not write the colour file {self.home}/.zelvo/colors: not a regular file"
        self.expect(pid, failed)
        self.send(pid, [signal.SIGUSR1], SKIP, failed)
        # Both changes went on to xrdb and moved the ring on.
        self.assertEqual(len(self.wait_records(xrdb, 2)), 2)
        self.assert_ring(self.changes(pid, feh, 2), settings["pics"], 1)
        self.quit(pid)


    def test_exports_and_the_hook_find_the_colour_files_palette(self):
        os.mkdir(self.path("images"))
        images = [make_block_image(self.path("images", f"{low:02x}.png"), block_colours(low, high)) for low, high in MIDS[:2]]
        images += make_solid_images(self.path("images"), ["#654321"], "64x64")  # the default palette
        feh, hook = self.install_recorder("feh"), pathlib.Path(self.path("snapshot"))
        hook.write_text(SNAPSHOT)
        hook.chmod(0o755)
        pid = self.start({"feh-path": feh, "colors": True, "hook": [str(hook), "-x"], "pics": images,
                          "exports": ["json", "sh", "sequences", "yaml"]})
        for count in (1, 2, 3):  # a hook still running at the next change is ended
            self.poll(lambda: len(list(pathlib.Path(self.top).glob("snapshot.*/call"))) == count, f"ran hook {count}")
            self.send(pid, [signal.SIGUSR1] * (count < 3), *[SKIP] * (count < 3))
        found = {}
        for taken in pathlib.Path(self.top).glob("snapshot.*"):
            monitors, option, image = (taken / "call").read_text().splitlines()
            entries = found[image] = [line.split()[2] for line in (taken / "colors").read_text().splitlines()]
            special = {"background": entries[0], "foreground": entries[15], "cursor": entries[15]}
            self.assertEqual((monitors, option, json.loads((taken / "colors.json").read_text())), ("1", "-x", {
                "wallpaper": image, "alpha": "100", "special": special, "colors": {f"color{i}": e for i, e in enumerate(entries)}}))
            self.assertEqual(sourced(str(taken / "colors.sh"), "wallpaper", *special, *(f"color{i}" for i in range(16))),
                             [os.fsencode(text) for text in [image, *special.values(), *entries]])
            self.assertEqual(terminal_colours((taken / "sequences").read_bytes()), palette_colours(entries))
        self.assertEqual((sorted(found), found[images[2]]), (sorted(images), [line.split()[2] for line in DEFAULT_FILE.splitlines()]))
        self.assertNotIn(found[images[2]], [found[image] for image in images[:2]])
        self.quit(pid)

if __name__ == "__main__":
    unittest.main()
