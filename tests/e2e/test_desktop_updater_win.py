"""End-to-end runs of the Windows desktop-updater.exe (static Qt) under Wine: the shipped i686
program under WoW64, or with VEXTRA_E2E_ARCH=win64 its x86_64 twin under wine64 (the same sources;
what a machine that refuses 32-bit programs tests). The Domvista folder inside a throwaway prefix's drive C:, the Windows stand-in for domvista.exe
started through Wine, and the update server on loopback. A representative subset of
test_desktop_updater.py (which runs the native build): one full update, the single-instance
hand-over, and signed lists with the static libcrypto; plus what only Windows does (a file
held open by another process, links seen as reparse points, the per-user pipe name)."""
import os
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "harness"))
from test_desktop_updater import (CUT_SERVERS, CrashRelease, check_resumed, cut_and_resume,  # noqa: E402,F401
                                  delta_release, offer, run_delta_update, server)  # (server: the loopback fixture)
from desktop_release import publish  # noqa: E402
from winetools import BITS, TEMPLATE, WinePrefix, no_32bit_reason, wine_loader  # noqa: E402

if BITS == 32:
    BUILD = Path(os.environ.get("VEXTRA_BUILD_WIN32_DESKTOP", ROOT / "build" / "win32-desktop"))
else:
    BUILD = Path(os.environ.get("VEXTRA_BUILD_WIN64_DESKTOP", ROOT / "build" / "win64-desktop"))
UPDATER = BUILD / "desktop-updater.exe"
KEYED_UPDATER = BUILD / "tests" / "updater" / "desktop-updater-keyed.exe"
HOOKS_UPDATER = BUILD / "tests" / "updater" / "desktop-updater-hooks.exe"
SIGNING_KEY = BUILD / "tests" / "updater" / "list-signing-key.pem"
FAKE_APP = BUILD / "tests" / "updater" / "fake-domvista.exe"

pytestmark = [
    pytest.mark.skipif(BITS == 32 and no_32bit_reason() is not None,
                       reason=f"{no_32bit_reason()} (VEXTRA_E2E_ARCH=win64 runs the x86_64 twin)"),
    pytest.mark.skipif(not UPDATER.exists() or not FAKE_APP.exists() or not (TEMPLATE / ".ready").exists(),
                       reason=f"Windows desktop build in {BUILD} or template prefix missing (make build prefix)"),
]


def wine_processes(prefix, exe_name):
    """Unix ids of the Wine processes of `prefix` whose program is `exe_name`: each Windows
    process is one Unix process whose command line starts with its program's path, a Windows
    one, or the Unix one that a test started it by."""
    found = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            argv0 = (entry / "cmdline").read_bytes().split(b"\0")[0].decode("utf-8", "replace").strip('"')
            environ = (entry / "environ").read_bytes()
            state = (entry / "stat").read_text().rsplit(")", 1)[1].split()[0]
        except OSError:
            continue
        if state not in ("Z", "X") and argv0.lower().replace("\\", "/").endswith("/" + exe_name.lower()) and \
                f"WINEPREFIX={prefix}".encode() in environ.split(b"\0"):
            found.append(int(entry.name))
    return found


class WineDomvista:
    """C:\\Domvista in a private prefix: the updater, the stand-in application, config.ini."""

    def __init__(self, root, server, updater=UPDATER):
        self.server = server
        (root / "wine").mkdir()
        self.wine = WinePrefix(root / "wine", bits=BITS)
        self.dir = self.wine.drive_c / "Domvista"
        (self.dir / "Application" / "Config").mkdir(parents=True)
        (self.dir / "desktop-updater.exe").write_bytes(updater.read_bytes())
        (self.dir / "domvista.exe").write_bytes(FAKE_APP.read_bytes())
        self.env = dict(self.wine.env, QT_QPA_PLATFORM="offscreen")
        self.root = root
        self.apps = []

    def config(self, version):
        (self.dir / "Application" / "Config" / "config.ini").write_text(
            f"[%General]\nupdate={self.server.url('/check')}\nversion={version}\n")

    def start(self, exe, *args, env=None):
        """Starts a Windows program of the folder through Wine, as the user's session would."""
        out = open(self.root / f"{exe}-{len(self.apps)}.out", "wb")
        proc = subprocess.Popen([wine_loader(self.dir / exe), str(self.dir / exe), *args], env=env or self.env, cwd=self.dir,
                                stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
        self.apps.append(proc)
        return proc

    def started(self):
        log = self.dir / "started.log"
        return log.read_text().split() if log.exists() else []

    def wait_started(self, count, timeout=20):
        end = time.monotonic() + timeout
        while len(self.started()) < count and time.monotonic() < end:
            time.sleep(0.05)
        return self.started()

    def log_text(self):
        log = self.dir / "desktop-updater.log"
        return log.read_text(errors="replace") if log.exists() else ""

    def report(self):
        """What a failed check shows: the updater's log and the end of each start's console."""
        parts = [f"desktop-updater.log:\n{self.log_text()}"]
        for out in sorted(self.root.glob("*.out")):
            parts.append(f"{out.name}:\n{out.read_bytes()[-2000:].decode('utf-8', 'replace')}")
        return "\n".join(parts)

    def run(self, *args, timeout=120):
        proc = self.start("desktop-updater.exe", *args)
        rc = proc.wait(timeout)
        self.log = self.log_text()
        return rc

    def terminate(self, exe, proc, timeout=60):
        """Ends every process of `exe` in the prefix with TerminateProcess (taskkill /F), as
        the task manager or a logoff would: no code of the program runs any more; then waits for
        `proc` (its Wine process) to end. Under a loaded machine Wine's taskkill has been seen to
        return while the process lived on, so it is asked again until the process is gone."""
        said = []
        end = time.monotonic() + timeout
        while True:
            out = self.root / f"taskkill-{len(said)}.out"
            with open(out, "wb") as fh:
                subprocess.run([wine_loader(self.dir / exe), "taskkill", "/F", "/IM", exe], env=self.env,
                               stdin=subprocess.DEVNULL, stdout=fh, stderr=subprocess.STDOUT, timeout=60)
            said.append(out.read_bytes().decode("utf-8", "replace").strip())
            try:
                return proc.wait(10)
            except subprocess.TimeoutExpired:
                if time.monotonic() > end:
                    raise AssertionError(f"{exe} outlived {len(said)} taskkill calls: {said}") from None

    def close(self):
        self.wine.stop()  # ends every Windows process of the prefix
        for proc in self.apps:
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                proc.kill()
        self.wine.close()


@pytest.fixture
def dv(tmp_path, server):
    d = WineDomvista(tmp_path, server)
    yield d
    d.close()


def test_update_under_wine_replaces_removes_and_restarts(dv, server, tmp_path):
    d = dv.dir
    outside = dv.wine.drive_c / "Outside"
    (outside / "cache").mkdir(parents=True)
    (outside / "cache" / "precious.txt").write_text("precious")
    for name, data in {"core.dll": b"old core", "old.dll": b"obsolete", "olddir/sub/x.txt": b"x"}.items():
        (d / name).parent.mkdir(parents=True, exist_ok=True)
        (d / name).write_bytes(data)
    # Windows programs see this Unix link as a reparse point, as they would a junction.
    os.symlink(outside / "cache", d / "olddir" / "cache")
    os.symlink(outside, d / "j")
    fake = FAKE_APP.read_bytes()
    for path, body in {"/core.dll": b"new core", "/nested.dat": b"deep", "/self": b"next updater",
                       "/app": fake, "/j": b"evil"}.items():
        server.route(path, body)
    u = server.url
    offer(server, "1.10", [
        f"<file url='{u('/core.dll')}' dist='core.dll'/>",
        f"<file url='{u('/nested.dat')}' dist='plugins\\a\\nested.dat'/>",
        f"<file url='{u('/self')}' dist='desktop-updater.exe'/>",
        f"<file url='{u('/app')}' dist='domvista.exe'/>",
        f"<file url='{u('/j')}' dist='j/cache/precious.txt'/>",
        "<remove dist='OLD.DLL'/>", "<remove dist='olddir'/>", "<remove dist='CORE.DLL::$DATA'/>",
        "<remove dist='..\\Outside\\cache\\precious.txt'/>",
    ])
    dv.config("1.9")
    app = dv.start("domvista.exe")
    assert len(dv.wait_started(1)) == 1

    assert dv.run("ignored-argument") == 0

    # The application was terminated through the process snapshot and started again from the
    # updater's folder by its full path.
    app.wait(10)
    assert len(dv.wait_started(2)) == 2
    assert len(wine_processes(dv.wine.path, "domvista.exe")) == 1
    assert (d / "core.dll").read_bytes() == b"new core"
    assert (d / "plugins" / "a" / "nested.dat").read_bytes() == b"deep"
    assert (d / "Application" / "Updates" / "desktop-updater.exe").read_bytes() == b"next updater"
    assert (d / "desktop-updater.exe").read_bytes() == UPDATER.read_bytes()
    assert (d / "domvista.exe").read_bytes() == fake
    # Removals: by any letter case; never through a link (the removed folder's backup is dropped
    # without entering the link inside it); never another name of a download.
    assert not (d / "old.dll").exists() and not (d / "olddir").exists()
    assert (outside / "cache" / "precious.txt").read_text() == "precious"
    assert 'download to "j/cache/precious.txt"' in dv.log and "link or junction" in dv.log
    assert 'removal of "CORE.DLL::$DATA"' in dv.log
    leftovers = sorted(p.name for p in d.iterdir())
    # The stand-in closed by itself when asked (WM_CLOSE to its window) and said so in closed.log;
    # where Wine could give it no window, it could not be asked and was ended.
    asked = "could not be asked to close" not in dv.log
    assert ("domvista.exe closed when asked" in dv.log) == asked
    assert leftovers == sorted(["Application", "core.dll", "desktop-updater.exe", "desktop-updater.log",
                                "domvista.exe", "j", "plugins", "started.log"] + (["closed.log"] if asked else []))


@pytest.mark.parametrize("ignores", [False, True], ids=["closes when asked", "ignores the request"])
def test_the_application_is_asked_to_close_and_ended_only_after_the_deadline(tmp_path, server, ignores):
    """Right before the commit the stand-in's window gets WM_CLOSE (Wine 8's Restart Manager
    lists no process, so the updater falls back to it); one still running at the deadline
    (shortened in the test build) is ended with TerminateProcess."""
    if not HOOKS_UPDATER.exists():
        pytest.skip(f"{HOOKS_UPDATER} missing")
    dv = WineDomvista(tmp_path, server, updater=HOOKS_UPDATER)
    try:
        dv.env["DESKTOP_UPDATER_TEST_CLOSE_MS"] = "3000"
        server.route("/a", b"new a")
        (dv.dir / "a.dll").write_bytes(b"old a")
        offer(server, "2.0", [f"<file url='{server.url('/a')}' dist='a.dll'/>"])
        dv.config("1.0")
        app = dv.start("domvista.exe", *(["--ignore-close"] if ignores else []))
        first = dv.wait_started(1)
        assert len(first) == 1
        assert dv.run() == 0
        app.wait(20)
        if "could not be asked to close" in dv.log:
            pytest.skip("the stand-in could not make a window under this Wine, so nothing could be asked to close")
        recorded = {name: (dv.dir / name).read_text().split() if (dv.dir / name).exists() else []
                    for name in ("closed.log", "asked.log")}
        assert "(WM_CLOSE to its windows)" in dv.log  # Wine 8's Restart Manager sees no process
        if ignores:
            assert recorded == {"closed.log": [], "asked.log": first}
            assert "domvista.exe did not close within 3 s of being asked (WM_CLOSE to its windows): it is ended" in dv.log
        else:
            assert recorded == {"closed.log": first, "asked.log": []}
            assert "domvista.exe closed when asked (WM_CLOSE to its windows)" in dv.log
        assert (dv.dir / "a.dll").read_bytes() == b"new a"
        assert len(dv.wait_started(2)) == 2
    finally:
        dv.close()


def short_name(dv, name):
    """The 8.3 short name Wine gives `name` in the Domvista folder, as `dir /x` lists it, or
    None when it shows none."""
    _, out = dv.wine.wine("cmd", "/c", "dir", "/x", "C:\\Domvista")
    for line in out.splitlines():
        parts = line.split()
        if len(parts) >= 2 and parts[-1] == name and "~" in parts[-2]:
            return parts[-2]
    return None


def test_downloads_never_reach_the_settings_or_the_updater_by_another_name(dv, server):
    d = dv.dir
    dv.config("1.0")
    settings = d / "Application" / "Config" / "config.ini"
    before = settings.read_bytes()
    holder = short_name(dv, "Application")
    program = short_name(dv, "desktop-updater.exe")
    if holder is None or program is None:
        pytest.skip("Wine lists no 8.3 short name for Application or desktop-updater.exe in this prefix")
    server.route("/evil", b"[%General]\nupdate=http://127.0.0.1:9/elsewhere\nversion=9.9\n")
    server.route("/ok", b"new ok")
    u = server.url
    spellings = [
        f"{holder}/Config/config.ini",                             # 8.3 short name of what holds it
        f"{holder}\\Config\\new.ini",
        "Application/Config::$INDEX_ALLOCATION/config.ini",         # the folder's index stream
        "Application:$I30:$INDEX_ALLOCATION/Config/config.ini",
        "Application/Config/config.ini::$DATA",                    # the file's main stream
        "application/CONFIG/config.ini",                           # letter case
        "Application./Config/config.ini",                          # a trailing dot
        program, f"{program}::$DATA", "./desktop-updater.exe", "Desktop-Updater.EXE",
    ]
    offer(server, "1.1", [f"<file url='{u('/evil')}' dist='{s}'/>" for s in spellings] +
          [f"<file url='{u('/ok')}' dist='ok.dll'/>"])

    assert dv.run() == 0

    assert settings.read_bytes() == before
    assert sorted(p.name for p in settings.parent.iterdir()) == ["config.ini"]
    assert (d / "desktop-updater.exe").read_bytes() == UPDATER.read_bytes()
    assert (d / "ok.dll").read_bytes() == b"new ok"
    assert "/evil" not in server.paths()
    for s in spellings:
        assert f"skipped download to \"{s.replace(chr(92), chr(92) * 2)}\"" in dv.log, (s, dv.log)
    assert 'installed version "1.1"' in dv.log


def test_file_held_open_is_retried_then_the_update_is_undone(dv, server):
    d = dv.dir
    (d / "core.dll").write_bytes(b"old core")
    (d / "held.dll").write_bytes(b"old held")
    server.route("/core.dll", b"new core")
    server.route("/held.dll", b"new held")
    offer(server, "1.10", [f"<file url='{server.url('/core.dll')}' dist='core.dll'/>",
                           f"<file url='{server.url('/held.dll')}' dist='held.dll'/>"])
    dv.config("1.9")
    # Another program keeps held.dll open without sharing for the whole update.
    (d / "holder.exe").write_bytes(FAKE_APP.read_bytes())
    dv.start("holder.exe", "--hold", "C:\\Domvista\\held.dll")
    assert len(dv.wait_started(1)) == 1

    started = time.monotonic()
    assert dv.run() == 0
    elapsed = time.monotonic() - started

    # Retried for a few seconds, then the whole commit undone: both files old, byte for byte,
    # the log naming the file and the Windows error.
    assert elapsed >= 5
    assert (d / "held.dll").read_bytes() == b"old held"
    assert (d / "core.dll").read_bytes() == b"old core"
    assert "C:\\Domvista\\held.dll to " in dv.log and "Windows error" in dv.log, dv.log
    assert len(wine_processes(dv.wine.path, "holder.exe")) == 1  # only the application was ended
    assert sorted(p.name for p in (d / "Application" / "Updates").iterdir()) == ["updater.lock"]


def test_single_instance_is_per_user_and_hands_over_its_argument(dv, server):
    # Another user's updater would listen on the bare name: that must not stop this one.
    (dv.dir / "other-user.exe").write_bytes(FAKE_APP.read_bytes())
    dv.start("other-user.exe", "--listen", "desktop-updater")
    assert len(dv.wait_started(1)) == 1
    gate = threading.Event()
    server.route("/check", "", headers={"Domvista-Version": "1.0"}, gate=gate)
    dv.config("1.0")
    first = dv.start("desktop-updater.exe")
    try:
        # (A Qt program's first start under Wine took over 30 s once while the disk flushed a
        # quarter gigabyte for another job: the wait is for its request, not a time limit.)
        end = time.monotonic() + 120
        while not server.paths() and time.monotonic() < end:
            time.sleep(0.05)
        assert server.paths() == ["/check"], dv.report()
        # A second start of this user's updater hands its last argument over and exits.
        assert dv.run("first", "--last one", timeout=60) == 0, dv.report()
        assert server.paths() == ["/check"]
    finally:
        gate.set()
    assert first.wait(60) == 0, dv.report()
    assert not (dv.dir / "pipe.log").exists()


@pytest.mark.skipif(not KEYED_UPDATER.exists(), reason="keyed Windows test build missing")
@pytest.mark.parametrize("case", ["genuine", "list changed"])
def test_keyed_windows_build_takes_only_signed_lists(tmp_path, server, case):
    body, signature = publish(tmp_path, server, "2.1", {"core.dll": b"core 2.1"}, SIGNING_KEY)
    if case == "list changed":
        body = body.replace(b"core.dll", b"CORE.dll", 1)
    dv = WineDomvista(tmp_path, server, updater=KEYED_UPDATER)
    try:
        (dv.dir / "core.dll").write_bytes(b"core 2.0")
        server.route("/check", body, headers={"Domvista-Version": "2.1", "Domvista-Signature": signature})
        dv.config("2.0")
        assert dv.run() == 0
        expected = b"core 2.1" if case == "genuine" else b"core 2.0"
        assert (dv.dir / "core.dll").read_bytes() == expected
        if case != "genuine":
            assert "does not match" in dv.log
    finally:
        dv.close()


@pytest.mark.skipif(not KEYED_UPDATER.exists(), reason="keyed Windows test build missing")
@pytest.mark.parametrize("delta", ["served", "damaged"])
def test_a_signed_delta_update_on_windows(tmp_path, server, delta):
    """The Windows program with its static libzstd: the delta decoded against the file in place
    (the real Windows program, changed a little), or the whole file after a damaged delta."""
    release = delta_release(tmp_path, server, FAKE_APP.read_bytes(), SIGNING_KEY, delta)
    delta_path = release[4]
    dv = WineDomvista(tmp_path, server, updater=KEYED_UPDATER)
    try:
        run_delta_update(dv, server, release)
        assert server.paths() == ["/check", delta_path] + ([] if delta == "served" else ["/2.1/bin/core.dll"])
    finally:
        dv.close()


@pytest.mark.skipif(not HOOKS_UPDATER.exists(), reason="Windows test build with pause points missing")
def test_a_terminated_update_leaves_the_old_or_the_new_release(tmp_path, server):
    """The crash test of the native build against the Windows program: the same release, ended
    with TerminateProcess during each download, just before and at every step of the commit;
    the next start (its check fails) finds exactly the old or the new release and starts the
    application, and a start against a good server ends on the new one."""
    release = CrashRelease(server, FAKE_APP.read_bytes())
    for kind, n in release.points:
        case = tmp_path / f"{kind}-{n}"
        case.mkdir()
        dv = WineDomvista(case, server, updater=HOOKS_UPDATER)
        try:
            dv.config("1.0")
            release.lay_out(dv.dir)
            marker = dv.wine.drive_c / "paused"
            env = dict(dv.env)
            if kind == "commit":
                env.update(DESKTOP_UPDATER_TEST_PAUSE=f"commit:{n}", DESKTOP_UPDATER_TEST_PAUSED="C:\\paused")
            stalled = release.serve_killed_run(kind, n)
            dv.start("domvista.exe")
            assert len(dv.wait_started(1)) == 1
            proc = dv.start("desktop-updater.exe", env=env)
            release.wait_for_the_point(kind, n, stalled, marker, proc, timeout=60, settle=0.5)
            dv.terminate("desktop-updater.exe", proc)
            release.check_the_next_starts(kind, n, stalled, dv, lambda: len(wine_processes(dv.wine.path, "domvista.exe")))
        finally:
            dv.close()


@pytest.mark.parametrize("kind", ["honour", "wrong-range"])
def test_a_cut_download_is_continued_on_windows(dv, server, kind):
    """The Windows program keeps the bytes of a download cut at 80 % and asks only for the rest,
    or starts over when the answer is not its exact continuation."""
    answers, held = cut_and_resume(dv, server, kind)
    check_resumed(answers, held, kind, dv.log_text())


def test_a_terminated_download_is_continued_on_windows(dv, server):
    """TerminateProcess while a download runs: the part keeps what arrived, the next run is sent
    only the rest."""
    def kill(part_full):
        proc = dv.start("desktop-updater.exe")
        end = time.monotonic() + 120
        while not part_full() and time.monotonic() < end:
            time.sleep(0.02)
        dv.terminate("desktop-updater.exe", proc)
    answers, held = cut_and_resume(dv, server, "honour", kill=kill)
    check_resumed(answers, held, "honour", dv.log_text())
