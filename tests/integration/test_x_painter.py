#!/usr/bin/env python3
"""zelvo's own X painting on real servers, through the probe zelvo_x_painter_probe: pictures made by the
bounded worker, shown on the root window of an Xvfb with two RandR monitors (with MIT-SHM and without),
checked in xwd screenshots against placements worked out here, with xprop, xrestop, hsetroot and picom as
the desktop's own programs; transitions caught frame by frame in screenshots, their frames counted by xprop
-spy on the root window's property; the connector against servers that never answer."""
import math, os, pathlib, select, shutil, signal, socket, struct, subprocess, tempfile, time, unittest, zlib

from xserver import XServer, write_xauthority

PROBE = os.environ.get("ZELVO_X_PAINTER_PROBE", "")
HANG = os.environ.get("ZELVO_HANG", "")
PROGRAMS = {name: shutil.which(name) for name in ("convert", "xwd", "xprop", "xrestop", "hsetroot", "picom")}
# Two monitors of different sizes and aspects on a wider, taller screen: black beside and below them.
SCREEN = "1000x400"
MONITORS = [("M0", 0, 0, 640, 360), ("M1", 640, 0, 300, 400)]
QUADRANTS = [(255, 0, 0), (0, 255, 0), (0, 0, 255), (255, 255, 0)]  # top-left, top-right, bottom-left, bottom-right
STYLES = ["--bg-scale", "--bg-fill", "--bg-max", "--bg-center", "--bg-tile"]
DEADLINE = 20
SHOWN = "shown "


class Probe:
    """zelvo_x_painter_probe on a display, fed commands and read line by line."""

    def __init__(self, case, display, env=None, program=PROBE):
        self.case = case
        self.process = subprocess.Popen([program, display], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, env={**os.environ, **(env or {})})
        case.addCleanup(self.end)
        self.pending, self.lines = b"", []

    def end(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait(10)
        for stream in (self.process.stdin, self.process.stdout, self.process.stderr):
            stream.close()

    def ask(self, command, wanted, timeout=30.0):
        """Sends a command and gives the first line that begins with one of wanted (a prefix or a tuple)."""
        self.process.stdin.write(command.encode() + b"\n")
        self.process.stdin.flush()
        return self.wait(wanted, timeout)

    def wait(self, wanted, timeout=30.0):
        deadline = time.monotonic() + timeout
        while True:
            while b"\n" in self.pending:
                line, self.pending = self.pending.split(b"\n", 1)
                self.lines.append(line.decode())
                if self.lines[-1].startswith(wanted):
                    return self.lines[-1]
            left = deadline - time.monotonic()
            if left < 0 or not select.select([self.process.stdout], [], [], left)[0]:
                self.case.fail(f"the probe never printed {wanted!r}; it printed {self.lines}")
            chunk = os.read(self.process.stdout.fileno(), 65536)
            if not chunk:
                self.case.fail(f"the probe ended: {self.lines}, {self.process.stderr.read()!r}")
            self.pending += chunk

    def reports(self):
        return [line for line in self.lines if line.startswith("report ")]


class Shot:
    """An xwd screenshot of the root window, read as XWD: pixels of 32 bits, as Xvfb keeps them at depth 24."""

    def __init__(self, display):
        data = subprocess.run([PROGRAMS["xwd"], "-root", "-silent", "-display", display], capture_output=True,
                              check=True, timeout=30).stdout
        header = struct.unpack(">25I", data[:100])
        size, self.width, self.height, order, bits, self.line = header[0], header[4], header[5], header[7], \
            header[11], header[12]
        assert bits == 32, f"xwd gave {bits} bits a pixel"
        self.lsb = order == 0
        self.pixels = data[size + header[19] * 12:]

    def rgb(self, x, y):
        at = y * self.line + x * 4
        b, g, r = self.pixels[at:at + 3] if self.lsb else self.pixels[at + 1:at + 4][::-1]
        return (r, g, b)


def placed(style, image, monitor, x, y):
    """The point of the image (a fraction of its width and height) that monitor pixel x, y shows, as feh places
    it; None where it shows black."""
    iw, ih = image
    mw, mh = monitor
    cx, cy = x + 0.5, y + 0.5
    if style == "--bg-scale":
        return cx / mw, cy / mh
    if style == "--bg-tile":
        return (cx % iw) / iw, (cy % ih) / ih
    if style == "--bg-center":
        scale = 1.0
    else:
        scale = (max if style == "--bg-fill" else min)(mw / iw, mh / ih)
    u, v = (cx - (mw - iw * scale) / 2) / (iw * scale), (cy - (mh - ih * scale) / 2) / (ih * scale)
    return (u, v) if 0 <= u < 1 and 0 <= v < 1 else None


def expected_colour(style, image, monitor, x, y):
    point = placed(style, image, monitor, x, y)
    if point is None:
        return (0, 0, 0)
    return QUADRANTS[(2 if point[1] >= 0.5 else 0) + (1 if point[0] >= 0.5 else 0)]


def check_screen(case, shot, style, image, monitors, step=7, margin=3):
    """Compares a grid of the screen's pixels with the placement worked out above, leaving out those within
    margin pixels of an edge between colours, where feh's rounding and the filter's blending are their own."""
    checked = 0
    for y in range(0, shot.height, step):
        for x in range(0, shot.width, step):
            inside = [(mx, my, mw, mh) for _, mx, my, mw, mh in monitors if mx <= x < mx + mw and my <= y < my + mh]
            if not inside:
                case.assertEqual(shot.rgb(x, y), (0, 0, 0), (style, x, y))
                checked += 1
                continue
            mx, my, mw, mh = inside[0]
            colour = lambda px, py: expected_colour(style, image, (mw, mh), px - mx, py - my)
            wanted = colour(x, y)
            near = {colour(min(max(px, mx), mx + mw - 1), min(max(py, my), my + mh - 1))
                    for px in (x - margin, x + margin) for py in (y - margin, y + margin)}
            if near != {wanted}:
                continue
            seen = shot.rgb(x, y)
            case.assertTrue(all(abs(a - b) <= 8 for a, b in zip(seen, wanted)), (style, x, y, seen, wanted))
            checked += 1
    case.assertGreater(checked, shot.width * shot.height // step // step // 2, style)


def root_pixmaps(display):
    """_XROOTPMAP_ID and ESETROOT_PMAP_ID as xprop reads them (None when unset)."""
    listed = subprocess.run([PROGRAMS["xprop"], "-display", display, "-root", "_XROOTPMAP_ID", "ESETROOT_PMAP_ID"],
                            capture_output=True, text=True, check=True, timeout=30).stdout.splitlines()
    return tuple(int(line.rsplit("#", 1)[1], 16) if "#" in line else None for line in listed)


def pixmap_holders(display):
    """{resource base: pixmaps} of every client of the server that holds pixmaps, as xrestop -b counts them."""
    text = subprocess.run([PROGRAMS["xrestop"], "-display", display, "-b", "-m", "1"], capture_output=True, text=True,
                          check=True, timeout=30).stdout
    holders, base = {}, None
    for line in text.splitlines():
        name, _, value = line.strip().partition(":")
        if name.strip() == "res_base":
            base = int(value.strip(), 16)
        elif name.strip() == "pixmaps" and int(value) > 0:
            holders[base] = int(value)
    return holders


def client_of(pixmap):
    """The resource base of the client that made a pixmap: Xvfb gives each client 2**21 ids."""
    return pixmap & ~0x1FFFFF


class Spy:
    """xprop -spy on the root window's _XROOTPMAP_ID, one line for each PropertyNotify (the painter sets it again
    for each frame), `ids` the pixmap each line names; and on a mark that the test sets through the probe."""

    def __init__(self, case, display, probe):
        self.case, self.probe = case, probe
        probe.ask("set-root ZELVO_MARK 0", "set")  # xprop spies only on properties that are there
        self.process = subprocess.Popen([PROGRAMS["xprop"], "-display", display, "-root", "-spy", "_XROOTPMAP_ID",
                                         "ZELVO_MARK"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        case.addCleanup(lambda: (self.process.kill(), self.process.wait(10), self.process.stdout.close()))
        self.pending, self.ids, self.marks = b"", [], []
        self.read(lambda: self.ids and self.marks)  # the values as they are
        # xprop listens from some moment after it printed them, which only a mark that it tells of shows.
        for _ in range(30):
            if len(self.marks) < 2:
                probe.ask("set-root ZELVO_MARK 0", "set")
                self.read(lambda: len(self.marks) >= 2, 1.0, required=False)
        if len(self.marks) < 2:
            case.fail("xprop -spy told of no change")

    def read(self, done, timeout=30.0, required=True):
        deadline = time.monotonic() + timeout
        while not done():
            left = deadline - time.monotonic()
            if left < 0 or not select.select([self.process.stdout], [], [], left)[0]:
                if required:
                    self.case.fail(f"xprop -spy printed {len(self.ids)} lines of the root's pixmap and no more")
                return
            chunk = os.read(self.process.stdout.fileno(), 65536)
            if not chunk:
                self.case.fail("xprop -spy ended")
            *lines, self.pending = (self.pending + chunk).split(b"\n")
            for line in lines:
                if line.startswith(b"ZELVO_MARK"):
                    self.marks.append(len(self.ids))
                else:
                    self.ids.append(int(line.rsplit(b"#", 1)[1], 16) if b"#" in line else None)

    def wait(self, count):
        self.read(lambda: len(self.ids) >= count)

    def wait_for_another(self):
        """Waits for a line that names another pixmap than the last: a new change's frame pixmap."""
        last, seen = self.ids[-1], len(self.ids)
        while all(pixmap == last for pixmap in self.ids[seen:]):
            self.wait(len(self.ids) + 1)

    def mark(self):
        """The lines of the root's pixmap that came before a mark set now, on a property of its own."""
        seen = len(self.marks)
        self.probe.ask(f"set-root ZELVO_MARK {seen + 1}", "set")
        return self.read(lambda: len(self.marks) > seen) or self.marks[-1]


OLD = QUADRANTS[::-1]  # the picture a transition starts from, the quad picture (QUADRANTS) its last frame


def frames_fitting(shot, words, frames, candidates, monitors):
    """Of the candidate frames (of `frames` in all), those the screenshot shows on every monitor at once: each
    pixel sampled is the blend (fade), or the new or the old picture on its side of the edge or circle (wipe,
    grow), that the probe's transition words put at that frame's progress, the swapped picture under the quad."""
    kind, options = words.split()[0], dict(word.split("=") for word in words.split()[3:])
    angle = math.radians(float(options.get("angle", 0)))
    at = [float(value) for value in options.get("at", "0.5,0.5").split(",")]
    fitting = []
    for frame in candidates:
        progress, fits = frame / frames, True
        for _, mx, my, mw, mh in monitors:
            corners = [(0, 0), (mw, 0), (0, mh), (mw, mh)]
            reach = [math.cos(angle) * cx + math.sin(angle) * cy for cx, cy in corners]
            offset = min(reach) + progress * (max(reach) - min(reach))
            radius = progress * max(math.hypot(cx - at[0] * mw, cy - at[1] * mh) for cx, cy in corners)
            for y in range(my + 2, my + mh, 7):
                for x in range(mx + 2, mx + mw, 7):
                    u, v = x - mx + 0.5, y - my + 0.5
                    if not fits or abs(u - mw / 2) < 3 or abs(v - mh / 2) < 3:
                        continue  # the quadrants' own edges are the scaling filter's
                    quadrant = (2 if v >= mh / 2 else 0) + (1 if u >= mw / 2 else 0)
                    new, old = QUADRANTS[quadrant], OLD[quadrant]
                    if kind == "fade":
                        wanted = tuple(o + (n - o) * progress for o, n in zip(old, new))
                    else:
                        edge = (math.cos(angle) * u + math.sin(angle) * v - offset if kind == "wipe"
                                else math.hypot(u - at[0] * mw, v - at[1] * mh) - radius)
                        if abs(edge) < 2:
                            continue
                        wanted = new if edge < 0 else old
                    fits = all(abs(a - b) <= 3 for a, b in zip(shot.rgb(x, y), wanted))
        if fits:
            fitting.append(frame)
    return fitting


class XPainterCase(unittest.TestCase):
    def setUp(self):
        self.assertTrue(os.access(PROBE, os.X_OK), f"ZELVO_X_PAINTER_PROBE names no executable: {PROBE!r}")
        missing = [name for name, path in PROGRAMS.items() if path is None]
        self.assertFalse(missing, f"missing programs: {missing}")
        self.top = tempfile.mkdtemp(prefix="zelvo-x-painter-")
        self.addCleanup(shutil.rmtree, self.top)
        self.quad = self.image("quad.png", 200, 100)

    def assert_composed(self, display, x, y, colour, timeout=10.0):
        """Polls until the pixel at (x, y) is colour: a compositor paints the new root picture a frame later."""
        deadline = time.monotonic() + timeout
        while (seen := Shot(display).rgb(x, y)) != colour:
            if time.monotonic() > deadline:
                self.fail(f"the compositor shows {seen} at {x},{y}, not {colour}")
            time.sleep(0.02)

    def image(self, name, width, height, colours=QUADRANTS):
        """An image of four coloured quadrants."""
        path = os.path.join(self.top, name)
        c = ["rgb(%d,%d,%d)" % colour for colour in colours]
        w, h = width // 2, height // 2
        subprocess.run([PROGRAMS["convert"], "-size", f"{w}x{h}", f"xc:{c[0]}", f"xc:{c[1]}", "+append", "(",
                        "-size", f"{w}x{h}", f"xc:{c[2]}", f"xc:{c[3]}", "+append", ")", "-append", path], check=True)
        return path

    def server(self, size=SCREEN, monitors=MONITORS, extra=()):
        server = XServer(self, size=size, extra=extra)
        server.start()
        self.make_monitors(server, monitors)
        return server

    @staticmethod
    def make_monitors(server, monitors):
        for index, (name, x, y, w, h) in enumerate(monitors):
            server.add_monitor(name, f"{w}/100x{h}/75+{x}+{y}", "screen" if index == 0 else "none")

    def probe(self, server, **env):
        probe = Probe(self, server.display, env)
        return probe

    def read_monitors(self, probe, monitors):
        wanted = "monitors %d %s" % (len(monitors), " ".join(f"{w}x{h}+{x}+{y}" for _, x, y, w, h in monitors))
        self.assertEqual(probe.ask("monitors", ("monitors", "unreachable")), wanted)

    def picture(self, probe, name, image, style, monitors):
        targets = " ".join(f"{style}:{w}x{h}" for _, _, _, w, h in monitors)
        line = probe.ask(f"picture {name} {image} {targets}", f"picture {name} ", DEADLINE + 10)
        self.assertTrue(line.startswith(f"picture {name} ok {len(monitors)} "), line)

    def send(self, probe, command):
        probe.process.stdin.write(command.encode() + b"\n")
        probe.process.stdin.flush()

    def start_picom(self, server, probe):
        """picom with its xrender backend, once it has taken the screen."""
        picom = subprocess.Popen([PROGRAMS["picom"], "--backend", "xrender", "--config", "/dev/null"],
                                 env={"DISPLAY": server.display}, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (picom.kill(), picom.wait(10)))
        deadline = time.monotonic() + 30
        while probe.ask("owner _NET_WM_CM_S0", "owner") == "owner 0":
            self.assertLess(time.monotonic(), deadline, "picom never took the screen")
            time.sleep(0.05)

    def wait_for_picom(self, display, point, colour):
        """picom composes the root's pixmap in its own time: screenshots until it shows the colour at the point."""
        deadline = time.monotonic() + 10
        while Shot(display).rgb(*point) != colour:
            self.assertLess(time.monotonic(), deadline, f"picom never showed {colour} at {point}")

    def show(self, probe, name):
        line = probe.ask(f"show {name}", ("shown", "failed"))
        self.assertTrue(line.startswith(SHOWN), line)
        return line.split()


class XPainterTest(XPainterCase):
    def test_each_style_places_the_picture_as_feh_does_through_mit_shm_and_the_same_without(self):
        shots = {}
        for extra, shm in (((), "1"), (("-extension", "MIT-SHM"), "0")):
            server = self.server(extra=extra)
            probe = self.probe(server)
            self.read_monitors(probe, MONITORS)
            for style in STYLES:
                self.picture(probe, style, self.quad, style, MONITORS)
                self.assertEqual(self.show(probe, style)[1:3], [shm, "-"], style)
                shot = Shot(server.display)
                check_screen(self, shot, style, (200, 100), MONITORS)
                shots.setdefault(style, []).append(shot.pixels)
            # Transparent parts are drawn over black, as feh shows them: none, and half, of the red and green.
            see_through = os.path.join(self.top, "alpha.png")
            subprocess.run([PROGRAMS["convert"], "-size", "100x50", "xc:rgba(255,0,0,0)", "xc:rgba(0,255,0,0.5)",
                            "+append", see_through], check=True)
            self.picture(probe, "alpha", see_through, "--bg-scale", MONITORS)
            self.show(probe, "alpha")
            left, right = Shot(server.display).rgb(160, 180), Shot(server.display).rgb(480, 180)
            self.assertEqual(left, (0, 0, 0))
            self.assertTrue(right[0] == right[2] == 0 and abs(right[1] - 128) <= 1, right)
        for style, (through_shm, without) in shots.items():
            self.assertTrue(through_shm == without, f"{style}: the pixels of PutImage differ from MIT-SHM's")

    def test_the_desktop_sees_the_picture_and_the_previous_setters_pixmap_goes_once(self):
        server = self.server()
        # A previous setter that leaves its pixmap for the next one, named by both properties.
        subprocess.run([PROGRAMS["hsetroot"], "-solid", "#336699"], env={"DISPLAY": server.display}, check=True,
                       capture_output=True, timeout=30)
        (hsetroot_pixmap, named_too) = root_pixmaps(server.display)
        self.assertEqual(named_too, hsetroot_pixmap)
        self.assertIn(client_of(hsetroot_pixmap), pixmap_holders(server.display))
        picom = subprocess.Popen([PROGRAMS["picom"], "--backend", "xrender", "--config", "/dev/null"],
                                 env={"DISPLAY": server.display}, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (picom.kill(), picom.wait(10)))
        probe = self.probe(server)
        deadline = time.monotonic() + 30
        while probe.ask("owner _NET_WM_CM_S0", "owner") == "owner 0":
            self.assertLess(time.monotonic(), deadline, "picom never took the screen")
            time.sleep(0.05)
        self.read_monitors(probe, MONITORS)

        swapped = self.image("swapped.png", 200, 100, QUADRANTS[::-1])
        previous = hsetroot_pixmap
        for name, image, colours in (("first", self.quad, QUADRANTS), ("second", swapped, QUADRANTS[::-1])):
            self.picture(probe, name, image, "--bg-scale", MONITORS)
            self.show(probe, name)
            pixmap, esetroot = root_pixmaps(server.display)
            self.assertEqual(esetroot, pixmap)
            holders = pixmap_holders(server.display)
            # The previous setter's pixmap is gone with its client; ours is the one pixmap of its own client.
            self.assertNotIn(client_of(previous), holders)
            self.assertEqual(holders.get(client_of(pixmap)), 1)
            # What picom composes from the new root pixmap is the new picture.
            self.assert_composed(server.display, 80, 45, colours[0])
            previous = pixmap

        # A newer show supersedes one under way, whose answer never comes: one answer, the newer picture.
        answered = len([line for line in probe.lines if line.startswith(("shown", "failed"))])
        holders_before = pixmap_holders(server.display)
        probe.process.stdin.write(b"show second\nshow first\n")
        probe.process.stdin.flush()
        self.assertTrue(probe.wait(("shown", "failed")).startswith(SHOWN), probe.lines[-1])
        self.assert_composed(server.display, 80, 45, QUADRANTS[0])
        self.show(probe, "first")
        self.assertEqual(len([line for line in probe.lines if line.startswith(("shown", "failed"))]), answered + 2)
        last, _ = root_pixmaps(server.display)
        # Of the three shows, only the last pixmap is kept, in place of the one before.
        holders_after = pixmap_holders(server.display)
        self.assertEqual(holders_after.get(client_of(last)), 1)
        self.assertEqual(sum(holders_after.values()), sum(holders_before.values()))
        previous = last

        # A pixmap that only one property names may be another program's: it stays.
        probe.ask(f"set-root ESETROOT_PMAP_ID {0x1234567}", ("set", "unset"))
        self.show(probe, "first")
        self.assertIn(client_of(previous), pixmap_holders(server.display))
        last, _ = root_pixmaps(server.display)
        # The picture stays once zelvo has gone.
        probe.process.stdin.close()
        self.assertEqual(probe.process.wait(10), 0)
        self.assertEqual(root_pixmaps(server.display), (last, last))
        self.assertEqual(Shot(server.display).rgb(80, 45), QUADRANTS[0])


    def test_transitions_are_frames_that_the_server_composes_and_the_last_is_the_new_picture(self):
        server = self.server()
        probe = self.probe(server)
        self.read_monitors(probe, MONITORS)
        swapped = self.image("swapped.png", 200, 100, OLD)
        for name, image in (("old", swapped), ("new", self.quad)):
            self.picture(probe, name, image, "--bg-scale", MONITORS)
        # Caught in a screenshot once `caught` frames are on screen (each 250 ms), then ended by finish_now;
        # under picom, whose own frame may lag the root's, any frame between the first and the last is one.
        slow, caught = " 8000 4 ease=0,0,1,1", 3
        cases = [("fade" + slow, None, False), ("wipe" + slow + " angle=30", None, False),
                 ("wipe" + slow + " angle=180", None, False), ("grow" + slow + " at=0.25,0.75", None, False),
                 # Run to the end: at 60 frames a second, as many as the server allows; on a mode of 30 Hz, 30.
                 ("fade 1000 60 ease=0,0,1,1", 60, False), ("fade 1000 60", 30, False), ("fade" + slow, None, True)]
        for words, asked, picom in cases:
            with self.subTest(words, picom=picom):
                if asked == 30:
                    for args in (("--newmode", "z30", "16.2", "1000", "1010", "1020", "1080", "400", "410", "420", "500"),
                                 ("--addmode", "screen", "z30"), ("--output", "screen", "--mode", "z30")):
                        server.xrandr(*args)
                if picom:
                    self.start_picom(server, probe)
                self.show(probe, "old")
                spy = Spy(self, server.display, probe)
                start = len(spy.ids)
                self.send(probe, f"show new {words}")
                frames = int(words.split()[1]) * int(words.split()[2]) // 1000
                if not asked:
                    # The frame pixmap named as it is, then `caught` frames.
                    spy.wait(start + 1 + caught)
                    candidates = range(1, caught + 4) if picom else range(caught, caught + 4)
                    fitting = frames_fitting(Shot(server.display), words, frames, candidates, MONITORS)
                    self.assertTrue(fitting, "the screenshot is no frame of the transition on both monitors")
                    self.send(probe, "finish")
                line = probe.wait(("shown", "failed"), 30).split()
                self.assertEqual(line[0], "shown", line)
                drawn, asked_for = int(line[4]), int(line[5])
                # Every frame whose time came was asked for, the one finish_now asked for included; a frame is
                # drawn only once the one before is on screen, never more of them than were asked for.
                self.assertTrue(asked_for == asked if asked else caught + 1 <= asked_for < frames, line)
                self.assertTrue(2 <= drawn <= asked_for, line)
                # One property change for the frame pixmap, and one for each frame drawn.
                self.assertEqual(spy.mark() - start, 1 + drawn)
                if picom:
                    self.wait_for_picom(server.display, (80, 45), QUADRANTS[0])
                check_screen(self, Shot(server.display), "--bg-scale", (200, 100), MONITORS)

    def test_a_show_during_a_transition_starts_from_the_screen_and_nothing_queues(self):
        for case in (self.a_show_mid_fade_starts_from_the_frame_on_screen, self.thirty_shows_in_a_second_end_on_the_last,
                     self.monitors_removed_added_and_resized_during_transitions):
            with self.subTest(case.__name__):
                case()

    def red_on_screen(self):
        """A server whose monitors show red, and the probe that showed it, with green and blue made too."""
        server = self.server()
        probe = self.probe(server)
        self.read_monitors(probe, MONITORS)
        for name in ("red", "green", "blue"):
            path = os.path.join(self.top, name + ".png")
            subprocess.run([PROGRAMS["convert"], "-size", "64x36", "xc:" + name.replace("green", "lime"), path], check=True)
            self.picture(probe, name, path, "--bg-scale", MONITORS)
        self.show(probe, "red")
        return server, probe

    def a_show_mid_fade_starts_from_the_frame_on_screen(self):
        server, probe = self.red_on_screen()
        spy = Spy(self, server.display, probe)
        self.send(probe, "show green fade 4000 10 ease=0,0,1,1")
        points = [(320, 180), (790, 200)]
        spy.wait(2 + 16)
        before = [Shot(server.display).rgb(*point) for point in points]
        # Red to green, some 40% of the way, both monitors alike.
        self.assertTrue(all(c[1] >= 90 and c[2] == 0 and abs(c[1] - before[0][1]) <= 3 for c in before), before)
        self.send(probe, "show blue fade 4000 10 ease=0,0,1,1")
        spy.wait_for_another()
        spy.wait(len(spy.ids) + 1)  # the blue show's first frame
        after = [Shot(server.display).rgb(*point) for point in points]
        # From the frame on screen towards blue, never back to red: the green stays, a little less of it.
        for was, now in zip(before, after):
            self.assertTrue(now[1] >= was[1] * 0.8 and now[2] > 0 and now[0] <= was[0] + 3, (before, after))
        self.send(probe, "finish")
        probe.wait(("shown", "failed"))
        # The green show, superseded, never answered: one answer since the red one.
        answers = [line for line in probe.lines if line.startswith(("shown", "failed"))]
        self.assertEqual(len(answers), 2, answers)
        self.assertEqual([Shot(server.display).rgb(*point) for point in points], [(0, 0, 255)] * 2)

    def thirty_shows_in_a_second_end_on_the_last(self):
        server, probe = self.red_on_screen()
        held_before = sum(pixmap_holders(server.display).values())
        descriptors_before = probe.ask("status", "status").split()[1]
        answered = len([line for line in probe.lines if line.startswith(("shown", "failed"))])
        spy = Spy(self, server.display, probe)
        # Each show as soon as the one before names its frame pixmap, its transition under way.
        for name in ["green", "blue", "red"] * 10:
            self.send(probe, f"show {name} fade 1000 30")
            spy.wait_for_another()
        line = probe.wait(("shown", "failed"))
        self.assertTrue(line.startswith(SHOWN), line)
        drawn, asked = map(int, line.split()[4:6])
        self.assertTrue(0 < drawn <= asked == 30, line)
        # One answer for thirty shows: the last one's, on screen, which alone the server keeps for zelvo.
        self.assertEqual(len([line for line in probe.lines if line.startswith(("shown", "failed"))]), answered + 1)
        self.assertEqual([Shot(server.display).rgb(*point) for point in ((320, 180), (790, 200))], [(255, 0, 0)] * 2)
        pixmap, esetroot = root_pixmaps(server.display)
        self.assertEqual(esetroot, pixmap)
        holders = pixmap_holders(server.display)
        self.assertEqual(holders.get(client_of(pixmap)), 1)
        self.assertEqual(sum(holders.values()), held_before, holders)
        self.assertEqual(probe.ask("status", "status").split()[1], descriptors_before)

    def monitors_removed_added_and_resized_during_transitions(self):
        server = self.server()
        probe = self.probe(server)
        self.read_monitors(probe, MONITORS)
        self.picture(probe, "quad", self.quad, "--bg-scale", MONITORS)
        self.show(probe, "quad")
        steps = [("removed", lambda: server.remove_monitor("M1"), [MONITORS[0]]),
                 ("added", lambda: server.add_monitor("M1", "300/100x400/75+640+0", "none"), MONITORS),
                 ("resized", lambda: (server.remove_monitor("M0"), server.add_monitor("M0", "500/100x360/75+0+0", "screen")),
                  [MONITORS[1], ("M0", 0, 0, 500, 360)])]
        monitors = MONITORS
        for name, change, after in steps:
            spy = Spy(self, server.display, probe)
            self.picture(probe, "swapped", self.image("swapped.png", 200, 100, OLD), "--bg-scale", monitors)
            self.send(probe, "show swapped fade 8000 10")
            spy.wait(4)
            change()
            self.read_monitors(probe, after)
            self.picture(probe, name, self.quad, "--bg-scale", after)
            self.send(probe, f"show {name} wipe 8000 10")
            spy.wait_for_another()
            self.send(probe, "finish")
            line = probe.wait(("shown", "failed"))
            self.assertTrue(line.startswith(SHOWN) and line.split()[2] == "-", (name, line))
            check_screen(self, Shot(server.display), "--bg-scale", (200, 100), after)
            monitors = after

    def test_bad_displays_cost_a_show_or_a_connect_and_never_the_loop(self):
        for case in (self.server_killed_and_started_again, self.monitor_resized_after_its_picture,
                     self.two_hundred_shows_on_two_4k_monitors, self.servers_that_never_answer):
            with self.subTest(case.__name__):
                case()

    def server_killed_and_started_again(self):
        server = self.server()
        probe = self.probe(server)
        self.read_monitors(probe, MONITORS)
        self.picture(probe, "quad", self.quad, "--bg-scale", MONITORS)
        self.show(probe, "quad")
        server.kill()
        for _ in range(2):
            self.assertTrue(probe.ask("show quad", ("shown", "failed")).startswith("failed "))
        # Said once, however many shows fail.
        self.assertEqual(probe.reports(), [f"report Zelvo cannot draw on the display {server.display} "
                                           "(no X server accepts the connection) until it is back"])
        server.start()
        self.make_monitors(server, MONITORS)
        self.show(probe, "quad")
        self.assertEqual(probe.reports()[1:], [f"report Zelvo draws on the display {server.display} again"])
        check_screen(self, Shot(server.display), "--bg-scale", (200, 100), MONITORS)

    def monitor_resized_after_its_picture(self):
        server = self.server()
        probe = self.probe(server)
        # Made for M0 at its old size, in the order the monitors take once M0 is made again.
        self.picture(probe, "before", self.quad, "--bg-scale", MONITORS[::-1])
        server.remove_monitor("M0")
        resized = [("M0", 0, 0, 500, 360), MONITORS[1]]
        server.add_monitor("M0", "500/100x360/75+0+0", "screen")
        self.read_monitors(probe, [MONITORS[1], resized[0]])
        # The picture made for the old size is refused: its monitor is black at the new size.
        self.assertEqual(probe.ask("show before", ("shown", "failed")).split()[1:3], ["1", "1"])
        check_screen(self, Shot(server.display), "--bg-scale", (200, 100), [MONITORS[1]])
        self.picture(probe, "after", self.quad, "--bg-scale", [MONITORS[1], resized[0]])
        self.assertEqual(self.show(probe, "after")[2], "-")
        check_screen(self, Shot(server.display), "--bg-scale", (200, 100), resized)

    def two_hundred_shows_on_two_4k_monitors(self):
        monitors = [("K0", 0, 0, 3840, 2160), ("K1", 3840, 0, 3840, 2160)]
        server = self.server(size="7680x2160", monitors=monitors)
        probe = self.probe(server)
        self.read_monitors(probe, monitors)
        self.picture(probe, "quad", self.quad, "--bg-fill", monitors)
        self.assertEqual(probe.ask("repeat quad 20", "repeated"), "repeated 20 20")
        before = probe.ask("status", "status").split()
        self.assertEqual(probe.ask("repeat quad 200", "repeated", 300), "repeated 200 200")
        after = probe.ask("status", "status").split()
        self.assertEqual(after[1], before[1], "descriptors")
        self.assertLess(int(after[2]) - int(before[2]), 1024, "resident memory in KiB")
        # The server holds one pixmap for zelvo: the one on screen.
        pixmap, _ = root_pixmaps(server.display)
        holders = pixmap_holders(server.display)
        self.assertEqual(holders.get(client_of(pixmap)), 1)
        self.assertEqual(sum(holders.values()), 1, holders)

    def servers_that_never_answer(self):
        stopped = XServer(self)
        stopped.start()
        stopped.process.send_signal(signal.SIGSTOP)
        self.addCleanup(lambda: stopped.process and stopped.process.send_signal(signal.SIGCONT))
        # A socket that takes connections into its backlog and never accepts one.
        number = next(n for n in range(900, 1000) if not os.path.exists(f"/tmp/.X11-unix/X{n}"))
        listener = socket.socket(socket.AF_UNIX)
        listener.bind(f"/tmp/.X11-unix/X{number}")
        self.addCleanup(os.unlink, f"/tmp/.X11-unix/X{number}")
        self.addCleanup(listener.close)
        listener.listen(8)
        probe = self.probe(stopped)
        for display in (stopped.display, f":{number}"):
            reason, milliseconds, ticks = probe.ask(f"connect {display}", "connect ").rsplit(" ", 2)
            self.assertEqual(reason, "connect failed the X server did not answer in time")
            # At the deadline (libevent times it from the loop's cached clock, a hair before the call).
            self.assertGreaterEqual(float(milliseconds), 1900)
            # The loop ran all along: its timer ticked every 10 ms.
            self.assertGreater(int(ticks), 20, probe.lines[-1])
        stopped.process.send_signal(signal.SIGCONT)
        self.assertTrue(probe.ask(f"connect {stopped.display}", "connect ").startswith("connect ok "))

    def test_bad_images_give_one_complaint_within_the_deadline_and_nothing_else(self):
        self.assertTrue(os.access(HANG, os.R_OK), f"ZELVO_HANG names no library: {HANG!r}")
        huge = pathlib.Path(self.top, "huge.png")
        # A header that claims 100000 x 100000 pixels in a file of seventy bytes.
        chunk = lambda kind, data: struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
        huge.write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 100000, 100000, 8, 2, 0, 0, 0))
                         + chunk(b"IEND", b""))
        photo = os.path.join(self.top, "photo.jpg")
        subprocess.run([PROGRAMS["convert"], "-size", "800x600", "gradient:red-blue", photo], check=True)
        truncated = pathlib.Path(self.top, "truncated.jpg")
        truncated.write_bytes(pathlib.Path(photo).read_bytes()[:4000])
        text = pathlib.Path(self.top, "text.png")
        text.write_text("no image at all\n")
        hanging = os.path.join(self.top, "zelvo-hang.png")
        shutil.copy(self.quad, hanging)
        silent = socket.socket()
        self.addCleanup(silent.close)
        silent.bind(("127.0.0.1", 0))
        silent.listen(8)  # the connection is taken; no answer ever comes
        url = "http://127.0.0.1:%d/wallpaper.png" % silent.getsockname()[1]
        unreadable, overran = "it cannot be read as an image", f"reading it took longer than {DEADLINE} seconds"
        cases = {"huge": (huge, [unreadable]), "truncated": (truncated, [unreadable]), "text": (text, [unreadable]),
                 "hanging": (hanging, [overran]), "url": (url, ["fetching it failed: ", overran])}

        server = self.server()
        probe = self.probe(server, LD_PRELOAD=HANG, ASAN_OPTIONS="verify_asan_link_order=0")
        baseline = probe.ask("status", "status").split()[1]
        started = time.monotonic()
        for name, (image, _) in cases.items():
            probe.process.stdin.write(f"picture {name} {image} --bg-fill:640x360 --bg-max:300x400\n".encode())
        probe.process.stdin.flush()
        for _ in cases:
            probe.wait("picture ", DEADLINE + 10)
        self.assertLess(time.monotonic() - started, DEADLINE + 10)
        answers = [line for line in probe.lines if line.startswith("picture ")]
        self.assertEqual(len(answers), len(cases), answers)
        for line in answers:
            name = line.split()[1]
            image, reasons = cases[name]
            head = f"picture {name} complaint Zelvo gave up on the picture of {image}: "
            self.assertTrue(line.startswith(head) and line[len(head):].startswith(tuple(reasons)), line)
        self.assertTrue(list(pathlib.Path(self.top).glob("zelvo-hang.png.hanging-*")), "the decoder never hung")
        # Nothing is left of the steps: no worker, and no descriptor beyond those before.
        deadline = time.monotonic() + 10
        children = pathlib.Path(f"/proc/{probe.process.pid}/task/{probe.process.pid}/children")
        while children.read_text().split():
            self.assertLess(time.monotonic(), deadline, children.read_text())
            time.sleep(0.05)
        self.assertEqual(probe.ask("status", "status").split()[1], baseline)

    def test_the_connector_offers_the_cookie_that_the_authority_file_keeps_for_the_display(self):
        cookie = os.urandom(16)
        server = XServer(self, auth=write_xauthority(os.path.join(self.top, "cookie"), cookie))
        server.start()
        number = server.display[1:].encode()

        def local(name, entry_number, data):
            """A file whose one entry is for this host by name (FamilyLocal), as xauth writes them."""
            counted = lambda field: struct.pack(">H", len(field)) + field
            path = os.path.join(self.top, name)
            pathlib.Path(path).write_bytes(struct.pack(">H", 256) + counted(socket.gethostname().encode()) +
                                           counted(entry_number) + counted(b"MIT-MAGIC-COOKIE-1") + counted(data))
            return path
        refused = "connect failed no X server accepts the connection "
        cases = [(write_xauthority(os.path.join(self.top, "wild"), cookie), "connect ok "),
                 (local("local", number, cookie), "connect ok "),
                 (local("other-display", number + b"0", cookie), refused),
                 (write_xauthority(os.path.join(self.top, "wrong"), os.urandom(16)), refused)]
        for authority, wanted in cases:
            probe = self.probe(server, XAUTHORITY=authority)
            self.assertTrue(probe.ask(f"connect {server.display}", "connect ").startswith(wanted), (authority, probe.lines))

if __name__ == "__main__":
    unittest.main()
