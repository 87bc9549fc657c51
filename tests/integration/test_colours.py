#!/usr/bin/env python3
"""The colour file of the real binary: made at every change from the image the
viewer shows on the first monitor, before xrdb is started, and a colour file
that cannot be written costs one log line, never the change. The exports and
the hook hear of the very palette that the colour file holds."""
import colorsys, json, os, pathlib, re, shutil, signal, subprocess, unittest

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

def entries_of(text):
    """The colours c0 to c15 of a colour file's text."""
    return [line.split()[2] for line in text.splitlines()]


def luminance(colour):
    """WCAG 2 relative luminance of (r, g, b)."""
    linear = [c / 255 / 12.92 if c / 255 <= 0.04045 else ((c / 255 + 0.055) / 1.055) ** 2.4 for c in colour]
    return 0.2126 * linear[0] + 0.7152 * linear[1] + 0.0722 * linear[2]


def contrast(one, other):
    lighter, darker = sorted((luminance(one), luminance(other)), reverse=True)
    return (lighter + 0.05) / (darker + 0.05)


def with_lightness(colour, lightness):
    """colour (r, g, b) at another HLS lightness, its hue and saturation kept."""
    hue, _, saturation = colorsys.rgb_to_hls(*(c / 255 for c in colour))
    return tuple(int(c * 255) for c in colorsys.hls_to_rgb(hue, min(max(lightness, 0), 1), saturation))


class ContrastTest(CycleCase):
    def assert_reaches(self, base, entries, ratio, where):
        """The rule of the key contrast, entry by entry, for the palette base without it and entries with it."""
        background = hex_colour(base[0])
        self.assertEqual(entries[0], base[0], where)
        for index in range(1, 16):
            need, was, now = min(ratio, 3) if index == 8 else ratio, hex_colour(base[index]), hex_colour(entries[index])
            said = f"{where}: c{index} {base[index]} -> {entries[index]} against {base[0]}, {need}"
            white, black = contrast((255,) * 3, background), contrast((0,) * 3, background)
            if contrast(was, background) >= need:
                self.assertEqual(entries[index], base[index], said)
            elif max(white, black) < need:
                self.assertEqual(now, (255,) * 3 if white >= black else (0,) * 3, said)
            else:
                # Its own hue and saturation at its new lightness, up to the truncations of either arithmetic.
                lightness = colorsys.rgb_to_hls(*(c / 255 for c in now))[1]
                self.assertTrue(contrast(now, background) >= need and near(now, [with_lightness(was, lightness)], 3), said)

    def test_each_text_colour_reaches_the_ratio_and_nothing_else_changes(self):
        images = make_solid_images(self.path("images"), ["#000000", "#ffffff", "#777777"], "64x64")
        images.append(self.path("images", "photo.jpg"))
        subprocess.run(["convert", "-size", "320x240", "-seed", "7", "plasma:fractal", "-blur", "0x2", images[-1]],
                       check=True)
        feh, xrdb = self.install_recorder("feh"), self.install_recorder("xrdb")
        settings = {"feh-path": feh, "xrdb-path": xrdb, "colors": True, "use-xrdb": True, "pics": images}
        colour_file = pathlib.Path(self.home, ".zelvo", "colors")
        pid, changes, palettes = None, 0, {}
        for dark in (True, False):
            for ratio in (None, 1, 4.5, 7, 21):
                self.configure({**settings, "dark": dark, **({} if ratio is None else {"contrast": ratio})})
                if pid is None:
                    pid = self.start_daemon(env=self.env)
                else:
                    self.send(pid, [signal.SIGHUP], RELOAD, RELOADED)
                for change in range(len(images)):
                    if change:
                        self.send(pid, [signal.SIGUSR1], SKIP)
                    changes += 1
                    self.wait_records(xrdb, changes)
                    shown = self.changes(pid, feh, changes)[-1]["argv"][3]
                    palettes[dark, ratio, shown] = entries_of(colour_file.read_text())
        for (dark, ratio, image), entries in palettes.items():
            base = palettes[dark, None, image]
            if ratio == 1:
                self.assertEqual(entries, base)
            elif ratio:
                self.assert_reaches(base, entries, ratio, f"{os.path.basename(image)}, dark {dark}, contrast {ratio}")
        # The photo's palettes: some entries moved, and the light shaping's background is light.
        photo, default = images[-1], entries_of(DEFAULT_FILE)
        self.assertNotIn(default, [palettes[dark, None, photo] for dark in (True, False)])
        self.assertNotEqual(palettes[True, 4.5, photo], palettes[True, None, photo])
        self.assertGreater(luminance(hex_colour(palettes[False, None, photo][0])), 0.5)
        self.quit(pid)


class TemplateTest(CycleCase):
    """The templates folder, rendered at every change before xrdb, with every bad file skipped in one line."""

    def test_good_templates_render_and_each_bad_one_costs_one_line_and_blocks_nothing(self):
        folder, outputs = pathlib.Path(self.path("tpl")), pathlib.Path(self.home, ".zelvo", "templates")
        os.makedirs(folder / "a" / "b" / "c" / "d" / "e")
        outputs.mkdir(parents=True)
        did_not = "Zelvo did not render the template {}/{}: line {}: {}"
        skipped = "Zelvo skipped the template {}/{}: {}"
        # name: (content or a maker, the line it costs or None, what its output holds: a function of the palette or None)
        cases = {
            "kitty.conf": ("background {background}\nforeground {foreground}\n", None,
                           lambda c: f"background {c[0]}\nforeground {c[15]}\n"),
            "a/b/c/d/rofi.rasi": ("* {{ bg: {color1.strip}; }}\n", None, lambda c: f"* {{ bg: {c[1][1:]}; }}\n"),
            "alias.conf": (lambda path: path.symlink_to("kitty.conf"), None,
                           lambda c: f"background {c[0]}\nforeground {c[15]}\n"),
            "big.conf": (lambda path: path.write_bytes(b"{color1}\n" * (5 << 17)), skipped.format(folder, "big.conf", "larger than 1 MiB"), None),
            "binary.bin": (b"\x89PNG\r\n\x1a\n\x00\x00{color1}", skipped.format(folder, "binary.bin", "it holds a NUL byte, so it is no text"), None),
            "c99.conf": ("{color99}\n", did_not.format(folder, "c99.conf", 1, 'unknown name "color99"'), None),
            "nosuch.conf": ("ok\n{color1.nosuch}\n", did_not.format(folder, "nosuch.conf", 2, 'unknown property "nosuch"'), None),
            "unclosed.conf": ("{{ok}}\n\n{color1\n", did_not.format(folder, "unclosed.conf", 3, "unclosed brace"), None),
            "fifo": (lambda path: os.mkfifo(path), skipped.format(folder, "fifo", "not a regular file"), None),
            "shadow": (lambda path: path.symlink_to("/etc/shadow"), skipped.format(folder, "shadow", "a link that leads out of the template folder"), None),
            "a/b/c/d/e/deep.conf": ("{color2}", f"Zelvo skipped the template folder {folder}/a/b/c/d/e: deeper than 4 folders", None),
        }
        for name, (content, _, _) in cases.items():
            path = folder / name
            if callable(content):
                content(path)
            else:
                (path.write_bytes if isinstance(content, bytes) else path.write_text)(content)
        # A bad template's earlier output stays; an output that is a link is replaced, never written through.
        (outputs / "c99.conf").write_text("earlier\n")
        victim = pathlib.Path(self.path("victim"))
        victim.write_text("mine\n")
        (outputs / "kitty.conf").symlink_to(victim)

        os.mkdir(self.path("images"))
        image = make_block_image(self.path("images", "blocks.png"), block_colours(*MIDS[0]))
        feh, xrdb = self.install_recorder("feh"), self.install_recorder("xrdb")
        lines = sorted(line for _, line, _ in cases.values() if line)
        settings = {"feh-path": feh, "xrdb-path": xrdb, "colors": True, "use-xrdb": True, "pics": [image],
                    "templates": str(folder)}
        self.configure(settings)
        pid = self.start_daemon(env=self.env)
        self.assertEqual(sorted(message.text for message in self.messages(len(lines))), lines)
        self.wait_records(xrdb, 1)
        os.kill(pid, signal.SIGUSR1)
        said = [message.text for message in self.messages(1 + len(lines))]
        self.assertEqual((said[0], sorted(said[1:])), (SKIP, lines))
        self.wait_records(xrdb, 2)
        entries = entries_of(pathlib.Path(self.home, ".zelvo", "colors").read_text())
        rendered = {str(path.relative_to(outputs)) for path in outputs.rglob("*") if path.is_file()}
        self.assertEqual(rendered, {name for name, (_, _, made) in cases.items() if made} | {"c99.conf"})
        for name, (_, _, made) in cases.items():
            if made:
                self.assertEqual((outputs / name).read_text(), made(entries), name)
        self.assertFalse((outputs / "kitty.conf").is_symlink())
        self.assertEqual((victim.read_text(), (outputs / "c99.conf").read_text()), ("mine\n", "earlier\n"))
        self.assertEqual([path.name for path in outputs.iterdir() if path.name.startswith(".")], [])

        # 300 files: the first 256 by name, and one line.
        many = pathlib.Path(self.path("many"))
        many.mkdir()
        for number in range(300):
            (many / f"t{number:03}").write_text("{color%d}" % (number % 16))
        self.configure({**settings, "templates": str(many)})
        self.send(pid, [signal.SIGHUP], RELOAD, f"Zelvo skipped the templates of {many} beyond the first 256 files", RELOADED)
        self.wait_records(xrdb, 3)
        self.assertEqual(sorted(path.name for path in outputs.iterdir() if path.name.startswith("t")),
                         [f"t{number:03}" for number in range(256)])
        # The folder removed while the daemon runs: one line at each change, and the change goes on.
        shutil.rmtree(many)
        self.send(pid, [signal.SIGUSR1], SKIP, f"Zelvo cannot read the template folder {many}: No such file or directory")
        self.wait_records(xrdb, 4)
        self.quit(pid)

    def test_an_output_folder_through_a_link_is_refused_and_a_change_renders_at_most_16_mib(self):
        folder, outputs = pathlib.Path(self.path("tpl")), pathlib.Path(self.home, ".zelvo", "templates")
        folder.mkdir()
        # Twenty templates of nearly 1 MiB each: more than one change reads and writes.
        template = "{color1}\n" * ((1 << 20) // 9)
        for number in range(20):
            (folder / f"t{number:02}").write_text(template)
        elsewhere = pathlib.Path(self.path("elsewhere"))
        elsewhere.mkdir()
        outputs.parent.mkdir(parents=True)
        outputs.symlink_to(elsewhere)
        os.mkdir(self.path("images"))
        image = make_block_image(self.path("images", "blocks.png"), block_colours(*MIDS[0]))
        feh, xrdb = self.install_recorder("feh"), self.install_recorder("xrdb")
        self.configure({"feh-path": feh, "xrdb-path": xrdb, "colors": True, "use-xrdb": True, "pics": [image],
                        "templates": str(folder)})
        pid = self.start_daemon(env=self.env)
        self.expect(pid, f"Zelvo could not write the template outputs in {outputs}: it is a symbolic link")
        self.wait_records(xrdb, 1)
        self.assertEqual(list(elsewhere.iterdir()), [])
        # Without the link: the first templates by name, as far as 16 MiB read and written go.
        outputs.unlink()
        self.send(pid, [signal.SIGUSR1], SKIP,
                  f"Zelvo stopped rendering the templates of {folder} at 16 MiB read and written: the rest keep their outputs")
        self.wait_records(xrdb, 2)
        rendered = len(template.replace("{color1}", "#rrggbb"))
        budget, fits = 16 << 20, 0
        while (fits + 1) * (len(template) + rendered) <= budget:
            fits += 1
        self.assertEqual(sorted(path.name for path in outputs.iterdir()), [f"t{number:02}" for number in range(fits)])
        self.quit(pid)


if __name__ == "__main__":
    unittest.main()
