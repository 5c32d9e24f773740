"""The native program against faulty devices: the scenarios of fault_scenarios.py, and the bound
on the wait for a device that never answers."""

import fcntl
import os
import time
import unittest

from fault_scenarios import (ID21, REPLY_WAIT_LIMIT_S, REPLY_WAIT_S, RUN_LIMIT, STILL_WAITING_S,
                             FaultChecks, add_scenario_tests, identification_received)
from harness import CONFIGURED_AND_PRINTED, RELEASE, NativeCase, log, require_isolation
from test_native import NO_DEVICE_BOX, OPEN_FAILURE_BOX, PROMPT

require_isolation()

EXPECTED_OUTPUT = {
    None: "",
    "no-device": NO_DEVICE_BOX + "Da sau nu? (d/n): n\n",
    "open-failure": OPEN_FAILURE_BOX,
}
SANITIZER_MARKS = ("Sanitizer", "runtime error:", "LeakSanitizer")
LOCK_NAME = "Kestrelon-Vantrel-Ombrix.lock"


class NativeFaultCase(FaultChecks, NativeCase):
    # The yes/no question on the terminal; the open-failure text needs no answer.
    BOX_ANSWERS = {"no-device": "n\n"}

    def second_moment(self, scenario):
        return scenario.native_second or scenario.second

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

    def shown_now(self):
        return None

    def assert_shows_nothing(self, second, shown_before):
        self.assertEqual(second.output(), "", "the second copy shows nothing")

    def answer_box(self, scenario, first, moment, limit):
        first.wait_for_text(PROMPT, limit)
        if moment == "box":
            self.second_copy(first, scenario.name)
        first.send(self.BOX_ANSWERS[scenario.box])

    def assert_run_clean(self, scenario, run):
        self.assert_clean_output(run, EXPECTED_OUTPUT[scenario.box])

    def assert_clean_output(self, run, expected):
        text = run.output()
        for mark in SANITIZER_MARKS:
            self.assertNotIn(mark, text, f"{run.name}: a sanitizer report")
        self.assertEqual(text, expected)


class Faults(NativeFaultCase):
    """One test per scenario of the table."""

    def after_scenario(self, scenario, main):
        if scenario.hold and scenario.configured:
            # Once the other program lets go, the next run opens the port and prints.
            before = main.received()
            again = self.launch(f"{scenario.name}-again", self.workspace.work)
            self.assertEqual(again.wait(RUN_LIMIT), 0)
            self.assert_clean_output(again, "")
            self.assertEqual(main.received()[len(before):].hex(" "),
                             CONFIGURED_AND_PRINTED.hex(" "))
            self.assertEqual(main.reports_printed(), 1)
            self.assert_port_free(main)


add_scenario_tests(Faults, "native")


class WaitBound(NativeFaultCase):
    """A device that never answers the identification frame: the configured run gives up after
    its 120 s wait, says so in the open-failure box, sends no report and ends (about two
    minutes)."""

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
        self.assertEqual(first.wait(REPLY_WAIT_LIMIT_S), 0)
        waited = time.monotonic() - asked
        log(f"silent device: the run ended {waited:.1f} s after the identification frame")
        self.assertGreaterEqual(waited, REPLY_WAIT_S - 1, "the run gave up before its bound")
        self.assert_clean_output(first, OPEN_FAILURE_BOX)
        self.assertEqual(simulator.received().hex(" "), (ID21 + RELEASE).hex(" "))
        self.assertEqual(simulator.reports_printed(), 0)
        self.assert_port_free(simulator)


if __name__ == "__main__":
    unittest.main()
