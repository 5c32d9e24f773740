#!/usr/bin/python3
"""Checks that every message box the user guide and the owner's page quote is the text the
programs show, and that no text the user reads shows a fault a word, a claim or a line can show.

The guide quotes a box as a paragraph indented by exactly six spaces after an empty line; its
lines may be broken elsewhere than the box breaks them, so spaces and line breaks count as one
space on both sides. The box texts are read from the sources: the programs' wide string
constants (app/*.h), every string the functions of app/scan.cpp return, and the setup
program's !define texts (installer/). What only the run knows (a path, a port, the system's
reason) matches any text; a variable chosen among literals matches one of them.

The guide, the owner's page, every one of those texts and the settings folder's own file, which
the setup writes there (setup/), are then read for the faults of WORD_FAULTS; each paragraph of
the guide and the page for those of CLAIM_FAULTS; and each line of the guide, the page and that
file, all read in Notepad, for those of LINE_FAULTS. The owner's page prints on one page; every
chapter the setup's texts send the reader to is one of the guide's; and every program's
description (its version resource, which Task Manager lists) begins with its name and is the one
the guide quotes.

Usage: check_guide.py --source DIR --guide FILE --owner-page FILE
"""
import argparse
import glob
import os
import re

from check_binary import Checks

WIDE_LITERAL = r'L"(?:\\.|[^"\\])*"'
ANY = None  # a part of a box that only the run knows

# What a word shows wrong, in any text the user reads (spaces and line breaks read as one
# space): (regular expression, what is wrong).
WORD_FAULTS = (
    ('[\u015e\u015f\u0162\u0163]', 'a cedilla letter (ş ţ), where Romanian writes ș ț'),
    (r'\b[Aa]sistent', '"asistent", where Windows says "expert"'),
    (r'\b[Aa]ctivit\w* programat', '"activitate programată", where Windows says "planificată"'),
    (r'Planificator\w* de activități', 'the Task Scheduler named otherwise than Windows names it, '
     '„Planificator activități”'),
    (r'(?<!„Planificator activități” \()Task Scheduler(?! Library)',
     'the Task Scheduler in English without its Romanian name first'),
    (r'”\s*\(„', 'an English label with its Romanian translation beside it: the glossary gives it'),
    (r'în română,? de obicei', 'an aside "în română, de obicei", which the glossary replaces'),
    (r'\d\.\d+ ?(?:[KMG]i?B|[KMG]O|octeți)\b', 'a size with a decimal point, where Romanian writes a '
     'comma'),
    (r'_\?=[A-Za-z]:\\', 'a fixed folder after _?=, which 64-bit Windows names otherwise'),
    (r'C:\\Users\\(?!.{0,60}Documents and Settings)', 'a user\'s folder as Windows Vista names it, '
     'without the name Windows XP gives it'),
    (r'\b[Vv]erificați că', '"verificați că", a calque: Romanian checks "dacă" or says '
     '"asigurați-vă că"'),
    (r'\bales\w*(?: \w+)? de la sine', '"ales de la sine", where Romanian says "ales automat"'),
)
# What a paragraph claims wrong, read whole (spaces and line breaks as one space): (what marks
# the claim, what the same paragraph must say too, what is wrong).
CLAIM_FAULTS = (
    (r'(?=.*(?:fără (?:raport și fără )?(?:niciun )?mesaj|nu apare niciun mesaj))(?=.*alt aparat)',
     r'altceva|stricat|incomplet',
     'a silent end blamed on another device alone: a fiscal device that answers otherwise than '
     'with its identifier (busy, in error, a short or garbled reply) ends the same way'),
)
# What a line of the guide shows wrong: (test of the line and the one after it, what is wrong).
GUIDE_COLUMNS = 72
# The owner's page prints on one sheet: Notepad's default font on Windows 10 and 11 (Consolas
# 11 pt) fits about 50 lines on an A4 page between its margins, header and footer.
OWNER_PAGE_LINES = 48
OWNER_PAGE_BOXES = ('the programs (kBadPortSettingsText)', 'the programs (kNoDeviceText)')
LINE_FAULTS = (
    (lambda line, _: len(line) > GUIDE_COLUMNS, 'longer than %d columns' % GUIDE_COLUMNS),
    (lambda line, _: line.startswith('|') and re.search(r'\S\|', line),
     'a table cell touching its border'),
    (lambda line, after: len(line) < GUIDE_COLUMNS * 0.6 and re.match(r'\s*[a-zăâîșț]', after) and
     re.search(r'\s(de|la|în|pe|cu|și|sau|ori|un|o|a|al|din)$', line),
     'broken far before the margin, in the middle of a phrase'),
)


def unescape_wide(literal):
    return re.sub(r'\\(.)', lambda m: {'n': '\n', 'r': '\r'}.get(m.group(1), m.group(1)),
                  literal[2:-1])


def top_level_split(expression, separator):
    """The parts of an expression between the separators outside parentheses and strings."""
    parts, depth, start, at = [], 0, 0, 0
    while at < len(expression):
        char = expression[at]
        if char == '"':
            at += 1
            while expression[at] != '"':
                at += 2 if expression[at] == '\\' else 1
        elif char in '([{':
            depth += 1
        elif char in ')]}':
            depth -= 1
        elif depth == 0 and char == separator:
            parts.append(expression[start:at].strip())
            start = at + 1
        at += 1
    return parts + [expression[start:].strip()]


def wide_constants(source):
    found = {}
    for header in glob.glob(os.path.join(source, 'app', '*.h')):
        text = open(header, encoding='utf-8').read()
        for name, value in re.findall(r'constexpr wchar_t (\w+)\[\] =((?:\s*%s)+);' %
                                      WIDE_LITERAL, text):
            found[name] = ''.join(unescape_wide(l) for l in re.findall(WIDE_LITERAL, value))
    return found


class CppTexts:
    """The texts the functions of one C++ file return, each a list of parts: a str, ANY, or a
    tuple of the str one of which stands there."""

    def __init__(self, path, constants):
        self.text = open(path, encoding='utf-8').read()
        self.constants = constants
        self.bodies = {}
        for match in re.finditer(r'std::wstring (\w+)\([^)]*\)\s*\{', self.text):
            self.bodies[match.group(1)] = self.body(match.end())

    def body(self, at):
        depth = 1
        for piece in re.finditer(r'%s|[{}]' % WIDE_LITERAL, self.text[at:]):
            if piece.group() == '{':
                depth += 1
            elif piece.group() == '}':
                depth -= 1
                if depth == 0:
                    return self.text[at:at + piece.start()]
        raise ValueError('unbalanced braces')

    def returned(self, function):
        statements = re.findall(r'\breturn\s((?:%s|[^;"])*);' % WIDE_LITERAL, self.bodies[function])
        return [self.parts(s, function) for s in statements]

    def parts(self, expression, function):
        found = []
        for operand in top_level_split(expression, '+'):
            literals = re.fullmatch(r'(?:\s*%s)+' % WIDE_LITERAL, operand)
            inner = re.fullmatch(r'std::wstring\((.*)\)', operand, re.S)
            if inner:
                found += self.parts(inner.group(1), function)
                continue
            name = operand
            call = re.fullmatch(r'(\w+)\(.*\)', operand, re.S)
            local = re.search(r'(?:std::wstring|const wchar_t\*) %s = ((?:%s|[^;"])*);' %
                              (re.escape(name), WIDE_LITERAL), self.bodies[function])
            if literals:
                found.append(''.join(unescape_wide(l) for l in re.findall(WIDE_LITERAL, operand)))
            elif name in self.constants:
                found.append(self.constants[name])
            elif call and call.group(1) in self.bodies and len(self.returned(call.group(1))) == 1:
                found += self.returned(call.group(1))[0]
            elif local and '?' in local.group(1):
                found.append(tuple(unescape_wide(l) for l in re.findall(
                    r'[?:]\s*(%s)' % WIDE_LITERAL, local.group(1))))
            elif local:
                found += self.parts(local.group(1), function)
                if re.search(r'\b%s \+=' % re.escape(name), self.bodies[function]):
                    found.append(ANY)
            else:
                found.append(ANY)
        return found


def nsis_texts(source):
    """The setup program's !define texts, ${NAME} resolved and $variables left to the run."""
    raw = {}
    for script in sorted(glob.glob(os.path.join(source, 'installer', '*.ns[hi]'))):
        for name, value in re.findall(r'^!define (\w+) "(.*)"', open(script, encoding='utf-8').read(),
                                      re.M):
            raw.setdefault(name, value)

    def parts(value):
        found = []
        for piece in re.split(r'(\$\{\w+\}|\$\\.|\$\$|\$\(?[\w^]+\)?)', value):
            if piece.startswith('${'):
                name = piece[2:-1]
                found += parts(raw[name]) if name in raw else [ANY]
            elif piece in ('$\\r', '$\\n', '$\\t'):
                found.append(' ')
            elif piece.startswith('$\\') or piece == '$$':
                found.append(piece[-1])
            elif piece.startswith('$'):
                found.append(ANY)
            else:
                found.append(piece)
        return found

    return {name: parts(value) for name, value in raw.items() if name.startswith('TEXT_')}


def keeper_text(source):
    """The settings folder's own file as the setup writes it: its literals, CR LF and all."""
    code = open(os.path.join(source, 'setup', 'our_files_win32.cpp'), encoding='utf-8').read()
    literals = re.search(r'kKeeperText =((?:\s*"(?:\\.|[^"\\])*")+);', code).group(1)
    return ''.join(l.replace('\\r\\n', '\n') for l in re.findall(r'"((?:\\.|[^"\\])*)"', literals)
                   if not l.startswith('\\x'))


def descriptions(source):
    """(program, description) of each program's version resource: the resource scripts' and the
    setup's, which its uninstaller carries too."""
    found = []
    for script in sorted(glob.glob(os.path.join(source, 'resources', '*.rc'))):
        defines = dict(re.findall(r'^#define (KESTRELON_\w+) "(.*)"',
                                  open(script, encoding='utf-8').read(), re.M))
        found.append((defines['KESTRELON_INTERNAL_NAME'], defines['KESTRELON_FILE_DESCRIPTION']))
    nsis = {}
    for script in glob.glob(os.path.join(source, 'installer', '*.ns[hi]')):
        nsis.update(re.findall(r'^!define (\w+) "(.*)"', open(script, encoding='utf-8').read(),
                               re.M))
    return found + [(nsis['PRODUCT'], nsis['TEXT_SETUP_DESCRIPTION'])]


def headings(guide):
    """The guide's titles, upper-cased and without their numbers: each underlined line, and each
    line that stands alone between empty lines without a sentence's end."""
    lines = [''] + guide.splitlines() + ['']
    return [re.sub(r'^\d+\. ', '', line).upper() for before, line, after in
            zip(lines, lines[1:], lines[2:]) if re.fullmatch(r'[-=]{3,}', after) or
            (line and not before and not after and line[-1].isalpha())]


def spaced(text):
    return ' '.join(text.split())


def pattern(parts):
    """A regular expression for the box, spaces and line breaks written as one space."""
    merged = []
    for part in parts:
        if isinstance(part, str) and merged and isinstance(merged[-1], str):
            merged[-1] += part
        elif not (part is ANY and merged and merged[-1] is ANY):
            merged.append(part)
    regex = ''
    for at, part in enumerate(merged):
        if part is ANY:
            regex += '.+?'
        elif isinstance(part, tuple):
            regex += '(?:%s)' % '|'.join(re.escape(spaced(choice)) for choice in part)
        else:
            text = re.sub(r'\s+', ' ', part)
            text = text.lstrip() if at == 0 else text
            text = text.rstrip() if at == len(merged) - 1 else text
            regex += re.escape(text)
    return re.compile(regex, re.S)


def quoted_boxes(guide):
    """(line number, text) of every paragraph indented by exactly six spaces after an empty
    line, empty lines within it kept."""
    lines = open(guide, encoding='utf-8-sig').read().splitlines()
    box = lambda line: line.startswith(' ' * 6) and not line.startswith(' ' * 7)
    found, at = [], 1
    while at < len(lines):
        if box(lines[at]) and lines[at - 1] == '':
            end = at
            while end < len(lines) and (lines[end].startswith(' ' * 6) or (
                    lines[end] == '' and end + 1 < len(lines) and box(lines[end + 1]))):
                end += 1
            found.append((at + 1, '\n'.join(l.strip() for l in lines[at:end])))
            at = end
        else:
            at += 1
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--source', required=True)
    parser.add_argument('--guide', required=True)
    parser.add_argument('--owner-page', required=True)
    args = parser.parse_args()

    constants = wide_constants(args.source)
    scan = CppTexts(os.path.join(args.source, 'app', 'scan.cpp'), constants)
    boxes = {'the programs (%s)' % name: [value] for name, value in constants.items()}
    for name in scan.bodies:
        for at, parts in enumerate(scan.returned(name)):
            boxes['KestrelonScan (%s, return %d)' % (name, at + 1)] = parts
    boxes.update({'the setup program (%s)' % name: parts
                  for name, parts in nsis_texts(args.source).items()})
    # A box begins and ends with words of its own; what begins or ends with the run's text
    # (a port and speed, say) is a piece of one.
    patterns = {name: pattern(parts) for name, parts in boxes.items()
                if parts[0] is not ANY and parts[-1] is not ANY}

    c = Checks()
    documents = {'the guide': args.guide, "the owner's page": args.owner_page}
    quoted = {document: set() for document in documents}
    for document, path in documents.items():
        for line, text in quoted_boxes(path):
            matching = [name for name, p in patterns.items() if p.fullmatch(spaced(text))]
            quoted[document].update(matching)
            c.check(bool(matching), 'line %d of %s quotes %s' % (
                line, document, ', '.join(matching) or 'a box'), 'no program shows: %r' % text)
    sources = {name.split(' (')[0] for name in quoted['the guide']}
    c.check(len(sources) == 3, 'the guide quotes boxes of both programs and the setup program',
            ', '.join(sorted(sources)))
    c.check(quoted["the owner's page"] == set(OWNER_PAGE_BOXES),
            "the owner's page quotes Kestrelon.exe's two boxes",
            ', '.join(sorted(quoted["the owner's page"])))

    texts = {name: ''.join(' '.join(part) if isinstance(part, tuple) else part or ' '
                           for part in parts) for name, parts in boxes.items()}
    read = {document: open(path, encoding='utf-8-sig').read() for document, path in documents.items()}
    texts.update(read)
    texts['Folder-de-setari.txt'] = keeper_text(args.source)
    for fault, what in WORD_FAULTS:
        found = ['%s: "%s"' % (name, match.group()) for name, text in sorted(texts.items())
                 for match in [re.search(fault, spaced(text))] if match]
        c.check(not found, 'no text shows %s' % what, '; '.join(found))
    for claim, also, what in CLAIM_FAULTS:
        found = ['%s: "%s"' % (document, paragraph[:70]) for document, text in read.items()
                 for paragraph in map(spaced, re.split(r'\n\s*\n|\n\+', text))
                 if re.search(claim, paragraph) and not re.search(also, paragraph)]
        c.check(not found, 'no paragraph makes %s' % what, '; '.join(found))
    for name in (*documents, 'Folder-de-setari.txt'):
        lines = texts[name].splitlines()
        for test, what in LINE_FAULTS:
            found = [str(at) for at, (line, after) in enumerate(zip(lines, lines[1:] + ['']), 1)
                     if test(line, after)]
            c.check(not found, 'no line of %s is %s' % (name, what), 'lines ' + ', '.join(found))
    page_lines = len(read["the owner's page"].splitlines())
    c.check(page_lines <= OWNER_PAGE_LINES, "the owner's page prints on one page (at most %d lines)"
            % OWNER_PAGE_LINES, '%d lines' % page_lines)

    titles = headings(read['the guide'])
    for name, text in sorted(texts.items()):
        for chapter in re.findall(r'(?:capitolul|ghid) „([^”]+)”', spaced(text)):
            c.check(any(title.startswith(chapter.upper()) for title in titles),
                    '%s sends the reader to „%s”, a title of the guide' % (name, chapter))
    for program, description in descriptions(args.source):
        c.check(description.startswith(program + ' - '),
                'the description %r begins with its program, %s' % (description, program))
        c.check(spaced(description) in spaced(read['the guide']),
                'the guide quotes the description %r' % description)
    print('%d passed, %d failed' % (c.passed, c.failed))
    return 0 if c.failed == 0 else 1


if __name__ == '__main__':
    raise SystemExit(main())
