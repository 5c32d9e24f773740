#!/usr/bin/python3
"""Writes the checksum file of a release: one line per file, as `sha256sum -c` reads it.

Usage: checksums.py --sums FILE FILE...
"""
import argparse
import hashlib
import os


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--sums', required=True)
    parser.add_argument('files', nargs='+')
    args = parser.parse_args()
    lines = ['%s  %s\n' % (hashlib.sha256(open(path, 'rb').read()).hexdigest(),
                           os.path.basename(path)) for path in args.files]
    temporary = args.sums + '.part'
    with open(temporary, 'w', newline='\n') as sums:
        sums.writelines(lines)
    os.replace(temporary, args.sums)


if __name__ == '__main__':
    main()
