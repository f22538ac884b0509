#!/usr/bin/env python3
"""Writes the data of the early-launch certificate-information resource.

    make_certinfo.py --out certinfo.bin --entry ALG,EKU,CERT [--entry ...]

Each --entry names one certificate (PEM or DER) and the hash of it to list:
ALG is sha256 or sha384; EKU is empty (the certificate is accepted for any
use) or OIDs in dotted form separated by ';'. The certificate path comes last
and may hold commas.

The data is laid back to back, with no alignment and nothing after the last
entry:
    count           16-bit little-endian
    per entry:      hash as upper-case hex digits, UTF-16LE, then NUL
                    algorithm, 16-bit little-endian (0x800C SHA-256,
                                                     0x800D SHA-384)
                    EKU, UTF-16LE, then NUL (the NUL alone when empty)
The hash is the certificate's thumbprint: the digest of its DER encoding.
"""

import argparse
import base64
import hashlib
import re
import struct
import sys

ALGORITHMS = {
    "sha256": 0x800C,  # CALG_SHA_256
    "sha384": 0x800D,  # CALG_SHA_384
}

OID = re.compile(r"^[0-9]+(\.[0-9]+)+$")
PEM_CERTIFICATE = re.compile(
    rb"-----BEGIN CERTIFICATE-----(.*?)-----END CERTIFICATE-----", re.S)


def read_certificate_der(path):
    """The DER bytes of the first certificate in a PEM or DER file."""
    with open(path, "rb") as f:
        data = f.read()
    match = PEM_CERTIFICATE.search(data)
    if match:
        return base64.b64decode(b"".join(match.group(1).split()))
    if not data.startswith(b"\x30"):
        raise ValueError(f"{path}: neither a PEM nor a DER certificate")
    return data


def utf16z(text):
    return text.encode("utf-16-le") + b"\0\0"


def encode_entry(der, algorithm, eku):
    digest = hashlib.new(algorithm, der).hexdigest().upper()
    return utf16z(digest) + struct.pack("<H", ALGORITHMS[algorithm]) + utf16z(eku)


def encode(entries):
    """entries: (der, algorithm, eku) triples, in resource order."""
    if not 0 < len(entries) <= 0xFFFF:
        raise ValueError("the resource lists between 1 and 65535 certificates")
    return struct.pack("<H", len(entries)) + b"".join(
        encode_entry(der, algorithm, eku) for der, algorithm, eku in entries)


def parse_entry(text):
    parts = text.split(",", 2)
    if len(parts) != 3:
        raise argparse.ArgumentTypeError(f"expected ALG,EKU,CERT: {text!r}")
    algorithm, eku, path = parts
    algorithm = algorithm.lower()
    if algorithm not in ALGORITHMS:
        raise argparse.ArgumentTypeError(
            f"algorithm must be one of {', '.join(ALGORITHMS)}: {algorithm!r}")
    if eku and not all(OID.match(oid) for oid in eku.split(";")):
        raise argparse.ArgumentTypeError(f"EKU must be dotted OIDs separated by ';': {eku!r}")
    return algorithm, eku, path


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", required=True, help="file to write")
    parser.add_argument("--entry", required=True, action="append", type=parse_entry,
                        metavar="ALG,EKU,CERT", help="one listed certificate hash")
    args = parser.parse_args(argv)
    try:
        entries = [(read_certificate_der(path), algorithm, eku)
                   for algorithm, eku, path in args.entry]
        data = encode(entries)
    except (OSError, ValueError) as error:
        parser.error(str(error))
    with open(args.out, "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
