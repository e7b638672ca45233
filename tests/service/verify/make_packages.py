#!/usr/bin/env python3
"""Makes the signed packages that the verify unit tests read, with openssl, under the build's
development authority: one file <case>.z per case, and payload.bin, the content every package
carries. make_packages.py <output folder> <development PKI folder>

The packages are made again only when this script, the certificate kit or the authority
changed (a stamp of their digests), so that a rerun of the tests costs no key generation."""
import hashlib
import shutil
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1] / "harness"))

from pki import Pki, embedded_ca, sign_package  # noqa: E402
from trust_cases import certificates_for_rule  # noqa: E402

PAYLOAD = bytes(range(256)) * 40 + b"MZ installer bytes\x00\xff" + bytes(4093)

# Cases of the chain rules, as tests/harness/trust_cases.py makes their certificates.
TRUST_CASES = [
    "ca-signs", "intermediate-signs", "no-signature", "tls-certificate-signs",
    "pathlen-exceeded", "pathlen-held", "signer-issues", "code-signer-without-constraints-issues",
    "bare-intermediate", "bare-signer", "ca-without-certsign", "unknown-critical-signer",
    "unknown-critical-intermediate", "unknown-noncritical-signer", "name-constraints",
    "md5-signer", "md5-intermediate", "sha1-links", "outer-md5-signer", "outer-md5-intermediate",
    "outer-sha1-signer", "outer-sha256-signer", "server-auth-intermediate",
    "code-signing-intermediate", "any-purpose-intermediate",
]

ID_DATA = bytes.fromhex("06092a864886f70d010701")
ID_DIGESTED_DATA = bytes.fromhex("06092a864886f70d010705")


def flip(data, offset):
    data = bytearray(data)
    data[offset] ^= 0x01
    return bytes(data)


def package_cases(p, ca, inter, signer):
    """(case, package bytes) for the checks of the package itself, under a good chain."""
    good = sign_package(PAYLOAD, signer, [inter])
    good_noattr = sign_package(PAYLOAD, signer, [inter], noattr=True)
    middle = good.find(PAYLOAD) + len(PAYLOAD) // 2
    middle_noattr = good_noattr.find(PAYLOAD) + len(PAYLOAD) // 2
    # The encapsulated content type comes before the content; the signed contentType attribute
    # after it. Only the first is changed: the signature over the attributes still holds.
    assert good.find(ID_DATA) < good.find(PAYLOAD) < good.rfind(ID_DATA)
    at = good.find(ID_DATA)
    swapped = good[:at] + ID_DIGESTED_DATA + good[at + len(ID_DATA):]
    yield "good-attrs", good
    yield "good-noattr", good_noattr
    yield "content-changed-attrs", flip(good, middle)
    yield "content-changed-noattr", flip(good_noattr, middle_noattr)
    yield "content-type-swapped", swapped
    # Links outside their validity: the signer, or its issuer, expired 30 days ago.
    yield "expired-signer", sign_package(PAYLOAD, p.expired(inter, "Vextra Unit Test Expired Signer"),
                                         [inter])
    old_inter = p.expired(ca, "Vextra Unit Test Expired Intermediate", "ca")
    yield "expired-intermediate", sign_package(
        PAYLOAD, p.issue(old_inter, "Vextra Unit Test Under Expired"), [old_inter])
    for md in ("md5", "sha1", "sha384", "sha512"):
        yield f"digest-{md}", sign_package(PAYLOAD, signer, [inter], md=md)
        yield f"digest-{md}-noattr", sign_package(PAYLOAD, signer, [inter], md=md, noattr=True)


def stamp(pki_dir):
    h = hashlib.sha256()
    for path in (Path(__file__), HERE.parents[1] / "harness" / "pki.py",
                 HERE.parents[1] / "harness" / "trust_cases.py", Path(pki_dir) / "embedded-ca.der"):
        h.update(path.read_bytes())
    return h.hexdigest()


def main():
    out, pki_dir = Path(sys.argv[1]), Path(sys.argv[2])
    out.mkdir(parents=True, exist_ok=True)
    want = stamp(pki_dir)
    marker = out / "stamp"
    if marker.exists() and marker.read_text() == want:
        return 0
    marker.unlink(missing_ok=True)
    shutil.rmtree(out / "pki-work", ignore_errors=True)  # certificates of an earlier recipe
    p = Pki(out / "pki-work")
    ca = embedded_ca(pki_dir)
    inter = p.issue(ca, "Vextra Unit Test Intermediate", "ca")
    signer = p.issue(inter, "Vextra Unit Test Signer")
    (out / "payload.bin").write_bytes(PAYLOAD)
    for case in TRUST_CASES:
        case_signer, carried = certificates_for_rule(p, ca, inter, case)
        (out / f"{case}.z").write_bytes(sign_package(PAYLOAD, case_signer, carried))
    for case, package in package_cases(p, ca, inter, signer):
        (out / f"{case}.z").write_bytes(package)
    marker.write_text(want)
    return 0


if __name__ == "__main__":
    sys.exit(main())
