#!/usr/bin/env python3
"""The colour file of the real binary: made at every change from the image the
viewer shows on the first monitor, before xrdb is started, and a colour file
that cannot be written costs one log line, never the change."""
import os, pathlib, signal, unittest

from harness import block_colours, hex_colour, make_block_image, make_solid_images, near, records
from test_cycle import CycleCase, RELOAD, RELOADED, SHUFFLE, SKIP

DEFAULT_FILE = "".join(f"#define c{index} {colour}\n" for index, colour in enumerate(
    ["#000000", "#CD0000", "#00CD00", "#CDCD00", "#0000CD", "#CD00CD", "#00CDCD", "#e5e5e5",
     "#7f7f7f", "#FF0000", "#00FF00", "#FFFF00", "#ADD8E6", "#FF00FF", "#00FFFF", "#FFFFFF"]))
# Three images whose palettes tell them apart by their mid colours.
MIDS = [(0x48, 0xb8), (0x55, 0xaa), (0x60, 0x9f)]


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


if __name__ == "__main__":
    unittest.main()
