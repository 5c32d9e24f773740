"""Device faults end to end: the scenario table that the Wine and the native fault tests share,
and the checks that every scenario gets.

A scenario names the simulators (COM number, options), the settings (a configured port, or no
file so that the program searches), the bytes each simulator must receive, the report frames
each must see, the box that must appear and how it is answered, when a second copy is started,
and, for a device that never answers, when it is unplugged.

Whatever the scenario, every run must end with exit code 0 within a bound, leave the port free,
and keep the safety rule: the report frame goes out at most once per run, only on the port
whose device identified itself with an identifier beginning with "VF", and only after that
identifier was read there.
"""

import fcntl
import os
import signal
import struct
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

from harness import (DEFAULT_SETTINGS, PROBE, RELEASE, Workspace, end_process, frame_command,
                     identification_frame, log, processes_holding, report_frame, wait_until)

CONFIGURED = "com=COM3\r\nport=115200\r\n"

# Bounds, not expectations.
RUN_LIMIT = 60          # a whole run, detection included
# The configured wait for the identification reply: 120000 ms of pauses, with a look at the
# port after each. What the looks add depends on how busy the machine is (the unit tests count
# the pauses, the benchmark measures the rest): a run is held to its pauses, and to
# REPLY_WAIT_LIMIT_S only against a wait that never ends.
REPLY_WAIT_S = 120
REPLY_WAIT_LIMIT_S = 2 * REPLY_WAIT_S
SECOND_COPY_LIMIT = 30  # a second copy ends at once; Wine alone takes a few seconds to start
UNPLUG_LIMIT = 10       # a run shows its box, or ends, this soon after its device was unplugged
STILL_WAITING_S = 5     # a device that never answers: the run is looked at after this long

ID21, ID22 = identification_frame(0x21), identification_frame(0x22)
REPORT22 = report_frame(0x22)
# A scan that finds no device at COM3: the probe and the identification frame at each speed.
SCANNED_NOT_FOUND = PROBE + ID21 + RELEASE + PROBE + ID22 + RELEASE

# When a second copy is started, with the first mid-scenario:
#   "box"      while the first shows its box (a yes/no question on the native terminal);
#   "waiting"  once the identification frame has reached the device, which then never
#              answers: the first waits, sending nothing, while the second runs;
#   "stopped"  the first is held (SIGSTOP) as soon as its device port is open at 115200 (the
#              device then holds no timer of its own), the second runs to its end, and the
#              first is let go (SIGCONT): for runs too short to start a copy beside them;
#   "guard"    (native only) the same, as soon as the first holds its single-instance guard:
#              for a run that never reaches a device.


@dataclass(frozen=True)
class Device:
    com: int
    options: dict = field(default_factory=dict)  # Simulator keyword arguments
    wire: object = None        # exactly what it must receive (bytes, or a tuple of the
                               # possible ones); None: see wire_prefix
    wire_prefix: bytes = b""   # what it must receive first (with wire None)
    reports: int = 0           # report frames it must receive: 0 or 1
    hangs_up: bool = False     # the simulator closes the line itself (unplugged)


@dataclass(frozen=True)
class Scenario:
    name: str
    configured: bool           # Kestrelon.ini names COM3 at 115200; else no file: detection
    devices: tuple
    box: str = None            # None, "no-device" (answered No) or "open-failure" (OK; also
                               # for a configured device that sends not a byte back)
    second: str = "stopped"
    native_second: str = None  # where the native run needs another moment than Wine's
    unplug_after_wait: bool = False  # never answers: unplugged after STILL_WAITING_S
    ends_at_unplug: bool = False     # its box, or its end, within UNPLUG_LIMIT of the unplug
    hold: bool = False         # another program holds COM3 (native only)
    wine: bool = True
    native: bool = True

    @property
    def settings(self):
        return CONFIGURED if self.configured else None


def _device(com=3, **kwargs):
    return Device(com, **kwargs)


RELEASE_WRITES = [RELEASE[i:i + 1] for i in range(len(RELEASE))]  # one write each, 25 ms apart


def _hung_up_at_next_read(before, writes):
    """What a device that hangs up at its first read after its reply may have received: BEFORE,
    then the first of the program's next WRITES and as many more as it had written by that
    read, which comes later on a busy machine."""
    return tuple(before + b"".join(writes[:count]) for count in range(1, len(writes) + 1))


def _not_found(name, fault):
    """The device at COM3 fails the scan with its fault: the no-device box, answered No, and a
    second copy while the box shows."""
    return Scenario(name, False, (_device(options={"fault": fault}, wire=SCANNED_NOT_FOUND),),
                    box="no-device", second="box")


SCENARIOS = [
    # --- the device unplugged ---------------------------------------------------------------
    # Not a byte back from the configured port: the open-failure box tells the user.
    Scenario("unplugged_before_reply", True,
             (_device(options={"fault": "hangup-before-reply"}, wire=ID21, hangs_up=True),),
             box="open-failure", ends_at_unplug=True),
    Scenario("unplugged_after_reply", True,
             (_device(options={"fault": "hangup-after-reply"}, reports=1, hangs_up=True,
                      wire=_hung_up_at_next_read(ID21, [REPORT22, *RELEASE_WRITES])),)),
    Scenario("unplugged_during_detection", False,
             (_device(options={"fault": "hangup-before-reply"}, wire=PROBE + ID21,
                      hangs_up=True),),
             box="no-device", second="box"),
    Scenario("unplugged_after_reply_during_detection", False,
             # Found at 115200; the line goes with the release; the open then fails.
             (_device(options={"fault": "hangup-after-reply"}, hangs_up=True,
                      wire=_hung_up_at_next_read(PROBE + ID21, RELEASE_WRITES)),),
             box="open-failure", second="box", native_second="guard"),
    # --- a device that does not answer, or answers late ------------------------------------
    Scenario("never_answers_then_unplugged", True,
             (_device(options={"fault": "no-id-reply"}, wire=ID21, hangs_up=True),),
             box="open-failure", second="waiting", unplug_after_wait=True, ends_at_unplug=True),
    _not_found("answers_only_the_probe", "no-id-reply"),
    # (The second copy goes beside the first held: left running, the first would go on after
    # the 3 s, and its report frame could not be told from one of the second copy's.)
    Scenario("answers_3s_late", True,
             (_device(options={"fault": "delay-id-ms=3000"}, wire=ID21 + REPORT22 + RELEASE,
                      reports=1),)),
    # Too late for the scan's 250 ms: no device is found.
    _not_found("answers_3s_late_during_detection", "delay-id-ms=3000"),
    # --- replies of every size --------------------------------------------------------------
    Scenario("reply_beyond_the_reply_buffer", True,
             (_device(options={"fault": "huge-reply=50000"}, wire=ID21 + REPORT22 + RELEASE,
                      reports=1),)),
    Scenario("flood_of_bytes", True,
             (_device(options={"fault": "flood-bytes=200000"}, wire=ID21 + RELEASE),)),
    Scenario("flood_of_bytes_during_detection", False,
             # What the next trial finds in the line depends on how much of the flood is left.
             (_device(options={"fault": "flood-bytes=200000"}, wire_prefix=PROBE + ID21),),
             box="no-device", second="box"),
    Scenario("reply_of_zero_bytes", True,
             (_device(options={"fault": "empty-reply"}, wire=ID21 + RELEASE),)),
    _not_found("reply_of_zero_bytes_during_detection", "empty-reply"),
    Scenario("random_reply", True,
             (_device(options={"fault": "garbage-reply"}, wire=ID21 + RELEASE),)),
    _not_found("random_reply_during_detection", "garbage-reply"),
    # --- the report only on the port whose device said VF ----------------------------------
    Scenario("faulty_device_beside_a_good_one", False,
             (_device(3, options={"fault": "no-id-reply"}, wire=SCANNED_NOT_FOUND),
              _device(4, wire=(PROBE + identification_frame(0x23) + RELEASE + PROBE +
                               identification_frame(0x24) + RELEASE +
                               identification_frame(0x25) + report_frame(0x26) + RELEASE),
                      reports=1))),
    Scenario("device_not_vf_beside_a_vf_one_during_detection", False,
             # COM3's AB12345678 passes the detection test but is no VF device: the run takes
             # the VF device on COM4, which prints.
             (_device(3, options={"device_id": "AB12345678"}, wire=SCANNED_NOT_FOUND),
              _device(4, wire=(PROBE + identification_frame(0x23) + RELEASE + PROBE +
                               identification_frame(0x24) + RELEASE +
                               identification_frame(0x25) + report_frame(0x26) + RELEASE),
                      reports=1))),
    # --- a port held by another program (Wine does not refuse a second opener) --------------
    Scenario("port_held_by_another_program", True, (_device(wire=b""),),
             box="open-failure", second="guard", hold=True, wine=False),
    Scenario("port_held_during_detection", False, (_device(wire=b""),),
             box="no-device", second="box", hold=True, wine=False),
]


def add_scenario_tests(case, platform):
    """One test method of case per scenario of the platform."""
    for scenario in SCENARIOS:
        if not getattr(scenario, platform):
            continue

        def test(self, scenario=scenario):
            self.run_scenario(scenario)
        test.__name__ = f"test_{scenario.name}"
        setattr(case, test.__name__, test)


# ---------------------------------------------------------------------------------------------
# The safety rule, read from a simulator's log

def report_frames(simulator):
    """(count, violations) of the report frames the simulator received.

    A report frame is allowed only when, since the last identification frame received, the
    simulator's first reply to it carried an identifier beginning with "VF" at offset 4.
    """
    window = b""
    identified_vf = False
    awaiting_reply = False
    count = 0
    violations = []
    for event in simulator.events():
        if event.kind == "TX" and awaiting_reply:
            awaiting_reply = False
            identified_vf = event.data[4:6] == b"VF"
        elif event.kind == "RX":
            for byte in event.data:
                window = (window + bytes([byte]))[-7:]
                command = frame_command(window)
                if command is None:
                    continue
                if command == 0x60:
                    awaiting_reply, identified_vf = True, False
                elif command == 0x22:
                    count += 1
                    if not identified_vf:
                        violations.append(f"report frame at T={event.time_ms} without a VF "
                                          f"identifier read before it")
                    identified_vf = False
                window = b""
    return count, violations


# ---------------------------------------------------------------------------------------------
# The port free again

TIOCGEXCL = 0x80045440


def port_problems(simulator):
    """What keeps the simulator's port from being opened again; empty when it is free.

    Nobody but the simulator has its terminal open, the terminal is not left exclusive, and an
    exclusive lock can be taken on it, as the next run of the program will.
    """
    path = simulator.slave
    problems = []
    pids = processes_holding(path, {simulator.process.pid, os.getpid()})
    if pids:
        problems.append(f"{path} still open in processes {pids}")
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        exclusive = struct.unpack("i", fcntl.ioctl(fd, TIOCGEXCL, b"\0" * 4))[0]
        if exclusive:
            problems.append(f"{path} left in exclusive mode")
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            fcntl.flock(fd, fcntl.LOCK_UN)
        except BlockingIOError:
            problems.append(f"{path} still locked")
    finally:
        os.close(fd)
    return problems


class PortHolder:
    """Another program that holds a port as the program itself would: the terminal opened,
    locked with flock and made exclusive (TIOCEXCL)."""

    CODE = (
        "import fcntl, os, sys, termios\n"
        "fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)\n"
        "fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)\n"
        "fcntl.ioctl(fd, termios.TIOCEXCL)\n"
        "print('held', flush=True)\n"
        "sys.stdin.read()\n"
        "fcntl.ioctl(fd, termios.TIOCNXCL)\n"
        "os.close(fd)\n")

    def __init__(self, path):
        self.process = subprocess.Popen([sys.executable, "-c", self.CODE, str(path)],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        line = self.process.stdout.readline()
        if line.strip() != b"held":
            self.release()
            raise AssertionError(f"could not hold {path}")

    def release(self):
        end_process(self.process, self.process.stdin.close, 10)
        self.process.stdout.close()


# ---------------------------------------------------------------------------------------------
# What every scenario asserts, for either program

class FaultChecks:
    """A scenario's run and the assertions it gets, for either program: a mixin before
    harness.E2ECase. The program's own class says how the second copy shows nothing
    (shown_now, assert_shows_nothing), which boxes are answered (BOX_ANSWERS, answer_box),
    when the second copy starts (second_moment), what its output is (assert_run_clean) and
    what follows the run (after_scenario)."""

    def setUp(self):
        super().setUp()
        self.other = Workspace("second-copy")
        self.workspaces.append(self.other)

    def run_scenario(self, scenario):
        for device in scenario.devices:
            self.simulator(device.com, **device.options)
        main = self.simulators[0]
        if scenario.hold:
            self.background.append(PortHolder(main.slave))
        if scenario.settings is not None:
            self.workspace.write_settings(scenario.settings)
        settings_before = self.workspace.settings()
        first = self.launch(scenario.name, self.workspace.work)
        moment = self.second_moment(scenario)

        if moment == "guard":
            wait_until(self.guard_held, RUN_LIMIT, "the first to hold its guard", interval=0.002)
            self.hold_first(first, scenario.name)
        elif moment == "stopped":
            self.wait_for_events(main, port_open_at_115200, RUN_LIMIT, "the port opened")
            self.hold_first(first, scenario.name)
        elif moment == "waiting":
            self.wait_for_events(main, identification_received, RUN_LIMIT,
                                 "the identification frame")
            self.second_copy(first, scenario.name)

        if scenario.unplug_after_wait:
            self.wait_for_events(main, identification_received, RUN_LIMIT,
                                 "the identification frame")
            time.sleep(STILL_WAITING_S)
            self.assertIsNone(first.poll(), "a run waits for a device that says nothing yet")
            self.assertEqual(main.received(), scenario.devices[0].wire)
            main.stop()  # unplugged: the simulator's end of the line closes
        elif scenario.ends_at_unplug:
            wait_until(lambda: main.process.poll() is not None, RUN_LIMIT, "the hang-up")
        # After an unplug, the run's next step (its box, where one is answered, else its end)
        # comes within UNPLUG_LIMIT, whichever program runs: a run that took the hung-up line
        # for "nothing yet" would wait out the 120 s bound instead.
        limit = UNPLUG_LIMIT if scenario.ends_at_unplug else RUN_LIMIT
        if scenario.box in self.BOX_ANSWERS:
            self.answer_box(scenario, first, moment, limit)
            limit = RUN_LIMIT
        self.assertEqual(first.wait(limit), 0)
        log(f"{scenario.name}: {time.monotonic() - first.started:.2f} s")

        self.assert_run_clean(scenario, first)
        self.assertEqual(self.workspace.settings(),
                         settings_before if settings_before is not None else DEFAULT_SETTINGS)
        for program in self.background:
            program.release()
        self.assert_devices(scenario, self.simulators)
        self.after_scenario(scenario, main)

    def after_scenario(self, scenario, main):
        pass

    def second_copy(self, first, name):
        """A second copy beside the first: ends at once, touches no file, sends and shows
        nothing. The first sends nothing meanwhile: it is held, shows its box, or waits for a
        reply that never comes."""
        received = [s.received() for s in self.simulators]
        shown = self.shown_now()
        second = self.launch(f"{name}-second", self.other.work)
        self.assertEqual(second.wait(SECOND_COPY_LIMIT), 0)
        self.assertIsNone(first.process.poll(), "the first must still run while the second "
                                                "copy starts, or the test proves nothing")
        self.assertEqual(list(self.other.work.iterdir()), [], "the second copy touches no file")
        self.assertEqual([s.received() for s in self.simulators], received,
                         "the second copy sends nothing")
        self.assert_shows_nothing(second, shown)

    def hold_first(self, first, name):
        """The second copy while the first is stopped (SIGSTOP), then the first let go."""
        os.kill(first.process.pid, signal.SIGSTOP)
        try:
            # A write under way when the signal came ends first: the first has stopped when
            # every thread of it has.
            wait_until(lambda: stopped(first.process.pid), RUN_LIMIT, "the first to stop",
                       interval=0.01)
            self.second_copy(first, name)
        finally:
            os.kill(first.process.pid, signal.SIGCONT)

    def assert_devices(self, scenario, simulators):
        total = 0
        for device, simulator in zip(scenario.devices, simulators):
            with self.subTest(device=f"COM{device.com}"):
                if device.hangs_up:  # it ends by itself at its fault, at most 1 s after
                    wait_until(lambda: simulator.process.poll() is not None, RUN_LIMIT,
                               f"COM{device.com}: the hang-up")
                received = simulator.received()
                if device.wire is not None:
                    allowed = device.wire if isinstance(device.wire, tuple) else (device.wire,)
                    self.assertIn(received.hex(" "), [w.hex(" ") for w in allowed],
                                  f"COM{device.com}: the bytes received")
                else:
                    self.assertTrue(received.startswith(device.wire_prefix),
                                    f"COM{device.com}: received {received[:32].hex(' ')}...")
                count, violations = report_frames(simulator)
                self.assertEqual(violations, [], f"COM{device.com}: the safety rule")
                self.assertEqual(count, device.reports, f"COM{device.com}: report frames")
                total += count
                if not device.hangs_up:
                    self.assertIsNone(simulator.process.poll(), f"COM{device.com}: the line is up")
                    self.assert_port_free(simulator)
        self.assertLessEqual(total, 1, "at most one report frame in a run")

    def assert_port_free(self, simulator, timeout=5):
        """The port free again; a moment is allowed for Wine's server to close its copy."""
        deadline = time.monotonic() + timeout
        while True:
            problems = port_problems(simulator)
            if not problems or time.monotonic() >= deadline:
                break
            time.sleep(0.1)
        self.assertEqual(problems, [], "the port must be free after the run")

    def wait_for_events(self, simulator, predicate, timeout, what):
        return wait_until(lambda: predicate(simulator.logged_events()), timeout, what,
                          interval=0.01)


def stopped(pid):
    """True once every thread of the process is stopped (SIGSTOP), or has ended."""
    try:
        tasks = list(Path(f"/proc/{pid}/task").iterdir())
    except OSError:  # gone: it sends nothing more either
        return True
    states = []
    for task in tasks:
        try:
            states.append((task / "stat").read_text().rsplit(")", 1)[1].split()[0])
        except OSError:  # a thread that has just ended
            pass
    return all(state in "TtZX" for state in states)


def port_open_at_115200(events):
    return any(e.kind == "SPEED" and e.detail.split()[0] == "115200" for e in events)


def identification_received(events):
    return identification_frame(0x21) in b"".join(e.data for e in events if e.kind == "RX")
