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

The pauses are the program's own: bench/prescribed_pauses.cpp runs the same run against the
unit tests' fake serial platform, whose clock is virtual, and tells every write with the sum of
the pauses before it. The simulators must receive exactly those bytes from the real program;
each write is then timed by the log line of its first byte, and the prescribed time between two
writes is the difference of their pause sums.

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
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

NATIVE_RATIO_TARGET = 1.02
WINE_RATIO_TARGET = 1.05
NATIVE_CPU_TARGET_MS = 50.0
NATIVE_RSS_TARGET_KB = 4 * 1024
NATIVE_FAILED_OPENS_TARGET_MS = 5.0
EXE_SIZE_TARGET = 512 * 1024
RUN_TIMEOUT_S = 120

VF_ID = 'VF12345678'


class Scenario:
    def __init__(self, name, title, devices, settings):
        self.name = name
        self.title = title
        self.devices = devices      # {port number: options of harness.Simulator}
        self.settings = settings    # Kestrelon.ini contents, None for no file
        self.detection = settings is None


SCENARIOS = [
    Scenario('configured', 'configured run, VF device on COM3', {3: {}},
             'COM=COM3\r\nPORT=115200\r\n'),
    Scenario('detect-one', 'detection, one device on COM3', {3: {}}, None),
    Scenario('detect-two', 'detection, devices on COM3 and COM7', {3: {}, 7: {}}, None),
    Scenario('detect-none', 'detection, 2 silent ports, no device, No',
             {3: {'silent': True}, 4: {'silent': True}}, None),
]


class BenchError(Exception):
    pass


# --- the simulators (tests/e2e/harness.py) --------------------------------------------------

sys.dont_write_bytecode = True  # no caches left in the source tree
sys.path.insert(0, os.path.join(ROOT, 'tests', 'e2e'))
import harness  # noqa: E402  the end-to-end harness: simulators, ending a child process
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

    def received(self):
        """[(ms on this process's clock, byte)] of every byte received after the sync byte."""
        return [(e.time_ms - self.offset_ms, byte) for e in self.sim.events()
                if e.kind == 'RX' and e.time_ms > self.sync_ms for byte in e.data]


# --- what the run writes, and its pauses, from the run itself ---------------------------------

class Write:
    def __init__(self, paused_ms, port, data):
        self.paused_ms = paused_ms  # the run's pauses before it
        self.port = port
        self.data = data
        self.t = None               # ms on this process's clock, when its first byte came

    def __repr__(self):
        return '%s@COM%d' % (self.data[:3].hex(' '), self.port)


class Model:
    """What prescribed_pauses says the run of a scenario writes, in order, and how it ends."""

    def __init__(self, scenario, helper):
        args = [helper] + (['--settings', scenario.settings] if scenario.settings else []) + \
            ['%d%s' % (port, ':silent' if options.get('silent') else '')
             for port, options in sorted(scenario.devices.items())]
        out = subprocess.run(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True,
                             check=True, timeout=60).stdout
        self.writes = [Write(int(ms), int(port), bytes.fromhex(data)) for ms, port, data in
                       re.findall(r'^write (\d+) COM(\d+) (.*)$', out, re.M)]
        end = re.search(r'^end (\w+)$', out, re.M)
        if not self.writes or not end:
            raise BenchError('prescribed_pauses said nothing of %s:\n%s' % (scenario.name, out))
        self.reports = 1 if end[1] == 'finished' else 0
        self.prescribed_ms = self.writes[-1].paused_ms - self.writes[0].paused_ms

    def bytes_to(self, port):
        return b''.join(w.data for w in self.writes if w.port == port)

    def timed(self, lines):
        """The writes, each timed by the arrival of its first byte on its line; the lines must
        have received exactly the bytes the model writes."""
        writes = [Write(w.paused_ms, w.port, w.data) for w in self.writes]
        for port, line in lines.items():
            received = line.received()
            wanted = self.bytes_to(port)
            if bytes(b for _, b in received) != wanted:
                raise BenchError('COM%d received %s, the run writes %s' % (
                    port, bytes(b for _, b in received).hex(' '), wanted.hex(' ')))
            at = 0
            for w in writes:
                if w.port == port:
                    w.t = received[at][0]
                    at += len(w.data)
        return writes


def measure_wire(model, lines):
    writes = model.timed(lines)
    reports = sum(line.sim.reports_printed() for line in lines.values())
    if reports != model.reports:
        raise BenchError('%d reports printed, the run prints %d' % (reports, model.reports))
    # Where the time beyond the pauses went: the gap between two writes minus its pauses.
    gaps = sorted(((b.t - a.t - (b.paused_ms - a.paused_ms), '%r->%r' % (a, b))
                   for a, b in zip(writes, writes[1:])), reverse=True)
    measured = writes[-1].t - writes[0].t
    return {'measured_ms': measured, 'prescribed_ms': model.prescribed_ms,
            'ratio': measured / model.prescribed_ms, 'writes': len(writes),
            'first_byte_ms': writes[0].t, 'last_byte_ms': writes[-1].t,
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
        stop_lines(lines)
        raise
    return lines


def stop_lines(lines):
    for line in lines.values():
        line.stop()


def prepare_run_dir(scenario, work):
    run_dir = os.path.join(work, 'run')
    os.mkdir(run_dir)
    if scenario.settings is not None:
        with open(os.path.join(run_dir, 'Kestrelon.ini'), 'w', newline='') as f:
            f.write(scenario.settings)
    return run_dir


def run_once(scenario, model, target):
    """One run of the target's program in the scenario: the wire measured against the model,
    and the process's own accounting."""
    with tempfile.TemporaryDirectory(prefix='kestrelon-bench-') as work:
        run_dir = prepare_run_dir(scenario, work)
        lines = target.start_lines(scenario, work)
        try:
            code, accounting = target.run(model, lines, run_dir, work)
            time.sleep(0.05)  # the simulators' last log lines
            result = measure_wire(model, lines)
        finally:
            stop_lines(lines)
            target.lines_gone()
        if code != 0:
            raise BenchError('%s: %s exited with %d' % (scenario.name, target.program, code))
    result.update(accounting)
    return result


class NativeTarget:
    """The native kestrelon; its COM ports are links in a folder of the run's own."""

    name = 'native'
    program = 'kestrelon'

    def __init__(self, builds):
        self.builds = builds

    def start_lines(self, scenario, work):
        self.link_dir = os.path.join(work, 'com')
        os.mkdir(self.link_dir)
        return start_lines(scenario, work, link_dir=self.link_dir)

    def run(self, model, lines, run_dir, work):
        env = {'PATH': '/usr/bin:/bin', 'LANG': 'C', 'KESTRELON_ISOLATED': '1',
               'KESTRELON_COM_DIR': self.link_dir, 'KESTRELON_LOCK_DIR': work}
        code, cpu_ms, rss_kb = run_measured([self.builds['native']], run_dir, env,
                                            os.path.join(work, 'program.out'), RUN_TIMEOUT_S)
        return code, {'cpu_ms': cpu_ms, 'rss_kb': rss_kb}

    def lines_gone(self):
        pass

    def failed_opens(self, scans):
        with tempfile.TemporaryDirectory(prefix='kestrelon-bench-') as empty:
            env = {'PATH': '/usr/bin:/bin', 'KESTRELON_ISOLATED': '1',
                   'KESTRELON_COM_DIR': empty}
            # Nothing may open: the directory is empty.
            out = subprocess.run([self.builds['failed_opens'], str(scans)], env=env, check=True,
                                 stdout=subprocess.PIPE, text=True, timeout=120).stdout
        return parse_failed_opens(out)


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


def answer_box_no(session, model, lines, done, outcome):
    """Answers the "Eroare" question with No, once the scan's last byte is on the wire (so
    that nothing polls the display while the scan is timed)."""
    written = sum(len(w.data) for w in model.writes)
    while not done.is_set() and sum(len(line.received()) for line in lines.values()) < written:
        done.wait(0.05)
    while not done.is_set():
        windows = session.visible_windows(harness.BOX_TITLE)
        if windows:
            session.press(windows[0], 'alt+n')
            outcome['answered'] = True
            return
        done.wait(0.1)


class WineTarget:
    """Kestrelon.exe under Wine, in one session for every run; the simulators mapped as its
    COM ports."""

    name = 'wine'
    program = 'Kestrelon.exe'

    def __init__(self, builds, session):
        self.builds = builds
        self.session = session

    def start_lines(self, scenario, work):
        return start_lines(scenario, work, session=self.session)

    def run(self, model, lines, run_dir, work):
        done = threading.Event()
        outcome = {}
        answerer = None
        if not model.reports:  # no device: the question comes, answered No
            answerer = threading.Thread(target=answer_box_no,
                                        args=(self.session, model, lines, done, outcome))
            answerer.start()
        try:
            before = wine_cpu_ticks(self.session.prefix)
            code, cpu_ms, rss_kb = run_measured(['wine', self.builds['exe']], run_dir,
                                                self.session.env,
                                                os.path.join(work, 'program.out'), RUN_TIMEOUT_S)
            after = wine_cpu_ticks(self.session.prefix)
        finally:
            done.set()
            if answerer:
                answerer.join()
        if answerer and not outcome.get('answered'):
            raise BenchError('the question was never shown')
        ticks = sum(t - before.get(key, 0) for key, t in after.items())
        return code, {'cpu_ms': cpu_ms, 'rss_kb': rss_kb,
                      'others_cpu_ms': ticks * 1000.0 / os.sysconf('SC_CLK_TCK')}

    def lines_gone(self):
        self.session.unmap_all()

    def failed_opens(self, scans):
        """One scan's failed opens under Wine, in the session's prefix with none of our links:
        only Wine's own COM1 (the machine's /dev/ttyS0, /dev/null here) is there; it opens as a
        file and fails at its line settings, like every other name."""
        dosdevices = self.session.dosdevices
        mapped = sorted(name for name in os.listdir(dosdevices) if re.fullmatch(r'com\d+', name))
        with tempfile.TemporaryDirectory(prefix='kestrelon-bench-') as empty:
            env = dict(self.session.env, KESTRELON_COM_DIR=empty)
            out = subprocess.run(['wine', self.builds['failed_opens_exe'], str(scans)], env=env,
                                 stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                 stderr=subprocess.DEVNULL, text=True, timeout=300).stdout
        result = parse_failed_opens(out)
        result['mapped'] = ['%s -> %s' % (n, os.readlink(os.path.join(dosdevices, n)))
                            for n in mapped]
        return result


def run_target(args, target, scenarios, models, results):
    """Every scenario's runs on one target, then one scan's failed opens there."""
    runs_wanted = args.runs if target.name == 'native' else args.wine_runs
    results[target.name] = {}
    for scenario in scenarios:
        runs = []
        for i in range(runs_wanted):
            r = run_once(scenario, models[scenario.name], target)
            runs.append(r)
            others = (' (+%.1f ms other Wine processes)' % r['others_cpu_ms']
                      if 'others_cpu_ms' in r else '')
            print('%-6s %-12s run %d: %8.1f ms for %4d ms of pauses, ratio %.4f, CPU %5.1f ms%s, '
                  'RSS %d KiB; largest excess %s' %
                  (target.name, scenario.name, i + 1, r['measured_ms'], r['prescribed_ms'],
                   r['ratio'], r['cpu_ms'], others, r['rss_kb'], r['largest_excess'][0]),
                  flush=True)
        results[target.name][scenario.name] = runs
    opens = results['failed_opens'][target.name] = target.failed_opens(args.scans)
    mapped = ('; COM names in the prefix: %s' % (', '.join(opens['mapped']) or 'none')
              if 'mapped' in opens else '')
    print('%s failed opens: %.3f ms per scan (median of %d)%s'
          % (target.name, opens['median_ms'], args.scans, mapped), flush=True)


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
              'prescribed_pauses': os.path.join(args.native_build, 'bench', 'prescribed_pauses'),
              'exe': os.path.join(args.windows_build, 'Kestrelon.exe'),
              'failed_opens_exe': os.path.join(args.windows_build, 'bench', 'failed_opens.exe')}
    needed = ['simulator', 'prescribed_pauses'] + \
        ([] if args.no_native else ['native', 'failed_opens']) + \
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
        models = {s.name: Model(s, builds['prescribed_pauses']) for s in scenarios}
        if not args.no_native:
            run_target(args, NativeTarget(builds), scenarios, models, results)
        if not args.no_wine:
            artifacts = os.path.join(args.windows_build, 'bench-wine')
            os.makedirs(artifacts, exist_ok=True)
            with wine_session.WineSession(artifacts) as session:
                run_target(args, WineTarget(builds, session), scenarios, models, results)
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
