#!/usr/bin/env python3
"""The real binary under load: thousands of mixed signals sent fast, and hundreds of reloads
alternating usable and broken files. It stays up, alone, without leaking, and quits cleanly."""
import collections, json, os, pathlib, platform, random, re, select, shutil, signal, socket, subprocess, threading, time, \
    unittest

from harness import (BINARY, live_heap_kib, LOG_MARK, SYSLOG_LINE, ZELVOCTL, ZelvoCase, libconfig_text, make_solid_images, proc_stat,
                     proc_status)

SKIP = "SIGUSR1 has been recived: skiping ahead"
SHUFFLE = "SIGUSR2 has been recived: reshuffling picture list"
RELOAD, RELOADED, QUIT = "SIGHUP has been recived: regening config", "config regened", "Zelvo has quit"
# The calls in which libevent's loop sleeps: epoll_wait and epoll_pwait.
EPOLL_CALLS = {"x86_64": {"232", "281"}, "aarch64": {"22"}}.get(platform.machine(), set())
# Memory is RssAnon, the anonymous resident set where a leak grows (the part mapped from files
# comes and goes with the page cache of a busy machine). Within 64 KiB counts as flat: allocators
# settle in steps of a few pages (measured: at most 12 KiB), while leaks injected for trial, of 48
# bytes per change or one Config per usable reload, added 96-148 and 168 KiB. An instrumented daemon's
# resident set also holds its sanitizer's records, which grow with every fork: its live heap is used.
SLACK_KIB = 64


class LogDrain:
    """Reads the syslog socket on a thread, counting the daemon's lines by text (others by their
    whole datagram): glibc's syslog() blocks while the queue is full, stalling the daemon's loop."""
    def __init__(self, log, pid):
        self.texts, self.ready = collections.Counter(), threading.Condition()
        log.settimeout(0.1)  # to see the harness close the socket
        threading.Thread(target=self.run, args=(log, pid), daemon=True).start()

    def run(self, log, pid):
        while True:
            try:
                match = SYSLOG_LINE.fullmatch(datagram := log.recv(65536))
            except TimeoutError:
                continue
            except OSError:
                return  # closed
            with self.ready:
                self.texts[match[4].decode() if match and int(match[3]) == pid else repr(datagram)] += 1
                self.ready.notify_all()

    def wait(self, condition, what, timeout=120.0):
        """Waits until condition holds of the counts so far; gives a copy of them."""
        with self.ready:
            if not self.ready.wait_for(lambda: condition(self.texts), timeout):
                raise AssertionError(f"the daemon never {what}; logged {dict(self.texts)}")
            return collections.Counter(self.texts)


class Slowloris:
    """count clients on a thread that hold places and never finish a request: half send nothing, half a
    byte every half second; each one that the daemon lets go connects again at once."""
    def __init__(self, path, count):
        self.path, self.count, self.let_go = path, count, 0
        self.connected, self.stop = threading.Event(), threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def connect(self):
        client = socket.socket(socket.AF_UNIX)
        client.connect(self.path)  # waits while the listen queue is full
        client.setblocking(False)
        return client

    def run(self):
        clients = [self.connect() for _ in range(self.count)]
        self.connected.set()
        while not self.stop.wait(0.5):
            for index, client in enumerate(clients):
                try:
                    if index % 2:
                        client.send(b"s")
                    ended = bool(select.select([client], [], [], 0)[0])  # a word, or the end
                except OSError:
                    ended = True
                if ended:
                    client.close()
                    clients[index] = self.connect()
                    self.let_go += 1
        for client in clients:
            client.close()

    def close(self):
        self.stop.set()
        self.thread.join(30)


def below(root):
    """{pid: (parent, comm, state)} of every process descending from root."""
    table = collections.defaultdict(dict)
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            comm, stat = pathlib.Path(f"/proc/{pid}/comm").read_text().strip(), proc_stat(pid)
        except OSError:
            continue  # it ended while we looked
        table[stat["ppid"]][int(pid)] = (stat["ppid"], comm, stat["state"])
    found, parents = {}, [root]
    while parents:
        found.update(children := table[parents.pop()])
        parents += children
    return found


def record_lines(program):
    """The stand-in's records; a line without its newline is still being written, and a read may overtake it."""
    path = pathlib.Path(program + ".log")
    return path.read_text().split("\n")[:-1] if path.exists() else []


class StressCase(ZelvoCase):
    def setUp(self):
        super().setUp()
        self.feh = self.path("bin", "feh")
        self.instrumented = b"__asan_init" in pathlib.Path(BINARY).read_bytes()

    def reap_others(self, pid):
        """Reaps this subreaper's children other than the daemon: the middle process of its
        detaching, and whatever gdb leaves."""
        me = os.getpid()
        for other in [child for child, entry in below(me).items() if entry[0] == me and child != pid]:
            os.waitpid(other, 0)

    def settle(self, pid):
        """Waits until the daemon sleeps in its loop with no signal pending and every process it
        forked has ended; fails with what is left (a second zelvo, a zombie) when that never comes."""
        self.assertTrue(EPOLL_CALLS, f"no known epoll calls on {platform.machine()}")
        def settled():
            # As the subreaper, the test stands in for init: it reaps what reaches it, such as the
            # probers of a background expansion that a newer reload ended with them.
            for child, entry in below(os.getpid()).items():
                if child != pid and entry[0] == os.getpid() and entry[2] == "Z":
                    os.waitpid(child, 0)
            pending = int(proc_status(pid, "ShdPnd"), 16) | int(proc_status(pid, "SigPnd"), 16)
            sleeping = pathlib.Path(f"/proc/{pid}/syscall").read_text().split()[0] in EPOLL_CALLS
            return not pending and sleeping and list(below(os.getpid())) == [pid]
        # Each signal taken is a change, and under the sanitizers each change's fork and colour
        # process cost some 45 ms: a thousand queued signals take most of a minute to work off.
        deadline = time.monotonic() + (300 if self.instrumented else 60)
        # Twice, a moment apart: the three readings are not taken at one instant, and a child may
        # end between them while the daemon is about to take its answer.
        while not (settled() and (time.sleep(0.05), settled())[1]):
            if time.monotonic() > deadline:
                self.fail(f"the daemon {pid} never settled; processes below the test: {below(os.getpid())}")
            time.sleep(0.02)
        self.assertEqual(below(os.getpid()), {pid: (os.getpid(), "zelvo", "S")})

    def footprint(self, pid):
        """The settled daemon's descriptors (what each leads to) and its memory in KiB."""
        self.settle(pid)
        fds = {fd: os.readlink(f"/proc/{pid}/fd/{fd}") for fd in os.listdir(f"/proc/{pid}/fd")}
        if not self.instrumented:
            return fds, int(proc_status(pid, "RssAnon").split()[0])
        heap = live_heap_kib(pid)
        self.reap_others(pid)
        return fds, heap

    def assert_flat(self, text, before, after):
        kind = "KiB of live heap" if self.instrumented else "KiB anonymous resident"
        print(f"\n{text}: {len(before[0])} and {len(after[0])} fds, {before[1]} and {after[1]} {kind}", flush=True)
        self.assertEqual(before[0], after[0])
        self.assertLessEqual(after[1], before[1] + SLACK_KIB, kind)


class SignalStormTest(StressCase):
    def test_three_thousand_mixed_signals_leave_one_steady_daemon(self):
        # Colours on: every change reads its image with MagickCore, a leak path worth
        # watching, and 4x4 images never reach the costly quantization, so it stays fast.
        dirs = [self.path(name) for name in "abc"]
        for index, directory in enumerate(dirs):
            make_solid_images(directory, ["red", "lime", "blue", "yellow", "cyan"][index:index + 3], "4x4")
        self.write_config({"feh-path": self.feh, "minutes": 20, "monitors": 2, "colors": True,
                           "source_to_use": "pics", "pics": dirs})
        pid = self.start_daemon()
        self.reap_others(pid)
        drain = LogDrain(self.log, pid)
        storm = random.Random(1409).choices([signal.SIGUSR1, signal.SIGUSR2, signal.SIGHUP], k=3000)
        sent, footprints, sending = collections.Counter(), [], 0.0
        for first in (0, 1000, 2000):
            began = time.monotonic()
            for index, number in enumerate(storm[first:first + 1000]):
                time.sleep(max(0.0, began + index / 300 - time.monotonic()))  # keeps the pace only
                os.kill(pid, number)
                sent[number] += 1
            sending += time.monotonic() - began
            if first != 1000:
                footprints.append(self.footprint(pid))
        # Settled, it has logged every change it made; feh drew the changes one at a time, those that
        # came while one drew merged into the latest.
        self.settle(pid)
        self.mark_log()
        texts = drain.wait(lambda seen: repr(LOG_MARK) in seen, "logged every change before the test's mark")
        del texts[repr(LOG_MARK)]
        changes = 1 + texts[SKIP] + texts[SHUFFLE] + texts[RELOADED]
        fehs = len(record_lines(self.feh))
        self.assertTrue(1 <= fehs <= changes, (fehs, changes))
        self.assert_flat(f"signals sent: {sum(sent.values())} in {sending:.1f} s ({sent[signal.SIGUSR1]} USR1, "
                         f"{sent[signal.SIGUSR2]} USR2, {sent[signal.SIGHUP]} HUP); handled {texts[SKIP]} skips, "
                         f"{texts[SHUFFLE]} reshuffles, {texts[RELOADED]} reloads; after 1000 and 3000", *footprints)
        # Signals of one kind that arrive while one is pending merge: at most one line each.
        for text, number in [(SKIP, signal.SIGUSR1), (SHUFFLE, signal.SIGUSR2), (RELOAD, signal.SIGHUP)]:
            self.assertTrue(1 <= texts[text] <= sent[number], (text, texts[text], sent[number]))
        # A reload that a newer one overtakes while it expands is started again, and ends once.
        self.assertTrue(1 <= texts[RELOADED] <= texts[RELOAD], (texts[RELOADED], texts[RELOAD]))
        self.assertEqual(set(texts), {SKIP, SHUFFLE, RELOAD, RELOADED})

        os.kill(pid, signal.SIGUSR1)
        drain.wait(lambda seen: seen[SKIP] > texts[SKIP], "skipped once more")
        self.poll(lambda: len(record_lines(self.feh)) == fehs + 1, "starts feh once more", 60)
        self.settle(pid)
        self.assertEqual(self.stop_daemon(pid), 0)
        self.assertEqual(drain.wait(lambda seen: QUIT in seen, "says it has quit") - texts,
                         collections.Counter({SKIP: 1, QUIT: 1, repr(LOG_MARK): 1}))


class ReloadMarathonTest(StressCase):
    def test_five_hundred_reloads_keep_the_last_usable_configuration(self):
        sets = {name: make_solid_images(self.path(name), colours, "4x4") for name, colours in
                [("A", ["red", "lime", "blue"]), ("B", ["yellow", "cyan", "white"]), ("C", ["black", "orange"])]}
        pathlib.Path(self.path("notes.txt")).write_text("not an image\n")
        os.mkdir(self.path("empty"))
        settings = {"feh-path": self.feh, "minutes": 20, "monitors": 2, "source_to_use": "pics"}
        config = self.write_config({**settings, "pics": [self.path("B")]})
        pid = self.start_daemon()
        self.reap_others(pid)
        self.poll(lambda: len(record_lines(self.feh)) == 1, "shows its first images")
        began, footprints, last = time.monotonic(), [], "B"
        # Even reloads are usable and name A or B in turn; odd ones are broken, in both ways in
        # turn, each after a reload of A and after one of B. The unparsable file names C.
        for reload in range(500):
            kind = "AB"[reload // 2 % 2] if reload % 2 == 0 else ("parse", "none")[reload // 4 % 2]
            names = {"parse": ["C"], "none": ["notes.txt", "empty", "gone"]}.get(kind, [kind])
            text = libconfig_text({**settings, "pics": [self.path(name) for name in names]})
            pathlib.Path(config).write_text(text + "torn = = 3;\n" * (kind == "parse"))
            os.kill(pid, signal.SIGHUP)
            reasons = {"parse": [f"Zelvo cannot parse the configuration file {config}: line "
                                 f"{text.count(chr(10)) + 1}: syntax error"],
                       "none": [f"Zelvo found no suitable images in {config} and keeps the previous configuration"]}
            expected = [RELOAD, *reasons.get(kind, []), RELOADED]
            self.assertEqual([(m.pid, m.text) for m in self.messages(len(expected), 60)], [(pid, t) for t in expected])
            last = kind if kind in sets else last
            # Each reload shows the next images at once, from the last usable file's source.
            lines = self.poll(lambda: len(got := record_lines(self.feh)) >= reload + 2 and got,
                              f"shows images after reload {reload + 1}", 60)
            shown = json.loads(lines[-1])["argv"]
            self.assertEqual((len(lines), shown[:3]), (reload + 2, ["zelvo-feh", "--bg-scale", "--no-fehbg"]))
            self.assertLessEqual(set(shown[3:]), set(sets[last]), (reload, kind, shown))
            if reload + 1 in (100, 500):
                footprints.append(self.footprint(pid))
        self.assert_flat(f"reloads survived: 500 in {time.monotonic() - began:.1f} s; after 100 and 500", *footprints)
        self.assertEqual(self.stop_daemon(pid), 0)
        self.assertEqual([(m.pid, m.text) for m in self.messages(1)], [(pid, QUIT)])


class BurstTest(StressCase):
    def test_every_client_of_a_burst_is_served_beside_clients_that_never_finish(self):
        self.write_config({"feh-path": self.feh, "minutes": 20, "source_to_use": "pics",
                           "pics": make_solid_images(self.path("pics"), ["red", "lime", "blue"], "4x4")})
        pid = self.start_daemon()
        self.reap_others(pid)
        drain = LogDrain(self.log, pid)
        # More of them than the daemon has places.
        slow = Slowloris(os.path.join(self.runtime, "zelvo", ":0.sock"), 80)
        self.addCleanup(slow.close)
        self.assertTrue(slow.connected.wait(30))
        gate = self.path("gate")
        os.mkfifo(gate)
        # Held open for reading and writing, so that no opening of the gate waits for another.
        held = os.open(gate, os.O_RDWR)
        self.addCleanup(os.close, held)
        env = {"HOME": self.home, "XDG_RUNTIME_DIR": self.runtime}
        served = 0
        for count in (50, 100, 200):
            with self.subTest(count=count):
                # Each waits at the gate for a line of its own, and all go at once when the lines come.
                runs = [subprocess.Popen(["sh", "-c", 'read -r _ < "$0"; exec "$1" next', gate, ZELVOCTL], env=env,
                                         stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                        for _ in range(count)]
                os.write(held, b"\n" * count)
                said = collections.Counter(run.communicate(timeout=60)[:2] + (run.returncode,) for run in runs)
                self.assertEqual(said, {(b"", b"", 0): count})
                served += count
                drain.wait(lambda seen: seen[SKIP] >= served, f"skipped {served} times")
        self.assertGreater(slow.let_go, 0)  # the slow clients made room
        slow.close()
        self.assertEqual(self.stop_daemon(pid), 0)
        self.assertEqual(drain.wait(lambda seen: QUIT in seen, "says it has quit")[SKIP], served)


if __name__ == "__main__":
    unittest.main()
