"""The setup program under Wine, in a prefix made anew: a silent install, the installed program
started as its desktop shortcut starts it, a reinstall, the uninstall; and the command lines it
refuses."""

import os
import shutil
import subprocess
import unittest
from pathlib import Path

from harness import (CONFIGURED_AND_PRINTED, DEFAULT_SETTINGS, PROBE, RELEASE, SETTINGS_NAME,
                     end_process, identification_frame, log, processes_holding,
                     require_isolation, required_path, wait_until, write_protected)
from installed import (DESKTOP_SHORTCUT, EXIT_BAD_OPTION, EXIT_FOLDER_REFUSED, EXIT_NO_DEVICE,
                       EXIT_NOT_WRITTEN, EXIT_RIGHTS_NOT_SET, EXIT_RUNNING, PROGRAM_FOLDER,
                       REGISTERED_TASK, SETTINGS_FOLDER, SHORTCUTS, START_MENU, UNINSTALL_KEY,
                       UNINSTALLER, InstalledChecks, release_files)
from rights.access import SHOP_USER
from setup_tampering import SETUP_LIMIT, Tampering, on_drive_z
from windows_files import read_shell_link
from wine_session import WineCase

require_isolation()

# Bounds, not expectations: a configured run takes about 1 s.
RUN_LIMIT = 60
BOX_LIMIT = 60

SESSION_MANAGER = r"HKLM\SYSTEM\CurrentControlSet\Control\Session Manager"
PINNED = b"com=COM5\r\nport=115200\r\n"
DAILY_TIME = "21:30"

# Command lines refused, nothing installed: with EXIT_BAD_OPTION, or EXIT_FOLDER_REFUSED for
# a folder that exists and is not the setup's to take. Each has one fault; the Windows
# version is Wine's own unless named.
REFUSED = [
    (["/COM=X", "/PORT=9600"], None, EXIT_BAD_OPTION),
    (["/COM=COM257", "/PORT=9600"], None, EXIT_BAD_OPTION),
    (["/COM=COM05", "/PORT=9600"], None, EXIT_BAD_OPTION),
    (["/COM=COM5", "/PORT=12a"], None, EXIT_BAD_OPTION),
    (["/COM=COM5", "/PORT=0"], None, EXIT_BAD_OPTION),
    (["/COM=COM5"], None, EXIT_BAD_OPTION),  # without /PORT
    (["/COM=AUTO", "/PORT=9600"], None, EXIT_BAD_OPTION),  # the search finds the speed
    (["/ORA=25:00"], None, EXIT_BAD_OPTION),
    (["/ORA=7:60"], None, EXIT_BAD_OPTION),
    ([r"/SETARI=C:\Program Files\Kestrelon\Setari"], None, EXIT_BAD_OPTION),  # in the programs'
    ([r"/SETARI=C:\Kestrelon", r"/D=C:\Kestrelon\Programe"], None, EXIT_BAD_OPTION),  # in it
    ([r"/SETARI=C:\Program Files"], None, EXIT_BAD_OPTION),
    (["/SETARI=C:\\"], None, EXIT_BAD_OPTION),  # a whole drive
    (["/SETARI=Setari"], None, EXIT_BAD_OPTION),  # not a whole path
    ([r"/SETARI=Q:\Kestrelon"], None, EXIT_BAD_OPTION),  # no such drive
    ([r"/SETARI=C:\Set%ari%"], None, EXIT_BAD_OPTION),  # the task would read a variable
    ([r"/D=Programe\Kestrelon"], None, EXIT_BAD_OPTION),  # NSIS would take its default
    (["/D=C:\\"], None, EXIT_BAD_OPTION),
    (["/ORE=22:00"], None, EXIT_BAD_OPTION),  # a mistyped option
    (["/s", "/ORE=22:00"], None, EXIT_BAD_OPTION),  # silent all the same: no box waits
    ([r"/D=C:\ProgK", "/S"], None, EXIT_BAD_OPTION),  # /S after /D=: silent, no box waits
    # Longer than NSIS keeps: cut, it would install in C:\Setari.
    (["/COM=COM3", "/PORT=115200", "/SETARI=C:\\Setari" + " " * 1000 + "Kestrelon"], None,
     EXIT_BAD_OPTION),
    (["/ORA=22:00"], "winxp", EXIT_BAD_OPTION),  # no daily task on Windows XP
    ([r"/SETARI=C:\users\Public"], None, EXIT_FOLDER_REFUSED),  # others' files: not ours
    ([r"/D=C:\windows\system32"], None, EXIT_FOLDER_REFUSED),
    # Both folders are looked at before either is changed: the new settings folder is not made.
    ([r"/SETARI=C:\Setari-Noi", r"/D=C:\windows\system32"], None, EXIT_FOLDER_REFUSED),
    # On the way, a folder every user may rename (Wine reads its mode as Everyone's rights).
    ([r"/D=C:\Deschis\Kestrelon"], None, EXIT_FOLDER_REFUSED),
    ([r"/SETARI=C:\Deschis\Setari"], None, EXIT_FOLDER_REFUSED),
    # The folder itself, every user's to write in, with only files of ours: nor is it changed.
    ([r"/D=C:\Deschis"], None, EXIT_FOLDER_REFUSED),
    ([r"/SETARI=C:\Setari-deschise"], None, EXIT_FOLDER_REFUSED),
]
# Exit codes after which nothing was installed, and every owner and list is as it was found.
INSTALLS_NOTHING = {EXIT_BAD_OPTION, EXIT_RUNNING, EXIT_RIGHTS_NOT_SET, EXIT_FOLDER_REFUSED}

# Folders found where the setup is pointed, with their files, each standing for one on Windows
# (the descriptor the judge is told, where it matters), and a file of theirs that cannot be
# given the setup's rights (immutable here): the install stops with EXIT_RIGHTS_NOT_SET, and
# gives back the owners (SYSTEM's too) and lists of the folders and of every file it took.
ADMINS = "O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"
SYSTEMS = "O:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"
LOCKED_OUT = f"O:{SHOP_USER}D:P(A;;FA;;;{SHOP_USER})"  # a user's own, made anew
GIVEN_BACK = [
    # (what it stands for, settings folder, program folder, what is found, the file that fails)
    ("SYSTEM's settings folder taken, then the program folder refused",
     r"C:\Setari-sistem", r"C:\Program-vechi",
     {r"C:\Setari-sistem": SYSTEMS, r"C:\Setari-sistem\Kestrelon.ini": None,
      r"C:\Program-vechi": ADMINS, r"C:\Program-vechi\Kestrelon.exe": None},
     r"C:\Program-vechi\Kestrelon.exe"),
    ("a user's Kestrelon.ini that locks the administrators out, whose rights cannot be set",
     r"C:\Setari-blocate", r"C:\Program-nou",
     {r"C:\Setari-blocate": ADMINS, r"C:\Setari-blocate\Kestrelon.ini": LOCKED_OUT},
     r"C:\Setari-blocate\Kestrelon.ini"),
]


def working_folder(pid):
    """The working folder of a process, or None when it has ended."""
    try:
        return os.readlink(f"/proc/{pid}/cwd")
    except OSError:
        return None


class Setup(Tampering, InstalledChecks, WineCase):
    PREFIX_NAME = "setup-prefix"
    FRESH_PREFIX = True
    JUDGED = True

    def process_running(self, name):
        """The id of a process of this group's prefix whose command line names NAME, or None: a
        suite run beside this one starts the same programs."""
        prefix = f"WINEPREFIX={self.session.prefix}".encode()
        for process in Path("/proc").glob("[0-9]*"):
            try:
                if (name.encode() in (process / "cmdline").read_bytes().replace(b"\0", b" ")
                        and prefix in (process / "environ").read_bytes().split(b"\0")):
                    return int(process.name)
            except OSError:  # gone meanwhile
                pass
        return None

    def setUp(self):
        super().setUp()
        self.setup_exe = required_path("KESTRELON_SETUP_EXE")

    def setup(self, name, *options, exe=None, installs_nothing=False, traced=False):
        """The setup run to its end; when it installed nothing (by its exit code, or as the
        caller says), every owner and list on drive C: is as the judge found them before.
        TRACED: Wine's trace of its file calls in its log."""
        silent = [] if {"/s", "/S"} & set(options) else ["/S"]
        self.session.judge.boundary()
        before = self.session.judge.security(["C:\\"])
        code = self.session.run_to_end(f"setup-{name}", [exe or self.setup_exe, *silent, *options],
                                       SETUP_LIMIT, token="administrator",
                                       env={"WINEDEBUG": "trace+file"} if traced else None)
        log(f"setup {' '.join(options)[:200]}: exit code {code}")
        if code in INSTALLS_NOTHING or installs_nothing:
            self.assertEqual(self.session.judge.changed_since(before), [],
                             f"{name}: owners and lists not as found")
        return code

    def start(self, program, *arguments):
        """A Windows program started in the background: the setup, or one of Wine's own."""
        token = "administrator" if program == "setup" else None
        program = str(self.setup_exe) if program == "setup" else program
        return self.session.wine([program, *arguments], token, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)

    def test_refused_options_install_nothing(self):
        # Every user's to write in, with only files of ours.
        open_to_everyone = {r"C:\Deschis": release_files(), r"C:\Setari-deschise": [SETTINGS_NAME]}
        for folder, names in open_to_everyone.items():
            self.path(folder).mkdir()
            self.path(folder).chmod(0o777)
            for name in names:
                (self.path(folder) / name).write_bytes(b"ours")
        entry = self.session.registry_values(UNINSTALL_KEY)
        for row, (options, windows, refusal) in enumerate(REFUSED):
            with self.subTest(options=options[-3:], windows=windows):
                before = self.drive_c()
                exe = self.setup_exe
                if windows:
                    exe = self.workspace.root / f"setup-{windows}.exe"
                    shutil.copy(self.setup_exe, exe)
                    self.session.set_windows_version(exe.name, windows)
                self.assertEqual(self.setup(f"refused-{row}", *options, exe=exe), refusal)
                self.assertEqual(self.drive_c() - before, set())
        self.assertEqual(self.session.registry_values(UNINSTALL_KEY), entry)
        for folder in open_to_everyone:
            self.assertEqual(self.path(folder).stat().st_mode & 0o777, 0o777, folder)

    def test_install_run_reinstall_uninstall(self):
        self.session.start_task_scheduler()
        settings = self.path(SETTINGS_FOLDER)
        settings.mkdir()
        (settings / SETTINGS_NAME).write_bytes(DEFAULT_SETTINGS)  # left by the zip's program

        # A Kestrelon.ini that cannot even be given the setup's rights (immutable here):
        # nothing is installed, and the file and an earlier backup stay as they were.
        earlier_backup = b"com=COM2\r\nport=4800\r\n"
        (settings / (SETTINGS_NAME + ".bak")).write_bytes(earlier_backup)
        with write_protected(settings / SETTINGS_NAME):
            self.assertEqual(self.setup("not-written", "/COM=COM5", "/PORT=115200"),
                             EXIT_RIGHTS_NOT_SET)
        self.assertEqual(self.settings_files(), {SETTINGS_NAME: DEFAULT_SETTINGS,
                                                 SETTINGS_NAME + ".bak": earlier_backup})
        self.assertFalse(self.path(PROGRAM_FOLDER).exists())

        self.assertEqual(self.as_system("install", f"{on_drive_z(self.setup_exe)} /S /COM=com5 "
                                        f"/PORT=115200 /ORA={DAILY_TIME}"), 0)
        self.assert_installed(DAILY_TIME)
        self.assertEqual(self.settings_files(), {SETTINGS_NAME: PINNED,
                                                 SETTINGS_NAME + ".bak": DEFAULT_SETTINGS})

        # Kestrelon.exe started as the desktop shortcut starts it goes straight to the pinned
        # port: the device on another port hears nothing.
        target, working_folder = read_shell_link(self.path(DESKTOP_SHORTCUT))
        pinned = self.simulator(5)
        other = self.simulator(3)
        run = self.launch("shortcut-run", self.path(working_folder), exe=target)
        self.assertEqual(run.wait(RUN_LIMIT), 0)
        self.assertEqual(pinned.received(), CONFIGURED_AND_PRINTED)
        self.assertEqual(pinned.reports_printed(), 1)
        self.assertEqual(other.received(), b"")

        self.check_nothing_changes_while_kestrelon_runs(target, working_folder)
        self.check_the_shop_user_in_the_installed_folders()

        # The same pin again writes nothing: the backup keeps the settings from before.
        self.assertEqual(self.setup("same-pin", "/COM=COM5", "/PORT=115200"), 0)
        self.assertEqual(self.settings_files(), {SETTINGS_NAME: PINNED,
                                                 SETTINGS_NAME + ".bak": DEFAULT_SETTINGS})

        self.check_the_device_found_is_pinned()
        self.check_a_swapped_settings_folder_is_refused()
        self.check_a_settings_folder_swapped_during_the_pin()

        # A reinstall without /COM keeps the settings, and the daily task at its time. The
        # shortcuts start in the settings folder, which is never the setup's own current folder.
        self.assertEqual(self.setup("reinstall", traced=True), 0)
        self.assertNotIn(SETTINGS_FOLDER.lower(), self.current_folders("reinstall"))
        self.assert_installed(DAILY_TIME)
        self.assertEqual(self.settings_files(), {SETTINGS_NAME: PINNED,
                                                 SETTINGS_NAME + ".bak": DEFAULT_SETTINGS})

        self.check_the_uninstall_agrees_with_the_task()

        # A file it cannot remove is no success: exit code 6, the uninstaller and the entry kept
        # to try again.
        with write_protected(self.path(PROGRAM_FOLDER) / "Kestrelon.exe"):
            self.assertEqual(self.uninstall_in_place("uninstall-blocked"), EXIT_NOT_WRITTEN)
        self.assertEqual(sorted(os.listdir(self.path(PROGRAM_FOLDER))),
                         sorted(["Kestrelon.exe", UNINSTALLER]))
        self.assertIsNotNone(self.session.registry_values(UNINSTALL_KEY))

        # A fleet's tool, as SYSTEM, runs the entry's silent command: the uninstaller in place.
        quiet = self.session.registry_values(UNINSTALL_KEY)["QuietUninstallString"][1]
        self.assertEqual(self.as_system("uninstall", quiet), 0)
        self.assertIsNone(self.session.registry_values(UNINSTALL_KEY))
        # In place, its own running file goes at the next restart, and the folder with it.
        self.assertEqual(os.listdir(self.path(PROGRAM_FOLDER)), [UNINSTALLER])
        self.assertIn(f"{PROGRAM_FOLDER}\\{UNINSTALLER}", self.removals_at_restart())
        for left in [START_MENU, REGISTERED_TASK, *SHORTCUTS]:
            self.assertFalse(self.path(left).exists(), f"{left} must be gone")
        self.assertEqual(self.settings_files(), {SETTINGS_NAME: PINNED,
                                                 SETTINGS_NAME + ".bak": DEFAULT_SETTINGS})

    def check_the_shop_user_in_the_installed_folders(self):
        """As the shop's user, started from the installed shortcuts: KestrelonScan pins another
        device in the settings folder (its temporary, the backup); Kestrelon.exe with no
        Kestrelon.ini makes the default one, finds the device and prints."""
        earlier = self.settings_files()
        device = self.simulator(7)
        scan_exe, folder = read_shell_link(self.path(START_MENU + r"\KestrelonScan.lnk"))
        scan = self.launch("scan-installed", self.path(folder), exe=scan_exe)
        for answer in ("alt+y", "Return"):  # pin it; what was written
            scan.answer(scan.wait_for_box(BOX_LIMIT, title="^Kestrelon$"), answer,
                        title="^Kestrelon$")
        self.assertEqual(scan.wait(RUN_LIMIT), 0)
        self.assertEqual(self.settings_files(), {SETTINGS_NAME: b"com=COM7\r\nport=115200\r\n",
                                                 SETTINGS_NAME + ".bak": earlier[SETTINGS_NAME]})
        (self.path(folder) / SETTINGS_NAME).unlink()
        run_exe, folder = read_shell_link(self.path(DESKTOP_SHORTCUT))
        self.assertEqual(self.launch("default-settings", self.path(folder), exe=run_exe)
                         .wait(RUN_LIMIT), 0)
        self.assertEqual(self.settings_files()[SETTINGS_NAME], DEFAULT_SETTINGS)
        self.assertEqual(device.reports_printed(), 1)
        device.stop()
        self.session.unmap_all()
        for name in self.settings_files():
            (self.path(folder) / name).unlink()
        for name, data in earlier.items():
            (self.path(folder) / name).write_bytes(data)

    def check_the_device_found_is_pinned(self):
        """/COM=AUTO: no device, nothing pinned, its own exit code; the device and one of another
        kind on a lower port: the device pinned, found as KestrelonScan finds it, no report."""
        earlier = self.settings_files()
        self.assertEqual(self.setup("search-none", "/COM=AUTO"), EXIT_NO_DEVICE)
        self.assert_installed(DAILY_TIME)
        self.assertEqual(self.settings_files(), earlier)

        # A copy from the zip, its box open, holds the programs' guard: it keeps nothing from the
        # search, which judges no name anyone may hold.
        portable = self.workspace.root / "portable"
        portable.mkdir()
        (portable / SETTINGS_NAME).write_bytes(b"com=COM250\r\nport=9600\r\n")
        run = self.launch("portable-box", portable, exe=required_path("KESTRELON_EXE"))
        box = run.wait_for_box(BOX_LIMIT)
        other, device = self.simulator(4, device_id="AB12345678"), self.simulator(6)
        self.assertEqual(self.setup("search-found", "/com=auto"), 0)
        run.answer(box, "Return")
        self.assertEqual(run.wait(RUN_LIMIT), 0)
        self.assertEqual(self.settings_files(), {SETTINGS_NAME: b"com=COM6\r\nport=115200\r\n",
                                                 SETTINGS_NAME + ".bak": PINNED})
        self.assertEqual(other.reports_printed(), 0)
        self.assertEqual(device.received(), PROBE + identification_frame(0x23) + RELEASE +
                         PROBE + identification_frame(0x24) + RELEASE)  # after COM4's two
        for name, data in earlier.items():
            (self.path(SETTINGS_FOLDER) / name).write_bytes(data)

    def current_folders(self, name):
        """The folders a traced setup made its current folder, lower-cased, as one text."""
        log_file = self.session.artifacts / f"setup-{name}.wine.log"
        lines = log_file.read_text(errors="replace").splitlines()
        return "\n".join(line.lower().replace("\\\\", "\\") for line in lines
                         if "RtlSetCurrentDirectory_U" in line)

    def removals_at_restart(self):
        """What Windows is told to remove at the next restart, as one text ("" for nothing:
        the value goes with its last entry)."""
        pending = self.session.registry_values(SESSION_MANAGER).get("PendingFileRenameOperations")
        return pending[1] if pending else ""

    def test_nested_folders_held_file_blocked_shortcuts(self):
        """Folders made on the way to /D and /SETARI get the program folder's rights; schtasks
        starts in the program folder; a file of the earlier install held open is never written
        into; shortcuts that cannot be made are no success."""
        programs, settings = r"C:\POS\Programe\Kestrelon", r"C:\POS\Setari\Kestrelon"
        options = [f"/SETARI={settings}", f"/D={programs}"]
        start_menu = self.path(START_MENU).parent
        with write_protected(start_menu):
            self.assertEqual(self.setup("shortcuts-blocked", *options), EXIT_NOT_WRITTEN)

        # A stand-in for schtasks.exe (a copy of Kestrelon.exe, which stays until it is ended):
        # where it was started is where the setup runs what it runs as administrator.
        schtasks = self.path(r"C:\windows\system32\schtasks.exe")
        real = schtasks.read_bytes()
        shutil.copy(required_path("KESTRELON_EXE"), schtasks)
        task_file = "Programe\\Kestrelon\\Raport-Z-zilnic.xml"  # on its command line only
        setup = self.start("setup", "/S", "/ORA=22:00", *options)
        try:
            stand_in = wait_until(lambda: self.process_running(task_file), SETUP_LIMIT,
                                  "the setup to start schtasks.exe")
            # Wine moves a new process to its working folder as it starts.
            wait_until(lambda: working_folder(stand_in) == str(self.path(programs)),
                       RUN_LIMIT, "schtasks.exe to run in the program folder")
        finally:
            if self.process_running(task_file):
                os.kill(self.process_running(task_file), 9)
            setup.wait(SETUP_LIMIT)
            schtasks.write_bytes(real)
        (self.path(programs) / SETTINGS_NAME).unlink(missing_ok=True)  # the stand-in's
        for made in [r"C:\POS", r"C:\POS\Programe", r"C:\POS\Setari"]:
            self.assert_rights_of_its_own(made)

        guide = self.path(programs) / "Ghid-utilizare.txt"
        with open(guide, "ab") as marked:
            marked.write(b"held")
        inode = guide.stat().st_ino
        # A program's redirected input is held open, without sharing its deletion, while it runs
        # (Wine's cmd takes the file's name unquoted only).
        hold = f"ping -n 60 127.0.0.1 < {programs}\\Ghid-utilizare.txt"
        held = self.start("cmd", "/c", hold)
        try:
            # Held by a Wine program, or by the wineserver for it.
            wait_until(lambda: processes_holding(guide), SETUP_LIMIT,
                       "cmd to hold the guide open")
            # Stopped before anything is written: no pin, every right as it was.
            pinned = self.settings_files(settings)
            self.assertEqual(self.setup("held-file", "/COM=COM5", "/PORT=115200", *options,
                                        installs_nothing=True), EXIT_NOT_WRITTEN)
            self.assertEqual(self.settings_files(settings), pinned)
        finally:
            end_process(held, timeout=30)
            ping = self.process_running("ping -n 60")  # cmd's child, which holds the file
            if ping:
                os.kill(ping, 9)
            wait_until(lambda: not processes_holding(guide), SETUP_LIMIT,
                       "the guide to be let go")
        if guide.exists() and guide.stat().st_ino == inode:
            self.assertTrue(guide.read_bytes().endswith(b"held"), "never rewritten in place")

        # The real task this time, made and removed in the nested folders.
        self.session.start_task_scheduler()
        self.assertEqual(self.setup("nested-task", "/ORA=22:00", *options), 0)
        # The folder spelled otherwise after _?= is the same folder: uninstalled in place.
        self.assertEqual(self.uninstall_in_place("uninstall-nested",
                                                 programs.replace("\\", "\\\\", 2)), 0)
        self.assertFalse(self.path(REGISTERED_TASK).exists())
        # Installed again before the restart: the restart no longer takes the new uninstaller.
        self.assertIn(programs, self.removals_at_restart())
        self.assertEqual(self.setup("before-restart", *options), 0)
        self.assertNotIn(programs, self.removals_at_restart())
        # Moved to another program folder: one install stays, nothing of the earlier one (its
        # folder too, unless something else holds it open).
        moved = r"C:\Programe-Kestrelon"  # Wine would quote a /D= with a space
        self.assertEqual(self.setup("moved", options[0], f"/D={moved}"), 0)
        self.assert_installed(None, moved, r"C:\POS\Setari\Kestrelon")
        self.assertEqual(list(self.path(programs).glob("*")), [])

    def test_refused_installs_give_everything_back(self):
        for what, settings, program, found, failing in GIVEN_BACK:
            with self.subTest(what):
                for path, descriptor in found.items():
                    made = self.path(path)
                    made.mkdir() if path in (settings, program) else made.write_bytes(b"ours")
                    if descriptor:
                        self.session.judge.declare(path, descriptor)
                before = self.drive_c()
                with write_protected(self.path(failing)):
                    self.assertEqual(self.setup(f"given-back-{settings[3:]}", f"/SETARI={settings}",
                                                f"/D={program}"), EXIT_RIGHTS_NOT_SET)
                self.assertEqual(self.drive_c(), before)
                for folder in (settings, program):
                    shutil.rmtree(self.path(folder), ignore_errors=True)

    def test_full_disk_leaves_the_settings_as_they_were(self):
        """/COM on a full disk (a small tmpfs as drive E:): no Kestrelon.ini left empty, the
        backup of an earlier one as it was, no temporary file, nothing installed, not even the
        folders made on the way to the program folder."""
        disk = self.workspace.root / "full-disk"
        disk.mkdir()
        # A drive's root as Windows makes it: not every user's to change (the default 1777 is).
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k,mode=755", "tmpfs", str(disk)], check=True,
                       timeout=10)
        drive = self.session.prefix / "dosdevices" / "e:"
        try:
            drive.symlink_to(disk)
            folder = disk / "Setari"
            folder.mkdir()
            before = {SETTINGS_NAME + ".bak": b"com=COM2\r\nport=4800\r\n"}
            for name, data in before.items():
                (folder / name).write_bytes(data)
            filler = os.open(disk / "filler", os.O_WRONLY | os.O_CREAT)
            try:
                while os.write(filler, b"\0" * 4096):
                    pass
            except OSError:
                pass  # full
            finally:
                os.close(filler)
            self.assertEqual(self.setup("full-disk", "/COM=COM5", "/PORT=115200",
                                        r"/SETARI=E:\Setari", r"/D=C:\Pe\Drum\Kestrelon"),
                             EXIT_NOT_WRITTEN)
            self.assertEqual({name: (folder / name).read_bytes() for name in os.listdir(folder)},
                             before)
            self.assertFalse(self.path(r"C:\Pe").exists(), "nor the folders made on the way")
        finally:
            if drive.is_symlink():
                drive.unlink()
            subprocess.run(["umount", "-l", str(disk)], check=True, timeout=10)

    def uninstall_in_place(self, name, folder=PROGRAM_FOLDER):
        """The uninstaller run in place, as the entry's silent command runs it, to its end: the
        program folder after "_?=", which NSIS reads raw to the end of the command line (so its
        words go as separate arguments, unquoted)."""
        in_place = f"_?={folder}".split(" ")
        return self.session.run_to_end(name, [self.path(folder) / UNINSTALLER, "/S", *in_place],
                                       SETUP_LIMIT, token="administrator")

    def check_the_uninstall_agrees_with_the_task(self):
        """A task that cannot be removed stops the uninstall before anything is removed; a copy
        of the uninstaller started elsewhere removes nothing; a task already removed by hand is
        no failure, and its record goes."""
        # The scheduler keeps a task as a file; one it cannot delete (a folder in its place,
        # here: Wine reports no failure to delete a file) makes it refuse.
        task = self.path(REGISTERED_TASK)
        aside = task.with_name("aside")
        task.rename(aside)
        (task / "held").mkdir(parents=True)
        installed = self.drive_c()
        try:
            self.assertEqual(self.uninstall_in_place("uninstall-task-kept"), EXIT_NOT_WRITTEN)
            self.assertEqual(self.drive_c(), installed)
        finally:
            shutil.rmtree(task)
            aside.rename(task)
        self.assert_installed(DAILY_TIME)
        installed = self.drive_c()
        # Nor one the scheduler says it removed but still finds (its file cannot be deleted).
        with write_protected(task):
            self.assertEqual(self.uninstall_in_place("uninstall-task-stays"), EXIT_NOT_WRITTEN)
        self.assertEqual(self.drive_c(), installed)
        self.assert_installed(DAILY_TIME)

        elsewhere = self.path(r"C:\Altundeva")
        elsewhere.mkdir()
        shutil.copy(self.path(PROGRAM_FOLDER) / UNINSTALLER, elsewhere)
        self.assertEqual(self.session.run_to_end(
            "uninstall-elsewhere", [elsewhere / UNINSTALLER, "/S", r"_?=C:\Altundeva"],
            SETUP_LIMIT, token="administrator"), EXIT_BAD_OPTION)
        shutil.rmtree(elsewhere)
        self.assertEqual(self.drive_c(), installed)

        self.session.run_to_end("schtasks-delete", ["schtasks", "/delete", "/f", "/tn",
                                                    "Kestrelon Raport Z"], SETUP_LIMIT)
        self.assertFalse(self.path(REGISTERED_TASK).exists())
        self.assertEqual(self.uninstall_in_place("uninstall-task-gone"), 0)
        self.assertIsNone(self.session.registry_values(UNINSTALL_KEY))
        self.assertEqual(self.setup("reinstall-after", f"/ORA={DAILY_TIME}"), 0)

    def check_nothing_changes_while_kestrelon_runs(self, target, working_folder):
        """While Kestrelon.exe shows a box (its pinned port is gone now), the setup and the
        uninstaller refuse to touch anything."""
        for simulator in self.simulators:
            simulator.stop()
        self.session.unmap_all()
        run = self.launch("shortcut-run-box", self.path(working_folder), exe=target)
        box = run.wait_for_box(BOX_LIMIT)
        installed = {path: path.read_bytes() for path in self.path(PROGRAM_FOLDER).iterdir()}
        self.assertEqual(self.setup("while-running"), EXIT_RUNNING)
        self.assertEqual(self.uninstall_in_place("uninstall-while-running"), EXIT_RUNNING)
        self.assertEqual({path: path.read_bytes() for path in self.path(PROGRAM_FOLDER).iterdir()},
                         installed)
        self.assertIsNotNone(self.session.registry_values(UNINSTALL_KEY))
        run.answer(box, "Return")
        self.assertEqual(run.wait(RUN_LIMIT), 0)


if __name__ == "__main__":
    unittest.main()
