#!/usr/bin/python3
"""Prints the SHA-256 fingerprint of the certificate that made an Authenticode signature: the
certificate that the signature's one signer names by issuer and serial number, among those the
signature carries (which also include the authorities and a time stamp's own). Lower-case hex.

Usage: signer_fingerprint.py SIGNATURE (PKCS #7, PEM or DER, as osslsigncode extracts it)
"""
import base64
import hashlib
import sys

SEQUENCE, SET, CERTIFICATES = 0x30, 0x31, 0xa0


def element(data, position):
    """The DER element at position: (tag, whole element, its contents, where the next begins)."""
    tag, length = data[position], data[position + 1]
    start = position + 2
    if length & 0x80:
        count = length & 0x7f
        if not 1 <= count <= 4:
            raise ValueError('bad length')
        length = int.from_bytes(data[start:start + count], 'big')
        start += count
    end = start + length
    if end > len(data):
        raise ValueError('truncated')
    return tag, data[position:end], data[start:end], end


def children(contents):
    position = 0
    while position < len(contents):
        tag, whole, inner, position = element(contents, position)
        yield tag, whole, inner


def issuer_and_serial(certificate):
    """A certificate's (issuer, serial number), as DER: the fields after the optional version."""
    tbs = next(children(element(certificate, 0)[2]))[2]
    fields = [whole for tag, whole, _ in children(tbs) if tag != CERTIFICATES]
    return fields[2], fields[0]


def signer_fingerprint(der):
    content = element(der, 0)[2]
    signed_data = element(list(children(content))[1][2], 0)[2]
    parts = list(children(signed_data))
    certificates = [whole for tag, _, inner in parts if tag == CERTIFICATES
                    for _, whole, _ in children(inner)]
    signers = [inner for tag, _, inner in parts if tag == SET][-1]
    signer_infos = list(children(signers))
    if len(signer_infos) != 1:
        raise ValueError('%d signers, not one' % len(signer_infos))
    _, names = list(children(signer_infos[0][2]))[:2]
    if names[0] != SEQUENCE:
        raise ValueError('the signer is not named by issuer and serial number')
    issuer, serial = [whole for _, whole, _ in children(names[2])]
    found = [c for c in certificates if issuer_and_serial(c) == (issuer, serial)]
    if len(found) != 1:
        raise ValueError("the signer's certificate is not in the signature")
    return hashlib.sha256(found[0]).hexdigest()


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__.split('\n\n')[-1].strip())
    data = open(sys.argv[1], 'rb').read()
    try:
        if data.startswith(b'-----BEGIN PKCS7-----'):
            data = base64.b64decode(b''.join(data.splitlines()[1:-1]), validate=True)
        print(signer_fingerprint(data))
    except (ValueError, IndexError, StopIteration) as e:
        sys.exit('signer_fingerprint: %s: not a signature (%s)' % (sys.argv[1], e))


if __name__ == '__main__':
    main()
