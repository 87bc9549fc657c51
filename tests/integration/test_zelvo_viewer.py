#!/usr/bin/env python3
"""viewer = "zelvo" through the real binary, on an Xvfb with RandR monitors (xwd, xprop, xrestop, hsetroot, picom)
and on a headless sway (grim): bad images, monitors that change, servers that misbehave, 200 changes in 4K."""
import itertools, json, os, pathlib, re, shutil, signal, subprocess, time, zlib

from harness import SANITIZED, hex_colour, live_heap_kib, make_solid_images, proc_status, records
from test_colours import DEFAULT_FILE
from test_cycle import SKIP
from test_monitors import MonitorsCase
from test_x_painter import (PROGRAMS, QUADRANTS, Probe, Shot, XPainterCase, client_of, expected_colour, pixmap_holders,
                            root_pixmaps)
from wayland import TWO_OUTPUTS, USER, Probe as WaylandProbe, Sway, missing_programs
from xserver import XServer

OTHERS = [(0, 128, 255), (255, 0, 128), (128, 255, 0), (255, 128, 0)]
MONITORS = [("M0", 0, 0, 640, 360, "--bg-fill"), ("M1", 640, 0, 300, 400, "--bg-center")]


def misplaced(shot, monitor, colours):
    """The points of a grid over monitor (name, x, y, w, h, style) that do not show what feh's style places
    there of a 200x100 image of four quadrants in colours, leaving out points near an edge between colours."""
    _, mx, my, mw, mh, style = monitor
    paint = lambda x, y: (lambda c: c if c == (0, 0, 0) else colours[QUADRANTS.index(c)])(
        expected_colour(style, (200, 100), (mw, mh), min(max(x, 0), mw - 1), min(max(y, 0), mh - 1)))
    grid = [(mw * fx // 12, mh * fy // 12) for fx in range(1, 12) for fy in range(1, 12)]
    return [(x, y) for x, y in grid if len(around := {paint(x + dx, y + dy) for dx in (-3, 3) for dy in (-3, 3)}) == 1
            and any(abs(a - b) > 8 for a, b in zip(shot.rgb(mx + x, my + y), around.pop()))]


class ZelvoViewerTest(MonitorsCase):
    def setUp(self):
        super().setUp()
        self.assertFalse([name for name, path in PROGRAMS.items() if path is None] + missing_programs())
        self.hook = self.install_recorder(os.path.join("bin", "hook"))

    def quad(self, name, colours):
        os.makedirs(self.path(os.path.dirname(name)), exist_ok=True)
        return XPainterCase.image(self, name, 200, 100, colours)

    def x_server(self, size="1000x400", monitors=MONITORS, extra=()):
        server = XServer(self, size=size, extra=extra)
        server.start()
        for index, (name, x, y, w, h) in enumerate(monitor[:5] for monitor in monitors):
            server.add_monitor(name, f"{w}/100x{h}/75+{x}+{y}", "none" if index else "screen")
        return server

    def x_daemon(self, server, settings, groups=()):
        self.configure_groups({"viewer": "zelvo", "order": "name", "DISPLAY": server.display, "hook": [self.hook],
                               "pics": [self.path("l")], "xrdb-path": self.path("bin", "xrdb"), **settings}, groups)
        return self.start_daemon(env=self.env)

    def groups(self):  # the left monitor's images in l/, the right one's in r/, each with its own bg-style
        return [{"sources": [self.path(side)], "bg-style": style} for side, (*_, style) in zip("lr", MONITORS)]

    def wait_drawn(self, display, monitors, colours, what="drew the monitors"):
        self.poll(lambda: not any(misplaced(shot, *pair) for shot in [Shot(display)] for pair in zip(monitors, colours)),
                  what, timeout=30)

    def changes_done(self, count, timeout=30):  # the hook's starts, once the last of count changes has come
        return self.poll(lambda: len(found := records(self.hook)) >= count and found, f"completed {count} changes",
                         timeout)

    def test_x_each_monitor_its_own_style_the_palette_and_the_desktop_follow_and_it_stays_after_quitting(self):
        for side, (index, colours) in itertools.product("lr", enumerate((QUADRANTS, OTHERS))):
            self.quad(f"{side}/{index}.png", colours)
        shots = []
        for extra in ((), ("-extension", "MIT-SHM")):
            server = self.x_server(extra=extra)
            subprocess.run(["hsetroot", "-solid", "#336699"], env={"DISPLAY": server.display}, capture_output=True)
            setter = root_pixmaps(server.display)[0]
            picom = subprocess.Popen(["picom", "--backend", "xrender", "--config", "/dev/null"],
                                     env={"DISPLAY": server.display}, stderr=subprocess.DEVNULL)
            self.addCleanup(lambda process=picom: (process.kill(), process.wait(10)))
            owner = Probe(self, server.display)
            self.poll(lambda: owner.ask("owner _NET_WM_CM_S0", "owner") != "owner 0", "saw picom take the screen")
            pid, palettes = self.x_daemon(server, {"colors": True, "use-xrdb": True}, self.groups()), [DEFAULT_FILE]
            for change, colours in enumerate((QUADRANTS, OTHERS)):
                if change:
                    self.send(pid, [signal.SIGUSR1], SKIP)
                self.wait_drawn(server.display, MONITORS, (colours, colours))
                # The setter's pixmap went (its client's ids may serve ours), then each of ours: the server holds one.
                pixmap, esetroot = root_pixmaps(server.display)
                holders = pixmap_holders(server.display)
                self.assertEqual((esetroot, holders.get(client_of(pixmap))), (pixmap, 1))
                self.assertNotIn(client_of(setter), set(holders) - {client_of(pixmap)})
                # The palette of each picture, with xrdb, once it is on screen.
                self.assertEqual((len(self.changes_done(change + 1)), len(self.wait_records(self.path("bin", "xrdb"), change + 1))),
                                 (change + 1,) * 2)
                palettes.append(pathlib.Path(self.home, ".zelvo", "colors").read_text())
                self.assertNotIn(palettes[-1], palettes[:-1])
            # Each monitor with when its picture reached the screen.
            status = self.zelvoctl("-d", server.display, "status").out.decode()
            self.assertEqual(len(re.findall(r"^ {13}drawn \d{4}-\d\d-\d\d \d\d:\d\d:\d\d \(", status, re.M)), 2, status)
            self.assertEqual(len(json.loads(self.zelvoctl("-d", server.display, "status", "--json").out)["drawn"]), 2)
            shots.append(Shot(server.display).pixels)
            self.quit(pid)
            self.assertEqual((root_pixmaps(server.display), Shot(server.display).pixels), ((pixmap, pixmap), shots[-1]))
            picom.kill()
            for path in (self.path("home", ".zelvo", "colors"), self.hook + ".log", self.path("bin", "xrdb.log")):
                os.unlink(path)
        self.assertTrue(shots[0] == shots[1], "the pixels of PutImage differ from those of MIT-SHM")

    def test_images_that_cannot_be_drawn_leave_the_picture_before_with_its_palette_and_one_line(self):
        folder = self.path("images")
        for index, path in enumerate(make_solid_images(folder, ["#ff0000", "#00c000", "#0000ff", "#ffff00"])):
            os.rename(path, os.path.join(folder, f"{2 * index + 1}.png"))
        right = make_solid_images(self.path("right"), ["#00ffff", "#ff00ff", "#ffffff", "#808080", "#008080", "#800080"])
        # On the first monitor, while the second changes: a 100000 x 100000 header, a cut JPEG, a deleted image.
        huge, truncated, deleted = (os.path.join(folder, name) for name in ("2.png", "4.jpg", "6.png"))
        subprocess.run(["convert", "-size", "800x600", "gradient:red-blue", truncated], check=True)
        pathlib.Path(truncated).write_bytes(pathlib.Path(truncated).read_bytes()[:4000])
        for path in (huge, deleted):
            shutil.copy(os.path.join(folder, "1.png"), path)
        server = self.x_server("1200x300", [("H0", 0, 0, 400, 300), ("H1", 400, 0, 400, 300)])
        pid = self.x_daemon(server, {"pics": [folder], "colors": True, "use-xrdb": True},
                            [{"sources": [folder]}, {"sources": [self.path("right")]}])
        colours, left, other = pathlib.Path(self.home, ".zelvo", "colors"), "400x300+0+0", "400x300+400+0"
        server.wait_colours({left: "#ff0000"})
        done = self.changes_done(1)
        chunk = lambda kind, data: len(data).to_bytes(4, "big") + kind + data + zlib.crc32(kind + data).to_bytes(4, "big")
        pathlib.Path(huge).write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", (100000).to_bytes(4, "big") * 2 + bytes(
            [8, 2, 0, 0, 0])) + chunk(b"IDAT", zlib.compress(bytes(300001))) + chunk(b"IEND", b""))
        # The colour file is replaced whenever it is written.
        written = lambda: (colours.stat().st_ino, len(records(self.path("bin", "xrdb"))))
        for bad, before, after in ((huge, "#ff0000", "#00c000"), (truncated, "#00c000", "#0000ff"),
                                   (deleted, "#0000ff", "#ffff00")):
            if bad == deleted:
                # Its picture is made while the one before rests: status is answered once that change is done.
                self.zelvoctl("-d", server.display, "status")
                self.poll(lambda: not pathlib.Path(f"/proc/{pid}/task/{pid}/children").read_text(), "prepared")
                os.unlink(deleted)
            palette, beside = written(), server.colour_at(other)
            self.send(pid, [signal.SIGUSR1], SKIP, f"Zelvo gave up on the picture of {bad}: it cannot be read as an image")
            done = self.changes_done(len(done) + 1)
            self.assertEqual((server.colour_at(left), written()), (before, palette))
            self.assertIn(server.colour_at(other), set(map(self.colour_of, right)) - {beside})
            self.send(pid, [signal.SIGUSR1], SKIP)
            server.wait_colours({left: after})
            done = self.changes_done(len(done) + 1)
            # xrdb starts before the hook, though its stand-in may write its record after the hook's.
            self.poll(lambda: written()[0] != palette[0] and written()[1] == palette[1] + 1,
                      "wrote and loaded the palette of the change after")
        self.quit(pid)

    def test_x_monitors_resized_or_removed_or_a_change_while_a_picture_is_made_get_it_at_their_new_size_or_go_black(self):
        for name, colours in (("l/0", QUADRANTS), ("l/1", OTHERS), ("r/0", QUADRANTS)):
            self.quad(f"{name}.png", colours)
        server = self.x_server()
        pid = self.x_daemon(server, {}, self.groups())
        self.wait_drawn(server.display, MONITORS, (QUADRANTS, QUADRANTS))
        os.kill(pid, signal.SIGUSR1)
        server.remove_monitor("M1")
        server.add_monitor("M1", "250/100x400/75+640+0")
        self.wait_drawn(server.display, [MONITORS[0], ("M1", 640, 0, 250, 400, "--bg-center")], (OTHERS, QUADRANTS))
        os.kill(pid, signal.SIGUSR1)
        server.remove_monitor("M1")
        self.poll(lambda: Shot(server.display).rgb(765, 200) == (0, 0, 0), "left the removed monitor black", 30)
        self.wait_drawn(server.display, [MONITORS[0]], (QUADRANTS,), "drew M0 again")
        os.kill(pid, signal.SIGUSR1)
        self.wait_drawn(server.display, [MONITORS[0]], (OTHERS,), "drew M0's next")
        # The skip's picture was made ahead and goes to the server at once; the one before it is made while the
        # server still draws the skip, whose end must not end the change asked for last.
        os.kill(pid, signal.SIGUSR1)
        os.kill(pid, signal.SIGRTMIN)
        self.wait_drawn(server.display, [MONITORS[0]], (OTHERS,), "drew the image before the one skipped to")
        self.assertFalse([line for line in self.drain() if "cannot draw" in line])
        self.quit(pid)

    def wayland_daemon(self, sway, settings, groups=()):
        self.configure_groups({"viewer": "zelvo", "order": "name", "hook": [self.hook], **settings}, groups)
        subprocess.run(["chown", "-R", f"{USER}:{USER}", self.home], check=True)
        self.env = {**sway.environment(), "HOME": self.home, "PATH": self.search_path}
        return self.start_daemon(env=self.env, uid=USER)

    def sway(self, outputs, spare=()):
        sway = Sway(self.path("sway"), outputs, spare)
        self.addCleanup(sway.stop)
        sway.start()
        return sway

    def assert_outputs(self, sway, expected):
        """Polls until each output shows "#rrggbb", or the quadrants of an image scaled to it, by its centre."""
        def seen(name, wanted):
            width, height, pixels = sway.grim("-o", name)
            at = lambda x, y: tuple(pixels[(y * width + x) * 3:(y * width + x) * 3 + 3])
            return [at(width // 2 + dx, height // 2 + dy) for dy in (-20, 20) for dx in (-20, 20)] == (
                [hex_colour(wanted)] * 4 if isinstance(wanted, str) else wanted)
        self.poll(lambda: all(seen(name, wanted) for name, wanted in expected.items()), f"showed {expected}", 30)

    def test_x_transitions_end_on_the_picture_asked_for_last_and_a_quit_mid_fade_leaves_a_whole_one(self):
        images = make_solid_images(self.path("images"), ["#ff0000", "#00c000", "#0000ff", "#ffff00", "#00ffff"])
        colour = {image: "#" + os.path.basename(image).removesuffix(".png") for image in images}
        server = self.x_server("800x300", [("H0", 0, 0, 400, 300), ("H1", 400, 0, 400, 300)])
        parts = ("400x300+0+0", "400x300+400+0")
        self.configure_groups({"viewer": "zelvo", "order": "name", "DISPLAY": server.display, "hook": [self.hook],
                               "pics": [self.path("images")], "transition": "fade", "transition-time": 300,
                               "transition-angle": 1e9, "transition-fps": "thirty"}, [])
        # Values out of bounds or of another type cost one line each at the start, which goes on with the defaults.
        started = self.run_zelvo(env=self.env)
        said = started.err.decode()
        self.assertEqual((started.status, said.count("\r\n")), (0, 2), said)
        self.assertTrue("transition-angle" in said and "transition-fps" in said, said)
        pid = self.messages(2)[0].pid
        self.changes_done(1)
        # A storm of next during fades: each answered at once, the last picture asked for on screen in the end,
        # its hook started once its last frame is, and nothing queued.
        for _ in range(30):
            self.assertEqual(self.zelvoctl("-d", server.display, "next").status, 0)
        asked = time.monotonic_ns()
        current = self.zelvoctl("-d", server.display, "current").out.decode().split()
        # Its hook, the last of the change, starts once its last frame is on screen: the picture is whole then.
        # (Its images were those of a change five before too, whose hook started before the last next's answer.)
        self.poll(lambda: any(start["argv"][1:] == current and start["monotonic"] > asked for start in records(self.hook)),
                  "started the last change's hook", 30)
        self.assertEqual({part: server.colour_at(part) for part in parts},
                         {part: colour[image] for part, image in zip(parts, current)})
        # A change at rest fades in its frames, which the daemon counts.
        self.assertEqual(self.zelvoctl("-d", server.display, "next").status, 0)
        current = self.zelvoctl("-d", server.display, "current").out.decode().split()
        self.poll(lambda: records(self.hook)[-1]["argv"][1:] == current, "started the next change's hook")
        frames = json.loads(self.zelvoctl("-d", server.display, "status", "--json").out)["frames"]
        self.assertTrue(all(0 < monitor["delivered"] <= monitor["asked"] for monitor in frames), frames)
        # A quit in the middle of a fade leaves the new picture whole.
        self.assertEqual(self.zelvoctl("-d", server.display, "next").status, 0)
        current = self.zelvoctl("-d", server.display, "current").out.decode().split()
        # The lines of the 32 changes, read before those of the quit.
        self.assertEqual({message.text for message in self.messages(32)}, {SKIP})
        self.quit(pid)
        self.assertEqual({part: server.colour_at(part) for part in parts},
                         {part: colour[image] for part, image in zip(parts, current)})

    def test_wayland_each_output_its_own_picture_one_added_resized_or_covered_and_the_compositor_restarted(self):
        sway = self.sway(TWO_OUTPUTS, spare=[("HEADLESS-3", "320x240", (1440, 0))])
        first = [self.quad("first/0.png", QUADRANTS), self.quad("first/1.png", OTHERS)]
        second, main = (make_solid_images(self.path(name), colours) for name, colours in
                        (("second", ["#0000ff", "#00ffff"]), ("main", ["#ff00ff"])))
        # Each change fades, its frames counted by the daemon; the outputs still end on their pictures.
        pid = self.wayland_daemon(sway, {"pics": main, "transition": "fade", "transition-time": 300},
                                  [{"sources": first, "bg-style": "--bg-scale"}, {"sources": second}])
        self.assert_outputs(sway, {"HEADLESS-1": QUADRANTS, "HEADLESS-2": "#0000ff"})
        sway.create_output()
        self.drain_until(pid, f"Zelvo counts 3 monitors on display {sway.display}")
        self.assert_outputs(sway, {"HEADLESS-1": QUADRANTS, "HEADLESS-2": "#0000ff", "HEADLESS-3": "#ff00ff"})
        # Resized while the change's pictures are made for its old size, whose quadrants' edges would then lie
        # 80 and 60 pixels further out.
        os.kill(pid, signal.SIGUSR1)
        sway.ask("output", "HEADLESS-1", "mode", "640x480")
        self.poll(lambda: sway.grim("-o", "HEADLESS-1")[:2] == (640, 480), "saw HEADLESS-1 resized")
        self.assert_outputs(sway, {"HEADLESS-1": OTHERS, "HEADLESS-2": "#00ffff"})
        # Under a fullscreen window the changes go on, each ending at the bound, and nothing piles up.
        cover = WaylandProbe(self, sway, painter=True)
        cover.send("cover")
        cover.wait_for(lambda event: event.get("covered"), "covered an output")
        done = self.changes_done(1)
        for change in range(3):
            self.assertEqual(self.zelvoctl("-d", sway.display, "next", env=self.env, uid=USER).status, 0)
            done = self.changes_done(len(done) + 1)
        maps = pathlib.Path(f"/proc/{sway.compositor_pid()}/maps")
        self.assertLessEqual(maps.read_text().count("memfd:zelvo-picture"), 6)
        frames = json.loads(self.zelvoctl("-d", sway.display, "status", "--json", env=self.env, uid=USER).out)["frames"]
        self.assertTrue(any(output["asked"] for output in frames) and
                        all(output["delivered"] <= output["asked"] for output in frames), frames)
        cover.send("uncover")
        self.assert_outputs(sway, {"HEADLESS-1": QUADRANTS, "HEADLESS-2": "#0000ff", "HEADLESS-3": "#ff00ff"})
        sway.kill()
        self.drain_until(pid, f"Zelvo lost the display {sway.display} (the connection was lost) and counts one "
                              "monitor until it is back")
        sway.start()
        self.drain_until(pid, f"Zelvo counts 2 monitors on display {sway.display}", timeout=30)
        self.assert_outputs(sway, {"HEADLESS-1": QUADRANTS, "HEADLESS-2": "#0000ff"})
        self.quit(pid)

    def test_two_hundred_changes_on_two_4k_monitors_leave_memory_descriptors_and_the_servers_pictures_flat(self):
        images = make_solid_images(self.path("images"), ["#ff0000", "#00c000", "#0000ff"])
        for where in ("x", "wayland"):
            with self.subTest(where):
                if where == "x":
                    # The X server holds one pixmap for zelvo, the root's; the compositor maps one picture an output.
                    server = self.x_server("7680x2160", [("K0", 0, 0, 3840, 2160), ("K1", 3840, 0, 3840, 2160)])
                    pid, display, env, uid = self.x_daemon(server, {"pics": images}), server.display, None, None
                    held = lambda: sum(pixmap_holders(display).values()) == 1
                else:
                    sway = self.sway((("HEADLESS-1", "3840x2160", (0, 0)), ("HEADLESS-2", "3840x2160", (3840, 0))))
                    pid, display, env, uid = self.wayland_daemon(sway, {"pics": images}), sway.display, self.env, USER
                    held = lambda: pathlib.Path(f"/proc/{sway.compositor_pid()}/maps").read_text().count(
                        "memfd:zelvo-picture") == 2
                measured = [] if self.changes_done(1) else None
                for change in range(1, 221):
                    self.assertEqual(self.zelvoctl("-d", display, "next", env=env, uid=uid).status, 0)
                    self.changes_done(change + 1, timeout=60)
                    self.drain()  # a log socket that nobody reads would hold the daemon up
                    if change in (20, 220):
                        self.poll(lambda: not pathlib.Path(f"/proc/{pid}/task/{pid}/children").read_text(), "rests")
                        memory = live_heap_kib(pid) if SANITIZED else int(proc_status(pid, "VmRSS").split()[0])
                        measured.append((len(os.listdir(f"/proc/{pid}/fd")), memory))
                self.assertEqual(measured[1][0], measured[0][0], "descriptors")
                self.assertLess(measured[1][1] - measured[0][1], 1024, f"memory in KiB: {measured}")
                self.poll(held, "let go of the pictures it no longer shows")
                self.quit(pid)
                os.unlink(self.hook + ".log")
