#!/usr/bin/python3
"""Writes NSIS's Romanian language files with the comma-below letters ș ț Ș Ț.

NSIS ships Romanian.nlf and Romanian.nsh (UTF-8 with a signature) with the cedilla letters
ş ţ Ş Ţ, which are Turkish letters, not Romanian, and they call a folder "director" (the
program folder's page), where Windows and the setup's own pages say "folder". The setup program
loads the copies written here (in the build folder; never kept in the repository).

Usage: romanian_language.py SOURCE_FOLDER TARGET_FOLDER
"""
import os
import re
import sys

NAMES = ('Romanian.nlf', 'Romanian.nsh')
COMMA_BELOW = str.maketrans('\u015f\u0163\u015e\u0162', '\u0219\u021b\u0218\u021a')
SIGNATURE = '\ufeff'
# "director" and "folder" are both neuter: every form of the one is the same form of the other.
DIRECTOR = re.compile(r'\b([Dd])irector(ul)?\b')


def folder_for_director(match):
    return ('F' if match.group(1) == 'D' else 'f') + 'older' + (match.group(2) or '')


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__.strip().splitlines()[-1])
    source, target = sys.argv[1:]
    os.makedirs(target, exist_ok=True)
    for name in NAMES:
        with open(os.path.join(source, name), encoding='utf-8', newline='') as original:
            text = original.read()
        if not text.startswith(SIGNATURE):
            sys.exit('romanian_language: %s has no UTF-8 signature: NSIS would read it in the '
                     'code page it names' % name)
        converted = DIRECTOR.sub(folder_for_director, text.translate(COMMA_BELOW))
        temporary = os.path.join(target, name + '.part')
        with open(temporary, 'w', encoding='utf-8', newline='') as copy:
            copy.write(converted)
        os.replace(temporary, os.path.join(target, name))


if __name__ == '__main__':
    main()
