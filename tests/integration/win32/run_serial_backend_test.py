#!/usr/bin/python3
"""Runs the Win32 serial backend test under Wine against the device simulator.

The simulator stands on a pseudo-terminal whose slave is linked as COM5 in the private Wine
prefix WINEPREFIX (scripts/wine_prefix.sh makes one and runs this script in it); the test
program opens \\\\.\\COM5 through the real Win32 calls. Afterwards the simulator's log
must show the speed that was set and the bytes that were sent.
Refuses to run outside scripts/isolated.sh. Exit code 77 when the simulator is not built.

Usage: run_serial_backend_test.py --simulator SIM --test EXE
"""
import argparse
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

COM = 5
DEVICE_ID = 'VF20260412'
STATUS = 0x42
SPEED = 115200
MUTE_SPEED = 9600
MISSING = 'COM6'


def wait_for(path, seconds, process):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if os.path.exists(path):
            return True
        if process.poll() is not None:
            return False
        time.sleep(0.05)
    return False


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--simulator', required=True)
    parser.add_argument('--test', required=True)
    args = parser.parse_args()

    if os.environ.get('KESTRELON_ISOLATED') != '1' or not os.environ.get('WINEPREFIX'):
        print('refusing to run outside scripts/isolated.sh or without WINEPREFIX', file=sys.stderr)
        return 2
    if not os.access(args.simulator, os.X_OK):
        print('simulator not built: %s (build the native preset first)' % args.simulator)
        return 77

    prefix = os.environ['WINEPREFIX']
    env = dict(os.environ, WINEDEBUG='-all')
    link = os.path.join(prefix, 'dosdevices', 'com%d' % COM)
    missing_link = os.path.join(prefix, 'dosdevices', MISSING.lower())
    for stale in (link, missing_link):
        if os.path.lexists(stale):
            os.unlink(stale)

    checks = {'passed': 0, 'failed': 0}

    def check(ok, what, detail=''):
        checks['passed' if ok else 'failed'] += 1
        print('%s %s%s' % ('ok  ' if ok else 'FAIL', what, (': ' + detail) if detail and not ok else ''))

    with tempfile.TemporaryDirectory(prefix='kestrelon-serial-') as work:
        log = os.path.join(work, 'simulator.log')
        ready = os.path.join(work, 'ready')
        simulator = subprocess.Popen(
            [args.simulator, '--link', link, '--id', DEVICE_ID, '--status', '%02X' % STATUS,
             '--speeds', str(SPEED), '--log', log, '--ready-file', ready],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        try:
            if not wait_for(ready, 10, simulator):
                simulator.kill()
                print('simulator did not get ready:', simulator.communicate()[1], file=sys.stderr)
                return 1
            test_env = dict(env, KESTRELON_TEST_COM='COM%d' % COM, KESTRELON_TEST_ID=DEVICE_ID,
                            KESTRELON_TEST_STATUS=str(STATUS),
                            KESTRELON_TEST_MUTE_SPEED=str(MUTE_SPEED),
                            KESTRELON_TEST_MISSING=MISSING)
            try:
                result = subprocess.run(['wine', args.test], env=test_env, timeout=240)
                check(result.returncode == 0, 'serial backend test under Wine',
                      'exit code %d' % result.returncode)
            except subprocess.TimeoutExpired:
                check(False, 'serial backend test under Wine', 'timed out')
            # Let this prefix's server end while the line is still there.
            subprocess.run(['wineserver', '-k'], env=env, timeout=30, check=False)
            subprocess.run(['wineserver', '-w'], env=env, timeout=30, check=False)
        finally:
            if simulator.poll() is None:
                simulator.send_signal(signal.SIGTERM)
                try:
                    simulator.wait(10)
                except subprocess.TimeoutExpired:
                    simulator.kill()
                    simulator.wait()
            if os.path.lexists(link):
                os.unlink(link)

        text = open(log, encoding='ascii', errors='replace').read() if os.path.exists(log) else ''
        speeds = re.findall(r'^T=[\d.]+ SPEED (\d+)', text, re.M)
        received = ' '.join(re.findall(r'^T=[\d.]+ RX ((?:[0-9A-Fa-f]{2} ?)+)', text, re.M)).upper()
        check(str(SPEED) in speeds and str(MUTE_SPEED) in speeds,
              'device saw both speeds set', 'speeds: %s' % speeds)
        check('09' in received.split(), 'device received the probe byte')
        check('02 23 21 60 36 32 0A' in received, 'device received the identification frame',
              received[:200])
        check('18 17 04' in received or all(b in received.split() for b in ('18', '17', '04')),
              'device received the release sequence')

    print('%d passed, %d failed' % (checks['passed'], checks['failed']))
    return 0 if checks['failed'] == 0 else 1


if __name__ == '__main__':
    sys.exit(main())
