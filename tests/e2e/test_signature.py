"""Signed packages made with openssl at test time, verified by CryptoHelper against the
certificate authority embedded in the test build (a probe program under Wine)."""
import os
import shutil

import pytest

from pki import Pki, embedded_ca, openssl, sign_package, trust_in_prefix
from trust_cases import certificates_for_rule
from service_log import name
from verification_fixtures import VERIFY_PROBE, read_pairs, run_package_probe
from winetools import WinePrefix, to_windows_path

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
    rc, info, out = run_package_probe(prefix, VERIFY_PROBE, tmp_path, package, name, f"{name}.out")
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


def refusal(info):
    """(code name, detail) of a refused verification, as the probe reports it."""
    return name(info["failureCode"]), int(info["failureDetail"])


# (case, None when the package verifies, else (message code, place in the chain: 0 the signer,
# 1 its issuer, ...)). The signer is an end entity allowed to sign code; every issuer says
# CA:TRUE, allows signing certificates when it has key usage, and keeps its path length; no
# certificate carries name constraints or an unknown critical extension; a link's outer and
# inner algorithms agree and are not MD2/4/5, while SHA-1 links of older chains still verify.
TRUST_RULES = [
    ("ca-signs", ("SignerIsAuthority", 0)),
    ("intermediate-signs", ("SignerIsAuthority", 0)),
    ("no-signature", ("SignerKeyUsageWithoutSignature", 0)),
    ("tls-certificate-signs", ("SignerNotForCodeSigning", 0)),
    ("pathlen-exceeded", ("IssuerPathLengthExceeded", 2)),
    ("pathlen-held", None),
    ("signer-issues", ("IssuerNotAuthority", 1)),
    ("code-signer-without-constraints-issues", ("IssuerNotAuthority", 1)),
    ("bare-intermediate", ("IssuerNotAuthority", 1)),
    ("bare-signer", None),
    ("ca-without-certsign", ("IssuerKeyUsageWithoutCertSign", 1)),
    ("unknown-critical-signer", ("CertificateUnknownCriticalExtension", 0)),
    ("unknown-critical-intermediate", ("CertificateUnknownCriticalExtension", 1)),
    ("unknown-noncritical-signer", None),
    ("name-constraints", ("CertificateNameConstraints", 1)),
    ("md5-signer", ("CertificateWeakSignature", 0)),
    ("md5-intermediate", ("CertificateWeakSignature", 1)),
    ("sha1-links", None),
    ("outer-md5-signer", ("CertificateWeakSignature", 0)),
    ("outer-md5-intermediate", ("CertificateWeakSignature", 1)),
    ("outer-sha1-signer", ("CertificateAlgorithmMismatch", 0)),
    ("outer-sha256-signer", None),  # signed again the same way: the re-signing itself is sound
    ("server-auth-intermediate", ("IssuerNotForCodeSigning", 1)),
    ("code-signing-intermediate", None),
    ("any-purpose-intermediate", None),
]


@pytest.mark.parametrize("case,expected", TRUST_RULES, ids=[r[0] for r in TRUST_RULES])
def test_trust_rules_refuse_with_their_own_code(prefix, chain, tmp_path, case, expected):
    p, ca, inter, _ = chain
    signer, carried = certificates_for_rule(p, ca, inter, case)
    rc, info, content = verify(prefix, tmp_path, sign_package(PAYLOAD, signer, carried), case)
    if expected is None:
        assert (rc, content) == (0, PAYLOAD)
        return
    assert (rc, content) == (1, None), "refused"
    assert refusal(info) == expected


# (the signer's digest algorithm, None when the package verifies, else (code, ALG_ID)).
PACKAGE_DIGESTS = [
    ("md5", ("PackageDigestAlgorithmWeak", 0x8003)),
    ("sha1", ("PackageDigestAlgorithmWeak", 0x8004)),
    ("sha256", None),
    ("sha384", None),
    ("sha512", None),
]


@pytest.mark.parametrize("md,expected", PACKAGE_DIGESTS, ids=[r[0] for r in PACKAGE_DIGESTS])
def test_package_signature_digest_is_sha256_or_stronger(prefix, chain, tmp_path, md, expected):
    _, _, inter, signer = chain
    for attrs in ("attrs", "noattr"):
        package = sign_package(PAYLOAD, signer, [inter], md=md, noattr=attrs == "noattr")
        rc, info, content = verify(prefix, tmp_path, package, f"{md}-{attrs}")
        if expected is None:
            assert (rc, content) == (0, PAYLOAD), attrs
        else:
            assert (rc, content) == (1, None), attrs
            assert refusal(info) == expected, attrs


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
        code, detail = refusal(info)
        assert code == "PackageVerificationFailed" and detail != 0, "crypt32's own error, never 0"


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
