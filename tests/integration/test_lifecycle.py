#!/usr/bin/env python3
"""The daemon's timer and its children, seen through recording stand-ins for
feh and xrdb: when the timer fires, that a child whose exec fails ends alone,
that ended children are reaped, and that a change whose fork fails loses no images."""
import errno
import os
import pathlib
import signal
import subprocess
import sys
import time
import types
import unittest

from harness import TOOLS, ZelvoCase, make_solid_images, proc_stat, proc_status, records

SKIP = "SIGUSR1 has been recived: skiping ahead"
RELOAD = ["SIGHUP has been recived: regening config", "config regened"]
FEH_MISSING = ["feh was not in your path. the feh path can also be defined in the config"]
XRDB_MISSING = ["xrdb was not in your path. the xrdb path can also be defined in the config",
                "Could xrdb not be installed?"]
# Not the uid of the start-up tests, whose processes would count against the process limit.
FORK_UID = 54330
# A timer change must come one minute after the event that armed it. It cannot come
# earlier than libevent's coarse monotonic clock allows (a few milliseconds), and
# three seconds late is more than any scheduler delay on a busy test machine.
EARLIEST, LATEST = 59.5, 63.0


def each_process(read):
    """(pid, read(pid)) for every process that does not end while it is read."""
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            yield int(entry), read(entry)
        except OSError:
            continue


def daemon_children(pid):
    return {child: process["state"] for child, process in each_process(proc_stat) if process["ppid"] == pid}


class LifecycleCase(ZelvoCase):
    def setUp(self):
        super().setUp()
        self.images = make_solid_images(self.path("images"), ["red", "lime", "blue"])

    def daemon(self, name, settings=(), args=(), uid=None):
        """Starts a daemon in its own HOME path(name) whose viewer is a recorder there."""
        home = self.path(name)
        os.mkdir(home)
        run = types.SimpleNamespace(home=home, feh=self.install_recorder(f"{name}/feh"))
        run.settings = {"feh-path": run.feh, "default": [self.path("images")], **dict(settings)}
        run.config = self.write_config(run.settings, os.path.join(home, ".zelvo", ".zelvorc"))
        if uid is not None:  # it writes its records into its HOME
            for path in (home, os.path.dirname(run.config), run.config):
                os.chown(path, uid, uid)
        run.pid = self.start_daemon(*args, env={"HOME": home, "PATH": os.environ["PATH"]}, uid=uid)
        return run

    def reconfigure(self, run, changes):
        run.settings.update(changes)
        self.write_config(run.settings, run.config)
        sent = time.monotonic_ns()
        os.kill(run.pid, signal.SIGHUP)
        return sent

    def lines(self, count):
        return [(message.pid, message.text) for message in self.messages(count)]

    def assert_silent(self):
        """No further syslog message comes within half a second."""
        self.log.settimeout(0.5)
        with self.assertRaises(TimeoutError):
            self.fail(self.log.recv(65536))

    def assert_children_ended(self, pid):
        """Every child of the daemon ends and is reaped by the system: no zombie stays. The
        colours of the next change may still be prepared by a child forked last."""
        self.poll(lambda: daemon_children(pid) == {}, "lets its children end")
        self.assertEqual(self.children(live=True), [pid])

    def stop(self, run):
        self.assertEqual(self.stop_daemon(run.pid), 0)
        self.assertEqual(self.lines(1), [(run.pid, "Zelvo has quit")])
        self.assert_silent()


class TimerTest(LifecycleCase):
    def test_timer_change_comes_one_interval_after_start_reload_or_skip(self):
        # name: (options, settings, what comes four seconds after the start)
        cases = {"start": (("-t", "1"), {"minutes": 1000}, None),
                 "reload": ((), {"minutes": 1000}, {"minutes": 1}),
                 "reload-option": (("-t", "1"), {"minutes": 1}, {"minutes": 1000}),
                 "skip": (("-t", "1"), {}, "skip"), "previous": (("-t", "1"), {}, "previous")}
        runs = {name: self.daemon(name, settings, args) for name, (args, settings, _) in cases.items()}
        armed = {name: self.wait_records(run.feh, 1)[0]["monotonic"] for name, run in runs.items()}
        # Late enough that a timer left running from the start would fire 56 s after the signal.
        time.sleep(4)
        expected = []
        for name, (_, _, change) in cases.items():
            run = runs[name]
            if change == "previous":  # back to the first wallpaper, from a second one
                os.kill(run.pid, signal.SIGUSR1)
                self.wait_records(run.feh, 2)
                armed[name] = time.monotonic_ns()
                os.kill(run.pid, signal.SIGRTMIN)
                expected += [(run.pid, SKIP), (run.pid, "SIGRTMIN has been recived: going back")]
                self.wait_records(run.feh, 3)
            elif change == "skip":
                armed[name] = time.monotonic_ns()
                os.kill(run.pid, signal.SIGUSR1)
                expected.append((run.pid, SKIP))
            elif change:
                armed[name] = self.reconfigure(run, change)
                expected += [(run.pid, text) for text in RELOAD]
            if change:
                self.wait_records(run.feh, 2)
        self.assertCountEqual(self.lines(len(expected)), expected)

        counts = {name: 2 if change is None else 4 if change == "previous" else 3
                  for name, (_, _, change) in cases.items()}
        # The one long wait: until every timer has fired, or the last one is late.
        deadline = max(armed.values()) / 1e9 + LATEST
        while time.monotonic() < deadline and any(len(records(runs[name].feh)) < count
                                                  for name, count in counts.items()):
            time.sleep(0.1)
        delays = {}
        for name, count in counts.items():
            with self.subTest(name):
                found = records(runs[name].feh)
                self.assertEqual(len(found), count)
                delays[name] = (found[-1]["monotonic"] - armed[name]) / 1e9
                self.assertGreaterEqual(delays[name], EARLIEST)
                self.assertLessEqual(delays[name], LATEST)
        print(f"\ntimer delays in seconds: {delays}", file=sys.stderr)

    def test_no_usable_minutes_never_start_the_viewer_in_a_loop(self):
        runs = [self.daemon("zero", {"minutes": 0}), self.daemon("negative", {"minutes": -5}, ("-t", "0"))]
        # A timer of zero seconds would have changed the wallpaper again at once.
        time.sleep(2)
        self.assertEqual([len(records(run.feh)) for run in runs], [1, 1])


class ChildTest(LifecycleCase):
    def set_process_limit(self, pid, soft):
        """Sets the soft process limit of the daemon as its own uid: the test's root lacks
        CAP_SYS_RESOURCE, which a limit of another uid's process would need."""
        subprocess.run([TOOLS["setpriv"], f"--reuid={FORK_UID}", f"--regid={FORK_UID}", "--clear-groups",
                        "prlimit", f"--pid={pid}", f"--nproc={soft}:"], check=True)

    def test_failed_exec_ends_the_child_alone(self):
        cases = [("feh-path", {}, FEH_MISSING, "zelvo-feh"),
                 ("xrdb-path", {"colors": True, "use-xrdb": True}, XRDB_MISSING, "--load")]
        for key, settings, failure, argv0 in cases:
            with self.subTest(key):
                name = key.split("-")[0]
                run = self.daemon(name, {**settings, key: self.path(name, "missing")})
                first = self.lines(len(failure))
                child = first[0][0]
                self.assertNotEqual(child, run.pid)
                self.assertEqual(first, [(child, text) for text in failure])
                os.kill(run.pid, signal.SIGUSR1)
                second = self.lines(1 + len(failure))
                self.assertNotIn(second[1][0], (child, run.pid))
                self.assertEqual(second, [(run.pid, SKIP)] + [(second[1][0], text) for text in failure])
                self.assert_children_ended(run.pid)

                program = run.feh if name == "feh" else self.install_recorder(f"{name}/xrdb")
                self.reconfigure(run, {key: program})
                self.assertEqual(self.lines(2), [(run.pid, text) for text in RELOAD])
                self.assertEqual([start["argv"][0] for start in self.wait_records(program, 1)], [argv0])
                # The viewer, forked first, may still be starting when xrdb has recorded its start.
                self.assert_children_ended(run.pid)
                self.assertEqual(len(records(run.feh)), 1 if name == "feh" else 3)
                self.stop(run)

    def test_fifty_skips_leave_one_daemon_and_no_zombie(self):
        run = self.daemon("many")
        # One at a time, each after the viewer before it has started (two children
        # forked close together may start in either order), and the test's syslog
        # socket holds only a few unread lines.
        self.wait_records(run.feh, 1)
        for count in range(2, 52):
            os.kill(run.pid, signal.SIGUSR1)
            self.assertEqual(self.lines(1), [(run.pid, SKIP)])
            self.wait_records(run.feh, count)
        # Without a reshuffle the ring of three comes round again and again.
        shown = [start["argv"][3:] for start in records(run.feh)]
        self.assertCountEqual(sum(shown[:3], []), self.images)
        self.assertEqual(shown, (shown[:3] * 17)[:51])
        self.assert_children_ended(run.pid)
        self.stop(run)

    def test_failed_fork_keeps_the_images_for_the_next_change(self):
        run = self.daemon("user", {"monitors": 2}, uid=FORK_UID)
        first = self.wait_records(run.feh, 1)[0]["argv"][3:]
        (third,) = set(self.images) - set(first)
        self.assert_children_ended(run.pid)
        # Every task of the uid counts; at the limit the next fork fails with EAGAIN.
        owner_and_threads = lambda pid: (int(proc_status(pid, "Uid").split()[0]), int(proc_status(pid, "Threads")))
        tasks = sum(threads for _, (uid, threads) in each_process(owner_and_threads) if uid == FORK_UID)
        self.assertGreaterEqual(tasks, 1)
        limits = pathlib.Path(f"/proc/{run.pid}/limits").read_text().splitlines()
        soft = next(line.split()[2] for line in limits if line.startswith("Max processes"))
        self.set_process_limit(run.pid, tasks)
        os.kill(run.pid, signal.SIGUSR1)
        failed = f"Zelvo could not start feh: fork failed: {os.strerror(errno.EAGAIN)}"
        self.assertEqual(self.lines(2), [(run.pid, SKIP), (run.pid, failed)])
        self.assertEqual(len(records(run.feh)), 1)
        self.assertNotEqual(proc_stat(run.pid)["state"], "Z")

        self.set_process_limit(run.pid, soft)
        os.kill(run.pid, signal.SIGUSR1)
        self.assertEqual(self.lines(1), [(run.pid, SKIP)])
        self.assertEqual(self.wait_records(run.feh, 2)[1]["argv"][3:], [third, first[0]])
        self.assert_children_ended(run.pid)
        self.stop(run)


if __name__ == "__main__":
    unittest.main()
