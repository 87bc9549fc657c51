#!/usr/bin/env python3
"""The daemon with viewer = "desktop": GNOME, Budgie, Cinnamon and MATE through the real dconf database of a
private session bus, read back by gsettings in a second process; Xfce's xfdesktop, MATE's caja and LXQt's
pcmanfm-qt drawing on Xvfb; Plasma's scripting and the bad inputs through stand-ins. The desktops' packages
are installed here when missing."""
import ast, http.server, os, pathlib, select, shutil, signal, subprocess, threading, time, urllib.parse

from harness import ZelvoCase, libconfig_text, make_solid_images, records
from xserver import START_SECONDS, XServer, die_with_parent

# Each program the module runs, and the package that brings it; the schemas and dconf's GSettings backend too.
PACKAGES = {"gsettings": "libglib2.0-bin", "dconf": "dconf-cli", "dbus-daemon": "dbus-daemon", "dbus-send": "dbus-bin",
            "xfdesktop": "xfdesktop4", "xfconf-query": "xfconf", "caja": "caja", "pcmanfm-qt": "pcmanfm-qt"}
DATA = ["gsettings-desktop-schemas", "cinnamon-desktop-data", "mate-desktop-common", "dconf-gsettings-backend",
        "xserver-xorg-core", "xserver-xorg-video-dummy"]
# Names that each tool has a syntax of its own for, in byte order, as the daemon takes them with order = "name".
NAMES = [b"-dash.png", b"100%.png", b"a b.png", b"it's \"quoted\".png", b"new\nline.png", b"\xff\xfe.png"]
STARTED = "Zelvo sets the wallpaper through the settings of {} (XDG_CURRENT_DESKTOP is {})"
SKIP = "SIGUSR1 has been recived: skiping ahead"


def installed(package):
    done = subprocess.run(["dpkg-query", "-W", "-f=${Status}", package], capture_output=True, text=True)
    return done.stdout.endswith(" installed")


def install_desktops(case):
    """Installs whatever package of PACKAGES and DATA is missing, or fails naming them."""
    missing = [package for package in [*PACKAGES.values(), *DATA] if not installed(package)]
    if not missing:
        return
    env = {**os.environ, "DEBIAN_FRONTEND": "noninteractive"}
    subprocess.run(["apt-get", "update", "-qq"], env=env, capture_output=True)
    done = subprocess.run(["apt-get", "install", "-y", "-qq", "--no-install-recommends", *missing], env=env,
                          capture_output=True, text=True)
    if done.returncode != 0:
        case.fail(f"the desktops' tests need the packages {missing}: {done.stderr[-400:]}")


# Xorg's dummy driver: outputs that GTK takes for monitors, as it does not Xvfb's made by RandR alone.
DUMMY_CONFIG = """Section "Device"
  Identifier "dummy"
  Driver "dummy"
  VideoRam 16384
  Option "Monitor-DUMMY0" "monitor"
EndSection
Section "Monitor"
  Identifier "monitor"
  HorizSync 5.0-1000.0
  VertRefresh 5.0-200.0
  Modeline "320x240" 6.0 320 336 368 400 240 243 247 250
  Option "PreferredMode" "320x240"
EndSection
Section "Screen"
  Identifier "screen"
  Device "dummy"
  Monitor "monitor"
  DefaultDepth 24
  SubSection "Display"
    Depth 24
    Virtual 640 240
  EndSubSection
EndSection
"""


class DummyXorg(XServer):
    """Xorg with the dummy driver in place of Xvfb, its outputs DUMMY0 and DUMMY1 side by side, 320x240 each."""

    def launch(self, number):
        config, log = self.case.path("xorg.conf"), self.case.path("xorg.log")
        pathlib.Path(config).write_text(DUMMY_CONFIG)
        read, write = os.pipe()
        self.process = subprocess.Popen([shutil.which("Xorg"), f":{number}", "-displayfd", str(write), "-noreset",
                                         "-nolisten", "tcp", "-config", config, "-logfile", log], pass_fds=[write],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                        preexec_fn=die_with_parent)
        os.close(write)
        with os.fdopen(read, "rb") as pipe:
            if not (select.select([pipe], [], [], START_SECONDS)[0] and pipe.read() == b"%d\n" % number):
                self.kill()
                return False
        self.number = number
        self.xrandr("--newmode", "dummy", "6.0", "320", "336", "368", "400", "240", "243", "247", "250")
        self.xrandr("--addmode", "DUMMY1", "dummy")
        self.xrandr("--output", "DUMMY1", "--mode", "dummy", "--right-of", "DUMMY0")
        return True


def file_uri(path):
    return "file://" + urllib.parse.quote(path, safe="/")


class DesktopCase(ZelvoCase):
    def setUp(self):
        super().setUp()
        install_desktops(self)
        self.folder = os.path.join(self.home, ".zelvo", "desktop")

    def tearDown(self):
        # The desktops' programs and the bus go before their HOME does.
        self.doCleanups()
        super().tearDown()

    def session(self, display=None, search_path=None):
        """A private session bus, whose activated services (dconf, xfconfd) live in this HOME; gives the
        environment of the daemon and of the desktop's programs."""
        env = {"HOME": self.home, "PATH": search_path or self.search_path, "XDG_RUNTIME_DIR": self.runtime}
        if display:
            env["DISPLAY"] = display
        bus = subprocess.Popen([shutil.which("dbus-daemon"), "--session", "--nofork", "--print-address=1"], env=env,
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, preexec_fn=die_with_parent)
        self.addCleanup(lambda: (bus.kill(), bus.wait(), bus.stdout.close()))
        env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().decode().strip()
        return env

    def run_program(self, argv, env):
        program = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, preexec_fn=die_with_parent)
        self.addCleanup(lambda: (program.kill(), program.wait()))
        return program

    def start_on(self, env, desktop, settings, name):
        """The daemon with viewer = "desktop" on XDG_CURRENT_DESKTOP=desktop; checks the line that names it."""
        self.write_config({"viewer": "desktop", "order": "name", "minutes": 600, **settings})
        pid = self.start_daemon(env={**env, "XDG_CURRENT_DESKTOP": desktop})
        self.addCleanup(lambda: pid in self.children(live=True) and self.stop_daemon(pid))
        self.assert_notices(self.messages(1), pid, STARTED.format(name, desktop))
        return pid

    def kept(self):
        """What the daemon keeps in its folder of copies and links."""
        return os.listdir(self.folder) if os.path.isdir(self.folder) else []

    def stop(self, pid):
        self.assertEqual(os.WEXITSTATUS(self.stop_daemon(pid)), 0)
        self.assert_notices(self.messages(1), pid, "Zelvo has quit")

    def skip_ahead(self, pid):
        os.kill(pid, signal.SIGUSR1)
        self.assert_notices(self.messages(1), pid, SKIP)

    def images(self, names, colours=("red", "lime", "blue", "yellow", "magenta", "cyan")):
        """One solid image for each name (bytes), in a folder of their own; gives their paths as bytes."""
        made = make_solid_images(self.path("made"), colours[:len(names)])
        os.makedirs(self.path("images"), exist_ok=True)
        paths = [os.path.join(os.fsencode(self.path("images")), name) for name in names]
        for source, target in zip(made, paths):
            os.rename(source, target)
        return paths


class SettingsTest(DesktopCase):
    def test_gnome_budgie_cinnamon_and_mate_take_every_name_and_keep_nothing_else(self):
        paths = self.images(NAMES)
        # dconf alone, where gsettings is not on the search path.
        only_dconf = self.path("dconf-only")
        os.mkdir(only_dconf)
        for program in ("dconf", "sh"):
            os.symlink(shutil.which(program), os.path.join(only_dconf, program))
        # (XDG_CURRENT_DESKTOP, its name, search path, schema, the picture's key, the picture-options it has)
        desktops = [("ubuntu:GNOME", "GNOME", None, "org.gnome.desktop.background", "picture-uri", "'scaled'"),
                    ("Budgie:GNOME", "Budgie", only_dconf, "org.gnome.desktop.background", "picture-uri", "'scaled'"),
                    ("X-Cinnamon", "Cinnamon", None, "org.cinnamon.desktop.background", "picture-uri", "'scaled'"),
                    ("MATE", "MATE", None, "org.mate.background", "picture-filename", "'scaled'")]
        for desktop, name, search_path, schema, key, fit in desktops:
            with self.subTest(desktop):
                env = self.session(search_path=search_path)
                read = lambda key: subprocess.run(["gsettings", "get", schema, key], env={**env, "PATH": "/usr/bin:/bin"},
                                                  capture_output=True, check=True).stdout.decode("utf-8", "replace")
                pid = self.start_on(env, desktop, {"default": [self.path("images")], "bg-style": "--bg-max"}, name)
                for at, path in enumerate(paths):
                    if at:
                        self.skip_ahead(pid)
                    if key == "picture-uri":
                        # GNOME's dark style shows the same picture, set last.
                        last = "picture-uri" if name == "Cinnamon" else "picture-uri-dark"
                        expected = repr(file_uri(path))
                        self.poll(lambda: read(last).strip() == expected, f"set {path} on {desktop}")
                        self.assertEqual(read(key).strip(), expected)
                        continue
                    # MATE takes a UTF-8 name as it is, and another through a link of a plain name.
                    def mate_shows(path=path):
                        value = ast.literal_eval(read(key).strip())
                        if b"\xff" not in path:
                            return value == os.fsdecode(path) and value
                        linked = os.path.dirname(value) == self.folder and os.path.islink(value)
                        return linked and os.readlink(value) == os.fsdecode(path) and value
                    shown = self.poll(mate_shows, f"set {path} on {desktop}")
                self.assertEqual(read("picture-options").strip(), fit)
                self.stop(pid)
                # The link the setting points at stays after the daemon, for the next login; nothing else is kept.
                self.assertEqual(self.kept(), [os.path.basename(shown)] if name == "MATE" else [])


class DrawingTest(DesktopCase):
    def test_xfce_mate_and_lxqt_draw_each_change_over_the_root_window(self):
        # A name each tool takes as it is, and one that is not UTF-8, which some take through a link.
        self.images([b"-a it's \"q\" 100%.png", b"b new\n\xff.png"], ("red", "blue"))
        # (XDG_CURRENT_DESKTOP, its name, the desktop's own program, what tells that it has read its settings)
        xfdesktop_ready = lambda env: "/last-image" in subprocess.run(
            ["xfconf-query", "-c", "xfce4-desktop", "-l"], env=env, capture_output=True, text=True).stdout
        owner = lambda name: lambda env: b"boolean true" in subprocess.run(
            ["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
             "org.freedesktop.DBus.NameHasOwner", f"string:{name}"], env=env, capture_output=True).stdout
        desktops = [("XFCE", "Xfce", ["xfdesktop", "--disable-wm-check"], xfdesktop_ready),
                    # caja writes back what it reads (a default picture that is missing becomes none) before
                    # it draws its desktop.
                    ("MATE", "MATE", ["caja", "-n", "--force-desktop"],
                     lambda env: owner("org.mate.Caja")(env) and server.colour_at(middle) != blank),
                    # pcmanfm-qt hands --set-wallpaper to the desktop that owns this name.
                    ("LXQt", "LXQt", ["pcmanfm-qt", "--desktop", "--profile=lxqt"], owner("org.pcmanfm.PCManFM"))]
        middle = "40x40+140+100"
        for desktop, name, program, ready in desktops:
            with self.subTest(desktop):
                server = XServer(self, size="320x240")
                env = self.session(server.start())
                blank = server.colour_at(middle)
                self.run_program(program, env)
                self.poll(lambda: ready(env), f"saw {name} ready")
                pid = self.start_on(env, desktop, {"default": [self.path("images")], "monitors": "auto"}, name)
                server.wait_colours({middle: "#ff0000"}, timeout=30)
                self.skip_ahead(pid)
                server.wait_colours({middle: "#0000ff"}, timeout=30)
                self.stop(pid)
                server.kill()

    def test_xfce_gives_each_monitor_its_own_picture_by_its_name(self):
        images = [os.fsdecode(path) for path in self.images([b"a.png", b"b.png", b"c.png", b"d.png"])]
        server = DummyXorg(self)
        env = self.session(server.start())
        self.assertEqual([name for name, _ in server.monitors()], ["DUMMY0", "DUMMY1"])
        self.run_program(["xfdesktop", "--disable-wm-check"], env)
        self.poll(lambda: "monitorDUMMY1/workspace0/last-image" in subprocess.run(
            ["xfconf-query", "-c", "xfce4-desktop", "-l"], env=env, capture_output=True, text=True).stdout,
                  "saw xfdesktop ready")
        pid = self.start_on(env, "XFCE", {"default": images, "monitors": "auto"}, "Xfce")
        left, right = "40x40+140+100", "40x40+460+100"
        server.wait_colours({left: "#ff0000", right: "#00ff00"}, timeout=30)
        self.skip_ahead(pid)
        server.wait_colours({left: "#0000ff", right: "#ffff00"}, timeout=30)
        self.stop(pid)


def shown_uris(program):
    """The pictures that the gsettings stand-in was given, one for each picture-uri-dark, the last of a change."""
    return [urllib.parse.unquote_to_bytes(start["argv"][4][len("'file://"):-1]) for start in records(program)
            if start["argv"][3] == "picture-uri-dark"]


class StandInTest(DesktopCase):
    def setUp(self):
        super().setUp()
        self.gsettings = os.path.join(self.bin, "gsettings")
        self.recorder = self.install_recorder("recorder")
        self.env = {"HOME": self.home, "PATH": self.search_path, "XDG_RUNTIME_DIR": self.runtime}

    def stand_in(self, path, script):
        """A shell stand-in at path, put in place whole (never a half-written program)."""
        pathlib.Path(path + ".new").write_text("#!/bin/sh\n" + script.replace("RECORDER", self.recorder))
        os.chmod(path + ".new", 0o755)
        os.rename(path + ".new", path)

    def test_plasma_is_asked_again_until_its_desktop_is_ready_and_each_screen_gets_its_picture_and_fit(self):
        paths = self.images([b"a it's.png", b"b\nnew.png"], ("red", "blue"))
        standin = os.path.join(self.bin, "dbus-send")
        # plasmashell owns its name before it has a desktop: twice, the script fails.
        self.stand_in(standin, 'count=$(cat "$0.count" 2>/dev/null || echo 0)\necho $((count + 1)) > "$0.count"\n'
                               '[ "$count" -ge 2 ] || exit 1\nexec RECORDER "$@"\n')
        pid = self.start_on(self.env, "KDE", {"default": [self.path("images")], "monitors": 2,
                                              "bg-style": "--bg-center"}, "KDE Plasma")
        [start] = self.wait_records(self.recorder, 1)
        self.assertEqual(pathlib.Path(standin + ".count").read_text(), "3\n")
        self.assertEqual(start["argv"][1:-1], ["--session", "--print-reply", "--dest=org.kde.plasmashell", "/PlasmaShell",
                                               "org.kde.PlasmaShell.evaluateScript"])
        images = ",".join(f"'{file_uri(path)}'" for path in paths)
        self.assertTrue(start["argv"][-1].startswith(f"string:var images = [{images}];\nvar fits = [6,6];\n"),
                        start["argv"][-1])
        # Not a line of the two that came too early.
        self.stop(pid)

    def test_a_storm_of_changes_runs_one_tool_at_a_time_and_leaves_the_last_picture_set(self):
        paths = self.images([b"a.png", b"b.png", b"c.png", b"d.png"])
        self.stand_in(self.gsettings, '[ -e "$0.busy" ] && : > "$0.overlap"\n: > "$0.busy"\nsleep 0.1\n'
                                      'rm -f "$0.busy"\nexec RECORDER "$@"\n')
        pid = self.start_on(self.env, "GNOME", {"default": [self.path("images")]}, "GNOME")
        # Each line is taken as it comes: the syslog socket holds few.
        begun = time.monotonic()
        for _ in range(30):
            self.assertEqual(self.zelvoctl("next").status, 0)
            self.assert_notices(self.messages(1), pid, SKIP)
        # Faster than one run of the tool each, even on a loaded machine: changes come while it runs.
        self.assertLess(time.monotonic() - begun, 3.0, "the changes were asked for too slowly to make a storm")
        self.poll(lambda: shown_uris(self.recorder)[-1:] == [paths[30 % 4]], "set the last picture")
        current = self.zelvoctl("current")
        self.assertEqual(current.out.rstrip(b"\n"), paths[30 % 4])
        self.stop(pid)
        self.assertFalse(os.path.exists(self.gsettings + ".overlap"), "two tools ran at once")
        self.assertLess(len(records(self.recorder)), 3 * 31 // 2, "the changes were not coalesced")

    def test_an_unknown_desktop_or_a_missing_failing_or_hanging_tool_costs_one_line_and_the_next_change_works(self):
        paths = self.images([b"a.png", b"b.png", b"c.png"])
        self.write_config({"viewer": "desktop", "default": [self.path("images")]})
        # (XDG_CURRENT_DESKTOP, or none, the line that refuses the start)
        works = '(viewer = "feh" or "zelvo" shows wallpapers on X, viewer = "swaybg" or "zelvo" on sway)'
        for desktop, line in [(None, f"Zelvo cannot set the wallpaper through the desktop: XDG_CURRENT_DESKTOP is not "
                                     f"set {works}"),
                              ("sway:wlroots", 'Zelvo cannot set the wallpaper through the desktop "sway:wlroots": it '
                                               f"knows GNOME, Budgie, Cinnamon, MATE, XFCE, LXQt and KDE {works}")]:
            result = self.run_zelvo(env=self.env if desktop is None else {**self.env, "XDG_CURRENT_DESKTOP": desktop})
            self.assertEqual((result.status, result.out, result.err), (1, b"", line.encode() + b"\r\n"))
        self.assertEqual(os.listdir(self.runtime), [], "a refused start left something behind")
        # (the tool's stand-in, or none when it is gone, the line it costs)
        tools = [(None, f"Zelvo could not start {self.gsettings} to set the wallpaper of GNOME: No such file or directory"),
                 ("exit 3\n", "Zelvo could not set the wallpaper of GNOME: gsettings ended with status 3"),
                 # Ignored signals stay ignored across exec: only SIGKILL of its group ends it.
                 ("trap '' TERM\nexec sleep 600\n", "Zelvo ended gsettings, which took longer than 10 seconds to set "
                                                    "the wallpaper of GNOME")]
        for script, line in tools:
            with self.subTest(line):
                self.stand_in(self.gsettings, 'exec RECORDER "$@"\n')
                before = len(shown_uris(self.recorder))
                pid = self.start_on(self.env, "GNOME", {"default": [self.path("images")]}, "GNOME")
                self.poll(lambda: len(shown_uris(self.recorder)) == before + 1, "set the first picture")
                if script is None:
                    os.unlink(self.gsettings)
                else:
                    self.stand_in(self.gsettings, script)
                os.kill(pid, signal.SIGUSR1)
                self.assert_notices(self.messages(2, timeout=20), pid, SKIP, line)
                self.stand_in(self.gsettings, 'exec RECORDER "$@"\n')
                self.skip_ahead(pid)
                self.poll(lambda: shown_uris(self.recorder)[before:] == [paths[0], paths[2]], "set the next picture")
                self.stop(pid)

    def test_a_url_is_set_from_a_copy_that_outlives_the_daemon_and_one_that_never_answers_holds_up_nothing(self):
        [red] = self.images([b"a.png"])
        served, release = self.path("served"), threading.Event()
        os.mkdir(served)
        shutil.copy(red, os.path.join(served, "photo.png"))
        self.addCleanup(release.set)

        class Handler(http.server.SimpleHTTPRequestHandler):
            def __init__(self, *args, **kwargs):
                super().__init__(*args, directory=served, **kwargs)

            def do_GET(self):
                if self.path == "/silent":
                    release.wait(60)  # a server that never answers
                    return
                super().do_GET()

            def log_message(self, *_):
                pass

        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        self.addCleanup(server.server_close)
        self.addCleanup(server.shutdown)
        url = f"http://127.0.0.1:{server.server_address[1]}/"
        self.stand_in(self.gsettings, 'exec RECORDER "$@"\n')
        # By name: the file, then the photo, then the URL that never answers.
        pid = self.start_on(self.env, "GNOME", {"default": [os.fsdecode(red), url + "photo.png", url + "silent"]}, "GNOME")
        copies, changes = [], [red, "copy", None, red, "copy"]
        for change, expected in enumerate(changes):
            if change:
                self.skip_ahead(pid)
            if expected is None:
                continue
            count = len([shown for shown in changes[:change + 1] if shown is not None])
            shown = self.poll(lambda: len(found := shown_uris(self.recorder)) == count and found[-1],
                              f"showed change {change}")
            if expected == "copy":
                self.assertEqual(os.path.dirname(shown), os.fsencode(self.folder))
                self.assertEqual(pathlib.Path(os.fsdecode(shown)).read_bytes(), pathlib.Path(os.fsdecode(red)).read_bytes())
                copies.append(shown)
            else:
                self.assertEqual(shown, red)
                # Once the desktop no longer points at it, a copy goes, and so does the one never finished.
                self.poll(lambda: self.kept() == [], "removed the copies no longer pointed at")
        self.stop(pid)
        # The copy the desktop points at stays for the next login.
        self.assertEqual(self.kept(), [os.path.basename(os.fsdecode(copies[-1]))])
        self.assertNotEqual(copies[0], copies[1])
