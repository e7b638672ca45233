"""The publisher tool: the manifests it writes are what the service reads, the digests in
patch.xml are those of the player files given, and every package verifies with openssl under
the build's development CA (the service's own verification is shown by test_update_cycle)."""
import hashlib
import subprocess
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest

from pki import DEV_PKI, Pki, embedded_ca, openssl
from update_site import PUBLISH

BASE = "pub/vextraplayer/update/current/sau/11"


@pytest.fixture(scope="module")
def chain(tmp_path_factory):
    if not (DEV_PKI / "embedded-ca.key").exists():
        pytest.skip("needs a configured development build (its development CA)")
    pki = Pki(tmp_path_factory.mktemp("pki"))
    ca = embedded_ca()
    intermediate = pki.issue(ca, "Publisher Intermediate", "ca")
    return ca, intermediate, pki.issue(intermediate, "Publisher Signer")


def run_publish(out, chain, *extra):
    ca, intermediate, signer = chain
    argv = ["/usr/bin/python3", str(PUBLISH), "--out", str(out), "--signer-cert", str(signer.cert),
            "--signer-key", str(signer.key), "--chain", str(intermediate.cert), *map(str, extra)]
    return subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def files(tmp_path):
    f = {}
    for name, data in [("ax.exe", b"MZ activex installer"), ("pl.exe", b"MZ plugin installer"),
                       ("axp.exe", b"MZ activex patch"), ("ax32.ocx", b"installed ax 32"),
                       ("ax64.ocx", b"installed ax 64"), ("pl32.dll", b"installed pl 32")]:
        f[name] = tmp_path / name
        f[name].write_bytes(data)
    return f


def test_release_with_patches(tmp_path, chain):
    f = files(tmp_path)
    out = tmp_path / "site"
    res = run_publish(out, chain, "--check-frequency", "2",
                      "--activex", "11.2.202.235", f["ax.exe"], "--plugin", "11.3.0.1", f["pl.exe"],
                      "--patch", "from-228", "activex", f["axp.exe"], f["ax32.ocx"], f["ax64.ocx"],
                      "--patch", "from-228", "plugin", f["pl.exe"], f["pl32.dll"],
                      "--patch", "from-227", "activex", f["axp.exe"], f["pl32.dll"])
    assert res.returncode == 0, res.stderr

    def binding(rel):
        """The size and sha256 attributes that bind the package at rel."""
        data = (out / BASE / rel).read_bytes()
        return {"size": str(len(data)), "sha256": hashlib.sha256(data).hexdigest()}

    version = ET.parse(out / BASE / "xml/version.xml").getroot()
    assert version.tag == "version"
    assert version.find("ActiveX").attrib == {"major": "11", "minor": "2", "buildMajor": "202",
                                              "buildMinor": "235",
                                              **binding("install/install_all_win_ax_sgn.z")}
    assert version.find("Plugin").attrib["sha256"] == \
        binding("install/install_all_win_pl_sgn.z")["sha256"]
    assert version.find("Plugin").attrib["minor"] == "3"
    assert version.find("SAUConfig").attrib == {"checkFrequency": "2"}

    # patch.xml: several top-level "patch" elements, each with both children.
    text = (out / BASE / "xml/patch.xml").read_text()
    patches = ET.fromstring("<all>" + text.split("?>", 1)[1] + "</all>").findall("patch")
    assert len(patches) == 2

    def digest(p):
        return hashlib.sha256(p.read_bytes()).hexdigest()
    first, second = patches
    assert first.find("ActiveX").attrib == {
        "hash32": digest(f["ax32.ocx"]), "hash64": digest(f["ax64.ocx"]), "path": "from-228",
        **binding("install/patch/from-228/patch_all_win_ax_sgn.z")}
    assert first.find("Plugin").attrib == {
        "hash32": digest(f["pl32.dll"]), "hash64": "", "path": "from-228",
        **binding("install/patch/from-228/patch_all_win_pl_sgn.z")}
    # No plug-in patch under this name: empty digests, nothing to bind.
    assert second.find("Plugin").attrib == {"hash32": "", "hash64": "", "path": "from-227"}

    # Without package binding the manifests are as they were before the attributes existed.
    res = run_publish(tmp_path / "unbound", chain, "--no-package-binding",
                      "--activex", "11.2.202.235", f["ax.exe"], "--plugin", "11.3.0.1", f["pl.exe"],
                      "--patch", "from-228", "activex", f["axp.exe"], f["ax32.ocx"])
    assert res.returncode == 0, res.stderr
    for name in ("version.xml", "patch.xml"):
        text = (tmp_path / "unbound" / BASE / "xml" / name).read_text()
        assert "size=" not in text and "sha256=" not in text

    ca, _, _ = chain
    packages = {
        "install/install_all_win_ax_sgn.z": f["ax.exe"],
        "install/install_all_win_pl_sgn.z": f["pl.exe"],
        "install/patch/from-228/patch_all_win_ax_sgn.z": f["axp.exe"],
        "install/patch/from-228/patch_all_win_pl_sgn.z": f["pl.exe"],
        "install/patch/from-227/patch_all_win_ax_sgn.z": f["axp.exe"],
    }
    for rel, installer in packages.items():
        extracted = tmp_path / "extracted"
        openssl("cms", "-verify", "-binary", "-inform", "DER", "-in", out / BASE / rel,
                "-CAfile", ca.cert, "-purpose", "any", "-no_check_time", "-out", extracted)
        assert extracted.read_bytes() == installer.read_bytes(), rel
    assert not (out / BASE / "install/patch/from-227/patch_all_win_pl_sgn.z").exists()


@pytest.mark.parametrize("bad", [
    ["--activex", "11.2.202", "ax.exe"],
    ["--activex", "11.2.202.4294967296", "ax.exe"],
    ["--patch", "../escape", "activex", "axp.exe", "ax32.ocx"],
    ["--patch", "p", "flash", "axp.exe", "ax32.ocx"],
    ["--patch", "p", "activex", "axp.exe", "empty.ocx"],
    ["--activex", "11.2.202.235", "missing.exe"],
], ids=["three-parts", "part-too-big", "path-escape", "unknown-component", "empty-player-file",
        "missing-installer"])
def test_refuses_what_the_service_could_not_use(tmp_path, chain, bad):
    f = files(tmp_path)
    (tmp_path / "empty.ocx").write_bytes(b"")
    args = {"--activex": ["11.2.202.235", f["ax.exe"]], "--plugin": ["11.2.202.235", f["pl.exe"]]}
    resolved = [str(tmp_path / a) if a.endswith((".exe", ".ocx")) else a for a in bad]
    if resolved[0] in args:
        args[resolved[0]] = resolved[1:]
        extra = []
    else:
        extra = resolved
    argv = [x for k, v in args.items() for x in (k, *v)] + extra
    res = run_publish(tmp_path / "site", chain, *argv)
    assert res.returncode == 2, res.stdout + res.stderr
    assert res.stderr.startswith("vextra-publish: ")
    assert not (tmp_path / "site").exists(), "nothing is written when an input is refused"
