#!/usr/bin/env python3
"""Runs the real zelvo binary in a private HOME and a private mount namespace
whose /dev/log is the test's own syslog socket, so nothing on the host changes."""
import collections, ctypes, json, os, pathlib, re, shutil, signal, socket, subprocess, tempfile, time, unittest

BINARY = os.environ.get("ZELVO_BINARY", "")
ZELVOCTL = os.environ.get("ZELVOCTL_BINARY", "")
RECORDER = os.environ.get("ZELVO_RECORDER", "")
NO_IMAGES = b"Zelvo found no suitable images to use\r\n"
# A datagram of the test's own on the log socket: every line logged before it was sent comes before it.
LOG_MARK = b"zelvo-test: mark"
TOOLS = {name: shutil.which(name) for name in ("unshare", "mount", "setpriv", "convert")}
# The MagickCore that the binary is built against, and the directory of its own command-line tools.
MAGICKCORE_VERSION = os.environ.get("ZELVO_MAGICKCORE_VERSION", "")
MAGICK_TOOLS = os.environ.get("ZELVO_MAGICK_TOOLS", "")
# glibc's RFC 3164 form: "<29>Dec  8 17:10:00 zelvo[1234]: Zelvo is inited".
SYSLOG_LINE = re.compile(rb"<(\d+)>[A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d ([^\[: ]+)\[(\d+)\]: (.*)", re.S)
Message = collections.namedtuple("Message", "priority identity pid text")
Result = collections.namedtuple("Result", "status out err pid")

def magick_policy():
    """The policy file that the binary's MagickCore reads, as its own tools list it."""
    listing = subprocess.run([os.path.join(MAGICK_TOOLS, "convert"), "-list", "policy"], capture_output=True,
                             text=True, check=True).stdout
    return re.search(r"Path: (/\S+policy\.xml)", listing)[1]


# Runs as root in the new namespace: files bound over others (such as a
# policy file of the test's own), a private /dev holding a few real device
# nodes and the socket as log, an optional private /etc/passwd, then the
# binary itself, under another uid when one is asked for.
NAMESPACE_SCRIPT = r"""
fail() { echo "harness: $*" >&2; exit 125; }
dev=$1 log=$2 passwd=$3 uid=$4 mount=$5 setpriv=$6 full=$7 binds=$8; shift 8
while [ "$binds" -gt 0 ]; do
  "$mount" --bind "$1" "$2" || fail "cannot bind $1 over $2"
  shift 2; binds=$((binds - 1))
done
if [ -n "$full" ]; then
  "$mount" -t tmpfs -o size=16k,mode=0700 tmpfs "$full" || fail "cannot mount a file system on $full"
  head -c 65536 /dev/zero > "$full/.full" 2>/dev/null
  [ -s "$full/.full" ] || fail "cannot fill $full"
fi
for node in null zero random urandom; do
  : > "$dev/$node" && "$mount" --bind "/dev/$node" "$dev/$node" || fail "cannot bind /dev/$node"
done
: > "$dev/log" && "$mount" --bind "$log" "$dev/log" || fail "cannot bind the syslog socket"
"$mount" --rbind "$dev" /dev || fail "cannot replace /dev"
if [ -n "$passwd" ]; then "$mount" --bind "$passwd" /etc/passwd || fail "cannot bind passwd"; fi
if [ -n "$uid" ]; then exec "$setpriv" --reuid="$uid" --regid="$uid" --clear-groups -- "$@"; fi
exec "$@"
"""


def namespace_command(dev, log, argv, passwd="", uid=None, binds=(), full=""):
    """The command that runs argv in a private mount namespace whose /dev is
    built in the empty directory dev, with the socket log as /dev/log, each
    (file, target) of binds bound over its target, and, when full names a
    folder, a small file system over it that is full."""
    return [TOOLS["unshare"], "-m", "--propagation", "private", "sh", "-c", NAMESPACE_SCRIPT, "sh",
            dev, log, passwd, "" if uid is None else str(uid), TOOLS["mount"], TOOLS["setpriv"], full, str(len(binds)),
            *(path for pair in binds for path in pair), *argv]


def receive_messages(log, count, timeout, fail):
    """The next count messages on the syslog socket log, parsed; calls fail with the reason
    when they do not come in time or one is not a syslog line."""
    found = []
    log.settimeout(timeout)
    while len(found) < count:
        try:
            datagram = log.recv(65536)
        except TimeoutError:
            fail(f"expected {count} syslog messages, got {found}")
        match = SYSLOG_LINE.fullmatch(datagram)
        if not match:
            fail(f"unexpected syslog datagram {datagram!r}")
        found.append(Message(int(match[1]), match[2].decode(), int(match[3]), match[4].decode()))
    return found


def proc_stat(pid):
    with open(f"/proc/{pid}/stat", "rb") as stat:
        fields = stat.read().rsplit(b")", 1)[1].split()
    return {"state": fields[0].decode(), "ppid": int(fields[1]), "pgrp": int(fields[2]),
            "session": int(fields[3]), "tty": int(fields[4])}


def proc_status(pid, key):
    with open(f"/proc/{pid}/status") as status:
        return next(line.split(":", 1)[1].strip() for line in status if line.startswith(key + ":"))


def child_programs(pid):
    """The live children of pid (zombies aside), each with the name of the program it runs."""
    try:
        listed = pathlib.Path(f"/proc/{pid}/task/{pid}/children").read_text().split()
    except FileNotFoundError:
        return {}
    found = {}
    for child in listed:
        try:
            stat = pathlib.Path(f"/proc/{child}/stat").read_bytes()
        except FileNotFoundError:  # it ended while we looked
            continue
        if stat.rsplit(b")", 1)[1].split()[0] != b"Z":
            found[child] = stat[stat.index(b"(") + 1:stat.rindex(b")")].decode()
    return found


# A sanitized program's resident set also holds its sanitizer's shadow memory and quarantine of
# freed blocks, which grow for long after a leak-free start: its live heap is measured instead.
SANITIZED = os.environ.get("ZELVO_SANITIZED") == "1"


def live_heap_kib(pid):
    """The live heap, in KiB, that a sanitized program's allocator hooks keep (read by gdb)."""
    gdb = [shutil.which("gdb") or "gdb", "-nx", "-batch", "-p", str(pid), "-ex", "print zelvo_live_heap_bytes"]
    out = subprocess.run(gdb, capture_output=True, text=True, timeout=300, env={**os.environ, "DEBUGINFOD_URLS": ""})
    heap = re.search(r"^\$1 = (-?\d+)$", out.stdout, re.M)
    if not heap:
        raise AssertionError(f"gdb could not read the live heap of {pid}: {out}")
    return int(heap[1]) // 1024


def read_settings(path):
    """Reads a file of `key = value;` lines such as a fresh configuration file."""
    settings = {}
    with open(path) as text:
        for line in filter(str.strip, text):
            match = re.fullmatch(r"([A-Za-z][-A-Za-z0-9_]*) = (.*);\n?", line)
            assert match, f"unexpected line in {path}: {line!r}"
            settings[match[1]] = json.loads(match[2])
    return settings


def make_image(path, colour="red"):
    subprocess.run([TOOLS["convert"], "-size", "40x30", f"gradient:{colour}-blue", path], check=True)


def make_solid_images(directory, colours, size="40x30", suffix=".png"):
    """One solid image per colour (a PNG, or what suffix names), named after it, made by one convert run;
    gives their paths."""
    os.makedirs(directory, exist_ok=True)
    paths = [os.path.join(directory, f"{colour.lstrip('#')}{suffix}") for colour in colours]
    command = [TOOLS["convert"]]
    for colour, path in zip(colours, paths):
        command += ["(", "-size", size, f"xc:{colour}", "-write", path, "+delete", ")"]
    subprocess.run(command + ["xc:none", "null:"], check=True)
    return paths


def block_colours(low, high):
    """Sixteen colours that quantize apart: the eight corners of the RGB cube and
    the eight mixes of two mid values low and high (0x48..0x60 and 0x9f..0xb8)."""
    corners = [(r, g, b) for r in (0, 255) for g in (0, 255) for b in (0, 255)]
    middles = [(r, g, b) for r in (low, high) for g in (low, high) for b in (low, high)]
    return corners + middles


def make_block_image(path, colours, size=512):
    """A size x size PNG of sixteen square blocks, four by four, one per colour (r, g, b)."""
    side = size // 4
    command = [TOOLS["convert"], "-size", f"{size}x{size}", "xc:black"]
    for index, (red, green, blue) in enumerate(colours):
        x, y = index % 4 * side, index // 4 * side
        command += ["-fill", f"rgb({red},{green},{blue})", "-draw", f"rectangle {x},{y} {x + side - 1},{y + side - 1}"]
    subprocess.run(command + [path], check=True)
    return path


def hex_colour(text):
    """(r, g, b) of "#rrggbb" in either case."""
    return tuple(int(text[at:at + 2], 16) for at in (1, 3, 5))


def near(colour, colours, tolerance=6):
    """Whether colour (r, g, b) lies within tolerance per channel of one of colours."""
    return any(all(abs(a - b) <= tolerance for a, b in zip(colour, other)) for other in colours)


def libconfig_text(settings):
    """A libconfig file with one `key = value;` line per setting: bool, int, str or a list of str."""
    def value(item):
        if isinstance(item, bool):
            return "true" if item else "false"
        if isinstance(item, list):
            return "[" + ", ".join(map(value, item)) + "]"
        return json.dumps(item) if isinstance(item, str) else str(item)
    return "".join(f"{key} = {value(item)};\n" for key, item in settings.items())


def records(program):
    """What a recording stand-in installed as program was started with, one dict per start:
    monotonic (ns), pid, argv (argv[0] included) and env (a dict)."""
    try:
        with open(program + ".log") as log:
            # A line without its newline is still being written: a read may overtake a write.
            lines = log.read().split("\n")[:-1]
    except FileNotFoundError:
        return []
    found = [json.loads(line) for line in lines]
    for start in found:
        start["env"] = dict(entry.split("=", 1) for entry in start["env"])
    return found


class ZelvoCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.access(BINARY, os.X_OK):
            raise AssertionError(f"ZELVO_BINARY names no executable: {BINARY!r}")
        if not os.access(ZELVOCTL, os.X_OK):
            raise AssertionError(f"ZELVOCTL_BINARY names no executable: {ZELVOCTL!r}")
        if not os.access(RECORDER, os.X_OK):
            raise AssertionError(f"ZELVO_RECORDER names no executable: {RECORDER!r}")
        if None in TOOLS.values():
            raise AssertionError(f"missing tools: {TOOLS}")
        # Daemons that detach are re-parented to this process, which can then
        # reap them and see their exit status.
        if ctypes.CDLL(None, use_errno=True).prctl(36, 1, 0, 0, 0) != 0:  # PR_SET_CHILD_SUBREAPER
            raise AssertionError("cannot become a child subreaper")

    def setUp(self):
        self.top = tempfile.mkdtemp(prefix="zelvo-it-")
        os.chmod(self.top, 0o711)  # another uid may need to pass through
        self.home, self.dev = self.path("home"), self.path("dev")
        list(map(os.mkdir, (self.home, self.dev)))
        # The session's runtime directory, where the daemon keeps its pid and status files.
        self.runtime = self.path("runtime")
        os.mkdir(self.runtime, 0o700)
        # Recording stand-ins come first on the search path, so that a daemon
        # left to find feh itself never draws on a real display.
        self.bin = self.path("bin")
        os.mkdir(self.bin)
        os.chmod(self.bin, 0o1777)  # the stand-ins of a daemon of another uid write here
        for name in ("feh", "xrdb"):
            self.install_recorder(os.path.join("bin", name))
        self.search_path = self.bin + ":" + os.environ.get("PATH", "/usr/bin:/bin")
        self.log = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.log.bind(self.path("log"))
        os.chmod(self.path("log"), 0o666)

    def tearDown(self):
        for pid in self.children():
            os.kill(pid, signal.SIGKILL)  # harmless on an unreaped one
            os.waitpid(pid, 0)
        self.log.close()
        shutil.rmtree(self.top)

    def install_recorder(self, name):
        """A recording stand-in at path(name), executable by any uid; gives its path."""
        program = self.path(name)
        shutil.copy(RECORDER, program)
        os.chmod(program, 0o755)
        return program

    def write_config(self, settings, path=None):
        """Writes settings (see libconfig_text) as the default configuration file, or to path."""
        path = path or os.path.join(self.home, ".zelvo", ".zelvorc")
        os.makedirs(os.path.dirname(path), exist_ok=True)
        pathlib.Path(path).write_text(libconfig_text(settings))
        return path

    def wait_records(self, program, count, timeout=10.0):
        """Polls until the stand-in program has recorded at least count starts; gives them all."""
        return self.poll(lambda: len(found := records(program)) >= count and found,
                         f"started {os.path.basename(program)} {count} times", timeout)

    def path(self, *parts):
        return os.path.join(self.top, *parts)

    def children(self, live=False):
        """zelvo processes that this process inherited, with the unreaped ones unless live."""
        found = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/comm") as comm:
                    process = proc_stat(pid) if comm.read() == "zelvo\n" else {"ppid": 0}
            except OSError:
                continue  # it ended while we looked
            if process["ppid"] == os.getpid() and not (live and process["state"] == "Z"):
                found.append(int(pid))
        return found

    def run_zelvo(self, *args, env=None, umask=0o022, uid=None, passwd=None, pass_fds=(), binds=(), full=""):
        """Runs the binary with args in the private namespace and waits for it."""
        if env is None:
            env = {"HOME": self.home, "PATH": self.search_path, "XDG_RUNTIME_DIR": self.runtime}
        passwd_file = "" if passwd is None else self.path("passwd")
        if passwd_file:
            pathlib.Path(passwd_file).write_text(passwd)
        command = namespace_command(self.dev, self.path("log"), [BINARY, *args], passwd_file, uid, binds, full)
        with subprocess.Popen(command, env=env, umask=umask, pass_fds=pass_fds, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE) as launched:
            out, err = launched.communicate(timeout=30)
        if launched.returncode == 125 and err.startswith(b"harness:"):
            raise AssertionError(f"the private namespace could not be set up: {err!r}")
        return Result(launched.returncode, out, err, launched.pid)

    def zelvoctl(self, *args, env=None, uid=None):
        """Runs zelvoctl with args (by default in the test's HOME and runtime directory) and waits for it."""
        env = {"HOME": self.home, "XDG_RUNTIME_DIR": self.runtime} if env is None else env
        command = [ZELVOCTL, *args] if uid is None else [TOOLS["setpriv"], f"--reuid={uid}", f"--regid={uid}",
                                                          "--clear-groups", "--", ZELVOCTL, *args]
        done = subprocess.run(command, env=env, stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
        return Result(done.returncode, done.stdout, done.stderr, None)

    def mark_log(self):
        """Sends LOG_MARK to the log socket, behind whatever the daemon has logged so far."""
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as sender:
            sender.sendto(LOG_MARK, self.path("log"))

    def viewers_at_rest(self, pid, timeout=10.0):
        """Waits until the daemon has no child but its own workers: every viewer it started has ended
        (feh draws one change at a time, the latest asked for last), and none waits to start."""
        children = pathlib.Path(f"/proc/{pid}/task/{pid}/children")

        def comm(child):
            try:
                return pathlib.Path(f"/proc/{child}/comm").read_text()
            except FileNotFoundError:
                return "zelvo\n"  # gone since it was listed
        self.poll(lambda: all(comm(child) == "zelvo\n" for child in children.read_text().split()),
                  "lets its viewers end", timeout)

    def messages(self, count, timeout=10.0):
        """The next count syslog messages, parsed; fails when they do not come."""
        return receive_messages(self.log, count, timeout, self.fail)

    def assert_notices(self, messages, pid, *texts):
        self.assertEqual(messages, [Message(29, "zelvo", pid, text) for text in texts])

    def start_daemon(self, *args, **options):
        """Starts the daemon, checks its first two log lines and returns its pid."""
        result = self.run_zelvo(*args, **options)
        self.assertEqual((result.status, result.out, result.err), (0, b"", b""))
        first = self.messages(2)
        pid = first[0].pid
        self.assert_notices(first, pid, "Zelvo is inited", "Zelvo is started")
        self.assertNotEqual(pid, result.pid)
        # It logs that it started a moment before its loop takes the quit signals over.
        quits = sum(1 << (number - 1) for number in (signal.SIGINT, signal.SIGQUIT, signal.SIGTERM))
        self.poll(lambda: int(proc_status(pid, "SigCgt"), 16) & quits == quits, "catches quit signals")
        return pid

    def stop_daemon(self, pid, signal_number=signal.SIGTERM):
        """Sends the quit signal and returns the daemon's wait status."""
        os.kill(pid, signal_number)
        def reaped():
            try:
                return os.waitpid(pid, os.WNOHANG)
            except ChildProcessError:
                return None  # not yet re-parented to this process
        return self.poll(lambda: (ended := reaped()) and ended[0] == pid and ended, "ends")[1]

    def poll(self, condition, what, timeout=10.0):
        deadline = time.monotonic() + timeout
        while not (value := condition()):
            if time.monotonic() > deadline:
                self.fail(f"the daemon never {what}")
            time.sleep(0.02)
        return value
