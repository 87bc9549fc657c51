#!/usr/bin/env python3
"""The Wayland outputs and the swaybg viewer on a real headless sway, driven
through the probe (wayland_probe.cpp), with grim's screenshots as the proof."""
import os
import pathlib
import threading
import time

from harness import ZelvoCase, hex_colour, make_solid_images, near
from wayland import PROGRAMS, TWO_OUTPUTS, Probe, Sway, missing_programs

# Solid colours far apart from each other and from sway's grey.
COLOURS = ["#ff0000", "#00c000", "#0000ff", "#ffff00", "#ff00ff", "#00ffff"]
NOT_IN_PATH = "swaybg was not in your path. the swaybg path can also be defined in the config"


def handover_photos(case):
    """Five JPEGs in COLOURS, of a photograph's size, which swaybg takes the longest to draw; and what tells
    a pixel (3 bytes) as the index of the wallpaper whose colour it has (none for anything else): JPEG's
    colours come within near()'s reach."""
    photos = make_solid_images(case.path("photos"), COLOURS, size="3840x2160", suffix=".jpg")
    colours = [hex_colour(colour) for colour in COLOURS]
    return photos, lambda pixel: next((index for index, colour in enumerate(colours) if near(tuple(pixel), [colour])),
                                      None)


def sample_both_outputs(sway, wallpaper):
    """Samples the wallpapers of a pixel amid each of the two outputs in one shot: the first and the last of a
    row across both."""
    return Sampler(lambda: (row := sway.grim("-g", "400,240 721x1")[2]) and (wallpaper(row[:3]), wallpaper(row[-3:])))


class Sampler(threading.Thread):
    """Calls sample() again and again until stopped, keeping each result."""

    def __init__(self, sample):
        super().__init__(daemon=True)
        self.sample, self.found, self.running = sample, [], True

    def run(self):
        while self.running:
            self.found.append(self.sample())

    def stop(self):
        self.running = False
        self.join(30)
        return self.found


class ScreenChecks:
    """What a test case of the outputs checks on screen."""

    def assert_screen(self, sway, expected):
        """Polls until each output (name: colour) shows its colour all over."""
        deadline = time.monotonic() + 10
        while (seen := {name: sway.output_colour(name) for name in expected}) != expected:
            if time.monotonic() > deadline:
                self.fail(f"the outputs show {seen}, not {expected}")
            time.sleep(0.02)


class WaylandTest(ScreenChecks, ZelvoCase):
    def setUp(self):
        super().setUp()
        self.assertEqual(missing_programs(), [], "programs missing for the Wayland tests")
        self.images = make_solid_images(self.path("images"), COLOURS)
        self.colour = {image: hex_colour(colour) for image, colour in zip(self.images, COLOURS)}

    def start_sway(self, outputs=TWO_OUTPUTS, spare=()):
        sway = Sway(self.path("sway"), outputs, spare)
        self.addCleanup(sway.stop)
        sway.start()
        self.assertNotIn(sway.bare, self.colour.values())
        return sway

    def show(self, probe, *images):
        """Shows the images and waits until the swaybg started for them is on screen; gives its pid."""
        start = len(probe.events)
        probe.send("show", *images)
        started = probe.events[probe.wait_for(lambda event: "started" in event, "started swaybg", start=start)]
        probe.wait_for(lambda event: event.get("on_screen") == started["started"], "handed over", start=start)
        return started["started"]

    def wait_alive(self, probe, count):
        return self.poll(lambda: len(live := probe.live_swaybg()) == count and (live,), f"kept {count} swaybg alive")[0]

    def assert_no_message(self):
        self.log.settimeout(0.5)
        with self.assertRaises(TimeoutError, msg="an unexpected syslog line"):
            self.log.recv(65536)

    def test_each_output_shows_its_own_image_in_the_order_of_their_positions(self):
        # Named against their order: left to right, then top to bottom, is 2, 3, 1.
        sway = self.start_sway((("HEADLESS-1", "800x600", (640, 0)), ("HEADLESS-2", "640x480", (0, 0)),
                                ("HEADLESS-3", "320x240", (0, 480))))
        probe = Probe(self, sway)
        self.assertEqual(probe.outputs(), [("HEADLESS-2", 0, 0, 640, 480), ("HEADLESS-3", 0, 480, 320, 240),
                                           ("HEADLESS-1", 640, 0, 800, 600)])
        red, green, blue = self.images[:3]
        pid = self.show(probe, red, green, blue)
        self.assert_screen(sway, {"HEADLESS-2": self.colour[red], "HEADLESS-3": self.colour[green],
                                  "HEADLESS-1": self.colour[blue]})
        self.assertEqual(self.wait_alive(probe, 1), [pid])
        argv = pathlib.Path(f"/proc/{pid}/cmdline").read_bytes().split(b"\0")[:-1]
        self.assertEqual([word.decode() for word in argv],
                         ["zelvo-swaybg", "-o", "HEADLESS-2", "-i", red, "-m", "fill", "-o", "HEADLESS-3", "-i", green,
                          "-m", "fill", "-o", "HEADLESS-1", "-i", blue, "-m", "fill"])
        environment = pathlib.Path(f"/proc/{pid}/environ").read_bytes().split(b"\0")[:-1]
        self.assertEqual(sorted(entry.decode() for entry in environment),
                         sorted(f"{key}={value}" for key, value in sway.environment().items()))

    def test_the_handover_leaves_no_frame_without_a_wallpaper(self):
        photos, wallpaper = handover_photos(self)
        sway = self.start_sway()
        probe = Probe(self, sway)
        probe.outputs()
        self.show(probe, photos[-1])
        # The first swaybg takes over at once, with nothing to hand over from: its wallpaper comes when it comes.
        self.poll(lambda: [wallpaper(sway.pixel(400, 240)), wallpaper(sway.pixel(1120, 240))] == [5, 5],
                  "showed the first wallpaper")
        frames = sample_both_outputs(sway, wallpaper)
        alive = Sampler(lambda: (time.sleep(0.002), len(probe.live_swaybg()))[1])
        frames.start()
        alive.start()
        for change in range(20):
            self.show(probe, photos[change % 5])
            # The change counts once grim has seen it on both outputs.
            self.poll(lambda: frames.found and frames.found[-1] == (change % 5,) * 2, f"showed change {change}")
        seen, counts = frames.stop(), alive.stop()
        # The outputs are drawn one after the other: one may show the next wallpaper while the other shows the last.
        self.assertEqual([frame for frame in seen if None in frame], [], f"frames without a wallpaper among {len(seen)}")
        # Each change was seen in turn.
        whole = [frame[0] for frame in seen if frame[0] == frame[1]]
        self.assertEqual([index for at, index in enumerate(whole) if at == 0 or index != whole[at - 1]],
                         [5] + [change % 5 for change in range(20)])
        self.assertLessEqual(max(counts), 2)
        self.assertEqual(len(self.wait_alive(probe, 1)), 1)

    def test_an_added_output_gets_its_image_at_once_with_still_one_swaybg(self):
        sway = self.start_sway(spare=[("HEADLESS-3", "320x240", (1440, 0))])
        probe = Probe(self, sway)
        red, green = self.images[:2]
        self.show(probe, red, green)
        start = len(probe.events)
        sway.create_output()
        self.assertEqual(probe.outputs(start), [("HEADLESS-1", 0, 0, 800, 600), ("HEADLESS-2", 800, 0, 640, 480),
                                                ("HEADLESS-3", 1440, 0, 320, 240)])
        # The change of outputs starts the viewer at once, before anything else happens.
        reported = probe.wait_for(lambda event: "outputs" in event, "reported outputs", start=start)
        probe.wait_for(lambda event: "started" in event, "started swaybg", start=reported)
        self.assertIn("started", probe.events[reported + 1])
        self.assert_screen(sway, {"HEADLESS-1": self.colour[red], "HEADLESS-2": self.colour[green],
                                  "HEADLESS-3": self.colour[red]})
        self.assertEqual(self.wait_alive(probe, 1), [probe.events[reported + 1]["started"]])

    def test_a_compositor_that_goes_away_is_seen_once_and_then_its_successor(self):
        sway = self.start_sway()
        probe = Probe(self, sway)
        self.show(probe, *self.images[:2])
        start = len(probe.events)
        sway.kill()
        probe.wait_for(lambda event: event.get("lost"), "saw the compositor go", start=start)
        # Its swaybg went with it, and nothing is started in its place.
        probe.wait_for(lambda event: event.get("alive") == 0, "saw swaybg end", start=start)
        self.assertEqual(probe.live_swaybg(), [])
        sway.start()
        # The next change connects again.
        start = len(probe.events)
        self.show(probe, *self.images[2:4])
        self.assertEqual(probe.outputs(start), [("HEADLESS-1", 0, 0, 800, 600), ("HEADLESS-2", 800, 0, 640, 480)])
        self.assert_screen(sway, {"HEADLESS-1": self.colour[self.images[2]],
                                  "HEADLESS-2": self.colour[self.images[3]]})
        self.assertEqual([event for event in probe.events if "lost" in event], [{"lost": True}])
        self.assertEqual(len(self.wait_alive(probe, 1)), 1)

    def test_a_swaybg_that_is_missing_exits_at_once_or_hangs_never_leaves_more_than_one(self):
        sway = self.start_sway()
        standins = self.path("standins")
        os.mkdir(standins, 0o755)
        for name, script in (("exits", "#!/bin/sh\nexit 3\n"),
                             # Ignored signals stay ignored across exec: only SIGKILL ends it.
                             ("hangs", "#!/bin/sh\ntrap '' TERM\nexec sleep 600\n")):
            pathlib.Path(standins, name).write_text(script)
            os.chmod(os.path.join(standins, name), 0o755)
        red, green, blue = self.images[:3]
        # (stand-in, syslog lines of each start, whether it ends by itself and the wallpaper before stays)
        for name, lines, ends in (("missing", [NOT_IN_PATH], True), ("exits", [], True), ("hangs", [], False)):
            with self.subTest(name):
                probe = Probe(self, sway)
                try:
                    self.misbehave(sway, probe, os.path.join(standins, name), lines, ends)
                finally:
                    probe.stop()

    def misbehave(self, sway, probe, standin, lines, ends):
        red, green, blue = self.images[:3]
        self.show(probe, red, green)
        self.assert_screen(sway, {"HEADLESS-1": self.colour[red], "HEADLESS-2": self.colour[green]})
        alive = Sampler(lambda: (time.sleep(0.002), len(probe.live_swaybg()))[1])
        alive.start()
        probe.send("program", standin)
        start = len(probe.events)
        for _ in range(3):
            probe.send("show", blue, blue)
            start = probe.wait_for(lambda event: "started" in event, "started the stand-in", start=start)
            if ends:  # before the next change would end it first
                pid = probe.events[start]["started"]
                start = probe.wait_for(lambda event: event.get("ended") == pid, "saw it end", start=start)
            start += 1
        self.assertEqual([message.text for message in self.messages(len(lines) * 3)], lines * 3)
        # Until the last one has taken over or ended: one left alive at most.
        probe.wait_for(lambda event: event.get("alive", 2) <= 1, "settled", start=start)
        self.assertLessEqual(max(alive.stop()), 2)
        self.assertLessEqual(len(probe.live_swaybg()), 1)
        if ends:
            self.assert_screen(sway, {"HEADLESS-1": self.colour[red], "HEADLESS-2": self.colour[green]})
        self.assert_no_message()
        # The real one again: a wallpaper, and one swaybg.
        probe.send("program", PROGRAMS["swaybg"])
        self.show(probe, blue, red)
        self.assert_screen(sway, {"HEADLESS-1": self.colour[blue], "HEADLESS-2": self.colour[red]})
        self.assertEqual(len(self.wait_alive(probe, 1)), 1)
