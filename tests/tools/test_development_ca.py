"""The development CA that configuring makes (cmake/embedded-ca.cmake, with the openssl
configuration cmake/openssl-ca.cnf that the test PKI shares): made here in a throwaway build tree,
it has the form of the deployment's certificate that the service embeds."""
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "harness"))
import pki  # noqa: E402


@pytest.fixture(scope="module")
def ca_text(tmp_path_factory):
    work = tmp_path_factory.mktemp("dev-ca")
    (work / "src").mkdir()
    (work / "src" / "CMakeLists.txt").write_text(
        "cmake_minimum_required(VERSION 3.21)\nproject(development_ca NONE)\n"
        f"include({ROOT / 'cmake' / 'embedded-ca.cmake'})\n")
    subprocess.run(["cmake", "-S", str(work / "src"), "-B", str(work / "build"),
                    f"-DVEXTRA_DEV_PKI_DIR={work / 'pki'}"], check=True, capture_output=True)
    der = work / "pki" / "embedded-ca.der"
    return subprocess.run(["openssl", "x509", "-inform", "DER", "-in", str(der), "-noout", "-text"],
                          check=True, capture_output=True, text=True).stdout


# (what, pattern the certificate's text must match)
FORM = [
    ("serial number 0", r"Serial Number: 0 \(0x0\)"),
    ("signed with sha1WithRSAEncryption", r"Signature Algorithm: sha1WithRSAEncryption"),
    ("a 2048-bit RSA key", r"Public-Key: \(2048 bit\)"),
    ("exponent 65537", r"Exponent: 65537"),
    ("valid from 2005-06-01 07:01:52", r"Not Before: Jun  1 07:01:52 2005 GMT"),
    ("valid to 2025-05-27 07:01:52", r"Not After : May 27 07:01:52 2025 GMT"),
    ("a CA by its basic constraints", r"X509v3 Basic Constraints: *\n *CA:TRUE"),
    ("self-signed, subject in order",
     r"Issuer: CN = Orvane Vextra Player Development CA, ST = Test State, C = US, "
     r"emailAddress = ca@localhost, O = Orvane Development, OU = Vextra Player\n.*\n.*\n.*\n"
     r" *Subject: CN = Orvane Vextra Player Development CA, ST = Test State, C = US, "
     r"emailAddress = ca@localhost, O = Orvane Development, OU = Vextra Player"),
]


@pytest.mark.parametrize("what,pattern", FORM, ids=[f[0] for f in FORM])
def test_the_development_ca_has_the_deployed_form(ca_text, what, pattern):
    assert re.search(pattern, ca_text), f"not {what}:\n{ca_text}"


def test_basic_constraints_is_its_only_extension(ca_text):
    block = ca_text.split("X509v3 extensions:\n", 1)[1].split("\n    Signature Algorithm", 1)[0]
    names = [line.strip() for line in block.splitlines() if re.match(r"^ {12}\S", line)]
    assert names == ["X509v3 Basic Constraints:"]


def test_the_test_pki_reads_the_same_configuration():
    assert pki.CA_CONFIG == ROOT / "cmake" / "openssl-ca.cnf"
