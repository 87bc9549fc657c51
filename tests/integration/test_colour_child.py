#!/usr/bin/env python3
"""The colour step's own process: a file swapped for a FIFO, a URL that never answers, a process killed
mid-step and an animation of 500 frames each cost at most the deadline and the default palette, the
daemon carries on and stays small, and hundreds of changes after in-process pings still give palettes."""
import glob, hashlib, http.server, os, pathlib, shutil, signal, ssl, subprocess, threading, time, unittest

from harness import SYSLOG_LINE, block_colours, hex_colour, make_block_image, near, proc_status, records
from test_colours import DEFAULT_FILE, MIDS, entries_of
from test_cycle import RELOAD, RELOADED, SHUFFLE, SKIP, CycleCase

DEADLINE = 20
SANITIZED = os.environ.get("ZELVO_SANITIZED") == "1"
OVERRAN = "Zelvo gave up on the colours of {}: reading it took longer than 20 seconds"
ENDED = "Zelvo gave up on the colours of {}: reading it ended before it was done"
FETCH_FAILED = "Zelvo gave up on the colours of {}: fetching it failed: {}"
# Where libcurl finds the system's certificate authorities.
SYSTEM_STORE = "/etc/ssl/certs/ca-certificates.crt"
# With the pixel caches kept on disk, every read leaves a temporary file while it runs.
DISK_POLICY = '<policymap>\n<policy domain="resource" name="memory" value="1MiB"/>\n' \
              '<policy domain="resource" name="map" value="1MiB"/>\n</policymap>\n'


def gif_parts(data):
    """The header of a GIF up to its global colour table, and each frame as (extensions, descriptor, data)."""
    table = lambda packed: 3 << ((packed & 7) + 1) if packed & 0x80 else 0
    at = 13 + table(data[10])
    head, frames, extensions = data[:at], [], b""
    while data[at] != 0x3B:
        start = at
        if data[at] == 0x21:
            at += 2
        else:
            at += 10 + table(data[at + 9]) + 1  # the descriptor, its own colour table, the code size
            descriptor, body_start = data[start:start + 10], start + 10
        while data[at]:
            at += data[at] + 1
        at += 1
        if data[start] == 0x21:
            extensions += data[start:at]
        else:
            frames.append((extensions, descriptor, data[body_start:at]))
            extensions = b""
    return head, frames


def make_animation(path, first, later, frames):
    """A GIF of frames frames at the size of the GIF first: its one frame, then the frame of the GIF later
    again and again, each with later's colours as its own table."""
    head, [opening] = gif_parts(pathlib.Path(first).read_bytes())
    later_head, [(extensions, descriptor, body)] = gif_parts(pathlib.Path(later).read_bytes())
    own = descriptor[:9] + bytes([descriptor[9] | 0x80 | later_head[10] & 7]) + later_head[13:]
    pathlib.Path(path).write_bytes(head + b"".join(opening) + (extensions + own + body) * (frames - 1) + b";")


class HttpsServer:
    """A loopback server in a thread of the test: https with a certificate that a test authority signed
    ("trusted", whose authority the daemon's namespace trusts in place of the system's) or that signs itself
    ("untrusted"), or a plain http proxy (None). It serves blocks.png from the test's folder, "to-passwd" as a
    redirect to file:///etc/passwd and "huge" as 200 MiB; with stall, half of every file and then nothing."""

    def __init__(self, case, kind, stall=False):
        folder, served = case.path(), self

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *_):
                pass

            def do_GET(self):
                served.paths.append(self.path)
                name = self.path.rsplit("/", 1)[1]
                if name == "to-passwd":
                    self.send_response(302)
                    self.send_header("Location", "file:///etc/passwd")
                    self.end_headers()
                    return
                if name == "huge":
                    self.send_response(200)
                    self.end_headers()
                    chunk = bytes(1 << 20)
                    for _ in range(200):
                        self.wfile.write(chunk)
                    return
                body = pathlib.Path(folder, name).read_bytes()
                self.send_response(200)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body[:len(body) // 2] if stall else body)
                if stall:
                    self.wfile.flush()
                    served.stop.wait(60)

        self.paths, self.stop = [], threading.Event()
        class QuietServer(http.server.ThreadingHTTPServer):
            def handle_error(self, *_):
                pass  # the untrusted server's handshakes fail, as they should

        self.server = QuietServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.scheme = "http"
        if kind:
            self.scheme, self.trust = "https", self.certificate(case, kind)
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(case.path(f"{kind}.pem"), case.path(f"{kind}.key"))
            self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        case.addCleanup(self.server.server_close)
        case.addCleanup(self.server.shutdown)
        case.addCleanup(self.stop.set)

    def url(self, name):
        return f"{self.scheme}://127.0.0.1:{self.server.server_address[1]}/{name}"

    @staticmethod
    def certificate(case, kind):
        """Makes the server's key and certificate for 127.0.0.1; gives the bind that makes the daemon trust
        the test's authority in place of the system's store."""
        openssl = lambda *arguments: subprocess.run(["openssl", *arguments], check=True, capture_output=True)
        key, pem, authority = case.path(f"{kind}.key"), case.path(f"{kind}.pem"), case.path("authority")
        if not os.path.exists(authority + ".pem"):
            openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=zelvo test authority",
                    "-keyout", authority + ".key", "-out", authority + ".pem")
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1", "-keyout", key, "-out", pem + ".csr")
        pathlib.Path(case.path("names")).write_text("subjectAltName = IP:127.0.0.1\n")
        signer = ["-CA", authority + ".pem", "-CAkey", authority + ".key", "-CAcreateserial"] if kind == "trusted" \
            else ["-signkey", key]
        openssl("x509", "-req", "-in", pem + ".csr", "-days", "2", "-extfile", case.path("names"), *signer, "-out", pem)
        return (authority + ".pem", SYSTEM_STORE)


class ColourChildCase(CycleCase):
    def setUp(self):
        super().setUp()
        self.feh, self.xrdb = self.install_recorder("feh"), self.install_recorder("xrdb")
        self.colours = pathlib.Path(self.home, ".zelvo", "colors")
        self.temporary = self.path("tmp")
        os.mkdir(self.temporary)
        self.env["TMPDIR"] = self.temporary

    def colour_children(self, pid):
        """The daemon's children that are still the daemon's program: its colour step."""
        found = []
        for child in pathlib.Path(f"/proc/{pid}/task/{pid}/children").read_text().split():
            try:
                if pathlib.Path(f"/proc/{child}/comm").read_text() == "zelvo\n":
                    found.append(int(child))
            except OSError:
                pass  # it ended while we looked
        return found

    def viewer_children(self, pid):
        """The daemon's children that are no worker of its own: feh still drawing."""
        return [child for child in pathlib.Path(f"/proc/{pid}/task/{pid}/children").read_text().split()
                if pathlib.Path(f"/proc/{child}/comm").exists() and
                pathlib.Path(f"/proc/{child}/comm").read_text() != "zelvo\n"]

    def settle(self, pid):
        """Waits until the daemon's colour steps have ended, the one that prepares the next change's too."""
        self.poll(lambda: not self.colour_children(pid), "lets its colour steps end", DEADLINE + 5)

    def assert_no_temporary_files(self):
        """The steps' private directories go a moment after the steps, once the daemon has heard of their end."""
        self.poll(lambda: os.listdir(self.temporary) == [], "removes the colour steps' temporary files", 2)

    def skip(self, pid, changes, *texts, timeout=10.0):
        """Sends SIGUSR1, expects SKIP and texts, and waits for the change's xrdb; gives the seconds it took."""
        began = time.monotonic()
        os.kill(pid, signal.SIGUSR1)
        self.assert_notices(self.messages(1 + len(texts), timeout), pid, SKIP, *texts)
        self.wait_records(self.xrdb, changes, timeout)
        return time.monotonic() - began

    def assert_palette(self, colours, text=None):
        """Every entry that the dark shaping leaves alone in the colour file (or text) is one of the block
        colours colours, and one of them is a mid colour of its own."""
        text = self.colours.read_text() if text is None else text
        kept = [hex_colour(line.split()[2]) for index, line in enumerate(text.splitlines())
                if index not in (7, 8, 15)]
        self.assertTrue(all(near(colour, colours) for colour in kept) and any(near(colour, colours[8:])
                                                                              for colour in kept), kept)


class BadInputTest(ColourChildCase):
    def test_a_hanging_or_killed_colour_step_costs_the_default_palette_and_nothing_else(self):
        blocks, image = block_colours(0x48, 0xb8), self.path("images", "wall.png")
        os.mkdir(self.path("images"))
        make_block_image(self.path("blocks.png"), blocks)
        os.link(self.path("blocks.png"), image)
        subprocess.run(["convert", "-size", "7680x4320", "gradient:red-blue", self.path("large.png")], check=True)
        pathlib.Path(self.top, "policy.xml").write_text(DISK_POLICY)
        self.env["MAGICK_CONFIGURE_PATH"] = self.top
        pid = self.start({"feh-path": self.feh, "xrdb-path": self.xrdb, "colors": True, "use-xrdb": True,
                          "dark": True, "pics": [image]})
        self.wait_records(self.xrdb, 1)
        self.assert_palette(blocks)
        self.settle(pid)

        # Killed while it reads a large image into a disk cache in its private directory.
        os.replace(self.path("large.png"), image)
        os.kill(pid, signal.SIGUSR1)
        caches = self.poll(lambda: glob.glob(f"{self.temporary}/zelvo-colour.*/magick-*"), "caches pixels on disk")
        [child] = self.colour_children(pid)
        os.kill(child, signal.SIGKILL)
        self.assert_notices(self.messages(2), pid, SKIP, ENDED.format(image))
        self.wait_records(self.xrdb, 2)
        self.assertEqual(self.colours.read_text(), DEFAULT_FILE)
        self.assertFalse(os.path.exists(caches[0]))
        self.settle(pid)  # the next change's colours, prepared from the large image
        self.assert_no_temporary_files()

        # Swapped for a FIFO that no one writes, whose open would never return: it is not opened.
        os.remove(image)
        os.mkfifo(image)
        took = self.skip(pid, 3)
        print(f"\nFIFO: the change took {took:.2f} s")
        self.assertLess(took, DEADLINE)
        self.settle(pid)
        self.assertEqual(self.colours.read_text(), DEFAULT_FILE)
        self.assert_no_temporary_files()

        os.remove(image)
        os.link(self.path("blocks.png"), image)
        self.skip(pid, 4)
        self.assert_palette(blocks)
        self.settle(pid)
        self.quit(pid)

    def test_a_url_that_stalls_costs_the_deadline_and_holds_up_no_quit(self):
        make_block_image(self.path("stalled.png"), block_colours(0x48, 0xb8))
        server = HttpsServer(self, "trusted", stall=True)
        url = server.url("stalled.png")
        self.configure({"feh-path": self.feh, "xrdb-path": self.xrdb, "colors": True, "use-xrdb": True, "pics": [url]})
        began = time.monotonic()
        pid = self.start_daemon(env=self.env, binds=[server.trust])
        # The body stops half-way, and the fetch gives up before the deadline would kill the step.
        [message] = self.messages(1, DEADLINE + 5)
        took = time.monotonic() - began
        self.assertTrue(message.text.startswith(FETCH_FAILED.format(url, "Operation timed out")), message.text)
        self.wait_records(self.xrdb, 1)
        self.assertEqual(self.colours.read_text(), DEFAULT_FILE)
        self.assertLess(took, DEADLINE + 1)
        # A quit while the next fetch waits on the server is taken at once, and leaves nothing behind.
        self.send(pid, [signal.SIGUSR1], SKIP)
        self.poll(lambda: self.colour_children(pid), "fetches the URL again")
        quitting = time.monotonic()
        self.quit(pid)
        self.assertLess(time.monotonic() - quitting, 2 if not SANITIZED else 4)
        self.assert_no_temporary_files()
        print(f"\nURL: default palette {took:.2f} s after the start; quit during the next fetch "
              f"{time.monotonic() - quitting:.2f} s")

    def test_urls_are_fetched_by_zelvo_with_their_certificates_checked(self):
        blocks = block_colours(0x48, 0xb8)
        image = make_block_image(self.path("blocks.png"), blocks)
        trusted, untrusted = HttpsServer(self, "trusted"), HttpsServer(self, "untrusted")
        proxy = HttpsServer(self, None)
        # (the entry, the log line it costs, or None for the palette of the same file read from disk)
        cases = {image: None, trusted.url("blocks.png"): None,
                 untrusted.url("blocks.png"): FETCH_FAILED.format(untrusted.url("blocks.png"), "SSL certificate problem"),
                 trusted.url("to-passwd"): FETCH_FAILED.format(trusted.url("to-passwd"), 'Protocol "file"'),
                 trusted.url("huge"): FETCH_FAILED.format(trusted.url("huge"), "it is larger than 64 MiB"),
                 # A host that only the proxy of the environment knows.
                 "http://wallpapers.invalid/blocks.png": None}
        self.configure({"feh-path": self.feh, "xrdb-path": self.xrdb, "colors": True, "use-xrdb": True, "dark": True,
                        "pics": list(cases)})
        began = time.monotonic()
        pid = self.start_daemon(env={**self.env, "http_proxy": proxy.url("").rstrip("/")}, binds=[trusted.trust])
        palettes = {}
        for change in range(1, len(cases) + 1):
            if change > 1:
                os.kill(pid, signal.SIGUSR1)
            shown = self.wait_records(self.feh, change)[-1]["argv"][3]
            line = cases[shown]
            said = self.messages((change > 1) + (line is not None), DEADLINE)
            self.assertEqual([message.text for message in said[:change > 1]], [SKIP] * (change > 1))
            if line is not None:
                self.assertTrue(said[-1].text.startswith(line), said[-1].text)
            self.wait_records(self.xrdb, change)
            palettes[shown] = self.colours.read_text()
        took = time.monotonic() - began
        for entry, line in cases.items():
            self.assertEqual(palettes[entry], DEFAULT_FILE if line else palettes[image], entry)
        self.assert_palette(blocks, palettes[image])  # the file's own palette, not the default one
        self.assertLess(took, DEADLINE)
        self.assertEqual(proxy.paths, ["http://wallpapers.invalid/blocks.png"])
        self.settle(pid)
        self.assert_no_temporary_files()
        print(f"\nURLs: {len(cases)} changes in {took:.2f} s")
        self.quit(pid)

    def test_an_animation_is_read_only_as_far_as_its_first_frame(self):
        blocks = block_colours(0x55, 0xaa)
        make_block_image(self.path("blocks.png"), blocks)
        subprocess.run(["convert", self.path("blocks.png"), "-sample", "4000x4000", self.path("first.gif")], check=True)
        subprocess.run(["convert", "-size", "4000x4000", "xc:red", self.path("red.gif")], check=True)
        animation = self.path("animation.gif")
        make_animation(animation, self.path("first.gif"), self.path("red.gif"), 500)
        self.assertEqual(subprocess.run(["identify", "-ping", "-format", "%n %wx%h\n", animation], check=True,
                                        capture_output=True, text=True).stdout.split("\n")[0], "500 4000x4000")
        pid = self.start({"feh-path": self.feh, "xrdb-path": self.xrdb, "colors": True, "use-xrdb": True,
                          "dark": True, "pics": [self.path("first.gif")]})
        self.wait_records(self.xrdb, 1)
        alone = self.colours.read_text()
        self.assert_palette(blocks)
        os.replace(animation, self.path("first.gif"))
        took = self.skip(pid, 2)
        print(f"\nanimation of {os.path.getsize(self.path('first.gif')) / 1e6:.1f} MB: the change took {took:.2f} s")
        self.assertEqual(self.colours.read_text(), alone)
        self.assertLess(took, 5)
        self.quit(pid)


class ManyChangesTest(ColourChildCase):
    def test_hundreds_of_changes_after_pings_give_their_palettes_and_leave_the_daemon_small(self):
        os.mkdir(self.path("images"))
        palettes = {make_block_image(self.path("images", f"{low:02x}.png"), block_colours(low, high)):
                    block_colours(low, high) for low, high in MIDS}
        if SANITIZED:
            # Freed blocks are reused at once, not held back in quarantine, and frames stay on the stack: the
            # fake stack that catches a use after return fills its slots change by change up to megabytes.
            self.env["ASAN_OPTIONS"] = "quarantine_size_mb=0:thread_local_quarantine_size_kb=0:" \
                                       "detect_stack_use_after_return=0"
        pid = self.start({"feh-path": self.feh, "xrdb-path": self.xrdb, "colors": True, "use-xrdb": True,
                          "dark": True, "pics": [self.path("images")]})
        self.wait_records(self.xrdb, 1)
        size = lambda: [int(proc_status(pid, key).split()[0]) for key in ("VmRSS", "VmHWM")]
        first = size()
        for change in range(2, 302):
            if change % 50:
                self.skip(pid, change)
            else:  # the reload pings every image again in the daemon itself
                os.kill(pid, signal.SIGHUP)
                self.expect(pid, RELOAD, RELOADED)
                self.wait_records(self.xrdb, change)
            shown = self.changes(pid, self.feh, change)[-1]["argv"][3]
            self.assert_palette(palettes[shown])
        self.assertEqual(self.colours.read_text().count("\n"), 16)
        rss, hwm = size()
        print(f"\nafter 1 and 301 changes: VmRSS {first[0]} and {rss} KiB, VmHWM {first[1]} and {hwm} KiB, "
              f"{proc_status(pid, 'Threads')} threads")
        if SANITIZED:  # the sanitizers' shadow memory and their allocator's own caches set the size
            self.assertTrue(rss - first[0] < 8 << 10 and hwm - first[1] < 8 << 10, (first, rss, hwm))
        else:
            self.assertTrue(rss < 12 << 10 and hwm < 24 << 10, (rss, hwm))
        self.assert_no_temporary_files()
        self.quit(pid)


class CacheTest(ColourChildCase):
    """With cache on, the colours an image gives are kept under the hash of its bytes, before shaping; whatever
    becomes of the cache, the palette is the true one."""

    def entry(self):
        """The cache's one entry: its path, and its lines."""
        [path] = [path for path in self.cache.iterdir() if not path.name.startswith(".")]
        return path, path.read_text().splitlines()

    def forged(self, path, tuples):
        """Rewrites the entry at path with other tuples, checked as the daemon checks an entry."""
        lines = path.read_text().splitlines()[:3] + ["colours 16", *tuples]
        text = "".join(line + "\n" for line in lines)
        path.write_text(text + "check " + hashlib.sha256(text.encode()).hexdigest()[:32] + "\n")

    def change(self, pid, *texts):
        """A change that shows the image as it is now, with nothing prepared for it; gives the colour file.
        self.made counts the changes."""
        self.settle(pid)
        os.utime(self.image)  # the next change's colours, prepared before, no longer count
        self.made += 1
        self.skip(pid, self.made, *texts)
        return self.colours.read_text()

    def reload(self, pid, *texts):
        """A reload, and the change it makes; gives the colour file."""
        self.made += 1
        self.send(pid, [signal.SIGHUP], RELOAD, *texts, RELOADED)
        self.wait_records(self.xrdb, self.made)
        return self.colours.read_text()

    def test_the_palette_is_the_true_one_whatever_became_of_the_cache(self):
        self.cache = pathlib.Path(self.home, ".zelvo", "cache")
        first, second = block_colours(*MIDS[1]), block_colours(*MIDS[0])
        made = [make_block_image(self.path(f"made{index}.png"), colours) for index, colours in enumerate((first, second))]
        self.image = self.path("wall.png")
        shutil.copy(made[0], self.image)
        settings = {"feh-path": self.feh, "xrdb-path": self.xrdb, "colors": True, "use-xrdb": True, "dark": True,
                    "cache": True, "pics": [self.image]}
        pid, self.made = self.start(settings), 1
        self.wait_records(self.xrdb, 1)
        self.assert_palette(first)
        digests = [hashlib.sha256(pathlib.Path(image).read_bytes()).hexdigest() for image in made]
        path, lines = self.entry()
        self.assertEqual((path.name[:64], lines[3]), (digests[0], "colours 16"))
        # Changed in place: new bytes, new palette, and an entry of its own.
        pathlib.Path(self.image).write_bytes(pathlib.Path(made[1]).read_bytes())
        truth = self.change(pid)
        self.assert_palette(second)
        self.assertEqual(len(list(self.cache.iterdir())), 2)
        [entry] = [path for path in self.cache.iterdir() if path.name.startswith(digests[1])]
        whole = entry.read_bytes()

        elsewhere = pathlib.Path(self.path("elsewhere"))
        elsewhere.mkdir()
        def spoil_folder(replace):
            shutil.rmtree(self.cache)
            replace(self.cache)
        def restore_folder():
            (self.cache.unlink if self.cache.is_symlink() or self.cache.is_fifo() else self.cache.rmdir)()
            self.cache.mkdir()
            entry.write_bytes(whole)
        # (what becomes of the cache, and whether the entry is made again whole)
        cases = [(lambda: entry.write_bytes(whole[:len(whole) // 2]), True),
                 (lambda: entry.write_bytes(bytes(range(256)) * 2), True),
                 (lambda: spoil_folder(os.mkfifo), False),
                 (lambda: spoil_folder(lambda path: path.symlink_to(elsewhere)), False)]
        for spoil, remade in cases:
            spoil()
            self.assertEqual(self.change(pid), truth)
            if remade:
                self.assertEqual(entry.read_bytes(), whole)
            else:
                self.assertEqual(list(elsewhere.iterdir()), [])
                # A reload, or a start, says once that the cache cannot be used.
                why = "it is not a folder" if self.cache.is_fifo() else "it is a symbolic link"
                line = f"Zelvo cannot use the palette cache {self.cache}: {why}; colours are found without it"
                self.assertEqual(self.reload(pid, line), truth)
                restore_folder()
                self.reload(pid)

        # What is kept is extraction's own colours: shaped afresh at every change.
        tuples = [f"#{red:02X}{green:02X}{blue:02X}" for red, green, blue in block_colours(0x50, 0xa8)]
        self.forged(entry, tuples)
        entries = entries_of(self.change(pid))
        kept = [index for index in range(16) if index not in (7, 8, 15)]
        self.assertEqual([entries[index] for index in kept], [tuples[index] for index in kept])
        self.assertEqual(hex_colour(entries[7]), tuple((channel + 0xee) // 2 for channel in hex_colour(tuples[7])))
        self.quit(pid)

        # A full disk: nothing can be kept, and the palette is the true one, change after change.
        shutil.rmtree(self.cache)
        self.cache.mkdir()
        self.configure(settings)
        self.made += 1
        pid = self.start_daemon(env=self.env, full=str(self.cache))
        self.wait_records(self.xrdb, self.made)
        self.assertEqual(self.colours.read_text(), truth)
        self.assertEqual(self.change(pid), truth)
        self.quit(pid)

    def test_an_image_of_64_gib_gets_its_true_palette_through_the_cache(self):
        self.cache = pathlib.Path(self.home, ".zelvo", "cache")
        colours = block_colours(*MIDS[1])
        self.image = make_block_image(self.path("huge.png"), colours)
        os.truncate(self.image, 64 << 30)  # sparse: what follows the image's end is never read
        pid, self.made = self.start({"feh-path": self.feh, "xrdb-path": self.xrdb, "colors": True, "use-xrdb": True,
                                     "dark": True, "cache": True, "pics": [self.image]}), 1
        self.wait_records(self.xrdb, 1)
        self.assert_palette(colours)
        path, lines = self.entry()
        self.assertEqual(lines[3], "colours 16")
        # Found again in the cache, the same; touched, the image is another one to the cache.
        truth = self.colours.read_text()
        self.settle(pid)
        self.made += 1
        self.skip(pid, self.made)
        self.assertEqual((self.colours.read_text(), self.entry()), (truth, (path, lines)))
        self.assertEqual(self.change(pid), truth)
        self.assertEqual(len([path for path in self.cache.iterdir() if not path.name.startswith(".")]), 2)
        self.quit(pid)

    def test_a_cache_beyond_its_bound_is_pruned_after_the_changes_down_to_it(self):
        self.cache = pathlib.Path(self.home, ".zelvo", "cache")
        self.image = make_block_image(self.path("wall.png"), block_colours(*MIDS[1]))
        pid, self.made = self.start({"feh-path": self.feh, "xrdb-path": self.xrdb, "colors": True, "use-xrdb": True,
                                     "cache": True, "pics": [self.image]}), 1
        self.wait_records(self.xrdb, 1)
        own, _ = self.entry()
        # Entries of other images, last used long ago, far beyond the bound of 20,000.
        stored = 23_000
        tag = own.name[65:]
        for number in range(stored):
            forged = self.cache / f"{number:064x}-{tag}"
            forged.write_text("old\n")
            os.utime(forged, (number, number))
        count = lambda: sum(1 for _ in self.cache.iterdir())
        # Each complete change starts a prune of a slice, which no later change ends.
        for _ in range(2):
            before = count()
            self.change(pid)
            self.poll(lambda: count() < before, "prunes the cache after a change")
        self.change(pid)
        self.poll(lambda: count() <= 20_000, "prunes the cache down to its bound")
        left = sorted(path.name for path in self.cache.iterdir())
        self.assertIn(own.name, left)
        # The least recently used went: what is left of the forged ones are the newest.
        forged = [name for name in left if name != own.name]
        self.assertEqual(forged, [f"{number:064x}-{tag}" for number in range(stored - len(forged), stored)])
        self.quit(pid)


class PreparedTest(ColourChildCase):
    """The colours of the next change are made in the background, right after a change; a change uses them
    only when they are still those of the image it shows."""

    def setUp(self):
        super().setUp()
        os.mkdir(self.path("images"))
        self.palettes = {make_block_image(self.path("images", f"{low:02x}.png"), block_colours(low, high)):
                         block_colours(low, high) for low, high in MIDS}

    def shown(self, change):
        return self.wait_records(self.feh, change)[change - 1]["argv"][3]

    def slow_image(self):
        """An image whose pixels, kept on disk, take its colour step seconds to read (well within the
        deadline, in a sanitized build too)."""
        slow = make_block_image(self.path("slow.png"), block_colours(0x50, 0xa8), 768 if SANITIZED else 2048)
        pathlib.Path(self.top, "policy.xml").write_text(DISK_POLICY)
        self.env["MAGICK_CONFIGURE_PATH"] = self.top
        return slow

    def start_colours(self, images, **settings):
        return self.start({"feh-path": self.feh, "xrdb-path": self.xrdb, "colors": True, "use-xrdb": True,
                           "dark": True, "pics": images, **settings})

    def test_prepared_colours_are_the_bytes_of_the_image_shown_whatever_became_of_it(self):
        pid = self.start_colours(sorted(self.palettes))
        # Round the ring with every palette prepared, then with every image changed since: the same bytes.
        walks = [{}, {}]
        for change in range(1, 7):
            if change > 3:
                for image in self.palettes:
                    os.utime(image)
            if change > 1:
                self.skip(pid, change)
            self.wait_records(self.xrdb, change)  # started once the colour file is complete
            walks[change > 3][self.shown(change)] = self.colours.read_text()
            self.settle(pid)
        self.assertEqual(walks[0], walks[1])
        for image, text in walks[0].items():
            self.assert_palette(self.palettes[image], text)
        # The next image replaced by another, deleted or made a FIFO since its colours were prepared: what
        # is there counts, at once, and the change logs nothing but itself.
        ring = [self.shown(change) for change in (1, 2, 3)]
        other = block_colours(0x50, 0xa8)
        swaps = [lambda path: os.replace(make_block_image(self.path("other.png"), other), path), os.remove,
                 lambda path: (os.remove(path), os.mkfifo(path))]
        for change, swap in enumerate(swaps, start=7):
            swap(ring[(change - 1) % 3])
            took = self.skip(pid, change)
            if change == 7:
                self.assert_palette(other)
            else:
                self.assertEqual(self.colours.read_text(), DEFAULT_FILE)
            self.assertLess(took, DEADLINE)
            self.settle(pid)
        self.quit(pid)

    def test_a_storm_of_changes_ends_with_the_colours_of_the_last_image_shown(self):
        pid = self.start_colours(sorted(self.palettes))
        self.wait_records(self.xrdb, 1)
        self.settle(pid)
        # A step of its own, for each change of a storm: one with nothing prepared for it.
        for image in self.palettes:
            os.utime(image)
        began = time.monotonic()
        self.send(pid, [signal.SIGUSR2], SHUFFLE)
        self.wait_records(self.xrdb, 2)
        fresh = time.monotonic() - began
        self.settle(pid)
        said = []

        def idle():
            """No colour step at work and the last change's xrdb started, and still so a moment later. The log
            is read meanwhile: a syslog socket that nobody reads holds its writer up."""
            def now():
                self.log.setblocking(False)
                try:
                    while True:
                        said.append(SYSLOG_LINE.fullmatch(self.log.recv(65536))[4].decode())
                except BlockingIOError:
                    pass
                # feh draws one change at a time: changes that come while one draws merge into the latest.
                return not self.colour_children(pid) and len(records(self.xrdb)) > 2 and \
                    0 < len(records(self.feh)) - 2 <= len(said) and not self.viewer_children(pid)
            changes = len(records(self.xrdb))
            return now() and (time.sleep(0.3), now() and len(records(self.xrdb)) == changes)[1]

        began = time.monotonic()
        for _ in range(20):
            os.kill(pid, signal.SIGUSR1)
            time.sleep(0.005)
        self.poll(idle, "is idle again after the storm", 60)
        took, changes, drawn = time.monotonic() - began - 0.3, len(said), len(records(self.feh)) - 2
        # Every change is taken at once; only the last one's colours are made to the end (and the
        # first one's, when its prepared colours were ready before the next signal).
        self.assertEqual(said, [SKIP] * changes)
        self.assertLessEqual(len(records(self.xrdb)) - 2, 2)
        self.assert_palette(self.palettes[self.changes(pid, self.feh, drawn + 2)[-1]["argv"][3]])
        print(f"\nstorm: {changes} changes, idle again {took:.2f} s after the first signal; a change of its own: "
              f"{fresh:.2f} s")
        self.assertLess(took, 2 * fresh + 1)
        self.quit(pid)

    def test_the_daemons_signals_cost_its_colour_steps_nothing(self):
        slow = self.slow_image()
        self.configure({"feh-path": self.feh, "xrdb-path": self.xrdb, "colors": True, "use-xrdb": True,
                        "dark": True, "pics": [slow]})
        pid = self.start_daemon(env=self.env)
        # What `pkill -x zelvo` would send the first change's colour step, which still bears the name.
        step = self.poll(lambda: self.colour_children(pid), "starts a colour step")[0]
        for number in (signal.SIGUSR1, signal.SIGUSR2, signal.SIGHUP, signal.SIGINT, signal.SIGQUIT, signal.SIGTERM,
                       signal.SIGRTMIN):
            os.kill(step, number)
        self.wait_records(self.xrdb, 1, DEADLINE + 5)
        signalled = self.colours.read_text()
        self.settle(pid)
        os.utime(slow)  # made anew, with no signal
        self.skip(pid, 2, timeout=DEADLINE + 5)
        self.assertEqual(signalled, self.colours.read_text())
        self.assertNotEqual(signalled, DEFAULT_FILE)
        self.quit(pid)

    def test_a_preparation_that_is_no_longer_needed_is_killed(self):
        slow = self.slow_image()
        block = sorted(self.palettes)[0]
        # A ring of two: after the block image comes the slow one.
        config = self.configure({"feh-path": self.feh, "xrdb-path": self.xrdb, "colors": True, "use-xrdb": True,
                                 "dark": True, "pics": [slow, block]})
        pid = self.start_daemon(env=self.env)
        changes = 1

        def change(number, *texts):
            nonlocal changes
            changes += 1
            os.kill(pid, number)
            self.expect(pid, *texts)
            self.wait_records(self.xrdb, changes, DEADLINE + 5)
            return self.shown(changes)

        def preparing_slow():
            """Changes until the block image is on screen; gives the step that prepares the slow one."""
            if self.shown(changes) != block:
                self.settle(pid)
                self.assertEqual(change(signal.SIGUSR1, SKIP), block)
            return self.poll(lambda: self.colour_children(pid), "prepares the slow image")[0]

        self.wait_records(self.xrdb, 1, DEADLINE + 5)
        # A reshuffle that puts the block image first again kills the slow image's step at once.
        for attempt in range(10):
            step = preparing_slow()
            if change(signal.SIGUSR2, SHUFFLE) == block:
                break
        self.poll(lambda: not os.path.exists(f"/proc/{step}"), "kills the preparation it no longer needs", 2)
        self.assert_palette(self.palettes[block])
        # So does a reload whose ring has no slow image.
        step = preparing_slow()
        pathlib.Path(config).write_text(pathlib.Path(config).read_text().replace(f'"{slow}", ', ""))
        self.assertEqual(change(signal.SIGHUP, RELOAD, RELOADED), block)
        self.poll(lambda: not os.path.exists(f"/proc/{step}"), "kills the preparation it no longer needs", 2)
        self.assert_palette(self.palettes[block])
        # A quit while the next colours are being prepared takes about a second, and leaves nothing behind.
        pathlib.Path(config).write_text(pathlib.Path(config).read_text().replace(f'"{block}"', f'"{slow}", "{block}"'))
        change(signal.SIGHUP, RELOAD, RELOADED)
        step = preparing_slow()
        began = time.monotonic()
        self.quit(pid)
        took = time.monotonic() - began
        self.assertLess(took, 2 if not SANITIZED else 4)
        self.assertFalse(os.path.exists(f"/proc/{step}"))
        self.assert_no_temporary_files()
        print(f"\nquit while preparing: {took:.2f} s")


if __name__ == "__main__":
    unittest.main()
