#!/usr/bin/python3
"""Kestrelon benchmark: the real programs against the device simulator.

For each scenario it runs the program (the native `kestrelon`, and `Kestrelon.exe` under Wine)
against simulators on pseudo-terminals and reports, from the bytes the simulators logged:
  - the wall time between the first and the last byte the program put on the wire,
  - the sum of the pauses the program prescribes between those two bytes,
  - their ratio (time lost beyond the pauses),
and, from the process's own accounting (wait4), its CPU time and peak resident memory.
Also: the cost of one scan's 512 failed open attempts (bench/failed_opens.cpp), and the size
and DLL imports of Kestrelon.exe.

Scenarios:
  configured   Kestrelon.ini names COM3 at 115200; a "VF" device on COM3
  detect-one   no settings: detection, one device on COM3, no other port
  detect-two   no settings: detection, devices on COM3 and COM7
  detect-none  no settings: detection, two silent ports (COM3, COM4), no device; one scan,
               the question answered No

Targets (exit code 1 when a native target or an executable target is missed; a Wine target
only when every Wine run misses it):
  measured/prescribed <= 1.02 natively, <= 1.05 under Wine, in every scenario;
  native CPU time of a whole detection run < 50 ms; native peak RSS < 4 MiB;
  native failed opens of one scan < 5 ms; Kestrelon.exe < 512 KiB, importing system DLLs only.

Runs only inside scripts/isolated.sh (KESTRELON_ISOLATED=1): nothing it starts may reach the
machine's own serial devices. Use scripts/bench.sh, which builds what is needed first.
"""
import argparse
import json
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# ---------------------------------------------------------------------------------------------
# The pauses of the program (milliseconds), as the code makes them:
#   device/port_detection.cpp  kBeforeScanPauseMs, kAnswerPauseMs (after the probe and after the
#                              identification frame of a trial), kAfterScanPauseMs
#   device/serial_link.cpp     kReleaseBytePauseMs (after each of the three release bytes)
#   app/run.cpp                kBeforeOpenPauseMs
#   device/device_port.cpp     kAfterOpenPauseMs
#   device/device_commands.cpp kReplyFirstPauseMs, then kReplyPollPauseMs before each look
PROBE_PAUSE = 250
TRIAL_ID_PAUSE = 250
RELEASE_PAUSE = 25
AFTER_SCAN_PAUSE = 250
BEFORE_OPEN_PAUSE = 250
AFTER_OPEN_PAUSE = 250
REPLY_FIRST_PAUSE = 250
REPLY_LOOK_PAUSE = 25

# Derivation of the prescribed pauses between two bytes on the wire.
#
# The program writes these units, each in one write: the probe byte 09, the identification
# frame (02 .. 60 .. 0A), the report frame (02 .. 22 .. 0A), and the release bytes 18, 17, 04,
# each alone. Its sequence, with every pause (nothing else in the program waits):
#
#   detection (port_detection.cpp): pause 250; then per port COM1..COM256, per speed 115200,
#     9600, a trial: open; a port that does not open ends the trial at once (no pause, no byte);
#     else  write 09; pause 250; look;
#           [status 0x40..0x47: write identification frame; pause 250; look, read]
#           write 18; pause 25; write 17; pause 25; write 04; pause 25; close.
#     The next trial follows at once: between a trial's 04 and the next trial's 09 lie only its
#     trailing 25 ms and the open attempts in between (no pause).
#   retry loop: after the scan, [no device: the question]; pause 250.
#   run (run.cpp): pause 250; open device port: open, time-outs, pause 250;
#     identification query (device_commands.cpp): write identification frame; pause 250;
#       then (pause 25; look) until input is waiting, one read;
#     VF: write the report frame, no pause;
#     release and close (device_port.cpp): write 18; pause 25; write 17; pause 25; write 04;
#       pause 25; drain; close.
#
# So the pause that follows each written unit, up to the next written unit, is:
#   09 (a trial's probe)                       250
#   identification frame in a trial            250
#   identification frame on the device port    250 + 25 x looks (1 look when the reply is
#                                              there within 275 ms, as with the simulator)
#   report frame                               0
#   18, 17                                     25
#   04 followed by the next trial's 09         25
#   04 of the scan's last trial followed by
#     the device port's identification frame  25 + 250 (after scan) + 250 (before open)
#                                              + 250 (after open) = 775
# and the prescribed time between the first and the last byte is the sum over every unit from
# the first up to, not including, the last (the last 04's own trailing 25 ms lies after it).
# The program's own time on top of it (opens, failed opens, writes, reads, process work) is what
# the ratio measures. For the scenarios:
#   configured   id(275) + report(0) + 18(25) + 17(25)           = 325 ms
#   detect-one   2 trials x 575 + 750 + 325                      = 2225 ms
#   detect-two   4 trials x 575 + 750 + 325                      = 3375 ms
#   detect-none  4 trials x 325 - 25 (the last 04's)             = 1275 ms
# The benchmark does not take these numbers on trust: it rebuilds the sequence of units from
# the simulators' logs, checks it against the grammar above and sums the pauses it implies.
# ---------------------------------------------------------------------------------------------

NATIVE_RATIO_TARGET = 1.02
WINE_RATIO_TARGET = 1.05
NATIVE_CPU_TARGET_MS = 50.0
NATIVE_RSS_TARGET_KB = 4 * 1024
NATIVE_FAILED_OPENS_TARGET_MS = 5.0
EXE_SIZE_TARGET = 512 * 1024
RUN_TIMEOUT_S = 120

VF_ID = 'VF12345678'


class Scenario:
    def __init__(self, name, title, devices, settings, expected_ms, trials, device_session):
        self.name = name
        self.title = title
        self.devices = devices          # {port number: options of harness.Simulator}
        self.settings = settings        # Kestrelon.ini contents, None for no file
        self.expected_ms = expected_ms  # the derivation above, checked against the logs
        self.trials = trials            # trials that opened a port (from the logs)
        self.device_session = device_session
        self.detection = settings is None


SCENARIOS = [
    Scenario('configured', 'configured run, VF device on COM3', {3: {}},
             'COM=COM3\r\nPORT=115200\r\n', 325, 0, True),
    Scenario('detect-one', 'detection, one device on COM3', {3: {}}, None, 2225, 2, True),
    Scenario('detect-two', 'detection, devices on COM3 and COM7', {3: {}, 7: {}}, None,
             3375, 4, True),
    Scenario('detect-none', 'detection, 2 silent ports, no device, No',
             {3: {'silent': True}, 4: {'silent': True}}, None, 1275, 4, False),
]


class BenchError(Exception):
    pass


# --- the simulators (tests/e2e/harness.py) --------------------------------------------------

sys.dont_write_bytecode = True  # no caches left in the source tree
sys.path.insert(0, os.path.join(ROOT, 'tests', 'e2e'))
import harness  # noqa: E402  the end-to-end harness: simulators
import wine_session  # noqa: E402  the Wine session


class Line:
    """A simulator of the harness on one COM number, with its log clock put on this process's
    monotonic clock."""

    def __init__(self, port, workdir, link=None, **options):
        self.port = port
        self.sim = harness.Simulator(workdir, 'com%d' % port, device_id=VF_ID, link=link,
                                     **options)
        self.offset_ms = None  # simulator time minus this process's monotonic time, ms
        self.sync_ms = None    # simulator time of the clock-sync byte

    def start(self):
        self.sim.start()
        return self

    def stop(self):
        self.sim.stop()

    def sync_clock(self):
        """Writes one byte (00) on the line and notes when; the simulator logs it as received
        (and ignores it: the line is not at a speed it answers at yet)."""
        fd = os.open(str(self.sim.link), os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            before = time.monotonic()
            os.write(fd, b'\x00')
            after = time.monotonic()
        finally:
            os.close(fd)
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            for e in self.sim.events():
                if e.kind == 'RX' and e.data == b'\x00':
                    self.sync_ms = e.time_ms
                    self.offset_ms = e.time_ms - (before + after) / 2 * 1000
                    return
            time.sleep(0.005)
        raise BenchError('simulator on COM%d did not log the clock-sync byte' % self.port)

    def traffic(self, kind):
        """(ms on this process's clock, bytes) of the RX or TX lines after the sync byte."""
        return [(e.time_ms - self.offset_ms, e.data) for e in self.sim.events()
                if e.kind == kind and e.time_ms > self.sync_ms]


# --- from the logs to the prescribed pauses --------------------------------------------------

class Unit:
    def __init__(self, t, port, kind):
        self.t = t          # ms, on this process's monotonic clock
        self.port = port
        self.kind = kind    # probe, ident, report, r18, r17, r04, other

    def __repr__(self):
        return '%s@COM%d' % (self.kind, self.port)


def written_units(line):
    """The units the program wrote on one line, each at the time its first byte was read."""
    units = []
    frame = None
    for t, data in line.traffic('RX'):
        for b in data:
            if frame is not None:
                body = frame[1]
                body.append(b)
                if len(body) == 2 and body[1] < 0x23:
                    units.append(Unit(frame[0], line.port, 'other'))
                    frame = None
                elif len(body) >= 2 and len(body) == body[1] - 0x20 + 4:
                    kind = {0x60: 'ident', 0x22: 'report'}.get(body[3], 'other')
                    units.append(Unit(frame[0], line.port, kind))
                    frame = None
                continue
            if b == 0x02:
                frame = (t, [b])
            elif b == 0x09:
                units.append(Unit(t, line.port, 'probe'))
            elif b in (0x18, 0x17, 0x04):
                units.append(Unit(t, line.port, 'r%02x' % b))
            else:
                units.append(Unit(t, line.port, 'other'))
    if frame is not None:
        units.append(Unit(frame[0], line.port, 'other'))
    return units


def looks_for_reply(ident, simulators):
    """Looks at the input the identification query makes before it sees the reply."""
    replies = [t for t, _ in simulators[ident.port].traffic('TX') if t >= ident.t]
    if not replies:
        raise BenchError('no identification reply on COM%d' % ident.port)
    waited = replies[0] - ident.t
    looks = 1
    while REPLY_FIRST_PAUSE + looks * REPLY_LOOK_PAUSE < waited:
        looks += 1
    return looks


def prescribed_pauses(units, simulators):
    """Checks the units against the program's sequence (see the derivation at the top) and
    returns (prescribed ms between the first and the last unit, trials, device session seen)."""
    if not units:
        raise BenchError('nothing was written on any line')
    i = 0
    n = len(units)
    pauses = []  # pause after unit k, for k in 0..n-2
    trials = 0
    device_session = False

    def expect(kind, port):
        if i >= n or units[i].kind != kind or units[i].port != port:
            got = units[i] if i < n else 'the end'
            raise BenchError('expected %s on COM%d, got %s (units: %s)' %
                             (kind, port, got, units))

    while i < n and units[i].kind == 'probe':
        port = units[i].port
        trials += 1
        pauses.append(PROBE_PAUSE)
        i += 1
        if i < n and units[i].kind == 'ident':
            expect('ident', port)
            pauses.append(TRIAL_ID_PAUSE)
            i += 1
        for kind in ('r18', 'r17', 'r04'):
            expect(kind, port)
            pauses.append(RELEASE_PAUSE)
            i += 1
        if i < n and units[i].kind == 'ident':
            pauses[-1] += AFTER_SCAN_PAUSE + BEFORE_OPEN_PAUSE + AFTER_OPEN_PAUSE
    if i < n:
        port = units[i].port
        expect('ident', port)
        device_session = True
        pauses.append(REPLY_FIRST_PAUSE + REPLY_LOOK_PAUSE * looks_for_reply(units[i], simulators))
        i += 1
        if i < n and units[i].kind == 'report':
            expect('report', port)
            pauses.append(0)
            i += 1
        for kind in ('r18', 'r17', 'r04'):
            expect(kind, port)
            pauses.append(RELEASE_PAUSE)
            i += 1
    if i != n:
        raise BenchError('unexpected units after the run: %s' % units[i:])
    return pauses[:n - 1], trials, device_session


def measure_wire(scenario, simulators):
    units = []
    for line in simulators.values():
        units.extend(written_units(line))
    units.sort(key=lambda u: u.t)
    pauses, trials, device_session = prescribed_pauses(units, simulators)
    prescribed = sum(pauses)
    # Where the time beyond the pauses went: the gap between two units minus its pause.
    gaps = sorted(((units[k + 1].t - units[k].t - pauses[k], '%r->%r' % (units[k], units[k + 1]))
                   for k in range(len(pauses))), reverse=True)
    if trials != scenario.trials or device_session != scenario.device_session:
        raise BenchError('%s: %d trials and %s device session, expected %d and %s' %
                         (scenario.name, trials, 'a' if device_session else 'no',
                          scenario.trials, 'a' if scenario.device_session else 'no'))
    if prescribed != scenario.expected_ms:
        raise BenchError('%s: the logs imply %d ms of pauses, the derivation %d ms' %
                         (scenario.name, prescribed, scenario.expected_ms))
    reports = sum(line.sim.reports_printed() for line in simulators.values())
    if reports != (1 if scenario.device_session else 0):
        raise BenchError('%s: %d reports printed' % (scenario.name, reports))
    measured = units[-1].t - units[0].t
    return {'measured_ms': measured, 'prescribed_ms': prescribed,
            'ratio': measured / prescribed, 'units': len(units),
            'first_byte_ms': units[0].t, 'last_byte_ms': units[-1].t,
            'largest_excess': ['%.1f ms %s' % g for g in gaps[:3]]}


# --- running a program and accounting for it -------------------------------------------------

PR_SET_CHILD_SUBREAPER = 36
_libc = None


def set_child_subreaper(on):
    global _libc
    if _libc is None:
        import ctypes
        _libc = ctypes.CDLL(None, use_errno=True)
    if _libc.prctl(PR_SET_CHILD_SUBREAPER, 1 if on else 0, 0, 0, 0) != 0:
        raise BenchError('prctl(PR_SET_CHILD_SUBREAPER) failed')


# The launcher: a small shell starts the program in the background, says its pid and ends.
LAUNCHER = 'out=$1; shift; "$@" </dev/null >"$out" 2>&1 & echo $!'


def run_measured(argv, cwd, env, out_path, timeout_s):
    """Runs a program and returns (exit code, CPU ms, peak RSS KiB) from its own wait4.

    A process's peak RSS counts the memory it had before its exec too, and a child forked
    from this Python process starts with all of Python's (about 14 MiB). So the program is
    forked by a small /bin/sh instead, whose own few hundred KiB stay below any program's
    peak, and this process, made a child subreaper, waits for it once the shell has ended.
    Standard input is /dev/null: no terminal, so the native retry question is answered No."""
    set_child_subreaper(True)
    try:
        shell = subprocess.Popen(['/bin/sh', '-c', LAUNCHER, 'launch', out_path] + argv,
                                 cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, text=True)
        pid = int(shell.communicate(timeout=10)[0].strip())
    finally:
        set_child_subreaper(False)
    done = threading.Event()

    def kill_late():
        if not done.is_set():
            os.kill(pid, signal.SIGKILL)

    timer = threading.Timer(timeout_s, kill_late)
    timer.start()
    try:
        _, status, usage = os.wait4(pid, 0)
    except ChildProcessError:
        raise BenchError('%s ended before it could be waited for' % argv[0])
    finally:
        done.set()
        timer.cancel()
    cpu_ms = (usage.ru_utime + usage.ru_stime) * 1000
    return os.waitstatus_to_exitcode(status), cpu_ms, usage.ru_maxrss


def start_lines(scenario, work, link_dir=None, session=None):
    """Simulators for the scenario's ports: linked as link_dir/comN (native), or mapped in the
    Wine session's prefix."""
    lines = {}
    try:
        for port, options in sorted(scenario.devices.items()):
            link = os.path.join(link_dir, 'com%d' % port) if link_dir else None
            line = Line(port, work, link=link, **options)
            lines[port] = line
            line.start()
            if session:
                session.map_port(port, line.sim)
            line.sync_clock()
    except BaseException:
        for line in lines.values():
            line.stop()
        raise
    return lines


def prepare_run_dir(scenario, work):
    run_dir = os.path.join(work, 'run')
    os.mkdir(run_dir)
    if scenario.settings is not None:
        with open(os.path.join(run_dir, 'Kestrelon.ini'), 'w', newline='') as f:
            f.write(scenario.settings)
    return run_dir


def finish_lines(scenario, lines):
    """Waits for the simulators' last log lines, stops them and measures the wire."""
    time.sleep(0.05)
    try:
        return measure_wire(scenario, lines)
    finally:
        for line in lines.values():
            line.stop()


def run_native_once(scenario, builds):
    with tempfile.TemporaryDirectory(prefix='kestrelon-bench-') as work:
        link_dir = os.path.join(work, 'com')
        os.mkdir(link_dir)
        run_dir = prepare_run_dir(scenario, work)
        lines = start_lines(scenario, work, link_dir=link_dir)
        try:
            env = {'PATH': '/usr/bin:/bin', 'LANG': 'C', 'KESTRELON_ISOLATED': '1',
                   'KESTRELON_COM_DIR': link_dir, 'KESTRELON_LOCK_DIR': work}
            code, cpu_ms, rss_kb = run_measured([builds['native']], run_dir, env,
                                                os.path.join(work, 'program.out'),
                                                RUN_TIMEOUT_S)
        except BaseException:
            for line in lines.values():
                line.stop()
            raise
        result = finish_lines(scenario, lines)
        if code != 0:
            raise BenchError('%s: kestrelon exited with %d' % (scenario.name, code))
    result.update(cpu_ms=cpu_ms, rss_kb=rss_kb)
    return result


# --- under Wine ------------------------------------------------------------------------------

def wine_cpu_ticks(prefix):
    """{(pid, start time): CPU ticks} of every process running in the Wine prefix (the
    server, the desktop with its tray, the services; the program itself too)."""
    marker = b'WINEPREFIX=' + os.fsencode(str(prefix)) + b'\0'
    out = {}
    for name in os.listdir('/proc'):
        if not name.isdigit():
            continue
        try:
            with open('/proc/%s/environ' % name, 'rb') as f:
                if marker not in f.read() + b'\0':
                    continue
            with open('/proc/%s/stat' % name) as f:
                fields = f.read().rsplit(')', 1)[1].split()
        except OSError:
            continue
        # After the name: state is field 3; utime 14, stime 15, starttime 22 (1-based).
        out[(int(name), fields[19])] = int(fields[11]) + int(fields[12])
    return out


def answer_box_no(session, lines, trials, done, outcome):
    """Answers the "Eroare" question with No, once the scan's last release byte is on the wire
    (so that nothing polls the display while the scan is timed)."""
    while not done.is_set():
        written = sum(1 for line in lines.values() for u in written_units(line)
                      if u.kind == 'r04')
        if written >= trials:
            break
        done.wait(0.05)
    while not done.is_set():
        windows = session.visible_windows(harness.BOX_TITLE)
        if windows:
            session.press(windows[0], 'alt+n')
            outcome['answered'] = True
            return
        done.wait(0.1)


def run_wine_once(scenario, builds, session):
    with tempfile.TemporaryDirectory(prefix='kestrelon-bench-') as work:
        run_dir = prepare_run_dir(scenario, work)
        lines = start_lines(scenario, work, session=session)
        done = threading.Event()
        outcome = {}
        answerer = None
        try:
            if not scenario.device_session:
                answerer = threading.Thread(target=answer_box_no,
                                            args=(session, lines, scenario.trials, done, outcome))
                answerer.start()
            before = wine_cpu_ticks(session.prefix)
            code, cpu_ms, rss_kb = run_measured(['wine', builds['exe']], run_dir, session.env,
                                                os.path.join(work, 'program.out'),
                                                RUN_TIMEOUT_S)
            after = wine_cpu_ticks(session.prefix)
        except BaseException:
            for line in lines.values():
                line.stop()
            raise
        finally:
            done.set()
            if answerer:
                answerer.join()
            session.unmap_all()
        result = finish_lines(scenario, lines)
        if code != 0:
            raise BenchError('%s: Kestrelon.exe exited with %d under Wine' % (scenario.name, code))
        if answerer and not outcome.get('answered'):
            raise BenchError('%s: the question was never shown' % scenario.name)
    ticks = sum(t - before.get(key, 0) for key, t in after.items())
    result.update(cpu_ms=cpu_ms, rss_kb=rss_kb,
                  others_cpu_ms=ticks * 1000.0 / os.sysconf('SC_CLK_TCK'))
    return result


def failed_opens_wine(builds, session, scans):
    """One scan's failed opens under Wine, in the session's prefix with none of our links:
    only Wine's own COM1 (the machine's /dev/ttyS0, /dev/null here) is there; it opens as a
    file and fails at its line settings, like every other name."""
    mapped = sorted(name for name in os.listdir(session.dosdevices)
                    if re.fullmatch(r'com\d+', name))
    with tempfile.TemporaryDirectory(prefix='kestrelon-bench-') as empty:
        env = dict(session.env, KESTRELON_COM_DIR=empty)
        out = subprocess.run(['wine', builds['failed_opens_exe'], str(scans)], env=env,
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True, timeout=300).stdout
    result = parse_failed_opens(out)
    result['mapped'] = ['%s -> %s' % (n, os.readlink(os.path.join(session.dosdevices, n)))
                        for n in mapped]
    return result


def run_wine(args, scenarios, builds, results):
    artifacts = os.path.join(args.windows_build, 'bench-wine')
    os.makedirs(artifacts, exist_ok=True)
    results['wine'] = {}
    with wine_session.WineSession(artifacts) as session:
        for scenario in scenarios:
            runs = []
            for i in range(args.wine_runs):
                r = run_wine_once(scenario, builds, session)
                runs.append(r)
                print('wine   %-12s run %d: %8.1f ms for %4d ms of pauses, ratio %.4f, '
                      'CPU %5.1f ms (+%.1f ms other Wine processes), RSS %d KiB; '
                      'largest excess %s' %
                      (scenario.name, i + 1, r['measured_ms'], r['prescribed_ms'], r['ratio'],
                       r['cpu_ms'], r['others_cpu_ms'], r['rss_kb'], r['largest_excess'][0]),
                      flush=True)
            results['wine'][scenario.name] = runs
        results['failed_opens']['wine'] = failed_opens_wine(builds, session, args.scans)
        print('wine failed opens: %.3f ms per scan (median of %d); COM names in the prefix: %s'
              % (results['failed_opens']['wine']['median_ms'], args.scans,
                 ', '.join(results['failed_opens']['wine']['mapped']) or 'none'), flush=True)


def failed_opens_native(builds, scans):
    with tempfile.TemporaryDirectory(prefix='kestrelon-bench-') as empty:
        env = {'PATH': '/usr/bin:/bin', 'KESTRELON_ISOLATED': '1', 'KESTRELON_COM_DIR': empty}
        # Nothing may open: the directory is empty.
        out = subprocess.run([builds['failed_opens'], str(scans)], env=env, check=True,
                             stdout=subprocess.PIPE, text=True, timeout=120).stdout
    return parse_failed_opens(out)


def parse_failed_opens(out):
    m = re.search(r'^failed_opens attempts=(\d+) scans=(\d+) median_ms=([\d.]+) '
                  r'min_ms=([\d.]+) max_ms=([\d.]+) opened=(\d+)', out, re.M)
    if not m:
        raise BenchError('failed_opens printed no summary:\n' + out)
    return {'attempts': int(m.group(1)), 'scans': int(m.group(2)),
            'median_ms': float(m.group(3)), 'min_ms': float(m.group(4)),
            'max_ms': float(m.group(5)), 'opened': int(m.group(6))}


# --- the executable --------------------------------------------------------------------------

def exe_facts(path):
    """Size and imported DLLs of Kestrelon.exe, read from the PE file."""
    sys.path.insert(0, os.path.join(ROOT, 'tests', 'resources'))
    try:
        from check_binary import Pe, SYSTEM_DLLS  # the project's own PE reader
    finally:
        sys.path.pop(0)
    data = open(path, 'rb').read()
    imports = sorted({name.lower() for name in Pe(data).imports()})
    return {'size': len(data), 'imports': imports,
            'non_system': sorted(set(imports) - SYSTEM_DLLS)}


# --- the report ------------------------------------------------------------------------------

def summarize(runs):
    keys = ('measured_ms', 'prescribed_ms', 'ratio', 'cpu_ms', 'rss_kb', 'others_cpu_ms')
    out = {k: statistics.median(r[k] for r in runs) for k in keys if all(k in r for r in runs)}
    out['runs'] = len(runs)
    out['ratio_max'] = max(r['ratio'] for r in runs)
    out['ratio_min'] = min(r['ratio'] for r in runs)
    return out


def verdicts(results):
    """[(what, value text, target text, ok, hard)]: hard misses make the exit code 1."""
    out = []
    for platform, target in (('native', NATIVE_RATIO_TARGET), ('wine', WINE_RATIO_TARGET)):
        for scenario in SCENARIOS:
            runs = results.get(platform, {}).get(scenario.name)
            if not runs:
                continue
            s = summarize(runs)
            ok = s['ratio'] <= target
            hard = platform == 'native' or s['ratio_min'] > target
            out.append(('%s %s measured/prescribed' % (platform, scenario.name),
                        '%.4f (max %.4f)' % (s['ratio'], s['ratio_max']),
                        '<= %.2f' % target, ok, hard))
            if platform == 'native' and scenario.detection:
                out.append(('native %s CPU time' % scenario.name, '%.1f ms' % s['cpu_ms'],
                            '< %.0f ms' % NATIVE_CPU_TARGET_MS,
                            s['cpu_ms'] < NATIVE_CPU_TARGET_MS, True))
            if platform == 'native':
                out.append(('native %s peak RSS' % scenario.name, '%d KiB' % s['rss_kb'],
                            '< %d KiB' % NATIVE_RSS_TARGET_KB,
                            s['rss_kb'] < NATIVE_RSS_TARGET_KB, True))
    fo = results.get('failed_opens', {})
    if 'native' in fo:
        out.append(('native failed opens of one scan', '%.3f ms' % fo['native']['median_ms'],
                    '< %.0f ms' % NATIVE_FAILED_OPENS_TARGET_MS,
                    fo['native']['median_ms'] < NATIVE_FAILED_OPENS_TARGET_MS, True))
    exe = results.get('exe')
    if exe:
        out.append(('Kestrelon.exe size', '%d bytes' % exe['size'], '< %d' % EXE_SIZE_TARGET,
                    exe['size'] < EXE_SIZE_TARGET, True))
        out.append(('Kestrelon.exe imports', ', '.join(exe['imports']), 'system DLLs only',
                    not exe['non_system'], True))
    return out


def format_tables(results, markdown=False):
    lines = []
    head = ['platform', 'scenario', 'runs', 'first->last byte ms', 'prescribed ms', 'ratio',
            'ratio max', 'CPU ms', 'peak RSS KiB', 'other Wine CPU ms']
    rows = []
    for platform in ('native', 'wine'):
        for scenario in SCENARIOS:
            runs = results.get(platform, {}).get(scenario.name)
            if not runs:
                continue
            s = summarize(runs)
            rows.append([platform, scenario.name, str(s['runs']), '%.1f' % s['measured_ms'],
                         '%d' % s['prescribed_ms'], '%.4f' % s['ratio'],
                         '%.4f' % s['ratio_max'], '%.1f' % s['cpu_ms'], '%d' % s['rss_kb'],
                         '%.1f' % s['others_cpu_ms'] if 'others_cpu_ms' in s else '-'])
    lines += table(head, rows, markdown)
    fo = results.get('failed_opens', {})
    if fo:
        lines.append('')
        rows = [[p, str(v['attempts']), str(v['scans']), '%.3f' % v['median_ms'],
                 '%.3f' % v['min_ms'], '%.3f' % v['max_ms'], str(v['opened'])]
                for p, v in sorted(fo.items())]
        lines += table(['failed opens', 'attempts per scan', 'scans', 'median ms', 'min ms',
                        'max ms', 'names that opened'], rows, markdown)
    lines.append('')
    rows = [[what, value, target, 'ok' if ok else ('MISS' if hard else 'miss (soft)')]
            for what, value, target, ok, hard in verdicts(results)]
    lines += table(['target', 'measured', 'target', 'verdict'], rows, markdown)
    return '\n'.join(lines)


def table(head, rows, markdown):
    if markdown:
        out = ['| ' + ' | '.join(head) + ' |', '|' + '|'.join('---' for _ in head) + '|']
        out += ['| ' + ' | '.join(r) + ' |' for r in rows]
        return out
    widths = [max(len(x) for x in col) for col in zip(head, *rows)]
    fmt = '  '.join('%%-%ds' % w for w in widths)
    return [fmt % tuple(head), fmt % tuple('-' * w for w in widths)] + \
        [fmt % tuple(r) for r in rows]


def machine_note():
    model = '?'
    try:
        for line in open('/proc/cpuinfo'):
            if line.startswith('model name'):
                model = line.split(':', 1)[1].strip()
                break
    except OSError:
        pass
    return '%d cores (nproc), %s, Linux %s, %s' % (
        os.cpu_count() or 0, model, os.uname().release, time.strftime('%Y-%m-%d'))


# --- main ------------------------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--native-build', default=os.path.join(ROOT, 'build', 'native'))
    parser.add_argument('--windows-build',
                        default=os.path.join(ROOT, 'build', 'windows-release'))
    parser.add_argument('--runs', type=int, default=5, help='native runs per scenario (>= 1)')
    parser.add_argument('--wine-runs', type=int, default=3, help='Wine runs per scenario')
    parser.add_argument('--scans', type=int, default=20, help='failed-open scans per run')
    parser.add_argument('--no-native', action='store_true')
    parser.add_argument('--no-wine', action='store_true')
    parser.add_argument('--scenario', action='append', choices=[s.name for s in SCENARIOS],
                        help='run only this scenario (repeatable)')
    parser.add_argument('--json', help='write all runs to this file')
    parser.add_argument('--markdown', action='store_true', help='print the tables as Markdown')
    args = parser.parse_args()

    if os.environ.get('KESTRELON_ISOLATED') != '1':
        print('refusing to run outside scripts/isolated.sh (KESTRELON_ISOLATED=1)',
              file=sys.stderr)
        return 2
    if args.runs < 1 or args.wine_runs < 1 or args.scans < 1:
        parser.error('--runs, --wine-runs and --scans must be at least 1')
    scenarios = [s for s in SCENARIOS if not args.scenario or s.name in args.scenario]

    builds = {'native': os.path.join(args.native_build, 'kestrelon'),
              'simulator': os.path.join(args.native_build, 'simulator', 'kestrelon-sim'),
              'failed_opens': os.path.join(args.native_build, 'bench', 'failed_opens'),
              'exe': os.path.join(args.windows_build, 'Kestrelon.exe'),
              'failed_opens_exe': os.path.join(args.windows_build, 'bench', 'failed_opens.exe')}
    needed = ['simulator'] + ([] if args.no_native else ['native', 'failed_opens']) + \
        ([] if args.no_wine else ['exe', 'failed_opens_exe'])
    missing = [builds[k] for k in needed if not os.path.exists(builds[k])]
    if missing:
        print('not built: %s (scripts/bench.sh builds them)' % ', '.join(missing),
              file=sys.stderr)
        return 2

    os.environ['KESTRELON_SIM'] = builds['simulator']  # for the harness
    os.environ['KESTRELON_EXE'] = builds['exe']
    results = {'machine': machine_note(), 'failed_opens': {}}
    print('machine: %s' % results['machine'], flush=True)
    try:
        if not args.no_native:
            results['native'] = {}
            for scenario in scenarios:
                runs = []
                for i in range(args.runs):
                    r = run_native_once(scenario, builds)
                    runs.append(r)
                    print('native %-12s run %d: %8.1f ms for %4d ms of pauses, ratio %.4f, '
                          'CPU %5.1f ms, RSS %d KiB; largest excess %s' % (
                              scenario.name, i + 1, r['measured_ms'], r['prescribed_ms'],
                              r['ratio'], r['cpu_ms'], r['rss_kb'], r['largest_excess'][0]),
                          flush=True)
                results['native'][scenario.name] = runs
            results['failed_opens']['native'] = failed_opens_native(builds, args.scans)
        if not args.no_wine:
            run_wine(args, scenarios, builds, results)
            results['exe'] = exe_facts(builds['exe'])
    except BenchError as e:
        print('benchmark failed: %s' % e, file=sys.stderr)
        return 1

    print()
    print(format_tables(results, args.markdown))
    if args.json:
        with open(args.json, 'w') as f:
            json.dump(results, f, indent=1)
    missed = [v for v in verdicts(results) if not v[3] and v[4]]
    if missed:
        print('\nmissed: %s' % '; '.join(v[0] for v in missed))
    return 1 if missed else 0


if __name__ == '__main__':
    sys.exit(main())
