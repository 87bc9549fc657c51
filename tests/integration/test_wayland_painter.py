#!/usr/bin/env python3
"""zelvo's own drawing on a real headless sway, through the painter's probe
(wayland_painter_probe.cpp), which makes its pictures itself in sealed shared
memory: what each output shows (grim's screenshots, pixel for pixel), outputs
that come, a compositor killed under it, a surface under a fullscreen window,
and many shows on two 4K outputs; and transitions: what their frames show
part of the way, counted, superseded, covered, cut short, and outputs that
come and go under them."""
import math, os, signal, socket

from harness import LOG_MARK, SYSLOG_LINE, ZelvoCase
from wayland import TWO_OUTPUTS, Probe, Sway, missing_programs


def xy_pixels(width, height, blue):
    """The RGB bytes of the probe's picture xy:blue of width x height."""
    return b"".join(bytes(value for x in range(width) for value in (x % 256, y % 256, blue)) for y in range(height))


def solid_pixels(colour, width, height):
    return bytes.fromhex(colour[1:]) * (width * height)


def blues(pixels):
    """The blue byte of each pixel of grim's RGB bytes."""
    return pixels[2::3]


def side_of_new(kind, angle=0, at=(0.5, 0.5)):
    """For each pixel x, y of a width x height output, a measure that is smaller wherever a wipe or a growth
    shows the new picture than wherever it shows the old one."""
    if kind == "wipe":
        dx, dy = math.cos(math.radians(angle)), math.sin(math.radians(angle))
        return lambda x, y, width, height: (x + 0.5) * dx + (y + 0.5) * dy
    return lambda x, y, width, height: math.hypot(x + 0.5 - at[0] * width, y + 0.5 - at[1] * height)


def picture_mappings(pid):
    """How many mappings of the probe's picture memory the process holds."""
    with open(f"/proc/{pid}/maps") as maps:
        return sum("memfd:zelvo-picture" in line for line in maps)


class WaylandPainterTest(ZelvoCase):
    def setUp(self):
        super().setUp()
        self.assertEqual(missing_programs(), [], "programs missing for the Wayland tests")

    def start_sway(self, outputs=TWO_OUTPUTS, spare=()):
        sway = Sway(self.path("sway"), outputs, spare)
        self.addCleanup(sway.stop)
        sway.start()
        return sway

    def show(self, probe, verb, *words):
        """Sends a show (or play) and gives the id the painter gave it."""
        start = len(probe.events)
        probe.send(verb, *words)
        taken = probe.events[probe.wait_for(lambda event: "show" in event, "answered the show", start=start)]
        self.assertIsNotNone(taken["show"], f"{verb} {words} was not shown")
        return taken["show"]

    def ended(self, probe, show, timeout=15):
        """How the show ended, once it has."""
        return probe.events[probe.wait_for(lambda event: event.get("shown") == show, f"ended show {show}",
                                           timeout=timeout)]["end"]

    def counts(self, probe):
        start = len(probe.events)
        probe.send("counts")
        return probe.events[probe.wait_for(lambda event: "counts" in event, "counted", start=start)]

    def outputs_event(self, probe, start=0):
        return probe.events[probe.wait_for(lambda event: "outputs" in event, "reported outputs", start=start)]["outputs"]

    def delivered(self, probe, output, beyond, at_least):
        """Waits until the painter counts at least at_least frames delivered on the output beyond `beyond`."""
        return self.poll(lambda: (found := self.counts(probe))["frames"][output] - beyond >= at_least and found,
                         f"delivered {at_least} frames on {output}")

    def logged_lines(self):
        """The texts of the syslog lines that came before the test's own mark."""
        self.mark_log()
        self.log.settimeout(10)
        lines = []
        while (datagram := self.log.recv(65536)) != LOG_MARK:
            lines.append(SYSLOG_LINE.fullmatch(datagram)[4].decode())
        return lines

    def test_each_output_shows_its_own_picture_exactly_and_a_scale_2_output_one_of_twice_its_size_sharply(self):
        sway = self.start_sway()
        probe = Probe(self, sway, painter=True)
        self.assertEqual([(o["name"], o["width"], o["height"], o["scale"], o["pixels"]) for o in self.outputs_event(probe)],
                         [("HEADLESS-1", 800, 600, 1, [800, 600]), ("HEADLESS-2", 640, 480, 1, [640, 480])])
        show = self.show(probe, "show", "HEADLESS-1=xy:11", "HEADLESS-2=#00c000")
        self.assertEqual(self.ended(probe, show), "framed")
        self.assertEqual(sway.grim("-o", "HEADLESS-1"), (800, 600, xy_pixels(800, 600, 11)))
        self.assertEqual(sway.grim("-o", "HEADLESS-2"), (640, 480, solid_pixels("#00c000", 640, 480)))

        start = len(probe.events)
        sway.ask("output", "HEADLESS-2", "scale", "2")
        self.assertEqual([(o["name"], o["width"], o["height"], o["scale"], o["pixels"])
                          for o in self.outputs_event(probe, start)],
                         [("HEADLESS-1", 800, 600, 1, [800, 600]), ("HEADLESS-2", 320, 240, 2, [640, 480])])
        show = self.show(probe, "show", "HEADLESS-2=xy:5")
        self.assertEqual(self.ended(probe, show), "framed")
        # Every pixel of the mode its own: a picture of the logical size, scaled up, would repeat each one.
        self.assertEqual(sway.grim("-o", "HEADLESS-2"), (640, 480, xy_pixels(640, 480, 5)))
        self.assertEqual(sway.grim("-o", "HEADLESS-1"), (800, 600, xy_pixels(800, 600, 11)))
        counts = self.counts(probe)["counts"]
        self.assertEqual((counts["surfaces"], counts["buffers"], counts["frame_callbacks"], counts["shows"]),
                         (2, 2, 0, 0))

    def test_a_sequence_goes_one_picture_a_frame_and_each_frame_is_counted(self):
        sway = self.start_sway()
        probe = Probe(self, sway, painter=True)
        self.outputs_event(probe)
        first = self.show(probe, "show", "HEADLESS-1=#808080", "HEADLESS-2=#808080")
        self.assertEqual(self.ended(probe, first), "framed")
        before = self.counts(probe)["frames"]
        colours = ["#ff0000", "#00ff00", "#0000ff", "#ffff00", "#00ffff"]
        sequence = self.show(probe, "play", "HEADLESS-1", *colours)
        self.assertEqual(self.ended(probe, sequence), "framed")
        after = self.counts(probe)["frames"]
        self.assertEqual((after["HEADLESS-1"] - before["HEADLESS-1"], after["HEADLESS-2"] - before["HEADLESS-2"]),
                         (len(colours), 0))
        self.assertEqual(sway.output_colour("HEADLESS-1"), tuple(bytes.fromhex(colours[-1][1:])))

    def test_an_output_that_comes_gets_a_surface_and_a_compositor_killed_and_started_again_is_drawn_on_anew(self):
        sway = self.start_sway(spare=[("HEADLESS-3", "320x240", (1440, 0))])
        probe = Probe(self, sway, painter=True)
        self.outputs_event(probe)
        start = len(probe.events)
        sway.create_output()
        self.assertEqual([o["name"] for o in self.outputs_event(probe, start)], ["HEADLESS-1", "HEADLESS-2", "HEADLESS-3"])
        self.assertEqual(self.counts(probe)["counts"]["surfaces"], 3)
        show = self.show(probe, "show", "HEADLESS-1=#ff0000", "HEADLESS-2=#00ff00", "HEADLESS-3=#0000ff")
        self.assertEqual(self.ended(probe, show), "framed")
        self.assertEqual([sway.output_colour(name) for name in ("HEADLESS-1", "HEADLESS-2", "HEADLESS-3")],
                         [(255, 0, 0), (0, 255, 0), (0, 0, 255)])

        start = len(probe.events)
        sway.kill()
        probe.wait_for(lambda event: event.get("lost"), "saw the compositor go", start=start)
        counts = self.counts(probe)["counts"]
        self.assertEqual(counts, {"surfaces": 0, "buffers": 0, "frame_callbacks": 0, "shows": 0})
        sway.start()
        self.assertNotIn(sway.bare, [(255, 0, 255), (0, 255, 255)])
        start = len(probe.events)
        probe.send("connect")
        self.assertEqual([o["name"] for o in self.outputs_event(probe, start)], ["HEADLESS-1", "HEADLESS-2"])
        show = self.show(probe, "show", "HEADLESS-1=#ff00ff", "HEADLESS-2=#00ffff")
        self.assertEqual(self.ended(probe, show), "framed")
        self.assertEqual([sway.output_colour(name) for name in ("HEADLESS-1", "HEADLESS-2")],
                         [(255, 0, 255), (0, 255, 255)])
        self.assertEqual(self.counts(probe)["counts"]["surfaces"], 2)

    def test_a_surface_under_a_fullscreen_window_ends_each_show_at_the_bound_and_piles_nothing_up(self):
        sway = self.start_sway(TWO_OUTPUTS[:1])
        probe = Probe(self, sway, painter=True)
        self.outputs_event(probe)
        self.assertEqual(self.ended(probe, self.show(probe, "show", "HEADLESS-1=#ff0000")), "framed")
        start = len(probe.events)
        probe.send("cover")
        probe.wait_for(lambda event: "covered" in event or "uncovered" in event, "covered the output", start=start)
        self.assertIn({"covered": True}, probe.events[start:])
        self.poll(lambda: sway.output_colour("HEADLESS-1") == (64, 64, 64), "showed the window over the wallpaper")
        colours = ["#00ff00", "#0000ff", "#ffff00"] * 4
        for colour in colours:
            show = self.show(probe, "show", f"HEADLESS-1={colour}")
            self.assertEqual(self.ended(probe, show), "timed_out")
            counts = self.counts(probe)["counts"]
            # One frame callback waits, for the whole time; no show is left under way.
            self.assertEqual((counts["frame_callbacks"], counts["shows"]), (1, 0))
            self.assertLessEqual(counts["buffers"], 2)
        # A transition under the window skips to its new picture at the bound and piles nothing up either:
        # its first frame alone was attached, and no frame callback came for it.
        before = self.counts(probe)
        self.assertEqual(self.ended(probe, self.show(probe, "show", "with=fade", "HEADLESS-1=#00ffff")), "timed_out")
        after = self.counts(probe)
        self.assertEqual((after["counts"]["frame_callbacks"], after["counts"]["shows"], after["transitions"],
                          after["blenders"]), (1, 0, 0, []))
        self.assertEqual((after["asked"]["HEADLESS-1"] - before["asked"]["HEADLESS-1"],
                          after["frames"]["HEADLESS-1"] - before["frames"]["HEADLESS-1"]), (30, 0))
        self.poll(lambda: self.counts(probe)["counts"]["buffers"] <= 2, "let the transition's buffers go")
        start = len(probe.events)
        probe.send("uncover")
        probe.wait_for(lambda event: "uncovered" in event, "uncovered the output", start=start)
        # The last picture shown under the window is what it uncovers.
        self.poll(lambda: sway.output_colour("HEADLESS-1") == (0, 255, 255), "uncovered the last picture")
        self.assertEqual(self.ended(probe, self.show(probe, "show", "HEADLESS-1=#ff00ff")), "framed")
        self.assertEqual(sway.output_colour("HEADLESS-1"), (255, 0, 255))

    def test_a_fade_a_wipe_and_a_grow_change_where_they_should_count_their_frames_and_end_on_the_new_picture(self):
        sway = self.start_sway()
        probe = Probe(self, sway, painter=True)
        self.outputs_event(probe)
        self.assertEqual(self.ended(probe, self.show(probe, "show", "HEADLESS-1=xy:0", "HEADLESS-2=xy:0")), "framed")
        # The old picture has blue 0 and the new one blue 255, the rest alike: blue tells which shows where.
        cases = [("fade", 0, (0.5, 0.5), 30), ("wipe", 0, (0.5, 0.5), 30), ("wipe", 90, (0.5, 0.5), 30),
                 ("wipe", 225, (0.5, 0.5), 30), ("grow", 0, (0.25, 0.75), 30), ("grow", 0, (1, 0), 120)]
        for number, (kind, angle, at, fps) in enumerate(cases):
            with self.subTest(kind=kind, angle=angle, at=at, fps=fps):
                old, new = (0, 255) if number % 2 == 0 else (255, 0)
                before = self.counts(probe)
                show = self.show(probe, "show", f"with={kind}", "ms=3000", f"fps={fps}", f"angle={angle}",
                                 f"at={at[0]},{at[1]}", "ease=linear", f"HEADLESS-1=xy:{new}", f"HEADLESS-2=xy:{new}")
                self.delivered(probe, "HEADLESS-1", before["frames"]["HEADLESS-1"], 4)
                width, height, pixels = sway.grim("-o", "HEADLESS-1")
                # Red and green are the pictures' own everywhere: nothing but blue moves.
                self.assertEqual((pixels[0::3], pixels[1::3]), (xy_pixels(width, height, 0)[0::3],
                                                                xy_pixels(width, height, 0)[1::3]))
                if kind == "fade":
                    # Part of the way from the one to the other, the same everywhere.
                    self.assertEqual(len(set(blues(pixels))), 1)
                    self.assertTrue(min(old, new) < blues(pixels)[0] < max(old, new), blues(pixels)[0])
                else:
                    self.assertEqual(set(blues(pixels)), {old, new}, "part of the way, nothing mixed")
                    measure = side_of_new(kind, angle, at)
                    shown = [(measure(i % width, i // width, width, height), blue == new)
                             for i, blue in enumerate(blues(pixels))]
                    self.assertLess(max(m for m, is_new in shown if is_new), min(m for m, is_new in shown if not is_new))
                self.assertEqual(self.ended(probe, show), "framed")
                self.assertEqual(sway.grim("-o", "HEADLESS-1"), (800, 600, xy_pixels(800, 600, new)))
                self.assertEqual(sway.grim("-o", "HEADLESS-2"), (640, 480, xy_pixels(640, 480, new)))
                after = self.counts(probe)
                # 3 s at 30 fps; at 120 fps, no more often than the outputs refresh (60 Hz).
                for output in ("HEADLESS-1", "HEADLESS-2"):
                    asked = after["asked"][output] - before["asked"][output]
                    delivered = after["frames"][output] - before["frames"][output]
                    self.assertEqual(asked, 3 * min(fps, 60))
                    self.assertTrue(4 <= delivered <= asked, (output, delivered, asked))
                self.assertEqual((after["transitions"], after["blenders"]), (0, []))

    def test_a_show_during_a_transition_starts_from_the_frame_on_screen(self):
        sway = self.start_sway(TWO_OUTPUTS[:1])
        probe = Probe(self, sway, painter=True)
        self.outputs_event(probe)
        self.assertEqual(self.ended(probe, self.show(probe, "show", "HEADLESS-1=#ff0000")), "framed")
        before = self.counts(probe)["frames"]["HEADLESS-1"]
        fade = self.show(probe, "show", "with=fade", "ms=6000", "ease=linear", "HEADLESS-1=#0000ff")
        self.delivered(probe, "HEADLESS-1", before, 10)
        before = self.counts(probe)["frames"]["HEADLESS-1"]
        wipe = self.show(probe, "show", "with=wipe", "ms=6000", "ease=linear", "HEADLESS-1=#00ff00")
        self.assertEqual(self.ended(probe, fade), "superseded")
        self.delivered(probe, "HEADLESS-1", before, 4)
        width, height, pixels = sway.grim("-o", "HEADLESS-1")
        colours = [tuple(pixels[at:at + 3]) for at in range(0, len(pixels), 3)]
        # Green comes in from the left over one purple: the fade's frame that was on screen.
        purple = set(colours) - {(0, 255, 0)}
        self.assertEqual(len(purple), 1, purple)
        red, green, blue = purple.pop()
        self.assertTrue(0 < red < 255 and green == 0 and 0 < blue < 255, (red, green, blue))
        edge = colours.index((red, green, blue))
        self.assertTrue(0 < edge < width)
        self.assertEqual(colours, ([(0, 255, 0)] * edge + [(red, green, blue)] * (width - edge)) * height)
        self.assertEqual(self.ended(probe, wipe), "framed")
        self.assertEqual(sway.output_colour("HEADLESS-1"), (0, 255, 0))

    def test_thirty_shows_with_transitions_in_a_second_end_on_the_last_pictures_with_nothing_queued(self):
        sway = self.start_sway()
        probe = Probe(self, sway, painter=True)
        self.outputs_event(probe)
        colours = ["#ff0000", "#00ff00", "#0000ff"]
        # Every picture is made once, and memory is measured after.
        for colour in colours + colours[:1]:
            show = self.show(probe, "show", "with=fade", "ms=100", f"HEADLESS-1={colour}", f"HEADLESS-2={colour}")
            self.assertEqual(self.ended(probe, show), "framed")
        before = self.poll(lambda: (found := self.counts(probe))["counts"]["buffers"] == 2 and found, "let buffers go")
        start = len(probe.events)
        pairs = [(colours[n % 3], colours[(n + 1) % 3]) for n in range(30)]
        probe.send("\n".join(f"after {n * 33} show with=wipe angle={n * 12} HEADLESS-1={a} HEADLESS-2={b}\n"
                              f"after {n * 33 + 1} counts" for n, (a, b) in enumerate(pairs)))
        probe.wait_for(lambda event: sum("counts" in e for e in probe.events[start:]) == 30, "counted after every show",
                       timeout=30, start=start)
        shows = [event["show"] for event in probe.events[start:] if "show" in event]
        self.assertEqual(len(shows), 30)
        self.assertNotIn(None, shows)
        self.assertEqual(self.ended(probe, shows[-1]), "framed")
        # Each show ended once: superseded, but for the last.
        ends = sorted((event["shown"], event["end"]) for event in probe.events[start:] if "shown" in event)
        self.assertEqual(ends, [(show, "superseded") for show in shows[:-1]] + [(shows[-1], "framed")])
        held = [event for event in probe.events[start:] if "counts" in event]
        self.assertLessEqual(max(len(event["blenders"]) for event in held), 1)
        self.assertLessEqual(max(event["transitions"] for event in held), 2)
        self.assertLessEqual(max(event["counts"]["shows"] for event in held), 1)
        self.assertLessEqual(max(event["counts"]["buffers"] for event in held), 8)
        self.assertEqual([sway.output_colour(name) for name in ("HEADLESS-1", "HEADLESS-2")],
                         [tuple(bytes.fromhex(colour[1:])) for colour in pairs[-1]])
        after = self.poll(lambda: (found := self.counts(probe))["counts"]["buffers"] == 2 and found, "let buffers go")
        self.assertEqual((after["counts"]["frame_callbacks"], after["counts"]["shows"], after["transitions"],
                          after["blenders"]), (0, 0, 0, []))
        self.assertEqual((after["descriptors"], after["shared"]), (before["descriptors"], before["shared"]))

    def test_a_transition_cut_short_shows_its_new_picture_whole_and_a_stopped_worker_says_so_once(self):
        sway = self.start_sway(TWO_OUTPUTS[:1])
        probe = Probe(self, sway, painter=True)
        self.outputs_event(probe)
        self.assertEqual(self.ended(probe, self.show(probe, "show", "HEADLESS-1=xy:0")), "framed")
        self.assertEqual(self.logged_lines(), [])
        cut = {"finish": lambda counts: probe.send("finish"),
               "worker killed": lambda counts: os.kill(counts["blenders"][0], signal.SIGKILL)}
        lines = {"finish": [],
                 "worker killed": ["Zelvo shows the new picture on HEADLESS-1 at once: its transition's worker stopped"]}
        for number, (how, cut_short) in enumerate(cut.items()):
            with self.subTest(how=how):
                new = 255 - 255 * (number % 2)
                before = self.counts(probe)["frames"]["HEADLESS-1"]
                show = self.show(probe, "show", "with=grow", "ms=10000", "ease=linear", f"HEADLESS-1=xy:{new}")
                counts = self.delivered(probe, "HEADLESS-1", before, 3)
                self.assertEqual(len(counts["blenders"]), 1)
                cut_short(counts)
                self.assertEqual(self.ended(probe, show), "framed")
                self.assertEqual(sway.grim("-o", "HEADLESS-1"), (800, 600, xy_pixels(800, 600, new)))
                self.assertEqual(self.logged_lines(), lines[how])
                self.assertEqual(self.counts(probe)["blenders"], [])

    def test_an_output_that_goes_or_comes_during_a_transition_leaves_the_others_to_it(self):
        # Outputs that can go: windows of another compositor, floating at their own size.
        outer = Sway(self.path("outer"), (("HEADLESS-1", "1600x1200", (0, 0)),),
                     lines=['for_window [app_id="wlroots"] floating enable'])
        self.addCleanup(outer.stop)
        outer.start()
        sway = Sway(self.path("nested"), (("WL-1", "800x600", (0, 0)), ("WL-2", "640x480", (800, 0))),
                    spare=[("WL-3", "320x240", (1440, 0))], inside=outer)
        self.addCleanup(sway.stop)
        sway.start()
        probe = Probe(self, sway, painter=True)
        self.assertEqual([(o["name"], o["pixels"]) for o in self.outputs_event(probe)],
                         [("WL-1", [800, 600]), ("WL-2", [640, 480])])
        self.assertEqual(self.ended(probe, self.show(probe, "show", "WL-1=xy:0", "WL-2=xy:0")), "framed")
        before = self.counts(probe)["frames"]
        show = self.show(probe, "show", "with=fade", "ms=4000", "WL-1=xy:255", "WL-2=xy:255")
        self.delivered(probe, "WL-2", before["WL-2"], 3)
        start = len(probe.events)
        sway.remove_output("WL-2")
        self.assertEqual([o["name"] for o in self.outputs_event(probe, start)], ["WL-1"])
        start = len(probe.events)
        sway.create_output()
        self.assertEqual([o["name"] for o in self.outputs_event(probe, start)], ["WL-1", "WL-3"])
        counts = self.counts(probe)
        self.assertEqual((counts["counts"]["surfaces"], counts["transitions"], len(counts["blenders"])), (2, 1, 1))
        # The show lost an output; the one left ends its transition on the new picture.
        self.assertEqual(self.ended(probe, show), "lost")
        self.assertEqual(sway.grim("-o", "WL-1"), (800, 600, xy_pixels(800, 600, 255)))
        # The output that came has nothing on screen to start from: its picture comes at once.
        self.assertEqual(self.ended(probe, self.show(probe, "show", "with=fade", "WL-3=#00ff00")), "framed")
        self.assertEqual(sway.output_colour("WL-3"), (0, 255, 0))
        counts = self.counts(probe)
        self.assertEqual((counts["transitions"], counts["blenders"], counts["asked"]["WL-3"]), (0, [], 1))

    def test_two_hundred_shows_on_two_4k_outputs_leave_memory_descriptors_and_buffers_flat(self):
        sway = self.start_sway((("HEADLESS-1", "3840x2160", (0, 0)), ("HEADLESS-2", "3840x2160", (3840, 0))))
        probe = Probe(self, sway, painter=True)
        self.outputs_event(probe)
        colours = ["#ff0000", "#00ff00", "#0000ff"]
        pairs = [(f"HEADLESS-1={colours[n % 3]}", f"HEADLESS-2={colours[(n + 1) % 3]}") for n in range(200)]
        # The pictures are made once each; memory is measured after they are. sway may take longer than the
        # bound to compose two 4K frames on a busy machine: a show then counts as on screen at the bound.
        on_screen = {"framed", "timed_out"}
        for pair in pairs[:3]:
            self.assertIn(self.ended(probe, self.show(probe, "show", *pair), timeout=60), on_screen)
        before = self.counts(probe)
        # All at once, each followed by a count of what is held.
        start = len(probe.events)
        probe.process.stdin.write("".join(f"show {a} {b}\ncounts\n" for a, b in pairs).encode())
        probe.process.stdin.flush()
        probe.wait_for(lambda event: "counts" in event and sum("counts" in e for e in probe.events[start:]) == 200,
                       "counted after every show", timeout=120, start=start)
        shows = [event["show"] for event in probe.events[start:] if "show" in event]
        self.assertEqual(len(shows), 200)
        self.assertNotIn(None, shows)
        self.assertIn(self.ended(probe, shows[-1], timeout=60), on_screen)
        # Each show ended once.
        ends = [event["shown"] for event in probe.events[start:] if "shown" in event]
        self.assertEqual(sorted(ends), shows)
        held = [event["counts"] for event in probe.events[start:] if "counts" in event]
        self.assertLessEqual(max(counts["buffers"] for counts in held), 8)
        self.assertLessEqual(max(counts["frame_callbacks"] for counts in held), 2)
        self.assertLessEqual(max(counts["shows"] for counts in held), 1)
        # At rest: one buffer for each output, in the painter and in the compositor's memory.
        after = self.poll(lambda: (found := self.counts(probe))["counts"]["buffers"] == 2 and found, "let buffers go")
        compositor = sway.compositor_pid()
        self.poll(lambda: picture_mappings(compositor) == 2, "kept one picture for each output mapped in the compositor")
        self.assertEqual(after["descriptors"], before["descriptors"])
        # A sanitized probe gives its live heap (its sanitizer's shadow memory sets its resident set).
        self.assertLess(after["rss"] - before["rss"], 1024, f"{before['rss']} KiB before, {after['rss']} KiB after")
        last = pairs[-1]
        self.assertEqual([tuple(sway.grim("-g", f"{x},1000 1x1")[2]) for x in (1920, 5760)],
                         [tuple(bytes.fromhex(pair.split("#")[1])) for pair in last])


if __name__ == "__main__":
    import unittest
    unittest.main()
