#!/usr/bin/env python3
"""The daemon with viewer = "desktop": GNOME, Budgie, Cinnamon and MATE through the real dconf database of a
private session bus, read back by gsettings in a second process; Xfce's xfdesktop, MATE's caja and LXQt's
pcmanfm-qt drawing on Xvfb; Plasma's scripting and the bad inputs through stand-ins. The desktops' packages
are installed here when missing."""
import ast, os, pathlib, shutil, signal, socket, subprocess, threading, time, urllib.parse

from harness import ZelvoCase, libconfig_text, make_solid_images, records
from xserver import XServer, die_with_parent

# Each program the module runs, and the package that brings it; the schemas and dconf's GSettings backend too.
PACKAGES = {"gsettings": "libglib2.0-bin", "dconf": "dconf-cli", "dbus-daemon": "dbus", "xfdesktop": "xfdesktop4",
            "xfconf-query": "xfconf", "caja": "caja", "pcmanfm-qt": "pcmanfm-qt"}
DATA = ["gsettings-desktop-schemas", "cinnamon-desktop-data", "mate-desktop-common", "dconf-gsettings-backend"]
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
                kept = os.listdir(self.folder) if os.path.isdir(self.folder) else []
                self.assertEqual(kept, [os.path.basename(shown)] if name == "MATE" else [])


class DrawingTest(DesktopCase):
    def test_xfce_mate_and_lxqt_draw_each_change_over_the_root_window(self):
        red, blue = (os.fsdecode(path) for path in self.images([b"a red.png", b"b blue.png"], ("red", "blue")))
        # (XDG_CURRENT_DESKTOP, its name, the desktop's own program, what tells that it has read its settings)
        xfdesktop_ready = lambda env: "/last-image" in subprocess.run(
            ["xfconf-query", "-c", "xfce4-desktop", "-l"], env=env, capture_output=True, text=True).stdout
        desktops = [("XFCE", "Xfce", ["xfdesktop", "--disable-wm-check"], xfdesktop_ready),
                    ("MATE", "MATE", ["caja", "-n", "--force-desktop"], None),
                    ("LXQt", "LXQt", ["pcmanfm-qt", "--desktop", "--profile=lxqt"], None)]
        middle = "40x40+140+100"
        for desktop, name, program, ready in desktops:
            with self.subTest(desktop):
                server = XServer(self, size="320x240")
                env = self.session(server.start())
                self.run_program(program, env)
                if ready:
                    self.poll(lambda: ready(env), f"saw {name} ready")
                pid = self.start_on(env, desktop, {"default": [red, blue], "monitors": "auto"}, name)
                server.wait_colours({middle: "#ff0000"}, timeout=30)
                self.skip_ahead(pid)
                server.wait_colours({middle: "#0000ff"}, timeout=30)
                self.stop(pid)
                server.kill()
