#!/usr/bin/python3
"""Builds the shipped Windows programs and the release (the archive, the setup program and
SHA256SUMS) twice, from two copies of the sources at different paths (so the build folders
differ too), with a different umask and time zone, and checks that the two builds give the same
bytes: every program, the archive, the setup program and SHA256SUMS. Also checks that no build
path is written into them, that SHA256SUMS lists the archive and the setup program with their
checksums, and that the archive holds exactly one folder with the programs, as built, and the
documents (the guide, the owner's page).

Usage: check_reproducible.py --source DIR --preset PRESET --folder NAME --programs NAME...
                             --documents NAME... --setup NAME
"""
import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile

from check_binary import Checks

# Not part of the sources: build output, version control, caches.
SKIPPED_AT_TOP = {'build', 'dist', '.git'}


def copy_sources(source, target):
    def ignore(folder, names):
        skipped = {'__pycache__'}
        if os.path.samefile(folder, source):
            skipped |= SKIPPED_AT_TOP
        return [n for n in names if n in skipped]

    shutil.copytree(source, target, ignore=ignore, symlinks=True)


def build(checkout, preset, umask, zone, log):
    env = dict(os.environ, TZ=zone)
    env.pop('SOURCE_DATE_EPOCH', None)
    old = os.umask(umask)
    try:
        for command in (['cmake', '--preset', preset],
                        ['cmake', '--build', '--preset', preset, '--target', 'release']):
            with open(log, 'a') as out:
                done = subprocess.run(command, cwd=checkout, env=env, stdout=out,
                                      stderr=subprocess.STDOUT)
            if done.returncode != 0:
                sys.exit('%s failed in %s (log: %s)' % (' '.join(command), checkout, log))
    finally:
        os.umask(old)
    return os.path.join(checkout, 'build', preset)


def first_difference(a, b):
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return i
    return min(len(a), len(b))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--source', required=True)
    parser.add_argument('--preset', required=True)
    parser.add_argument('--folder', required=True)
    parser.add_argument('--programs', nargs='+', required=True)
    parser.add_argument('--documents', nargs='+', required=True)
    parser.add_argument('--setup', required=True)
    args = parser.parse_args()

    scratch = tempfile.mkdtemp(prefix='kestrelon-reproducible-')
    checkouts = [os.path.join(scratch, 'a', 'src'),
                 os.path.join(scratch, 'second', 'another-checkout')]
    settings = [(0o022, 'UTC0'), (0o077, 'EET-2EEST,M3.5.0/3,M10.5.0/4')]
    builds = []
    for checkout, (umask, zone) in zip(checkouts, settings):
        copy_sources(args.source, checkout)
        print('building in %s (umask %03o, TZ=%s)' % (checkout, umask, zone), flush=True)
        builds.append(build(checkout, args.preset, umask, zone, checkout + '.log'))

    archive = os.path.join('dist', args.folder + '.zip')
    setup = os.path.join('dist', args.setup)
    sums = os.path.join('dist', 'SHA256SUMS')
    outputs = ['%s.exe' % p for p in args.programs] + [archive, setup, sums]
    paths = [os.fsencode(p) for p in checkouts + builds]
    c = Checks()
    for output in outputs:
        one, two = (open(os.path.join(b, output), 'rb').read() for b in builds)
        digests = [hashlib.sha256(data).hexdigest() for data in (one, two)]
        print('%s: %s / %s' % (output, *digests))
        c.check(one == two, '%s is the same in both builds' % output,
                'sizes %d and %d, first difference at byte %d' % (
                    len(one), len(two), first_difference(one, two)))
        embedded = [p.decode() for p in paths if p in one or p in two]
        c.check(not embedded, '%s holds no build path' % output, ', '.join(embedded))

    listed = open(os.path.join(builds[0], sums)).read()
    expected = ''.join('%s  %s\n' % (hashlib.sha256(open(os.path.join(builds[0], f), 'rb').read())
                                     .hexdigest(), os.path.basename(f)) for f in (archive, setup))
    c.check(listed == expected, 'SHA256SUMS lists the archive and the setup program',
            repr(listed))

    with zipfile.ZipFile(os.path.join(builds[0], archive)) as packed:
        names = packed.namelist()
        expected = [args.folder + '/'] + ['%s/%s.exe' % (args.folder, p) for p in args.programs] + \
            ['%s/%s' % (args.folder, d) for d in args.documents]
        c.check(names == expected, 'the archive holds %s' % ', '.join(expected), ', '.join(names))
        for program in args.programs:
            name = '%s/%s.exe' % (args.folder, program)
            built = open(os.path.join(builds[0], program + '.exe'), 'rb').read()
            c.check(name in names and packed.read(name) == built,
                    '%s in the archive is the program as built' % name)

    print('%d passed, %d failed' % (c.passed, c.failed))
    if c.failed:
        print('both builds stay in %s' % scratch)
        return 1
    shutil.rmtree(scratch)
    return 0


if __name__ == '__main__':
    sys.exit(main())
