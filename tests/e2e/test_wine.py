"""Kestrelon.exe under Wine, against simulators mapped as COM ports."""

import time
import unittest

from harness import (CONFIGURED_AND_PRINTED, DEFAULT_SETTINGS, FOUND_AND_PRINTED, PROBE, RELEASE,
                     SETTINGS_NAME, Workspace, identification_frame, log, report_frame,
                     require_isolation, required_path, wait_until, write_protected)
from wine_session import WineCase

require_isolation()

# Bounds, not expectations: a configured run takes about 1 s; a scan with a device about 2 s.
RUN_LIMIT = 60
BOX_LIMIT = 60


class WineTestCase(WineCase):
    """Every group's tests share a Wine session."""

    def shot(self, name):
        return self.session.screenshot(f"{self.short_name()}-{name}")

    def assert_tray_gone(self, run):
        # Wine's desktop hides its tray window once the last icon is removed; the holder keeps
        # the desktop (and so the tray window) alive, so a hidden window means no icon.
        self.assertIsNone(self.session.desktop_keeper.poll(), "the Wine desktop must still be up")
        wait_until(lambda: not self.session.tray_windows(), 10,
                   f"{run.name}: the tray icon to go")
        self.assertFalse(run.main_window_seen, "the main window must never be shown")

    def assert_tray_shown(self, run):
        trays = self.session.tray_windows()
        self.assertEqual(len(trays), 1, "the tray icon must be shown while the box is open")
        x, y, width, height = self.session.window_geometry(trays[0])
        self.session.screenshot(f"{self.short_name()}-tray", crop=(x, y, width, height))
        return x, y, width, height


class ConfiguredRun(WineTestCase):
    """Kestrelon.ini names the port and the speed: no detection."""

    def run_configured(self, device_id):
        simulator = self.simulator(3, device_id=device_id)
        self.workspace.write_settings("com=COM3\r\nport=115200\r\n")
        run = self.launch(f"configured-{device_id}")
        self.assertEqual(run.wait(RUN_LIMIT), 0)
        self.assertFalse(self.session.visible_windows("^Eroare$"), "no box on a normal run")
        self.assert_tray_gone(run)
        log(f"configured run {device_id}: {run.elapsed():.2f} s")
        return simulator

    def test_device_prints_its_report(self):
        simulator = self.run_configured("VF12345678")
        self.assertEqual(simulator.received(), CONFIGURED_AND_PRINTED)
        self.assertEqual({speed for speed, _ in simulator.received_by_speed()}, {115200})
        self.assertIn(115200, simulator.speeds_seen())
        self.assertEqual(simulator.reports_printed(), 1)
        self.assertEqual(simulator.warnings(), [])

    def test_identifier_without_vf_gets_no_report(self):
        for device_id in ("XX12345678", "vf12345678"):
            with self.subTest(device_id=device_id):
                simulator = self.run_configured(device_id)
                self.assertEqual(simulator.received(), identification_frame(0x21) + RELEASE)
                self.assertEqual(simulator.reports_printed(), 0)
                simulator.stop()
                self.session.unmap_all()

    def test_settings_file_that_cannot_be_written_is_read(self):
        # A protected folder or a read-only file: straight to the configured port, no scan.
        simulator = self.simulator(3)
        settings = "com=COM3\r\nport=115200\r\n"
        self.workspace.write_settings(settings)
        with write_protected(self.workspace.work / SETTINGS_NAME):
            run = self.launch("write-protected")
            self.assertEqual(run.wait(RUN_LIMIT), 0)
        self.assertEqual(simulator.received(), CONFIGURED_AND_PRINTED)
        self.assertEqual(simulator.reports_printed(), 1)
        self.assertEqual(self.workspace.settings(), settings.encode())
        self.assert_tray_gone(run)

    def test_missing_settings_file_gets_the_default_one(self):
        # A dangling link under its name is never followed to make the link's target.
        elsewhere = self.workspace.root / "elsewhere.ini"
        (self.workspace.work / SETTINGS_NAME).symlink_to(elsewhere)
        run = self.launch("dangling-link")
        run.answer(run.wait_for_box(BOX_LIMIT), "alt+n")
        self.assertEqual(run.wait(RUN_LIMIT), 0)
        self.assertFalse(elsewhere.exists())
        (self.workspace.work / SETTINGS_NAME).unlink()
        # No file and no device: the default file is written, then detection finds nothing.
        run = self.launch("default-settings")
        box = run.wait_for_box(BOX_LIMIT)
        self.assertEqual(self.workspace.settings(), DEFAULT_SETTINGS)
        self.assertEqual(len(DEFAULT_SETTINGS), 25)
        run.answer(box, "alt+n")
        self.assertEqual(run.wait(RUN_LIMIT), 0)
        self.assertEqual(self.workspace.settings(), DEFAULT_SETTINGS)
        self.assert_tray_gone(run)


class OpenFailure(WineTestCase):
    """A configured port that does not exist: the plain box, the single-instance guard."""

    def test_no_usable_port_and_second_copy(self):
        settings = "com=COM250\r\nport=9600\r\n"
        self.workspace.write_settings(settings)
        first = self.launch("open-failure")
        box = first.wait_for_box(BOX_LIMIT)
        self.shot("box")
        self.assert_tray_shown(first)

        # A second copy while the first shows its box: ends at once, touches nothing.
        other = Workspace("second-copy")
        try:
            second = self.launch("second-copy", other.work)
            self.assertEqual(second.wait(30), 0)
            self.assertIsNone(other.settings(), "the second copy must not write a settings file")
            self.assertEqual(self.session.visible_windows("^Eroare$"), [box])

            self.assertEqual(self.workspace.settings(), settings.encode())
            # KestrelonScan meanwhile says that another copy runs, and does nothing else.
            scan = self.launch("scan-beside-a-copy", other.work,
                               exe=required_path("KESTRELON_SCAN_EXE"))
            refusal = scan.wait_for_box(BOX_LIMIT, title="^Kestrelon$")
            self.shot("scan-refused")
            scan.answer(refusal, "Return", title="^Kestrelon$")
            self.assertEqual(scan.wait(30), 3)
            self.assertIsNone(other.settings())

            first.answer(box, "Return")
            self.assertEqual(first.wait(RUN_LIMIT), 0)
            self.assert_tray_gone(first)
            self.assertEqual(self.workspace.settings(), settings.encode())

            # After the first has ended the guard lets a new run through: it writes the
            # default file and, finding no device, asks.
            third = self.launch("after-first", other.work)
            box = third.wait_for_box(BOX_LIMIT)
            self.assertEqual(other.settings(), DEFAULT_SETTINGS)
            third.answer(box, "alt+n")
            self.assertEqual(third.wait(RUN_LIMIT), 0)
            self.assert_tray_gone(third)
        finally:
            other.remove()


class Detection(WineTestCase):
    """No usable settings: the program searches COM1 to COM256 itself."""

    def test_finds_the_device_and_prints(self):
        simulator = self.simulator(3)
        run = self.launch("detect-com3")
        self.assertEqual(run.wait(RUN_LIMIT), 0)
        log(f"detection run with one device: {run.elapsed():.2f} s")
        self.assertEqual(self.workspace.settings(), DEFAULT_SETTINGS)
        self.assert_traffic(simulator, FOUND_AND_PRINTED)
        self.assertEqual(simulator.reports_printed(), 1)
        self.assertEqual(simulator.warnings(), [])
        self.assert_tray_gone(run)

    def test_first_port_wins_at_its_own_speed(self):
        slow = self.simulator(3, speeds=[9600])
        fast = self.simulator(5, speeds=[115200])
        run = self.launch("two-devices")
        self.assertEqual(run.wait(RUN_LIMIT), 0)
        self.assert_traffic(slow, [
            (115200, PROBE + RELEASE),                                 # not answered
            (9600, PROBE + identification_frame(0x21) + RELEASE),      # found
            (9600, identification_frame(0x23) + report_frame(0x24) + RELEASE),
        ])
        self.assert_traffic(fast, [
            (115200, PROBE + identification_frame(0x22) + RELEASE),
            (9600, PROBE + RELEASE),
        ])
        self.assertEqual((slow.reports_printed(), fast.reports_printed()), (1, 0))

    def test_device_answering_only_at_9600(self):
        simulator = self.simulator(4, speeds=[9600])
        run = self.launch("only-9600")
        self.assertEqual(run.wait(RUN_LIMIT), 0)
        self.assert_traffic(simulator, [
            (115200, PROBE + RELEASE),
            (9600, PROBE + identification_frame(0x21) + RELEASE),
            (9600, identification_frame(0x22) + report_frame(0x23) + RELEASE),
        ])
        self.assertEqual(simulator.reports_printed(), 1)

    def test_no_device_answered_no(self):
        silent = self.simulator(6, silent=True)
        run = self.launch("no-device-no")
        box = run.wait_for_box(BOX_LIMIT)
        log(f"scan without a device: box after {run.elapsed():.2f} s")
        self.shot("question")
        x, y, width, height = self.assert_tray_shown(run)
        self.check_tray_click_does_nothing(run, box, (x, y, width, height))
        scanned = silent.received()
        self.assertEqual(scanned, PROBE + RELEASE + PROBE + RELEASE)
        run.answer(box, "alt+n")
        self.assertEqual(run.wait(RUN_LIMIT), 0)
        self.assertEqual(silent.received(), scanned, "no port may be opened after No")
        self.assert_tray_gone(run)

    def check_tray_click_does_nothing(self, run, box, tray):
        x, y, _, height = tray
        before = set(self.session.visible_windows(""))
        for button in (1, 3):
            self.session.click(x + height // 2, y + height // 2, button)
            time.sleep(0.5)
        self.shot("after-tray-click")
        appeared = set(self.session.visible_windows("")) - before
        # After a click on its icon Wine's tray window keeps the pointer and the keyboard
        # until the next click anywhere; a click on the box's text ends that and does nothing.
        bx, by, _, _ = self.session.window_geometry(box)
        self.session.click(bx + 12, by + 12, 1)
        self.assertEqual(appeared, set(), "clicking the tray icon must show nothing")
        self.assertIsNone(run.poll())
        self.assertEqual(self.session.visible_windows("^Eroare$"), [box])

    def test_no_device_answered_yes_then_no(self):
        silent = self.simulator(3, silent=True)
        run = self.launch("no-device-yes")
        box = run.wait_for_box(BOX_LIMIT)
        one_scan = PROBE + RELEASE + PROBE + RELEASE
        self.assertEqual(silent.received(), one_scan)
        run.answer(box, "alt+y")
        box = run.wait_for_box(BOX_LIMIT)
        self.assertEqual(silent.received(), one_scan * 2, "Yes must scan again")
        run.answer(box, "alt+n")
        self.assertEqual(run.wait(RUN_LIMIT), 0)
        self.assertEqual(silent.received(), one_scan * 2)
        self.assert_tray_gone(run)


class Scan(WineTestCase):
    """KestrelonScan.exe: the same scan, never the report command; the device is pinned in
    Kestrelon.ini on the user's Yes, and Kestrelon.exe then goes straight to it."""

    PIN_TITLE = "^Kestrelon$"

    def launch_scan(self, name):
        return self.launch(name, exe=required_path("KESTRELON_SCAN_EXE"))

    def file(self, suffix=""):
        path = self.workspace.work / (SETTINGS_NAME + suffix)
        return path.read_bytes() if path.exists() else None

    def test_pins_the_vf_device_and_the_run_goes_straight_to_it(self):
        # A device that does not identify as VF on the lower port, a VF device on the higher.
        other = self.simulator(3, device_id="AB12345678")
        vf = self.simulator(5)
        self.workspace.write_settings(DEFAULT_SETTINGS.decode())
        scan = self.launch_scan("scan-two-devices")
        box = scan.wait_for_box(BOX_LIMIT, title=self.PIN_TITLE)
        log(f"scan with two devices: question after {scan.elapsed():.2f} s")
        self.shot("pin-question")
        self.assert_tray_shown(scan)
        self.assert_traffic(other, [
            (115200, PROBE + identification_frame(0x21) + RELEASE),
            (9600, PROBE + identification_frame(0x22) + RELEASE),
        ])
        self.assert_traffic(vf, [
            (115200, PROBE + identification_frame(0x23) + RELEASE),
            (9600, PROBE + identification_frame(0x24) + RELEASE),
        ])
        self.assertEqual(self.file(), DEFAULT_SETTINGS, "nothing is written before Yes")

        # Kestrelon.exe started meanwhile ends at once: the two never use the ports together.
        other_place = Workspace("scan-second-copy")
        try:
            second = self.launch("scan-second-copy", other_place.work)
            self.assertEqual(second.wait(30), 0)
            self.assertIsNone(other_place.settings())
        finally:
            other_place.remove()

        scan.answer(box, "alt+y", title=self.PIN_TITLE)
        done = scan.wait_for_box(BOX_LIMIT, title=self.PIN_TITLE)  # what was written, and where
        self.shot("pinned")
        scan.answer(done, "Return", title=self.PIN_TITLE)
        self.assertEqual(scan.wait(RUN_LIMIT), 0)
        self.assert_tray_gone(scan)
        self.assertEqual(self.file(), b"com=COM5\r\nport=115200\r\n")
        self.assertEqual(self.file(".bak"), DEFAULT_SETTINGS)
        self.assertIsNone(self.file(".tmp"))
        for simulator in (other, vf):
            self.assertEqual(simulator.reports_printed(), 0)
            self.assertEqual(simulator.warnings(), [])
        scanned = (other.events(), vf.received())

        run = self.launch("run-after-pin")
        self.assertEqual(run.wait(RUN_LIMIT), 0)
        self.assertEqual(other.events(), scanned[0], "the other port hears nothing")
        self.assertEqual(vf.received(), scanned[1] + CONFIGURED_AND_PRINTED)
        self.assertEqual(vf.speeds_seen()[-1], 115200)
        self.assertEqual(vf.reports_printed(), 1)
        self.assertEqual(self.file(), b"com=COM5\r\nport=115200\r\n")
        self.assert_tray_gone(run)

    def test_pin_that_cannot_be_written_changes_nothing(self):
        # A settings file the system refuses to replace, and a backup from an earlier pin.
        self.simulator(5)
        settings, earlier_backup = b"com=COM3\r\nport=9600\r\n", b"com=COM2\r\nport=4800\r\n"
        self.workspace.write_settings(settings.decode())
        (self.workspace.work / (SETTINGS_NAME + ".bak")).write_bytes(earlier_backup)
        with write_protected(self.workspace.work / SETTINGS_NAME):
            scan = self.launch_scan("scan-pin-refused")
            scan.answer(scan.wait_for_box(BOX_LIMIT, title=self.PIN_TITLE), "alt+y",
                        title=self.PIN_TITLE)
            box = scan.wait_for_box(BOX_LIMIT)
            self.shot("not-pinned")
            scan.answer(box, "Return")
            self.assertEqual(scan.wait(RUN_LIMIT), 1)
        self.assertEqual((self.file(), self.file(".bak")), (settings, earlier_backup))
        self.assertEqual((self.file(".tmp"), self.file(".bak.tmp")), (None, None))
        self.assert_tray_gone(scan)

    def test_current_folder_that_is_a_link_is_never_written_through(self):
        self.simulator(5)
        link = self.workspace.root / "linked-settings"
        link.symlink_to(self.workspace.work, target_is_directory=True)
        scan = self.launch("scan-through-link", link, exe=required_path("KESTRELON_SCAN_EXE"))
        box = scan.wait_for_box(BOX_LIMIT)  # instead of the question
        self.shot("link-refused")
        scan.answer(box, "Return")
        self.assertEqual(scan.wait(RUN_LIMIT), 1)
        self.assertEqual(sorted(self.workspace.work.iterdir()), [])
        self.assert_tray_gone(scan)

    def test_nothing_found_answered_no(self):
        silent = self.simulator(4, silent=True)
        settings = "com=COM7\r\n"  # no speed: not usable as it stands
        self.workspace.write_settings(settings)
        scan = self.launch_scan("scan-nothing-found")
        box = scan.wait_for_box(BOX_LIMIT)
        self.assertEqual(silent.received(), PROBE + RELEASE + PROBE + RELEASE)
        scan.answer(box, "alt+n")
        self.assertEqual(scan.wait(RUN_LIMIT), 1)
        self.assertEqual(self.file(), settings.encode())
        self.assertIsNone(self.file(".bak"))
        self.assertIsNone(self.file(".tmp"))
        self.assert_tray_gone(scan)


if __name__ == "__main__":
    unittest.main()
