#!/usr/bin/env python3
"""Start-up and shut-down of the real binary: options, the first run, bad
configuration files, a missing home, and a daemon that detaches and quits."""
import contextlib
import errno
import os
import pathlib
import pwd
import re
import signal
import stat
import subprocess
import unittest

from harness import BINARY, NO_IMAGES, ZelvoCase, make_image, proc_stat, proc_status, read_settings, records
from test_faults import fill

USAGE = f"Usage: {BINARY} [-c config] [-t time] [-s source] [-m monitors] [-v]\r\n".encode()
ONE_LINE = rb"\A[^\n]*\r\n\Z"
TEST_UID = 54321
LOCK_UID = 54360  # a uid of its own, for which the runtime directory's permissions count
OTHER_USER = f"other:x:{TEST_UID + 1}:{TEST_UID + 1}::/nonexistent:/bin/sh\n"


class CommandLineTest(ZelvoCase):
    def test_version_and_usage_create_nothing(self):
        config = self.path("elsewhere.rc")
        version = f"{BINARY}: version: 1.4.4\r\n".encode()
        # A bad option gets the C library's diagnostic, one line naming the letter, then the usage.
        usage = lambda letter: rb"\A%s: [^\n]*\b%s\b[^\n]*\n%s\Z" % (
            re.escape(BINARY.encode()), letter, re.escape(USAGE))
        cases = [(["-v"], 0, version, rb"\A\Z"), (["-c", config, "-v"], 0, version, rb"\A\Z"),
                 (["-x"], 1, b"", usage(b"x")), (["-c"], 1, b"", usage(b"c")),
                 (["-t", "5", "-q", "-v"], 1, b"", usage(b"q"))]
        for args, status, out, err in cases:
            with self.subTest(args=args):
                result = self.run_zelvo(*args)
                self.assertEqual((result.status, result.out), (status, out))
                self.assertRegex(result.err, err)
                self.assertEqual(os.listdir(self.home), [])
                self.assertFalse(os.path.exists(config))

    def test_options_after_the_first_non_option_are_ignored(self):
        config = self.path("elsewhere.rc")
        result = self.run_zelvo("-c", config, "stop", "-v", "-x")
        self.assertEqual((result.status, result.out, result.err), (1, b"", NO_IMAGES))
        # -c names a missing file: the defaults go there, the directories under HOME.
        images = os.path.join(self.home, ".zelvo", "images")
        self.assertEqual(read_settings(config)["default"], [images])
        self.assertEqual(os.listdir(os.path.dirname(images)), ["images"])


class ConfigurationTest(ZelvoCase):
    def test_first_run_writes_the_defaults_and_stops_without_images(self):
        result = self.run_zelvo(umask=0o027)
        self.assertEqual((result.status, result.out, result.err), (1, b"", NO_IMAGES))
        self.assertEqual(self.children(live=True), [])
        user = os.path.join(self.home, ".zelvo")
        self.assertEqual(list(read_settings(os.path.join(user, ".zelvorc")).items()), [
            ("colors", False), ("dark", True), ("minutes", 30), ("monitors", 1),
            ("source_to_use", "default"), ("default", [os.path.join(user, "images")])])
        # Everything is made under the user's umask.
        for name, mode in [("", 0o750), ("images", 0o750), (".zelvorc", 0o640)]:
            self.assertEqual(stat.S_IMODE(os.stat(os.path.join(user, name)).st_mode), mode, name)
        self.assertEqual(os.listdir(os.path.join(user, "images")), [])

    def test_unparsable_file_is_named_with_its_line_and_left_alone(self):
        text = b"colors = false;\nminutes = 30;\nmonitors = = 1;\n"
        default = os.path.join(self.home, ".zelvo", ".zelvorc")
        os.makedirs(os.path.dirname(default))
        for config, args in [(default, ()), (self.path("other.rc"), ("-c", self.path("other.rc")))]:
            with self.subTest(config=config):
                with open(config, "wb") as file:
                    file.write(text)
                result = self.run_zelvo(*args)
                self.assertEqual((result.status, result.out), (1, b""))
                self.assertRegex(result.err, ONE_LINE)
                self.assertIn(config.encode(), result.err)
                self.assertIn(b"line 3", result.err)
                with open(config, "rb") as file:
                    self.assertEqual(file.read(), text)
                self.assertEqual(self.children(live=True), [])


class HomeTest(ZelvoCase):
    # HOME unset: the password database's home, as an unprivileged user of its own.
    def test_password_home_is_used_when_home_is_unset(self):
        home = self.path("pwhome")
        os.mkdir(home)
        os.chown(home, TEST_UID, TEST_UID)
        options = dict(env={"PATH": self.search_path}, uid=TEST_UID,
                       passwd=f"{OTHER_USER}tester:x:{TEST_UID}:{TEST_UID}::{home}:/bin/sh\n")
        result = self.run_zelvo(**options)
        self.assertEqual((result.status, result.out, result.err), (1, b"", NO_IMAGES))
        images = os.path.join(home, ".zelvo", "images")
        self.assertEqual(read_settings(os.path.join(home, ".zelvo", ".zelvorc"))["default"], [images])
        self.assertEqual(os.listdir(self.home), [])

        make_image(os.path.join(images, "one.png"))
        pid = self.start_daemon(**options)
        self.assertEqual(proc_status(pid, "Uid").split()[0], str(TEST_UID))
        # The viewer is the feh found first on PATH, and it gets that home.
        viewer = self.wait_records(os.path.join(self.bin, "feh"), 1)[0]
        self.assertEqual((viewer["argv"][3:], viewer["env"]), ([os.path.join(images, "one.png")],
                                                               {"DISPLAY": ":0", "HOME": home}))
        self.assertEqual(self.stop_daemon(pid), 0)
        self.assert_notices(self.messages(1), pid, "Zelvo has quit")

    def test_no_home_at_all_is_one_line_of_error(self):
        with self.assertRaises(KeyError):  # the host must not know the uid either
            pwd.getpwuid(TEST_UID)
        result = self.run_zelvo(env={"PATH": self.search_path}, uid=TEST_UID, passwd=OTHER_USER)
        self.assertEqual((result.status, result.out), (1, b""))
        self.assertRegex(result.err, ONE_LINE)
        self.assertNotEqual(result.err, NO_IMAGES)
        self.assertEqual(self.children(live=True), [])


class DaemonTest(ZelvoCase):
    def test_starts_detached_and_quits_on_each_quit_signal(self):
        images = os.path.join(self.home, ".zelvo", "images")
        os.makedirs(images)
        make_image(os.path.join(images, "a.png"), "red")
        make_image(os.path.join(images, "b.jpg"), "green")
        cases = [(0o002, signal.SIGTERM, "0022"), (0o027, signal.SIGINT, "0027"),
                 (0o077, signal.SIGQUIT, "0077")]
        for umask, quit_signal, daemon_umask in cases:
            with self.subTest(umask=oct(umask), signal=quit_signal.name):
                # An inherited descriptor that the daemon must not keep open.
                read_end, write_end = os.pipe()
                os.close(read_end)
                self.addCleanup(os.close, write_end)
                pid = self.start_daemon(umask=umask, pass_fds=(write_end,))
                # The launching command has returned; the daemon goes on alone.
                process = proc_stat(pid)
                self.assertNotEqual(process["state"], "Z")
                self.assertNotIn(process["session"], (pid, os.getsid(0)))
                self.assertEqual((process["pgrp"], process["tty"]), (process["session"], 0))
                self.assertEqual(os.readlink(f"/proc/{pid}/cwd"), "/")
                self.assertEqual(proc_status(pid, "Umask"), daemon_umask)
                # The daemon reaps its children itself; a hang-up never ends it.
                ignored, caught = (int(proc_status(pid, key), 16) for key in ("SigIgn", "SigCgt"))
                self.assertTrue(caught & 1 << (signal.SIGCHLD - 1))
                self.assertTrue((ignored | caught) & 1 << (signal.SIGHUP - 1))
                standard = [os.stat(f"/proc/{pid}/fd/{fd}") for fd in (0, 1, 2)]
                self.assertEqual([(stat.S_ISCHR(node.st_mode), node.st_rdev) for node in standard],
                                 [(True, os.stat("/dev/null").st_rdev)] * 3)
                links = []
                for fd in os.listdir(f"/proc/{pid}/fd"):
                    with contextlib.suppress(FileNotFoundError):  # one the daemon closed while we looked
                        links.append(os.readlink(f"/proc/{pid}/fd/{fd}"))
                self.assertNotIn(f"pipe:[{os.fstat(write_end).st_ino}]", links)

                self.assertEqual(self.stop_daemon(pid, quit_signal), 0)
                self.assert_notices(self.messages(1), pid, "Zelvo has quit")
                self.assertEqual(self.children(live=True), [])


def tree(*tops):
    """Every path under tops with its type, mode, time of change and content."""
    found = {}
    for top in map(pathlib.Path, tops):
        for path in [top, *top.rglob("*")]:
            status = path.lstat()
            content = path.read_bytes() if stat.S_ISREG(status.st_mode) else None
            found[str(path)] = (status.st_mode, status.st_uid, status.st_mtime_ns, content)
    return found


class LockTest(ZelvoCase):
    def setUp(self):
        super().setUp()
        os.makedirs(os.path.join(self.home, ".zelvo", "images"))
        make_image(os.path.join(self.home, ".zelvo", "images", "a.png"))
        self.pid_file = pathlib.Path(self.runtime, "zelvo", ":0.pid")

    def test_a_display_takes_one_daemon_and_a_second_start_changes_nothing(self):
        first = self.start_daemon()
        feh = os.path.join(self.bin, "feh")
        self.wait_records(feh, 1)
        same = self.write_config({"DISPLAY": ":0"}, self.path("same-display.rc"))
        before = tree(self.home, self.runtime, self.bin)
        refused = f"Zelvo is already running on display :0, as pid {first}\r\n".encode()
        env = {"HOME": self.home, "PATH": self.search_path, "XDG_RUNTIME_DIR": self.runtime}
        # (options, DISPLAY): the configuration file's DISPLAY names the display before the environment's.
        for args, display in [((), None), (("-c", same), ":9"), (("-c", self.path("missing.rc")), ":0")]:
            with self.subTest(args=args):
                result = self.run_zelvo(*args, env={**env, **({"DISPLAY": display} if display else {})})
                self.assertEqual((result.status, result.out, result.err), (1, b"", refused))
                self.assertEqual(tree(self.home, self.runtime, self.bin), before)
        self.assertFalse(os.path.exists(self.path("missing.rc")))
        self.log.settimeout(0.3)
        with self.assertRaises(TimeoutError):  # the first daemon heard of none of it
            self.fail(self.log.recv(65536))
        self.assertEqual((self.pid_file.read_text(), len(records(feh))), (f"{first}\n", 1))

        other = self.start_daemon(env={**env, "DISPLAY": ":9"})
        self.assertEqual(pathlib.Path(self.runtime, "zelvo", ":9.pid").read_text(), f"{other}\n")
        for pid in (first, other):
            self.assertEqual(self.stop_daemon(pid), 0)
            self.assert_notices(self.messages(1), pid, "Zelvo has quit")
        # What is left says no more than that nothing runs.
        self.assertEqual(sorted(os.listdir(self.pid_file.parent)), [":0.pid", ":9.pid"])
        self.assertEqual(self.pid_file.read_bytes(), b"")

    def test_a_full_runtime_directory_is_said_at_start_and_leaves_nothing_running_or_locked(self):
        folder = self.pid_file.parent
        folder.mkdir(mode=0o700)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4k,mode=0700", "zelvo-full-runtime", str(folder)], check=True)
        try:
            self.assertEqual(fill(folder / "filler"), errno.ENOSPC)
            result = self.run_zelvo()
            self.assertEqual((result.status, result.out), (1, b""))
            self.assertEqual(result.err, f"Zelvo cannot write its pid to the pid file {self.pid_file}: "
                                         f"{os.strerror(errno.ENOSPC)}\r\n".encode())
            self.assertEqual(self.children(live=True), [])
            # Nothing holds the display: once there is room, the next start takes it.
            os.remove(folder / "filler")
            self.assertEqual(self.stop_daemon(self.start_daemon()), 0)
        finally:
            subprocess.run(["umount", "-l", str(folder)], check=True)

    def test_a_pid_file_without_its_lock_is_taken_over_and_never_signalled(self):
        sleeper = subprocess.Popen(["sleep", "600"])  # ended by any signal zelvo could send
        self.addCleanup(sleeper.wait)
        self.addCleanup(sleeper.kill)
        target = pathlib.Path(self.path("elsewhere.pid"))
        target.write_bytes(b"1\n")
        self.pid_file.parent.mkdir(mode=0o700)
        feh = os.path.join(self.bin, "feh")
        cases = {"pid 1": b"1\n", "a live process": b"%d\n" % sleeper.pid, "empty": b"", "garbage": b"zelvo\0\xff-3\n",
                 "a symbolic link": None}
        for count, (name, content) in enumerate(cases.items()):
            with self.subTest(name):
                if content is None:
                    self.pid_file.unlink()
                    self.pid_file.symlink_to(target)
                else:
                    self.pid_file.write_bytes(content)
                pid = self.start_daemon()
                self.assertEqual((self.pid_file.is_symlink(), self.pid_file.read_text()), (False, f"{pid}\n"))
                self.assertEqual(self.zelvoctl("next"), (0, b"", b"", None))
                self.assert_notices(self.messages(1), pid, "SIGUSR1 has been recived: skiping ahead")
                self.wait_records(feh, 2 * count + 2)
                self.assertEqual(self.stop_daemon(pid), 0)
                self.assert_notices(self.messages(1), pid, "Zelvo has quit")
        self.assertEqual((sleeper.poll(), target.read_bytes()), (None, b"1\n"))

    def test_a_runtime_directory_that_others_control_is_refused(self):
        for path in (self.home, os.path.join(self.home, ".zelvo"), os.path.join(self.home, ".zelvo", "images")):
            os.chown(path, LOCK_UID, LOCK_UID)
        def folder(name, mode, owner=LOCK_UID):
            os.mkdir(self.path(name))
            os.chown(self.path(name), owner, owner)
            os.chmod(self.path(name), mode)
            return self.path(name)
        linked = folder("linked", 0o700)
        os.symlink(folder("foreign", 0o755, 0), os.path.join(linked, "zelvo"))
        user = os.path.join(self.home, ".zelvo")
        # (XDG_RUNTIME_DIR or None for the folder in the home, mode of ~/.zelvo, the path and reason of the line)
        cases = [(self.path("nowhere"), 0o755, self.path("nowhere"), "No such file or directory"),
                 (folder("read-only", 0o500), 0o755, self.path("read-only", "zelvo"), "Permission denied"),
                 (folder("root's", 0o755, 0), 0o755, self.path("root's"),
                  f"it belongs to user 0, not to user {LOCK_UID}"),
                 (folder("shared", 0o1777), 0o755, self.path("shared"), "others may write to it (mode 1777)"),
                 (linked, 0o755, os.path.join(linked, "zelvo"), "it is a symbolic link"),
                 (None, 0o775, user, "others may write to it (mode 0775)")]
        for runtime, mode, path, reason in cases:
            with self.subTest(runtime=runtime):
                os.chmod(user, mode)
                env = {"HOME": self.home, "PATH": self.search_path, **({"XDG_RUNTIME_DIR": runtime} if runtime else {})}
                before = tree(self.home, self.path("foreign"))
                result = self.run_zelvo(env=env, uid=LOCK_UID)
                self.assertEqual((result.status, result.out), (1, b""))
                self.assertEqual(result.err, f"Zelvo cannot use the runtime directory {path}: {reason}\r\n".encode())
                self.assertEqual(tree(self.home, self.path("foreign")), before)

        # Without XDG_RUNTIME_DIR the folder in the home serves zelvo and zelvoctl alike.
        os.chmod(user, 0o755)
        env = {"HOME": self.home, "PATH": self.search_path}
        pid = self.start_daemon(env=env, uid=LOCK_UID)
        run = pathlib.Path(user, "run")
        self.assertEqual((stat.S_IMODE(run.stat().st_mode), run.stat().st_uid, (run / ":0.pid").read_text()),
                         (0o700, LOCK_UID, f"{pid}\n"))
        self.poll(lambda: self.zelvoctl("current", env=env, uid=LOCK_UID).status == 0, "publishes what it shows")
        self.assertEqual(self.stop_daemon(pid), 0)
        self.assert_notices(self.messages(1), pid, "Zelvo has quit")


if __name__ == "__main__":
    unittest.main()
