"""Kestrelon.exe under Wine against faulty devices: the scenarios of fault_scenarios.py."""

import os
import signal
import time
import unittest

from fault_scenarios import (RUN_LIMIT, SECOND_COPY_LIMIT, STILL_WAITING_S, UNPLUG_LIMIT,
                             FaultChecks, identification_received, port_open_at_115200,
                             scenarios_for)
from harness import (BOX_TITLE, Simulator, WineSession, Workspace, artifacts_dir, log,
                     require_isolation, wait_until)

require_isolation()

BOX_ANSWERS = {"no-device": "alt+n", "open-failure": "Return"}


class Faults(unittest.TestCase, FaultChecks):
    """One Wine session for every scenario; one test per scenario."""

    @classmethod
    def setUpClass(cls):
        cls.artifacts = artifacts_dir()
        cls.session = WineSession(cls.artifacts).__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.session.__exit__(None, None, None)

    def setUp(self):
        self.workspace = Workspace(self.id().split(".")[-1])
        self.other = Workspace("second-copy")
        self.simulators = []
        self.runs = []
        self.started = time.monotonic()

    def tearDown(self):
        for run in self.runs:
            if run.process.poll() is None:
                os.kill(run.process.pid, signal.SIGCONT)
            run.kill()
        for simulator in self.simulators:
            simulator.stop()
        self.session.unmap_all()
        self.workspace.remove()
        self.other.remove()
        log(f"{self.id()}: {time.monotonic() - self.started:.1f} s")

    def launch(self, name, workdir):
        run = self.session.launch(workdir, name)
        self.runs.append(run)
        return run

    def second_copy(self, first, name):
        """A second copy beside the first: ends at once, sends nothing, touches nothing."""
        received = [s.received() for s in self.simulators]
        boxes = self.session.visible_windows(BOX_TITLE)
        second = self.launch(f"{name}-second", self.other.work)
        self.assertEqual(second.wait(SECOND_COPY_LIMIT), 0)
        self.assertIsNone(first.process.poll(), "the first must still run while the second "
                                                "copy starts, or the test proves nothing")
        self.assertEqual(list(self.other.work.iterdir()), [], "the second copy touches no file")
        self.assertEqual([s.received() for s in self.simulators], received,
                         "the second copy sends nothing")
        self.assertEqual(self.session.visible_windows(BOX_TITLE), boxes, "and shows nothing")
        self.assertFalse(second.main_window_seen)

    def wait_after_unplug(self, run):
        try:
            return run.wait(UNPLUG_LIMIT)
        except AssertionError:
            self.fail(f"{run.name}: still waiting for the identification reply {UNPLUG_LIMIT} s "
                      "after the device was unplugged (the line has hung up: the failing "
                      "waiting-input query is taken for 'nothing yet' until the 120 s bound)")

    def run_scenario(self, scenario):
        for device in scenario.devices:
            simulator = Simulator(self.workspace.root, f"com{device.com}",
                                  **device.options).start()
            self.simulators.append(simulator)
            self.session.map_port(device.com, simulator)
        main = self.simulators[0]
        if scenario.settings is not None:
            self.workspace.write_settings(scenario.settings)
        settings_before = self.workspace.settings()
        first = self.launch(scenario.name, self.workspace.work)

        if scenario.second == "stopped":
            self.wait_for_events(main, port_open_at_115200, RUN_LIMIT, "the port opened")
            os.kill(first.process.pid, signal.SIGSTOP)
            try:
                self.second_copy(first, scenario.name)
            finally:
                os.kill(first.process.pid, signal.SIGCONT)
        elif scenario.second == "waiting":
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
            self.assertEqual(self.wait_after_unplug(first), 0)
        elif scenario.box:
            box = first.wait_for_box(RUN_LIMIT)
            self.session.screenshot(f"faults-{scenario.name}-box")
            if scenario.second == "box":
                self.second_copy(first, scenario.name)
            first.answer(box, BOX_ANSWERS[scenario.box])
            self.assertEqual(first.wait(RUN_LIMIT), 0)
        elif scenario.ends_at_unplug:
            wait_until(lambda: main.process.poll() is not None, RUN_LIMIT, "the hang-up")
            self.assertEqual(self.wait_after_unplug(first), 0)
        else:
            self.assertEqual(first.wait(RUN_LIMIT), 0)
        log(f"{scenario.name}: {first.elapsed():.2f} s")

        self.assertFalse(first.main_window_seen, "the main window must never show")
        self.assertEqual(self.session.visible_windows(BOX_TITLE), [], "no box left behind")
        self.assertEqual(self.workspace.settings(),
                         settings_before if settings_before is not None
                         else b";com=COM1\r\n;port=115200\r\n")
        self.assert_devices(scenario, self.simulators)


def _add_tests():
    for scenario in scenarios_for("wine"):
        def test(self, scenario=scenario):
            self.run_scenario(scenario)
        test.__name__ = f"test_{scenario.name}"
        setattr(Faults, test.__name__, test)


_add_tests()

if __name__ == "__main__":
    unittest.main()
