"""tools/domvista-publish --previous: which files get deltas, and that each delta turns the older
file into the new one with the zstd command."""
import hashlib
import os
import pathlib
import subprocess
import xml.etree.ElementTree as ET

import pytest

TOOL = pathlib.Path(__file__).resolve().parents[2] / "tools" / "domvista-publish"
pytestmark = pytest.mark.skipif(subprocess.run(["which", "zstd"], capture_output=True).returncode != 0,
                                reason="no zstd command here (make deps installs it)")


def sha(data):
    return hashlib.sha256(data).hexdigest()


def program_bytes(seed, size=300_000):
    """Bytes shaped like a program file: repeated structure with some noise."""
    rnd = __import__("random").Random(seed)
    out = bytearray()
    while len(out) < size:
        out += b"function_%06d:" % rnd.randrange(5000) + bytes(rnd.randrange(256) for _ in range(12)) + b"\x90" * 20
    return bytes(out[:size])


def publish(tmp, previous, extra=()):
    out = tmp / "list.xml"
    cmd = [str(TOOL), "--folder", str(tmp / "new"), "--base-url", "http://u/2", "--version", "2",
           "--out", str(out)]
    for p in previous:
        cmd += ["--previous", str(tmp / p)]
    cmd += ["--deltas", str(tmp / "deltas"), "--delta-base-url", "http://u/2-deltas", *extra]
    result = subprocess.run(cmd, capture_output=True, text=True)
    return result, (ET.parse(out).getroot() if result.returncode == 0 else None)


def write(folder, rel, data):
    path = folder / rel
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)


@pytest.fixture
def releases(tmp_path):
    old_program = program_bytes(1)
    new_program = bytearray(old_program)
    new_program[1000:1010] = b"CHANGED..."
    new_program[200_000:200_000] = b"inserted code" * 10
    for name, program in (("old", old_program), ("new", bytes(new_program))):
        write(tmp_path / name, "bin/app.exe", program)
        write(tmp_path / name, "readme.txt", b"the same in both\n")
    write(tmp_path / "old", "data/noise.bin", os.urandom(50_000))
    write(tmp_path / "new", "data/noise.bin", os.urandom(50_000))  # unrelated: a delta saves nothing
    write(tmp_path / "new", "new-only.dll", program_bytes(3, 20_000))
    return tmp_path


def entries(root):
    return {f.get("dist"): f for f in root.findall("file")}


def test_a_changed_file_gets_a_delta_that_rebuilds_it(releases):
    result, root = publish(releases, ["old"])
    assert result.returncode == 0, result.stderr
    files = entries(root)
    (delta,) = files["bin/app.exe"].findall("delta")
    old = (releases / "old/bin/app.exe").read_bytes()
    new = (releases / "new/bin/app.exe").read_bytes()
    assert delta.get("from") == sha(old)
    name = delta.get("url").removeprefix("http://u/2-deltas/")
    frame = (releases / "deltas" / name).read_bytes()
    assert delta.get("sha256") == sha(frame) and int(delta.get("size")) == len(frame)
    assert len(frame) * 10 < len(new)
    rebuilt = subprocess.run(["zstd", "-q", "-d", "-c", f"--patch-from={releases / 'old/bin/app.exe'}",
                              str(releases / "deltas" / name)], capture_output=True, check=True).stdout
    assert rebuilt == new
    # The file entry itself is unchanged by its delta: the updater falls back to it.
    assert files["bin/app.exe"].get("sha256") == sha(new)


@pytest.mark.parametrize("dist,why", [
    ("readme.txt", "unchanged: the updater has it already"),
    ("data/noise.bin", "a delta not smaller than the file is dropped"),
    ("new-only.dll", "no older file at that place"),
])
def test_no_delta(releases, dist, why):
    result, root = publish(releases, ["old"])
    assert result.returncode == 0, result.stderr
    assert entries(root)[dist].findall("delta") == [], why
    assert not list((releases / "deltas").rglob(pathlib.Path(dist).name + ".from-*"))


def test_one_delta_per_distinct_older_file(releases):
    (releases / "older").mkdir()
    write(releases / "older", "bin/app.exe", (releases / "old/bin/app.exe").read_bytes())  # same as old
    write(releases / "oldest", "bin/app.exe", program_bytes(1)[:250_000])
    result, root = publish(releases, ["old", "older", "oldest"])
    assert result.returncode == 0, result.stderr
    froms = [d.get("from") for d in entries(root)["bin/app.exe"].findall("delta")]
    assert len(froms) == len(set(froms)) == 2


def test_a_file_above_the_updaters_window_is_published_whole(releases):
    big = (1 << 26) + 1
    with open(releases / "old/big.bin", "wb") as f:
        f.truncate(big)
    with open(releases / "new/big.bin", "wb") as f:
        f.truncate(big)
        f.seek(5)
        f.write(b"x")
    result, root = publish(releases, ["old"])
    assert result.returncode == 0, result.stderr
    assert entries(root)["big.bin"].findall("delta") == []


@pytest.mark.parametrize("args,message", [
    (["--previous", "old"], "--previous needs --deltas"),
    (["--previous", "missing", "--deltas", "d", "--delta-base-url", "http://x"], "is not a folder"),
    (["--previous", "old", "--deltas", "new/d", "--delta-base-url", "http://x"], "outside the release"),
])
def test_refused_options(releases, args, message):
    cmd = [str(TOOL), "--folder", "new", "--base-url", "http://u/2", "--version", "2", "--out", "l.xml", *args]
    result = subprocess.run(cmd, capture_output=True, text=True, cwd=releases)
    assert result.returncode != 0 and message in result.stderr
