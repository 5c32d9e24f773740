#!/usr/bin/python3
"""Reads a built program (Kestrelon.exe, KestrelonScan.exe) back and checks what it carries: a
32-bit x86 GUI program with its icon, tray icon file, manifest and version resource, whose
original file name is the program's own and whose description is the one its resource script
gives, diacritics and all, beginning with the program's name (check_imports.py checks what it
imports). Parses the PE file itself (standard library only).

Usage: check_binary.py SOURCE_DIR PATH/Kestrelon.exe
       check_binary.py --setup SOURCE_DIR PATH/Kestrelon-<version>-setup.exe
           (its manifest, and the description its script gives)
"""
import glob
import os
import re
import struct
import sys
from xml.etree import ElementTree
from xml.parsers import expat

MAX_SIZE = 512 * 1024
SYSTEM_DLLS = {
    'kernel32.dll', 'user32.dll', 'gdi32.dll', 'shell32.dll', 'winmm.dll', 'comctl32.dll',
    'msvcrt.dll', 'advapi32.dll', 'ntdll.dll', 'ole32.dll', 'oleaut32.dll', 'shlwapi.dll',
    'version.dll', 'comdlg32.dll', 'ws2_32.dll', 'uxtheme.dll', 'imm32.dll', 'crypt32.dll',
    'psapi.dll',
}
RT_ICON, RT_RCDATA, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 10, 14, 16, 24
ICON_SIZES = [64, 32, 24, 16]
TRAY_ICON_ID = 101
SUPPORTED_OS = {  # the supportedOS ids of Windows Vista, 7, 8, 8.1, and 10 and 11
    '{e2011457-1546-43c5-a5fe-008deee3d3f0}', '{35138b9a-5d96-4fbd-8e2d-a2440225f93a}',
    '{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}', '{1f676c76-80e1-4239-95bb-83d0f6d0da78}',
    '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}',
}
VERSION = (2, 0, 0, 2)


class Pe:
    def __init__(self, data):
        self.data = data
        if data[:2] != b'MZ':
            raise ValueError('no MZ header')
        pe = struct.unpack_from('<I', data, 0x3C)[0]
        if data[pe:pe + 4] != b'PE\0\0':
            raise ValueError('no PE signature')
        (self.machine, sections, _, _, _, optional_size,
         self.characteristics) = struct.unpack_from('<HHIIIHH', data, pe + 4)
        opt = pe + 24
        self.magic = struct.unpack_from('<H', data, opt)[0]
        if self.magic != 0x10B:
            raise ValueError('not a PE32 optional header: 0x%x' % self.magic)
        (self.os_version, self.image_version,
         self.subsystem_version) = [struct.unpack_from('<HH', data, opt + at) for at in (40, 44, 48)]
        self.subsystem = struct.unpack_from('<H', data, opt + 68)[0]
        count = struct.unpack_from('<I', data, opt + 92)[0]
        self.directories = [struct.unpack_from('<II', data, opt + 96 + 8 * i)
                            for i in range(min(count, 16))]
        self.sections = []
        table = opt + optional_size
        for i in range(sections):
            name, vsize, va, raw_size, raw_ptr = struct.unpack_from('<8sIIII', data, table + 40 * i)
            self.sections.append((name.rstrip(b'\0').decode('ascii', 'replace'),
                                  va, max(vsize, raw_size), raw_ptr, raw_size))

    def offset(self, rva):
        for _, va, size, raw_ptr, raw_size in self.sections:
            if va <= rva < va + size:
                if rva - va >= raw_size:
                    raise ValueError('RVA 0x%x lies in no file data' % rva)
                return raw_ptr + rva - va
        raise ValueError('RVA 0x%x in no section' % rva)

    def cstring(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b'\0', at)].decode('ascii')

    def imports(self):
        return list(self.imported_functions())

    def imported_functions(self):
        """{DLL name: [function name, or '#N' for an import by ordinal N]}, in file order."""
        rva, size = self.directories[1]
        found = {}
        at = self.offset(rva)
        while True:
            lookup, _, _, name_rva, thunk = struct.unpack_from('<IIIII', self.data, at)
            if name_rva == 0 and thunk == 0:
                return found
            functions = found.setdefault(self.cstring(name_rva), [])
            entry = self.offset(lookup or thunk)
            while True:
                value = struct.unpack_from('<I', self.data, entry)[0]
                if value == 0:
                    break
                if value & 0x80000000:
                    functions.append('#%d' % (value & 0xFFFF))
                else:
                    functions.append(self.cstring(value + 2))  # after the hint
                entry += 4
            at += 20

    def resources(self):
        """{(type, name): bytes} for the first language of each resource; names are ids or str."""
        rva, _ = self.directories[2]
        if rva == 0:
            return {}
        base = self.offset(rva)
        found = {}

        def directory(at):
            named, ids = struct.unpack_from('<HH', self.data, at + 12)
            for i in range(named + ids):
                key, target = struct.unpack_from('<II', self.data, at + 16 + 8 * i)
                if key & 0x80000000:
                    length = struct.unpack_from('<H', self.data, base + (key & 0x7FFFFFFF))[0]
                    start = base + (key & 0x7FFFFFFF) + 2
                    key = self.data[start:start + 2 * length].decode('utf-16-le')
                yield key, target

        for rtype, t in directory(base):
            for name, n in directory(base + (t & 0x7FFFFFFF)):
                for _, leaf in directory(base + (n & 0x7FFFFFFF)):
                    data_rva, size = struct.unpack_from('<II', self.data, base + leaf)
                    at = self.offset(data_rva)
                    found.setdefault((rtype, name), self.data[at:at + size])
        return found


class Checks:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, ok, what, detail=''):
        if ok:
            self.passed += 1
            print('ok   %s' % what)
        else:
            self.failed += 1
            print('FAIL %s%s' % (what, ': ' + detail if detail else ''))


def dib_bits(image):
    if image[:8] == b'\x89PNG\r\n\x1a\n':
        return None
    return struct.unpack_from('<IiiHH', image)[4]


def check_icon_group(c, res):
    group = res.get((RT_GROUP_ICON, 1))
    c.check(group is not None, 'application icon group (id 1) present')
    if group is None:
        return
    _, kind, count = struct.unpack_from('<HHH', group)
    entries = [struct.unpack_from('<BBBBHHIH', group, 6 + 14 * i) for i in range(count)]
    sizes = [e[0] or 256 for e in entries]
    c.check(kind == 1 and sorted(sizes, reverse=True) == ICON_SIZES,
            'icon group holds 64, 32, 24 and 16 pixel images', str(sizes))
    c.check(all(e[0] == e[1] for e in entries), 'icon images are square')
    c.check(all(e[5] == 32 for e in entries), 'icon group lists 32 bpp', str([e[5] for e in entries]))
    for e in entries:
        image = res.get((RT_ICON, e[7]))
        c.check(image is not None and dib_bits(image) == 32 and
                struct.unpack_from('<i', image, 4)[0] == e[0],
                'icon image %d px is a %d-pixel 32 bpp bitmap' % (e[0], e[0]))


def check_tray_icon(c, res):
    tray = res.get((RT_RCDATA, TRAY_ICON_ID))
    c.check(tray is not None, 'tray icon file stored as RCDATA %d' % TRAY_ICON_ID)
    if tray is None:
        return
    _, kind, count = struct.unpack_from('<HHH', tray)
    entries = [struct.unpack_from('<BBBBHHII', tray, 6 + 16 * i) for i in range(count)]
    c.check(kind == 1 and [e[0] for e in entries] == ICON_SIZES,
            'tray icon file holds 64, 32, 24, 16 in that order', str([e[0] for e in entries]))
    for e in entries:
        image = tray[e[7]:e[7] + e[6]]
        c.check(len(image) == e[6] and e[5] == 32 and dib_bits(image) == 32,
                'tray icon image %d px is 32 bpp and inside the file' % e[0])


ASM_V3 = 'urn:schemas-microsoft-com:asm.v3'
PREFIXED_IN_ASM_V3 = {'application', 'windowsSettings'}


def asm_v3_tags(manifest):
    """(tag as written, local name) of every element in the asm.v3 namespace, in order."""
    scopes = [{}]
    found = []

    def start(tag, attributes):
        scope = dict(scopes[-1])
        for name, value in attributes.items():
            if name == 'xmlns':
                scope[None] = value
            elif name.startswith('xmlns:'):
                scope[name[6:]] = value
        scopes.append(scope)
        prefix, _, local = tag.rpartition(':')
        if scope.get(prefix or None) == ASM_V3:
            found.append((tag, local))

    parser = expat.ParserCreate()
    parser.StartElementHandler = start
    parser.EndElementHandler = lambda tag: scopes.pop()
    parser.Parse(manifest, True)
    return found


def check_manifest(c, res):
    manifest = res.get((RT_MANIFEST, 1))
    c.check(manifest is not None, 'manifest present as RT_MANIFEST 1')
    if manifest is None:
        return
    text = manifest.decode('utf-8', 'replace')
    c.check(re.search(r'requestedExecutionLevel\s+level="asInvoker"', text) is not None,
            'manifest asks for asInvoker')
    c.check(re.search(r'name="Microsoft\.Windows\.Common-Controls"\s+version="6\.0\.0\.0"', text)
            is not None, 'manifest asks for common controls 6')
    c.check('processorArchitecture="x86"' in text, 'manifest is for x86')
    # Windows refuses to start a program whose manifest is not well-formed XML.
    try:
        root = ElementTree.fromstring(manifest)
    except ElementTree.ParseError as e:
        c.check(False, 'manifest is well-formed XML', str(e))
        return
    settings = '{http://schemas.microsoft.com/SMI/2005/WindowsSettings}dpiAware'
    c.check([e.text for e in root.iter(settings)] == ['true'], 'manifest declares DPI awareness')
    supported = {e.get('Id') for e in root.iter(
        '{urn:schemas-microsoft-com:compatibility.v1}supportedOS')}
    c.check(supported == SUPPORTED_OS, 'manifest names Windows Vista to 11 as supported',
            ', '.join(sorted(supported ^ SUPPORTED_OS)))
    tags = check_xp_manifest_form(c, manifest)
    c.check(sorted(local for _, local in tags) == sorted(PREFIXED_IN_ASM_V3),
            'manifest has the application and windowsSettings elements of asm.v3')


def check_xp_manifest_form(c, manifest):
    """Windows XP refuses to start a program whose application or windowsSettings element is
    in the asm.v3 namespace without a prefix of its own ("the application configuration is
    incorrect"); Windows Vista and later, and Wine, accept either form. Returns those tags."""
    tags = [(tag, local) for tag, local in asm_v3_tags(manifest) if local in PREFIXED_IN_ASM_V3]
    c.check(all(':' in tag for tag, _ in tags),
            'manifest writes application and windowsSettings with an asm.v3 prefix',
            ', '.join(tag for tag, _ in tags))
    return tags


def version_strings(block):
    """Every String entry (key, value) of a VS_VERSIONINFO block, walking the tree."""
    found = {}

    def walk(at, end):
        while at + 6 <= end:
            length, value_length, kind = struct.unpack_from('<HHH', block, at)
            if length == 0:
                break
            key_end = at + 6
            while block[key_end:key_end + 2] != b'\0\0':
                key_end += 2
            key = block[at + 6:key_end].decode('utf-16-le')
            value_at = (key_end + 2 + 3) & ~3
            if kind == 1 and value_length and key not in ('VS_VERSION_INFO',):
                raw = block[value_at:value_at + 2 * value_length]
                found[key] = raw.decode('utf-16-le').rstrip('\0')
            child = value_at + (value_length * (2 if kind == 1 else 1))
            child = (child + 3) & ~3
            if child < at + length:
                walk(child, at + length)
            at = (at + length + 3) & ~3

    walk(0, len(block))
    return found


def check_version(c, res, file_name):
    block = res.get((RT_VERSION, 1))
    c.check(block is not None, 'version resource present')
    if block is None:
        return
    at = block.find(struct.pack('<I', 0xFEEF04BD))
    c.check(at > 0, 'fixed file info present')
    if at > 0:
        fms, fls, pms, pls = struct.unpack_from('<IIII', block, at + 8)
        split = lambda ms, ls: (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
        c.check(split(fms, fls) == VERSION, 'FILEVERSION 2,0,0,2', str(split(fms, fls)))
        c.check(split(pms, pls) == VERSION, 'PRODUCTVERSION 2,0,0,2', str(split(pms, pls)))
    strings = version_strings(block)
    for key, want in (('FileVersion', '2.0.0.2'), ('ProductVersion', '2.0.0.2'),
                      ('ProductName', 'Kestrelon'), ('OriginalFilename', file_name)):
        c.check(strings.get(key) == want, 'version string %s is %s' % (key, want),
                repr(strings.get(key)))
    c.check(bool(strings.get('FileDescription')), 'version string FileDescription present')


def file_description(data):
    """The FileDescription of a program's version resource ('' when it has none)."""
    return version_strings(Pe(data).resources().get((RT_VERSION, 1), b'')).get('FileDescription', '')


def check_description(c, res, want):
    """The description Windows shows (Task Manager lists processes by it, the file's Properties):
    the text of the sources as they are written (UTF-8), so the resource compiler read them with
    the right code page, and with the comma-below letters ș ț, as the guide. It begins with the
    program's own name (the setup's: the product's), which a technician looks for there."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'cmake'))
    from release_archive import CEDILLA_LETTERS
    strings = version_strings(res.get((RT_VERSION, 1), b''))
    c.check(strings.get('FileDescription') == want, 'version string FileDescription is %r' % want,
            repr(strings.get('FileDescription')))
    name = strings.get('InternalName') or strings.get('ProductName')
    description = strings.get('FileDescription', '')
    c.check(bool(name) and description.startswith(name + ' - '),
            'FileDescription begins with the program\'s name, %r' % name, repr(description))
    cedillas = {key: value for key, value in strings.items()
                if any(letter in CEDILLA_LETTERS for letter in value)}
    c.check(not cedillas, 'no version string has the cedilla letters ş ţ', repr(cedillas))


def script_description(source, file_name):
    """KESTRELON_FILE_DESCRIPTION of the resource script that names FILE_NAME its original."""
    for script in sorted(glob.glob(os.path.join(source, 'resources', '*.rc'))):
        defines = dict(re.findall(r'^#define (KESTRELON_\w+) "(.*)"',
                                  open(script, encoding='utf-8').read(), re.M))
        if defines.get('KESTRELON_ORIGINAL_FILENAME') == file_name:
            return defines.get('KESTRELON_FILE_DESCRIPTION')
    return None


def check_setup_program(source, path):
    """The setup program: a 32-bit GUI program whose manifest Windows XP accepts."""
    c = Checks()
    pe = Pe(open(path, 'rb').read())
    c.check(pe.machine == 0x14C and pe.subsystem == 2, 'a 32-bit x86 GUI program')
    manifest = pe.resources().get((RT_MANIFEST, 1))
    c.check(manifest is not None, 'manifest present as RT_MANIFEST 1')
    if manifest is not None:
        c.check(b'requireAdministrator' in manifest, 'manifest asks for an administrator')
        check_xp_manifest_form(c, manifest)
    texts = open(os.path.join(source, 'installer', 'texts.nsh'), encoding='utf-8').read()
    want = re.search(r'^!define TEXT_SETUP_DESCRIPTION "(.*)"', texts, re.M)
    check_description(c, pe.resources(), want and want.group(1))
    print('%d passed, %d failed' % (c.passed, c.failed))
    return 0 if c.failed == 0 else 1


def main(source, path):
    data = open(path, 'rb').read()
    c = Checks()
    c.check(len(data) < MAX_SIZE, 'smaller than 512 KB', '%d bytes' % len(data))
    pe = Pe(data)
    c.check(pe.machine == 0x14C, 'machine is i386', hex(pe.machine))
    c.check(pe.subsystem == 2, 'GUI subsystem', str(pe.subsystem))
    c.check(not pe.characteristics & 0x2000, 'an executable, not a DLL')
    res = pe.resources()
    check_icon_group(c, res)
    check_tray_icon(c, res)
    check_manifest(c, res)
    check_version(c, res, os.path.basename(path))
    check_description(c, res, script_description(source, os.path.basename(path)))
    print('%d passed, %d failed' % (c.passed, c.failed))
    return 0 if c.failed == 0 else 1


if __name__ == '__main__':
    if len(sys.argv) == 4 and sys.argv[1] == '--setup':
        sys.exit(check_setup_program(sys.argv[2], sys.argv[3]))
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1], sys.argv[2]))
