#!/usr/bin/env python3
"""Faults around the real binary that it must survive: a fork that fails for
xrdb, a full file system under the colour file, viewers that never end; and
that nothing it creates can be written by the group or others, whatever the umask."""
import contextlib, errno, os, pathlib, re, shutil, signal, socket, stat, subprocess, time, unittest

from harness import NO_IMAGES, TOOLS, proc_stat, proc_status, records
from test_lifecycle import RELOAD, SKIP, LifecycleCase, daemon_children, each_process

# A uid of its own: every task of the uid counts against the process limit.
FAULT_UID = 54340
BACK = "SIGRTMIN has been recived: going back"
XRDB_FORK_FAILED = f"Zelvo could not start xrdb: fork failed: {os.strerror(errno.EAGAIN)}"
# Written with builtins only, so that it starts even when its uid may fork no more.
HANGING_VIEWER = """#!/bin/sh
# A viewer that records its pid and arguments, then hangs for good, deaf to SIGTERM.
trap '' TERM
echo "$$ $*" >> "$0.log"
exec {sleep} infinity
"""
# The same, but its first start ends at once: the later ones hang.
HANGING_AFTER_FIRST = HANGING_VIEWER.replace('exec {sleep}', '[ -e "$0.first" ] || {{ : > "$0.first"; exit 0; }}\nexec {sleep}')

DROPPED = re.compile(r"Zelvo dropped (\d+) log lines while the log socket was full")


def modes(top):
    """{path under top: permission bits} of everything under top."""
    found = {}
    for directory, names, files in os.walk(top):
        for name in names + files:
            path = os.path.join(directory, name)
            found[os.path.relpath(path, top)] = stat.S_IMODE(os.lstat(path).st_mode)
    return found


def fill(path):
    """Writes zeros to a new file at path until the file system refuses; gives the errno."""
    descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    try:
        while True:
            os.write(descriptor, bytes(4096))
    except OSError as refused:
        return refused.errno
    finally:
        os.close(descriptor)


class FaultCase(LifecycleCase):
    def setUp(self):
        super().setUp()
        self.hang = os.path.join(self.bin, "hang")  # in the sticky directory that any uid may write
        pathlib.Path(self.hang).write_text(HANGING_VIEWER.format(sleep=shutil.which("sleep")))
        os.chmod(self.hang, 0o755)
        self.xrdb = os.path.join(self.bin, "xrdb")

    def tearDown(self):
        # The daemons end first, so that none starts another viewer; the hanging
        # viewers that outlive them are re-parented to this process.
        for pid in self.children():
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
        hanging = [pid for pid, _ in self.hung(0)]
        for pid in hanging:
            os.kill(pid, signal.SIGKILL)
        for pid in hanging:
            self.poll(lambda: self.reaped(pid), f"lets hanging viewer {pid} go")
        super().tearDown()

    def reaped(self, pid):
        try:
            os.waitpid(pid, os.WNOHANG)
        except ChildProcessError:
            pass  # the daemon's, which the system reaps
        return not os.path.exists(f"/proc/{pid}")

    def hung(self, count):
        """(pid, arguments) of the hanging viewers once count have recorded their start and hang."""
        def started():
            try:
                lines = pathlib.Path(self.hang + ".log").read_text().splitlines()
            except FileNotFoundError:
                lines = []
            found = [(int(pid), arguments) for pid, arguments in (line.split(" ", 1) for line in lines)]
            # Only those still hanging: a pid that ended may belong to another process by now.
            found = [(pid, arguments) for pid, arguments in found if self.hanging(pid)]
            return len(found) >= count and found
        return self.poll(started, f"started {count} hanging viewers") if count else started() or []

    @staticmethod
    def hanging(pid):
        try:
            return pathlib.Path(f"/proc/{pid}/cmdline").read_bytes().endswith(b"\0infinity\0")
        except OSError:
            return False

    def set_process_limit(self, pid, soft):
        """Sets the daemon's soft process limit as its own uid, which needs no CAP_SYS_RESOURCE."""
        subprocess.run([TOOLS["setpriv"], f"--reuid={FAULT_UID}", f"--regid={FAULT_UID}", "--clear-groups",
                        "prlimit", f"--pid={pid}", f"--nproc={soft}:"], check=True)

    def skip(self, run, *texts):
        os.kill(run.pid, signal.SIGUSR1)
        self.assertEqual(self.lines(1 + len(texts)), [(run.pid, text) for text in (SKIP, *texts)])

    def colour_lines(self, path):
        lines = pathlib.Path(path).read_text().splitlines()
        self.assertEqual([line.split()[:2] for line in lines], [["#define", f"c{index}"] for index in range(16)])


class FaultTest(FaultCase):
    def test_a_viewer_that_never_ends_holds_the_next_change_up_for_a_bound_only(self):
        run = self.daemon("root", {"feh-path": self.hang})
        [(first, shown)] = self.hung(1)
        # feh draws one change at a time: the two changes asked for while it hangs merge into the later,
        # back to the first image, which a viewer started once the hanging one is ended draws.
        self.skip(run)
        os.kill(run.pid, signal.SIGRTMIN)
        self.assertEqual(self.lines(1), [(run.pid, BACK)])
        second, again = self.poll(lambda: next(((pid, words) for pid, words in self.hung(0) if pid != first), None),
                                  "ends the hanging viewer and starts the latest change's", 10)
        self.assertEqual(again, shown)
        self.assertFalse(self.hanging(first))
        self.assertEqual(set(daemon_children(run.pid)), {second})
        self.stop(run)

    def test_failed_xrdb_fork_is_logged_and_the_next_change_starts_xrdb(self):
        # The first viewer ends at once; the next one hangs, holding the one task the limit leaves.
        pathlib.Path(self.hang).write_text(HANGING_AFTER_FIRST.format(sleep=shutil.which("sleep")))
        run = self.daemon("user", {"feh-path": self.hang, "xrdb-path": self.xrdb, "colors": True,
                                   "use-xrdb": True}, uid=FAULT_UID)
        self.wait_records(self.xrdb, 1)
        self.poll(lambda: not daemon_children(run.pid), "lets its first viewer and xrdb end")
        tasks = sum(int(proc_status(pid, "Threads")) for pid, uid in each_process(
            lambda pid: int(proc_status(pid, "Uid").split()[0])) if uid == FAULT_UID)
        limits = pathlib.Path(f"/proc/{run.pid}/limits").read_text().splitlines()
        soft = next(line.split()[2] for line in limits if line.startswith("Max processes"))
        # Room for one more task: the next viewer starts, the colour step's process and xrdb after it cannot.
        # The images have changed since their colours were prepared: the change needs a colour step of its own.
        self.set_process_limit(run.pid, tasks + 1)
        for image in self.images:
            os.utime(image, (0, 0))
        os.kill(run.pid, signal.SIGUSR1)
        skipped, colours, xrdb = self.lines(3)
        self.assertEqual((skipped, xrdb), ((run.pid, SKIP), (run.pid, XRDB_FORK_FAILED)))
        self.assertRegex(colours[1], rf"^Zelvo gave up on the colours of {re.escape(self.path('images'))}/.*: "
                         rf"fork failed: {os.strerror(errno.EAGAIN)}$")
        self.assertEqual(colours[0], run.pid)
        [(viewer, _)] = self.hung(1)
        self.assertEqual(len(records(self.xrdb)), 1)
        self.assertNotEqual(proc_stat(run.pid)["state"], "Z")

        self.set_process_limit(run.pid, soft)
        self.skip(run)
        # The hanging viewer is ended within its bound, and the change's viewer hangs in its place.
        self.poll(lambda: [pid for pid, _ in self.hung(0)] not in ([], [viewer]), "starts the next viewer", 10)
        self.assertEqual(len(self.wait_records(self.xrdb, 2)), 2)
        self.colour_lines(os.path.join(run.home, ".zelvo", "colors"))
        self.stop(run)

    def test_a_colour_file_that_cannot_be_replaced_stays_whole_and_holds_nothing_up(self):
        run = self.daemon("full", {"xrdb-path": self.xrdb, "colors": True, "use-xrdb": True})
        self.wait_records(self.xrdb, 1)
        user = os.path.join(run.home, ".zelvo")
        colours, inside = os.path.join(user, "colors"), f"/proc/{run.pid}/root{user}"
        previous = pathlib.Path(colours).read_text()
        mount = lambda *options: subprocess.run([shutil.which("nsenter"), "-t", str(run.pid), "-m", TOOLS["mount"],
                                                 *options], check=True)
        # A 16 KiB file system on the per-user directory, seen only in the daemon's namespace, holding the
        # colour file as it was: full, read-only, or with a FIFO or a directory in the colour file's place.
        mount("-t", "tmpfs", "-o", "size=16k,mode=0755", "zelvo-full", user)
        pathlib.Path(inside, "colors").write_text(previous)
        self.assertEqual(fill(os.path.join(inside, "filler")), errno.ENOSPC)
        cases = [("full", previous, os.strerror(errno.ENOSPC)), ("read-only", previous, os.strerror(errno.EROFS)),
                 ("fifo", None, "not a regular file"), ("directory", None, "not a regular file")]
        for change, (name, kept, reason) in enumerate(cases, start=2):
            with self.subTest(name):
                if name == "read-only":
                    mount("-o", "remount,ro", user)
                if name == "fifo":
                    mount("-o", "remount,rw", user)
                    os.remove(os.path.join(inside, "colors"))
                    os.mkfifo(os.path.join(inside, "colors"))
                if name == "directory":
                    os.remove(os.path.join(inside, "colors"))
                    os.mkdir(os.path.join(inside, "colors"))
                self.skip(run, f"Zelvo could not write the colour file {colours}: {reason}")
                # The change went on to xrdb, which loaded what is there, whole.
                self.assertEqual(len(self.wait_records(self.xrdb, change)), change)
                if kept is not None:
                    self.assertEqual(pathlib.Path(inside, "colors").read_text(), kept)
                self.assertEqual(sorted(os.listdir(inside)), sorted(["colors"] + ["filler"] * (name != "directory")))
                if name == "fifo":
                    os.remove(os.path.join(inside, "filler"))

        os.rmdir(os.path.join(inside, "colors"))
        self.skip(run)
        self.wait_records(self.xrdb, 6)
        self.colour_lines(os.path.join(inside, "colors"))
        self.assertEqual(len(self.wait_records(run.feh, 6)), 6)
        self.stop(run)


class LogSocketTest(FaultCase):
    def toggle(self, run, count):
        """Pauses and resumes the daemon count times in turn over its control socket, each request
        answered before the next; gives the lines they log."""
        path = os.path.join(run.home, ".zelvo", "run", ":0.sock")
        for index in range(count):
            with socket.socket(socket.AF_UNIX) as client:
                client.settimeout(5)
                client.connect(path)
                client.sendall(b"resume\n" if index % 2 else b"pause\n")
                self.assertEqual(client.recv(64), b"ok\n", f"request {index}")
        return ["Zelvo is resumed" if index % 2 else "Zelvo is paused" for index in range(count)]

    def test_a_log_socket_that_nobody_reads_holds_nothing_up(self):
        hook = self.path("no-hook")
        run = self.daemon("unread", {"hook": [hook]})
        ctl = lambda *args: self.zelvoctl(*args, env={"HOME": run.home})
        # Far more lines than the socket and the daemon's queue hold, while nobody reads.
        said = self.toggle(run, 600)
        began = time.monotonic()
        self.assertEqual(ctl("status")[0], 0)
        self.assertLess(time.monotonic() - began, 1)
        # Its line is dropped too; the hook's child, forked meanwhile, speaks for itself alone, as the
        # first change's did before the flood.
        self.assertEqual(ctl("next")[:3], (0, b"", b""))
        said.append(SKIP)
        ours, child = [], []
        while not (ours and DROPPED.fullmatch(ours[-1]) and len(child) == 2):
            [message] = self.messages(1)
            if message.pid == run.pid:
                ours.append(message.text)
            else:
                child.append((message.pid, message.text))
        # Read again: the lines come in their order, each once, then how many did not.
        self.assertEqual(ours[:-1], said[:len(ours) - 1])
        self.assertEqual(int(DROPPED.fullmatch(ours[-1])[1]), len(said) - (len(ours) - 1))
        self.assertEqual({text for _, text in child}, {f"Zelvo could not start the hook {hook}: {os.strerror(errno.ENOENT)}"})
        self.assertNotEqual(child[0][0], child[1][0])
        self.assertEqual(ctl("next")[:3], (0, b"", b""))
        self.assertEqual(self.lines(1), [(run.pid, SKIP)])

        # Full again: quit still ends it at once.
        self.toggle(run, 600)
        began = time.monotonic()
        self.assertEqual(ctl("quit")[:3], (0, b"", b""))
        def reaped():
            with contextlib.suppress(ChildProcessError):
                return os.waitpid(run.pid, os.WNOHANG)[0] == run.pid
        self.poll(reaped, "ends")
        # Its loop ends a second after the quit; a daemon blocked on the socket would never end.
        self.assertLess(time.monotonic() - began, 1.8)


class UmaskTest(FaultCase):
    def test_nothing_the_daemon_creates_is_group_or_world_writable(self):
        # A first run without images makes the per-user directories and the default file.
        for umask, directory, file in [(0o000, 0o755, 0o644), (0o070, 0o705, 0o604)]:
            with self.subTest(umask=oct(umask)):
                shutil.rmtree(os.path.join(self.home, ".zelvo"), ignore_errors=True)
                result = self.run_zelvo(umask=umask)
                self.assertEqual((result.status, result.out, result.err), (1, b"", NO_IMAGES))
                self.assertEqual(modes(self.home), {".zelvo": directory, ".zelvo/images": directory,
                                                    ".zelvo/.zelvorc": file})
        shutil.rmtree(os.path.join(self.home, ".zelvo"))

        config = self.write_config({"feh-path": os.path.join(self.bin, "feh"), "xrdb-path": self.xrdb,
                                    "colors": True, "use-xrdb": True, "default": [self.path("images")]})
        pid = self.start_daemon(env={"HOME": self.home, "PATH": os.environ["PATH"], "XDG_RUNTIME_DIR": self.runtime},
                                umask=0)
        self.wait_records(self.xrdb, 1)
        made = {name: mode for name, mode in modes(self.home).items() if name not in (".zelvo", ".zelvo/.zelvorc")}
        self.assertEqual(made, {".zelvo/images": 0o755, ".zelvo/colors": 0o644})
        # The reload makes the directories and the default file again, then the colour file.
        shutil.rmtree(os.path.join(self.home, ".zelvo"))
        os.kill(pid, signal.SIGHUP)
        kept = f"Zelvo found no suitable images in {config} and keeps the previous configuration"
        self.assertEqual(self.lines(3), [(pid, RELOAD[0]), (pid, kept), (pid, RELOAD[1])])
        self.wait_records(self.xrdb, 2)
        self.assertEqual(modes(self.home), {".zelvo": 0o755, ".zelvo/images": 0o755, ".zelvo/.zelvorc": 0o644,
                                            ".zelvo/colors": 0o644})
        self.assertEqual(self.stop_daemon(pid), 0)
        self.assertEqual(self.lines(1), [(pid, "Zelvo has quit")])


if __name__ == "__main__":
    unittest.main()
