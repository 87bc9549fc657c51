#!/usr/bin/env python3
"""The Wayland outputs and the swaybg viewer on a real headless sway, driven
through the probe (wayland_probe.cpp): what only the probe reports, the
outputs as the compositor gives them and the order of its events. What is on
screen is proven with the daemon itself (test_wayland_daemon.py)."""
from harness import ZelvoCase, make_solid_images
from wayland import COLOURS, UNORDERED_OUTPUTS, Probe, Sway, missing_programs


class WaylandTest(ZelvoCase):
    def setUp(self):
        super().setUp()
        self.assertEqual(missing_programs(), [], "programs missing for the Wayland tests")
        self.images = make_solid_images(self.path("images"), COLOURS)

    def show(self, probe, *images):
        """Shows the images and waits until the swaybg started for them is on screen; gives its pid."""
        start = len(probe.events)
        probe.send("show", *images)
        started = probe.events[probe.wait_for(lambda event: "started" in event, "started swaybg", start=start)]
        probe.wait_for(lambda event: event.get("on_screen") == started["started"], "handed over", start=start)
        return started["started"]

    def wait_alive(self, probe, count):
        return self.poll(lambda: len(live := probe.live_swaybg()) == count and (live,), f"kept {count} swaybg alive")[0]

    def test_the_outputs_in_the_order_of_their_positions_as_they_come_and_after_the_compositor_is_back(self):
        sway = Sway(self.path("sway"), UNORDERED_OUTPUTS, spare=[("HEADLESS-4", "320x240", (1440, 0))])
        self.addCleanup(sway.stop)
        sway.start()
        probe = Probe(self, sway)
        three = [("HEADLESS-2", 0, 0, 640, 480), ("HEADLESS-3", 0, 480, 320, 240), ("HEADLESS-1", 640, 0, 800, 600)]
        self.assertEqual(probe.outputs(), three)
        pid = self.show(probe, *self.images[:3])
        self.assertEqual(self.wait_alive(probe, 1), [pid])

        start = len(probe.events)
        sway.create_output()
        self.assertEqual(probe.outputs(start), three + [("HEADLESS-4", 1440, 0, 320, 240)])
        # The change of outputs starts the viewer at once, before anything else happens.
        reported = probe.wait_for(lambda event: "outputs" in event, "reported outputs", start=start)
        probe.wait_for(lambda event: "started" in event, "started swaybg", start=reported)
        self.assertIn("started", probe.events[reported + 1])
        self.assertEqual(self.wait_alive(probe, 1), [probe.events[reported + 1]["started"]])

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
        self.assertEqual(probe.outputs(start), three)
        self.assertEqual([event for event in probe.events if "lost" in event], [{"lost": True}])
        self.assertEqual(len(self.wait_alive(probe, 1)), 1)


if __name__ == "__main__":
    import unittest
    unittest.main()
