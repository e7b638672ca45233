"""`make demo` keeps working: tools/demo runs start to end and ends with the player updated,
from the published site served by nginx."""
import os
import re
import socket
import subprocess
import sys

from service_log import code
from update_fixtures import require_environment
from winetools import ROOT


def test_demo_updates_the_player_and_then_finds_it_up_to_date(tmp_path):
    require_environment()
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
    assert str(code("ActiveXInstallerStarted")) in first and "ActiveX Version  11.2.202.235" in first
    assert str(code("InstallerStarted")) not in second and str(code("UpdateCycleEnds")) in second
    assert re.search(r"LastUpdateCheck  \d{17,} \(", second.split("after the second start")[1])
    assert "went from 11.2.202.228 to 11.2.202.235" in text
    served = text.split("What nginx answered")[1].split("=== Result")[0]
    assert "GET /pub/vextraplayer/update/current/sau/11/xml/version.xml HTTP/1.1 200" in served
    assert re.search(r"GET /pub/\S+/install/patch/\S+/patch_all_win_ax_sgn\.z HTTP/1\.1 200", served)


def test_a_failing_step_ends_in_one_line_naming_it_and_its_log(tmp_path):
    """Port 443 is taken (bound, not listening) inside the test's namespace, so nginx cannot
    start: the demo ends with one line naming that step and the log with the details, and no
    traceback reaches the reader. Asked as a machine that refuses 32-bit programs, its first
    line says that the x86_64 twin is used."""
    require_environment()
    work = tmp_path / "work"
    taken = socket.socket()
    taken.bind(("127.0.0.1", 443))
    env = {k: v for k, v in os.environ.items() if k != "VEXTRA_E2E_ARCH"}
    env.update(VEXTRA_IN_NETNS="1", VEXTRA_DEMO_WORK=str(work), VEXTRA_NO_32BIT="1")
    try:
        result = subprocess.run([sys.executable, str(ROOT / "tools" / "demo")], capture_output=True,
                                text=True, stdin=subprocess.DEVNULL, env=env, timeout=600)
    finally:
        taken.close()
    text = result.stdout + result.stderr
    assert result.returncode == 1, text
    assert text.splitlines()[0].startswith("demo: this machine cannot run the shipped 32-bit program"), text
    assert "the demo runs its x86_64 twin" in text.splitlines()[0]
    assert "Traceback" not in text
    last = text.strip().splitlines()[-1]
    assert last.startswith('demo: the step "Serving the site with nginx" failed: RuntimeError: nginx did not start'), last
    assert last.endswith(f"(log: {work / 'demo-error.log'})"), last
    assert "Traceback" in (work / "demo-error.log").read_text()
