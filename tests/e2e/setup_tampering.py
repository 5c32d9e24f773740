"""What an ordinary user might do to the elevated setup, for the setup's end-to-end group: plant
a DLL where SYSTEM's setup unpacks its plug-ins, put a link in place of the settings folder or of
Kestrelon.ini, or swap the folder while the setup writes in it. None of it may reach anything.

Runs only inside scripts/isolated.sh, as harness.py says.
"""

import os
import shutil
import threading
from contextlib import suppress

from harness import SETTINGS_NAME, log, required_path, wait_until
from installed import EXIT_FOLDER_REFUSED, EXIT_NOT_WRITTEN, PROGRAM_FOLDER, SETTINGS_FOLDER

SETUP_LIMIT = 120  # a bound, not an expectation: a silent install takes about 2 s
SYSTEM_TEMP = r"C:\windows\temp"  # SYSTEM's: every user may create files in what is made there
# All we load: ours, and NSIS's (System.dll for the size the Add/Remove entry shows).
PLUG_INS = ["KestrelonSetup.dll", "UserInfo.dll", "nsExec.dll", "nsDialogs.dll", "System.dll"]


def on_drive_z(path):
    """A file of this machine as Wine names it (its drive Z: is the root)."""
    return "Z:" + str(path).replace("/", "\\")


class Tampering:
    """For a WineCase with InstalledChecks that has setup(NAME, *OPTIONS) and start(PROGRAM,
    *ARGUMENTS)."""

    def as_system(self, name, command_line):
        """A command line run with SYSTEM's temporary folder (Wine takes TEMP and TMP from the
        prefix: a batch file sets them), while a user's program puts a DLL under every plug-in's
        name in each folder made there as soon as it appears: none may ever be loaded."""
        batch = self.workspace.root / f"{name}.cmd"
        batch.write_text(f"@set TEMP={SYSTEM_TEMP}\r\n@set TMP={SYSTEM_TEMP}\r\n{command_line}\r\n"
                         "@exit /b %ERRORLEVEL%\r\n")
        planted = required_path("KESTRELON_PLANTED_PLUGIN").read_bytes()
        temp = self.path(SYSTEM_TEMP)
        seen, stop = set(os.listdir(temp)), threading.Event()

        def plant():
            while not stop.wait(0.001):
                for made in set(os.listdir(temp)) - seen:
                    seen.add(made)
                    for plug_in in PLUG_INS:
                        with suppress(OSError):  # not a folder, or gone
                            (temp / made / plug_in).write_bytes(planted)

        planter = threading.Thread(target=plant)
        planter.start()
        try:
            code = self.session.run_to_end(name, ["cmd", "/c", on_drive_z(batch)], SETUP_LIMIT,
                                           token="system")
        finally:
            stop.set()
            planter.join()
        log(f"{name} as SYSTEM: {command_line[:200]}: exit code {code}")
        self.assertFalse(self.path(r"C:\planted-plugin-loaded.txt").exists(), "planted, loaded")
        return code

    def check_a_swapped_settings_folder_is_refused(self):
        """A user who put a link to the program folder in place of the settings folder gets
        nothing from the next install: refused, the program folder as it was. Nor one who put a
        hard link in place of Kestrelon.ini."""
        settings = self.path(SETTINGS_FOLDER)
        aside = settings.with_name("Kestrelon-aside")
        installed = {path: path.read_bytes() for path in self.path(PROGRAM_FOLDER).iterdir()}
        settings.rename(aside)
        settings.symlink_to(self.path(PROGRAM_FOLDER), target_is_directory=True)
        try:
            self.assertEqual(self.setup("swapped", "/COM=COM5", "/PORT=9600"),
                             EXIT_FOLDER_REFUSED)
            self.assertEqual({path: path.read_bytes()
                              for path in self.path(PROGRAM_FOLDER).iterdir()}, installed)
            self.assert_rights_of_its_own(PROGRAM_FOLDER)
        finally:
            settings.unlink()
            aside.rename(settings)

        # Nor from a Kestrelon.ini that is a hard link to a file of somebody else's, which the
        # backup would copy into a file every user reads.
        # Nor does a .bak hard-linked to somebody's read-only file lose that attribute.
        others = self.path(r"C:\Altcuiva.txt")
        others.write_bytes(b"altcuiva")
        others.chmod(0o444)
        for name, linked in [(SETTINGS_NAME, self.path(PROGRAM_FOLDER) / "Kestrelon.exe"),
                             (SETTINGS_NAME + ".bak", others)]:
            ours = settings / name
            ours.rename(aside)
            os.link(linked, ours)
            try:
                self.assertEqual(self.setup("hard-link", "/COM=COM5", "/PORT=9600"),
                                 EXIT_FOLDER_REFUSED, name)
                self.assertFalse((settings / (SETTINGS_NAME + ".bak.tmp")).exists())
            finally:
                ours.unlink()
                aside.rename(ours)
        self.assertEqual((others.stat().st_mode & 0o777, others.read_bytes()),
                         (0o444, b"altcuiva"))
        others.unlink()

    def check_a_settings_folder_swapped_during_the_pin(self):
        """The settings folder renamed and a link to another folder put in its place while the
        setup writes Kestrelon.ini (a large one, whose backup takes a while): every write goes
        through the folder the setup checked and holds, none into the other folder. (Wine
        resolves a rename, and a removal, by the held folder's path as it was opened, so there
        the pin's last steps go astray, which the setup sees in the held folder: exit code 6,
        its temporaries left there, where Windows finishes the pin in the held folder.)"""
        settings = self.path(SETTINGS_FOLDER)
        aside = settings.with_name("Kestrelon-aside")
        other = self.path(r"C:\Altceva")
        other.mkdir()
        (other / SETTINGS_NAME).write_bytes(b"altceva")
        earlier = self.settings_files()
        large = b";" + b"x" * (64 << 20) + b"\r\n"
        (settings / SETTINGS_NAME).write_bytes(large)
        setup = self.start("setup", "/S", "/COM=COM6", "/PORT=9600")
        try:
            wait_until(lambda: (settings / (SETTINGS_NAME + ".bak.tmp")).exists(), SETUP_LIMIT,
                       "the setup to start the backup", interval=0.001)
            settings.rename(aside)
            settings.symlink_to(other, target_is_directory=True)
            self.assertTrue((aside / (SETTINGS_NAME + ".bak.tmp")).exists(),
                            "the swap must come before the pin ends")
            code = setup.wait(SETUP_LIMIT)
        finally:
            if settings.is_symlink():
                settings.unlink()
                aside.rename(settings)
        self.assertEqual({path.name: path.read_bytes() for path in other.iterdir()},
                         {SETTINGS_NAME: b"altceva"})
        # Done (0) only when the held folder shows the new file and no temporary is left.
        self.assertIn(code, (0, EXIT_NOT_WRITTEN))
        left = sorted(path.name for path in settings.glob("*.tmp"))
        self.assertEqual(((settings / SETTINGS_NAME).read_bytes(), left),
                         (b"com=COM6\r\nport=9600\r\n", []) if code == 0 else (large, left))
        for name in self.settings_files():
            (settings / name).unlink()
        for name, data in earlier.items():
            (settings / name).write_bytes(data)
        shutil.rmtree(other)
