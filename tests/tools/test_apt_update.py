"""tools/apt-update against a stand-in apt-get that fails the way a mirror in mid-sync does:
retried with a pause, then going on only when the lists apt has supply what is needed, and
otherwise naming the failing index and saying that a later retry may pass."""
import os
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
MIRROR_ERROR = ("E: Failed to fetch http://mirror.test/debian-security/dists/bookworm-security/main/"
                "binary-i386/Packages.xz  File has unexpected size (374820 != 376004). "
                "Mirror sync in progress? [IP: 127.0.0.1 80]")

STAND_IN = """#!/bin/sh
# apt-get / apt-cache stand-in: `update` fails the first $FAIL_UPDATES calls; `install -s`
# succeeds when $INSTALLABLE=1; `showsrc` prints a record when $HAVE_SOURCE=1.
calls="$STATE/update-calls"
case "$(basename "$0") $1" in
  "apt-get update")
    n=$(($(cat "$calls" 2>/dev/null || echo 0) + 1)); echo $n >"$calls"
    if [ "$n" -le "$FAIL_UPDATES" ]; then echo "$MIRROR_ERROR"; exit 100; fi
    exit 0 ;;
  "apt-get install") [ "$INSTALLABLE" = 1 ] ;;
  "apt-cache showsrc") [ "$HAVE_SOURCE" = 1 ] && echo "Package: $2" ; exit 0 ;;
  *) exit 3 ;;
esac
"""


def run(tmp_path, *args, fail_updates, installable=0, have_source=0, stamp=None):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir(exist_ok=True)
    for name in ("apt-get", "apt-cache"):
        (bin_dir / name).write_text(STAND_IN)
        (bin_dir / name).chmod(0o755)
    env = dict(os.environ, PATH=f"{bin_dir}:{os.environ['PATH']}", STATE=str(tmp_path),
               FAIL_UPDATES=str(fail_updates), INSTALLABLE=str(installable),
               HAVE_SOURCE=str(have_source), MIRROR_ERROR=MIRROR_ERROR,
               VEXTRA_APT_TRIES="3", VEXTRA_APT_PAUSE="0",
               VEXTRA_APT_FAILED_STAMP=str(stamp or tmp_path / "update-failed"))
    if os.geteuid() != 0:
        pytest.skip("tools/apt-update calls apt-get through sudo when not root")
    result = subprocess.run([str(ROOT / "tools" / "apt-update"), *args], env=env, capture_output=True,
                            text=True, stdin=subprocess.DEVNULL, timeout=60)
    calls_file = tmp_path / "update-calls"
    calls = int(calls_file.read_text()) if calls_file.exists() else 0
    return result.returncode, result.stderr, calls


@pytest.mark.parametrize("fail_updates, args, installable, have_source, rc, calls, says", [
    (0, ["wine64"], 0, 0, 0, 1, None),
    (2, ["wine64"], 0, 0, 0, 3, "try 2 of 3"),                       # passes on the third try
    (9, ["wine64"], 1, 0, 0, 3, "supply what is needed; going on"),  # the lists it has suffice
    (9, ["wine64"], 0, 0, 1, 3, "run 'make deps' again"),            # they do not
    (9, [], 1, 0, 1, 3, "run 'make deps' again"),                    # nothing named: nothing to judge by
    (9, ["--source", "openssl"], 0, 1, 0, 3, "going on"),
    (9, ["--source", "openssl"], 1, 0, 1, 3, "run 'make deps' again"),
], ids=["passes", "transient", "lists-suffice", "lists-lack", "nothing-named", "source-known",
        "source-unknown"])
def test_update_is_retried_then_judged_by_what_is_needed(tmp_path, fail_updates, args, installable,
                                                        have_source, rc, calls, says):
    got_rc, err, got_calls = run(tmp_path, *args, fail_updates=fail_updates, installable=installable,
                                 have_source=have_source)
    assert (got_rc, got_calls) == (rc, calls), err
    if says:
        assert says in err, err
    if rc:
        assert ("deps: the index that failed: http://mirror.test/debian-security/dists/bookworm-security/"
                "main/binary-i386/Packages.xz") in err.splitlines(), err


@pytest.mark.parametrize("stamp_age_min, installable, calls, says", [
    (5, 1, 0, "using the lists from that try"),     # remembered, and its lists suffice: no tries
    (5, 0, 3, "run 'make deps' again"),             # remembered, but they lack what is needed
    (61, 1, 3, "supply what is needed; going on"),  # an hour old: tried again
], ids=["remembered", "remembered-but-lacking", "expired"])
def test_a_failed_refresh_is_remembered_for_an_hour(tmp_path, stamp_age_min, installable, calls, says):
    stamp = tmp_path / "update-failed"
    stamp.write_text(MIRROR_ERROR + "\n")
    old = __import__("time").time() - stamp_age_min * 60
    os.utime(stamp, (old, old))
    rc, err, got_calls = run(tmp_path, "wine64", fail_updates=9, installable=installable, stamp=stamp)
    assert got_calls == calls, err
    assert says in err, err
    assert len([line for line in err.splitlines() if "using the lists" in line]) == (calls == 0)


def test_a_failed_refresh_leaves_the_memory_and_a_good_one_clears_it(tmp_path):
    stamp = tmp_path / "update-failed"
    run(tmp_path, "wine64", fail_updates=9, installable=0, stamp=stamp)
    assert "Mirror sync in progress" in stamp.read_text()
    (tmp_path / "update-calls").unlink()
    old = __import__("time").time() - 61 * 60
    os.utime(stamp, (old, old))
    rc, err, calls = run(tmp_path, "wine64", fail_updates=0, stamp=stamp)
    assert (rc, calls) == (0, 1), err
    assert not stamp.exists()
