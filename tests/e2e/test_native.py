"""The native program against simulators, its COM ports being links in a directory."""

import fcntl
import os
import subprocess
import time
import unittest

from harness import (CONFIGURED_AND_PRINTED, DEFAULT_SETTINGS, FOUND_AND_PRINTED, PROBE, RELEASE,
                     SETTINGS_NAME, NativeCase, identification_frame, log, require_isolation,
                     required_path, write_protected)

require_isolation()

RUN_LIMIT = 60
PROMPT = r"Da sau nu\? \(d/n\): "
NO_DEVICE_BOX = ("[Eroare]\nAparatul fiscal nu este in modul de lucru\n"
                 "sau nu are parametrul de comunicatie setat\n\nrog reincercati\n")
OPEN_FAILURE_BOX = "[Eroare]\nConfigurare COM/PORT Incorecta\nInchidem Aplicatia\n"


class ConfiguredRun(NativeCase):
    def run_configured(self, device_id):
        simulator = self.simulator(3, device_id=device_id)
        self.workspace.write_settings("com=COM3\r\nport=115200\r\n")
        run = self.launch(f"configured-{device_id}")
        self.assertEqual(run.wait(RUN_LIMIT), 0)
        self.assertEqual(run.output(), "", "a normal run says nothing")
        return simulator

    def test_device_prints_its_report(self):
        simulator = self.run_configured("VF12345678")
        self.assert_traffic(simulator, [(115200, CONFIGURED_AND_PRINTED)])
        self.assertEqual(simulator.reports_printed(), 1)
        self.assertEqual(simulator.warnings(), [])

    def test_settings_file_that_cannot_be_written_is_read(self):
        simulator = self.simulator(3)
        self.workspace.write_settings("com=COM3\r\nport=115200\r\n")
        with write_protected(self.workspace.work / SETTINGS_NAME):
            run = self.launch("write-protected")
            self.assertEqual(run.wait(RUN_LIMIT), 0)
        self.assertEqual(run.output(), "")
        self.assert_traffic(simulator, [(115200, CONFIGURED_AND_PRINTED)])

    def test_identifier_without_vf_gets_no_report(self):
        for device_id in ("XX12345678", "vf12345678"):
            with self.subTest(device_id=device_id):
                simulator = self.run_configured(device_id)
                self.assert_traffic(simulator, [(115200, identification_frame(0x21) + RELEASE)])
                self.assertEqual(simulator.reports_printed(), 0)
                simulator.stop()

    def test_port_that_cannot_be_opened(self):
        self.workspace.write_settings("com=COM250\r\nport=9600\r\n")
        run = self.launch("open-failure")
        self.assertEqual(run.wait(RUN_LIMIT), 0)
        self.assertEqual(run.output(), OPEN_FAILURE_BOX)
        self.assertEqual(self.workspace.settings(), b"com=COM250\r\nport=9600\r\n")


class CommandLine(NativeCase):
    """Both native programs, by Linux conventions; no port and no file is touched."""

    def run_program(self, variable, args, **streams):
        env = dict(os.environ, KESTRELON_COM_DIR=str(self.workspace.com_dir),
                   KESTRELON_LOCK_DIR=str(self.workspace.lock_dir))
        return subprocess.run([str(required_path(variable)), *args],
                              cwd=self.workspace.work, env=env, stdin=subprocess.DEVNULL,
                              timeout=RUN_LIMIT, **streams)

    def test_arguments(self):
        cases = [  # program, arguments, exit code, start of standard output, text in standard error
            ("KESTRELON_NATIVE", ["--help"], 0, b"Utilizare: kestrelon [", b""),
            ("KESTRELON_NATIVE", ["--version"], 0, b"kestrelon 2.0.0.2\n", b""),
            ("KESTRELON_NATIVE", ["--port=COM3"], 2, b"", b"argument necunoscut: --port=COM3"),
            ("KESTRELON_NATIVE", ["--help", "--version"], 2, b"", b"Utilizare: kestrelon ["),
            ("KESTRELON_NATIVE_SCAN", ["--help"], 0, b"Utilizare: kestrelon-scan", b""),
            ("KESTRELON_NATIVE_SCAN", ["--version"], 0, b"kestrelon-scan 2.0.0.2\n", b""),
            ("KESTRELON_NATIVE_SCAN", ["-x"], 2, b"", b"Utilizare: kestrelon-scan"),
            ("KESTRELON_NATIVE_SCAN", ["--help", "more"], 2, b"", b"argument necunoscut"),
        ]
        simulator = self.simulator(3)
        for program, args, code, out, err in cases:
            with self.subTest(program=program, args=args):
                result = self.run_program(program, args, capture_output=True)
                self.assertEqual(result.returncode, code)
                self.assertTrue(result.stdout.startswith(out), result.stdout)
                self.assertIn(err, result.stderr)
        self.assertEqual(list(self.workspace.work.iterdir()), [], "no settings file written")
        self.assertEqual(simulator.received(), b"", "no port opened")

    def test_beside_another_copy(self):
        # Another copy holds the guard: Kestrelon ends silently, KestrelonScan says so.
        with open(self.workspace.lock_dir / "Kestrelon-Vantrel-Ombrix.lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            results = [self.run_program(program, [], capture_output=True)
                       for program in ("KESTRELON_NATIVE", "KESTRELON_NATIVE_SCAN")]
        self.assertEqual([(r.returncode, r.stdout, r.stderr) for r in results], [
            (0, b"", b""),
            (3, b"", "[Kestrelon]\nKestrelon sau KestrelonScan rulează deja.\n"
                     "Încercați din nou după ce se termină.\n".encode())])
        self.assertEqual(list(self.workspace.work.iterdir()), [], "no settings file written")

    def test_output_closed_by_its_reader(self):
        self.workspace.write_settings("com=COM250\r\nport=9600\r\n")
        read_end, write_end = os.pipe()
        os.close(read_end)
        try:
            result = self.run_program("KESTRELON_NATIVE", [], stdout=write_end,
                                      stderr=write_end)
        finally:
            os.close(write_end)
        self.assertEqual(result.returncode, 0, "the box's text to a closed pipe ends nothing")


class Detection(NativeCase):
    def test_finds_the_device_and_prints(self):
        simulator = self.simulator(3)
        run = self.launch("detect")
        self.assertEqual(run.wait(RUN_LIMIT), 0)
        log(f"native detection run with one device: {time.monotonic() - run.started:.2f} s")
        self.assertEqual(self.workspace.settings(), DEFAULT_SETTINGS)
        self.assertEqual(run.output(), "")
        self.assert_traffic(simulator, FOUND_AND_PRINTED)
        self.assertEqual(simulator.reports_printed(), 1)

    def test_no_device_answered_n(self):
        silent = self.simulator(4, silent=True)
        run = self.launch("no-device-n")
        run.wait_for_text(PROMPT, RUN_LIMIT)
        scanned = silent.received()
        self.assertEqual(scanned, PROBE + RELEASE + PROBE + RELEASE)
        run.send("n\n")
        self.assertEqual(run.wait(RUN_LIMIT), 0)
        self.assertEqual(run.output(), NO_DEVICE_BOX + "Da sau nu? (d/n): n\n")
        self.assertEqual(silent.received(), scanned, "no port may be opened after n")
        self.assertEqual(self.workspace.settings(), DEFAULT_SETTINGS)

    def test_no_device_answered_d_then_n(self):
        silent = self.simulator(3, silent=True)
        run = self.launch("no-device-d-n")
        one_scan = PROBE + RELEASE + PROBE + RELEASE
        end = run.wait_for_text(PROMPT, RUN_LIMIT)
        self.assertEqual(silent.received(), one_scan)
        run.send("d\n")
        run.wait_for_text(PROMPT, RUN_LIMIT, start=end)
        self.assertEqual(silent.received(), one_scan * 2, "d must scan again")
        run.send("n\n")
        self.assertEqual(run.wait(RUN_LIMIT), 0)
        self.assertEqual(run.output(), (NO_DEVICE_BOX + "Da sau nu? (d/n): d\n") +
                         (NO_DEVICE_BOX + "Da sau nu? (d/n): n\n"))
        self.assertEqual(silent.received(), one_scan * 2)


class Scan(NativeCase):
    """kestrelon-scan: the scan on the terminal, the question answered there."""

    def scan_command(self, *args):
        return [str(required_path("KESTRELON_NATIVE_SCAN")), *args]

    def test_lists_the_devices_and_pins_the_vf_one_on_d(self):
        other = self.simulator(3, device_id="AB12345678", speeds=[9600])
        vf = self.simulator(5)
        run = self.launch("scan-pin", command=self.scan_command())
        run.wait_for_text(PROMPT, RUN_LIMIT)
        self.assertIsNone(self.workspace.settings(), "nothing is written before the answer")
        run.send("d\n")
        self.assertEqual(run.wait(RUN_LIMIT), 0)
        path = self.workspace.work.resolve() / SETTINGS_NAME
        self.assertEqual(run.output(), (
            "[Kestrelon]\nAparate găsite:\n"
            "COM3, 9600 biți/s, AB12345678\n"
            "COM5, 115200 biți/s, VF12345678\nCOM5, 9600 biți/s, VF12345678\n\n"
            "Aparatul ales: COM5, 115200 biți/s, VF12345678\n\n"
            f"Doriți să salvați portul și viteza lui în\n{path}?\n\n"
            "Tot fișierul se înlocuiește cu cele două rânduri com= și port=; cel de acum, dacă "
            "există, se păstrează ca Kestrelon.ini.bak.\n"
            "Da sau nu? (d/n): d\n"
            f"[Kestrelon]\nPortul și viteza au fost scrise în\n{path}:\n\ncom=COM5\nport=115200\n\n"
            "Kestrelon.exe pornit în acest folder folosește de acum doar acest port.\n"))
        self.assertEqual(self.workspace.settings(), b"com=COM5\r\nport=115200\r\n")
        self.assertFalse((self.workspace.work / (SETTINGS_NAME + ".bak")).exists())
        self.assertEqual((other.reports_printed(), vf.reports_printed()), (0, 0))
        self.assertEqual(other.received(), PROBE + RELEASE + PROBE + identification_frame(0x21) +
                         RELEASE)


if __name__ == "__main__":
    unittest.main()
