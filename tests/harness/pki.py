"""Test certificates and signed packages made with the openssl command at test time.

The build tree holds the development certificate authority that both development builds embed
(build/pki/embedded-ca.{pem,key,der}, made once at configure time by cmake/embedded-ca.cmake;
nothing here makes it or a stand-in for it: `embedded_ca` only reads it). Tests issue
intermediates and signers from it, make foreign authorities, expired certificates and a TLS
server certificate for DNS:localhost, and sign packages with
`openssl cms -sign -nodetach -binary -outform DER`. A test authority is trusted by WinHTTP only
inside one Wine prefix (`trust_in_prefix`); nothing is ever added to the host's store.
"""
import datetime
import hashlib
import itertools
import os
import subprocess
from dataclasses import dataclass
from pathlib import Path

from winetools import ROOT, to_windows_path

OPENSSL = os.environ.get("OPENSSL", "openssl")
_serials = itertools.count(0x1000)

# The openssl configuration of every authority here, the same file the build makes the
# development CA with.
CA_CONFIG = ROOT / "cmake" / "openssl-ca.cnf"

_EXTENSIONS = {
    "ca": "basicConstraints = critical,CA:TRUE\nkeyUsage = keyCertSign, cRLSign\n",
    "signer": "basicConstraints = CA:FALSE\nkeyUsage = digitalSignature\n"
              "extendedKeyUsage = codeSigning, emailProtection\n",
    "server": "basicConstraints = CA:FALSE\nkeyUsage = digitalSignature, keyEncipherment\n"
              "extendedKeyUsage = serverAuth\nsubjectAltName = DNS:localhost\n",
    # No basic constraints, key usage or extended key usage at all.
    "bare": "subjectKeyIdentifier = hash\n",
    # An authority that may have no authority below it.
    "ca-pathlen0": "basicConstraints = critical,CA:TRUE,pathlen:0\nkeyUsage = keyCertSign, cRLSign\n",
    # Not an authority, but its key may not make digital signatures.
    "no-signature": "basicConstraints = CA:FALSE\nkeyUsage = keyEncipherment\n",
    # A code-signing certificate that says nothing about being an authority.
    "codesign-no-constraints": "keyUsage = digitalSignature\nextendedKeyUsage = codeSigning\n",
    # An authority whose key usage does not allow signing certificates.
    "ca-no-certsign": "basicConstraints = critical,CA:TRUE\nkeyUsage = digitalSignature, cRLSign\n",
    # An authority, and a signer, with an extension nobody here knows, marked critical or not.
    "ca-unknown-critical": "basicConstraints = critical,CA:TRUE\nkeyUsage = keyCertSign, cRLSign\n"
                           "1.3.6.1.4.1.55555.7 = critical,ASN1:NULL\n",
    "signer-unknown-critical": "basicConstraints = CA:FALSE\nkeyUsage = digitalSignature\n"
                               "1.3.6.1.4.1.55555.7 = critical,ASN1:NULL\n",
    "signer-unknown-noncritical": "basicConstraints = CA:FALSE\nkeyUsage = digitalSignature\n"
                                  "1.3.6.1.4.1.55555.7 = ASN1:NULL\n",
    # Authorities whose extended key usage lists purposes: only server authentication, code
    # signing, or any purpose.
    "ca-server-auth": "basicConstraints = critical,CA:TRUE\nkeyUsage = keyCertSign, cRLSign\n"
                      "extendedKeyUsage = serverAuth\n",
    "ca-code-signing": "basicConstraints = critical,CA:TRUE\nkeyUsage = keyCertSign, cRLSign\n"
                       "extendedKeyUsage = codeSigning\n",
    "ca-any-purpose": "basicConstraints = critical,CA:TRUE\nkeyUsage = keyCertSign, cRLSign\n"
                      "extendedKeyUsage = anyExtendedKeyUsage\n",
    # An authority limited to names below example.com.
    "ca-name-constraints": "basicConstraints = critical,CA:TRUE\nkeyUsage = keyCertSign, cRLSign\n"
                           "nameConstraints = critical,permitted;DNS:example.com\n",
}

# Signature algorithm identifiers (DER) a certificate's outer signature may be given again with.
SIGNATURE_ALGORITHMS = {
    "md5": bytes.fromhex("300d06092a864886f70d0101040500"),
    "sha1": bytes.fromhex("300d06092a864886f70d0101050500"),
    "sha256": bytes.fromhex("300d06092a864886f70d01010b0500"),
}


def _der_length(n):
    if n < 0x80:
        return bytes([n])
    body = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(body)]) + body


def _der_element(data, at):
    """(start, end) of the DER element that begins at `at` (definite lengths only)."""
    first = data[at + 1]
    if first < 0x80:
        return at, at + 2 + first
    count = first & 0x7F
    length = int.from_bytes(data[at + 2:at + 2 + count], "big")
    return at, at + 2 + count + length


def openssl(*args, cwd=None, stdin=None):
    """Runs openssl; raises with its message when it fails."""
    res = subprocess.run([OPENSSL, *map(str, args)], cwd=cwd, input=stdin,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if res.returncode != 0:
        raise RuntimeError(f"openssl {' '.join(map(str, args))} failed: "
                           f"{res.stderr.decode(errors='replace')}")
    return res.stdout


def _asn1_time(value):
    return value.astimezone(datetime.timezone.utc).strftime("%Y%m%d%H%M%SZ")


@dataclass
class Cert:
    name: str
    cert: Path  # PEM
    key: Path   # PEM, unencrypted

    @property
    def der(self):
        return openssl("x509", "-in", self.cert, "-outform", "DER")

    @property
    def sha1(self):
        return hashlib.sha1(self.der).hexdigest().upper()


DEV_PKI = Path(os.environ.get("VEXTRA_DEV_PKI_DIR", ROOT / "build" / "pki"))


def embedded_ca(pki=DEV_PKI):
    """The development certificate authority built into both development builds."""
    pki = Path(pki)
    cert = Cert("embedded", pki / "embedded-ca.pem", pki / "embedded-ca.key")
    if not cert.key.exists():
        raise RuntimeError(f"no development CA in {pki}: configure the build first")
    return cert


class Pki:
    """Makes certificates below one folder; every certificate is a fresh key pair."""

    def __init__(self, folder):
        self.dir = Path(folder)
        self.dir.mkdir(parents=True, exist_ok=True)
        self._n = 0

    def _workdir(self, name):
        self._n += 1
        d = self.dir / f"{self._n:03d}-{name}"
        d.mkdir()
        (d / "ca.cnf").write_bytes(CA_CONFIG.read_bytes())
        (d / "index.txt").write_text("")
        (d / "serial").write_text(f"{next(_serials):X}\n")
        return d

    def _request(self, d, subject):
        openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", "key.pem",
                "-config", "ca.cnf", "-subj", subject, "-out", "req.csr", cwd=d)

    def new_ca(self, name, not_before=None, not_after=None):
        """A self-signed authority unrelated to the embedded one (a foreign root)."""
        d = self._workdir(name)
        self._request(d, f"/CN={name}/O=Test Foreign Authority")
        (d / "ext.cnf").write_text(_EXTENSIONS["ca"])
        nb, na = self._dates(not_before, not_after)
        openssl("ca", "-batch", "-config", "ca.cnf", "-selfsign", "-keyfile", "key.pem",
                "-in", "req.csr", "-out", "cert.pem", "-startdate", nb, "-enddate", na,
                "-extfile", "ext.cnf", "-notext", "-preserveDN", cwd=d)
        return Cert(name, d / "cert.pem", d / "key.pem")

    def issue(self, issuer, name, kind="signer", not_before=None, not_after=None, md="sha256"):
        """A certificate issued by `issuer`: kind "ca" (intermediate), "signer", "server", or
        "bare" (none of the extensions that limit what a certificate may do), or one of the
        other kinds above; `md` is the digest of the issuer's signature on it."""
        d = self._workdir(name)
        self._request(d, f"/CN={name}/O=Test Vextra Publisher")
        (d / "ext.cnf").write_text(_EXTENSIONS[kind])
        nb, na = self._dates(not_before, not_after)
        openssl("ca", "-batch", "-config", "ca.cnf", "-cert", issuer.cert.resolve(),
                "-keyfile", issuer.key.resolve(), "-in", "req.csr", "-out", "cert.pem",
                "-startdate", nb, "-enddate", na, "-extfile", "ext.cnf", "-notext",
                "-preserveDN", "-md", md, cwd=d)
        return Cert(name, d / "cert.pem", d / "key.pem")

    def resign(self, cert, issuer, md, name):
        """The certificate `cert` (issued by `issuer`) signed again by the issuer's key over
        the same signed body with digest `md`, its outer algorithm naming `md` with RSA: the
        body still names the algorithm it was issued with. The shape a collision forger
        produces when the body names a strong algorithm and the signature uses a weak one."""
        d = self._workdir(name)
        der = cert.der
        _, outer_end = _der_element(der, 0)
        header = 2 + (der[1] & 0x7F if der[1] >= 0x80 else 0)
        tbs_start, tbs_end = _der_element(der, header)
        (d / "tbs.der").write_bytes(der[tbs_start:tbs_end])
        openssl("dgst", f"-{md}", "-sign", issuer.key.resolve(), "-out", "sig.bin", "tbs.der",
                cwd=d)
        sig = (d / "sig.bin").read_bytes()
        bits = b"\x03" + _der_length(len(sig) + 1) + b"\x00" + sig
        body = der[tbs_start:tbs_end] + SIGNATURE_ALGORITHMS[md] + bits
        (d / "cert.der").write_bytes(b"\x30" + _der_length(len(body)) + body)
        openssl("x509", "-inform", "DER", "-in", "cert.der", "-out", "cert.pem", cwd=d)
        return Cert(name, d / "cert.pem", cert.key)

    def expired(self, issuer, name, kind="signer"):
        now = datetime.datetime.now(datetime.timezone.utc)
        return self.issue(issuer, name, kind, now - datetime.timedelta(days=400),
                          now - datetime.timedelta(days=30))

    def server_certificate(self, issuer, name="localhost"):
        return self.issue(issuer, name, "server")

    @staticmethod
    def _dates(not_before, not_after):
        now = datetime.datetime.now(datetime.timezone.utc)
        nb = not_before or now - datetime.timedelta(days=1)
        na = not_after or now + datetime.timedelta(days=365)
        return _asn1_time(nb), _asn1_time(na)

    def bundle(self, name, *certs):
        """One PEM file holding the given certificates."""
        path = self.dir / f"bundle-{name}.pem"
        path.write_bytes(b"".join(c.cert.read_bytes() for c in certs))
        return path


def sign_package(payload, signer, chain=(), out=None, noattr=False, smime=False, stream=False,
                 detached=False, md=None):
    """A signed package (DER PKCS #7 SignedData with the payload embedded) as bytes.

    `payload` is bytes or a path; `chain` the extra certificates the message carries (for
    example the intermediate); `noattr` leaves out the signed attributes; `stream` writes the
    BER form with indefinite lengths that streaming signers write; `detached` leaves the
    payload out of the message.
    """
    payload_path = Path(payload) if isinstance(payload, (str, Path)) else None
    work = Path(signer.cert).parent
    if payload_path is None:
        payload_path = work / f"payload-{next(_serials)}.bin"
        payload_path.write_bytes(payload)
    target = Path(out) if out else work / f"package-{next(_serials)}.z"
    args = ["smime" if smime else "cms", "-sign", "-binary", "-outform", "DER",
            "-in", payload_path, "-signer", signer.cert, "-inkey", signer.key, "-out", target]
    if not detached:
        args.append("-nodetach")
    if stream:
        args.append("-stream")
    if noattr:
        args.append("-noattr")
    if md:
        args += ["-md", md]
    if chain:
        bundle = work / f"chain-{next(_serials)}.pem"
        bundle.write_bytes(b"".join(Path(c.cert).read_bytes() for c in chain))
        args += ["-certfile", bundle]
    openssl(*args)
    return target.read_bytes() if out is None else target


def openssl_verify_package(package, ca, out):
    """`openssl cms -verify` of a package against one authority (reference for benchmarks)."""
    openssl("cms", "-verify", "-binary", "-inform", "DER", "-in", package, "-CAfile", ca.cert,
            "-purpose", "any", "-no_check_time", "-out", out)


def trust_in_prefix(prefix, ca):
    """Trusts `ca` for TLS inside one Wine prefix only (local machine Root store)."""
    der = ca.der
    blob = (0x20).to_bytes(4, "little") + (1).to_bytes(4, "little") + \
        len(der).to_bytes(4, "little") + der
    hexbytes = [f"{b:02x}" for b in blob]
    lines = []
    for i in range(0, len(hexbytes), 24):
        lines.append(",".join(hexbytes[i:i + 24]))
    body = ",\\\r\n  ".join(lines)
    key = rf"HKEY_LOCAL_MACHINE\Software\Microsoft\SystemCertificates\Root\Certificates\{ca.sha1}"
    reg = f"REGEDIT4\r\n\r\n[{key}]\r\n\"Blob\"=hex:{body}\r\n"
    path = prefix.root / f"trust-{ca.sha1}.reg"
    path.write_text(reg)
    # Into both registry views, so that a 32-bit and a 64-bit program trust it alike.
    for view in ([], ["/reg:32"]):
        # Wine's reg import failed once in a few hundred prefixes on a loaded machine, and
        # passes when run again: three tries, then the last output goes into the error.
        for _ in range(3):
            rc, out = prefix.wine("reg", "import", to_windows_path(path), *view)
            if rc == 0:
                break
        if rc != 0:
            raise RuntimeError(f"reg import of {path} {' '.join(view)} failed (exit {rc}): {out}")
    return key
