#!/usr/bin/env python3
"""Signed packages for the update cycle search, made with openssl at test time.

Writes into the folder given: two releases of one installer (content-a.bin, content-b.bin: a
small Windows program that exits at once, with a trailer of its own so that each release has
its own bytes), each signed under the development authority that the build embeds (good-a.z,
good-b.z), release a with one content byte changed (tampered-a.z, signed without attributes,
so that the signature itself covers the content), and release a signed under an authority the
program does not know (foreign-a.z). Each package is a little over 2 MiB, so that a cut
download holds whole 1 MiB blocks.
"""
import os
import shutil
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[4] / "tests" / "harness"))
import pki  # noqa: E402


def main():
    out = Path(sys.argv[1])
    program = Path(sys.argv[2]).read_bytes()
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir(parents=True)
    work = pki.Pki(out / "pki")
    root = pki.embedded_ca()
    intermediate = work.issue(root, "Search Intermediate", "ca")
    signer = work.issue(intermediate, "Search Signer")
    foreign_root = work.new_ca("Search Foreign Root")
    foreign_signer = work.issue(foreign_root, "Search Foreign Signer")
    for release in ("a", "b"):
        trailer = (release.encode() * 64 + os.urandom(64)) * (2300 * 1024 // 128)
        content = program + trailer
        (out / f"content-{release}.bin").write_bytes(content)
        pki.sign_package(content, signer, chain=[intermediate], out=out / f"good-{release}.z")
    content = bytearray((out / "content-a.bin").read_bytes())
    changed = pki.sign_package(bytes(content), signer, chain=[intermediate], noattr=True)
    at = bytes(changed).find(bytes(content[-4096:]))
    assert at > 0, "content not found in the package"
    tampered = bytearray(changed)
    tampered[at + 100] ^= 0x01
    (out / "tampered-a.z").write_bytes(bytes(tampered))
    pki.sign_package(bytes(content), foreign_signer, chain=[foreign_root], out=out / "foreign-a.z")
    (out / ".ready").write_text("ok\n")


if __name__ == "__main__":
    main()
