#!/usr/bin/env python3
"""Shows zelvo's start-up for real: a folder of generated sample images, the
daemon detaching, its syslog lines, and its quitting on SIGTERM. The daemon
runs in a private mount namespace whose /dev/log is this script's own socket,
since a desktop's syslog may be elsewhere and this machine may have none."""
import os, pathlib, signal, socket, subprocess, sys, tempfile, time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "integration"))
import harness  # noqa: E402

binary = os.path.abspath(sys.argv[1])
top = tempfile.mkdtemp(prefix="zelvo-demo-")
home, dev, log_path = (os.path.join(top, name) for name in ("home", "dev", "log"))
os.makedirs(os.path.join(home, ".zelvo", "images"))
os.mkdir(dev)
colours = ["tomato", "gold", "seagreen", "steelblue", "orchid"]
for index, colour in enumerate(colours):
    suffix = "png" if index % 2 else "jpg"
    harness.make_image(os.path.join(home, ".zelvo", "images", f"sample-{index}.{suffix}"), colour)
print(f"HOME={home}: {len(colours)} sample images in ~/.zelvo/images")

log = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
log.bind(log_path)
log.settimeout(10)


def next_line():
    match = harness.SYSLOG_LINE.fullmatch(log.recv(65536))
    return int(match[3]), match[4].decode()


started = time.monotonic()
launched = subprocess.run(harness.namespace_command(dev, log_path, [binary]),
                          env={"HOME": home, "PATH": os.environ["PATH"]}, capture_output=True)
print(f"$ zelvo  -> returned status {launched.returncode} after "
      f"{(time.monotonic() - started) * 1000:.0f} ms; stderr: {launched.stderr!r}")
if launched.returncode != 0:
    sys.exit(1)
pid = None
for _ in range(2):
    pid, text = next_line()
    print(f"syslog: zelvo[{pid}]: {text}")
stat = harness.proc_stat(pid)
print(f"daemon {pid}: session {stat['session']}, no terminal: {stat['tty'] == 0}, "
      f"working directory {os.readlink(f'/proc/{pid}/cwd')}, umask {harness.proc_status(pid, 'Umask')}")
print("configuration written on first run:")
print(pathlib.Path(home, ".zelvo", ".zelvorc").read_text(), end="")
time.sleep(0.5)  # the loop takes the quit signals over just after "Zelvo is started"
os.kill(pid, signal.SIGTERM)
print(f"sent SIGTERM to {pid}")
pid, text = next_line()
print(f"syslog: zelvo[{pid}]: {text}")
deadline = time.monotonic() + 5
while os.path.exists(f"/proc/{pid}") and harness.proc_stat(pid)["state"] != "Z":
    if time.monotonic() > deadline:
        sys.exit(f"daemon {pid} is still running")
    time.sleep(0.05)
print(f"daemon {pid} has ended")
