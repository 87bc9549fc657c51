#!/usr/bin/env python3
"""The real binary under valgrind's memcheck: twenty changes with colours on, twenty reloads
alternating usable and unparsable files, steering over the control socket (a set, a favourite,
a ban, a rescan, a pause, the status as JSON), and the quit. No process of the daemon reads or
writes memory wrongly, uses an uninitialised value, or loses a block."""
import glob, json, os, pathlib, re, shlex, shutil, signal, time, unittest

import harness
from harness import ZelvoCase, block_colours, libconfig_text, make_block_image, proc_stat, records
from test_colours import DEFAULT_FILE

SKIP = "SIGUSR1 has been recived: skiping ahead"
RELOAD, RELOADED = "SIGHUP has been recived: regening config", "config regened"
SUPPRESSIONS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "memcheck.supp")
# Follows the forks (the detaching and each child until its exec) but not the execs, so
# the stand-ins run natively; one log per process. (--track-origins=yes, which finds where an
# uninitialised value came from, makes this run eight times slower: add it to look into one.)
WRAPPER = """#!/bin/sh
exec {valgrind} --tool=memcheck --trace-children=no --log-file={logs}/vg.%p --num-callers=30 \\
  --leak-check=full --show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite,indirect \\
  --suppressions={suppressions} {binary} "$@"
"""
# Memcheck is some fifty times slower than the native program.
SLOW = 120.0
# The first line of each kind of error memcheck reports, a leak included, and a crash.
ERRORS = re.compile(r"^==\d+== (Invalid|Conditional jump|Use of uninitialised|Syscall param|Mismatched|Source and "
                    r"destination|Argument|Jump to|Process terminating|.* are (definitely|indirectly) lost)", re.M)
LOST = re.compile(r"^==\d+== +(?:definitely|indirectly) lost: ([\d,]+) bytes", re.M)


class MemcheckTest(ZelvoCase):
    def setUp(self):
        super().setUp()
        self.assertTrue(shutil.which("valgrind"), "valgrind is not on PATH")
        self.logs = self.path("valgrind")
        os.mkdir(self.logs)
        wrapper = pathlib.Path(self.path("zelvo-memcheck"))
        wrapper.write_text(WRAPPER.format(**{key: shlex.quote(value) for key, value in [
            ("valgrind", shutil.which("valgrind")), ("logs", self.logs),
            ("suppressions", os.path.abspath(SUPPRESSIONS)), ("binary", harness.BINARY)]}))
        wrapper.chmod(0o755)
        # run_zelvo starts harness.BINARY; only this module's process sees the wrapper.
        self.binary, harness.BINARY = harness.BINARY, str(wrapper)

    def tearDown(self):
        harness.BINARY = self.binary
        # Under valgrind the processes are named after the tool, not zelvo: end and reap them here.
        for pid in map(int, filter(str.isdigit, os.listdir("/proc"))):
            try:
                comm, parent = pathlib.Path(f"/proc/{pid}/comm").read_text(), proc_stat(pid)["ppid"]
            except OSError:
                continue  # it ended while we looked
            if parent == os.getpid() and comm.startswith("memcheck"):
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
        super().tearDown()

    def change(self, number, texts, changes):
        """Sends the signal, expects the log lines and waits until xrdb has run changes times."""
        os.kill(self.pid, number)
        self.assertEqual([m.text for m in self.messages(len(texts), SLOW)], texts)
        self.wait_records(self.xrdb, changes, SLOW)

    def test_changes_reloads_and_quit_lose_nothing(self):
        began = time.monotonic()
        sets = [self.path(name) for name in "AB"]
        for directory, mids in zip(sets, [[(0x48, 0xb8), (0x55, 0xaa), (0x60, 0x9f)], [(0x50, 0xa8), (0x58, 0xb0)]]):
            os.mkdir(directory)
            for low, high in mids:
                make_block_image(os.path.join(directory, f"{low:02x}.png"), block_colours(low, high), 64)
        feh, self.xrdb = self.path("bin", "feh"), self.path("bin", "xrdb")
        settings = {"feh-path": feh, "xrdb-path": self.xrdb, "colors": True, "use-xrdb": True, "minutes": 20,
                    "source_to_use": "pics"}
        config = self.write_config({**settings, "pics": [sets[0]]})
        self.pid = self.start_daemon()
        # Valgrind catches every signal itself: the first change proves the loop has taken them over.
        self.wait_records(self.xrdb, 1, SLOW)
        for skip in range(20):
            self.change(signal.SIGUSR1, [SKIP], 2 + skip)
        for reload in range(20):
            broken = reload % 2 == 1
            text = libconfig_text({**settings, "pics": [sets[reload // 2 % 2]]})
            pathlib.Path(config).write_text(text + ("broken = = 3;\n" if broken else ""))
            parse = f"Zelvo cannot parse the configuration file {config}: line {text.count(chr(10)) + 1}: syntax error"
            self.change(signal.SIGHUP, [RELOAD] + [parse] * broken + [RELOADED], 22 + reload)
        # Over the socket: the images of set A are in no ring now, and the rescan finds set B as it is.
        shown = os.path.join(sets[0], "48.png")
        for args, texts, changes in [(("set", shown), ["Zelvo is showing the images it was set to"], 42),
                                     (("favourite",), [f"Zelvo has added a favourite: {shown}"], 42),
                                     (("ban",), [f"Zelvo has banned {shown}"], 43),
                                     (("rescan",), ["Zelvo has rescanned its sources: 0 new images, 0 gone, 2 in the ring"], 43),
                                     (("pause",), ["Zelvo is paused"], 43)]:
            self.assertEqual(self.zelvoctl(*args)[:3], (0, b"", b""))
            self.assertEqual([m.text for m in self.messages(len(texts), SLOW)], texts)
            self.wait_records(self.xrdb, changes, SLOW)
        status = json.loads(self.zelvoctl("status", "--json").out)
        self.assertEqual((status["paused"], status["ring"], len(status["palette"])), (True, 2, 16))
        self.assertEqual((len(records(feh)), len(records(self.xrdb))), (43, 43))
        # The colour steps did their work under memcheck: the last one found a palette.
        self.assertNotEqual(pathlib.Path(self.home, ".zelvo", "colors").read_text(), DEFAULT_FILE)
        os.kill(self.pid, signal.SIGTERM)
        status = self.poll(lambda: (found := os.waitpid(self.pid, os.WNOHANG)) and found[0] and found, "ends", SLOW)
        self.assertEqual(status[1], 0)
        self.assertEqual([m.text for m in self.messages(1, SLOW)], ["Zelvo has quit"])

        logs = {int(path.rsplit(".", 1)[1]): pathlib.Path(path).read_text() for path in glob.glob(f"{self.logs}/vg.*")}
        # The start, the middle of the detaching, the daemon, the colour steps of the 43 changes and
        # the probers of the start and the ten usable reloads end under memcheck, which checks their
        # leaks; so do the steps that prepared the next change, but for those that a reshuffle, a
        # reload or the quit killed, and the workers of the set, the lists and the rescan. The 86
        # children exec the stand-ins, natively, and their logs stop.
        ended = sorted(pid for pid, log in logs.items() if "ERROR SUMMARY" in log)
        self.assertTrue(len(logs) >= 3 + 43 + 11 + 86 and len(ended) >= 3 + 43 + 11 and self.pid in ended,
                        (len(logs), len(ended)))
        for pid, log in logs.items():
            lost = LOST.findall(log)
            wrong = ERRORS.search(log) or pid in ended and not (
                "ERROR SUMMARY: 0 errors" in log and ("All heap blocks were freed" in log or len(lost) == 2)
                and all(amount == "0" for amount in lost))
            self.assertFalse(wrong, f"memcheck log of process {pid}:\n{log}")
        summary = re.findall(r"^==\d+== +(total heap usage: .*|\w+ lost: .*|still reachable: .*|ERROR SUMMARY: .*)$",
                             logs[self.pid], re.M)
        print(f"\nmemcheck of the daemon after 20 changes, 20 reloads and steering over the socket, {time.monotonic() - began:.0f} s:\n  "
              + "\n  ".join(summary), flush=True)


if __name__ == "__main__":
    unittest.main()
