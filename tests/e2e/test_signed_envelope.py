"""The envelope parser against a reference: packages made by openssl at test time are read as
the service reads them (1 MiB blocks, a probe under Wine), and the detached message it re-encodes
must be byte for byte what openssl writes when it signs the same content detached with the same
key (RSA PKCS #1 v1.5 signatures are deterministic; with signed attributes the two signatures
must fall in the same second of signing time, so a pair that straddles a second is made again).
The content handed on must be the payload."""
import os

import pytest

from pki import Pki, embedded_ca, sign_package
from verification_fixtures import run_package_probe
from winetools import PROGRAMS, WinePrefix

ENVELOPE_PROBE = PROGRAMS / "envelope_probe.exe"


@pytest.fixture(scope="module")
def prefix():
    with WinePrefix() as pre:
        yield pre


@pytest.fixture(scope="module")
def chain(tmp_path_factory):
    p = Pki(tmp_path_factory.mktemp("pki"))
    ca = embedded_ca()
    inter = p.issue(ca, "Vextra Test Envelope Intermediate", "ca")
    return inter, p.issue(inter, "Vextra Test Envelope Signer")


def read(prefix, tmp_path, package, name):
    rc, info, _ = run_package_probe(prefix, ENVELOPE_PROBE, tmp_path, package, name)
    detached = tmp_path / f"{name}.detached"
    return (rc, info, (tmp_path / f"{name}.content").read_bytes(),
            detached.read_bytes() if detached.exists() else None)


# (name, payload size, sign_package options): with and without signed attributes, the smime
# command's encoding, several certificates, and content over several read blocks whose length
# needs three and four length octets.
CASES = [
    ("attrs", 5000, {}),
    ("noattr", 5000, {"noattr": True}),
    ("smime", 5000, {"smime": True}),
    ("blocks", 3 * 2**20 + 17, {}),
    ("blocks-noattr", 17 * 2**20 + 5, {"noattr": True}),
]


@pytest.mark.parametrize("name,size,options", CASES, ids=[c[0] for c in CASES])
def test_detached_form_is_what_openssl_signs_detached(prefix, chain, tmp_path, name, size, options):
    inter, signer = chain
    payload = os.urandom(size)
    for _ in range(3):
        attached = sign_package(payload, signer, [inter], **options)
        reference = sign_package(payload, signer, [inter], detached=True, **options)
        rc, info, content, detached = read(prefix, tmp_path, attached, name)
        assert rc == 0 and info["result"] == "complete", info
        assert content == payload and int(info["contentSize"]) == size
        if detached == reference or options.get("noattr"):
            break  # else the two signing times straddled a second: sign again
    assert detached == reference
    assert len(detached) < 8192


def test_streamed_encoding_is_refused_with_its_own_result(prefix, chain, tmp_path):
    inter, signer = chain
    package = sign_package(b"MZ" + os.urandom(9000), signer, [inter], stream=True)
    assert package[1] == 0x80  # indefinite length, as openssl -stream writes it
    rc, info, content, detached = read(prefix, tmp_path, package, "streamed")
    assert rc == 1 and info["result"] == "indefinite" and info["offset"] == "0"
    assert content == b"" and detached is None


def test_detached_and_damaged_packages_are_malformed_where_they_break(prefix, chain, tmp_path):
    inter, signer = chain
    payload = os.urandom(3000)
    detached_only = sign_package(payload, signer, [inter], detached=True)
    rc, info, _, _ = read(prefix, tmp_path, detached_only, "no-content")
    assert rc == 1 and info["result"] == "malformed"
    attached = sign_package(payload, signer, [inter])
    for name, package, offset in (("cut", attached[:-1], len(attached) - 1),
                                  ("trailing", attached + b"\x00", len(attached))):
        rc, info, _, detached = read(prefix, tmp_path, package, name)
        assert rc == 1 and info["result"] == "malformed" and detached is None, name
        assert int(info["offset"]) == offset, name
