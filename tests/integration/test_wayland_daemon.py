#!/usr/bin/env python3
"""The daemon with viewer = "swaybg" on a real headless sway: its outputs as
monitors, the handover, hotplug, a compositor that goes away, swaybg that
misbehaves and sessions of the wrong kind. grim's screenshots are the proof."""
import functools
import glob
import http.server
import os
import pathlib
import shutil
import signal
import socket
import subprocess
import threading
import time

from harness import ZelvoCase, child_programs, hex_colour, proc_status, libconfig_text, make_solid_images, near
from wayland import COLOURS, TWO_OUTPUTS, UNORDERED_OUTPUTS, USER, Sway, Weston, live_children, missing_programs

NOT_IN_PATH = "swaybg was not in your path. the swaybg path can also be defined in the config"


def handover_photos(case):
    """Six JPEGs in COLOURS, of a photograph's size, which swaybg takes the longest to draw; and what tells
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


class WaylandDaemonTest(ZelvoCase):
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

    def assert_screen(self, sway, expected):
        """Polls until each output (name: colour) shows its colour all over."""
        deadline = time.monotonic() + 10
        while (seen := {name: sway.output_colour(name) for name in expected}) != expected:
            if time.monotonic() > deadline:
                self.fail(f"the outputs show {seen}, not {expected}")
            time.sleep(0.02)

    def environment(self, sway):
        return {**sway.environment(), "PATH": self.search_path}

    def start(self, sway, text):
        """Writes the configuration text into sway's home and starts the daemon there as USER; gives its pid."""
        folder = os.path.join(sway.home, ".zelvo")
        os.makedirs(folder, exist_ok=True)
        pathlib.Path(folder, ".zelvorc").write_text(text)
        for path in (folder, os.path.join(folder, ".zelvorc")):
            os.chown(path, USER, USER)
        dev_shm = os.path.join(self.dev, "shm")
        os.makedirs(dev_shm, exist_ok=True)  # swaybg's buffers are made with shm_open
        pid = self.start_daemon(env=self.environment(sway), uid=USER, binds=[("/dev/shm", dev_shm)])
        self.addCleanup(self.end, pid)
        return pid

    def end(self, pid):
        """Quits the daemon when it still runs, and checks that no swaybg of its own outlives it."""
        swaybg = live_children(pid)
        if os.path.exists(f"/proc/{pid}") and pid in self.children(live=True):
            self.assertEqual(os.WEXITSTATUS(self.stop_daemon(pid)), 0)
        self.assertEqual([child for child in swaybg if os.path.exists(f"/proc/{child}")], [], "swaybg outlived zelvo")

    def wait_alive(self, pid, count):
        return self.poll(lambda: len(live := live_children(pid)) == count and (live,), f"kept {count} swaybg")[0]

    def texts(self, count, timeout=10.0):
        return [message.text for message in self.messages(count, timeout)]

    def test_each_output_its_own_image_and_mode_in_the_order_of_their_positions_and_an_added_one_at_once(self):
        sway = self.start_sway(UNORDERED_OUTPUTS, spare=[("HEADLESS-4", "320x240", (1440, 0))])
        red, green, blue, yellow, magenta = self.images[:5]
        pid = self.start(sway, f'viewer = "swaybg"; colors = true; use-xrdb = true; bg-style = "--bg-fill";\n'
                               f'default = ["{magenta}"];\n'
                               f'per-monitor = ({{ sources = ["{red}"]; }}, {{ sources = ["{green}"]; '
                               f'bg-style = "--bg-tile"; }}, {{ sources = ["{blue}"]; }}, {{ sources = ["{yellow}"]; }});\n')
        self.assert_screen(sway, {"HEADLESS-2": self.colour[red], "HEADLESS-3": self.colour[green],
                                  "HEADLESS-1": self.colour[blue]})
        [swaybg] = self.wait_alive(pid, 1)
        argv = pathlib.Path(f"/proc/{swaybg}/cmdline").read_bytes().decode().split("\0")[:-1]
        self.assertEqual(argv, ["zelvo-swaybg", "-o", "HEADLESS-2", "-i", red, "-m", "fill",
                                "-o", "HEADLESS-3", "-i", green, "-m", "tile", "-o", "HEADLESS-1", "-i", blue, "-m", "fill"])
        environment = pathlib.Path(f"/proc/{swaybg}/environ").read_bytes().decode().split("\0")[:-1]
        self.assertEqual(sorted(environment), sorted(f"{key}={value}" for key, value in sway.environment().items()))
        # zelvoctl without -d finds the daemon of WAYLAND_DISPLAY when DISPLAY is unset.
        status = self.zelvoctl("status", env=sway.environment(), uid=USER)
        self.assertEqual(status.status, 0, status.err)
        self.assertIn(f"display:     {sway.display}\n".encode(), status.out)

        sway.create_output()
        self.assertEqual(self.texts(1), [f"Zelvo counts 4 monitors on display {sway.display}"])
        self.assert_screen(sway, {"HEADLESS-2": self.colour[red], "HEADLESS-3": self.colour[green],
                                  "HEADLESS-1": self.colour[blue], "HEADLESS-4": self.colour[yellow]})
        self.assertNotEqual(self.wait_alive(pid, 1), [swaybg])
        # The colours as on X, but no xrdb without DISPLAY, and not a line about it.
        self.poll(lambda: os.path.exists(os.path.join(sway.home, ".zelvo", "colors")), "wrote the colour file")
        # A reload back to feh ends swaybg; feh draws from then on.
        [swaybg] = self.wait_alive(pid, 1)
        pathlib.Path(sway.home, ".zelvo", ".zelvorc").write_text(libconfig_text({"default": [magenta]}))
        os.kill(pid, signal.SIGHUP)
        self.assertEqual(self.texts(2), ["SIGHUP has been recived: regening config", "config regened"])
        self.assertEqual(self.wait_records(os.path.join(self.bin, "feh"), 1)[0]["argv"][3:], [magenta])
        self.poll(lambda: not os.path.exists(f"/proc/{swaybg}"), "ended swaybg")
        self.end(pid)
        self.assertEqual(self.texts(1), ["Zelvo has quit"])
        self.assertFalse(os.path.exists(os.path.join(self.bin, "xrdb.log")), "xrdb ran without DISPLAY")

    def test_the_handover_leaves_no_frame_without_a_wallpaper_across_twenty_changes(self):
        photos, wallpaper = handover_photos(self)
        # By name, two images a change: the wallpapers of the three changes that come round again.
        ring = [photos.index(photo) for photo in sorted(photos)]
        pairs = [(ring[index], ring[index + 1]) for index in range(0, len(ring), 2)]
        sway = self.start_sway()
        pid = self.start(sway, libconfig_text({"viewer": "swaybg", "order": "name",
                                               "default": [os.path.dirname(photos[0])]}))
        # The first swaybg takes over at once, with nothing to hand over from: its wallpapers come when they come.
        self.poll(lambda: (wallpaper(sway.pixel(400, 240)), wallpaper(sway.pixel(1120, 240))) == pairs[0],
                  "showed the first wallpapers")
        frames = sample_both_outputs(sway, wallpaper)
        alive = Sampler(lambda: (time.sleep(0.002), len(live_children(pid)))[1])
        frames.start()
        alive.start()
        for change in range(20):
            os.kill(pid, signal.SIGUSR1)
            self.assertEqual(self.texts(1), ["SIGUSR1 has been recived: skiping ahead"])
            # The change counts once grim has seen it on both outputs.
            self.poll(lambda: frames.found and frames.found[-1] == pairs[(change + 1) % 3] and
                      len(live_children(pid)) == 1, f"showed change {change}", timeout=15)
        seen, counts = frames.stop(), alive.stop()
        # The outputs are drawn one after the other: one may show the next wallpaper while the other shows the last.
        self.assertEqual([frame for frame in seen if None in frame], [], f"frames without a wallpaper among {len(seen)}")
        # Each change was seen in turn.
        whole = [frame for frame in seen if frame in pairs]
        self.assertEqual([frame for at, frame in enumerate(whole) if at == 0 or frame != whole[at - 1]],
                         [pairs[change % 3] for change in range(21)])
        self.assertLessEqual(max(counts), 2)

    def test_a_compositor_killed_under_it_is_said_once_and_its_successor_shows_wallpapers(self):
        sway = self.start_sway()
        first, second = sorted(self.images[:2])
        pid = self.start(sway, libconfig_text({"viewer": "swaybg", "order": "name", "default": [first, second]}))
        self.assert_screen(sway, {"HEADLESS-1": self.colour[first], "HEADLESS-2": self.colour[second]})
        sway.kill()
        self.assertEqual(self.texts(1), [f"Zelvo lost the display {sway.display} (the connection was lost) "
                                          "and counts one monitor until it is back"])
        self.wait_alive(pid, 0)
        sway.start()
        self.assertEqual(self.texts(1, timeout=20), [f"Zelvo counts 2 monitors on display {sway.display}"])
        # Each output is known again by its name, and shows what it showed.
        self.assert_screen(sway, {"HEADLESS-1": self.colour[first], "HEADLESS-2": self.colour[second]})
        self.wait_alive(pid, 1)

    def test_a_swaybg_that_is_missing_exits_at_once_or_hangs_never_leaves_more_than_two(self):
        sway = self.start_sway()
        standins = self.path("standins")
        os.mkdir(standins, 0o755)
        for name, script in (("exits", "#!/bin/sh\nexit 3\n"),
                             # Ignored signals stay ignored across exec: only SIGKILL ends it.
                             ("hangs", "#!/bin/sh\ntrap '' TERM\nexec /bin/sleep 600\n")):
            pathlib.Path(standins, name).write_text(script)
            os.chmod(os.path.join(standins, name), 0o755)
        # (stand-in, the lines of each change, whether it ends by itself)
        for name, lines, ends in (("missing", [NOT_IN_PATH], True), ("exits", [], True), ("hangs", [], False)):
            with self.subTest(name):
                settings = {"viewer": "swaybg", "default": self.images[:4]}
                misbehaving = {**settings, "swaybg-path": os.path.join(standins, name)}
                pid = self.start(sway, libconfig_text(misbehaving))
                self.assertEqual(self.texts(len(lines)), lines)
                # The real one: a wallpaper, and one swaybg; what it shows stays while the stand-in ends by itself.
                self.reload(sway, pid, settings, [])
                before = self.poll(lambda: set((shown := {output: sway.output_colour(output) for output in
                                                          ("HEADLESS-1", "HEADLESS-2")}).values()) <=
                                   set(self.colour.values()) and shown, "showed wallpapers")
                real = self.wait_alive(pid, 1)
                # The viewers only: the reload's expansion runs the daemon's own code beside them (and a
                # sanitized one lingers in its leak check after it has answered).
                alive = Sampler(lambda: (time.sleep(0.002), sum(name != "zelvo" for name in child_programs(pid).values()))[1])
                alive.start()
                self.reload(sway, pid, misbehaving, lines)
                for _ in range(3):
                    os.kill(pid, signal.SIGUSR1)
                    self.assertEqual(self.texts(1 + len(lines)), ["SIGUSR1 has been recived: skiping ahead", *lines])
                # One that ends by itself leaves the real one on screen; one that hangs took over from it.
                self.poll(lambda: (live_children(pid) == real) == ends and len(live_children(pid)) == 1,
                          "kept one swaybg")
                counts = alive.stop()
                self.assertLessEqual(max(counts), 2)
                if ends:
                    self.assert_screen(sway, before)
                self.end(pid)
                self.assertEqual(self.texts(1), ["Zelvo has quit"])
                shutil.rmtree(os.path.join(sway.home, ".zelvo"))

    def reload(self, sway, pid, settings, lines):
        """Writes the settings and has the daemon read them again, which shows the next images: lines come of it."""
        pathlib.Path(sway.home, ".zelvo", ".zelvorc").write_text(libconfig_text(settings))
        os.kill(pid, signal.SIGHUP)
        said = self.texts(2 + len(lines))
        # A swaybg that cannot start says so in its own process, beside the daemon's closing line.
        self.assertEqual((said[0], sorted(said[1:])), ("SIGHUP has been recived: regening config",
                                                       sorted([*lines, "config regened"])))

    def test_a_url_is_shown_from_a_private_copy_and_one_that_cannot_be_fetched_keeps_the_image_before(self):
        class Quiet(http.server.SimpleHTTPRequestHandler):
            def log_message(self, *_):
                pass

        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(
            Quiet, directory=self.path("images")))
        threading.Thread(target=server.serve_forever, daemon=True).start()
        self.addCleanup(server.server_close)
        self.addCleanup(server.shutdown)
        url = f"http://127.0.0.1:{server.server_address[1]}/"
        red, blue = self.images[0], self.images[2]
        sway = self.start_sway()
        # By name: the file, then the URLs, "ff0000.png" before "gone.png".
        pid = self.start(sway, libconfig_text({"viewer": "swaybg", "order": "name",
                                               "default": [blue, url + os.path.basename(red), url + "gone.png"]}))
        self.assert_screen(sway, {"HEADLESS-1": self.colour[blue], "HEADLESS-2": self.colour[red]})
        copies = glob.glob(os.path.join(sway.runtime, "**", "swaybg-*"), recursive=True)
        self.assertEqual(len(copies), 1, copies)
        [swaybg] = self.wait_alive(pid, 1)
        self.assertIn(copies[0].encode(), pathlib.Path(f"/proc/{swaybg}/cmdline").read_bytes().split(b"\0"))
        os.kill(pid, signal.SIGUSR1)
        lines = self.texts(2)
        self.assertEqual(lines[0], "SIGUSR1 has been recived: skiping ahead")
        self.assertRegex(lines[1], f"^Zelvo could not fetch {url}gone.png for swaybg \\(.+\\) and keeps the image before$")
        self.assert_screen(sway, {"HEADLESS-1": self.colour[blue], "HEADLESS-2": self.colour[blue]})
        self.end(pid)
        self.assertEqual(self.texts(1), ["Zelvo has quit"])
        self.assertEqual(glob.glob(os.path.join(sway.runtime, "**", "swaybg-*"), recursive=True), [])

    def test_nothing_of_swaybg_nor_of_a_fetch_outlives_zelvo(self):
        sway = self.start_sway()
        # What daemons that are gone left in the runtime directory: a copy, and one still being fetched.
        folder = os.path.join(sway.runtime, "zelvo")
        os.makedirs(folder, mode=0o700, exist_ok=True)
        os.chown(folder, USER, USER)
        gone = os.getpid()  # a number of a process that runs, never a daemon's
        dead = subprocess.Popen(["true"])
        dead.wait()
        stale = [os.path.join(folder, f"swaybg-{dead.pid}-{name}") for name in ("1", "2.part")]
        for path in stale:
            pathlib.Path(path).write_bytes(b"")
        mine = os.path.join(folder, f"swaybg-{gone}-1")
        pathlib.Path(mine).write_bytes(b"")
        # A swaybg that leaves a child deaf to SIGTERM behind, and a URL whose server takes the connection
        # and never answers.
        os.makedirs(self.path("standins"), mode=0o755)
        os.chown(self.path("standins"), USER, USER)
        leaves = self.path("standins", "leaves")
        pathlib.Path(leaves).write_text("#!/bin/sh\n(trap '' TERM; exec /bin/sleep 600) &\necho $! >> \"$0.children\"\n"
                                        "exec /bin/sleep 600\n")
        os.chmod(leaves, 0o755)
        silent = socket.socket()
        self.addCleanup(silent.close)
        silent.bind(("127.0.0.1", 0))
        silent.listen()
        url = f"http://127.0.0.1:{silent.getsockname()[1]}/never.png"
        pid = self.start(sway, libconfig_text({"viewer": "swaybg", "swaybg-path": leaves, "order": "name",
                                               "default": [self.images[0], url]}))
        self.poll(lambda: not any(map(os.path.exists, stale)), "removes a dead daemon's copies")
        self.assertTrue(os.path.exists(mine), "a live process's copy was removed")
        part = self.poll(lambda: glob.glob(os.path.join(folder, f"swaybg-{pid}-*.part")), "fetches the URL")
        children = self.poll(lambda: os.path.exists(leaves + ".children") and
                             [int(line) for line in pathlib.Path(leaves + ".children").read_text().split()],
                             "starts swaybg")
        self.assertEqual(os.WEXITSTATUS(self.stop_daemon(pid)), 0)
        self.assertEqual(self.texts(1), ["Zelvo has quit"])
        self.assertEqual([child for child in children if os.path.exists(f"/proc/{child}") and
                          proc_status(child, "State")[0] != "Z"], [], "swaybg's children outlived zelvo")
        self.assertEqual([path for path in part if os.path.exists(path)], [], "a fetch left its part behind")

    def test_a_session_of_the_wrong_kind_ends_the_start_with_one_line(self):
        self.write_config({"viewer": "swaybg", "default": self.images[:1]})
        plain = {"HOME": self.home, "PATH": self.search_path, "XDG_RUNTIME_DIR": self.runtime}
        result = self.run_zelvo(env=plain)
        self.assertEqual((result.status, result.out, result.err),
                         (1, b"", b"Zelvo cannot start swaybg: WAYLAND_DISPLAY is not set\r\n"))
        self.write_config({"default": self.images[:1]})
        result = self.run_zelvo(env={**plain, "WAYLAND_DISPLAY": "wayland-7"})
        self.assertEqual((result.status, result.out, result.err),
                         (1, b"", b"Zelvo cannot start feh on the Wayland display wayland-7: DISPLAY is not set "
                                  b'(viewer = "swaybg" shows wallpapers on Wayland)\r\n'))
        # zelvo's own drawing on a compositor without the layer shell, asked before anything is made.
        weston = Weston(self.path("weston"))
        self.addCleanup(weston.stop)
        weston.start()
        self.write_config({"viewer": "zelvo", "default": self.images[:1]})
        result = self.run_zelvo(env={**plain, **weston.environment()}, uid=USER)
        self.assertEqual((result.status, result.out, result.err),
                         (1, b"", b"Zelvo cannot draw on the Wayland display wayland-weston: its compositor offers no "
                                  b'zwlr_layer_shell_v1, which viewer = "zelvo" and viewer = "swaybg" both need '
                                  b'(viewer = "desktop" sets the wallpaper through a full desktop\'s own settings)\r\n'))
        self.assertEqual(os.listdir(weston.runtime), ["wayland-weston", "wayland-weston.lock"])
        self.assertEqual(os.listdir(self.runtime), [], "a refused start left something behind")


if __name__ == "__main__":
    import unittest
    unittest.main()
