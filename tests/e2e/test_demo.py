"""`make demo` keeps working: tools/demo runs start to end and ends with the player updated."""
import os
import re
import subprocess
import sys

import pytest

from servers import in_private_namespace
from winetools import ROOT, SERVICE_EXE, TEMPLATE


def test_demo_updates_the_player_and_then_finds_it_up_to_date(tmp_path):
    if not in_private_namespace():
        pytest.skip("needs the private network namespace (run through tests/harness/in-netns)")
    if not SERVICE_EXE.exists() or not (TEMPLATE / ".ready").exists():
        pytest.skip("needs `make build prefix`")
    out = tmp_path / "demo.txt"
    with open(out, "w") as fh:
        rc = subprocess.run([sys.executable, str(ROOT / "tools" / "demo")], stdout=fh,
                            stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                            env=dict(os.environ, VEXTRA_IN_NETNS="1",
                                     VEXTRA_DEMO_WORK=str(tmp_path / "work")),
                            timeout=600).returncode
    text = out.read_text()
    assert rc == 0, text
    start1 = text.index("Start 1:")
    start2 = text.index("Start 2:")
    first, second = text[start1:start2], text[start2:]
    assert "command line  VextraPlayerInstaller.exe -install -iv 11" in first
    assert r"file          C:\windows\VextraPlayerInstaller.exe" in first
    assert "1609" in first and "ActiveX Version  11.2.202.235" in first
    assert "1602" not in second and "1612" in second
    assert re.search(r"LastUpdateCheck  \d{17,} \(", second.split("after the second start")[1])
    assert "went from 11.2.202.228 to 11.2.202.235" in text
