#!/usr/bin/python3
"""Prints the throughput of the service's file digest and package verification under Wine
next to the same work done by sha256sum and `openssl cms -verify`, as ratios.

Needs `make build prefix` first. Usage: bench/verification-bench.py [digest MiB] [package MiB]
(defaults 200 and 50). The timings of the Windows code are taken inside the probe programs,
so Wine's start-up is not counted.
"""
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "harness"))
sys.path.insert(0, str(ROOT / "tests" / "e2e"))

from pki import Pki, embedded_ca, openssl_verify_package, sign_package  # noqa: E402
from verification_fixtures import DIGEST_PROBE, VERIFY_PROBE, read_pairs  # noqa: E402
from winetools import WinePrefix, to_windows_path  # noqa: E402


def make_file(path, mib):
    block = os.urandom(1 << 20)
    with open(path, "wb") as fh:
        for i in range(mib):
            fh.write(block[i:] + block[:i])


def best_of(n, fn):
    return min(fn() for _ in range(n))


def timed(argv):
    start = time.perf_counter()
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def main():
    digest_mib = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    package_mib = int(sys.argv[2]) if len(sys.argv) > 2 else 50
    work = Path(tempfile.mkdtemp(prefix="vextra-bench."))
    try:
        data = work / "data.bin"
        make_file(data, digest_mib)
        with WinePrefix() as prefix:
            result = work / "digest.result"

            def wine_digest():
                rc = prefix.run(DIGEST_PROBE, to_windows_path(data), to_windows_path(result), timeout=600)
                assert rc == 0, "digest probe failed"
                return float(read_pairs(result)["seconds"])

            ours = best_of(3, wine_digest)
            ref = best_of(3, lambda: timed(["sha256sum", str(data)]))
            print(f"fileDigest     {digest_mib} MiB: {digest_mib / ours:8.1f} MiB/s "
                  f"({ours:.3f} s, 64 KiB chunks)")
            print(f"sha256sum      {digest_mib} MiB: {digest_mib / ref:8.1f} MiB/s ({ref:.3f} s)")
            print(f"digest ratio (fileDigest time / sha256sum time): {ours / ref:.2f}")

            pki = Pki(work / "pki")
            ca = embedded_ca()
            inter = pki.issue(ca, "Bench Intermediate", "ca")
            signer = pki.issue(inter, "Bench Signer")
            payload = work / "payload.bin"
            make_file(payload, package_mib)
            package = work / "package.z"
            sign_package(payload, signer, [inter], out=package)
            out = work / "content.bin"

            def wine_verify():
                rc = prefix.run(VERIFY_PROBE, to_windows_path(package), to_windows_path(out), timeout=600)
                assert rc == 0, "verify probe failed"
                return float(read_pairs(str(out) + ".info")["seconds"])

            ours = best_of(3, wine_verify)
            ref_out = work / "openssl-content.bin"
            ref = best_of(3, lambda: _openssl_verify(package, ca, ref_out))
            assert out.read_bytes() == payload.read_bytes() == ref_out.read_bytes()
            print(f"verifySignedMessage {package_mib} MiB package: {ours:.3f} s")
            print(f"openssl cms -verify {package_mib} MiB package: {ref:.3f} s")
            print(f"verify ratio (verifySignedMessage time / openssl time): {ours / ref:.2f}")
    finally:
        subprocess.run(["rm", "-rf", str(work)])


def _openssl_verify(package, ca, out):
    start = time.perf_counter()
    openssl_verify_package(package, ca, out)
    return time.perf_counter() - start


if __name__ == "__main__":
    main()
