#!/usr/bin/env python3
"""zelvoctl with the real daemon: bad calls, displays without a daemon, every command, the
status file, a quit that lets the next zelvo start at once; the control socket's bad requests,
set's refused files, the favourites and banned lists when they are not what they should be,
banning every image, and a rescan while the folder changes under it."""
import contextlib, errno, json, os, pathlib, re, shutil, signal, socket, subprocess, time, unittest

from harness import BINARY, TOOLS, ZELVOCTL, make_solid_images, proc_status, records
from test_colours import entries_of
from test_cycle import BACK, RELOAD, RELOADED, SHUFFLE, SKIP, CycleCase
from test_faults import fill
from test_sources import pgm_frames

PEER_UID = 54370  # a uid of its own, for a peer of another user
SANITIZED = os.environ.get("ZELVO_SANITIZED") == "1"
EMPTY = "Zelvo has no image left to show: a rescan or a reload may bring some"

USAGE = (b"Usage: " + ZELVOCTL.encode() + b" [-d display] next [-n N] | previous [-n N] | reshuffle | reload | quit | "
         b"pause | resume | toggle-pause | rescan | favourite | ban | unban PATH | set [-n N] FILE... | status [--json] | "
         b"current [--json]\n")


class ControlTest(CycleCase):
    def setUp(self):
        super().setUp()
        self.env["XDG_RUNTIME_DIR"] = self.runtime
        self.feh = self.install_recorder("feh")

    def test_bad_calls_and_displays_without_a_daemon(self):
        nobody = lambda display: (1, b"", b"zelvoctl: no zelvo runs on display %s\n" % display)
        # (arguments, lines before the usage line: the C library's diagnostic, or what is wrong with the command)
        bad = [((), 0), (("jump",), 1), (("next", "now"), 1), (("--", "-d", ":1", "next"), 1), (("-d",), 1),
               (("-x", "next"), 1), (("set",), 1), (("status", "--yaml"), 1)]
        for args, diagnostics in bad:
            with self.subTest(args=args):
                status, out, err, _ = self.zelvoctl(*args)
                self.assertEqual((status, out, err.count(b"\n")), (2, b"", diagnostics + 1))
                self.assertTrue(err.endswith(USAGE), err)
        # Help and the version go to standard output with status 0, whatever options come before them.
        commands = [part.split()[0] for part in USAGE.decode().rstrip("\n").split("[-d display] ", 1)[1].split(" | ")]
        for args in [("-h",), ("--help",), ("-d", ":1", "--help", "next")]:
            with self.subTest(args=args):
                status, out, err, _ = self.zelvoctl(*args)
                self.assertEqual((status, err), (0, b""))
                lines = out.decode().splitlines()
                self.assertEqual(lines[0] + "\n", USAGE.decode())
                # Each command with a line of its own that says what it does.
                for command in commands:
                    self.assertTrue(any(re.fullmatch(rf"  {command}(?: \S+)* {{2,}}\S.*", line) for line in lines), command)
                for told in ("-d display", "-n N", "Exit status: 0", "zelvoctl(1)"):
                    self.assertIn(told, out.decode())
        said = subprocess.run([BINARY, "-v"], capture_output=True, check=True).stdout
        version = re.fullmatch(rb".*: version: (\S+)\r\n", said)[1]
        self.assertEqual(self.zelvoctl("--version")[:3], (0, ZELVOCTL.encode() + b": version: " + version + b"\n", b""))

        # No daemon has ever run: not even the runtime directory's folder exists.
        self.assertEqual(self.zelvoctl("status")[:3], nobody(b":0"))
        self.assertEqual(self.zelvoctl("next", env={"HOME": self.home, "DISPLAY": ":3"})[:3], nobody(b":3"))

        # A socket left by a daemon that crashed: the next start, once it holds the lock, takes its place.
        os.mkdir(os.path.join(self.runtime, "zelvo"), 0o700)
        with socket.socket(socket.AF_UNIX) as stale:
            stale.bind(os.path.join(self.runtime, "zelvo", ":0.sock"))
        self.assertEqual(self.zelvoctl("status")[:3], nobody(b":0"))
        pid = self.start({"feh-path": self.feh, "pics": self.images(2)})
        self.assertEqual(self.zelvoctl("current")[0], 0)
        # An empty DISPLAY or WAYLAND_DISPLAY counts as unset, as for the daemon, which took :0.
        for empty in ({"DISPLAY": ""}, {"WAYLAND_DISPLAY": ""}, {"DISPLAY": "", "WAYLAND_DISPLAY": ""}):
            with self.subTest(env=empty):
                env = {"HOME": self.home, "XDG_RUNTIME_DIR": self.runtime, **empty}
                self.assertEqual(self.zelvoctl("current", env=env)[:3], self.zelvoctl("current")[:3])
        # A pid file that nobody locks is nobody's, whatever pid it names.
        pathlib.Path(self.runtime, "zelvo", ":5.pid").write_text(f"{pid}\n")
        for args in [("-d", ":5", "next"), ("-d", ":7", "quit"), ("-d", "", "status")]:
            with self.subTest(args=args):
                self.assertEqual(self.zelvoctl(*args)[:3], nobody(args[1].encode()))
        self.send(pid, [signal.SIGUSR1], SKIP)  # the first log line since the start: it got nothing else
        self.changes(pid, self.feh, 2)
        self.quit(pid)

    def test_every_command_reaches_the_daemon_and_quit_waits_for_its_end(self):
        images = self.images(2)
        named = os.path.join(os.path.dirname(images[0]), "two\nlines=.png")  # any name fits the status file
        os.link(images[0], named)
        began = int(time.time())
        pid = self.start({"feh-path": self.feh, "pics": [*images, named]}, "-m", "3")
        status_file = pathlib.Path(self.runtime, "zelvo", ":0.status")
        for count, (command, texts) in enumerate([("current", ()), ("next", (SKIP,)), ("reshuffle", (SHUFFLE,)),
                                                  ("reload", (RELOAD, RELOADED)), ("previous", (BACK,)),
                                                  ("status", ())]):
            with self.subTest(command):
                if command == "reload":  # another display in the file: the lock stays with the one it started on
                    self.configure({"feh-path": self.feh, "pics": [*images, named], "DISPLAY": ":6"})
                reads = command in ("current", "status")
                result = None if reads else self.zelvoctl(command)
                self.expect(pid, *texts)
                found = self.changes(pid, self.feh, count + (command != "status"))
                on_screen = found[-1]["argv"][3:]
                self.assertEqual(on_screen, found[-3]["argv"][3:] if command == "previous" else on_screen)
                self.assertCountEqual(on_screen, [*images, named])
                # The status follows once the change is complete, a moment after feh has started.
                shown = [b"image=" + image.encode() for image in on_screen]
                self.poll(lambda: status_file.exists() and status_file.read_bytes().split(b"\0")[6:-1] == shown,
                          "publishes what it shows")
                result = self.zelvoctl(command) if reads else result
                records_ = status_file.read_bytes().split(b"\0")
                changed, due = (int(record.split(b"=")[1]) for record in records_[4:6])
                self.assertEqual(records_, [b"zelvo-status=1", b"pid=%d" % pid, b"display=:0", b"interval=1200",
                                            b"changed=%d" % changed, b"next=%d" % due,
                                            *(b"image=" + image.encode() for image in on_screen), b""])
                self.assertTrue(began <= changed <= time.time() and 1199 <= due - changed <= 1201, (changed, due))
                if command == "current":
                    self.assertEqual(result, (0, "".join(f"{image}\n" for image in on_screen).encode(), b"", None))
                elif command == "status":
                    lines = [rf"pid:         {pid}", "display:     :0", "interval:    20 min",
                             r"last change: \d{4}-\d\d-\d\d \d\d:\d\d:\d\d \(\d+ s ago\)",
                             r"next change: \d{4}-\d\d-\d\d \d\d:\d\d:\d\d \(in (19 min \d+ s|20 min)\)",
                             *(("on screen:   " if at == 0 else " " * 13) + re.escape(image.replace("\n", "\\n"))
                               for at, image in enumerate(on_screen))]
                    self.assertEqual(result[0], 0)
                    self.assertRegex(result.out.decode(), r"\A" + r"\n".join(lines) + r"\n\Z")
                else:
                    self.assertEqual(result, (0, b"", b"", None))
        self.assertEqual(found[-1]["env"]["DISPLAY"], ":6")
        self.assertEqual(self.zelvoctl("-d", ":6", "current")[:3], (1, b"", b"zelvoctl: no zelvo runs on display :6\n"))

        # Once quit returns, the daemon has let go of the display: a new start takes it.
        started = time.monotonic()
        self.assertEqual(self.zelvoctl("quit"), (0, b"", b"", None))
        self.assertLess(time.monotonic() - started, 5)
        self.expect(pid, "Zelvo has quit")
        pid_file = pathlib.Path(self.runtime, "zelvo", ":0.pid")
        self.assertEqual((status_file.exists(), pid_file.read_bytes()), (False, b""))
        self.quit(self.start_daemon(env=self.env))

    def test_names_reach_a_terminal_escaped_and_a_script_byte_for_byte(self):
        [image] = self.images(1)
        os.mkdir(self.path("strange"))
        named = os.path.join(self.path("strange").encode(), b"\x1b]2;OWNED\x07\x1b[2J\xc2\x9b.png")
        os.link(image, named)
        escaped = named.replace(b"\x1b", b"\\e").replace(b"\x07", b"\\a").replace(b"\xc2\x9b", b"\\xc2\\x9b")
        pid = self.start({"feh-path": self.feh, "pics": [self.path("strange")]})
        self.poll(lambda: self.zelvoctl("current").status == 0, "publishes what it shows")
        master, slave = os.openpty()
        self.addCleanup(os.close, master)
        # (command, what a pipe gets, what a terminal gets) for the name's line
        for command, piped, shown in [("current", named, escaped), ("status", b"on screen:   " + escaped, None)]:
            with self.subTest(command):
                out = self.zelvoctl(command).out
                self.assertIn(piped + b"\n", out)
                done = subprocess.run([ZELVOCTL, command], env={"HOME": self.home, "XDG_RUNTIME_DIR": self.runtime,
                                      "LANG": "C.UTF-8"}, stdin=subprocess.DEVNULL, stdout=slave, timeout=30)
                self.assertEqual(done.returncode, 0)
                got = os.read(master, 65536)
                self.assertNotIn(b"\x1b", got)
                self.assertIn((shown or piped) + b"\r\n", got)
        os.close(slave)
        self.quit(pid)


# Runs as another user: connects to the socket (argv[1]), sends a request and prints what comes back, if anything.
PEER = "import socket, sys\ns = socket.socket(socket.AF_UNIX)\ns.settimeout(5)\ns.connect(sys.argv[1])\n" \
       "try:\n    s.sendall(b'status\\n')\n    sys.stdout.buffer.write(s.recv(65536))\n" \
       "except (BrokenPipeError, ConnectionResetError):\n    pass\n"


def exchange(path, data, timeout=5.0):
    """Connects to the socket at path, sends what it takes of data without waiting, and gives all that comes back."""
    with socket.socket(socket.AF_UNIX) as client:
        client.connect(path)
        client.setblocking(False)
        with contextlib.suppress(BlockingIOError, BrokenPipeError, ConnectionResetError):
            for at in range(0, len(data), 65536):
                client.send(data[at:at + 65536])
        client.settimeout(timeout)
        answer = b""
        with contextlib.suppress(ConnectionResetError):
            while chunk := client.recv(65536):
                answer += chunk
        return answer


class SteeringCase(CycleCase):
    def setUp(self):
        super().setUp()
        self.env["XDG_RUNTIME_DIR"] = self.runtime
        self.feh = self.install_recorder("feh")
        self.socket = os.path.join(self.runtime, "zelvo", ":0.sock")
        self.zelvo_dir = pathlib.Path(self.home, ".zelvo")

    def json_status(self):
        result = self.zelvoctl("status", "--json")
        self.assertEqual(result.status, 0, result.err)
        return json.loads(result.out)

    def on_screen(self, count):
        """The images of change count, once the viewer has started for it."""
        return sorted(self.wait_records(self.feh, count), key=lambda start: start["monotonic"])[count - 1]["argv"][3:]


class BadRequestTest(SteeringCase):
    def test_bad_requests_cost_only_their_client(self):
        pid = self.start({"feh-path": self.feh, "pics": self.images(3)})
        self.poll(lambda: self.zelvoctl("current").status == 0, "answers")
        descriptors = lambda: len(os.listdir(f"/proc/{pid}/fd"))
        before, memory = descriptors(), int(proc_status(pid, "VmRSS").split()[0])
        held = []
        self.addCleanup(lambda: [client.close() for client in held])

        def crowd():
            """100 clients at once that send nothing: the daemon takes 64, and those that wait take the places of the slow ones."""
            for _ in range(100):
                client = socket.socket(socket.AF_UNIX)
                client.connect(self.socket)
                held.append(client)
            time.sleep(0.2)
            return b"" if self.zelvoctl("next").status == 0 else b"refused"

        def never_reads():
            """A request whose reply nobody takes: it costs the daemon nothing once it is sent."""
            client = socket.socket(socket.AF_UNIX)
            client.connect(self.socket)
            client.sendall(b"status\n")
            held.append(client)
            return b""

        def peer():
            """A peer of another user: the socket is the daemon's user's alone, and were it not, the peer hears nothing."""
            # The system's Python: the test's own may lie where another user cannot reach it.
            command = [TOOLS["setpriv"], f"--reuid={PEER_UID}", f"--regid={PEER_UID}", "--clear-groups", "--",
                       shutil.which("python3", path="/usr/bin:/bin"), "-c", PEER, self.socket]
            os.chmod(self.top, 0o755)
            for folder in (self.runtime, os.path.dirname(self.socket)):
                os.chmod(folder, 0o755)
            try:
                refused = subprocess.run(command, capture_output=True, timeout=30)
                self.assertIn(b"line 4, in <module>\nPermissionError", refused.stderr)  # its connect
                os.chmod(self.socket, 0o666)
                return subprocess.run(command, capture_output=True, timeout=30, check=True).stdout
            finally:
                os.chmod(self.socket, 0o600)
                for folder in (self.runtime, os.path.dirname(self.socket)):
                    os.chmod(folder, 0o700)

        # (what the client does, what comes back to it)
        cases = [("1 MiB without a newline", b"x" * (1 << 20), b"error: the request is longer than 64 KiB\n"),
                 ("a NUL byte", b"status\0\n", b"error: the request holds a NUL byte\n"),
                 ("an unknown command", b"jump\n", b"error: unknown command jump\n"),
                 ("too many arguments", b"next now\n", b"error: next takes no arguments\n"),
                 ("a word too many", b" ".join([b"set"] * 200) + b"\n", b"error: too many words\n"),
                 ("a client that never writes", b"", b""),
                 ("a client that writes and never reads", never_reads, b""),
                 ("100 clients at once", crowd, b""),
                 ("a peer of another user", peer, b"")]
        changes = 1
        for what, request, answer in cases:
            with self.subTest(what):
                began = time.monotonic()
                got = request() if callable(request) else exchange(self.socket, request)
                self.assertEqual(got, answer)
                if not request:
                    self.assertGreaterEqual(time.monotonic() - began, 1.5)  # let go once idle for 2 s
                # Signals and other clients are served as before.
                changes += 1 + (request == crowd)
                os.kill(pid, signal.SIGUSR1)
                self.wait_records(self.feh, changes)
                self.assertEqual(self.zelvoctl("current").status, 0)
                self.drain()
        for client in held:
            client.close()
        # Idle clients are let go: the descriptors come back to what they were, and memory stays.
        self.poll(lambda: descriptors() == before, f"lets go of its clients ({descriptors()} descriptors, {before} before)")
        if not SANITIZED:  # the sanitizers' quarantine of freed memory sets the size there
            self.assertLess(int(proc_status(pid, "VmRSS").split()[0]) - memory, 2048)
        self.drain()
        self.quit(pid)


class PauseTest(SteeringCase):
    def test_pause_holds_the_timer_through_steering_and_reloads_and_bars_read_the_status_as_json(self):
        images = self.images(2)
        pid = self.start({"feh-path": self.feh, "pics": images, "colors": True})
        status = self.poll(lambda: (found := self.json_status()).get("palette") and found, "publishes its palette")
        entries = entries_of((self.zelvo_dir / "colors").read_text())
        self.assertEqual(status, {"display": ":0", "pid": pid, "images": self.on_screen(1), "paused": False,
                                  "interval": 1200, "last_change": status["last_change"],
                                  "next_change": status["last_change"] + 1200, "ring": 2, "palette": entries})
        self.assertEqual(json.loads(self.zelvoctl("current", "--json").out), status)
        self.assert_timer(pid, 20)
        # (command, its log lines, paused after it)
        for command, lines, paused in [("pause", ["Zelvo is paused"], True), ("pause", [], True),
                                       ("next", [SKIP], True), ("reload", [RELOAD, RELOADED], True),
                                       ("toggle-pause", ["Zelvo is resumed"], False), ("resume", [], False),
                                       ("toggle-pause", ["Zelvo is paused"], True), ("resume", ["Zelvo is resumed"], False)]:
            with self.subTest(command=command, paused=paused):
                self.assertEqual(self.zelvoctl(command)[:3], (0, b"", b""))
                self.expect(pid, *lines)
                status = self.json_status()
                self.assertEqual((status["paused"], status["next_change"] is None), (paused, paused))
                self.assertEqual("next change: none, paused\n" in self.zelvoctl("status").out.decode(), paused)
        # Resumed, the timer runs a whole period from then.
        self.assert_timer(pid, 20)
        self.assertEqual(len(self.changes(pid, self.feh, 3)), 3)
        self.quit(pid)


class SetTest(SteeringCase):
    def test_set_shows_real_images_now_and_refuses_everything_else_whole(self):
        images = self.images(4)
        pid = self.start({"feh-path": self.feh, "pics": images}, "-m", "2")
        folder = self.path("given")
        os.mkdir(folder)
        os.mkfifo(os.path.join(folder, "fifo.png"))
        subprocess.run([TOOLS["convert"], images[0], os.path.join(folder, "layers.psd")], check=True)
        pgm_frames(os.path.join(folder, "frames.pgm"), 100000)
        for name in ("new\nline.png", "-dash.png"):
            os.link(images[1], os.path.join(folder, name))
        given = lambda name: os.path.join(folder, name)
        # (arguments, as run from the folder: what feh shows, or why set refuses them)
        cases = [(["missing.png"], f"{given('missing.png')}: No such file or directory"),
                 (["fifo.png"], f"{given('fifo.png')}: not a regular file"),
                 (["layers.psd"], f"{given('layers.psd')}: not an image that feh shows"),
                 ([folder], f"{folder}: a directory, not an image file"),
                 (["https://example.org/a.png"], "https://example.org/a.png: a URL, not a file"),
                 ([images[2], "fifo.png"], f"{given('fifo.png')}: not a regular file"),
                 ([images[0], images[1], images[2]], "3 files for 2 monitors"),
                 (["frames.pgm"], [given("frames.pgm")]),
                 (["new\nline.png", "-dash.png"], [given("new\nline.png"), given("-dash.png")])]
        changes = 1
        for arguments, expected in cases:
            with self.subTest(arguments=arguments):
                on_screen = self.on_screen(changes)
                queued = self.zelvoctl("status").out
                done = subprocess.run([ZELVOCTL, "set", "--", *arguments], cwd=folder, env=self.env, capture_output=True,
                                      timeout=60)
                if isinstance(expected, str):
                    self.assertEqual((done.returncode, done.stdout, done.stderr), (1, b"", f"zelvoctl: {expected}\n".encode()))
                    self.assertEqual(len(records(self.feh)), changes)
                    continue
                self.assertEqual((done.returncode, done.stdout, done.stderr), (0, b"", b""))
                self.expect(pid, "Zelvo is showing the images it was set to")
                changes += 1
                # A monitor that it names nothing for keeps its image; the status follows.
                self.assertEqual(self.on_screen(changes), [*expected, *on_screen[len(expected):]])
                self.poll(lambda: self.zelvoctl("current").out == "".join(f"{image}\n" for image in
                          self.on_screen(changes)).encode(), "publishes what it was set to")
                self.assertNotEqual(self.zelvoctl("status").out, queued)
        # The ring did not move: the next change shows what it had queued before the sets.
        self.send(pid, [signal.SIGUSR1], SKIP)
        self.assertEqual(len(set(self.on_screen(changes + 1)) & set(self.on_screen(1))), 0)
        self.assertLessEqual(set(self.on_screen(changes + 1)), set(images))
        self.quit(pid)


class ListTest(SteeringCase):
    def test_favourites_and_bans_keep_the_users_list_whatever_stands_there(self):
        images = self.images(3)
        os.symlink(self.path("images"), self.path("linked"))
        pid = self.start({"feh-path": self.feh, "pics": images})
        # Shown through a link: the lists name its real path.
        real = images[0]
        self.assertEqual(self.zelvoctl("set", os.path.join(self.path("linked"), os.path.basename(real)))[:3], (0, b"", b""))
        self.expect(pid, "Zelvo is showing the images it was set to")
        self.on_screen(2)
        elsewhere = pathlib.Path(self.path("elsewhere"))
        elsewhere.write_text('default = [ "/kept.png" ];\n')
        inside = pathlib.Path(f"/proc/{pid}/root{self.zelvo_dir}")
        mount = lambda *options: subprocess.run([shutil.which("nsenter"), "-t", str(pid), "-m", TOOLS["mount"], *options],
                                                check=True)

        def link(path):
            path.symlink_to(elsewhere)
            return path

        def fifo(path):
            os.mkfifo(path)
            return path

        def unparsable(path):
            path.write_text("default = [ /kept.png ];\n")
            return path

        def full(path):
            """A full 16 KiB file system on ~/.zelvo, in the daemon's namespace alone, holding the list as it was."""
            mount("-t", "tmpfs", "-o", "size=16k,mode=0755", "zelvo-full", str(self.zelvo_dir))
            (inside / path.name).write_text('default = [ "/kept.png" ];\n')
            self.assertEqual(fill(str(inside / "filler")), errno.ENOSPC)
            return inside / path.name

        # (command, its list, what stands at the list's name, why the command is refused)
        cases = [("favourite", "favourites", link, "it is a symbolic link"),
                 ("ban", "banned", fifo, "it is no regular file"),
                 ("favourite", "favourites", unparsable, "zelvo cannot parse it: line 1: syntax error"),
                 ("ban", "banned", full, os.strerror(errno.ENOSPC))]
        for command, name, make, reason in cases:
            with self.subTest(command=command, reason=reason):
                listed = self.zelvo_dir / name
                made = make(listed)
                before = None if make == fifo else made.read_bytes()
                self.assertEqual(self.zelvoctl(command), (1, b"", f"zelvoctl: {listed}: {reason}\n".encode(), None))
                # The user's file, and whatever it leads to, as it was; no image left the ring.
                self.assertEqual(None if before is None else made.read_bytes(), before)
                self.assertEqual(elsewhere.read_text(), 'default = [ "/kept.png" ];\n')
                self.assertEqual((self.json_status()["ring"], len(records(self.feh))), (3, 2))
                if make == full:
                    subprocess.run([shutil.which("nsenter"), "-t", str(pid), "-m", "umount", str(self.zelvo_dir)], check=True)
                else:
                    listed.unlink()
        self.assertEqual(self.drain(), [])

        # Where nothing stands in their way: the real path, never twice; out of the ring, and back in the list.
        favourites, banned = self.zelvo_dir / "favourites", self.zelvo_dir / "banned"
        for command, line in [("favourite", f"Zelvo has added a favourite: {real}"), ("favourite", None),
                              ("ban", f"Zelvo has banned {real}")]:
            self.assertEqual(self.zelvoctl(command)[:3], (0, b"", b""))
            if line:
                self.expect(pid, line)
        self.assertEqual(favourites.read_text(), f'default = [ "{real}" ];\n')
        self.assertEqual(banned.read_text(), f'default = [ "{real}" ];\n')
        self.assertNotIn(real, self.on_screen(3))  # changed to the next at once
        self.assertEqual(self.json_status()["ring"], 2)
        self.assertEqual(self.zelvoctl("unban", real)[:3], (0, b"", b""))
        self.expect(pid, f"Zelvo has unbanned {real}")
        self.assertEqual(banned.read_text(), "default = [ ];\n")
        self.assertEqual(self.zelvoctl("unban", real), (1, b"", f"zelvoctl: {banned}: it does not hold it\n".encode(), None))
        self.quit(pid)

    def test_a_ban_takes_out_every_entry_of_the_file_and_no_reload_takes_one_again(self):
        first, *others = self.images(3)
        os.symlink(self.path("images"), self.path("alias"))
        aliased = os.path.join(self.path("alias"), os.path.basename(first))
        listed = pathlib.Path(self.path("more-images"))
        listed.write_text(f'default = [ "{self.path("images", "..", "images", os.path.basename(first))}", "{aliased}" ];\n')
        # (how the ring comes to name the image on screen another way, its entries of that image)
        cases = [("through a linked folder", [first, aliased, *others], 2),
                 ("through a list file", [first, str(listed), *others], 3)]
        for index, (what, sources, named) in enumerate(cases):
            with self.subTest(what):
                (self.zelvo_dir / "banned").unlink(missing_ok=True)
                feh = self.install_recorder(f"feh{index}")
                # Given after the start, whose MagickCore says on standard error that a list file is no image.
                pid = self.start({"feh-path": feh, "pics": [first, *others]})
                self.configure({"feh-path": feh, "pics": sources})
                self.send(pid, [signal.SIGHUP], RELOAD, RELOADED)
                self.assertEqual(self.json_status()["ring"], len(others) + named)
                self.assertEqual(self.zelvoctl("set", first)[:3], (0, b"", b""))
                self.expect(pid, "Zelvo is showing the images it was set to")
                self.assertEqual(self.zelvoctl("ban")[:3], (0, b"", b""))
                self.expect(pid, f"Zelvo has banned {first}")
                self.assertEqual(self.json_status()["ring"], len(others))
                self.send(pid, [signal.SIGHUP], RELOAD, RELOADED)
                self.assertEqual(self.json_status()["ring"], len(others))
                # The changes walk what is left, never the banned file under another name.
                self.viewers_at_rest(pid)
                self.skips(pid, feh, len(records(feh)), 4)
                shown = {os.path.realpath(image) for start in records(feh)[3:] for image in start["argv"][3:]}
                self.assertEqual(shown, set(others))
                self.quit(pid)

    def test_banning_every_image_keeps_the_last_on_screen_until_a_rescan_brings_more(self):
        self.images(3)
        pid = self.start({"feh-path": self.feh, "pics": [self.path("images")]})
        for count in (1, 2, 3):
            [shown] = self.on_screen(count)
            self.assertEqual(self.zelvoctl("ban")[:3], (0, b"", b""))
            self.expect(pid, f"Zelvo has banned {shown}", *([EMPTY] if count == 3 else []))
        self.assertEqual(self.json_status()["images"], [shown])
        self.assertEqual(self.zelvoctl("next"), (1, b"", b"zelvoctl: no image is left to show\n", None))
        self.expect(pid, SKIP)  # and not again that nothing is left
        # No expansion takes a banned image again: the reload finds none and keeps the empty ring.
        self.send(pid, [signal.SIGHUP], RELOAD, f"Zelvo found no suitable images in {self.zelvo_dir / '.zelvorc'} and "
                  "keeps the previous configuration", RELOADED)
        [new] = make_solid_images(self.path("images"), ["teal"])
        self.assertEqual(self.zelvoctl("rescan")[:3], (0, b"", b""))
        self.expect(pid, "Zelvo has rescanned its sources: 1 new images, 0 gone, 1 in the ring")
        self.assertEqual(self.on_screen(4), [new])
        self.assertEqual(len(self.changes(pid, self.feh, 4)), 4)
        self.quit(pid)


class RescanTest(SteeringCase):
    def test_a_rescan_while_the_folder_changes_keeps_the_ring_whole_and_shows_new_images_in_this_round(self):
        [sample], folder = make_solid_images(self.path("sample"), ["navy"]), self.path("many")
        os.mkdir(folder)
        name = lambda kind, number: os.path.join(folder, f"{kind}{number:04}.png")
        for number in range(2000):
            os.link(sample, name("a", number))
        pid = self.start({"feh-path": self.feh, "pics": [folder], "monitors": 64})
        self.skips(pid, self.feh, 1, 4)
        shown = [image for count in range(1, 6) for image in self.on_screen(count)]  # 320 of this round
        on_screen = self.zelvoctl("current").out

        def change_folder():
            for number in range(1000):
                os.link(sample, name("b", number))
                os.remove(name("a", 1000 + number))

        def rescanned(meanwhile=lambda: None):
            """Asks for a rescan and does meanwhile while it runs; gives the line that tells of it."""
            self.assertEqual(self.zelvoctl("rescan")[:3], (0, b"", b""))
            meanwhile()
            return self.poll(lambda: [line for line in self.drain() if line.startswith("Zelvo has rescanned")], "rescans", 60)[0]
        counts = r"^Zelvo has rescanned its sources: \d+ new images, \d+ gone, {} in the ring$"
        self.assertRegex(rescanned(change_folder), counts.format(r"\d+"))
        # Whatever it caught of the change, a second rescan brings the ring to the folder as it is now.
        self.assertRegex(rescanned(), counts.format(2000))
        # The image on screen and the history stay.
        self.assertEqual(self.zelvoctl("current").out, on_screen)
        self.assertEqual(len(records(self.feh)), 5)
        # The rest of the round first, the new images among it, then what the round showed before; every image once.
        walked = []
        for count in range(6, 6 + 32):
            self.send(pid, [signal.SIGUSR1], SKIP)
            walked += self.on_screen(count)
        folder_now = sorted(os.path.join(folder, entry) for entry in os.listdir(folder))
        self.assertEqual(sorted(walked[:2000]), folder_now)
        kept = [image for image in shown if os.path.exists(image)]
        self.assertEqual(sorted(walked[2000 - len(kept):2000]), sorted(kept))
        self.assertTrue(all(image.startswith(name("a", 0)[:-8]) for image in kept))
        self.quit(pid)


if __name__ == "__main__":
    unittest.main()
