"""File digests from CryptoHelper::fileDigest under Wine compared with sha256sum."""
import os
import subprocess
from pathlib import Path

import pytest

from service_log import code
from verification_fixtures import DIGEST_PROBE, read_pairs
from winetools import WinePrefix, to_windows_path


@pytest.fixture(scope="module")
def prefix():
    with WinePrefix() as pre:
        yield pre


def sha256sum(path):
    out = subprocess.run(["sha256sum", str(path)], check=True, stdout=subprocess.PIPE).stdout
    return out.decode().split()[0]


def digest(prefix, tmp_path, path):
    result = tmp_path / (path.name + ".result")
    rc = prefix.run(DIGEST_PROBE, to_windows_path(path), to_windows_path(result))
    return rc, read_pairs(result)


def test_small_and_odd_sized_files_match_sha256sum(prefix, tmp_path):
    files = []
    for size in (1, 3, 63, 64, 1023, 1024, 1025, 4097, 65537, 1234567):
        path = tmp_path / f"f{size}.bin"
        path.write_bytes(os.urandom(size))
        files.append(path)
    for path in files:
        rc, res = digest(prefix, tmp_path, path)
        assert rc == 0, path.name
        assert res["digest"] == sha256sum(path), path.name
        assert res["code"] == "0"


def test_large_file_matches_sha256sum(prefix, tmp_path):
    path = tmp_path / "large.bin"
    block = os.urandom(1 << 20)
    with open(path, "wb") as fh:
        for i in range(100):
            fh.write(block[i:] + block[:i])
        fh.write(b"tail!")  # 100 MiB and five bytes
    assert path.stat().st_size >= 100 * 1024 * 1024
    rc, res = digest(prefix, tmp_path, path)
    assert rc == 0
    assert res["digest"] == sha256sum(path)


def test_empty_file_and_missing_file_give_their_codes(prefix, tmp_path):
    empty = tmp_path / "empty.bin"
    empty.write_bytes(b"")
    rc, res = digest(prefix, tmp_path, empty)
    assert rc == 1 and res["code"] == str(code("DigestEmptyFile")) and res["digest"] == ""
    rc, res = digest(prefix, tmp_path, tmp_path / "missing.bin")
    assert rc == 1 and res["code"] == str(code("DigestOpenFailed")) and res["lastError"] == "2"


def test_a_failed_or_short_read_is_a_failure_not_the_digest_of_a_prefix(prefix, tmp_path):
    # Linux attribute files give a fixed size of 4096 bytes: this one reads 4 bytes and ends
    # (a file that is shorter than its size), that one fails its first read (EINVAL, which
    # Wine passes on as ERROR_INVALID_PARAMETER).
    short, failing = Path("/sys/devices/system/cpu/online"), Path("/sys/class/net/lo/speed")
    for path, last_error in ((short, "38"), (failing, "87")):  # ERROR_HANDLE_EOF, as passed on
        if not path.exists() or path.stat().st_size != 4096:
            pytest.skip(f"{path} is not the fixed-size attribute file this test needs")
        rc, res = digest(prefix, tmp_path, path)
        assert rc == 1 and res["ok"] == "0", path
        assert res["code"] == str(code("DigestReadFailed")) and res["digest"] == "", path
        assert res["lastError"] == last_error, path
