"""The setup's and the uninstaller's wizards under Wine, walked as a technician walks them: keys
and clicks on a private X display, every page kept as a screenshot
(e2e-artifacts/wizard-<walk>-<step>-<page>.png), each walk judged by what it leaves on the
disk, in the registry and the Task Scheduler, and by its exit code.

The walks follow one another in one prefix, as on one till: cancelled on every page, installed
with Return on every page, uninstalled, refused and corrected on every page, installed again.
"""

import shutil
import subprocess
import unittest

from harness import require_isolation, required_path
from installed import (PROGRAM_FOLDER, SETTINGS_FOLDER, UNINSTALL_KEY, UNINSTALLER,
                       InstalledChecks)
from wine_session import WineCase
from wizard import BACK, BOX_YES, CANCEL, Wizard

require_isolation()

SETUP_TITLE = "Instalare Kestrelon"
UNINSTALL_TITLE = "Dezinstalare Kestrelon"
WELCOME = "Bine ați venit la instalarea programului Kestrelon"
PROGRAM = "Folderul programului"
SETTINGS = "Folderul de setări"
DAILY = "Raportul Z zilnic"
FINISH = "Instalarea s-a terminat"
CONFIRM = "Dezinstalare Kestrelon"
UNINSTALLED = "Dezinstalare terminată"
EXIT_CANCELLED, EXIT_BAD_OPTION = 1, 2

POS_PROGRAM = r"C:\POS\Programe\Kestrelon"
POS_SETTINGS = r"C:\POS\Setari\Kestrelon"
ELSEWHERE = r"C:\Altundeva"

# Where on each page a person types, and the daily page's checkbox.
FIELDS = {
    "program": dict(id=1019),
    "settings": dict(cls="Edit"),
    "time": dict(cls="Edit"),
    "daily": dict(cls="Button", text="^Tipărește"),
}

# A walk: the program started ("setup"; "uninstaller", as the Start menu starts it; or a copy
# of it in another folder, "elsewhere"), then what the person does and sees, page by page:
#   (PAGE,)             the wizard shows that page (and its picture is kept)
#   ("next",)           Return: the page's default button
#   ("back",)           a click on "< Înapoi"
#   ("cancel",)         a click on "Anulare", then "Da" in the question that follows
#   ("type", F, TEXT)   into field F (FIELDS), replacing what it held
#   ("tick",)           a click on the daily report's checkbox
#   ("holds", F, TEXT)  field F holds TEXT (a proposal, or what was typed before Back)
#   ("ticked", BOOL)    the daily report's checkbox
#   ("box", WORDS)      a box whose words hold WORDS; Return closes it
# Then the exit code (None for the uninstaller, which goes on in a copy of itself and ends at
# once), and what the walk leaves: None (nothing changed on drive C: or in the registry), or
# ("installed", PROGRAM, SETTINGS, TIME or None), or ("uninstalled", SETTINGS).
START = [(WELCOME,), ("next",), (PROGRAM,)]
TO_DAILY = START + [("next",), (SETTINGS,), ("next",), (DAILY,)]
INSTALL = [("next",), (FINISH,), ("next",)]
WALKS = [
    ("cancel-welcome", "setup", [(WELCOME,), ("cancel",)], EXIT_CANCELLED, None),
    ("cancel-program", "setup", START + [("type", "program", POS_PROGRAM), ("cancel",)],
     EXIT_CANCELLED, None),
    ("cancel-settings", "setup",
     START + [("next",), (SETTINGS,), ("type", "settings", POS_SETTINGS), ("cancel",)],
     EXIT_CANCELLED, None),
    ("cancel-daily", "setup", TO_DAILY + [("tick",), ("cancel",)], EXIT_CANCELLED, None),
    ("return-on-every-page", "setup",
     START + [("holds", "program", PROGRAM_FOLDER), ("next",), (SETTINGS,),
              ("holds", "settings", SETTINGS_FOLDER), ("next",), (DAILY,), ("ticked", False),
              *INSTALL],
     0, ("installed", PROGRAM_FOLDER, SETTINGS_FOLDER, None)),
    ("uninstall-keeps-the-settings", "uninstaller",
     [(CONFIRM,), ("next",), (UNINSTALLED,), ("next",)], None, ("uninstalled", SETTINGS_FOLDER)),
    ("refused-then-corrected-back-keeps", "setup", START + [
        ("type", "program", r"C:\windows\system32"), ("next",), ("box", r"C:\windows\system32"),
        (PROGRAM,),
        ("type", "program", "C:\\"), ("next",), ("box", "calea completă"), (PROGRAM,),
        ("type", "program", POS_PROGRAM), ("next",), (SETTINGS,),
        ("type", "settings", POS_PROGRAM + r"\Setari"), ("next",), ("box", "Program Files"),
        (SETTINGS,),
        ("type", "settings", POS_SETTINGS), ("next",), (DAILY,),
        ("tick",), ("type", "time", "25:00"), ("next",), ("box", "HH:MM"), (DAILY,),
        ("type", "time", "21:30"), ("back",), (SETTINGS,), ("holds", "settings", POS_SETTINGS),
        ("back",), (PROGRAM,), ("holds", "program", POS_PROGRAM),
        ("next",), (SETTINGS,), ("next",), (DAILY,), ("ticked", True), ("holds", "time", "21:30"),
        *INSTALL], 0, ("installed", POS_PROGRAM, POS_SETTINGS, "21:30")),
    # A copy of the uninstaller elsewhere would otherwise remove the task and the shortcuts.
    ("uninstaller-elsewhere-touches-nothing", "elsewhere",
     [("box", "nu este programul de dezinstalare")], None, None),
    ("reinstall-proposes-the-earlier", "setup", START + [
        ("holds", "program", POS_PROGRAM), ("next",), (SETTINGS,),
        ("holds", "settings", POS_SETTINGS), ("next",), (DAILY,), ("ticked", True),
        ("holds", "time", "21:30"), *INSTALL], 0, ("installed", POS_PROGRAM, POS_SETTINGS, "21:30")),
]


class Walks(InstalledChecks, WineCase):
    PREFIX_NAME = "wizard-prefix"
    FRESH_PREFIX = True

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        for earlier in cls.artifacts.glob("wizard-*.png"):  # only this run's pages are shown
            earlier.unlink()
        cls.session.start_task_scheduler()

    def start(self, name, program):
        title = SETUP_TITLE if program == "setup" else UNINSTALL_TITLE
        if program == "setup":
            exe = required_path("KESTRELON_SETUP_EXE")
        else:
            exe = self.path(ELSEWHERE if program == "elsewhere" else self.installed_program)
            exe /= UNINSTALLER
        process = subprocess.Popen(["wine", str(exe)], env=self.session.env,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        return Wizard(self.session, title, process, name, hands_over=program != "setup")

    def field(self, wizard, name):
        page = wizard.wizard()
        control = page.control(**FIELDS[name]) if page else None
        self.assertIsNotNone(control, f"no field {name} on {page.page if page else None!r}")
        return control

    def walk(self, wizard, steps):
        for step in steps:
            action = step[0]
            if action == "next":
                wizard.press("Return")
            elif action == "back":
                wizard.button(BACK)
            elif action == "cancel":
                wizard.button(CANCEL)
                wizard.wait_box()
                wizard.answer_box(BOX_YES)
            elif action == "type":
                wizard.type_into(self.field(wizard, step[1]), step[2])
            elif action == "tick":
                wizard.click(self.field(wizard, "daily"))
            elif action == "holds":
                self.assertEqual(self.field(wizard, step[1]).text, step[2], step)
            elif action == "ticked":
                self.assertEqual(self.field(wizard, "daily").checked, step[1], step)
            elif action == "box":
                self.assertIn(step[1], wizard.wait_box(), step)
                wizard.answer_box()
            else:
                wizard.wait_page(action)

    def test_walks(self):
        self.installed_program = None
        for name, program, steps, exit_code, leaves in WALKS:
            with self.subTest(walk=name):
                if program == "elsewhere":
                    self.path(ELSEWHERE).mkdir()
                    shutil.copy(self.path(self.installed_program) / UNINSTALLER,
                                self.path(ELSEWHERE))
                before = (self.drive_c(), self.session.registry_values(UNINSTALL_KEY))
                wizard = self.start(name, program)
                try:
                    self.walk(wizard, steps)
                    code = wizard.wait_end()
                    if program == "setup":
                        self.assertEqual(code, exit_code)
                    else:  # it went on in a copy of itself
                        wizard.wait_copies_end()
                finally:
                    wizard.close()
                self.assert_leaves(leaves, before)
                if program == "elsewhere":
                    shutil.rmtree(self.path(ELSEWHERE))

    def assert_leaves(self, leaves, before):
        if leaves is None:
            self.assertEqual((self.drive_c(), self.session.registry_values(UNINSTALL_KEY)),
                             before, "nothing changed")
        elif leaves[0] == "installed":
            _, program, settings, daily_time = leaves
            self.assert_installed(daily_time, program, settings)
            self.installed_program = program
        else:
            self.assert_uninstalled(settings=leaves[1])


if __name__ == "__main__":
    unittest.main()
