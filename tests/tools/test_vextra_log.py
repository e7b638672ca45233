"""tools/vextra-log: every line of a service log decoded (local and UTC time, level, code, name,
detail, meaning), and the --since and --level filters."""
import datetime
import os
import subprocess
from pathlib import Path

import pytest

TOOL = Path(__file__).resolve().parents[2] / "tools" / "vextra-log"


def stamp(t):
    return f"{t.year}-{t.month}-{t.day}+{t.hour}-{t.minute}-{t.second}.{t.microsecond // 1000}"


NOW = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=7000)
LINES = [
    "2026-3-7+9-5-2.45 [info] 1608",
    "2026-3-7+9-5-3.100 [warning] 1150 -2146893816",
    "not a log line",
    "2026-3-7+23-59-59.999 [error] 1200",
    f"{stamp(NOW)} [info] C:\\windows\\VextraPlayerUpdateService.exe",
]


@pytest.fixture(scope="module")
def log(tmp_path_factory):
    path = tmp_path_factory.mktemp("log") / "VextraInstall.log"
    path.write_bytes("".join(line + "\r\n" for line in LINES).encode("utf-16-le"))
    return path


def run(log, *args):
    out = subprocess.run(["/usr/bin/python3", str(TOOL), *args, str(log)], stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, text=True, env=dict(os.environ, TZ="UTC-2"))
    assert out.returncode == 0, out.stdout
    return out.stdout.splitlines()


def test_each_line_decoded(log):
    assert run(log)[:4] == [
        "2026-03-07 11:05:02.045 +0200  2026-03-07 09:05:02.045 UTC  info     1608 "
        "UpdateCycleStarts  -- update cycle starts",
        "2026-03-07 11:05:03.100 +0200  2026-03-07 09:05:03.100 UTC  warning  1150 "
        "DigestHashDataFailed  -2146893816  -- file digest: hashing data failed",
        "?? not a log line",
        "2026-03-08 01:59:59.999 +0200  2026-03-07 23:59:59.999 UTC  error    1200 "
        "DownloadUnknownComponent  -- the offer names no known component",
    ]
    assert run(log)[4].endswith(r"info        - -  C:\windows\VextraPlayerUpdateService.exe"
                                "  -- program path of this run")


@pytest.mark.parametrize("args, codes", [
    (["--level", "warning"], ["1150", "1200"]),
    (["--level", "error"], ["1200"]),
    (["--since", "2026-03-07T11:05:03"], ["1150", "1200", "-"]),          # local time
    (["--since", "2026-03-07T23:00Z"], ["1200", "-"]),
    (["--since", "2026-03-08T01:00+02:00", "--level", "warning"], ["1200"]),
    (["--since", "1h"], ["-"]),
])
def test_filters(log, args, codes):
    assert [line.split()[7] for line in run(log, *args)] == codes
