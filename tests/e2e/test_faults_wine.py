"""Kestrelon.exe under Wine against faulty devices: the scenarios of fault_scenarios.py."""

import time
import unittest

from fault_scenarios import (CONFIGURED, ID21, REPLY_WAIT_LIMIT_S, REPLY_WAIT_S, RUN_LIMIT,
                             FaultChecks, add_scenario_tests, identification_received)
from harness import BOX_TITLE, RELEASE, log, require_isolation, wait_until
from wine_session import WineCase

require_isolation()


class Faults(FaultChecks, WineCase):
    """One Wine session for every scenario; one test per scenario."""

    BOX_ANSWERS = {"no-device": "alt+n", "open-failure": "Return"}

    def second_moment(self, scenario):
        return scenario.second

    def shown_now(self):
        return self.session.visible_windows(BOX_TITLE)

    def assert_shows_nothing(self, second, shown_before):
        self.assertEqual(self.session.visible_windows(BOX_TITLE), shown_before,
                         "and shows nothing")
        self.assertFalse(second.main_window_seen)

    def answer_box(self, scenario, first, moment, limit):
        box = first.wait_for_box(limit)
        self.session.screenshot(f"faults-{scenario.name}-box")
        if moment == "box":
            self.second_copy(first, scenario.name)
        first.answer(box, self.BOX_ANSWERS[scenario.box])

    def assert_run_clean(self, scenario, run):
        self.assertFalse(run.main_window_seen, "the main window must never show")
        self.assertEqual(self.session.visible_windows(BOX_TITLE), [], "no box left behind")


add_scenario_tests(Faults, "wine")


class WaitBound(WineCase):
    """A configured device that never answers: after the 120 s wait the open-failure box, with
    the tray icon still shown; then the usual end (about two minutes)."""

    def test_silent_device_is_told_after_the_bound(self):
        simulator = self.simulator(3, silent=True)
        self.workspace.write_settings(CONFIGURED)
        run = self.launch("silent-bound")
        wait_until(lambda: identification_received(simulator.logged_events()), RUN_LIMIT,
                   "the identification frame", interval=0.01)
        asked = time.monotonic()
        box = run.wait_for_box(REPLY_WAIT_LIMIT_S)
        waited = time.monotonic() - asked
        log(f"silent device: the box {waited:.1f} s after the identification frame")
        self.assertGreaterEqual(waited, REPLY_WAIT_S - 1, "the run gave up before its bound")
        self.session.screenshot("faults-silent-bound-box")
        self.assertEqual(len(self.session.tray_windows()), 1, "the tray icon while the box shows")
        # Released and closed before the box: the device has had its release sequence.
        self.assertEqual(simulator.received().hex(" "), (ID21 + RELEASE).hex(" "))
        run.answer(box, "Return")
        self.assertEqual(run.wait(RUN_LIMIT), 0)
        self.assertEqual(simulator.reports_printed(), 0)
        self.assertEqual(self.workspace.settings(), CONFIGURED.encode())

if __name__ == "__main__":
    unittest.main()
