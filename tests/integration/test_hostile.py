#!/usr/bin/env python3
"""Hostile inputs for the real binary: broken, bomb-sized and strangely named images, deep and
wide directories, a huge list file, sources and settings of the wrong type, files that change
under the running daemon, strange names for the hook and the exports, hooks that never end or do not
exist, and terminals that are not the user's or nobody reads. After each one the daemon still runs and
still changes wallpapers."""
import contextlib, json, os, pathlib, re, resource, select, shutil, signal, struct, subprocess, sys, threading, time, unittest, zlib

from harness import BINARY, child_programs, block_colours, hex_colour, make_block_image, make_solid_images, namespace_command, near, \
    proc_status, records
from test_colours import DEFAULT_FILE, MIDS, entries_of, palette_colours, sourced, terminal_colours
from test_cycle import BACK, NO_BACK, RELOAD, RELOADED, SHUFFLE, SKIP, CycleCase

sys.setrecursionlimit(10000)  # rmtree descends one call a level, and a test nests 2100 levels
HOSTILE_UID = 54350  # a uid of its own, for which file permissions count
BLOCKS = block_colours(0x48, 0xb8)
# The daemon ends a colour step (or the preparing of the next one) after this many seconds.
COLOUR_DEADLINE = 20
COLOUR_LINE = re.compile(r"#define c(\d+) #[0-9a-fA-F]{6}")
# MagickCore also reads the policy files in MAGICK_CONFIGURE_PATH, and the first value of a limit
# wins: this one lifts every limit that a system policy sets, so that only the daemon's own remain.
LOOSE_POLICY = "<policymap>\n" + "".join(f'<policy domain="resource" name="{name}" value="{value}"/>\n' for name, value in [
    ("width", "10MP"), ("height", "10MP"), ("area", "1TP"), ("memory", "1TiB"), ("map", "1TiB"), ("disk", "1PiB")]) + "</policymap>\n"
# Names a stranger may give a wallpaper; a shell that ran one would leave a file "pwned".
STRANGE = [b"a b.png", b"it's \"quoted\".png", b"$(touch pwned).png", b"`touch pwned`.png", b"new\nline.png",
           b"-rf.png", b"\xff\xfe bad.png", b"caf\xc3\xa9.png"]
# A hook that never ends while a test runs (nor long after one that failed), and notes when the hook
# of the change before still runs at its start.
ENDLESS = ('#!/bin/sh\nif [ -s "$0.last" ]; then read -r last _ < "$0.last"; kill -0 "$last" 2>/dev/null && echo "$$" >> "$0.overlaps"; fi\n'
           'echo "$$ $*" > "$0.last"\necho "$$" >> "$0.pids"\nexec sleep 120\n')

# A hook that leaves a program of its own session running, holding what it inherited, and ends.
DETACHING = '#!/bin/sh\necho "$$" >> "$WORK/hooks"\nsetsid sleep 300 </dev/null >/dev/null 2>&1 &\n'
# Runs as the first process of a private pid namespace: starts the daemon, waits until its first
# hook has ended, then starts a stranger (a session leader) on the very next pid after the hook's,
# which is the hook's own once that number is free, and asks for the next change, whose start ends
# the hook of the change before.
PID_WRAP = r"""
set -u
wait_for() { for _ in $(seq 400); do eval "$1" && return 0; sleep 0.05; done; exit 3; }
"$ZELVO" || exit 2
pid_file="$XDG_RUNTIME_DIR/zelvo/:0.pid"
wait_for '[ -s "$WORK/hooks" ]'
read -r hook < "$WORK/hooks"
wait_for 'state=$(cut -d" " -f3 "/proc/$hook/stat" 2>/dev/null); [ "$state" = Z ] || [ -z "$state" ]'
echo $((hook - 1)) > /proc/sys/kernel/ns_last_pid
setsid sleep 300 </dev/null >/dev/null 2>&1 &
stranger=$!
echo "$hook $stranger" > "$WORK/pids"
kill -USR1 "$(cat "$pid_file")"
wait_for '[ "$(wc -l < "$WORK/hooks")" -ge 2 ]'
kill -0 "$stranger" && echo alive > "$WORK/stranger"
kill -TERM "$(cat "$pid_file")"
wait_for '! [ -s "$pid_file" ]'
"""


def fill(descriptor):
    """Writes to a non-blocking descriptor until it takes no more; gives how much it took."""
    taken = 0
    for size in (4096, 1):
        with contextlib.suppress(BlockingIOError):
            while True:
                taken += os.write(descriptor, b"x" * size)
    return taken


def png_bomb(path, width=100000, height=100000):
    """A valid PNG of 70 bytes whose header claims width x height RGB pixels."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    pathlib.Path(path).write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
                                   + chunk(b"IDAT", zlib.compress(b"\0" * 301)) + chunk(b"IEND", b""))


class HostileCase(CycleCase):
    def setUp(self):
        super().setUp()
        self.feh = self.install_recorder("bin/feh-hostile")
        self.colours, self.rc = (pathlib.Path(self.home, ".zelvo", name) for name in ("colors", ".zelvorc"))

    def launch(self, settings, uid=None, cwd=None, env=(), rlimit=None, stdin=subprocess.DEVNULL, binds=()):
        """Starts the daemon like CycleCase.start, but gives start-up as long as it takes and lets
        MagickCore report on standard error; settings may be the whole file as text. Gives the pid."""
        self.configure({"feh-path": self.feh, "dark": True, **({} if isinstance(settings, str) else settings)})
        if isinstance(settings, str):
            self.rc.write_text(settings)
        for path in (self.home, self.rc.parent, self.rc) if uid else ():
            os.chown(path, uid, uid)
        began = time.monotonic()
        done = subprocess.run(namespace_command(self.dev, self.path("log"), [BINARY], "", uid, binds), cwd=cwd,
                              env={**self.env, **dict(env)}, stdin=stdin, capture_output=True,
                              timeout=300, preexec_fn=rlimit and (lambda: resource.setrlimit(*rlimit)))
        self.startup, self.stderr = time.monotonic() - began, done.stderr
        self.assertEqual((done.returncode, done.stdout), (0, b""), done.stderr[-3000:])
        first = self.messages(2, timeout=60)
        self.assert_notices(first, first[0].pid, "Zelvo is inited", "Zelvo is started")
        return first[0].pid

    def change(self, pid, count, number=signal.SIGUSR1, *texts, timeout=10.0):
        """The image entries of change count, as the exact bytes that the viewer got; unless it is the
        start's or number is None, sends number first and expects its log lines texts. The daemon's
        children must end within timeout seconds."""
        if count > 1 and number:
            self.send(pid, [number], *(texts or ["SIGUSR1 has been recived: skiping ahead"]))
        # The recorder writes a byte outside printable ASCII as \u00XX, one character a byte.
        return [entry.encode("latin-1") for entry in self.changes(pid, self.feh, count, timeout)[-1]["argv"][3:]]

    def reload_without_images(self, pid):
        """Sends SIGHUP for a reload that finds no image: it says so and keeps the ring."""
        self.send(pid, [signal.SIGHUP])
        reload, reason, reloaded = self.messages(3)
        self.assertEqual((reload.text, reloaded.text), (RELOAD, RELOADED))
        self.assertIn(str(self.rc), reason.text)

    def colour_file(self):
        """The colour file once a change has written it whole; leaves it stale for the next change."""
        whole = lambda: self.colours.exists() and len(lines := self.colours.read_text().splitlines()) == 16 and all(
            (match := COLOUR_LINE.fullmatch(line)) and match[1] == str(index) for index, line in enumerate(lines)) and lines
        text = "\n".join(self.poll(whole, "writes a whole colour file", 60)) + "\n"
        self.colours.write_text("stale\n")
        return text

    def assert_palette(self, text):
        """The colour file holds the palette of a block image: every unshaped entry is one of its colours."""
        kept = [hex_colour(line.split()[2]) for index, line in enumerate(text.splitlines()) if index not in (7, 8, 15)]
        self.assertTrue(all(near(colour, BLOCKS) for colour in kept), text)

    def blocks(self, *names):
        os.makedirs(os.path.dirname(self.path(*names)), exist_ok=True)
        return make_block_image(self.path(*names), BLOCKS)


class BrokenImageTest(HostileCase):
    def test_broken_images_are_skipped_or_shown_with_the_default_colours(self):
        good = self.blocks("broken", "good.png")
        for name, coder in (("cut.png", "png:-"), ("cut.jpg", "jpg:-")):  # cut in the pixels: the header still pings
            whole = subprocess.run(["convert", good, coder], check=True, capture_output=True).stdout
            pathlib.Path(self.path("broken", name)).write_bytes(whole[:len(whole) // 2])
        pathlib.Path(self.path("broken", "empty.png")).touch()
        pid = self.launch({"colors": True, "pics": [self.path("broken")]})
        walk = [(self.change(pid, count)[0], self.colour_file()) for count in (1, 2, 3, 4)]
        found = dict(walk[:3])
        self.assertEqual((set(found), walk[3][0]), ({os.fsencode(self.path("broken", name))
                                                     for name in ("good.png", "cut.png", "cut.jpg")}, walk[0][0]))
        self.assert_palette(found[os.fsencode(good)])
        self.assertEqual(found[os.fsencode(self.path("broken", "cut.png"))], DEFAULT_FILE)  # its read fails
        self.quit(pid)


class BombTest(HostileCase):
    def test_a_decompression_bomb_is_refused_whatever_the_policy(self):
        good, temporary, policy = self.blocks("bomb", "good.png"), self.path("temporary"), {"MAGICK_CONFIGURE_PATH": self.top}
        os.mkdir(temporary)
        pathlib.Path(self.top, "policy.xml").write_text(LOOSE_POLICY)
        # A span of monitors 16384 wide, one stripe a colour, still gives its palette.
        span, command = self.path("bomb", "span.png"), ["convert", "-size", "16384x64", "xc:black"]
        for index, (red, green, blue) in enumerate(BLOCKS):
            command += ["-fill", f"rgb({red},{green},{blue})", "-draw", f"rectangle {index * 1024},0 {index * 1024 + 1023},63"]
        subprocess.run(command + [span], check=True, env={**os.environ, **policy})
        png_bomb(self.path("bomb", "bomb.png"))
        # Were the bomb read, its pixel cache of 80 GB would fill the disk: this limit ends the daemon at 1 GiB instead.
        pid = self.launch({"colors": True, "pics": [self.path("bomb")]}, rlimit=(resource.RLIMIT_FSIZE, (1 << 30,) * 2),
                          env={**policy, "MAGICK_TEMPORARY_PATH": temporary})
        # Two changes show the two real images and the third the first again: the ping refused the bomb.
        walk = [(self.change(pid, count)[0], self.colour_file()) for count in (1, 2, 3)]
        self.assertEqual((sorted(entry for entry, _ in walk[:2]), walk[2][0]), (sorted(map(os.fsencode, (good, span))), walk[0][0]))
        for _, text in walk:
            self.assert_palette(text)
        # The image of the next change has become the bomb since.
        second = walk[1][0]
        os.rename(second, os.fsencode(self.path("kept.png")))
        os.rename(self.path("bomb", "bomb.png"), second)
        before, began = int(proc_status(pid, "VmHWM").split()[0]), time.monotonic()
        self.assertEqual((self.change(pid, 4), self.colour_file()), ([second], DEFAULT_FILE))
        after = int(proc_status(pid, "VmHWM").split()[0])
        print(f"\nbomb: palette step {time.monotonic() - began:.2f} s; peak memory {before} KiB before it, {after} KiB after")
        self.assertLess(after - before, 64 << 10)
        self.assertLess(after, 512 << 10)
        self.assertEqual(os.listdir(temporary), [])  # no pixel cache went to disk
        os.replace(os.fsencode(self.path("kept.png")), second)
        self.assertEqual(self.change(pid, 5), [walk[0][0]])
        self.assert_palette(self.colour_file())
        self.quit(pid)


class LargeImageTest(HostileCase):
    def test_the_largest_photos_give_their_palettes_through_a_disk_cache(self):
        # 16000 x 4320, too large for the colour step's memory: a JPEG and an RGBA PNG, 8 and 16 bytes a
        # pixel where a quantum is a float. The loose policy only lets convert make them.
        policy = {"MAGICK_CONFIGURE_PATH": self.top}
        pathlib.Path(self.top, "policy.xml").write_text(LOOSE_POLICY)
        os.mkdir(self.path("large"))
        command = ["convert", "-size", "16000x4320", "xc:black"]
        for index, (red, green, blue) in enumerate(BLOCKS):
            x, y = index % 8 * 2000, index // 8 * 2160
            command += ["-fill", f"rgb({red},{green},{blue})", "-draw", f"rectangle {x},{y} {x + 1999},{y + 2159}"]
        jpeg, png = self.path("large", "photo.jpg"), self.path("large", "photo.png")
        subprocess.run(command + ["-quality", "90", jpeg], check=True, env={**os.environ, **policy})
        subprocess.run(command + ["-alpha", "set", "-channel", "A", "-evaluate", "set", "80%", "+channel", "PNG32:" + png],
                       check=True, env={**os.environ, **policy})
        pid = self.launch({"colors": True, "pics": [self.path("large")]})
        walk = []
        for count in (1, 2):
            began = time.monotonic()
            if count > 1:
                self.send(pid, [signal.SIGUSR1], "SIGUSR1 has been recived: skiping ahead")
            text = self.colour_file()  # the colour step may take a good part of its deadline here
            print(f"\nlarge image: colour file {time.monotonic() - began:.2f} s after the change began")
            # The next image's colours are being prepared: that child may take the step's whole deadline.
            walk.append((self.change(pid, count, None, timeout=COLOUR_DEADLINE + 5)[0], text))
        self.assertEqual(sorted(entry for entry, _ in walk), sorted(map(os.fsencode, (jpeg, png))))
        # The PNG is 80% opaque: its colours are those that feh shows, over black.
        shown = {os.fsencode(jpeg): BLOCKS, os.fsencode(png): [tuple(int(c * 0.8) for c in colour) for colour in BLOCKS]}
        for entry, text in walk:
            # Quantizing may blend two blocks into one entry (the default palette has six near them).
            kept = [hex_colour(line.split()[2]) for index, line in enumerate(text.splitlines()) if index not in (7, 8, 15)]
            self.assertGreaterEqual(sum(near(colour, shown[entry]) for colour in kept), 10, text)
        self.quit(pid)


class SourceTest(HostileCase):
    def test_deep_and_wide_directories(self):
        # 2100 levels, with a red image at level 1000 and one at the bottom, whose path is too long to use.
        [red], root, began = make_solid_images(self.path("plain"), ["red"]), self.path("deep"), time.monotonic()
        os.mkdir(root)
        level = os.open(root, os.O_RDONLY)
        for depth in range(1, 2101):
            os.mkdir("d", dir_fd=level)
            level = [os.open("d", os.O_RDONLY, dir_fd=level), os.close(level)][0]
            if depth in (1000, 2100):
                os.link(red, "red.png", dst_dir_fd=level)
        os.close(level)
        wide = self.path("wide")
        os.mkdir(wide)
        pathlib.Path(self.path("note")).write_text("not an image\n")
        for index in range(100000):  # empty files, and links to one small text (a file takes 65000 links at most)
            name = os.path.join(wide, f"{index:06}")
            os.link(self.path("note"), name) if index % 2 else os.close(os.open(name, os.O_CREAT | os.O_WRONLY))
        made = time.monotonic() - began
        images = [root + "/d" * 1000 + "/red.png"] + make_solid_images(wide, ["lime", "blue", "yellow"])
        pid = self.launch({"monitors": 4, "pics": [root, wide]})
        print(f"\nwalk: 2100 levels and 100003 entries made in {made:.1f} s; start-up took {self.startup:.1f} s")
        for count in (1, 2):
            self.assertEqual(sorted(self.change(pid, count)), sorted(map(os.fsencode, images)))
        self.quit(pid)

    def test_huge_list_file_and_sources_that_are_not_strings(self):
        images = self.images(3)
        # Every 25000th element an image; the others numbers, a boolean, a group, a list, missing paths.
        elements = [f'"{images[index // 25000 % 3]}"' if index % 25000 == 0 else
                    ["1", "2.5", "true", '{ a = "b"; }', '( "x" )', f'"{self.path("missing")}/{index}"'][index % 6]
                    for index in range(100000)]
        pathlib.Path(self.path("huge.list")).write_text("default = ( " + ",\n".join(elements) + " );\n")
        # Four monitors show the whole ring at each change: the list file's four images, and nothing from the
        # image in a nested list of the source list.
        rc, ring = f'feh-path = "{self.feh}";\nminutes = 20;\nmonitors = 4;\nsource_to_use = "pics";\npics = ', sorted(
            os.fsencode(image) for image in images + images[:1])
        pid = self.launch(rc + f'( 7, {{ a = 1; }}, ( "{images[0]}" ), [1, 2], true, "{self.path("huge.list")}", 2.5 );\n')
        print(f"\nlist: 100000 elements read in a start-up of {self.startup:.1f} s")
        self.assertEqual(sorted(self.change(pid, 1)), ring)
        self.assertEqual(sorted(self.change(pid, 2, signal.SIGUSR2, SHUFFLE)), ring)
        # Reloads whose sources hold no string, or are no list at all, keep the ring.
        for count, sources in [(3, "( 1, true, { a = 1; }, ( 2 ), [ 3 ] )"), (4, "5")]:
            self.rc.write_text(rc + sources + ";\n")
            self.reload_without_images(pid)
            self.assertEqual(sorted(self.change(pid, count, None)), ring)
        self.quit(pid)

    def test_strange_names_reach_the_viewer_byte_for_byte(self):
        directory, [image] = os.path.realpath(self.path("names")), make_solid_images(self.path("plain"), ["red"])
        os.mkdir(directory)
        names = [b"a b.png", b"new\nline.png", b"-rf.png", b"--help.png", b"\xff\xfe bad.png"]
        for name in names:
            os.link(image, os.path.join(os.fsencode(directory), name))
        # Named directly, relative to the start directory, the dashed ones must not read as options.
        pid = self.launch({"monitors": 7, "pics": [directory, "-rf.png", "--help.png"]}, cwd=directory)
        for count in (1, 2):
            entries = self.change(pid, count)
            relative = sorted(entry for entry in entries if not entry.startswith(b"/"))
            self.assertEqual(sorted(set(entries) - set(relative)), sorted(os.fsencode(directory) + b"/" + name for name in names))
            self.assertEqual([os.path.normpath(entry) for entry in relative], [b"--help.png", b"-rf.png"])
            self.assertFalse(any(entry.startswith(b"-") for entry in entries), entries)
        self.quit(pid)

    def test_every_setting_of_the_wrong_type_takes_its_default_silently(self):
        self.feh, xrdb = self.path("bin", "feh"), self.path("bin", "xrdb")  # the ones on the search path
        [image] = make_solid_images(os.path.join(self.home, ".zelvo", "images"), ["red"])
        pid = self.launch('colors = 1; dark = "yes"; use-xrdb = [ true ]; bg-style = 5; XAUTHORITY = true; DISPLAY = 1.5;\n'
                          'monitors = "2"; feh-path = [ "/none" ]; minutes = "10"; source_to_use = 7;\n'
                          'xrdb-path = { a = 1; }; xrdb-args = "-merge"; xresources = ( 1 );\n', env={"PATH": self.search_path})
        self.assertEqual((self.change(pid, 1), self.stderr), ([os.fsencode(image)], b""))
        [start] = records(self.feh)
        self.assertEqual((start["argv"], start["env"]), (["zelvo-feh", "--bg-scale", "--no-fehbg", image],
                                                         {"DISPLAY": ":0", "HOME": self.home}))
        self.assert_timer(pid, 30)
        self.assertEqual(self.change(pid, 2), [os.fsencode(image)])
        self.assertEqual((self.colours.exists(), records(xrdb)), (False, []))
        self.quit(pid)


class ChangingFileTest(HostileCase):
    def test_files_that_vanish_or_lock_before_their_show(self):
        images = [self.blocks("images", f"{name}.png") for name in "abcd"]
        pid = self.launch({"colors": True, "pics": [self.path("images")]}, uid=HOSTILE_UID)
        [first] = self.change(pid, 1)
        self.assert_palette(self.colour_file())
        others = [image for image in images if os.fsencode(image) != first]
        os.chmod(others[0], 0)  # the daemon's uid may read it no more
        os.remove(others[1])
        os.truncate(others[2], 0)
        found = [(self.change(pid, count)[0], self.colour_file()) for count in (2, 3, 4)]
        self.assertEqual(sorted(found), sorted((os.fsencode(image), DEFAULT_FILE) for image in others))
        self.assertEqual(self.change(pid, 5), [first])
        self.assert_palette(self.colour_file())
        self.quit(pid)

    def test_images_directory_deleted_under_the_daemon(self):
        directory = os.path.join(self.home, ".zelvo", "images")
        images = [os.fsencode(self.blocks(directory, f"{name}.png")) for name in "ab"]
        pid = self.launch({"colors": True})  # its source: the images directory
        [first] = self.change(pid, 1)
        self.assert_palette(self.colour_file())
        shutil.rmtree(directory)
        self.assertEqual((self.change(pid, 2), self.colour_file()), ([images[images.index(first) ^ 1]], DEFAULT_FILE))
        # The reload finds no image in the directory that it makes anew, and keeps the ring.
        self.reload_without_images(pid)
        self.assertEqual((self.change(pid, 3, None), self.colour_file(), os.path.isdir(directory)), ([first], DEFAULT_FILE, True))
        later = os.fsencode(self.blocks(directory, "c.png"))
        self.assertEqual(self.change(pid, 4, signal.SIGHUP, RELOAD, RELOADED), [later])
        self.assert_palette(self.colour_file())
        self.quit(pid)


class DesktopTest(HostileCase):
    def walk(self, settings, exported):
        """Shows each strange name first once, with colours on, polling at each change until exported(name); gives the pid."""
        directory, [image] = os.fsencode(self.path("strange")), make_solid_images(self.path("plain"), ["red"])
        os.mkdir(directory)
        for name in STRANGE:
            os.link(image, directory + b"/" + name)
        pid, shown = self.launch({"colors": True, "pics": [self.path("strange")], **settings}), []
        for count in range(1, len(STRANGE) + 1):
            shown += self.change(pid, count)
            self.poll(lambda: exported(shown[-1]), f"exports {shown[-1]!r}")
        self.assertEqual(sorted(shown), sorted(directory + b"/" + name for name in STRANGE))
        return pid

    def test_strange_names_reach_the_hook_as_the_same_bytes(self):
        hook = self.install_recorder("bin/hook")
        argv = lambda: [entry.encode("latin-1") for start in records(hook)[-1:] for entry in start["argv"]]  # \u00XX: bytes
        self.quit(self.walk({"hook": [hook, "-x"]}, lambda name: argv() == [os.fsencode(hook), b"-x", name]))

    def test_colours_json_stays_json_for_strange_names_while_readers_open_it(self):
        path, seen, broken, stop = self.colours.with_name("colors.json"), [], [], threading.Event()
        def read():
            while not stop.is_set():
                try:  # strict: UTF-8, and no control character unescaped
                    seen.append(json.loads(path.read_bytes().decode())["wallpaper"])
                except FileNotFoundError:
                    pass
                except ValueError as error:
                    broken.append(error)
        reader = threading.Thread(target=read)
        reader.start()
        self.addCleanup(reader.join)
        self.addCleanup(stop.set)
        pid = self.walk({"exports": ["json"]}, lambda name: seen and seen[-1] == name.decode(errors="replace"))
        self.assertEqual(broken, [])
        self.quit(pid)

    def test_colours_sh_gives_strange_names_byte_for_byte_and_runs_nothing(self):
        path = self.colours.with_name("colors.sh")
        pid = self.walk({"exports": ["sh"]}, lambda name: path.exists() and sourced(str(path), "wallpaper") == [name])
        self.assertFalse(path.with_name("pwned").exists())  # sourced there
        self.quit(pid)

    def test_a_hook_that_never_ends_is_ended_before_the_next_one_starts(self):
        hook = pathlib.Path(self.path("bin", "endless"))
        hook.write_text(ENDLESS)
        hook.chmod(0o755)
        pid = self.launch({"hook": [str(hook)], "pics": self.images(3)})
        for _ in range(50):
            self.send(pid, [signal.SIGUSR1], SKIP)
        current = self.zelvoctl("current", env={"HOME": self.home}).out.decode().split()
        def alone():  # the daemon's one child: the last change's hook, which has noted itself and runs sleep
            with contextlib.suppress(OSError, ValueError):
                [child] = pathlib.Path(f"/proc/{pid}/task/{pid}/children").read_text().split()
                # feh draws one change at a time, the changes that come meanwhile merged into the latest.
                return len(records(self.feh)) <= 51 and pathlib.Path(f"/proc/{child}/comm").read_text() == "sleep\n" \
                    and hook.with_suffix(".last").read_text().split() == [child, *current] and int(child)
        last = self.poll(alone, "runs its last hook alone")
        # A hook ended before its shell got to note itself is not counted.
        pids = [int(line) for line in hook.with_suffix(".pids").read_text().split()]
        alive = [number for number in pids if os.path.exists(f"/proc/{number}") and proc_status(number, "State")[0] != "Z"]
        self.assertEqual((alive, pids[-1], hook.with_suffix(".overlaps").exists()), ([last], last, False))
        os.kill(last, signal.SIGTERM)
        self.quit(pid)

    def test_a_hook_that_leaves_a_session_behind_never_costs_a_stranger_its_life(self):
        work, hook = self.path("work"), pathlib.Path(self.path("bin", "detaching"))
        os.mkdir(work)
        hook.write_text(DETACHING)
        hook.chmod(0o755)
        self.configure({"feh-path": self.feh, "hook": [str(hook)], "pics": self.images(2)})
        command = [shutil.which("unshare"), "--pid", "--fork", "--mount-proc",
                   *namespace_command(self.dev, self.path("log"), ["sh", "-c", PID_WRAP])]
        done = subprocess.run(command, env={**self.env, "XDG_RUNTIME_DIR": self.runtime, "ZELVO": BINARY, "WORK": work},
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
        self.assertEqual(done.returncode, 0, done.stderr)
        hook_pid, stranger = map(int, pathlib.Path(work, "pids").read_text().split())
        # The hook's number stayed its own while its group could still be signalled: the stranger got
        # another, and lived through the end of the hook's group.
        self.assertNotEqual(stranger, hook_pid)
        self.assertEqual(pathlib.Path(work, "stranger").read_text(), "alive\n")

    def test_a_hook_that_does_not_exist_costs_one_line_a_change(self):
        pid = self.launch({"colors": True, "hook": ["zelvo-no-such-hook"], "pics": [self.blocks("images", "a.png")]})
        for count in (1, 2):
            if count > 1:
                self.send(pid, [signal.SIGUSR1], SKIP)
            self.assertEqual(self.messages(1)[0].text, "Zelvo could not start the hook zelvo-no-such-hook: No such file or directory")
            self.change(pid, count, None)
            self.assert_palette(self.colour_file())
        self.quit(pid)

    def test_the_users_terminals_get_the_colour_files_palette_and_none_holds_a_change_up(self):
        os.mkdir(os.path.join(self.dev, "pts"))
        (ours, _), (full, full_slave), (other, _) = pairs = [os.openpty() for _ in range(3)]
        for (master, slave), uid in zip(pairs, (HOSTILE_UID, HOSTILE_UID, HOSTILE_UID + 1)):
            for end in (master, slave):
                self.addCleanup(os.close, end)
                os.set_blocking(end, False)
            os.fchown(slave, uid, uid)
            os.fchmod(slave, 0o666)  # only its owner keeps the daemon out
        while fill(full_slave):  # nobody reads it: full to the last byte, until a pause frees no more room
            time.sleep(0.1)
        pid = self.launch({"colors": True, "terminals": True, "pics": [self.blocks("images", f"{name}.png") for name in "ab"]},
                          uid=HOSTILE_UID, binds=[("/dev/pts", os.path.join(self.dev, "pts"))])
        for count in (1, 2):
            self.change(pid, count)  # it would never come, were the daemon held up by the full one
            entries = [line.split()[2] for line in self.colour_file().splitlines()]
            sent = self.poll(lambda: select.select([ours], [], [], 0.1)[0] and os.read(ours, 65536), "writes to the terminal")
            self.assertEqual(terminal_colours(sent), palette_colours(entries))
            self.assertRaises(BlockingIOError, os.read, other, 1)
        drained = b""
        while select.select([full], [], [], 0.1)[0]:
            drained += os.read(full, 65536)
        self.assertEqual(drained.strip(b"x"), b"")  # not even the start of a sequence
        self.quit(pid)


class SteeringStormTest(HostileCase):
    def test_storms_end_with_the_palette_on_screen_everywhere_and_a_prompt_quit(self):
        os.mkdir(os.path.join(self.dev, "pts"))
        master, slave = os.openpty()
        for end in (master, slave):
            self.addCleanup(os.close, end)
        os.set_blocking(master, False)
        os.fchown(slave, HOSTILE_UID, HOSTILE_UID)
        os.mkdir(self.path("images"))
        palettes = {make_block_image(self.path("images", f"{low:02x}.png"), block_colours(low, high)):
                    block_colours(low, high) for low, high in MIDS}
        exported = pathlib.Path(self.home, ".zelvo", "colors.json")
        sent, said = b"", []

        drained = lambda: said.extend(self.drain()) or said  # what the daemon logged so far, read as the test waits

        def everywhere(image):
            """The colour file, colors.json and the terminal carry image's palette; gives the file's entries."""
            nonlocal sent
            with contextlib.suppress(BlockingIOError):
                sent += os.read(master, 1 << 16)
            entries = entries_of(self.colours.read_text()) if self.colours.exists() else []
            colours = [hex_colour(entry) for index, entry in enumerate(entries) if index not in (7, 8, 15)]
            mine = len(colours) == 13 and all(near(colour, palettes[image]) for colour in colours) and \
                any(near(colour, palettes[image][8:]) for colour in colours)
            return mine and json.loads(exported.read_text())["colors"] == {f"color{i}": e for i, e in enumerate(entries)} \
                and terminal_colours(sent) == palette_colours(entries) and entries

        # (steering, its signal, how many, the log line of each, or of each after the ones it can go back)
        for steering, number, count, lines in [("next", signal.SIGUSR1, 30, [SKIP]),
                                               ("previous", signal.SIGRTMIN, 100, [BACK] * 4 + [NO_BACK])]:
            with self.subTest(steering):
                self.feh = self.install_recorder(f"bin/feh-{steering}")
                pid = self.launch({"colors": True, "terminals": True, "exports": ["json"], "pics": sorted(palettes)},
                                  uid=HOSTILE_UID, binds=[("/dev/pts", os.path.join(self.dev, "pts"))])
                for change in range(2, 6) if steering == "previous" else ():
                    self.change(pid, change)  # sets to go back to
                changes, said[:] = len(self.wait_records(self.feh, 5 if steering == "previous" else 1)), []
                for _ in range(count):
                    os.kill(pid, number)
                    time.sleep(0.4 / count)
                # Real-time signals queue, one line each; SIGUSR1s that come while one is pending merge into it.
                wrap = int(pathlib.Path("/proc/sys/kernel/pid_max").read_text())
                last = lambda found: sorted(found, key=lambda start: (start["pid"] - pid) % wrap)[-1]["argv"][3]
                # feh draws one change at a time: changes that come while one draws merge into the latest,
                # which is drawn last.
                self.poll(lambda: changes < len(found := records(self.feh)) <= changes + drained().count(lines[0]) and
                          (number == signal.SIGUSR1 or len(said) == count) and everywhere(last(found)),
                          "shows the last palette everywhere")
                self.viewers_at_rest(pid)
                self.assertEqual(said, lines * len(said) if len(lines) == 1 else lines[:-1] + lines[-1:] * (count - 4))
                # Of the storm's colour steps none runs on (a step's own deadline is 20 s): at most the next
                # change's colours are being prepared once those killed have ended.
                self.poll(lambda: list(child_programs(pid).values()).count("zelvo") <= 1, "let the storm's colour steps go")
                quitting = time.monotonic()
                self.stop_daemon(pid)
                self.assertLess(time.monotonic() - quitting, 2)
                self.assertEqual(self.messages(1)[0].text, "Zelvo has quit")
                self.assertEqual(self.children(live=True), [])


if __name__ == "__main__":
    unittest.main()
