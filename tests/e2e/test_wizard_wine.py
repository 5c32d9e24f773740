"""The setup's and the uninstaller's wizards under Wine, walked as a technician walks them: keys
and clicks on a private X display, every page kept as a screenshot
(e2e-artifacts/wizard-<walk>-<step>-<page>.png), each walk judged by what it leaves on the
disk, in the registry and the Task Scheduler, by its exit code and by what its devices heard.

The walks follow one another in one prefix, as on one till: cancelled on every page, installed
with Return on every page, uninstalled, refused and corrected on every page, installed again.
"""

import re
import shutil
import subprocess
import time
import unittest

from harness import Simulator, log, require_isolation, required_path, wait_until
from installed import (EXIT_ANOTHER_SETUP, EXIT_CANCELLED, PROGRAM_FOLDER, SETTINGS_FOLDER,
                       UNINSTALL_KEY, UNINSTALLER, InstalledChecks)
from wine_session import WineCase
from wizard import BACK, BOX_NO, BOX_YES, CANCEL, NEXT, PAGE_LIMIT, Wizard

require_isolation()

SETUP_TITLE = "Instalare Kestrelon"
UNINSTALL_TITLE = "Dezinstalare Kestrelon"
WELCOME = "Bine ați venit la instalarea programului Kestrelon"
PROGRAM = "Folderul programului"
SETTINGS = "Folderul de setări"
FISCAL = "Aparatul fiscal"
DAILY = "Raportul Z zilnic"
SUMMARY = "Gata de instalare"
FINISH = "Instalarea s-a terminat"
CONFIRM = "Dezinstalare Kestrelon"
UNINSTALLED = "Dezinstalare terminată"

POS_PROGRAM = r"C:\POS\Programe\Kestrelon"
POS_SETTINGS = r"C:\POS\Setari\Kestrelon"
ELSEWHERE = r"C:\Altundeva"

# The devices found, as the fiscal device's page lists them, and its last line, which saves
# nothing (or keeps the port pinned before).
VF3 = ["COM3, 115200 biți/s, VF12345678", "COM3, 9600 biți/s, VF12345678"]
OTHER4 = ["COM4, 115200 biți/s, AB12345678", "COM4, 9600 biți/s, AB12345678"]
VF5 = ["COM5, 115200 biți/s, VF87654321", "COM5, 9600 biți/s, VF87654321"]
DO_NOT_SAVE = "Nu salva niciun port"
KEEP_COM5 = "Nu salva alt port: Kestrelon.ini rămâne cu COM5, 9600 biți/s"
PINNED_COM3 = {"Kestrelon.ini": b"com=COM3\r\nport=115200\r\n"}
PINNED_COM5 = {"Kestrelon.ini": b"com=COM5\r\nport=9600\r\n"}

# What a device may hear from the setup: whole trials of the search, each the probe, perhaps the
# identification frame, then the release; never the report command, never a trial left open.
TRIALS = re.compile(rb"(\x09(\x02\x23[\x21-\xa0]\x60..\x0a)?\x18\x17\x04)*", re.S)

# Where on each page a person types, the daily page's checkbox, the fiscal device's page.
FIELDS = {
    "program": dict(cls="Edit"),
    "settings": dict(cls="Edit"),
    "time": dict(cls="Edit"),
    "daily": dict(cls="Button", text="^Tipărește"),
    "status": dict(cls="Static", id=1202),
    "devices": dict(cls="ListBox"),
    "search again": dict(cls="Button", text="^Caută din nou$"),
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
#   ("enabled", F, BOOL) whether field F can be used
#   ("focus", F)        field F takes the keys
#   ("reads", WORDS)    the page's text holds WORDS
#   ("escape",)         Esc, then "Da" in the question that follows
#   ("another setup", WORDS) a second setup started meanwhile, silent and not, ends with its own
#                       exit code, the second after a box whose words hold WORDS
#   ("box", WORDS[, B]) a box whose words hold WORDS; Return closes it (or a click on B)
#   ("open", PATH)      a folder made at PATH that every user may write in (Wine reads its mode)
#   ("device", COMS, ID) a simulator on COM port(s) COMS that identifies as ID (None: silent)
#   ("pinned", BYTES)   Kestrelon.ini of the walk's settings folder, as KestrelonScan left it
#   ("searched", LINES, N) the search has ended and lists LINES, line N selected
#   ("says", WORDS)     the fiscal device's page says WORDS of the search
#   ("pick", N)         line N of the list selected
#   ("search again",)   a click on "Caută din nou"
#   ("unheard", COM)    once the walk has ended, the device on COM heard nothing
# Then the exit code (None for the uninstaller, which goes on in a copy of itself and ends at
# once), and what the walk leaves: None (nothing changed on drive C: or in the registry), or
# ("installed", PROGRAM, SETTINGS, TIME or None, the settings folder's files), or
# ("uninstalled", SETTINGS).
START = [(WELCOME,), ("next",), (PROGRAM,)]
NONE_FOUND = [("searched", [DO_NOT_SAVE], 0), ("says", "Nu s-a găsit niciun aparat")]
TO_DAILY = START + [("next",), (SETTINGS,), ("next",), (FISCAL,), *NONE_FOUND, ("next",), (DAILY,)]
INSTALL = [("next",), (SUMMARY,), ("next",), (FINISH,), ("next",)]
WALKS = [
    ("cancel-welcome", "setup", [(WELCOME,), ("cancel",)], EXIT_CANCELLED, None),
    ("cancel-program", "setup", START + [("type", "program", POS_PROGRAM), ("cancel",)],
     EXIT_CANCELLED, None),
    ("cancel-settings", "setup",
     START + [("next",), (SETTINGS,), ("type", "settings", POS_SETTINGS), ("cancel",)],
     EXIT_CANCELLED, None),
    # Cancelled while it searches: the trial under way ends with its release, no other begins.
    ("cancel-fiscal-while-searching", "setup",
     START + [("next",), (SETTINGS,), ("device", range(3, 41), None),
              ("device", 41, "VF12345678"), ("next",), (FISCAL,), ("cancel",), ("unheard", 41)],
     EXIT_CANCELLED, None),
    ("cancel-daily", "setup", TO_DAILY + [("tick",), ("cancel",)], EXIT_CANCELLED, None),
    # Every value judged on its page, with a box that names it; nothing proposed that is refused.
    ("refused-where-typed", "setup", START + [
        ("focus", "program"), ("type", "program", r"POS\Kestrelon"), ("next",),
        ("box", r"„POS\Kestrelon” nu este calea completă"), (PROGRAM,),
        ("type", "program", r"\\server\share\Kestrelon"), ("next",),
        ("box", "nu este calea completă"), (PROGRAM,),
        ("type", "program", r"Q:\Kestrelon"), ("next",), ("box", "Discul Q: din"), (PROGRAM,),
        ("type", "program", "  C:/Kestrelon "), ("next",), (SETTINGS,), ("focus", "settings"),
        ("holds", "settings", r"C:\Kestrelon-Setari"),
        ("type", "settings", r"Q:\Kestrelon"), ("next",), ("box", "Discul Q: din"), (SETTINGS,),
        ("type", "settings", r"C:\Set%ari"), ("next",), ("box", "caracterul „%”"), (SETTINGS,),
        ("back",), (PROGRAM,), ("holds", "program", r"C:\Kestrelon"),
        ("another setup", "rulează deja"), ("cancel",)], EXIT_CANCELLED, None),
    ("escape-while-searching", "setup",
     START + [("next",), (SETTINGS,), ("device", range(3, 41), None), ("next",), (FISCAL,),
              ("escape",)], EXIT_CANCELLED, None),
    ("return-on-every-page", "setup",
     START + [("holds", "program", PROGRAM_FOLDER), ("next",), (SETTINGS,),
              ("holds", "settings", SETTINGS_FOLDER), ("device", 3, "VF12345678"),
              ("device", 4, "AB12345678"), ("next",), (FISCAL,),
              ("searched", VF3 + OTHER4 + [DO_NOT_SAVE], 0), ("next",), (DAILY,),
              ("ticked", False), *INSTALL],
     0, ("installed", PROGRAM_FOLDER, SETTINGS_FOLDER, None, PINNED_COM3)),
    ("uninstall-keeps-the-settings", "uninstaller",
     [(CONFIRM,), ("next",), (UNINSTALLED,), ("next",)], None, ("uninstalled", SETTINGS_FOLDER)),
    ("refused-then-corrected-back-keeps", "setup", START + [
        ("type", "program", r"C:\windows\system32"), ("next",), ("box", r"C:\windows\system32"),
        (PROGRAM,),
        ("type", "program", "C:\\"), ("next",), ("box", "„C:\\” este un disc întreg"), (PROGRAM,),
        ("type", "program", POS_PROGRAM), ("next",), (SETTINGS,),
        ("type", "settings", POS_PROGRAM + r"\Setari"), ("next",), ("box", "este folderul programului"),
        (SETTINGS,),
        ("open", r"C:\Setari-deschise"), ("type", "settings", r"C:\Setari-deschise"), ("next",),
        ("box", "utilizatorii obișnuiți pot crea sau schimba"), (SETTINGS,),
        ("type", "settings", POS_SETTINGS), ("next",), (FISCAL,), *NONE_FOUND, ("next",),
        (DAILY,), ("tick",), ("type", "time", "25:00"), ("next",), ("box", "HH:MM"), (DAILY,),
        ("type", "time", "21:30"), ("back",), (FISCAL,), ("searched", [DO_NOT_SAVE], 0),
        ("back",), (SETTINGS,), ("holds", "settings", POS_SETTINGS),
        ("back",), (PROGRAM,), ("holds", "program", POS_PROGRAM),
        ("next",), (SETTINGS,), ("next",), (FISCAL,), ("searched", [DO_NOT_SAVE], 0), ("next",),
        (DAILY,), ("ticked", True), ("holds", "time", "21:30"),
        *INSTALL], 0, ("installed", POS_PROGRAM, POS_SETTINGS, "21:30", {})),
    # A copy of the uninstaller elsewhere would otherwise remove the task and the shortcuts.
    ("uninstaller-elsewhere-touches-nothing", "elsewhere",
     [("box", "nu este programul de dezinstalare")], None, None),
    # The port KestrelonScan pinned since is proposed once its device answers; a device of
    # another kind is asked about; choosing to save nothing keeps the pin.
    ("reinstall-proposes-the-earlier", "setup", START + [
        ("holds", "program", POS_PROGRAM), ("next",), (SETTINGS,),
        ("holds", "settings", POS_SETTINGS), ("pinned", PINNED_COM5["Kestrelon.ini"]),
        ("device", 3, "VF12345678"), ("device", 4, "AB12345678"), ("next",), (FISCAL,),
        ("searched", VF3 + OTHER4 + [KEEP_COM5], 0),
        ("device", 5, "VF87654321"), ("search again",),
        ("searched", VF3 + OTHER4 + VF5 + [KEEP_COM5], 5),
        ("pick", 2), ("next",), ("box", "nu începe cu „VF”", BOX_NO), (FISCAL,),
        ("pick", 6), ("next",), (DAILY,), ("ticked", True), ("holds", "time", "21:30"),
        *INSTALL], 0, ("installed", POS_PROGRAM, POS_SETTINGS, "21:30", PINNED_COM5)),
    # Moved to the default program folder: the earlier one goes. The time only with its box.
    ("what-was-chosen-is-installed", "setup", START + [
        ("type", "program", PROGRAM_FOLDER), ("next",), (SETTINGS,), ("next",), (FISCAL,),
        ("searched", [KEEP_COM5], 0), ("next",), (DAILY,), ("focus", "daily"), ("tick",),
        ("enabled", "time", False), ("tick",), ("enabled", "time", True),
        ("type", "time", "7:05"), ("next",), (SUMMARY,), ("reads", "la ora 07:05"),
        ("reads", f"înainte în {POS_PROGRAM} se șterge"), ("next",), (FINISH,),
        ("reads", "COM5, 9600 biți/s"), ("next",)],
     0, ("installed", PROGRAM_FOLDER, POS_SETTINGS, "07:05", PINNED_COM5)),
]


class Walks(InstalledChecks, WineCase):
    PREFIX_NAME = "wizard-prefix"
    FRESH_PREFIX = True
    JUDGED = True

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        for earlier in cls.artifacts.glob("wizard-*.png"):  # only this run's pages are shown
            earlier.unlink()
        cls.session.start_task_scheduler()

    def start(self, name, program, *options):
        title = SETUP_TITLE if program == "setup" else UNINSTALL_TITLE
        if program == "setup":
            exe = required_path("KESTRELON_SETUP_EXE")
        else:
            exe = self.path(ELSEWHERE if program == "elsewhere" else self.installed_program)
            exe /= UNINSTALLER
        process = self.session.wine([exe, *options], "administrator", stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
        return Wizard(self.session, title, process, name, hands_over=program != "setup")

    def field(self, wizard, name):
        page = wizard.wizard()
        control = page.control(**FIELDS[name]) if page else None
        self.assertIsNotNone(control, f"no field {name} on {page.page if page else None!r}")
        return control

    def device(self, coms, identifier):
        simulator = Simulator(self.workspace.root, f"device-{len(self.devices)}",
                              device_id=identifier or "VF00000000", silent=identifier is None)
        self.devices.append(simulator.start())
        for com in coms if isinstance(coms, range) else [coms]:
            self.session.map_port(com, simulator)
            self.device_on[com] = simulator

    def searched(self, wizard):
        """The fiscal device's page once its search has ended."""
        page = wizard.wizard()
        ended = page and page.page == FISCAL and page.control(id=NEXT).enabled
        return page if ended and page.control(**FIELDS["devices"]).items else None

    def walk(self, wizard, steps, settings):
        unheard = []
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
            elif action == "enabled":
                self.assertEqual(self.field(wizard, step[1]).enabled, step[2], step)
            elif action == "focus":
                self.assertEqual(wizard.wizard().focus, self.field(wizard, step[1]).hwnd, step)
            elif action == "reads":
                texts = [c.text for c in wizard.wizard().controls_of("Static")]
                self.assertTrue(any(step[1] in text for text in texts), (step, texts))
            elif action == "escape":
                wizard.press("Escape")
                wizard.wait_box()
                wizard.answer_box(BOX_YES)
            elif action == "another setup":
                self.another_setup(wizard, step[1])
            elif action == "box":
                self.assertIn(step[1], wizard.wait_box(), step)
                wizard.answer_box(*step[2:])
            elif action == "open":
                self.path(step[1]).mkdir()
                self.path(step[1]).chmod(0o777)
            elif action == "device":
                self.device(step[1], step[2])
            elif action == "pinned":
                (self.path(settings) / "Kestrelon.ini").write_bytes(step[1])
            elif action == "searched":
                page = wait_until(lambda: self.searched(wizard), PAGE_LIMIT,
                                  f"{wizard.name}: the search to end", interval=0.2)
                log(f"{wizard.name}: the search ended in at most "
                    f"{time.monotonic() - wizard.page_seen:.1f} s")
                wizard.shot("found")
                lines, selected = zip(*page.control(**FIELDS["devices"]).items)
                self.assertEqual((list(lines), selected.index(True)), step[1:], step)
            elif action == "says":
                self.assertIn(step[1], self.field(wizard, "status").text, step)
            elif action == "pick":  # into the list, then to its line with the keys
                wizard.click(self.field(wizard, "devices"))
                for key in ["Home"] + ["Down"] * step[1]:
                    wizard.press(key)
                wait_until(lambda: self.field(wizard, "devices").items[step[1]][1], PAGE_LIMIT,
                           f"{wizard.name}: line {step[1]} to be selected")
            elif action == "search again":
                wizard.click(self.field(wizard, "search again"))
            elif action == "unheard":
                unheard.append(step[1])
            else:
                wizard.wait_page(action)
        return unheard

    def another_setup(self, wizard, words):
        """A second setup beside the wizard: refused, silent or with its box."""
        for silent in (["/S"], []):
            second = self.start(f"{wizard.name}-second", "setup", *silent)
            if not silent:
                self.assertIn(words, second.wait_box())
                second.answer_box()
            self.assertEqual(second.wait_end(), EXIT_ANOTHER_SETUP)

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
                self.devices, self.device_on = [], {}
                try:
                    settings = leaves[2] if leaves and leaves[0] == "installed" else None
                    unheard = self.walk(wizard, steps, settings)
                    code = wizard.wait_end()
                    if program == "setup":
                        self.assertEqual(code, exit_code)
                    else:  # it went on in a copy of itself
                        wizard.wait_copies_end()
                finally:
                    wizard.close()
                    for device in self.devices:
                        device.stop()
                    self.session.unmap_all()
                for device in self.devices:
                    self.assertTrue(TRIALS.fullmatch(device.received()), device.name)
                for com in unheard:
                    self.assertEqual(self.device_on[com].received(), b"", f"COM{com}")
                self.assert_leaves(leaves, before)
                if program == "elsewhere":
                    shutil.rmtree(self.path(ELSEWHERE))

    def assert_leaves(self, leaves, before):
        if leaves is None:
            self.assertEqual((self.drive_c(), self.session.registry_values(UNINSTALL_KEY)),
                             before, "nothing changed")
        elif leaves[0] == "installed":
            _, program, settings, daily_time, settings_files = leaves
            self.assert_installed(daily_time, program, settings)
            if self.installed_program not in (None, program):  # moved: one install stays
                self.assertFalse(self.path(self.installed_program).exists())
            self.assertEqual(self.settings_files(settings), settings_files)
            self.installed_program = program
        else:
            self.assert_uninstalled(settings=leaves[1])


if __name__ == "__main__":
    unittest.main()
