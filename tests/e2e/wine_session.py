"""Wine for the end-to-end tests: a private X server (Xvfb) and a private prefix whose COM
ports are simulators, the runs of Windows programs in it, and the test case class that shares
one such session among a group's tests.

Runs only inside scripts/isolated.sh, as harness.py says.
"""

import os
import re
import select
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

from harness import (BOX_TITLE, REPO, E2ECase, Simulator, artifacts_dir, end_process, log,
                     required_path, wait_until)
from rights.judge import Judge
from rights.records import report


def run_tool(args, env, timeout=10, check=False):
    result = subprocess.run(args, env=env, stdin=subprocess.DEVNULL, capture_output=True,
                            text=True, timeout=timeout)
    if check and result.returncode != 0:
        raise AssertionError(f"{args[0]} failed ({result.returncode}): {result.stderr.strip()}")
    return result


class XServer:
    """A private Xvfb on a display it picks itself (-displayfd)."""

    def __init__(self):
        self.process = None
        self.display = None

    def start(self):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
             "-nolisten", "tcp", "-noreset"],
            pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        os.close(write_end)
        # Xvfb writes the number, then a line feed; it dies if the pipe closes in between.
        text = b""
        deadline = time.monotonic() + 15
        while not text.endswith(b"\n") and time.monotonic() < deadline:
            ready, _, _ = select.select([read_end], [], [], 0.5)
            chunk = os.read(read_end, 32) if ready else b""
            if ready and not chunk:
                break
            text += chunk
        os.close(read_end)
        number = text.decode().strip() if text.endswith(b"\n") else ""
        if not number:
            self.stop()
            raise AssertionError("Xvfb did not start")
        self.display = f":{number}"
        return self

    def stop(self):
        if self.process:
            end_process(self.process, self.process.terminate)


class WineSession:
    """Xvfb, a private prefix with its server and desktop kept up, simulators as COM ports.

    A small process of its own, the desktop keeper, keeps Wine's desktop process (and so its
    tray window) alive between runs of the program, so that the tray can be looked at after a
    run has ended.
    """

    FIRST_OWN_PORT = 3
    PREFIX_SCRIPT = REPO / "scripts" / "wine_prefix.sh"
    # What every session's prefix is made from: made once by wineboot and never run in, it
    # stands for a computer nothing was ever installed on.
    TEMPLATE = Path(os.environ.get("KESTRELON_WINE_TEMPLATE",
                                   REPO / "build" / "wine-prefix-template"))
    # No runtime add-ons to download; no Linux menu entries or desktop files from the
    # shortcuts a setup program makes (";" separates the entries).
    DLL_OVERRIDES = "mscoree,mshtml=;winemenubuilder.exe=d"

    def __init__(self, artifacts, prefix_name="wine-prefix", fresh=True, judged=False):
        """prefix_name: a prefix among the artifacts that no other session uses at the same
        time. Each start makes it anew from the template (fresh is always so), as an overlay
        that holds only what Wine changes (scripts/wine_prefix.sh); stop takes it away, or
        with keep leaves it whole among the artifacts, for whoever looks into a failure.
        judged: every access of the programs launched with a token is judged as Windows would
        judge it (rights/), from the trace of the session's Wine server, PREFIX_NAME.trace."""
        self.artifacts = Path(artifacts)
        self.judged, self.judge, self.server = judged, None, None
        self.trace_path = self.artifacts / f"{prefix_name}.trace"
        self.exe = required_path("KESTRELON_EXE")
        self.prefix_path = self.artifacts / prefix_name
        self.prefix = None
        self.xserver = XServer()
        self.desktop_keeper = None
        self.env = None
        self.mapped = {}

    # -- start and stop --
    def start(self):
        started = time.monotonic()
        self.prefix = Path(self.prefix_script(self.prefix_path, self.TEMPLATE).splitlines()[-1])
        self.dosdevices = self.prefix / "dosdevices"
        self.xserver.start()
        self.env = dict(os.environ, WINEPREFIX=str(self.prefix), WINEARCH="win32",
                        WINEDEBUG="-all", WINEDLLOVERRIDES=self.DLL_OVERRIDES,
                        DISPLAY=self.xserver.display)
        # A server left from an earlier session would keep its own display.
        run_tool(["wineserver", "-k"], self.env, timeout=30)
        run_tool(["wineserver", "-w"], self.env, timeout=30)
        if self.judged:
            self.start_traced_server()
        self.desktop_keeper = subprocess.Popen(["wine", "cmd", "/c", "echo up& set /p x="],
                                               env=self.env, stdin=subprocess.PIPE,
                                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        ready, _, _ = select.select([self.desktop_keeper.stdout], [], [], 60)
        if not ready or b"up" not in self.desktop_keeper.stdout.readline():
            raise AssertionError("Wine did not start")
        self.check_system_ports()
        log(f"Wine up on {self.xserver.display} in {time.monotonic() - started:.1f} s")
        return self

    def start_traced_server(self):
        """The prefix's server, started first and kept until the session stops, its trace of
        every request written to trace_path; the programs then connect to it."""
        with open(self.trace_path, "wb") as trace:
            self.server = subprocess.Popen(["wineserver", "-f", "-p", "-d1"], env=self.env,
                                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                           stderr=trace)
        wait_until(lambda: b"wineserver: starting" in self.trace_path.read_bytes()[:4096], 30,
                   "the traced Wine server")
        self.judge = Judge(self.trace_path, self.prefix)

    def wine(self, args, token=None, **popen):
        """A Windows program started with its arguments (a subprocess.Popen). TOKEN: whose
        access it stands for, as the judge takes it ("administrator", "system" or "user");
        None for the test's own tools."""
        if self.judge:
            self.judge.boundary()
        process = subprocess.Popen(["wine", *map(str, args)], env=popen.pop("env", self.env),
                                   stdin=subprocess.DEVNULL, **popen)
        if self.judge and token:
            self.judge.launched(process.pid, token)
        return process

    def refused_accesses(self):
        """What the judge found Windows would refuse since it was last asked, one a line."""
        return report(self.judge.verdicts()) if self.judge else []

    def stop(self, keep=False):
        self.unmap_all()
        if self.desktop_keeper:
            end_process(self.desktop_keeper, self.desktop_keeper.stdin.close, 10)
            self.desktop_keeper.stdout.close()
        if self.env:
            run_tool(["wineserver", "-k"], self.env, timeout=30)
            run_tool(["wineserver", "-w"], self.env, timeout=30)
        if self.server:
            end_process(self.server, timeout=30)
            if not keep:
                self.trace_path.unlink(missing_ok=True)
        self.xserver.stop()
        if self.prefix:
            self.prefix_script("--release", self.prefix_path, *(["--keep"] if keep else []))
            self.prefix = None

    @classmethod
    def prefix_script(cls, *args):
        # A copy kept whole after a failure takes seconds more.
        result = subprocess.run([cls.PREFIX_SCRIPT, *map(str, args)], stdin=subprocess.DEVNULL,
                                capture_output=True, text=True, timeout=360)
        if result.returncode != 0:
            raise AssertionError(f"wine_prefix.sh failed: {result.stderr}")
        return result.stdout

    def __enter__(self):
        try:
            return self.start()
        except BaseException:
            self.stop(keep=True)
            raise

    def __exit__(self, exc_type, *exc):
        self.stop(keep=exc_type is not None)

    # -- COM ports --
    def com_link(self, number):
        return self.dosdevices / f"com{number}"

    def check_system_ports(self):
        """COM1 and COM2 are Wine's own (the machine's /dev/ttyS*, /dev/null here); no port
        from COM3 up exists before the tests map theirs."""
        for entry in self.dosdevices.iterdir():
            match = re.fullmatch(r"com(\d+)", entry.name)
            if not match:
                continue
            target = os.readlink(entry) if entry.is_symlink() else ""
            if int(match[1]) < self.FIRST_OWN_PORT:
                if not re.fullmatch(r"/dev/tty(S|USB|ACM)\d+", target):
                    raise AssertionError(f"{entry.name} -> {target!r} is not Wine's own mapping")
            else:
                raise AssertionError(f"{entry.name} -> {target!r} exists before any test mapped "
                                     f"it: COM{self.FIRST_OWN_PORT} upward must be free")

    def map_port(self, number, simulator):
        if number < self.FIRST_OWN_PORT:
            raise ValueError("COM1 and COM2 belong to Wine's own mapping")
        link = self.com_link(number)
        if link.is_symlink() or link.exists():
            link.unlink()
        link.symlink_to(simulator.slave)
        self.mapped[number] = link

    def unmap_all(self):
        for link in self.mapped.values():
            if link.is_symlink():
                link.unlink()
        self.mapped.clear()

    # -- the X display --
    def visible_windows(self, name_pattern):
        result = run_tool(["xdotool", "search", "--onlyvisible", "--name", name_pattern],
                          self.env)
        return [int(w) for w in result.stdout.split()]

    def window_geometry(self, window):
        result = run_tool(["xdotool", "getwindowgeometry", "--shell", str(window)], self.env,
                          check=True)
        values = dict(line.split("=", 1) for line in result.stdout.split())
        return tuple(int(values[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))

    def tray_windows(self):
        return self.visible_windows("^Wine System Tray$")

    def screenshot(self, name, crop=None, on_top=()):
        """The screen as a PNG among the artifacts. ON_TOP: X windows laid over it, each taken on
        its own: a box Wine shows over another of its windows stays black in the screen's own
        picture under Xvfb, though it is drawn."""
        path = self.artifacts / f"{name}.png"
        xwd = subprocess.run(["xwd", "-root", "-silent"], env=self.env, capture_output=True,
                             timeout=20, check=True)
        convert = shutil.which("convert", path="/usr/bin") or "convert"
        args = [convert, "xwd:-"]
        with tempfile.TemporaryDirectory() as layers:
            for window in on_top:
                layer = Path(layers) / f"{window}.xwd"
                layer.write_bytes(subprocess.run(["xwd", "-id", str(window), "-silent"],
                                                 env=self.env, capture_output=True, timeout=20,
                                                 check=True).stdout)
                x, y, _, _ = self.window_geometry(window)
                args += [f"xwd:{layer}", "-geometry", f"+{x}+{y}", "-composite"]
            if crop:
                x, y, w, h = crop
                args += ["-crop", f"{w}x{h}+{x}+{y}", "+repage"]
            subprocess.run(args + [str(path)], input=xwd.stdout, capture_output=True,
                           timeout=20, check=True)
        return path

    def click(self, x, y, button):
        run_tool(["xdotool", "mousemove", str(x), str(y), "click", str(button)], self.env,
                 check=True)

    def press(self, window, key):
        run_tool(["xdotool", "windowfocus", "--sync", str(window)], self.env, check=True)
        run_tool(["xdotool", "key", key], self.env, check=True)

    def launch(self, workdir, name, exe=None, token="user"):
        return WineRun(self, workdir, name, exe or self.exe, token)

    # -- the prefix's files, registry and services --
    def unix_path(self, windows_path):
        """The file on the prefix's drive C: at a path such as C:\\Kestrelon\\Kestrelon.ini."""
        drive, separator, rest = windows_path.partition(":\\")
        if drive.upper() != "C" or not separator:
            raise ValueError(f"{windows_path}: not a path on drive C:")
        return self.prefix.joinpath("drive_c", *[part for part in rest.split("\\") if part])

    def run_to_end(self, name, args, timeout, token=None, env=None):
        """Runs a Windows program with its arguments to its end (TOKEN as wine() takes it, ENV
        added to the session's); returns its exit code. What Wine writes goes to NAME.wine.log
        among the artifacts."""
        with open(self.artifacts / f"{name}.wine.log", "wb") as output:
            process = self.wine(args, token, stdout=output, stderr=subprocess.STDOUT,
                                env={**self.env, **(env or {})})
            try:
                return process.wait(timeout)
            finally:
                end_process(process)

    def registry_values(self, key):
        """The values of a registry key, {name: (type, data)} as `reg query` lists them, or
        None when there is no such key."""
        result = run_tool(["wine", "reg", "query", key], self.env, timeout=60)
        if result.returncode != 0:
            return None
        values = {}
        for line in result.stdout.splitlines():
            match = re.fullmatch(r" {4}(.+?) {4}(REG_\w+) {4}(.*)", line)
            if match:
                values[match[1]] = (match[2], match[3])
        return values

    def set_windows_version(self, program_name, version):
        """The Windows version Wine tells the program of that file name, e.g. "winxp"."""
        run_tool(["wine", "reg", "add", f"HKCU\\Software\\Wine\\AppDefaults\\{program_name}",
                  "/v", "Version", "/d", version, "/f"], self.env, timeout=60, check=True)

    def start_task_scheduler(self):
        """Wine's Task Scheduler service, which schtasks.exe needs. Its first start may answer
        that the service database is locked: then once more."""
        for _ in range(2):
            result = run_tool(["wine", "net", "start", "schedule"], self.env, timeout=60)
            answer = result.stdout + result.stderr
            if result.returncode == 0 or "already running" in answer:
                return
            if "locked" not in answer:
                break
        raise AssertionError(f"the Task Scheduler service did not start: {answer.strip()}")


class WineRun:
    """One launch of Kestrelon.exe (or another program) in a working directory (where
    Kestrelon.ini lives)."""

    # The main window's client area; a message box titled "Kestrelon" is smaller.
    MAIN_WINDOW_SIZE = (640, 480)

    def __init__(self, session, workdir, name, exe, token):
        self.session = session
        self.name = name
        self.workdir = Path(workdir)
        self.main_window_seen = False
        self.output = open(session.artifacts / f"{name}.wine.log", "wb")
        self.started = time.monotonic()
        # Wine takes the current folder from PWD when it names the same folder: a link stays
        # a link, as when a shortcut starts the program there.
        self.process = session.wine([exe], token, cwd=self.workdir,
                                    env=dict(session.env, PWD=str(self.workdir)),
                                    stdout=self.output, stderr=subprocess.STDOUT)

    def poll(self):
        # The program's own window must never show: looked at on every poll.
        for window in self.session.visible_windows("^Kestrelon$"):
            _, _, width, height = self.session.window_geometry(window)
            if width >= self.MAIN_WINDOW_SIZE[0] and height >= self.MAIN_WINDOW_SIZE[1]:
                self.main_window_seen = True
        return self.process.poll()

    def wait_for_box(self, timeout, title=BOX_TITLE):
        """The visible box with that title; fails if the program ends without one."""

        def box():
            ended = self.poll()
            windows = self.session.visible_windows(title)
            if windows:
                return windows[0]
            if ended is not None:
                raise AssertionError(f"{self.name}: ended with {ended} without a box {title}")
            return None

        return wait_until(box, timeout, f"{self.name}: the box {title}", interval=0.1)

    def answer(self, window, key, attempts=3, title=BOX_TITLE):
        """Sends a key to the box and waits until the box has gone.

        A click on Wine's tray window can leave keyboard input with that window for a while:
        the key is sent again (focus first) when the box is still there after 3 s.
        """
        for attempt in range(1, attempts + 1):
            self.session.press(window, key)
            try:
                wait_until(lambda: window not in self.session.visible_windows(title), 3,
                           f"{self.name}: the box to close after {key}", interval=0.02)
                if attempt > 1:
                    log(f"{self.name}: the box took {key} at attempt {attempt}")
                return
            except AssertionError:
                if attempt == attempts:
                    raise

    def wait(self, timeout):
        try:
            wait_until(lambda: self.poll() is not None, timeout, f"{self.name}: the end",
                       interval=0.1)
        except AssertionError:
            self.kill()
            raise
        finally:
            self.output.close()
        return self.process.returncode

    def kill(self):
        end_process(self.process, timeout=10)
        if not self.output.closed:
            self.output.close()

    def elapsed(self):
        return time.monotonic() - self.started


class WineCase(E2ECase):
    """Kestrelon.exe under Wine: one Wine session (Xvfb, prefix, desktop) for all tests of a
    class, the simulators mapped as its COM ports."""

    # Among the artifacts; None: the group's own, so that groups run side by side, each with
    # its own Wine server and its own COM links. Made anew for the group from the template;
    # left there whole when one of its tests failed, else taken away.
    PREFIX_NAME = None
    FRESH_PREFIX = True  # every group's prefix is made anew
    JUDGED = False  # every access judged as Windows would judge it, after each test

    @classmethod
    def setUpClass(cls):
        cls.artifacts = artifacts_dir()
        cls.keep_prefix = False
        name = cls.PREFIX_NAME or f"wine-prefix-{cls.__module__}-{cls.__name__}"
        cls.session = WineSession(cls.artifacts, name, cls.FRESH_PREFIX, cls.JUDGED).__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.session.stop(keep=cls.keep_prefix)

    def run(self, result=None):
        def problems(outcome):
            return len(outcome.failures) + len(outcome.errors) if outcome else 0

        before = problems(result)
        result = super().run(result)
        if problems(result) > before:
            type(self).keep_prefix = True
        return result

    def tearDown(self):
        super().tearDown()
        refused = self.session.refused_accesses()
        if refused:
            raise AssertionError(f"{self.id()}: {len(refused)} access(es) Windows would refuse "
                                 "(rights/judge.py):\n" + "\n".join(refused))

    def end_run(self, run):
        run.kill()

    def unmap_ports(self):
        self.session.unmap_all()

    def simulator(self, com, name=None, **options):
        simulator = Simulator(self.workspace.root, name or f"com{com}", **options).start()
        self.simulators.append(simulator)
        self.session.map_port(com, simulator)
        return simulator

    def launch(self, name, workdir=None, exe=None):
        run = self.session.launch(workdir or self.workspace.work, name, exe)
        self.runs.append(run)
        return run
