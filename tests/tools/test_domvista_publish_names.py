"""tools/domvista-publish refuses, with the reason, every release entry the updater would skip,
by the table of names that the updater's path policy tests read too; a name that is not valid
UTF-8 gets a clear error, and an empty folder is listed as <file dist="x/"/>."""
import os
import pathlib
import subprocess
import xml.etree.ElementTree as ET

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
TOOL = ROOT / "tools" / "domvista-publish"
TABLE = ROOT / "tests" / "data" / "release-names.tsv"


def table():
    rows = []
    for line in TABLE.read_text(encoding="utf-8").split("\n"):
        if line and not line.startswith("#"):
            dist, verdict = line.split("\t")
            assert verdict in ("take", "skip", "skip-windows"), line
            rows.append(pytest.param(dist, verdict != "take", id=dist))  # the publisher publishes for Windows
    assert len(rows) >= 20
    return rows


def publish(folder, out, *extra):
    return subprocess.run([str(TOOL), "--folder", str(folder), "--base-url", "http://u/2", "--version", "2",
                           "--out", str(out), *extra], capture_output=True)


@pytest.mark.parametrize("dist,skipped", table())
def test_the_publisher_refuses_what_the_updater_skips(tmp_path, dist, skipped):
    release = tmp_path / "release"
    (release / dist).parent.mkdir(parents=True, exist_ok=True)
    (release / dist).write_bytes(b"x")
    (release / "kept.dll").write_bytes(b"k")
    result = publish(release, tmp_path / "list.xml")
    err = result.stderr.decode("utf-8")
    assert "Traceback" not in err
    if skipped:
        assert result.returncode != 0 and f"  {dist}: " in err, err
        assert not (tmp_path / "list.xml").exists()
    else:
        assert result.returncode == 0, err
        dists = [e.get("dist") for e in ET.parse(tmp_path / "list.xml").getroot()]
        assert dist in dists


@pytest.mark.parametrize("dist,skipped", table())
def test_a_removal_follows_the_same_rule(tmp_path, dist, skipped):
    (tmp_path / "release").mkdir()
    result = publish(tmp_path / "release", tmp_path / "list.xml", "--remove", dist)
    assert (result.returncode != 0) == skipped, result.stderr
    assert "Traceback" not in result.stderr.decode("utf-8")


def test_a_name_that_is_not_utf8_gets_a_clear_error(tmp_path):
    release = tmp_path / "release"
    release.mkdir()
    (release / "ok.dll").write_bytes(b"k")
    with open(os.path.join(os.fsencode(release), b"caf\xe9.txt"), "wb") as f:
        f.write(b"x")
    result = publish(release, tmp_path / "list.xml")
    err = result.stderr.decode("utf-8")
    assert result.returncode != 0 and "Traceback" not in err
    assert "b'caf\\xe9.txt': the name is not valid UTF-8" in err, err


def test_empty_folders_are_listed_as_folder_entries(tmp_path):
    release = tmp_path / "release"
    (release / "plugins" / "empty").mkdir(parents=True)
    (release / "logs").mkdir()
    (release / "plugins" / "a.dll").write_bytes(b"a")
    result = publish(release, tmp_path / "list.xml")
    assert result.returncode == 0, result.stderr
    entries = {e.get("dist"): e.attrib for e in ET.parse(tmp_path / "list.xml").getroot()}
    assert entries["plugins/empty/"] == {"dist": "plugins/empty/"}
    assert entries["logs/"] == {"dist": "logs/"}
    assert "plugins/" not in entries  # a folder with files comes with them
    assert set(entries) == {"plugins/empty/", "logs/", "plugins/a.dll"}
