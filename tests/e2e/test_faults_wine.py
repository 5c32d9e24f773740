"""Kestrelon.exe under Wine against faulty devices: the scenarios of fault_scenarios.py."""

import unittest

from fault_scenarios import RUN_LIMIT, FaultChecks, add_scenario_tests
from harness import BOX_TITLE, WineCase, require_isolation

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

    def answer_box(self, scenario, first, moment):
        box = first.wait_for_box(RUN_LIMIT)
        self.session.screenshot(f"faults-{scenario.name}-box")
        if moment == "box":
            self.second_copy(first, scenario.name)
        first.answer(box, self.BOX_ANSWERS[scenario.box])

    def assert_run_clean(self, scenario, run):
        self.assertFalse(run.main_window_seen, "the main window must never show")
        self.assertEqual(self.session.visible_windows(BOX_TITLE), [], "no box left behind")


add_scenario_tests(Faults, "wine")

if __name__ == "__main__":
    unittest.main()
