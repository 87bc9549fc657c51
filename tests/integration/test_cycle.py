#!/usr/bin/env python3
"""The wallpaper cycle of the real binary, seen through recording stand-ins for
feh and xrdb: the first change at start, skips, reshuffles, reloads, and the
last change before quitting."""
import contextlib, os, pathlib, platform, signal, time, unittest

from harness import SYSLOG_LINE, ZelvoCase, make_solid_images, proc_status, records

SKIP = "SIGUSR1 has been recived: skiping ahead"
SHUFFLE = "SIGUSR2 has been recived: reshuffling picture list"
RELOAD, RELOADED = "SIGHUP has been recived: regening config", "config regened"
BACK, NO_BACK = "SIGRTMIN has been recived: going back", "SIGRTMIN has been recived: nothing to go back to"
COLOURS = ["red", "green", "blue", "yellow", "cyan", "magenta", "white", "black", "orange", "purple"]
# The calls in which libevent's loop sleeps; the fourth argument is its wait in ms, the time
# left on the rotation timer (libevent caps it at 35 minutes, so intervals here stay below).
EPOLL_CALLS = {"x86_64": {"232", "281"}, "aarch64": {"22"}}.get(platform.machine(), set())


class CycleCase(ZelvoCase):
    def setUp(self):
        super().setUp()
        self.env = {"HOME": self.home, "PATH": os.environ["PATH"], "ZELVO_MARK": "daemon only"}

    def images(self, count, name="images"):
        return make_solid_images(self.path(name), COLOURS[:count])

    def configure(self, settings, path=None):
        """Writes settings, whose images are in the list "pics", as the default file or path."""
        return self.write_config({"minutes": 20, "source_to_use": "pics", **settings}, path)

    def start(self, settings, *args, env=None, path=None, cwd=None):
        """Configures, starts the daemon in cwd and waits for its first change."""
        self.configure(settings, path)
        before = os.getcwd()
        os.chdir(cwd or before)
        try:
            pid = self.start_daemon(*args, env=env or self.env)
        finally:
            os.chdir(before)
        self.changes(pid, settings["feh-path"], 1)
        return pid

    def send(self, pid, numbers, *texts):
        """Sends each signal once the one before has been taken (the kernel merges pending ones),
        then expects the log lines texts. libevent runs signals that it reads together in the
        order of their numbers, so signals of different kinds wait for each other's log line."""
        for number in numbers:
            os.kill(pid, number)
            taken = lambda: not (int(proc_status(pid, "ShdPnd"), 16) | int(proc_status(pid, "SigPnd"), 16))
            self.poll(taken, f"takes {signal.Signals(number).name}")
        self.expect(pid, *texts)

    def skips(self, pid, feh, started, count):
        """Sends count skips, the first once feh has started started times, each next once feh has
        started for the skip before: changes that wait behind one feh merge."""
        for at in range(started, started + count):
            self.wait_records(feh, at)
            self.send(pid, [signal.SIGUSR1], SKIP)
        self.wait_records(feh, started + count)

    def changes(self, pid, program, count, timeout=10.0):
        """The starts of program in the order the daemon forked them, once there are count and
        every child of the daemon has ended (within timeout seconds). Children forked close together
        may run in either order."""
        self.poll(lambda: len(records(program)) >= count, f"started {os.path.basename(program)} {count} times")
        children = pathlib.Path(f"/proc/{pid}/task/{pid}/children")  # gone once the daemon has ended
        self.poll(lambda: not (children.exists() and children.read_text()), "lets its children end", timeout)
        wrap = int(pathlib.Path("/proc/sys/kernel/pid_max").read_text())
        found = sorted(records(program), key=lambda start: (start["pid"] - pid) % wrap)
        self.assertEqual(len(found), count, found)
        return found

    def expect(self, pid, *texts):
        self.assert_notices(self.messages(len(texts)), pid, *texts)

    def quit(self, pid):
        self.assertEqual(self.stop_daemon(pid), 0)
        self.expect(pid, "Zelvo has quit")

    def drain(self):
        """What the daemon logged since, read without waiting: a syslog socket that nobody reads holds its writer up."""
        said = []
        self.log.settimeout(0)
        with contextlib.suppress(BlockingIOError):
            while True:
                said.append(SYSLOG_LINE.fullmatch(self.log.recv(65536))[4].decode())
        return said

    def assert_ring(self, found, images, monitors, style=None):
        """The images of consecutive changes walk one cyclic order of images; gives its first turn."""
        shown = []
        for start in found:
            self.assertEqual(start["argv"][:3], ["zelvo-feh", style or found[0]["argv"][1], "--no-fehbg"])
            self.assertEqual(len(start["argv"]), 3 + monitors, start["argv"])
            shown += start["argv"][3:]
        turn = shown[:len(images)]
        self.assertEqual(len(set(turn)), len(turn), shown)
        self.assertLessEqual(set(turn), set(images))
        self.assertEqual(shown, [turn[index % len(turn)] for index in range(len(shown))])
        return turn

    def assert_timer(self, pid, minutes):
        self.assertTrue(EPOLL_CALLS, f"no known epoll calls on {platform.machine()}")
        def waits():
            fields = pathlib.Path(f"/proc/{pid}/syscall").read_text().split()
            return fields[0] in EPOLL_CALLS and minutes * 60000 - 5000 < int(fields[4], 16) <= minutes * 60000
        self.poll(waits, f"sleeps {minutes} minutes for its timer")


class StartTest(CycleCase):
    def test_first_change_comes_at_once_with_its_own_environment(self):
        screen, auth = {"DISPLAY": ":7", "XAUTHORITY": "/run/a"}, {"DISPLAY": ":9", "XAUTHORITY": "/etc/b"}
        # (environment added, settings, options, images, monitors, bg-style, viewer environment)
        cases = [({}, {}, (), 3, 1, "--bg-scale", {"DISPLAY": ":0"}),
                 (screen, {"monitors": 2, "bg-style": "--bg-max"}, (), 3, 2, "--bg-max", screen),
                 (screen, {"monitors": 2, **auth}, ("-m", "3"), 4, 3, "--bg-scale", auth),
                 ({}, {"monitors": 0, "XAUTHORITY": "/etc/b"}, (), 2, 1, "--bg-scale",
                  {"DISPLAY": ":0", "XAUTHORITY": "/etc/b"}),
                 ({"XAUTHORITY": "/run/a"}, {"DISPLAY": ":9", "bg-style": "--bg-fill --geometry +0"},
                  ("-m", "3"), 2, 3, "--bg-fill --geometry +0", {"DISPLAY": ":9", "XAUTHORITY": "/run/a"})]
        for index, (env, settings, args, count, monitors, style, viewer_env) in enumerate(cases):
            with self.subTest(settings=settings, args=args):
                images, feh = self.images(count, f"images{index}"), self.install_recorder(f"feh{index}")
                pid = self.start({"feh-path": feh, "pics": images, **settings}, *args, env={**self.env, **env})
                [first] = records(feh)
                self.assertEqual(first["env"], {**viewer_env, "HOME": self.home})
                # Nothing of the daemon's signal handling reaches the viewer.
                self.assertEqual((first["sigblk"], first["sigign"]), ("0" * 16, "0" * 16))
                self.assert_ring([first], images, monitors, style)
                self.quit(pid)


class SignalTest(CycleCase):
    def test_two_quick_skips_move_on_by_the_monitor_count(self):
        images, feh = self.images(5), self.install_recorder("feh")
        pid = self.start({"feh-path": feh, "pics": images, "monitors": 1}, "-m", "2")
        # From a viewer at rest: the second waits for the first's feh, and a third would merge with it.
        self.viewers_at_rest(pid)
        self.send(pid, [signal.SIGUSR1, signal.SIGUSR1], SKIP, SKIP)
        # Six images over three changes: the whole ring, then its first image again.
        self.assert_ring(self.changes(pid, feh, 3), images, 2, "--bg-scale")
        self.quit(pid)

    def test_reshuffle_starts_a_new_order_at_once(self):
        images, feh = self.images(10), self.install_recorder("feh")
        pid = self.start({"feh-path": feh, "pics": images}, "-m", "5")
        self.send(pid, [signal.SIGUSR1], SKIP)
        old = self.assert_ring(self.changes(pid, feh, 2), images, 5)
        self.send(pid, [signal.SIGUSR2], SHUFFLE)
        self.skips(pid, feh, 3, 2)
        new = self.assert_ring(self.changes(pid, feh, 5)[2:], images, 5)
        # Even with the clock's seed of the first shuffle, ten images come back in the old
        # cyclic order only about once in 360000 runs.
        self.assertNotIn(new, [old[turn:] + old[:turn] for turn in range(len(old))])
        self.quit(pid)

    def test_a_skip_within_the_second_after_sigterm_is_the_last_change(self):
        feh = self.install_recorder("feh")
        pid = self.start({"feh-path": feh, "pics": self.images(3)})
        self.send(pid, [signal.SIGTERM, signal.SIGUSR1], SKIP, "Zelvo has quit")
        self.assertEqual(self.stop_daemon(pid, 0), 0)  # signal 0 only checks: it is already ending
        self.changes(pid, feh, 2)
        self.log.setblocking(False)
        with self.assertRaises(BlockingIOError):
            self.log.recv(65536)


class ReloadTest(CycleCase):
    def test_reload_applies_the_edited_file_with_the_options_still_first(self):
        images = self.images(6)
        for args, monitors, minutes in [((), (1, 3), (20, 30)), (("-m", "2", "-t", "25"), (2, 2), (25, 25))]:
            with self.subTest(args=args):
                feh, xrdb = [[self.install_recorder(f"{name}{len(args)}{side}") for side in "ab"]
                             for name in ("feh", "xrdb")]
                before = {"monitors": 1, "bg-style": "--bg-fill", "feh-path": feh[0], "colors": True,
                          "use-xrdb": True, "xrdb-path": xrdb[0], "xresources": self.path("a.res"), "pics": images}
                pid = self.start(before, *args)
                environ = pathlib.Path(f"/proc/{pid}/environ").read_text()
                own = dict(entry.split("=", 1) for entry in environ.split("\0") if entry)
                self.assertEqual(own["ZELVO_MARK"], "daemon only")
                [loaded] = self.changes(pid, xrdb[0], 1)
                self.assertEqual((loaded["argv"], loaded["env"]), (["--load", self.path("a.res")], own))
                self.assert_ring(records(feh[0]), images, monitors[0], "--bg-fill")
                self.assert_timer(pid, minutes[0])

                self.configure({**before, "minutes": 30, "monitors": 3, "bg-style": "--bg-center",
                                "feh-path": feh[1], "xrdb-path": xrdb[1], "xresources": self.path("b.res")})
                self.send(pid, [signal.SIGHUP], RELOAD, RELOADED)
                self.assert_ring(self.changes(pid, feh[1], 1), images, monitors[1], "--bg-center")
                [loaded] = self.changes(pid, xrdb[1], 1)
                self.assertEqual((loaded["argv"], loaded["env"]), (["--load", self.path("b.res")], own))
                self.assertEqual([len(records(program)) for program in (feh[0], xrdb[0])], [1, 1])
                self.assert_timer(pid, minutes[1])
                self.quit(pid)

    def test_xrdb_needs_colours_as_well(self):
        feh, xrdb = self.install_recorder("feh"), self.install_recorder("xrdb")
        settings = {"feh-path": feh, "colors": False, "use-xrdb": True, "xrdb-path": xrdb, "pics": self.images(2)}
        pid = self.start(settings)
        self.send(pid, [signal.SIGUSR1], SKIP)  # one at a time: libevent runs what it reads at once by number
        self.send(pid, [signal.SIGHUP], RELOAD, RELOADED)
        self.changes(pid, feh, 3)
        self.assertEqual(records(xrdb), [])
        # The same stand-in is started once colours are on: its silence above was real.
        self.configure({**settings, "colors": True})
        self.send(pid, [signal.SIGHUP], RELOAD, RELOADED)
        self.changes(pid, xrdb, 1)
        self.quit(pid)

    def test_unusable_reloads_keep_the_previous_config_and_ring(self):
        images, feh = self.images(5), [self.install_recorder(name) for name in ("feh-a", "feh-b")]
        config = os.path.join(self.home, ".zelvo", ".zelvorc")
        pid = self.start({"feh-path": feh[0], "pics": images, "monitors": 2, "bg-style": "--bg-fill",
                          "DISPLAY": ":3"})
        pathlib.Path(self.path("notes.txt")).write_text("not an image\n")
        os.mkdir(self.path("empty"))
        edited = {"feh-path": feh[1], "monitors": 3, "bg-style": "--bg-center", "DISPLAY": ":8", "pics": images}
        for broken, sources in [(True, images), (False, [self.path("notes.txt"), self.path("empty")])]:
            self.configure({**edited, "pics": sources})
            if broken:
                with open(config, "a") as text:
                    text.write("monitors = = 3;\n")
            self.send(pid, [signal.SIGHUP])
            reload, reason, reloaded = self.messages(3)
            self.assert_notices([reload, reloaded], pid, RELOAD, RELOADED)
            self.assertEqual(reason[:3], (29, "zelvo", pid))
            self.assertIn(config, reason.text)
        # Three changes of two images each went on through the same ring on the same feh.
        found = self.changes(pid, feh[0], 3)
        self.assert_ring(found, images, 2, "--bg-fill")
        self.assertEqual([start["env"]["DISPLAY"] for start in found], [":3"] * 3)
        self.assertEqual(records(feh[1]), [])

        self.configure(edited)
        self.send(pid, [signal.SIGHUP], RELOAD, RELOADED)
        [later] = self.changes(pid, feh[1], 1)
        self.assert_ring([later], images, 3, "--bg-center")
        self.assertEqual(later["env"]["DISPLAY"], ":8")
        self.quit(pid)

    def test_relative_config_path_is_reloaded_from_the_start_directory(self):
        feh = [self.install_recorder(name) for name in ("feh-a", "feh-b")]
        images, directory, name = self.images(2), self.path("conf"), f"zelvo-cycle-{os.getpid()}.rc"
        # A daemon that lost the start directory would read or create the file under "/".
        self.addCleanup(lambda: os.path.exists("/" + name) and os.remove("/" + name))
        settings = {"feh-path": feh[0], "bg-style": "--bg-fill", "pics": images}
        path = os.path.join(directory, name)
        pid = self.start(settings, "-c", name, path=path, cwd=directory)
        self.assertEqual(os.readlink(f"/proc/{pid}/cwd"), "/")
        self.configure({**settings, "feh-path": feh[1], "bg-style": "--bg-center"}, path)
        self.send(pid, [signal.SIGHUP], RELOAD, RELOADED)
        self.assert_ring(self.changes(pid, feh[1], 1), images, 1, "--bg-center")
        self.quit(pid)


    def test_a_reload_of_a_hundred_thousand_images_holds_up_neither_a_change_nor_a_quit(self):
        feh, images = self.install_recorder("feh"), self.images(2)
        image = images[0]
        settings = {"feh-path": feh, "pics": [image]}
        pid = self.start(settings)
        many = self.path("many")
        os.mkdir(many)
        for number in range(100000):  # hard links of two small images, as many as a file system takes of each
            os.link(images[number % 2], os.path.join(many, f"{number}.png"))
        self.configure({**settings, "pics": [many]})
        self.send(pid, [signal.SIGHUP], RELOAD)
        # The old ring serves while the new one is made, and a quit ends the expansion with the daemon.
        self.send(pid, [signal.SIGUSR1], SKIP)
        self.assertEqual(self.wait_records(feh, 2)[1]["argv"][3:], [image])
        quitting = time.monotonic()
        self.quit(pid)
        self.assertLess(time.monotonic() - quitting, 3)
        # Nothing runs on: not the expansion, not its probers, which end as orphans of this subreaper.
        self.assertEqual(self.children(live=True), [])

    def test_an_empty_display_counts_as_none_and_a_url_too_long_for_a_path_is_a_url(self):
        feh, [image] = self.install_recorder("feh"), self.images(1)
        url = "https://www.example.com/" + "x" * 5000 + ".jpg"
        pid = self.start({"feh-path": feh, "pics": [url, image], "monitors": 2}, env={**self.env, "DISPLAY": ""})
        [first] = records(feh)
        self.assertEqual((sorted(first["argv"][3:]), first["env"]["DISPLAY"]), (sorted([url, image]), ":0"))
        self.quit(pid)


class HomeAndOrderTest(CycleCase):
    def test_paths_from_home_and_the_order_of_the_names(self):
        pics = os.path.join(self.home, "Pictures")
        names = make_solid_images(pics, ["red", "blue", "green"])
        [listed] = make_solid_images(os.path.join(self.home, "more"), ["#000000"])
        feh = os.path.join(self.home, "bin", "feh")
        os.makedirs(os.path.dirname(feh))
        self.install_recorder(os.path.relpath(feh, self.top))
        # "~/" at the start is the home directory; a path without it is taken as it is.
        settings = {"feh-path": "~/bin/feh", "XAUTHORITY": "~/.Xauthority", "order": "name",
                    "pics": ["~/Pictures", "~/walls", "~other/Pictures"]}
        self.configure(settings)
        pid = self.start_daemon(env={**self.env, "DISPLAY": ":5"})
        # A list file's entries too (made now: a list file costs a line of MagickCore's at start).
        pathlib.Path(self.home, "walls").write_text('default = [ "~/more/000000.png", "~nobody/x.png" ];\n')
        self.send(pid, [signal.SIGHUP], RELOAD, RELOADED)
        self.skips(pid, feh, 2, 3)
        self.send(pid, [signal.SIGUSR2], SHUFFLE)
        found = self.changes(pid, feh, 6)
        # By name from the first, never shuffled; after SIGUSR2 from the first again.
        by_name = sorted([*names, listed])
        self.assertEqual([start["argv"][3] for start in found], [by_name[0], *by_name, by_name[0]])
        self.assertEqual(found[0]["env"], {"DISPLAY": ":5", "XAUTHORITY": os.path.join(self.home, ".Xauthority"),
                                           "HOME": self.home})
        self.quit(pid)


class PreviousTest(CycleCase):
    def test_forty_steps_back_walk_the_last_32_changes_and_leave_the_ring_alone(self):
        images, feh = self.images(10), self.install_recorder("feh")
        pid = self.start({"feh-path": feh, "pics": images})
        self.send(pid, [signal.SIGRTMIN], NO_BACK)  # nothing before the first change
        # Each change drawn before the next: feh draws one at a time, and those that come meanwhile merge.
        for change in range(34):
            self.send(pid, [signal.SIGUSR1], SKIP)
            self.changes(pid, feh, change + 2)
        shown = [start["argv"][3:] for start in self.changes(pid, feh, 35)]
        for step in range(40):
            self.send(pid, [signal.SIGRTMIN], BACK if step < 31 else NO_BACK)
            self.changes(pid, feh, 35 + min(step + 1, 31))
        # Back from the newest of the 32 sets remembered to the oldest.
        self.assertEqual([start["argv"][3:] for start in self.changes(pid, feh, 66)[35:]], shown[33:2:-1])
        self.send(pid, [signal.SIGUSR1], SKIP)
        # The ring's next, as if it had never gone back.
        self.assertEqual(self.changes(pid, feh, 67)[66]["argv"][3:], shown[25])
        self.quit(pid)

    def test_going_back_over_a_reload_skips_the_images_that_are_gone(self):
        feh, xrdb = self.install_recorder("feh"), self.install_recorder("xrdb")
        settings = {"feh-path": feh, "pics": self.images(3, "old"), "colors": True, "use-xrdb": True, "xrdb-path": xrdb}
        pid = self.start(settings)
        # Each change is let finish, colours and all, before the next: a change that comes sooner ends
        # the colour step of the one before, whose xrdb then never runs.
        self.changes(pid, xrdb, 1)
        for count in (2, 3):
            self.send(pid, [signal.SIGUSR1], SKIP)
            self.changes(pid, xrdb, count)
        shown = [start["argv"][3] for start in self.changes(pid, feh, 3)]
        for image in shown[1:]:
            os.remove(image)
        self.configure({**settings, "pics": self.images(2, "new")})
        self.send(pid, [signal.SIGHUP], RELOAD, RELOADED)
        self.changes(pid, xrdb, 4)
        self.send(pid, [signal.SIGRTMIN], BACK)
        self.send(pid, [signal.SIGRTMIN], NO_BACK)
        self.assertEqual(self.changes(pid, feh, 5)[4]["argv"][3:], shown[:1])
        self.changes(pid, xrdb, 5)  # going back is a change with everything a change does
        self.quit(pid)


class OneFehTest(CycleCase):
    def test_feh_draws_one_change_at_a_time_and_what_was_asked_for_last_last(self):
        # A feh that takes a while to draw, noting when it starts and when it ends.
        feh = self.path("slow-feh")
        pathlib.Path(feh).write_text('#!/bin/sh\necho "start $$ $*" >> "$0.log"\nsleep 0.2\necho "end $$" >> "$0.log"\n')
        os.chmod(feh, 0o755)
        env = {**self.env, "XDG_RUNTIME_DIR": self.runtime}
        self.configure({"feh-path": feh, "pics": self.images(5), "monitors": 2})
        pid = self.start_daemon(env=env)
        for _ in range(10):
            self.send(pid, [signal.SIGUSR1], SKIP)
        self.viewers_at_rest(pid)
        lines = pathlib.Path(feh + ".log").read_text().splitlines()
        starts = [line.split()[1:] for line in lines[0::2]]
        # Each feh ended before the next started; the changes that came meanwhile merged into the latest.
        self.assertEqual([line.split()[0] for line in lines], ["start", "end"] * len(starts))
        self.assertEqual([line.split()[1] for line in lines[1::2]], [start[0] for start in starts])
        self.assertLess(len(starts), 11)
        current = self.zelvoctl("current", env={"HOME": self.home, "XDG_RUNTIME_DIR": self.runtime})
        self.assertEqual(current.status, 0, current.err)
        self.assertEqual(starts[-1][-2:], current.out.decode().split())
        self.quit(pid)


class HookTest(CycleCase):
    def test_the_hook_hears_of_every_kind_of_change_with_its_images(self):
        feh, hook = self.install_recorder("feh"), self.install_recorder("hook")
        pid = self.start({"feh-path": feh, "pics": self.images(5), "monitors": 2, "hook": [hook, "--from", "zelvo"]})
        for count, (numbers, texts) in enumerate([([signal.SIGUSR1], (SKIP,)), ([signal.SIGUSR2], (SHUFFLE,)),
                                                  ([signal.SIGHUP], (RELOAD, RELOADED)), ([signal.SIGRTMIN], (BACK,))], 1):
            self.wait_records(hook, count)  # a hook still running at the next change is ended
            self.send(pid, numbers, *texts)
        own = dict(entry.split("=", 1) for entry in pathlib.Path(f"/proc/{pid}/environ").read_text().split("\0") if entry)
        called = self.changes(pid, hook, 5)
        # Colours are off: no ZELVO_COLORS, and the images just as feh got them.
        self.assertEqual([(start["argv"], start["env"]) for start in called],
                         [([hook, "--from", "zelvo", *shown["argv"][3:]], {**own, "ZELVO_MONITORS": "2"})
                          for shown in self.changes(pid, feh, 5)])
        self.quit(pid)


if __name__ == "__main__":
    unittest.main()
