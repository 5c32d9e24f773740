#!/usr/bin/python3
"""Writes out the uninstaller that the setup program carries, as the setup program would
install it, so that its signature can be checked without running the setup.

Only for setup programs of Kestrelon.nsi: solid LZMA (SetCompressor /SOLID lzma), whose
uninstaller was finished before packing (!uninstfinalize), so that it is stored whole. Its data,
after the setup's own program, is one LZMA stream of blocks, each a 4-byte length and its bytes;
the uninstaller is the block that is a program with a setup's data of its own.

Usage: packed_uninstaller.py SETUP.exe UNINSTALLER.exe
"""
import lzma
import struct
import sys

# Where a setup's data begins: flags, then this signature, then the header's and the data's length.
SIGNATURE = b'\xef\xbe\xad\xdeNullsoftInst'
FIRST_HEADER_SIZE = 28


def blocks(setup):
    start = setup.find(SIGNATURE) - 4
    if start < 0:
        raise ValueError('not a setup program: no setup data')
    total, = struct.unpack_from('<I', setup, start + 24)
    stream = setup[start + FIRST_HEADER_SIZE:start + total]
    properties = stream[0]
    dictionary, = struct.unpack_from('<I', stream, 1)
    decompressor = lzma.LZMADecompressor(lzma.FORMAT_RAW, filters=[{
        'id': lzma.FILTER_LZMA1, 'dict_size': dictionary, 'lc': properties % 9,
        'lp': properties // 9 % 5, 'pb': properties // 45}])
    data = decompressor.decompress(stream[5:])
    position = 0
    while position + 4 <= len(data):
        size, = struct.unpack_from('<I', data, position)
        yield data[position + 4:position + 4 + size]
        position += 4 + size


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__.split('\n\n')[-1].strip())
    setup = open(sys.argv[1], 'rb').read()
    try:
        found = [b for b in blocks(setup) if b.startswith(b'MZ') and SIGNATURE in b]
    except (ValueError, lzma.LZMAError, struct.error) as e:
        sys.exit('packed_uninstaller: %s: %s' % (sys.argv[1], e))
    if len(found) != 1:
        sys.exit('packed_uninstaller: %s: %d uninstallers found, not one'
                 % (sys.argv[1], len(found)))
    with open(sys.argv[2], 'wb') as out:
        out.write(found[0])


if __name__ == '__main__':
    main()
