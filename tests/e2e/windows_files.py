"""Files that Windows programs write, read back (standard library only): shortcuts (.lnk) and
scheduled task definitions.

Also a command for the demo: `python3 windows_files.py SHORTCUT.lnk` prints the shortcut's
target and working folder, one a line.
"""

import struct
import sys
from pathlib import Path
from xml.etree import ElementTree

# The shell link format: a 76-byte header, then the parts its flags announce, in this order.
LINK_HEADER_SIZE = 0x4C
HAS_ID_LIST = 0x01
HAS_LINK_INFO = 0x02
HAS_NAME = 0x04
HAS_RELATIVE_PATH = 0x08
HAS_WORKING_DIR = 0x10
HAS_ARGUMENTS = 0x20
HAS_ICON_LOCATION = 0x40
IS_UNICODE = 0x80
LOCAL_BASE_PATH = 0x01  # LinkInfo flag: the target is a path on a local drive
STRINGS = [HAS_NAME, HAS_RELATIVE_PATH, HAS_WORKING_DIR, HAS_ARGUMENTS, HAS_ICON_LOCATION]

TASK_NAMESPACE = "http://schemas.microsoft.com/windows/2004/02/mit/task"


def _text_at(data, offset, wide):
    """The zero-terminated text that starts at offset (UTF-16, or single bytes)."""
    if not wide:
        return data[offset:data.index(b"\0", offset)].decode("latin-1")
    end = offset
    while data[end:end + 2] != b"\0\0":
        end += 2
    return data[offset:end].decode("utf-16-le")


def read_shell_link(path):
    """(target path, working folder) of a .lnk file; the working folder is None when the link
    has none."""
    data = Path(path).read_bytes()
    if struct.unpack_from("<I", data, 0)[0] != LINK_HEADER_SIZE:
        raise ValueError(f"{path}: not a shell link")
    flags = struct.unpack_from("<I", data, 0x14)[0]
    offset = LINK_HEADER_SIZE
    if flags & HAS_ID_LIST:
        offset += 2 + struct.unpack_from("<H", data, offset)[0]
    target = None
    if flags & HAS_LINK_INFO:
        info = offset
        size, header_size, info_flags, _, base, _, suffix = struct.unpack_from("<7I", data, info)
        if info_flags & LOCAL_BASE_PATH:
            if header_size >= 0x24:  # the same paths in UTF-16 as well
                base_wide, suffix_wide = struct.unpack_from("<II", data, info + 28)
                target = (_text_at(data, info + base_wide, True) +
                          _text_at(data, info + suffix_wide, True))
            else:
                target = _text_at(data, info + base, False) + _text_at(data, info + suffix, False)
        offset += size
    strings = {}
    for flag in STRINGS:
        if flags & flag:
            count = struct.unpack_from("<H", data, offset)[0]
            width = 2 if flags & IS_UNICODE else 1
            raw = data[offset + 2:offset + 2 + count * width]
            text = raw.decode("utf-16-le" if width == 2 else "latin-1")
            strings[flag] = text.rstrip("\0")  # Wine counts the closing zero
            offset += 2 + count * width
    return target, strings.get(HAS_WORKING_DIR)


def read_task_definition(path):
    """A task definition (UTF-16 XML, as the Task Scheduler reads it) as {element path: text}
    for every element that holds text, e.g. "Actions/Exec/Command"."""
    data = Path(path).read_bytes()
    if not data.startswith(b"\xff\xfe"):
        raise ValueError(f"{path}: not UTF-16 with its byte order mark")
    root = ElementTree.fromstring(data.decode("utf-16"))
    if root.tag != f"{{{TASK_NAMESPACE}}}Task":
        raise ValueError(f"{path}: not a task definition ({root.tag})")
    values = {}

    def walk(element, path):
        for child in element:
            name = child.tag.split("}")[-1]
            child_path = f"{path}/{name}" if path else name
            if len(child) == 0:
                values[child_path] = (child.text or "").strip()
            walk(child, child_path)

    walk(root, "")
    return values


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(f"usage: {sys.argv[0]} SHORTCUT.lnk")
    for line in read_shell_link(sys.argv[1]):
        print(line or "")
