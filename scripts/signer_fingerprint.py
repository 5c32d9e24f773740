#!/usr/bin/python3
"""Prints the SHA-256 fingerprint of the certificate that made an Authenticode signature: the
certificate that the signature's one signer names by issuer and serial number, among those the
signature carries (which also include the authorities and a time stamp's own). Lower-case hex.

A signature is refused (exit code 1) when it carries anything its signer did not sign but one
RFC 3161 time stamp with one signer: a second, nested signature, any other unsigned attribute,
revocation lists. Anybody can add those to a signature without breaking it.

Usage: signer_fingerprint.py SIGNATURE (PKCS #7, PEM or DER, as osslsigncode extracts it)
"""
import base64
import hashlib
import sys

SEQUENCE, SET, CERTIFICATES, UNSIGNED = 0x30, 0x31, 0xa0, 0xa1  # UNSIGNED: [1], of both
# 1.3.6.1.4.1.311.3.3.1, Microsoft's RFC 3161 time stamp attribute, as DER contents.
TIME_STAMP = bytes([0x2b, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x03, 0x03, 0x01])


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


def signed_data_parts(content_info):
    """The fields of the SignedData in a ContentInfo, and its one signer's fields."""
    content = element(content_info, 0)[2]
    parts = list(children(element(list(children(content))[1][2], 0)[2]))
    signers = [inner for tag, _, inner in parts if tag == SET][-1]
    signer_infos = list(children(signers))
    if len(signer_infos) != 1:
        raise ValueError('%d signers, not one' % len(signer_infos))
    if any(tag == UNSIGNED for tag, _, _ in parts):
        raise ValueError('it carries revocation lists')
    return parts, list(children(signer_infos[0][2]))


def oid_text(contents):
    """An object identifier, dotted: 1.3.6.1.4.1.311.2.4.1 is a nested signature."""
    numbers, number = [], 0
    for byte in contents:
        number = number << 7 | byte & 0x7f
        if not byte & 0x80:
            numbers.append(number)
            number = 0
    return '.'.join(map(str, [min(numbers[0] // 40, 2), numbers[0] - 40 * min(numbers[0] // 40, 2)]
                          + numbers[1:]))


def unsigned_attributes(signer):
    """The (type, values) of a signer's unsigned attributes."""
    found = [inner for tag, _, inner in signer if tag == UNSIGNED]
    attributes = [list(children(inner)) for found_set in found
                  for _, _, inner in children(found_set)]
    return [(attribute[0][2], [whole for _, whole, _ in children(attribute[1][2])])
            for attribute in attributes]


def only_one_time_stamp(signer):
    """Refuses anything unsigned but one time stamp, itself with nothing unsigned."""
    attributes = unsigned_attributes(signer)
    if not attributes:
        return
    if len(attributes) > 1 or attributes[0][0] != TIME_STAMP or len(attributes[0][1]) != 1:
        kinds = ', '.join(oid_text(kind) for kind, _ in attributes)
        raise ValueError('it carries more than its signature and one time stamp (unsigned: %s)'
                         % kinds)
    if unsigned_attributes(signed_data_parts(attributes[0][1][0])[1]):
        raise ValueError('its time stamp carries unsigned attributes')


def signer_fingerprint(der):
    parts, signer = signed_data_parts(der)
    only_one_time_stamp(signer)
    certificates = [whole for tag, _, inner in parts if tag == CERTIFICATES
                    for _, whole, _ in children(inner)]
    names = signer[1]
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
