"""`make demo` keeps working: tools/demo runs start to end and ends with the player updated,
from the published site served by nginx, and then with the Domvista stand-in updated by the
desktop updater from the same site, its dialog taken in the middle of a download."""
import os
import re
import socket
import struct
import subprocess
import sys

import pytest
from service_log import code
from update_fixtures import require_environment
from winetools import ROOT


def section(text, title):
    """The lines under the demo heading `title`, up to the next heading."""
    return text.split(f"=== {title} ", 1)[1].split("\n===", 1)[0]


def test_demo_updates_the_player_and_then_finds_it_up_to_date(demo_run):
    text, _ = demo_run
    start1 = text.index("Start 1:")
    start2 = text.index("Start 2:")
    first, second = text[start1:start2], text[start2:text.index("=== What nginx answered")]
    assert "command line  VextraPlayerInstaller.exe -install -iv 11" in first
    assert r"file          C:\windows\VextraPlayerInstaller.exe" in first
    assert str(code("ActiveXInstallerStarted")) in first and "ActiveX Version  11.2.202.235" in first
    assert str(code("InstallerStarted")) not in second and str(code("UpdateCycleEnds")) in second
    assert re.search(r"LastUpdateCheck  \d{17,} \(", second.split("after the second start")[1])
    assert "went from 11.2.202.228 to 11.2.202.235" in text
    served = section(text, "What nginx answered")
    assert "GET /pub/vextraplayer/update/current/sau/11/xml/version.xml HTTP/1.1 200" in served
    assert re.search(r"GET /pub/\S+/install/patch/\S+/patch_all_win_ax_sgn\.z HTTP/1\.1 200", served)
    assert "/domvista/" not in served  # the desktop updater's requests come in its own account


@pytest.fixture(scope="module")
def demo_run(tmp_path_factory):
    """One run of the whole demo, shared by the checks of its two accounts: (output, work folder)."""
    require_environment()
    tmp_path = tmp_path_factory.mktemp("demo")
    out = tmp_path / "demo.txt"
    with open(out, "w") as fh:
        rc = subprocess.run([sys.executable, str(ROOT / "tools" / "demo")], stdout=fh,
                            stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                            env=dict(os.environ, VEXTRA_IN_NETNS="1",
                                     VEXTRA_DEMO_WORK=str(tmp_path / "work")),
                            timeout=600).returncode
    text = out.read_text()
    assert rc == 0, text
    return text, tmp_path / "work"


def test_demo_updates_the_domvista_stand_in_with_the_desktop_updater(demo_run):
    text, work = demo_run
    desktop = text[text.index("=== Domvista 2.0"):]
    # The updater's folder as the account names it: below the work folder, or in the drive C: of
    # the Wine prefix there when the Windows program ran.
    folder = ROOT / re.search(r"^    (\S+/Domvista):$", desktop, re.M).group(1)
    assert work in folder.parents and (folder / "started.log").exists(), folder
    # One line names the desktop program used.
    used = [line for line in desktop.splitlines() if "desktop updater used:" in line]
    assert len(used) == 1, desktop
    assert re.search(r"used: build/(native/desktop-updater, the native Linux build|"
                     r"win(32|64)-desktop/desktop-updater\.exe, the Windows program under)", used[0]), used[0]

    check = section(text, "The check and its answer")
    assert re.search(r"GET /domvista/update HTTP/1\.1\n\s+answer 200, Domvista-Version: 2\.1, \d+ bytes", check), check
    assert "installed version 2.0 (config.ini), offered 2.1: an update" in check

    served = section(text, "What nginx served the desktop updater")
    requested = re.findall(r"GET (\S+) HTTP/1\.1 200", served)
    assert requested == ["/domvista/update", "/domvista/2.1/Domvista.Core.dll",
                         "/domvista/2.1/plugins/charts/Domvista.Charts.dll"], served

    files = section(text, "Files changed, removed and left alone")
    rows = {tuple(re.split(r"\s{2,}", line.strip(), maxsplit=1)) for line in files.strip().splitlines()}
    for kind, name, note in [
        ("changed", "Domvista.Core.dll", "downloaded"),
        ("new", "plugins/charts/Domvista.Charts.dll", "downloaded"),
        ("new", "Application/Updates/applied-version", "the updater's record"),
        ("removed", "Domvista.Legacy.dll", ""),
        ("left alone", "Domvista.Branding.pak", "listed with the same SHA-256, never requested"),
        ("left alone", "domvista.exe", ""),
        ("left alone", "Application/Config/config.ini", ""),
    ]:
        assert any(r[0] == kind and r[1].startswith(name) and note in r[1] for r in rows), (kind, name, files)
    # What the account says is what the folder holds.
    assert not (folder / "Domvista.Legacy.dll").exists()
    assert (folder / "Domvista.Core.dll").stat().st_size == 384 * 1024
    assert (folder / "plugins/charts/Domvista.Charts.dll").read_bytes().startswith(b"Domvista charts plug-in")
    assert (folder / "Application/Updates/applied-version").read_text().strip() == "2.1"

    stand_in = section(text, "The stand-in ended and started again")
    pids = re.search(r"its start log, started\.log: (\d+), (\d+)\n", stand_in)
    assert pids and pids.group(1) != pids.group(2), stand_in
    assert (folder / "started.log").read_text().split() == [pids.group(1), pids.group(2)]
    order = [re.sub(r"^\s*-?[\d.]+ s  ", "", line) for line in stand_in.splitlines() if re.match(r"^\s*-?[\d.]+ s  ", line)]
    ended = next(i for i, e in enumerate(order) if e.startswith(f"the stand-in, process {pids.group(1)}, has ended"))
    restarted = next(i for i, e in enumerate(order) if e.startswith(f"the stand-in has started again: process {pids.group(2)}"))
    check_answered = next(i for i, e in enumerate(order) if e.startswith("GET /domvista/update answered"))
    last_download = max(i for i, e in enumerate(order) if e.startswith("GET /domvista/2.1/") and " answered " in e)
    # The application is ended only after the answer said that an update is due, and started
    # again once every file has arrived; the downloads may come before or after its end.
    assert check_answered < ended < restarted and last_download < restarted, order

    log = section(text, "The updater's log")
    assert 'installed version "2.1"' in log

    # The dialog, taken in the middle of the slow download, is a PNG of the dialog's size.
    shot = work / "desktop-updater.png"
    data = shot.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    width, height = struct.unpack(">II", data[16:24])
    assert 400 <= width <= 640 and 150 <= height <= 400, (width, height)
    staged = re.search(r"with (\d+) of (\d+) bytes\n\s+of Domvista\.Core\.dll staged \((\d+) %\)", desktop)
    assert staged and 10 <= int(staged.group(3)) <= 90, desktop
    assert "Domvista went from 2.0 to 2.1" in section(text, "Desktop result")


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
