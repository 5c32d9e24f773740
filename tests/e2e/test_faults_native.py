"""The native program against faulty devices: the scenarios of fault_scenarios.py, and the bound
on the wait for a device that never answers."""

import fcntl
import os
import signal
import time
import unittest

from fault_scenarios import (ID21, RUN_LIMIT, SECOND_COPY_LIMIT, STILL_WAITING_S, UNPLUG_LIMIT,
                             FaultChecks, PortHolder, identification_received,
                             port_open_at_115200, scenarios_for)
from harness import (DEFAULT_SETTINGS, RELEASE, NativeRun, Simulator, Workspace, artifacts_dir,
                     log, require_isolation, wait_until)
from test_native import NO_DEVICE_BOX, OPEN_FAILURE_BOX, PROMPT

require_isolation()

EXPECTED_OUTPUT = {
    None: "",
    "no-device": NO_DEVICE_BOX + "Reincercati? (d/n): n\n",
    "open-failure": OPEN_FAILURE_BOX,
}
SANITIZER_MARKS = ("Sanitizer", "runtime error:", "LeakSanitizer")
LOCK_NAME = "Kestrelon-Vantrel-Ombrix.lock"
# The configured wait for the identification reply, and what may come on top of it (the
# pauses around it, the release, a loaded machine).
REPLY_WAIT_S = 120
REPLY_WAIT_MARGIN_S = 15


class NativeFaultCase(unittest.TestCase, FaultChecks):
    def setUp(self):
        self.artifacts = artifacts_dir()
        self.workspace = Workspace(self.id().split(".")[-1])
        self.other = Workspace("second-copy")
        self.simulators = []
        self.runs = []
        self.holders = []
        self.started = time.monotonic()

    def tearDown(self):
        for run in self.runs:
            if run.process.poll() is None:
                os.kill(run.process.pid, signal.SIGCONT)
                run.process.kill()
                run.process.wait(10)
            if run.master is not None:
                run.close()
        for holder in self.holders:
            holder.release()
        for simulator in self.simulators:
            simulator.stop()
        self.workspace.remove()
        self.other.remove()
        log(f"{self.id()}: {time.monotonic() - self.started:.1f} s")

    def simulator(self, com, **options):
        simulator = Simulator(self.workspace.root, f"com{com}",
                              link=self.workspace.com_dir / f"com{com}", **options).start()
        self.simulators.append(simulator)
        return simulator

    def launch(self, name, workdir):
        run = NativeRun(workdir, self.workspace.com_dir, self.workspace.lock_dir,
                        f"native-{name}", self.artifacts)
        self.runs.append(run)
        return run

    def guard_held(self):
        """True while a copy of the program holds the single-instance guard."""
        path = self.workspace.lock_dir / LOCK_NAME
        if not path.exists():
            return False
        fd = os.open(path, os.O_RDONLY)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return False
        except BlockingIOError:
            return True
        finally:
            os.close(fd)

    def second_copy(self, first, name):
        """A second copy beside the first: ends at once, says and sends nothing, touches no
        file."""
        received = [s.received() for s in self.simulators]
        second = self.launch(f"{name}-second", self.other.work)
        self.assertEqual(second.wait(SECOND_COPY_LIMIT), 0)
        self.assertIsNone(first.process.poll(), "the first must still run while the second "
                                                "copy starts, or the test proves nothing")
        self.assertEqual(second.output(), "", "the second copy shows nothing")
        self.assertEqual(list(self.other.work.iterdir()), [], "the second copy touches no file")
        self.assertEqual([s.received() for s in self.simulators], received,
                         "the second copy sends nothing")

    def hold_first(self, first, name):
        os.kill(first.process.pid, signal.SIGSTOP)
        try:
            self.second_copy(first, name)
        finally:
            os.kill(first.process.pid, signal.SIGCONT)

    def wait_after_unplug(self, run):
        try:
            return run.wait(UNPLUG_LIMIT)
        except AssertionError:
            self.fail(f"{run.name}: still waiting for the identification reply {UNPLUG_LIMIT} s "
                      "after the device was unplugged (the line has hung up: the failing "
                      "waiting-input query is taken for 'nothing yet' until the 120 s bound)")

    def assert_clean_output(self, run, expected):
        text = run.output()
        for mark in SANITIZER_MARKS:
            self.assertNotIn(mark, text, f"{run.name}: a sanitizer report")
        self.assertEqual(text, expected)


class Faults(NativeFaultCase):
    """One test per scenario of the table."""

    def run_scenario(self, scenario):
        for device in scenario.devices:
            self.simulator(device.com, **device.options)
        main = self.simulators[0]
        if scenario.hold:
            self.holders.append(PortHolder(main.slave))
        if scenario.settings is not None:
            self.workspace.write_settings(scenario.settings)
        settings_before = self.workspace.settings()
        first = self.launch(scenario.name, self.workspace.work)
        moment = scenario.native_second or scenario.second

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
            self.assertIsNone(first.process.poll(),
                              "a run waits for a device that says nothing yet")
            self.assertEqual(main.received(), scenario.devices[0].wire)
            main.stop()  # unplugged: the simulator's end of the line closes
            self.assertEqual(self.wait_after_unplug(first), 0)
        elif scenario.box == "no-device":
            first.wait_for_text(PROMPT, RUN_LIMIT)
            if moment == "box":
                self.second_copy(first, scenario.name)
            first.send("n\n")
            self.assertEqual(first.wait(RUN_LIMIT), 0)
        elif scenario.ends_at_unplug:
            wait_until(lambda: main.process.poll() is not None, RUN_LIMIT, "the hang-up")
            self.assertEqual(self.wait_after_unplug(first), 0)
        else:
            self.assertEqual(first.wait(RUN_LIMIT), 0)
        log(f"{scenario.name}: {time.monotonic() - first.started:.2f} s")

        self.assert_clean_output(first, EXPECTED_OUTPUT[scenario.box])
        self.assertEqual(self.workspace.settings(),
                         settings_before if settings_before is not None else DEFAULT_SETTINGS)
        for holder in self.holders:
            holder.release()
        self.assert_devices(scenario, self.simulators)

        if scenario.hold and scenario.configured:
            # Once the other program lets go, the next run opens the port and prints.
            before = main.received()
            again = self.launch(f"{scenario.name}-again", self.workspace.work)
            self.assertEqual(again.wait(RUN_LIMIT), 0)
            self.assert_clean_output(again, "")
            self.assertEqual(main.received()[len(before):].hex(" "),
                             (ID21 + bytes.fromhex("02 23 22 22 32 33 0A") + RELEASE).hex(" "))
            self.assertEqual(main.reports_printed(), 1)
            self.assert_port_free(main)


def _add_tests():
    for scenario in scenarios_for("native"):
        def test(self, scenario=scenario):
            self.run_scenario(scenario)
        test.__name__ = f"test_{scenario.name}"
        setattr(Faults, test.__name__, test)


_add_tests()


class WaitBound(NativeFaultCase):
    """A device that never answers the identification frame: the configured run gives up after
    its 120 s wait, ends normally and sends no report (about two minutes)."""

    def test_silent_device_ends_the_run_at_the_bound(self):
        simulator = self.simulator(3, silent=True)
        self.workspace.write_settings("com=COM3\r\nport=115200\r\n")
        first = self.launch("silent-bound", self.workspace.work)
        self.wait_for_events(simulator, identification_received, RUN_LIMIT,
                             "the identification frame")
        asked = time.monotonic()
        # A second copy while the first waits.
        self.second_copy(first, "silent-bound")
        time.sleep(STILL_WAITING_S)
        self.assertIsNone(first.process.poll(), "still waiting")
        self.assertEqual(first.wait(REPLY_WAIT_S + REPLY_WAIT_MARGIN_S), 0)
        waited = time.monotonic() - asked
        log(f"silent device: the run ended {waited:.1f} s after the identification frame")
        self.assertGreaterEqual(waited, REPLY_WAIT_S - 1, "the run gave up before its bound")
        self.assert_clean_output(first, "")
        self.assertEqual(simulator.received().hex(" "), (ID21 + RELEASE).hex(" "))
        self.assertEqual(simulator.reports_printed(), 0)
        self.assert_port_free(simulator)


if __name__ == "__main__":
    unittest.main()
