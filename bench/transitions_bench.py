#!/usr/bin/env python3
"""Measures the transitions of viewer = "zelvo" through the real daemon, a 1 s fade at 30 fps on one monitor of
1920x1080 and of 3840x2160, on a private Xvfb and on a private headless sway:
- delivery: the frames on screen against the frames asked for, as the daemon counts them (zelvoctl status
  --json), over five fades;
- cost: the daemon's own processor time for one fade, and its children's (the blend worker on Wayland; the
  X server composes on X, its time is not the daemon's), against the fade's length;
- memory: the daemon's VmRSS half-way through a fade and after it;
- a storm: 30 zelvoctl next in one second during fades; the time from the last one's answer to its change's
  hook (which starts once the last frame is on screen), against one transition's length.
Each change is timed to its hook's start (the recording stand-in's stamp on the monotonic clock).

Usage: transitions_bench.py ZELVO_BINARY ZELVO_RECORDER (as root: sway runs as an unprivileged user, the
daemons in private mount namespaces; zelvoctl is taken from beside the daemon). Prints "row" and "note" lines
for bench/run.sh."""
import json, os, pathlib, shutil, statistics, subprocess, sys, time

sys.dont_write_bytecode = True
here = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(here))
sys.path.insert(0, str(here.parent / "tests" / "integration"))
from cycle_bench import BenchError  # noqa: E402
from harness import TOOLS, records  # noqa: E402
from monitors_bench import Case, row  # noqa: E402
from wayland import USER, Sway  # noqa: E402
from wayland_bench import Daemon  # noqa: E402
from xserver import XServer  # noqa: E402
from zelvo_viewer_bench import bench_main, wait_for  # noqa: E402

FADE_SECONDS = 1.0
FADES = 5
TICKS = os.sysconf("SC_CLK_TCK")


def cpu(pid):
    """The processor seconds of the process itself, and of its children it has reaped."""
    fields = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS, (int(fields[13]) + int(fields[14])) / TICKS


class Steering:
    """zelvoctl, as the daemon's user, on its display."""

    def __init__(self, zelvoctl, display, env, uid):
        self.command = [zelvoctl, "-d", display] if uid is None else [
            TOOLS["setpriv"], f"--reuid={uid}", f"--regid={uid}", "--clear-groups", "--", zelvoctl, "-d", display]
        self.env = env

    def __call__(self, *words):
        done = subprocess.run([*self.command, *words], env=self.env, capture_output=True, timeout=30)
        if done.returncode != 0:
            raise BenchError(f"zelvoctl {' '.join(words)} failed: {done.stderr!r}")
        return done.stdout.decode()

    def frames(self):
        counted = json.loads(self("status", "--json")).get("frames", [])
        return sum(one["delivered"] for one in counted), sum(one["asked"] for one in counted)


def hooked(hook, images, after):
    """The stamp (s) of the first hook's start after `after` (ns) with these images."""
    for start in records(hook):
        if start["monotonic"] > after and start["argv"][1:] == images:
            return start["monotonic"]
    return None


def measure(daemon, steer, hook):
    """Five fades at rest, then a storm: (delivered, asked, own cpu, children's cpu, rss mid, rss after, storm)."""
    # The first change, which comes once the display's monitors are counted, is over first.
    wait_for(lambda: records(hook), "showed its first picture")
    time.sleep(0.2)
    delivered, asked = steer.frames()
    own_cpu = child_cpu = 0.0
    middle = after = 0
    for _ in range(FADES):
        own, children = cpu(daemon.pid)
        began = time.monotonic_ns()
        steer("next")
        images = steer("current").split()
        time.sleep(FADE_SECONDS / 2)
        middle = max(middle, daemon.status("VmRSS"))
        wait_for(lambda: hooked(hook, images, began), "ended a fade")
        # The change is over; the blend worker, when there is one, is reaped a moment later.
        time.sleep(0.2)
        own_after, children_after = cpu(daemon.pid)
        own_cpu, child_cpu = own_cpu + own_after - own, child_cpu + children_after - children
        after = daemon.status("VmRSS")
    now_delivered, now_asked = steer.frames()
    for _ in range(30):
        began = time.monotonic()
        steer("next")
        time.sleep(max(0.0, 1 / 30 - (time.monotonic() - began)))
    answered = time.monotonic_ns()
    images = steer("current").split()
    wait_for(lambda: hooked(hook, images, answered), "ended the storm's last change")
    # A change of the storm that showed the same image may have ended after the answer too: the last one counts.
    time.sleep(FADE_SECONDS + 0.5)
    stamp = max(start["monotonic"] for start in records(hook)
                if start["monotonic"] > answered and start["argv"][1:] == images)
    os.unlink(hook + ".log")
    return (now_delivered - delivered, now_asked - asked, own_cpu / FADES, child_cpu / FADES, middle, after,
            (stamp - answered) / 1e9)


def images_of(work, size):
    folder = os.path.join(work, f"images-{size}")
    os.mkdir(folder, 0o755)
    for name in ("blue", "lime", "red", "yellow"):
        subprocess.run(["convert", "-size", size, f"xc:{name}", "-quality", "90", os.path.join(folder, f"{name}.jpg")],
                       check=True)
    return folder


def run(binary, recorder, work, case, daemons):
    zelvoctl = os.path.join(os.path.dirname(binary), "zelvoctl")
    hook = os.path.join(work, "hook")
    shutil.copy(recorder, hook)
    os.chmod(hook, 0o755)
    os.chmod(work, 0o777)  # where the hook logs, for the daemon as the compositor's user too
    settings = {"viewer": "zelvo", "transition": "fade", "transition-time": int(FADE_SECONDS * 1000),
                "transition-fps": 30, "hook": [hook], "minutes": 30, "order": "name", "source_to_use": "default"}
    figures = {}
    for size in os.environ.get("ZELVO_SIZES", "1920x1080 3840x2160").split():
        images = images_of(work, size)
        server = XServer(case, size=size)
        display = server.start()
        home, runtime = os.path.join(work, f"x-{size}"), os.path.join(work, f"x-{size}-run")
        os.makedirs(runtime, mode=0o700)
        env = {"HOME": home, "PATH": os.environ.get("PATH", "/usr/bin:/bin"), "XDG_RUNTIME_DIR": runtime}
        daemon = Daemon(binary, os.path.join(work, f"x-{size}-daemon"), home,
                        {**settings, "DISPLAY": display, "default": [images]}, env, False)
        daemons.append(daemon)
        figures[("X", size)] = measure(daemon, Steering(zelvoctl, display, env, None), hook)
        daemon.stop()
        server.kill()
        if os.environ.get("ZELVO_X_ONLY") == "1":
            continue

        width, height = size.split("x")
        sway = Sway(os.path.join(work, f"sway-{size}"), (("HEADLESS-1", size, (0, 0)),))
        case.addCleanup(sway.stop)
        sway.start()
        env = {**sway.environment(), "PATH": os.environ.get("PATH", "/usr/bin:/bin")}
        daemon = Daemon(binary, os.path.join(work, f"wayland-{size}-daemon"), sway.home,
                        {**settings, "default": [images]}, env, True)
        daemons.append(daemon)
        figures[("Wayland", size)] = measure(daemon, Steering(zelvoctl, sway.display, env, USER), hook)
        daemon.stop()
        sway.stop()

    for (where, size), (delivered, asked, own, children, middle, after, storm) in figures.items():
        name = f"{where} {size}"
        row(f"transitions on {name}: frames delivered against asked, {FADES} fades of 1 s at 30 fps",
            f"{delivered}/{asked}", "frames", "-", f"{delivered / max(asked, 1):.3f}")
        row(f"transitions on {name}: the daemon's own processor time for one fade (ref: the fade's length)",
            f"{own * 1000:.0f}", "ms", f"{FADE_SECONDS * 1000:.0f}", f"{own / FADE_SECONDS:.3f}")
        row(f"transitions on {name}: its children's processor time for one fade (the blend worker on Wayland)",
            f"{children * 1000:.0f}", "ms")
        row(f"transitions on {name}: the daemon's VmRSS half-way through a fade (ref: after it)", str(middle), "KiB",
            str(after), f"{middle / after:.2f}")
        row(f"transitions on {name}: 30 next in 1 s, the last one's answer to its last frame (ref: one fade)",
            f"{storm * 1000:.0f}", "ms", f"{FADE_SECONDS * 1000:.0f}", f"{storm / FADE_SECONDS:.2f}")
    storms = [figure[6] / FADE_SECONDS for figure in figures.values()]
    print(f"note\ttransitions: a storm's last change ends within {max(storms):.2f} transitions of its answer (target "
          f"at most 1.2: {'met' if max(storms) <= 1.2 else 'MISSED'}); the processor times are read from "
          f"/proc (clock ticks of 1/{TICKS} s).")


def main():
    bench_main("transitions_bench.py", __doc__, 2, run)


if __name__ == "__main__":
    main()
