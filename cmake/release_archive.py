#!/usr/bin/python3
"""Writes the release archive, the same bytes from every build.

The archive holds one folder with the given files, in the order given: a directory entry,
then each file under its own name. Every entry carries the same date and fixed permissions
(0755 for programs, 0644 for the rest) and no owner; files are stored uncompressed, so the
bytes depend on no compressor's version.

Text files (.txt) are the user's to read in Notepad: they must be UTF-8 with a signature, with
CR LF line ends, and use the comma-below letters; the archive is not written otherwise.

Usage: release_archive.py --folder NAME --date YYYY-MM-DDTHH:MM:SS --zip ARCHIVE FILE...
"""
import argparse
import datetime
import os
import sys
import zipfile

CEDILLA_LETTERS = '\u015e\u015f\u0162\u0163'  # Ş ş Ţ ţ: Romanian wants Ș ș Ț ț (comma below)


def text_problem(data):
    """Why a text file cannot ship as it is, or None."""
    if not data.startswith(b'\xef\xbb\xbf'):
        return 'no UTF-8 signature (BOM) at the start'
    try:
        text = data[3:].decode('utf-8')
    except UnicodeDecodeError as e:
        return 'not UTF-8: %s' % e
    if text.replace('\r\n', '').count('\n') or text.replace('\r\n', '').count('\r'):
        return 'a line ends otherwise than with CR LF'
    if not text.endswith('\r\n'):
        return 'the last line has no CR LF'
    found = sorted({c for c in text if c in CEDILLA_LETTERS})
    if found:
        return 'cedilla letters %s instead of the comma-below forms' % ' '.join(found)
    return None


def entry(name, date, mode):
    info = zipfile.ZipInfo(name, date_time=date)
    info.create_system = 3  # Unix, so that the permissions below are what unzip sets
    info.external_attr = mode << 16
    if name.endswith('/'):
        info.external_attr |= 0x10  # the MS-DOS directory flag
    info.compress_type = zipfile.ZIP_STORED
    return info


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--folder', required=True)
    parser.add_argument('--date', required=True, type=datetime.datetime.fromisoformat)
    parser.add_argument('--zip', required=True)
    parser.add_argument('files', nargs='+')
    args = parser.parse_args()

    date = args.date.timetuple()[:6]
    contents = []
    for path in args.files:
        data = open(path, 'rb').read()
        name = os.path.basename(path)
        if name.lower().endswith('.txt'):
            problem = text_problem(data)
            if problem:
                sys.exit('release_archive: %s: %s' % (path, problem))
        contents.append((name, data, 0o100755 if name.lower().endswith('.exe') else 0o100644))

    os.makedirs(os.path.dirname(os.path.abspath(args.zip)), exist_ok=True)
    temporary = args.zip + '.part'
    with zipfile.ZipFile(temporary, 'w') as archive:
        archive.writestr(entry(args.folder + '/', date, 0o40755), b'')
        for name, data, mode in contents:
            archive.writestr(entry('%s/%s' % (args.folder, name), date, mode), data)
    os.replace(temporary, args.zip)


if __name__ == '__main__':
    main()
