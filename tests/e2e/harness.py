"""End-to-end harness: the real programs against the device simulator.

Kestrelon.exe runs under Wine on a private X server (Xvfb) with a private prefix (wine_session.py);
simulators sit on pseudo-terminals mapped as COM3 upward. The native program runs on a
pseudo-terminal of its own, so that its yes/no question can be answered. Every wait here is
bounded.

Runs only inside scripts/isolated.sh (KESTRELON_ISOLATED=1), where the machine's own serial
devices are /dev/null: nothing started from here can reach real hardware.

Paths come from the environment (CTest sets them):
  KESTRELON_SIM        build/native/simulator/kestrelon-sim
  KESTRELON_EXE        build/windows-release/Kestrelon.exe   (Wine tests: the shipped program)
  KESTRELON_SCAN_EXE   build/windows-release/KestrelonScan.exe   (Wine tests of the scan)
  KESTRELON_SETUP_EXE  build/windows-release/dist/Kestrelon-<version>-setup.exe   (and
  KESTRELON_RELEASE_ZIP the release zip beside it: Wine tests of the setup program)
  KESTRELON_NATIVE     build/<preset>/kestrelon               (native tests)
  KESTRELON_NATIVE_SCAN build/<preset>/kestrelon-scan         (native tests of the scan)
  KESTRELON_E2E_DIR    build/<preset>/e2e-artifacts: screenshots, logs, the Wine prefixes
"""

import itertools
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
SETTINGS_NAME = "Kestrelon.ini"
DEFAULT_SETTINGS = b";com=COM1\r\n;port=115200\r\n"
BOX_TITLE = "^Eroare$"
RELEASE = bytes([0x18, 0x17, 0x04])
PROBE = bytes([0x09])


def require_isolation():
    if os.environ.get("KESTRELON_ISOLATED") != "1":
        sys.exit("refusing to run: start this through scripts/isolated.sh "
                 "(the machine's serial devices must be out of reach)")


def log(message):
    print(f"[e2e {time.strftime('%H:%M:%S')}] {message}", file=sys.stderr, flush=True)


def required_path(variable):
    value = os.environ.get(variable)
    if not value:
        raise RuntimeError(f"{variable} is not set")
    path = Path(value)
    if not path.exists():
        raise RuntimeError(f"{variable}={path} does not exist: build it first")
    return path


def artifacts_dir():
    path = Path(os.environ.get("KESTRELON_E2E_DIR", REPO / "build" / "e2e-artifacts"))
    path.mkdir(parents=True, exist_ok=True)
    return path


def wait_until(predicate, timeout, what, interval=0.05):
    """Polls predicate until it returns something true; fails after timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise AssertionError(f"timed out after {timeout:.1f} s waiting for {what}")
        time.sleep(interval)


def frame(sequence, command):
    """The command frame the program sends for a one-byte command text."""
    head = bytes([0x23, sequence, command])
    x = 0
    for b in head:
        x ^= b
    return bytes([0x02]) + head + bytes([0x30 + (x >> 4), 0x30 + (x & 0x0F), 0x0A])


def frame_command(window):
    """The command of WINDOW when it is a whole one-byte command frame as frame() makes it
    (any sequence, the checksum right), else None."""
    if len(window) != 7 or bytes(window) != frame(window[2], window[3]):
        return None
    return window[3]


def identification_frame(sequence):
    return frame(sequence, 0x60)


def report_frame(sequence):
    return frame(sequence, 0x22)


# What a "VF" device receives in a configured run of a fresh process, byte for byte: the
# identification frame, the report frame, the release sequence.
CONFIGURED_AND_PRINTED = bytes.fromhex("02 23 21 60 36 32 0A 02 23 22 22 32 33 0A") + RELEASE

# What the only device receives when the scan finds it on its own and the run prints: the scan
# meets it at both speeds (frames 0x21 and 0x22); the run then uses it at 115200 and goes on
# with the next sequence numbers.
FOUND_AND_PRINTED = [
    (115200, PROBE + identification_frame(0x21) + RELEASE),
    (9600, PROBE + identification_frame(0x22) + RELEASE),
    (115200, identification_frame(0x23) + report_frame(0x24) + RELEASE),
]


def end_process(process, ask=None, timeout=5):
    """Ends a child process (a subprocess.Popen) if it still runs: ASK (its terminate, or the
    close of its input) gives it TIMEOUT seconds to end by itself; then, or without ASK, it is
    killed. Bounded, whatever the process does."""
    if process.poll() is None and ask is not None:
        try:
            ask()
            process.wait(timeout)
        except (OSError, subprocess.TimeoutExpired):  # a closed pipe: it is ending anyway
            pass
    if process.poll() is None:
        process.kill()
        process.wait(timeout)


def processes_holding(path, except_pids=()):
    """Ids of the processes (other than those given) that have the file at PATH open; none
    when there is no such file. The file itself is compared, not its name: a run beside this
    one has pseudo-terminals of the same names."""
    try:
        wanted = os.stat(path)
    except FileNotFoundError:
        return []
    pids = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        if int(pid) in except_pids:
            continue
        try:
            for fd in os.listdir(f"/proc/{pid}/fd"):
                held = os.stat(f"/proc/{pid}/fd/{fd}")
                if (held.st_dev, held.st_ino) == (wanted.st_dev, wanted.st_ino):
                    pids.append(int(pid))
                    break
        except OSError:  # gone, or not ours to look at
            continue
    return pids


@contextmanager
def write_protected(path):
    """The file unwritable even for root (Wine runs as root here) while the block runs."""
    subprocess.run(["chattr", "+i", str(path)], check=True, timeout=10)
    try:
        yield
    finally:
        subprocess.run(["chattr", "-i", str(path)], check=True, timeout=10)


# ---------------------------------------------------------------------------------------------
# The device simulator

@dataclass
class Event:
    time_ms: float
    kind: str
    detail: str

    @property
    def data(self):
        """The bytes of an RX or TX line."""
        return bytes.fromhex(self.detail.split("+")[0].replace(" ", ""))


LOG_LINE = re.compile(r"^T=(\d+(?:\.\d+)?) (\S+) ?(.*)$")
SYNC_LIMIT = 30  # a bound: the simulator catches up within milliseconds, even on a busy machine


class Simulator:
    """One kestrelon-sim on a pseudo-terminal of its own, whose link is what a COM port points
    at; or, given tty and speed, on an existing line (one end of a NullModemCable)."""

    def __init__(self, workdir, name, device_id="VF12345678", speeds=None, status=None,
                 silent=False, fault=None, link=None, tty=None, speed=None,
                 exit_after_report=False):
        self.name = name
        self.workdir = Path(workdir)
        self.link = Path(link) if link else self.workdir / f"{name}.link"
        self.log_path = self.workdir / f"{name}.log"
        self.ready_path = self.workdir / f"{name}.ready"
        line = ["--tty", str(tty), "--speed", str(speed)] if tty else ["--link", str(self.link)]
        self.args = [str(required_path("KESTRELON_SIM"))] + line + [
            "--log", str(self.log_path), "--ready-file", str(self.ready_path),
            "--id", device_id, "--lifetime-s", "600"]
        if exit_after_report:
            self.args.append("--exit-after-report")
        if speeds:
            self.args += ["--speeds", ",".join(str(s) for s in speeds)]
        if status:
            self.args += ["--status", status]
        if silent:
            self.args.append("--silent")
        if fault:
            self.args += ["--fault", fault]
        self.process = None
        self.slave = None
        self.syncs = 0

    def start(self):
        for path in (self.ready_path, self.log_path):
            path.unlink(missing_ok=True)
        self.syncs = 0
        self.process = subprocess.Popen(self.args, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

        def ready():
            if self.process.poll() is not None:
                raise AssertionError(f"simulator {self.name} ended at start: "
                                     f"{self.process.stderr.read().decode(errors='replace')}")
            return self.ready_path.exists() and self.ready_path.read_text().strip()

        self.slave = wait_until(ready, 10, f"simulator {self.name} to be ready")
        return self

    def stop(self):
        if self.process:
            end_process(self.process, self.process.terminate)
        if self.process and self.process.stderr:
            self.process.stderr.close()

    def sync(self):
        """Once this returns, the log holds every byte written to the line before the call:
        the simulator, asked with SIGUSR1, reads what the line holds and then logs SYNC. One
        that has ended read what the line held as it went."""
        if self.process is None or self.process.poll() is not None:
            return
        self.syncs += 1
        self.process.send_signal(signal.SIGUSR1)
        wait_until(lambda: self.process.poll() is not None or
                   sum(1 for e in self._log() if e.kind == "SYNC") >= self.syncs,
                   SYNC_LIMIT, f"simulator {self.name} to read what the line holds",
                   interval=0.01)

    def _log(self):
        if not self.log_path.exists():
            return []
        result = []
        for line in self.log_path.read_text(errors="replace").splitlines():
            match = LOG_LINE.match(line)
            if match:
                result.append(Event(float(match[1]), match[2], match[3]))
        return result

    def logged_events(self):
        """The events logged so far, for a wait that looks again until one comes."""
        return [e for e in self._log() if e.kind != "SYNC"]

    def events(self):
        """The events, every byte written to the line so far among them."""
        self.sync()
        return self.logged_events()

    def received(self):
        """Every byte received, in order."""
        return b"".join(e.data for e in self.events() if e.kind == "RX")

    def received_by_speed(self):
        """(speed, bytes) for every RX line, with the line's speed just after the read."""
        speed = None
        result = []
        for e in self.events():
            if e.kind == "SPEED":
                speed = int(e.detail.split()[0])
            elif e.kind == "RX":
                result.append((speed, e.data))
        return result

    def speeds_seen(self):
        return [int(e.detail.split()[0]) for e in self.events() if e.kind == "SPEED"]

    def reports_printed(self):
        return sum(1 for e in self.events()
                   if e.kind == "EVENT" and e.detail.startswith("Z report printed"))

    def warnings(self):
        return [e.detail for e in self.events() if e.kind == "WARN"]

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


class NullModemCable:
    """Two pseudo-terminals joined by socat, standing in for a null-modem cable between two
    serial ports: what is written at one end is read at the other. Line speeds are not carried.
    release() takes the cable away (E2ECase.background)."""

    def __init__(self, workdir):
        self.ends = (Path(workdir) / "cable-a", Path(workdir) / "cable-b")
        socat = shutil.which("socat")
        if not socat:
            raise RuntimeError("socat is missing: scripts/setup.sh installs it")
        self.process = subprocess.Popen(
            [socat] + [f"pty,raw,echo=0,link={end}" for end in self.ends],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def ends_ready():
            if self.process.poll() is not None:
                raise AssertionError(f"socat ended at start ({self.process.returncode})")
            return all(end.is_symlink() for end in self.ends)

        wait_until(ends_ready, 10, "socat's two ends")

    def release(self):
        end_process(self.process, self.process.terminate)


# ---------------------------------------------------------------------------------------------
# The native program

class NativeRun:
    """The native program on a pseudo-terminal, with COM ports from a directory of links."""

    def __init__(self, workdir, com_dir, lock_dir, name, artifacts, command=None):
        import pty
        self.name = name
        self.transcript_path = Path(artifacts) / f"{name}.native.log"
        self.master, slave = pty.openpty()
        env = dict(os.environ, KESTRELON_COM_DIR=str(com_dir), KESTRELON_LOCK_DIR=str(lock_dir))
        self.started = time.monotonic()
        command = command or [str(required_path("KESTRELON_NATIVE"))]
        self.process = subprocess.Popen(command, cwd=workdir,
                                        env=env, stdin=slave, stdout=slave, stderr=slave,
                                        start_new_session=True)
        os.close(slave)
        self.text = b""

    def _read(self, timeout):
        ready, _, _ = select.select([self.master], [], [], timeout)
        if not ready:
            return False
        try:
            data = os.read(self.master, 4096)
        except OSError:  # the terminal's last user has gone
            return False
        self.text += data
        return bool(data)

    def wait_for_text(self, pattern, timeout, start=0):
        """Waits until the output from offset start holds pattern; returns the end offset."""
        deadline = time.monotonic() + timeout
        regex = re.compile(pattern.encode() if isinstance(pattern, str) else pattern)
        while True:
            match = regex.search(self.text, start)
            if match:
                return match.end()
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise AssertionError(f"{self.name}: no {pattern!r} within {timeout} s; "
                                     f"output so far: {self.text!r}")
            if not self._read(min(remaining, 0.2)) and self.process.poll() is not None:
                raise AssertionError(f"{self.name}: ended ({self.process.returncode}) without "
                                     f"{pattern!r}; output: {self.text!r}")

    def send(self, text):
        os.write(self.master, text.encode())

    def poll(self):
        return self.process.poll()

    def wait(self, timeout):
        deadline = time.monotonic() + timeout
        while self.process.poll() is None:
            if time.monotonic() >= deadline:
                end_process(self.process, timeout=10)
                self.close()
                raise AssertionError(f"{self.name}: still running after {timeout} s; "
                                     f"output: {self.text!r}")
            self._read(0.1)
        while self._read(0.05):
            pass
        self.close()
        return self.process.returncode

    def close(self):
        if self.master is not None:
            os.close(self.master)
            self.master = None
        self.transcript_path.write_bytes(self.text)

    def output(self):
        return self.text.decode(errors="replace").replace("\r\n", "\n")


class Workspace:
    """Temporary working directory (settings file), COM link and lock directories."""

    def __init__(self, name):
        self.root = Path(tempfile.mkdtemp(prefix=f"kestrelon-e2e-{name}-"))
        self.work = self.root / "work"
        self.com_dir = self.root / "ports"
        self.lock_dir = self.root / "lock"
        for path in (self.work, self.com_dir, self.lock_dir):
            path.mkdir()

    def write_settings(self, text):
        (self.work / SETTINGS_NAME).write_bytes(text.encode())

    def settings(self):
        path = self.work / SETTINGS_NAME
        return path.read_bytes() if path.exists() else None

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


# ---------------------------------------------------------------------------------------------
# Test cases

class E2ECase(unittest.TestCase):
    """A test's own workspace, and the simulators and runs it starts: all ended after it."""

    def setUp(self):
        self.workspace = Workspace(self.short_name())
        self.workspaces = [self.workspace]
        self.simulators = []
        self.runs = []
        # Programs started beside the runs (another program holding a port, a cable), each
        # ended by its release().
        self.background = []
        self.started = time.monotonic()

    def tearDown(self):
        for run in self.runs:
            if run.process.poll() is None:
                os.kill(run.process.pid, signal.SIGCONT)  # a run held with SIGSTOP
            self.end_run(run)
        for program in self.background:
            program.release()
        for simulator in self.simulators:
            simulator.stop()
        self.unmap_ports()
        for workspace in self.workspaces:
            workspace.remove()
        log(f"{self.id()}: {time.monotonic() - self.started:.1f} s")

    def short_name(self):
        return self.id().split(".")[-1]

    def unmap_ports(self):
        pass

    def assert_traffic(self, simulator, expected):
        """EXPECTED: the device's trials, each (the speed the program set, the bytes it sent).
        The bytes came in that order, and each trial's first byte at its trial's speed. That
        is what a pseudo-terminal tells: it carries no speed with its bytes, and the simulator
        counts a byte at the speed the line has when it reads it, so a trial's last bytes (its
        release) may count at the next trial's speed; the first byte, which the program waits
        on an answer to, counts at its own."""
        received = simulator.received_by_speed()
        self.assertEqual(b"".join(data for _, data in received).hex(" "),
                         b"".join(data for _, data in expected).hex(" "))
        speeds = [speed for speed, data in received for _ in data]
        firsts = itertools.accumulate([len(data) for _, data in expected[:-1]], initial=0)
        self.assertEqual([speeds[first] for first in firsts], [speed for speed, _ in expected],
                         "the speed of each trial's first byte")


class NativeCase(E2ECase):
    """The native program; its COM ports are links in the workspace."""

    def setUp(self):
        super().setUp()
        self.artifacts = artifacts_dir()

    def end_run(self, run):
        end_process(run.process, timeout=10)
        if run.master is not None:
            run.close()

    def simulator(self, com, **options):
        simulator = Simulator(self.workspace.root, f"com{com}",
                              link=self.workspace.com_dir / f"com{com}", **options).start()
        self.simulators.append(simulator)
        return simulator

    def launch(self, name, workdir=None, command=None):
        run = NativeRun(workdir or self.workspace.work, self.workspace.com_dir,
                        self.workspace.lock_dir, f"native-{name}", self.artifacts, command)
        self.runs.append(run)
        return run
