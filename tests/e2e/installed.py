"""What an install of Kestrelon leaves on a Wine prefix, and how the setup's end-to-end groups
judge it: the program folder with the zip's files, the settings folder, the shortcuts and where
they start, the daily task and its definition, the Add/Remove entry, the folders' rights.

Runs only inside scripts/isolated.sh, as harness.py says.
"""

import os
import sys
import zipfile
from pathlib import Path, PurePosixPath

from harness import required_path
from windows_files import read_shell_link, read_task_definition

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "resources"))
from check_binary import file_description  # noqa: E402  (the resource check's own reading)

# The setup's exit codes, as the guide's table gives them.
EXIT_CANCELLED, EXIT_BAD_OPTION, EXIT_RUNNING, EXIT_NOT_WRITTEN = 1, 2, 5, 6
EXIT_RIGHTS_NOT_SET, EXIT_FOLDER_REFUSED, EXIT_NO_DEVICE, EXIT_ANOTHER_SETUP = 7, 8, 9, 10

PROGRAM_FOLDER = r"C:\Program Files\Kestrelon"  # the defaults
SETTINGS_FOLDER = r"C:\Kestrelon"
UNINSTALLER = "Dezinstalare.exe"
TASK_DEFINITION = "Raport-Z-zilnic.xml"
REGISTERED_TASK = r"C:\windows\system32\tasks\Kestrelon Raport Z"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Kestrelon"
START_MENU = r"C:\ProgramData\Microsoft\Windows\Start Menu\Programs\Kestrelon"
DESKTOP_SHORTCUT = r"C:\users\Public\Desktop\Raport Z.lnk"
SHORTCUTS = {  # every shortcut, what it opens, and whether it starts in the settings folder
    DESKTOP_SHORTCUT: ("Kestrelon.exe", True),
    START_MENU + r"\Raport Z.lnk": ("Kestrelon.exe", True),
    START_MENU + r"\KestrelonScan.lnk": ("KestrelonScan.exe", True),
    # The documents, and the uninstaller that runs as administrator: in the program folder.
    START_MENU + r"\Ghid de utilizare.lnk": ("Ghid-utilizare.txt", False),
    START_MENU + r"\Instrucțiuni pe scurt.lnk": ("Instructiuni-pe-scurt.txt", False),
    START_MENU + r"\Dezinstalare.lnk": (UNINSTALLER, False),
}
KEEPER = "Folder-de-setari.txt"  # the setup's own file, which keeps the settings folder non-empty

# Both folders get rights of their own that give Everyone nothing (SYSTEM, Administrators and
# Users by name). Wine keeps no access list: it maps the one it is given onto the Unix mode, in
# which the folder then has no bits for others (a folder Wine makes has r-x).
NO_RIGHTS_FOR_OTHERS = 0o007


def release_files():
    """The files of the release zip, by name, with their bytes: the programs and the documents,
    which the setup installs beside its uninstaller and the task's definition."""
    with zipfile.ZipFile(required_path("KESTRELON_RELEASE_ZIP")) as archive:
        return {PurePosixPath(entry).name: archive.read(entry)
                for entry in archive.namelist() if not entry.endswith("/")}


class InstalledChecks:
    """For a WineCase whose session holds the prefix the setup ran in."""

    def path(self, windows_path):
        return self.session.unix_path(windows_path)

    def drive_c(self):
        """Every path on drive C: but the user's temporary folder, where the setup unpacks
        its helpers (Wine cannot delete a DLL that the setup still has loaded)."""
        root = self.path("C:\\")
        paths = (path.relative_to(root).parts for path in root.rglob("*"))
        return {"/".join(parts) for parts in paths if parts[:1] + parts[2:3] != ("users", "Temp")}

    def settings_files(self, folder=SETTINGS_FOLDER):
        """The settings folder's files but the setup's own."""
        folder = self.path(folder)
        return {name: (folder / name).read_bytes() for name in os.listdir(folder) if name != KEEPER}

    def assert_rights_of_its_own(self, folder):
        self.assertEqual(self.path(folder).stat().st_mode & NO_RIGHTS_FOR_OTHERS, 0, folder)

    def assert_installed(self, daily_time, program=PROGRAM_FOLDER, settings=SETTINGS_FOLDER):
        """Installed in those folders, with the daily task at DAILY_TIME (None: no task)."""
        folder = self.path(program)
        released = release_files()
        self.assertEqual(sorted(os.listdir(folder)),
                         sorted([*released, UNINSTALLER] + ([TASK_DEFINITION] if daily_time else [])))
        for name, data in released.items():
            self.assertEqual((folder / name).read_bytes(), data, f"{name} must be the zip's bytes")
        # Task Manager lists a running uninstaller by its description, as it lists the setup.
        description = file_description((folder / UNINSTALLER).read_bytes())
        self.assertTrue(description.startswith("Kestrelon - "), description)

        for shortcut, (opened, in_settings) in SHORTCUTS.items():
            self.assertEqual(read_shell_link(self.path(shortcut)),
                             (f"{program}\\{opened}", settings if in_settings else program),
                             shortcut)

        self.assertEqual(self.path(REGISTERED_TASK).exists(), daily_time is not None,
                         "the task is registered exactly when it is asked for")
        if daily_time:
            self.assert_task_definition(folder / TASK_DEFINITION, daily_time, program, settings)
        for made in [program, settings]:
            self.assert_rights_of_its_own(made)
        self.assertTrue((self.path(settings) / KEEPER).is_file())

        entry = self.session.registry_values(UNINSTALL_KEY)
        self.assertEqual(entry.pop("EstimatedSize")[0], "REG_DWORD")
        uninstaller = f"{program}\\{UNINSTALLER}"
        self.assertEqual(entry, {
            "DisplayName": ("REG_SZ", "Kestrelon"),
            "DisplayVersion": ("REG_SZ", "2.0.0.2"),
            "Publisher": ("REG_SZ", "Kestrelon"),
            "DisplayIcon": ("REG_SZ", f"{program}\\Kestrelon.exe"),
            "InstallLocation": ("REG_SZ", program),
            "UninstallString": ("REG_SZ", f'"{uninstaller}"'),
            "QuietUninstallString": ("REG_SZ", f'"{uninstaller}" /S _?={program}'),
            "NoModify": ("REG_DWORD", "0x1"),
            "NoRepair": ("REG_DWORD", "0x1"),
            "FolderSetari": ("REG_SZ", settings),
            **({"OraRaportZ": ("REG_SZ", daily_time)} if daily_time else {}),
        })

    def assert_task_definition(self, path, daily_time, program, settings):
        task = read_task_definition(path)
        self.assertEqual(task["Triggers/CalendarTrigger/StartBoundary"][-9:], f"T{daily_time}:00")
        expected = {
            "Triggers/CalendarTrigger/ScheduleByDay/DaysInterval": "1",
            "Actions/Exec/Command": f"{program}\\Kestrelon.exe",
            "Actions/Exec/WorkingDirectory": settings,
            "Principals/Principal/GroupId": "S-1-5-32-545",  # whoever of Users is logged on
            "Principals/Principal/RunLevel": "LeastPrivilege",
            "Settings/MultipleInstancesPolicy": "IgnoreNew",
            "Settings/StartWhenAvailable": "false",
            "Settings/WakeToRun": "true",  # a sleeping till is woken for it
            "Settings/ExecutionTimeLimit": "PT23H",  # a night's box stays until the morning
        }
        self.assertEqual({key: task.get(key) for key in expected}, expected)
        self.assertNotIn("Principals/Principal/UserId", task)  # no stored account or password

    def assert_uninstalled(self, settings=SETTINGS_FOLDER, program=PROGRAM_FOLDER):
        """Nothing left of the install but the settings folder and what is in it."""
        for left in [program, START_MENU, REGISTERED_TASK, *SHORTCUTS]:
            self.assertFalse(self.path(left).exists(), f"{left} must be gone")
        self.assertIsNone(self.session.registry_values(UNINSTALL_KEY))
        self.assertTrue((self.path(settings) / KEEPER).is_file(), "the settings folder stays")
