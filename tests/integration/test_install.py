#!/usr/bin/env python3
"""What `cmake --install` puts under a DESTDIR: the file tree, an installed binary that
behaves like the built one, and examples, unit and manual page that real tools accept."""
import functools, os, pathlib, random, re, select, shutil, subprocess, tempfile, unittest

import harness
from harness import TOOLS, ZelvoCase, block_colours, make_block_image, make_image, records

FEH_MISSING = "feh was not in your path. the feh path can also be defined in the config"
EXAMPLES, UNIT, MANUAL = "usr/share/doc/zelvo/examples", "usr/lib/systemd/user/zelvo@.service", "usr/share/man/man1/zelvo.1"
COMPLETIONS = "usr/share/bash-completion/completions"
# Every installed file, with its source in the tree when it is installed unchanged.
TREE = {"usr/bin/zelvo": None, "usr/bin/zelvoctl": None, UNIT: None, MANUAL: "docs/zelvo.1",
        "usr/share/man/man1/zelvoctl.1": "docs/zelvoctl.1",
        **{f"{COMPLETIONS}/{name}": f"contrib/bash-completion/{name}" for name in ("zelvo", "zelvoctl")},
        **{f"{EXAMPLES}/{name}": f"contrib/{name}" for name in ("zelvo.conf", "Xresources", "xinitrc")}}
SOURCE = pathlib.Path(__file__).resolve().parents[2]


def build_directory():
    """ZELVO_BUILD_DIR, else the directory above ZELVO_BINARY that holds CMakeCache.txt."""
    start = pathlib.Path(os.environ.get("ZELVO_BUILD_DIR") or harness.BINARY).resolve()
    found = next((path for path in (start, *start.parents) if (path / "CMakeCache.txt").exists()), None)
    if found is None:
        raise AssertionError(f"no build directory above {start}")
    return found


class InstallTest(ZelvoCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.build, cls.built = build_directory(), harness.BINARY
        cls.destdir = tempfile.mkdtemp(prefix="zelvo-install-")
        cls.addClassCleanup(shutil.rmtree, cls.destdir)
        os.chmod(cls.destdir, 0o755)
        subprocess.run(["cmake", "--install", str(cls.build), "--prefix", "/usr"], check=True,
                       env={**os.environ, "DESTDIR": cls.destdir}, stdout=subprocess.DEVNULL)
        cls.installed = cls.under("usr/bin/zelvo")
        cls.version = re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(.+)$", (cls.build / "CMakeCache.txt").read_text(), re.M)[1]

    @classmethod
    def under(cls, relative):
        return os.path.join(cls.destdir, relative)

    def use(self, binary):  # the harness starts it until the test ends
        harness.BINARY = str(binary)
        self.addCleanup(setattr, harness, "BINARY", self.built)

    def test_tree_holds_the_program_its_manual_examples_and_unit(self):
        found = {str(path.relative_to(self.destdir)) for path in pathlib.Path(self.destdir).rglob("*") if not path.is_dir()}
        self.assertEqual(found, set(TREE))  # nothing of the tests, benchmarks or recorder
        self.assertTrue(os.access(self.installed, os.X_OK))
        for installed, source in filter(lambda item: item[1], TREE.items()):
            self.assertEqual(pathlib.Path(self.under(installed)).read_bytes(), (SOURCE / source).read_bytes(), installed)
        self.assertEqual(re.findall(r"^ExecStart=(.*)$", pathlib.Path(self.under(UNIT)).read_text(), re.M),
                         ["/usr/bin/zelvo"])

    def test_installed_binary_answers_options_like_the_built_one(self):
        usage = b"Usage: zelvo [-c config] [-t time] [-s source] [-m monitors] [-v]\r\n"
        for args in (["-v"], ["-x"], ["-m"]):
            with self.subTest(args=args):
                answers = []
                for binary in (self.built, self.installed):  # each names itself by its path
                    self.use(binary)
                    result = self.run_zelvo(*args)
                    answers.append((result.status, *(text.replace(binary.encode(), b"zelvo") for text in result[1:3])))
                self.assertEqual(answers[1], answers[0])
                if args == ["-v"]:
                    self.assertEqual(answers[1], (0, f"zelvo: version: {self.version}\r\n".encode(), b""))
                else:
                    self.assertEqual(answers[1][:2], (1, b""))
                    self.assertTrue(answers[1][2].endswith(usage), answers[1])

    def test_example_configuration_runs_the_daemon_from_the_images_directory(self):
        example = self.under(f"{EXAMPLES}/zelvo.conf")
        os.makedirs(os.path.dirname(image := os.path.join(self.home, ".zelvo", "images", "one.png")))
        make_image(image)
        self.use(self.installed)
        pid = self.start_daemon("-c", example)  # a file that does not load ends it with status 1
        viewer = self.wait_records(os.path.join(self.bin, "feh"), 1)[0]
        self.assertEqual(viewer["argv"], ["zelvo-feh", "--bg-scale", "--no-fehbg", os.path.realpath(image)])
        # The status follows once the change is complete, a moment after feh has started.
        current = lambda: subprocess.run([self.under("usr/bin/zelvoctl"), "current"], capture_output=True,
                                         env={"HOME": self.home, "XDG_RUNTIME_DIR": self.runtime})
        found = self.poll(lambda: (answer := current()).returncode == 0 and answer, "publishes what it shows")
        self.assertEqual(found.stdout, os.path.realpath(image).encode() + b"\n")
        self.assertEqual(self.stop_daemon(pid), 0)
        self.assert_notices(self.messages(1), pid, "Zelvo has quit")
        self.assertEqual(os.listdir(os.path.join(self.home, ".zelvo")), ["images"])  # it wrote no default file

    def test_without_feh_the_daemon_says_so_and_its_colours_reach_the_xresources_example(self):
        # No feh on the search path, and the fallback /usr/bin/feh hidden in the daemon's namespace.
        bare, hidden, wrapper = (pathlib.Path(self.path(name)) for name in ("bare", "no-feh", "hide-feh"))
        bare.mkdir()
        (bare / "sh").symlink_to(shutil.which("sh"))
        hidden.write_text("")
        wrapper.write_text(f'#!/bin/sh\n[ ! -e /usr/bin/feh ] || {TOOLS["mount"]} --bind {hidden} /usr/bin/feh || exit 125\n'
                           f'exec {self.installed} "$@"\n')
        wrapper.chmod(0o755)
        make_block_image(self.path("blocks.png"), block_colours(0x48, 0xb8))  # sixteen colours
        self.write_config({"default": [self.path("blocks.png")], "colors": True, "dark": True})
        self.use(wrapper)
        pid = self.start_daemon(env={"HOME": self.home, "PATH": str(bare)})
        child = self.messages(1)[0]
        self.assertEqual((child.priority, child.identity, child.text), (29, "zelvo", FEH_MISSING))  # daemon.notice
        self.assertNotEqual(child.pid, pid)
        colours = pathlib.Path(self.home, ".zelvo", "colors")
        self.poll(lambda: colours.exists() and len(colours.read_text().splitlines()) == 16, "wrote the colour file")
        self.assertEqual(self.stop_daemon(pid), 0)
        self.assert_notices(self.messages(1), pid, "Zelvo has quit")
        self.assertEqual(records(os.path.join(self.bin, "feh")), [])

        # The installed snippet as ~/.Xresources finds the colour file beside it, through the real xrdb.
        defined = dict(re.findall(r"^#define (c\d+) (#[0-9A-Fa-f]{6})$", colours.read_text(), re.M))
        self.assertEqual(sorted(defined), sorted(f"c{index}" for index in range(16)))
        resources = shutil.copy(self.under(f"{EXAMPLES}/Xresources"), os.path.join(self.home, ".Xresources"))
        query = subprocess.run(["xrdb", "-n", "-display", self.start_xvfb(), resources], cwd="/",
                               capture_output=True, text=True, check=True)
        self.assertEqual(query.stderr, "")
        self.assertEqual(dict(re.findall(r"^\*(\w+):\s*(\S+)$", query.stdout, re.M)),
                         {**{f"color{index}": defined[f"c{index}"] for index in range(16)},
                          "foreground": defined["c15"], "background": defined["c0"], "cursorColor": defined["c15"]})

    def start_xvfb(self):
        """A private X server on a free display; gives its name."""
        for number in random.sample(range(100, 1000), 10):
            read, write = os.pipe()
            server = subprocess.Popen([shutil.which("Xvfb"), f":{number}", "-displayfd", str(write), "-noreset"],
                                      pass_fds=[write], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL)
            os.close(write)
            for step in (server.kill, functools.partial(server.wait, 5), server.terminate):  # run in reverse
                self.addCleanup(step)
            with os.fdopen(read, "rb") as pipe:
                if select.select([pipe], [], [], 10)[0] and pipe.read() == b"%d\n" % number:
                    return f":{number}"
        raise AssertionError("Xvfb did not start")

    def test_unit_xinitrc_and_manual_pass_their_checkers(self):
        # The unit as installed, but starting the DESTDIR's binary, which verify wants to exist;
        # its Documentation=man:zelvo(1) must be found among the installed manual pages.
        unit = pathlib.Path(self.path("zelvo@.service"))  # verified as the instance zelvo@i
        unit.write_text(pathlib.Path(self.under(UNIT)).read_text().replace("=/usr/bin/zelvo", f"={self.installed}"))
        checks = [(["systemd-analyze", "--user", "verify", str(unit)],
                   {"XDG_RUNTIME_DIR": self.runtime, "MANPATH": self.under("usr/share/man")}),
                  (["sh", "-n", self.under(f"{EXAMPLES}/xinitrc")], {}),
                  *((["groff", "-man", "-ww", "-z", self.under(page)], {})
                    for page in (MANUAL, MANUAL.replace("zelvo.1", "zelvoctl.1")))]
        for command, env in checks:
            with self.subTest(command[0]):
                done = subprocess.run(command, capture_output=True, text=True, cwd=self.top,
                                      env={"PATH": os.environ["PATH"], "HOME": self.home, **env})
                self.assertEqual((done.returncode, done.stdout, done.stderr), (0, "", ""))
        # zelvo detaches by itself, so it comes before the window manager's exec.
        lines = pathlib.Path(self.under(f"{EXAMPLES}/xinitrc")).read_text().splitlines()
        self.assertLess(lines.index("zelvo"), next(at for at, line in enumerate(lines) if line.startswith("exec ")))

    def test_bash_completion_finds_both_programs_and_the_running_displays(self):
        os.makedirs(os.path.join(self.runtime, "zelvo"), mode=0o700)
        for name, content in ((":0.pid", "4242\n"), (":7.pid", "")):  # an empty one is no daemon's
            pathlib.Path(self.runtime, "zelvo", name).write_text(content)
        self.write_config({"default": ["/a"], "minutes": 5, "travel": ["/b"]})
        pathlib.Path(self.home, ".zelvo", "banned").write_text('default = [ "/p/one.png", "/p/two.png" ];\n')
        cases = {"zelvoctl ": "ban current favourite next pause previous quit reload rescan reshuffle resume set status "
                              "toggle-pause unban", "zelvoctl -": "--help --version -d -h", "zelvoctl --": "--help --version",
                 "zelvoctl -d ": ":0", "zelvoctl -d :0 re": "reload rescan reshuffle resume", "zelvoctl next ": "",
                 "zelvoctl status ": "--json", "zelvoctl current --json ": "", "zelvoctl unban ": "/p/one.png /p/two.png",
                 "zelvoctl -d :0 unban /p/t": "/p/two.png", "zelvoctl unban /p/one.png ": "",
                 "zelvo -": "-c -m -s -t -v", "zelvo -s ": "default travel", "zelvo -t 5 x ": ""}
        # Each line as bash-completion completes it, loading the completion from the installed tree.
        script = r"""
            . /usr/share/bash-completion/bash_completion
            for line; do
                read -ra COMP_WORDS <<<"$line"; [[ $line == *" " ]] && COMP_WORDS+=("")
                COMP_LINE=$line COMP_POINT=${#line} COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) COMPREPLY=()
                __load_completion "${COMP_WORDS[0]}" || exit 3
                completion=$(complete -p "${COMP_WORDS[0]}") && function=${completion#*-F } && function=${function%% *}
                "$function" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
                printf '%s\n' "$(printf '%s\n' "${COMPREPLY[@]}" | sort | xargs)"
            done"""
        done = subprocess.run(["bash", "-c", script, "bash", *cases], capture_output=True, text=True,
                              env={"PATH": os.environ["PATH"], "HOME": self.home, "XDG_RUNTIME_DIR": self.runtime,
                                   "XDG_DATA_DIRS": self.under("usr/share")})
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        self.assertEqual(dict(zip(cases, done.stdout.splitlines())), cases)


if __name__ == "__main__":
    unittest.main()
