#!/usr/bin/env python3
"""Start-up and shut-down of the real binary: options, the first run, bad
configuration files, a missing home, and a daemon that detaches and quits."""
import os
import pwd
import re
import signal
import stat
import unittest

from harness import BINARY, NO_IMAGES, ZelvoCase, make_image, proc_stat, proc_status, read_settings

USAGE = f"Usage: {BINARY} [-c config] [-t time] [-s source] [-m monitors] [-v]\r\n".encode()
ONE_LINE = rb"\A[^\n]*\r\n\Z"
TEST_UID = 54321
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
                # Children are reaped by the system; a hang-up never ends the daemon.
                ignored, caught = (int(proc_status(pid, key), 16) for key in ("SigIgn", "SigCgt"))
                self.assertTrue(ignored & 1 << (signal.SIGCHLD - 1))
                self.assertTrue((ignored | caught) & 1 << (signal.SIGHUP - 1))
                standard = [os.stat(f"/proc/{pid}/fd/{fd}") for fd in (0, 1, 2)]
                self.assertEqual([(stat.S_ISCHR(node.st_mode), node.st_rdev) for node in standard],
                                 [(True, os.stat("/dev/null").st_rdev)] * 3)
                links = [os.readlink(f"/proc/{pid}/fd/{fd}") for fd in os.listdir(f"/proc/{pid}/fd")]
                self.assertNotIn(f"pipe:[{os.fstat(write_end).st_ino}]", links)

                self.assertEqual(self.stop_daemon(pid, quit_signal), 0)
                self.assert_notices(self.messages(1), pid, "Zelvo has quit")
                self.assertEqual(self.children(live=True), [])


if __name__ == "__main__":
    unittest.main()
