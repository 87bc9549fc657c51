#!/usr/bin/env python3
"""Shows zelvo's main job for real: started on generated sample wallpapers, it
sets the first with feh, changes it on SIGUSR1 and quits on SIGTERM, while this
script saves a screenshot of the root window after each change, and the same
screenshot with the sixteen colours of the colour file drawn beneath it, and
prints the daemon's syslog lines and the palette it wrote for the new
wallpaper. Without a display (or with --xvfb) it uses a private Xvfb, and there
xrdb loads the palette too; your own display's resources are left alone. The
daemon's /dev/log is this script's own socket, in a private mount namespace (so
it needs root), since this machine may have no syslog.

Usage: demo.py ZELVO_BINARY OUTPUT_DIRECTORY [--xvfb]"""
import os, pathlib, re, shutil, signal, socket, subprocess, sys, tempfile, threading, time

sys.dont_write_bytecode = True  # leave no cache behind in the source tree
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "integration"))
import harness  # noqa: E402

CHANGES = 3
# Photo-like wallpapers, each with a sixteen-colour palette of its own.
SAMPLES = [["-seed", "1", "-size", "640x400", "plasma:tomato-gold", "-blur", "0x3"],
           ["-seed", "2", "-size", "640x400", "plasma:gold-seagreen", "-blur", "0x3"],
           ["-seed", "3", "-size", "640x400", "plasma:orchid-steelblue", "-blur", "0x3", "-swirl", "200"],
           ["-seed", "4", "-size", "640x400", "plasma:navy-coral", "-blur", "0x3"],
           ["-seed", "5", "-size", "640x400", "plasma:fractal", "-blur", "0x2"]]


class DemoError(Exception):
    pass


def start_xvfb(log_path):
    """A private X server on the first free display number; gives the process and the display name."""
    read, write = os.pipe()
    with open(log_path, "wb") as log:
        server = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-noreset", "-screen", "0", "1024x640x24"],
                                  pass_fds=[write], stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    os.close(write)
    with os.fdopen(read, "rb") as pipe:  # the number, a newline, then the end of the pipe
        number = pipe.read().decode().strip()
    if not number:
        raise DemoError(f"Xvfb did not start: {pathlib.Path(log_path).read_text().strip()}")
    return server, ":" + number


def screenshot(display):
    shot = subprocess.run(["xwd", "-root", "-display", display], capture_output=True)
    if shot.returncode != 0:
        raise DemoError(f"xwd cannot read display {display}: {shot.stderr.decode().strip()}")
    return shot.stdout


def wait_for_change(display, previous, timeout=10.0):
    """Polls until the screen differs from previous and holds still for one more look; gives it."""
    deadline, last = time.monotonic() + timeout, None
    while time.monotonic() < deadline:
        shot = screenshot(display)
        if shot != previous and shot == last:
            return shot
        last = shot
        time.sleep(0.1)
    raise DemoError("the wallpaper did not change on the screen within 10 s")


def print_syslog(log, lines):
    """Prints each line that the daemon logs and keeps it for the main thread."""
    while True:
        datagram = log.recv(65536)
        if not (match := harness.SYSLOG_LINE.fullmatch(datagram)):
            print(f"  syslog, unparsed: {datagram!r}", flush=True)
            continue
        print(f"  syslog: zelvo[{match[3].decode()}]: {match[4].decode()}", flush=True)
        lines.append((int(match[3]), match[4].decode()))


def wait_until(condition, what, timeout=10.0):
    """Polls condition until it gives a true value, which it returns."""
    deadline = time.monotonic() + timeout
    while not (value := condition()):
        if time.monotonic() > deadline:
            raise DemoError(f"timed out waiting until {what}")
        time.sleep(0.05)
    return value


def palette_of(colour_file):
    """The sixteen entries of the colour file, or None while it is missing."""
    try:
        return re.findall(r"^#define c\d+ (\S+)$", pathlib.Path(colour_file).read_text(), re.M)
    except FileNotFoundError:
        return None


def palette_picture(shot, palette, path, width=960):
    """Writes the screenshot (xwd data) scaled to width with a row of the palette's
    sixteen swatches beneath it, each labelled with its name and colour. It is a
    256-colour PNG, small enough for the documentation: the screenshot is dithered
    to 188 colours, and the row keeps its sixteen colours exactly, its lettering
    drawn in black or white and three blends toward the swatch."""
    swatch, kept = width // len(palette), ["xc:black", "xc:white"]
    command = ["convert", "(", "xwd:-", "-resize", f"{width}x", "-dither", "FloydSteinberg", "-colors", "188", ")",
               "("]
    for index, colour in enumerate(palette):
        rgb = [int(colour[i:i + 2], 16) for i in (1, 3, 5)]
        ink = 0 if 0.299 * rgb[0] + 0.587 * rgb[1] + 0.114 * rgb[2] > 140 else 255
        kept += [f"xc:{colour}"] + ["xc:#" + "".join(f"{(c * (4 - k) + ink * k) // 4:02x}" for c in rgb)
                                    for k in (1, 2, 3)]
        command += ["(", "-size", f"{swatch}x56", f"xc:{colour}", "-fill", "black" if ink == 0 else "white",
                    "-gravity", "north", "-pointsize", "14", "-annotate", "+0+9", f"c{index}",
                    "-gravity", "south", "-pointsize", "10", "-annotate", "+0+9", colour, ")"]
    command += ["+gravity", "+append", "(", *kept, "+append", "-write", "mpr:kept", "+delete", ")",
                "+dither", "-remap", "mpr:kept", ")", "-append", "-strip", f"PNG8:{path}"]
    subprocess.run(command, input=shot, check=True)


def modified(path):
    """The file's modification time in ns, or None while it is missing."""
    try:
        return os.stat(path).st_mtime_ns
    except FileNotFoundError:
        return None


def loaded_palette(display):
    """*color0 to *color15 as the X server holds them."""
    query = subprocess.run(["xrdb", "-query", "-display", display], capture_output=True, text=True, check=True)
    found = dict(re.findall(r"^\*color(\d+):\s*(\S+)$", query.stdout, re.M))
    return [found.get(str(index)) for index in range(16)]


def logged(lines, text):
    return wait_until(lambda: next((pid for pid, line in lines if line == text), None), f'zelvo logs "{text}"')


def demo(binary, output, use_xvfb, top, cleanup):
    home, dev, log_path = (os.path.join(top, name) for name in ("home", "dev", "log"))
    images = os.path.join(home, ".zelvo", "images")
    os.makedirs(images)
    os.mkdir(dev)
    for index, sample in enumerate(SAMPLES):
        subprocess.run(["convert", *sample, os.path.join(images, f"sample-{index}.png")], check=True)
    print(f"{len(SAMPLES)} sample wallpapers in {images}")

    display = os.environ.get("DISPLAY")
    private = use_xvfb or not display
    if private:
        server, display = start_xvfb(os.path.join(top, "xvfb.log"))
        cleanup.append(lambda: (server.terminate(), server.wait(5), print(f"stopped the Xvfb on {display}")))
        print(f"started a private Xvfb on display {display}")
    else:
        print(f"using your display {display}: its wallpaper will change")

    # Colours on; xrdb only on the private server, since --load replaces all of a display's resources.
    colour_file = os.path.join(home, ".zelvo", "colors")
    resources = os.path.join(home, "resources")
    pathlib.Path(resources).write_text(f'#include "{colour_file}"\n' +
                                       "".join(f"*color{index}: c{index}\n" for index in range(16)))
    pathlib.Path(home, ".zelvo", ".zelvorc").write_text(harness.libconfig_text(
        {"colors": True, "dark": True, "use-xrdb": private, "xresources": resources, "minutes": 30,
         "source_to_use": "default", "default": [images]}))

    log = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    log.bind(log_path)
    lines = []
    threading.Thread(target=print_syslog, args=(log, lines), daemon=True).start()
    env = {key: os.environ[key] for key in ("PATH", "XAUTHORITY") if key in os.environ}
    env.update(HOME=home, DISPLAY=display)
    before = screenshot(display)
    print("$ zelvo")
    launched = subprocess.run(harness.namespace_command(dev, log_path, [binary]), env=env, capture_output=True)
    if launched.returncode != 0:
        raise DemoError(f"zelvo exited with status {launched.returncode}: {launched.stderr.decode().strip()}")
    pid = logged(lines, "Zelvo is started")
    cleanup.append(lambda: os.path.exists(f"/proc/{pid}") and os.kill(pid, signal.SIGKILL))
    # Signals that arrive before the loop has taken them over would end the daemon.
    wanted = (1 << (signal.SIGUSR1 - 1)) | (1 << (signal.SIGTERM - 1))
    wait_until(lambda: int(harness.proc_status(pid, "SigCgt"), 16) & wanted == wanted, "zelvo catches signals")

    os.makedirs(output, exist_ok=True)
    for old in pathlib.Path(output).glob("wallpaper-*.png"):
        old.unlink()
    palettes, written = [], None
    for change in range(CHANGES + 1):
        if change:
            print(f"$ kill -USR1 {pid}")
            os.kill(pid, signal.SIGUSR1)
        before = wait_for_change(display, before)
        path = os.path.join(output, f"wallpaper-{change}.png")
        subprocess.run(["convert", "xwd:-", path], input=before, check=True)
        print(f"  screenshot: {path}")
        # Each change rewrites the colour file (two wallpapers may share a palette),
        # and completes it before xrdb starts.
        written = wait_until(lambda: (stamp := modified(colour_file)) != written and stamp, "zelvo writes the colour file")
        palette = wait_until(lambda: (found := palette_of(colour_file)) and len(found) == 16 and found,
                             "the colour file is complete")
        if private:
            wait_until(lambda: loaded_palette(display) == palette, "xrdb loads the colour file")
        palettes.append(palette)
        print(f"  palette{' (loaded by xrdb)' if private else ''}: {' '.join(palette)}")
        # The screenshot and the colour file both belong to this change: the
        # next signal goes out only once both are seen.
        picture = os.path.join(output, f"wallpaper-{change}-colours.png")
        palette_picture(before, palette, picture)
        print(f"  screenshot with its palette: {picture}")

    print(f"$ kill -TERM {pid}")
    os.kill(pid, signal.SIGTERM)
    logged(lines, "Zelvo has quit")
    wait_until(lambda: not os.path.exists(f"/proc/{pid}") or harness.proc_stat(pid)["state"] == "Z",
               f"daemon {pid} ends")
    print(f"daemon {pid} has ended")


def main():
    if len(sys.argv) < 3 or sys.argv[3:] not in ([], ["--xvfb"]):
        sys.exit(__doc__.rsplit("\n\n", 1)[1])
    if os.geteuid() != 0:
        sys.exit("demo: needs root, for the private mount namespace that holds zelvo's syslog socket")
    missing = [name for name in ("Xvfb", "xwd", "feh", "convert") if not shutil.which(name)]
    if missing:
        sys.exit(f"demo: missing programs: {' '.join(missing)} (scripts/setup.sh installs them)")
    binary, output = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    top, cleanup, failed = tempfile.mkdtemp(prefix="zelvo-demo-"), [], False
    try:
        demo(binary, output, sys.argv[3:] == ["--xvfb"], top, cleanup)
    except (DemoError, OSError, subprocess.CalledProcessError) as error:
        print(f"demo failed: {error}", file=sys.stderr)
        failed = True
    finally:
        for step in reversed(cleanup):
            step()
        shutil.rmtree(top, ignore_errors=True)
    if failed:
        sys.exit(1)
    print(f"the screenshots, alone and with their palettes, are in {output}")


if __name__ == "__main__":
    main()
