"""Signed packages made with openssl at test time, verified by CryptoHelper against the
certificate authority embedded in the test build (a probe program under Wine)."""
import os
import shutil

import pytest

from pki import Pki, embedded_ca, openssl, sign_package, trust_in_prefix
from verification_fixtures import VERIFY_PROBE, read_pairs
from winetools import BITS, WinePrefix, to_windows_path

PAYLOAD = bytes(range(256)) * 40 + b"MZ installer bytes\x00\xff" + os.urandom(4093)


@pytest.fixture(scope="module")
def prefix():
    with WinePrefix() as pre:
        yield pre


@pytest.fixture(scope="module")
def chain(tmp_path_factory):
    p = Pki(tmp_path_factory.mktemp("pki"))
    ca = embedded_ca()
    inter = p.issue(ca, "Vextra Test Code Signing Intermediate", "ca")
    signer = p.issue(inter, "Vextra Test Package Signer")
    return p, ca, inter, signer


def verify(prefix, tmp_path, package, name="pkg"):
    """Runs the probe; returns (exit code, info dict, extracted bytes or None)."""
    pkg = tmp_path / f"{name}.z"
    pkg.write_bytes(package)
    out = tmp_path / f"{name}.out"
    rc = prefix.run(VERIFY_PROBE, to_windows_path(pkg), to_windows_path(out))
    info = read_pairs(str(out) + ".info")
    return rc, info, (out.read_bytes() if out.exists() else None)


def flip(data, offset):
    data = bytearray(data)
    data[offset] ^= 0x01
    return bytes(data)


def test_signer_intermediate_ca_verifies_and_yields_the_exact_payload(prefix, chain, tmp_path):
    _, _, inter, signer = chain
    for name, kwargs in (("attrs", {}), ("noattr", {"noattr": True}), ("smime", {"smime": True})):
        rc, info, content = verify(prefix, tmp_path, sign_package(PAYLOAD, signer, [inter], **kwargs), name)
        assert rc == 0, name
        assert info["verified"] == "1"
        assert content == PAYLOAD
        assert int(info["contentSize"]) == len(PAYLOAD)


def test_parameter_record_size_is_that_of_the_structure(prefix, chain, tmp_path):
    # 20 bytes in the shipped 32-bit program (Wine refuses any other size there), 32 in the
    # x86_64 twin; a package verifies with either.
    _, _, inter, signer = chain
    rc, info, _ = verify(prefix, tmp_path, sign_package(PAYLOAD, signer, [inter]))
    assert rc == 0 and info["paraSize"] == {32: "20", 64: "32"}[BITS]


def test_signer_issued_directly_by_the_ca_verifies(prefix, chain, tmp_path):
    p, ca, _, _ = chain
    direct = p.issue(ca, "Vextra Test Direct Signer")
    rc, _, content = verify(prefix, tmp_path, sign_package(PAYLOAD, direct))
    assert rc == 0 and content == PAYLOAD


def test_longer_chain_and_a_carried_copy_of_the_ca_verify(prefix, chain, tmp_path):
    p, ca, inter, _ = chain
    inter2 = p.issue(inter, "Vextra Test Second Intermediate", "ca")
    inter3 = p.issue(inter2, "Vextra Test Third Intermediate", "ca")
    signer = p.issue(inter3, "Vextra Test Deep Signer")
    rc, _, content = verify(prefix, tmp_path, sign_package(PAYLOAD, signer, [inter3, inter2, inter]), "deep")
    assert rc == 0 and content == PAYLOAD
    # The embedded authority's own (long expired) dates play no part, also when the package
    # carries a copy of it.
    rc, _, content = verify(prefix, tmp_path, sign_package(PAYLOAD, signer, [inter3, inter2, inter, ca]), "withca")
    assert rc == 0 and content == PAYLOAD
    # A missing middle link leaves the top certificate unsigned by the authority.
    rc, info, _ = verify(prefix, tmp_path, sign_package(PAYLOAD, signer, [inter3, inter]), "gap")
    assert rc == 1 and info["verified"] == "0"


def test_basic_constraints_and_extended_key_usage_limit_the_chain(prefix, chain, tmp_path):
    p, ca, inter, signer = chain
    # A signing certificate (basic constraints: not an authority) cannot vouch for another one,
    # though the link's signature and dates are valid.
    below_signer = p.issue(signer, "Vextra Test Signer Issued By A Signer")
    rc, _, content = verify(prefix, tmp_path, sign_package(PAYLOAD, below_signer, [signer, inter]),
                            "not-a-ca")
    assert rc == 1 and content is None
    # A signer whose extended key usage names purposes, but not code signing.
    server = p.issue(inter, "Vextra Test TLS Certificate As Signer", "server")
    rc, _, content = verify(prefix, tmp_path, sign_package(PAYLOAD, server, [inter]), "no-codesign")
    assert rc == 1 and content is None
    # Without those extensions nothing changes: a bare intermediate and a bare signer verify.
    bare_inter = p.issue(ca, "Vextra Test Bare Intermediate", "bare")
    bare_signer = p.issue(bare_inter, "Vextra Test Bare Signer", "bare")
    rc, _, content = verify(prefix, tmp_path, sign_package(PAYLOAD, bare_signer, [bare_inter]), "bare")
    assert rc == 0 and content == PAYLOAD


def signer_for_rule(p, ca, inter, name):
    """(signer, certificates the package carries) for one case of SIGNER_RULES."""
    if name == "ca-signs":
        return p.issue(ca, "Vextra Test CA As Signer", "ca"), []
    if name == "bare-ca-signs":
        return inter, []
    if name == "no-signature":
        return p.issue(inter, "Vextra Test No Signature", "no-signature"), [inter]
    if name.startswith("pathlen"):
        limited = p.issue(ca, f"Vextra Test {name}", "ca-pathlen0")
        if name == "pathlen-held":
            return p.issue(limited, "Vextra Test Signer Of Pathlen 0"), [limited]
        below = p.issue(limited, "Vextra Test Authority Below Pathlen 0", "ca")
        return p.issue(below, "Vextra Test Signer Too Deep"), [below, limited]
    md = name.split("-")[0]
    if name.endswith("-signer"):
        return p.issue(inter, f"Vextra Test {md} Signer", md=md), [inter]
    issuer = p.issue(ca, f"Vextra Test {md} Intermediate", "ca", md=md)
    return p.issue(issuer, f"Vextra Test Under {md}", md="sha1" if md == "sha1" else "sha256"), [issuer]


# (case, verifies): an authority signs no package itself (with or without extended key
# usage), nor a key without digital signatures; path length limits hold; MD5 links prove
# nothing, SHA-1 links of older packages still verify.
SIGNER_RULES = [("ca-signs", False), ("bare-ca-signs", False), ("no-signature", False),
                ("pathlen-exceeded", False), ("pathlen-held", True), ("md5-signer", False),
                ("md5-intermediate", False), ("sha1-links", True)]


@pytest.mark.parametrize("name,verifies", SIGNER_RULES, ids=[r[0] for r in SIGNER_RULES])
def test_signer_is_an_end_entity_and_links_are_strong(prefix, chain, tmp_path, name, verifies):
    p, ca, inter, _ = chain
    signer, carried = signer_for_rule(p, ca, inter, name)
    rc, _, content = verify(prefix, tmp_path, sign_package(PAYLOAD, signer, carried), name)
    assert (rc, content) == ((0, PAYLOAD) if verifies else (1, None))


def test_without_the_intermediate_it_fails(prefix, chain, tmp_path):
    _, _, _, signer = chain
    rc, info, content = verify(prefix, tmp_path, sign_package(PAYLOAD, signer))
    assert rc == 1 and info["verified"] == "0"
    assert content is None


def test_expired_signer_or_intermediate_fails(prefix, chain, tmp_path):
    p, ca, inter, _ = chain
    old_signer = p.expired(inter, "Vextra Test Expired Signer")
    rc, _, _ = verify(prefix, tmp_path, sign_package(PAYLOAD, old_signer, [inter]), "oldsigner")
    assert rc == 1
    old_inter = p.expired(ca, "Vextra Test Expired Intermediate", "ca")
    signer = p.issue(old_inter, "Vextra Test Signer Under Expired")
    rc, _, _ = verify(prefix, tmp_path, sign_package(PAYLOAD, signer, [old_inter]), "oldinter")
    assert rc == 1
    import datetime
    future = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(days=30)
    not_yet = p.issue(inter, "Vextra Test Future Signer", not_before=future,
                      not_after=future + datetime.timedelta(days=365))
    rc, _, _ = verify(prefix, tmp_path, sign_package(PAYLOAD, not_yet, [inter]), "notyet")
    assert rc == 1


def test_chain_from_a_foreign_ca_fails_even_when_windows_trusts_it(chain, tmp_path):
    p, _, _, _ = chain
    foreign = p.new_ca("Foreign Test Root")
    f_inter = p.issue(foreign, "Foreign Test Intermediate", "ca")
    f_signer = p.issue(f_inter, "Foreign Test Signer")
    with WinePrefix() as pre:
        trust_in_prefix(pre, foreign)
        for name, extra in (("foreign", [f_inter]), ("foreign-root", [f_inter, foreign])):
            rc, info, content = verify(pre, tmp_path, sign_package(PAYLOAD, f_signer, extra), name)
            assert rc == 1 and info["verified"] == "0", name
            assert content is None


def test_changed_signature_fails(prefix, chain, tmp_path):
    _, _, inter, signer = chain
    package = sign_package(PAYLOAD, signer, [inter], noattr=True)
    # The signature value is the last 256 bytes of a message without unsigned attributes.
    for name, pkg in (("sig-noattr", package),
                      ("sig-attrs", sign_package(PAYLOAD, signer, [inter]))):
        rc, _, content = verify(prefix, tmp_path, flip(pkg, len(pkg) - 17), name)
        assert rc == 1 and content is None, name


# A content byte changed after signing, first, middle and last, in each encoding: with signed
# attributes the message digest no longer matches the content, without them the signature
# (over the content's digest) fails.
TAMPERED = [(kind, where) for kind in ("attrs", "noattr", "smime") for where in ("first", "middle", "last")]


@pytest.mark.parametrize("kind,where", TAMPERED, ids=[f"{k}-{w}" for k, w in TAMPERED])
def test_changed_content_byte_fails(prefix, chain, tmp_path, kind, where):
    _, _, inter, signer = chain
    options = {"attrs": {}, "noattr": {"noattr": True}, "smime": {"smime": True}}[kind]
    package = sign_package(PAYLOAD, signer, [inter], **options)
    at = package.find(PAYLOAD)
    assert at > 0
    offset = {"first": 0, "middle": len(PAYLOAD) // 2, "last": len(PAYLOAD) - 1}[where]
    rc, info, content = verify(prefix, tmp_path, flip(package, at + offset), f"{kind}-{where}")
    assert rc == 1 and content is None and info["verified"] == "0"


def test_html_page_fails_with_the_content_cleared(prefix, tmp_path):
    page = (b"<!DOCTYPE HTML PUBLIC \"-//IETF//DTD HTML 2.0//EN\">\n<html><head><title>404 Not "
            b"Found</title></head><body><h1>Not Found</h1></body></html>\n")
    for name, data in (("html", page), ("empty", b"\x00"), ("der-junk", b"\x30\x82\x00\x10" + b"\x00" * 16)):
        rc, info, content = verify(prefix, tmp_path, data, name)
        assert rc == 1, name
        assert info["contentSize"] == "0" and info["contentBuffer"] == "0"
        assert content is None


def test_keyid_packages_are_not_understood_by_wine(prefix, chain, tmp_path):
    _, _, inter, signer = chain
    payload = tmp_path / "payload.bin"
    payload.write_bytes(PAYLOAD)
    bundle = tmp_path / "inter.pem"
    shutil.copy(inter.cert, bundle)
    out = tmp_path / "keyid.z"
    openssl("cms", "-sign", "-nodetach", "-binary", "-outform", "DER", "-keyid", "-in", payload,
            "-signer", signer.cert, "-inkey", signer.key, "-certfile", bundle, "-out", out)
    rc, _, content = verify(prefix, tmp_path, out.read_bytes(), "keyid")
    if rc == 1:
        pytest.skip("Wine 8 cannot find a signer identified by subject key identifier "
                    "(0x80092004); packages are signed with issuer and serial number")
    assert content == PAYLOAD


def test_planted_crypt32_is_never_loaded(prefix, chain, tmp_path):
    _, _, inter, signer = chain
    folder = tmp_path / "planted"
    folder.mkdir()
    probe = folder / "verify_probe.exe"
    shutil.copy(VERIFY_PROBE, probe)
    junk = b"MZ" + b"\x00" * 62 + b"not a library"
    (folder / "crypt32.dll").write_bytes(junk)   # beside the program and the working directory
    pkg = folder / "pkg.z"
    pkg.write_bytes(sign_package(PAYLOAD, signer, [inter]))
    out = folder / "pkg.out"
    rc = prefix.run(probe, to_windows_path(pkg), to_windows_path(out), cwd=folder)
    info = read_pairs(str(out) + ".info")
    assert info["crypt32Before"] == "0", "the probe must not have crypt32 loaded on its own"
    assert rc == 0 and out.read_bytes() == PAYLOAD
    assert info["crypt32"].lower() == r"c:\windows\system32\crypt32.dll"


def test_chain_walk_is_bounded(prefix, chain, tmp_path):
    """The walk follows at most 32 certificates of the message: the signer and 31
    intermediates verify; one intermediate more is rejected."""
    p, ca, _, _ = chain
    inters = []
    issuer = ca
    for i in range(32):
        issuer = p.issue(issuer, f"Vextra Test Chain Link {i + 1}", "ca")
        inters.append(issuer)
    at_limit = p.issue(inters[30], "Vextra Test Signer At The Limit")
    rc, _, content = verify(prefix, tmp_path, sign_package(PAYLOAD, at_limit, inters[:31]), "limit")
    assert rc == 0 and content == PAYLOAD
    beyond = p.issue(inters[31], "Vextra Test Signer Beyond The Limit")
    rc, _, content = verify(prefix, tmp_path, sign_package(PAYLOAD, beyond, inters), "beyond")
    assert rc == 1 and content is None
