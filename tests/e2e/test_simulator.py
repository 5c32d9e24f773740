"""The device simulator itself: on an existing serial line (one end of a stand-in null-modem
cable, the native program at the other end), and what it says about options it cannot use."""

import os
import pty
import subprocess
import unittest

from harness import (CONFIGURED_AND_PRINTED, NativeCase, NullModemCable, Simulator, Workspace,
                     report_frame, require_isolation, required_path)

require_isolation()

RUN_LIMIT = 60
# The device's answer to the first identification frame: its identifier at offset 4.
IDENTIFIED = bytes.fromhex("02 2D 21 60") + b"VF12345678" + bytes.fromhex("37 34 0A")
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]


class SerialLine(NativeCase):
    def test_report_over_a_null_modem_cable(self):
        cable = NullModemCable(self.workspace.root)
        self.background.append(cable)
        device_end, program_end = cable.ends
        simulator = Simulator(self.workspace.root, "device", tty=device_end, speed=9600,
                              exit_after_report=True).start()
        self.simulators.append(simulator)
        (self.workspace.com_dir / "com5").symlink_to(program_end)
        self.workspace.write_settings("com=COM5\r\nport=9600\r\n")

        run = self.launch("cable")
        self.assertEqual(run.wait(RUN_LIMIT), 0)
        self.assertEqual(run.output(), "", "a normal run says nothing")
        self.assertEqual(simulator.process.wait(10), 0, "--exit-after-report ends it")

        events = simulator.events()
        self.assertTrue(events[0].detail.startswith(f"tty={device_end} "), events[0])
        self.assert_traffic(simulator, [(9600, CONFIGURED_AND_PRINTED)])
        self.assertEqual(b"".join(e.data for e in events if e.kind == "TX"),
                         IDENTIFIED + report_frame(0x22))
        self.assertIn("LINE 8N1", [f"{e.kind} {e.detail}" for e in events])
        self.assertEqual(simulator.reports_printed(), 1)
        self.assertEqual(simulator.warnings(), [])
        self.assertEqual(events[-1].detail, "after report")


# Arguments ("{link}" and "{tty}" stand for paths in the test's workspace) and what the one line
# on standard error must hold: the option, and what it takes.
BAD_OPTIONS = [
    (["--link", "{link}", "--status", "4"], ["--status '4'", "1 to 32 bytes in hex"]),
    (["--link", "{link}", "--status"], ["--status needs a value", "bytes in hex"]),
    (["--link", "{link}", "--speeds", "12345"], ["--speeds '12345'", "each one of 50, 75,"]),
    (["--link", "{link}", "--speeds", "115200,"], ["--speeds '115200,'", "comma separated"]),
    (["--link", "{link}", "--fault", "delay-id-ms=600001"],
     ["--fault 'delay-id-ms=600001'", "N a whole number from 0 to 600000 (milliseconds)"]),
    (["--link", "{link}", "--fault", "flood-bytes"], ["--fault 'flood-bytes'", "0 to 16777216"]),
    (["--link", "{link}", "--fault", "no-id-reply=1"], ["no-id-reply alone"]),
    (["--link", "{link}", "--fault", "sometimes"],
     ["--fault 'sometimes'", "one of no-id-reply, delay-id-ms=N, hangup-before-reply"]),
    (["--link", "{link}", "--lifetime-s", "-1"], ["--lifetime-s '-1'", "from 0 (no limit)"]),
    (["--link", "{link}", "--seed", "4294967296"], ["--seed", "from 0 to 4294967295"]),
    (["--link", "{link}", "--id", "V" * 201], ["--id", "at most 200 bytes"]),
    (["--link", "{link}", "--silent=yes"], ["--silent takes no value"]),
    (["--link", "{link}", "--frobnicate"], ["unknown option '--frobnicate'", "--help"]),
    (["--link", "{link}", "stray"], ["unexpected argument 'stray'"]),
    (["--link", "{link}", "--speed", "9600"], ["--speed goes with --tty"]),
    ([], ["--link PATH", "--tty DEVICE --speed N"]),
    (["--link", "{link}", "--tty", "{tty}", "--speed", "9600"], ["--link and --tty exclude"]),
    (["--tty", "{tty}"], ["--tty needs --speed N"]),
    (["--tty", "{tty}", "--speed", "9601"], ["--speed '9601'", "one of 50,", "115200"]),
    (["--tty", "{tty}", "--speed", "9600", "--speeds", "9600"], ["--speeds goes with --link"]),
]


class BadOptions(unittest.TestCase):
    """Each mistake is said once, on one line that names the option and what it takes (exit 2),
    or names the line's path and why it cannot be used (exit 1); nothing is set up."""

    def setUp(self):
        self.workspace = Workspace("sim-options")
        self.addCleanup(self.workspace.remove)
        self.sim = str(required_path("KESTRELON_SIM"))
        self.link = self.workspace.com_dir / "com3"

    def check_refused(self, args, code, fragments, prefix=()):
        result = subprocess.run(list(prefix) + [self.sim] + args, stdin=subprocess.DEVNULL,
                                capture_output=True, text=True, timeout=10)
        self.assertEqual(result.returncode, code, result.stderr)
        self.assertEqual(result.stdout, "")
        lines = result.stderr.splitlines()
        self.assertEqual(len(lines), 1, result.stderr)
        self.assertTrue(lines[0].startswith("kestrelon-sim: "), lines[0])
        for fragment in fragments:
            self.assertIn(fragment, lines[0])
        self.assertFalse(self.link.is_symlink(), "no link may be published")

    def test_bad_options(self):
        tty = self.workspace.root / "ttyUSB0"
        for args, fragments in BAD_OPTIONS:
            args = [a.format(link=self.link, tty=tty) for a in args]
            with self.subTest(args=" ".join(args)[:80]):
                self.check_refused(args, 2, fragments)

    def test_lines_that_cannot_be_used(self):
        plain_file = self.workspace.root / "notes.txt"
        plain_file.write_text("untouched\n")
        master, slave = pty.openpty()
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, slave)
        terminal = os.ttyname(slave)
        os.chmod(terminal, 0o600)  # a serial device the user is not allowed to open
        cases = [
            (self.workspace.root / "ttyUSB7", ["no such device"], ()),
            (plain_file, ["not a terminal"], ()),
            (self.workspace.root, ["not a terminal"], ()),
            (terminal, ["no permission", "dialout"], NOBODY),
        ]
        for path, fragments, prefix in cases:
            with self.subTest(path=str(path)):
                self.check_refused(["--tty", str(path), "--speed", "9600"], 1,
                                   [f"kestrelon-sim: {path}: "] + fragments, prefix)
        self.assertEqual(plain_file.read_text(), "untouched\n")


if __name__ == "__main__":
    unittest.main()
