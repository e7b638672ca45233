"""End-to-end runs of the real desktop-updater binary: a temporary Domvista folder, a running
stand-in for domvista.exe, and an update server on loopback started by the test."""
import fcntl
import hashlib
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "harness"))
from servers import TinyProxy, http_server  # noqa: E402
from desktop_release import publish, publish_with_deltas  # noqa: E402

BUILD = Path(os.environ.get("VEXTRA_BUILD_NATIVE", ROOT / "build" / "native"))
UPDATER = BUILD / "desktop-updater"
# The same program with the test build's Ed25519 public key embedded, and that key's private half.
KEYED_UPDATER = BUILD / "tests" / "updater" / "desktop-updater-keyed"
SIGNING_KEY = BUILD / "tests" / "updater" / "list-signing-key.pem"
FAKE_APP = BUILD / "tests" / "updater" / "fake-domvista"

pytestmark = pytest.mark.skipif(not UPDATER.exists() or not FAKE_APP.exists(),
                                reason="native build missing (make build-native)")


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] not in ("Z", "X")
    except OSError:
        return False


class Domvista:
    """The updater's folder with the application's settings and a running domvista.exe."""

    def __init__(self, root, server, updater=UPDATER):
        self.root = root
        self.server = server
        self.dir = root / "Domvista"
        self.tmp = root / "tmp"
        self.tmp.mkdir()
        (self.dir / "Application" / "Config").mkdir(parents=True)
        shutil.copy2(updater, self.dir / "desktop-updater")
        shutil.copy2(FAKE_APP, self.dir / "domvista.exe")
        self.app = None
        self.env = {k: v for k, v in os.environ.items() if not k.lower().endswith("_proxy")}
        self.env.update(QT_QPA_PLATFORM="offscreen", TMPDIR=str(self.tmp), XDG_RUNTIME_DIR=str(self.tmp))

    def config(self, version, url_path="/check"):
        (self.dir / "Application" / "Config" / "config.ini").write_text(
            f"[%General]\nupdate={self.server.url(url_path)}\nversion={version}\n")

    def start_app(self, *args):
        """The stand-in, running once it has recorded its start (it answers SIGTERM from then on);
        `--ignore-close` makes it ignore a request to close."""
        self.app = subprocess.Popen([str(self.dir / "domvista.exe"), *args], cwd=self.dir)
        self.wait_started(1)
        return self.app

    def recorded(self, name):
        """The pids the stand-in wrote to `name` beside itself: started.log, closed.log (closed
        when asked) or asked.log (asked, and ran on)."""
        log = self.dir / name
        return [int(x) for x in log.read_text().split()] if log.exists() else []

    def started(self):
        return self.recorded("started.log")

    def wait_started(self, count, timeout=10):
        end = time.monotonic() + timeout
        while len(self.started()) < count and time.monotonic() < end:
            time.sleep(0.02)
        return self.started()

    def run(self, *args, timeout=120):
        out = self.root / "updater.out"
        with open(out, "wb") as f:
            proc = subprocess.run([str(self.dir / "desktop-updater"), *args], cwd=self.root, env=self.env,
                                  stdout=f, stderr=subprocess.STDOUT, timeout=timeout)
        self.output = out.read_text(errors="replace")
        return proc.returncode

    def log_text(self):
        log = self.dir / "desktop-updater.log"
        return log.read_text(errors="replace") if log.exists() else ""

    def cleanup(self):
        for pid in self.started():
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        if self.app:
            self.app.wait(5)


@pytest.fixture
def server():
    s = http_server(port=0).start()
    yield s
    s.stop()


@pytest.fixture
def dv(tmp_path, server):
    d = Domvista(tmp_path, server)
    yield d
    d.cleanup()


def offer(server, version, entries, headers=None):
    server.route("/check", "<?xml version='1.0'?><files>" + "".join(entries) + "</files>",
                 headers={"Domvista-Version": version, **(headers or {})})


def test_update_replaces_removes_and_restarts(dv, server, tmp_path):
    outside = tmp_path / "outside.txt"
    outside.write_text("precious")
    d = dv.dir
    (d / "core.dll").write_bytes(b"old core")
    (d / "old.dll").write_bytes(b"obsolete")
    (d / "olddir" / "sub").mkdir(parents=True)
    (d / "olddir" / "sub" / "x.txt").write_text("x")
    (d / "checked.dll").write_bytes(b"old checked")
    good = b"verified content"
    fake = FAKE_APP.read_bytes()
    files = {
        "/core.dll": b"new core",
        "/nested.dat": b"deep",
        "/self": b"next updater",
        "/app": fake,
        "/checked.dll": good,
    }
    for path, body in files.items():
        server.route(path, body)
    u = server.url
    offer(server, "1.10", [
        f"<file url='{u('/core.dll')}' dist='core.dll'/>",
        f"<file url='{u('/nested.dat')}' dist='plugins/a/b/nested.dat'/>",
        f"<file url='{u('/self')}' dist='desktop-updater'/>",
        f"<file url='{u('/app')}' dist='domvista.exe'/>",
        f"<file url='{u('/checked.dll')}' dist='checked.dll' size='{len(good)}'"
        f" sha256='{hashlib.sha256(good).hexdigest()}'/>",
        f"<file url='{u('/core.dll')}' dist='../outside.txt'/>",
        "<remove dist='old.dll'/>",
        "<remove dist='olddir'/>",
        f"<remove dist='{outside}'/>",
        "<remove dist='../outside.txt'/>",
    ])
    dv.config("1.9")
    app = dv.start_app()
    first_pid = app.pid

    assert dv.run("ignored-argument") == 0

    # The running application was asked to close and did, and a new one started from the updater's folder.
    assert app.wait(5) == 0 and dv.recorded("closed.log") == [first_pid]
    pids = dv.wait_started(2)
    assert len(pids) == 2 and pids[0] == first_pid and alive(pids[1])
    # Downloads in place, nested folders, the updater's own file set aside.
    assert (d / "core.dll").read_bytes() == b"new core"
    assert (d / "plugins/a/b/nested.dat").read_bytes() == b"deep"
    assert (d / "Application/Updates/desktop-updater").read_bytes() == b"next updater"
    assert (d / "desktop-updater").read_bytes() == UPDATER.read_bytes()
    assert (d / "domvista.exe").read_bytes() == fake and os.access(d / "domvista.exe", os.X_OK)
    assert (d / "checked.dll").read_bytes() == good
    # No staging, backup, journal or temporary file is left; the applied version is recorded.
    assert sorted(p.name for p in d.iterdir()) == sorted([
        "core.dll", "plugins", "Application", "desktop-updater", "domvista.exe", "checked.dll",
        "started.log", "closed.log", "desktop-updater.log"])
    assert sorted(p.name for p in (d / "Application/Updates").iterdir()) == ["applied-version", "desktop-updater",
                                                                              "updater.lock"]
    # Removals inside the folder done; paths outside never touched.
    assert not (d / "old.dll").exists() and not (d / "olddir").exists()
    assert outside.read_text() == "precious"
    assert "unsafe path" in dv.output
    # Every skipped entry is recorded beside the updater, where it outlasts the dialog.
    log = (d / "desktop-updater.log").read_text()
    assert 'download to "../outside.txt": unsafe path' in log and 'removal of "../outside.txt"' in log
    assert 'installed version "1.10"' in log
    assert "/core.dll" in server.paths() and server.paths().count("/core.dll") == 1


def test_the_application_runs_until_the_commit_and_other_installations_are_left_alone(dv, server, tmp_path):
    """While files download the user keeps working; right before the commit only the processes
    of this folder's domvista.exe are ended, not those of another installation."""
    other = tmp_path / "OtherInstallation"
    other.mkdir()
    shutil.copy2(FAKE_APP, other / "domvista.exe")
    other_app = subprocess.Popen([str(other / "domvista.exe")], cwd=other)
    gate = threading.Event()
    server.route("/a", b"new a", gate=gate)
    (dv.dir / "a.dll").write_bytes(b"old a")
    offer(server, "2.0", [f"<file url='{server.url('/a')}' dist='a.dll'/>"])
    dv.config("1.0")
    app = dv.start_app()
    updater = subprocess.Popen([str(dv.dir / "desktop-updater")], cwd=dv.root, env=dv.env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        end = time.monotonic() + 30
        while "/a" not in server.paths() and time.monotonic() < end:
            time.sleep(0.02)
        assert "/a" in server.paths()
        time.sleep(0.3)
        assert app.poll() is None  # still running while the file downloads
        gate.set()
        assert updater.wait(60) == 0
        assert app.wait(5) == 0 and dv.recorded("closed.log") == [app.pid]  # closed for the commit
        assert (dv.dir / "a.dll").read_bytes() == b"new a"
        assert len(dv.wait_started(2)) == 2
        assert other_app.poll() is None  # another installation's application runs on
    finally:
        gate.set()
        other_app.kill()
        other_app.wait(5)


def test_a_failed_download_leaves_the_application_running(dv, server):
    (dv.dir / "a.dll").write_bytes(b"old a")
    offer(server, "2.0", [f"<file url='{server.url('/missing')}' dist='a.dll'/>"])
    dv.config("1.0")
    app = dv.start_app()
    assert dv.run() == 0
    assert app.poll() is None  # the user's work was never interrupted
    assert (dv.dir / "a.dll").read_bytes() == b"old a"
    assert 'download of "a.dll"' in dv.log_text()


@pytest.mark.parametrize("installed,offered", [("1.10", "1.9"), ("2.0", "2.0")])
def test_no_update_leaves_the_application_running(dv, server, installed, offered):
    (dv.dir / "a.dll").write_bytes(b"old")
    offer(server, offered, [f"<file url='{server.url('/a')}' dist='a.dll'/>", "<remove dist='domvista.exe'/>"])
    server.route("/a", b"new")
    dv.config(installed)
    app = dv.start_app()
    assert dv.run() == 0
    assert app.poll() is None  # still running
    assert (dv.dir / "a.dll").read_bytes() == b"old"
    assert server.paths() == ["/check"]
    assert len(dv.wait_started(2)) == 2  # the application is started again in any case


def test_a_list_offering_nothing_acceptable_stops_nothing(dv, server):
    (dv.dir / "a.dll").write_bytes(b"old")
    offer(server, "2.0", [f"<file url='ftp://h/a' dist='a.dll'/>", f"<file url='{server.url('/a')}' dist='../a.dll'/>",
                          "<remove dist='Application/Config'/>", "<remove dist='desktop-updater'/>"])
    dv.config("1.0")
    app = dv.start_app()
    assert dv.run() == 0
    assert app.poll() is None  # still running
    assert (dv.dir / "a.dll").read_bytes() == b"old" and (dv.dir / "desktop-updater").exists()
    assert server.paths() == ["/check"]
    assert "offers nothing to install" in (dv.dir / "desktop-updater.log").read_text()


def test_check_failures_start_the_application_again(dv, server):
    server.route("/check", "<files><remove dist='keep.txt'/></files>", status=404,
                 headers={"Domvista-Version": "9"})
    (dv.dir / "keep.txt").write_text("keep")
    dv.config("1.0")
    app = dv.start_app()
    assert dv.run() == 0
    assert app.poll() is None
    assert (dv.dir / "keep.txt").read_text() == "keep"
    assert len(dv.wait_started(2)) == 2


def test_server_that_never_answers_is_given_up_after_30_seconds(dv, server):
    server.route("/check", "", mode="stall")
    dv.config("1.0")
    app = dv.start_app()
    started = time.monotonic()
    assert dv.run(timeout=90) == 0
    assert time.monotonic() - started >= 29
    assert app.poll() is None
    assert len(dv.wait_started(2)) == 2
    assert "giving up" in dv.output


def unix_listener(path):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.bind(str(path))
    s.listen(4)
    return s


def hold_folder_lock(dv):
    """Takes the folder's updater lock as a running updater holds it; close the file to drop it."""
    updates = dv.dir / "Application" / "Updates"
    updates.mkdir(parents=True, exist_ok=True)
    f = open(updates / "updater.lock", "a")
    fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
    return f


@pytest.mark.parametrize("args,expected", [(["first", "--last one"], b"--last one"), ([], b"")])
def test_second_instance_forwards_its_last_argument(dv, server, args, expected):
    lock = hold_folder_lock(dv)  # the running updater of this folder
    listener = unix_listener(dv.tmp / "desktop-updater")
    received = []

    def accept():
        conn, _ = listener.accept()
        data = b""
        while chunk := conn.recv(4096):
            data += chunk
        received.append(data)
        conn.close()

    t = threading.Thread(target=accept)
    t.start()
    dv.config("1.0")
    assert dv.run(*args, timeout=30) == 0
    t.join(10)
    listener.close()
    lock.close()
    assert received == [expected]
    assert server.paths() == []
    assert not (dv.dir / "started.log").exists()
    assert "another updater is already updating this folder" in dv.log_text()


def test_a_program_holding_the_instance_name_does_not_stop_the_update(dv, server):
    """Anyone can listen under the per-user name first (on Linux the temporary folder is shared):
    without the folder's lock it is no updater of this folder, and the update goes on."""
    squatter = unix_listener(dv.tmp / "desktop-updater")
    (dv.dir / "a.dll").write_bytes(b"old")
    server.route("/a", b"new")
    offer(server, "2.0", [f"<file url='{server.url('/a')}' dist='a.dll'/>"])
    dv.config("1.0")
    try:
        assert dv.run(timeout=60) == 0
    finally:
        squatter.close()
    assert (dv.dir / "a.dll").read_bytes() == b"new"
    assert server.paths() == ["/check", "/a"]
    assert len(dv.wait_started(1)) == 1


def test_a_second_updater_on_the_same_folder_leaves_the_first_ones_commit_alone(tmp_path, server):
    """Two sessions (each with its own instance name) start an updater on one folder: the second
    one finds the folder locked while the first stands in the middle of its commit, changes
    nothing and starts nothing; the first one's commit is finished by the next start."""
    if not HOOKS_UPDATER.exists():
        pytest.skip(f"{HOOKS_UPDATER} missing (make build-native)")
    release = CrashRelease(server, FAKE_APP.read_bytes())
    dv = Domvista(tmp_path, server, updater=HOOKS_UPDATER)
    try:
        dv.config("1.0")
        release.lay_out(dv.dir)
        release.serve_killed_run("commit", 6)
        marker = tmp_path / "paused"
        env = dict(dv.env, DESKTOP_UPDATER_TEST_PAUSE="commit:6", DESKTOP_UPDATER_TEST_PAUSED=str(marker))
        first = subprocess.Popen([str(dv.dir / "desktop-updater")], cwd=tmp_path, env=env,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        release.wait_for_the_point("commit", 6, "/none", marker, first, timeout=30, settle=0)
        during = tree(dv.dir)
        assert during not in (release.expected_old, release.expected_new)  # half committed
        other_session = tmp_path / "other-session"
        other_session.mkdir()
        dv.env.update(TMPDIR=str(other_session), XDG_RUNTIME_DIR=str(other_session))
        release.serve_good_run()
        assert dv.run(timeout=60) == 0
        assert tree(dv.dir) == during
        assert server.paths() == []
        assert dv.started() == []
        assert "another updater is already updating this folder" in dv.log_text()
        first.send_signal(signal.SIGKILL)
        first.wait(10)
        assert dv.run() == 0
        assert tree(dv.dir) == release.expected_new, dv.log_text()
        assert len(dv.wait_started(1)) == 1
    finally:
        dv.cleanup()


def test_stale_local_server_entry_is_cleaned_up(dv, server):
    stale = unix_listener(dv.tmp / "desktop-updater")
    stale.close()  # leaves the socket file behind, as a crashed updater would
    assert (dv.tmp / "desktop-updater").exists()
    gate = threading.Event()
    server.route("/check", "", headers={"Domvista-Version": "1.0"}, gate=gate)
    dv.config("1.0")
    first = subprocess.Popen([str(dv.dir / "desktop-updater")], cwd=dv.root, env=dv.env,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        end = time.monotonic() + 20
        while not server.paths() and time.monotonic() < end:
            time.sleep(0.02)
        assert server.paths() == ["/check"]
        assert (dv.tmp / "desktop-updater").stat().st_mode & 0o077 == 0  # only this user connects
        # The first updater listens again, so a second start only forwards its argument.
        assert dv.run("forwarded", timeout=30) == 0
        assert server.paths() == ["/check"]
    finally:
        gate.set()
        assert first.wait(30) == 0


def test_a_kill_while_the_instance_socket_is_made_leaves_nothing_behind(dv, server):
    """strace ends the updater with SIGKILL at its first rename: where the socket is moved into
    place, that left a hidden folder with the socket in the temporary folder, one per kill."""
    strace = shutil.which("strace")
    if not strace:
        pytest.skip("strace missing: it injects the kill at the rename")
    dv.config("1.0", "/missing")
    for _ in range(2):
        subprocess.run([strace, "-o", str(dv.root / "strace.out"), "-e", "trace=rename",
                        "-e", "inject=rename:signal=SIGKILL:when=1", str(dv.dir / "desktop-updater")],
                       cwd=dv.root, env=dv.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
    assert dv.run(timeout=60) == 0
    assert sorted(p.name for p in dv.tmp.iterdir() if p.name.startswith(".")) == []
    assert not (dv.tmp / "desktop-updater").exists()  # the last run's socket went with it


STRACE_CALL = re.compile(r'^(\w+)\((.*)\) += (-?\d+)')


def commit_events(trace, folder):
    """The commit's renames in `folder` and the folder flushes, in order, from an `strace -y` log:
    ("rename", old, new) (a file linked into place counts, with old = new) and ("fsync", path);
    everything before the first journal write is left out."""
    events = []
    for line in trace.read_text().splitlines():
        m = STRACE_CALL.match(line)
        if not m or m.group(3) != "0":
            continue
        call, args = m.group(1), m.group(2)
        if call.startswith("rename") or call == "linkat":
            # An atomic write links its unnamed temporary file into place (linkat) where it can.
            paths = re.findall(r'"([^"]*)"', args)
            if call == "linkat":
                paths = paths[-1:] * 2
            if len(paths) == 2 and all(p.startswith(str(folder) + "/") for p in paths):
                events.append(("rename", *paths))
        elif call in ("fsync", "fdatasync"):
            fd_path = re.search(r"<([^>]*)>", args)
            if fd_path:
                events.append(("fsync", fd_path.group(1)))
    # A temporary file linked under a temporary name and then renamed: only the rename counts.
    renamed_away = {e[1] for e in events if e[0] == "rename" and e[1] != e[2]}
    events = [e for e in events if not (e[0] == "rename" and e[1] == e[2] and e[1] in renamed_away)]
    journal = str(folder / "Application/Updates/update-journal")
    first = next(i for i, e in enumerate(events) if e[0] == "rename" and e[2] == journal)
    return events[first:], journal


def test_every_rename_of_the_commit_is_flushed_before_its_next_step(dv, server):
    """A power cut must never find a later step of the commit on disk with an earlier one lost:
    the folders that a rename changed are flushed before the journal moves on, and the journal's
    own folder before anything moves after it."""
    strace = shutil.which("strace")
    if not strace:
        pytest.skip("strace missing: it records the renames and flushes")
    d = dv.dir
    lay_out(d, {"a.dll": b"old a", "sub/b.dll": b"old b", "old.dll": b"old"})
    offer(server, "2.0", release_entries(server, "2.0", {"a.dll": b"new a", "sub/b.dll": b"new b", "c/new.dll": b"new"},
                                         ["old.dll"]))
    dv.config("1.0")
    trace = dv.root / "strace.out"
    subprocess.run([strace, "-y", "-o", str(trace), "-e", "trace=rename,renameat,renameat2,linkat,fsync,fdatasync",
                    str(d / "desktop-updater")], cwd=dv.root, env=dv.env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=60)
    assert (d / "c/new.dll").read_bytes() == b"new" and not (d / "old.dll").exists()
    events, journal = commit_events(trace, d)
    renames = [i for i, e in enumerate(events) if e[0] == "rename"]
    assert len(renames) >= 8  # the journal twice, three old files stashed, three files placed, the record
    for i in renames:
        _, old, new = events[i]
        # The next step: the next journal write, or for the journal itself the next rename.
        if new == journal:
            end = next((j for j in renames if j > i), len(events))
        else:
            end = next((j for j in renames if j > i and events[j][2] == journal), len(events))
        flushed = {e[1] for e in events[i + 1:end] if e[0] == "fsync"}
        for folder in {os.path.dirname(old), os.path.dirname(new)}:
            if Path(folder).exists() or new == journal:
                assert folder in flushed, (old, new, folder, events)
    # The record that every old file is in the backup is on disk before anything is placed.
    staging = str(d / "Application/Updates/staging") + "/"
    first_place = next(i for i, e in enumerate(events) if e[0] == "rename" and e[1].startswith(staging))
    assert ("fsync", journal + ".steps") in events[:first_place], events


FULL_DISK_SCRIPT = r'''
set -e
mount -t tmpfs -o size=$4 tmpfs "$1"
cp -a "$2"/. "$1"/
dd if=/dev/zero of="$1/filler" bs=1k 2>/dev/null || true
set +e
"$1/desktop-updater" >"$3/updater.out" 2>&1
echo $? >"$3/rc"
rm -f "$1/filler"
cp -a "$1"/. "$3/after"/
'''


def test_full_disk_leaves_every_old_file_byte_for_byte(dv, server, tmp_path):
    """The updater's folder lies on a small file system of its own (a tmpfs in a private mount
    namespace), filled up before the updater starts."""
    if shutil.which("unshare") is None:
        pytest.skip("unshare (util-linux) is missing")
    d = dv.dir
    (d / "domvista.exe").unlink()  # nothing may outlive the mount namespace
    old = {"small.dll": b"good small file", "big.dll": b"good big file " * 1000}
    for name, data in old.items():
        (d / name).write_bytes(data)
    # 4000 bytes stay in the write buffer until the end; 300 kB fail while they arrive.
    server.route("/small", b"s" * 4000)
    server.route("/big", os.urandom(300_000))
    offer(server, "2.0", [f"<file url='{server.url('/small')}' dist='small.dll'/>",
                          f"<file url='{server.url('/big')}' dist='big.dll'/>"])
    dv.config("1.0")
    mnt, out = tmp_path / "mnt", tmp_path / "out"
    mnt.mkdir()
    (out / "after").mkdir(parents=True)
    size = (sum(p.stat().st_size for p in d.rglob("*") if p.is_file()) // 1024 + 512) * 1024
    probe = subprocess.run(["unshare", "-m", "sh", "-c", f"mount -t tmpfs -o size=64k tmpfs {mnt}"],
                           capture_output=True, text=True)
    if probe.returncode != 0:
        pytest.skip(f"no tmpfs in a private mount namespace here: {probe.stderr.strip()}")
    subprocess.run(["unshare", "-m", "sh", "-c", FULL_DISK_SCRIPT, "sh", mnt, d, out, str(size)],
                   env=dv.env, check=True, timeout=120)
    output = (out / "updater.out").read_text(errors="replace")
    assert (out / "rc").read_text().strip() == "0", output
    for name, data in old.items():
        assert (out / "after" / name).read_bytes() == data, output
    left = sorted(p.name for p in (out / "after").iterdir() if p.name != "desktop-updater.log")
    assert left == sorted(["Application", "desktop-updater", "small.dll", "big.dll"]), output  # no temporary files
    assert "cannot write" in output
    assert [p.name for p in (out / "after" / "Application" / "Updates").iterdir()] == ["updater.lock"]  # no staging left
    # The first file that cannot be staged ends the update: nothing more is requested.
    assert server.paths() == ["/check", "/small"]


@pytest.mark.skipif(not KEYED_UPDATER.exists(), reason="keyed test build missing (make build-native)")
def test_signed_list_round_trip(tmp_path, server):
    """A build with a public key takes only a list that the publisher signed for that version;
    an old list replayed, a changed list or an unsigned one changes nothing and stops nothing."""
    other_key = tmp_path / "other.pem"
    subprocess.run(["openssl", "genpkey", "-algorithm", "ed25519", "-out", str(other_key)], check=True,
                   capture_output=True)
    gone = ["obsolete.dll"]
    old_list, old_sig = publish(tmp_path, server, "2.0", {"core.dll": b"core 2.0"}, SIGNING_KEY, gone)
    new_list, new_sig = publish(tmp_path, server, "2.1", {"core.dll": b"core 2.1", "sub/b.dat": b"b 2.1"},
                                SIGNING_KEY, gone)
    _, foreign_sig = publish(tmp_path, server, "2.1", {"core.dll": b"core 2.1", "sub/b.dat": b"b 2.1"},
                             other_key, gone)
    cases = [
        ("replayed old list", "2.0", old_list, old_sig, False, ""),
        ("unsigned", "2.1", new_list, None, False, "no Domvista-Signature"),
        ("signed by another key", "2.1", new_list, foreign_sig, False, "does not match"),
        ("list changed", "2.1", new_list.replace(b"obsolete.dll", b"core.dll"), new_sig, False, "does not match"),
        ("version changed", "9.9", new_list, new_sig, False, "does not match"),
        ("genuine", "2.1", new_list, new_sig, True, ""),
    ]
    for name, version, body, sig, updates, reason in cases:
        case_root = tmp_path / name.replace(" ", "-")
        case_root.mkdir()
        dv = Domvista(case_root, server, updater=KEYED_UPDATER)
        try:
            (dv.dir / "core.dll").write_bytes(b"core 2.0.5")
            (dv.dir / "obsolete.dll").write_bytes(b"obsolete")
            headers = {"Domvista-Version": version}
            if sig:
                headers["Domvista-Signature"] = sig
            server.route("/check", body, headers=headers)
            dv.config("2.0.5")
            app = dv.start_app()
            assert dv.run() == 0, name
            assert (app.poll() is None) == (not updates), name  # killed only for a genuine update
            expected = b"core 2.1" if updates else b"core 2.0.5"
            assert (dv.dir / "core.dll").read_bytes() == expected, name
            assert (dv.dir / "obsolete.dll").exists() == (not updates), name
            if reason:
                assert reason in (dv.dir / "desktop-updater.log").read_text(), name
            assert len(dv.wait_started(2)) == 2, name  # started again in every case
        finally:
            dv.cleanup()


def program_release_pair(program):
    """An old and a new release of a real program: the new one has a few bytes changed and a few
    inserted, as a small fix does; plus a file both releases share."""
    changed = bytearray(program)
    changed[len(changed) // 3:len(changed) // 3 + 8] = b"fixed!!!"
    changed[len(changed) // 2:len(changed) // 2] = b"a new function"
    shared = b"the same in both releases\n" * 100
    return {"bin/core.dll": program, "shared.dat": shared}, {"bin/core.dll": bytes(changed), "shared.dat": shared}


def delta_release(tmp_path, server, program, key, delta):
    """A signed release pair of `program` with its delta served as `delta` says ("served",
    "damaged" or "missing"). Returns (old files, new files, list, signature, the delta's path)."""
    old, new = program_release_pair(program)
    body, signature = publish_with_deltas(tmp_path, server, old, new, key)
    assert b"<delta from=" in body
    (delta_path,) = [p for p in server.routes if p.startswith("/deltas/")]
    if delta == "damaged":
        server.route(delta_path, b"\x28\xb5\x2f\xfd" + bytes(500))
    elif delta == "missing":
        server.route(delta_path, b"gone", status=404)
    return old, new, body, signature, delta_path


def install_files(folder, files):
    for name, data in files.items():
        (folder / name).parent.mkdir(parents=True, exist_ok=True)
        (folder / name).write_bytes(data)


def run_delta_update(dv, server, release):
    """Installs the old files of `release` (delta_release's answer), offers its signed list, runs
    the updater and checks that the new release is in place."""
    old, new, body, signature, _ = release
    install_files(dv.dir, old)
    server.route("/check", body, headers={"Domvista-Version": "2.1", "Domvista-Signature": signature})
    dv.config("2.0")
    assert dv.run() == 0
    for name, data in new.items():
        assert (dv.dir / name).read_bytes() == data, name


@pytest.mark.skipif(not KEYED_UPDATER.exists(), reason="keyed test build missing (make build-native)")
@pytest.mark.parametrize("delta", ["served", "damaged", "missing"])
def test_a_signed_delta_update_moves_the_delta_or_falls_back_to_the_file(tmp_path, server, delta):
    """A signed list with deltas: the file in place is the one the delta starts from, so only the
    delta is downloaded; a damaged or missing delta is followed by the whole file in the same
    update. The result is the new release byte for byte, the shared file never requested."""
    release = delta_release(tmp_path, server, FAKE_APP.read_bytes(), SIGNING_KEY, delta)
    delta_path = release[4]
    dv = Domvista(tmp_path, server, updater=KEYED_UPDATER)
    try:
        run_delta_update(dv, server, release)
        expected = ["/check", delta_path] + ([] if delta == "served" else ["/2.1/bin/core.dll"])
        assert server.paths() == expected
        if delta != "served":
            assert "downloading the whole file" in dv.log_text()
        assert "installed version" in dv.log_text()
    finally:
        dv.cleanup()


# A file cut short at 80 %: how the next update gets the rest, for each kind of server.
CUT_SIZE = 3 * 1024 * 1024
CUT_AT = CUT_SIZE * 8 // 10
# range_reply, ETags in turn: (what the second run's first request gets, whether it starts over)
CUT_SERVERS = {
    "honour": ("honour", ['"v1"'], 206, False),
    "ignore": ("ignore", ['"v1"'], 200, False),
    "wrong-range": ("wrong-range", ['"v1"'], 206, True),
    "changed, If-Range ignored": ("ignore-if-range", ['"v1"', '"v2"'], 206, True),
}


def cut_and_resume(dv, server, kind, kill=None):
    """Offers one 3 MiB file whose first answer stops at 80 %: the connection closes, or (with
    `kill`, a function that ends the running updater) goes silent and the updater is killed once
    the part holds the 80 %. A second run continues as `kind` (CUT_SERVERS) lets it. Returns the
    route's answers."""
    range_reply, etags, _, _ = CUT_SERVERS[kind]
    data = b"".join(hashlib.sha256(i.to_bytes(4, "little")).digest() for i in range(CUT_SIZE // 32))
    route = server.route("/files/big.bin", data, mode="resumable", drop_after=CUT_AT, etags=etags,
                         range_reply=range_reply, stall_after_cut=kill is not None)
    offer(server, "2.0", [f"<file url='{server.url('/files/big.bin')}' dist='big.bin' "
                          f"sha256='{hashlib.sha256(data).hexdigest()}' size='{len(data)}'/>"])
    dv.config("1.0")
    parts = dv.dir / "Application" / "Updates" / "partial"
    if kill is None:
        assert dv.run() == 0
        assert "nothing was changed" in dv.log_text()
    else:
        kill(lambda: sum(p.stat().st_size for p in parts.glob("*.part")) >= CUT_AT if parts.is_dir() else False)
    assert not (dv.dir / "big.bin").exists()
    # Kept, with its source: what reached the updater of the 80 % (a closed connection may
    # take the last bytes in flight with it).
    held = sum(p.stat().st_size for p in parts.glob("*.part"))
    assert 0 < held <= CUT_AT
    assert len(list(parts.glob("*.info"))) == 1
    assert dv.run() == 0
    assert (dv.dir / "big.bin").read_bytes() == data
    assert not parts.exists()  # a finished update keeps nothing
    return route.answers, held


def check_resumed(answers, held, kind, log):
    _, _, status, over = CUT_SERVERS[kind]
    assert answers[1].range == f"bytes={held}-" and answers[1].if_range == '"v1"', answers
    assert answers[1].status == status, answers
    if kind == "honour":
        assert len(answers) == 2 and answers[1].sent == CUT_SIZE - held, answers  # only what it lacked
        assert f"continued from byte {held}" in log
    elif over:
        # Refused on its head: the file comes again, from its first byte, in a request of its own.
        assert len(answers) == 3 and answers[2].range is None and answers[2].sent == CUT_SIZE, answers
        assert "starts over from its first byte" in log
    else:
        assert len(answers) == 2 and answers[1].sent == CUT_SIZE, answers  # the 200 is the whole file


@pytest.mark.parametrize("kind", list(CUT_SERVERS))
def test_a_cut_download_is_continued_only_by_an_exact_rest(dv, server, kind):
    """A download that a lost connection cut at 80 % keeps its bytes; the next update asks for the
    rest with Range and If-Range and takes only an exact 206 of the same version: a 200 is the
    whole file, a wrong range or another version start over. The file is whole in every case."""
    answers, held = cut_and_resume(dv, server, kind)
    check_resumed(answers, held, kind, dv.log_text())


def test_an_update_killed_halfway_through_a_download_continues_it(dv, server):
    """SIGKILL while a download runs: what reached the part stays, and the next update is sent
    only the rest."""
    def kill(part_full):
        proc = subprocess.Popen([str(dv.dir / "desktop-updater")], cwd=dv.root, env=dv.env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        end = time.monotonic() + 60
        while not part_full() and time.monotonic() < end:
            time.sleep(0.01)
        proc.kill()
        proc.wait()
    answers, held = cut_and_resume(dv, server, "honour", kill=kill)
    check_resumed(answers, held, "honour", dv.log_text())


# The updaters that are run through a proxy: the system's proxy setting is what they follow
# (on Linux the http_proxy variable).
PROXIED_UPDATERS = [pytest.param(UPDATER, id="native")]


def loopback_host_name():
    """This machine's name when it resolves to loopback only: Qt never asks a proxy about
    "localhost" or a loopback address, so a proxied request must name the server otherwise."""
    name = socket.gethostname()
    try:
        addresses = {info[4][0] for info in socket.getaddrinfo(name, 80, type=socket.SOCK_STREAM)}
    except OSError:
        return None
    return name if addresses and addresses <= {"127.0.0.1", "::1"} else None


@pytest.mark.parametrize("updater", PROXIED_UPDATERS)
def test_check_and_download_go_through_the_system_proxy(tmp_path, server, updater):
    host = loopback_host_name()
    if host is None:
        pytest.skip("this machine's name does not resolve to a loopback address")
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    base = f"http://{host}:{server.port}"
    d = Domvista(tmp_path, server, updater)
    try:
        d.env["http_proxy"] = f"http://127.0.0.1:{port}"
        offer(server, "2.0", [f"<file url='{base}/a' dist='a.dll'/>"])
        server.route("/a", b"new")
        (d.dir / "Application" / "Config" / "config.ini").write_text(
            f"[%General]\nupdate={base}/check\nversion=1.0\n")
        d.start_app()
        with TinyProxy(tmp_path / "proxy", port) as proxy:
            assert d.run() == 0
        assert (d.dir / "a.dll").read_bytes() == b"new"
        assert proxy.requests() == [f"GET {base}/check", f"GET {base}/a"]
        assert server.paths() == ["/check", "/a"]
    finally:
        d.cleanup()


# --- all or nothing ---------------------------------------------------------------------------
# DESKTOP_UPDATER_E2E_HOOKS names the program with pause points (the shipped sources linked with
# tests/updater/support/testpause_env.cpp); test_desktop_updater_win.py runs the same release
# against the Windows build and ends it with TerminateProcess.
HOOKS_UPDATER = Path(os.environ.get("DESKTOP_UPDATER_E2E_HOOKS", BUILD / "tests" / "updater" / "desktop-updater-hooks"))
# The updater's own files, which are no part of a release.
OWN_FILES = {"desktop-updater.log", "desktop-updater.log.old", "started.log", "closed.log", "asked.log", "Application/Updates/applied-version",
             "Application/Updates/updater.lock"}


def tree(folder):
    """Every file and folder below `folder` but the updater's own: path -> bytes, or None."""
    out = {}
    for p in sorted(folder.rglob("*")):
        rel = p.relative_to(folder).as_posix()
        if rel not in OWN_FILES:
            out[rel] = None if p.is_dir() and not p.is_symlink() else p.read_bytes()
    return out


def lay_out(folder, files):
    for rel, data in files.items():
        (folder / rel).parent.mkdir(parents=True, exist_ok=True)
        if data is None:
            (folder / rel).mkdir(exist_ok=True)
        else:
            (folder / rel).write_bytes(data)


def release_entries(server, version, new, removals):
    entries = []
    for rel, data in new.items():
        if data is None:
            entries.append(f"<file url='' dist='{rel}/'/>")
            continue
        server.route(f"/{version}/{rel}", data)
        entries.append(f"<file url='{server.url(f'/{version}/{rel}')}' dist='{rel}' size='{len(data)}'"
                       f" sha256='{hashlib.sha256(data).hexdigest()}'/>")
    return entries + [f"<remove dist='{rel}'/>" for rel in removals]


class CrashRelease:
    """Release 2.0 of the crash test: five downloads, two removals, one file unchanged and an
    empty new folder; killed during each download, just before and at every step of the commit."""

    def __init__(self, server, app_bytes):
        self.server = server
        blob = lambda tag: (tag.encode() * 40000)[:150_000]  # noqa: E731
        self.old = {"domvista.exe": app_bytes, "a.dll": blob("a1"), "b.dll": blob("b1"),
                    "sub/c.dll": blob("c1"), "keep.dat": blob("k"), "old.dll": blob("o"), "oldsub/x.txt": b"x",
                    "Application/Updates": None}
        self.downloads = {"a.dll": blob("a2"), "b.dll": blob("b2"), "sub/c.dll": blob("c2"), "d.dll": blob("d2"),
                          "e/f.dat": blob("f2")}
        self.new_files = {**self.downloads, "keep.dat": blob("k"), "newdir": None}
        self.removals = ["old.dll", "oldsub"]
        entries = release_entries(server, "2.0", self.new_files, self.removals)
        self.good_list = "<?xml version='1.0'?><files>" + "".join(entries) + "</files>"
        # The killed run's list also carries an entry it refuses, so that it logs before it is killed.
        self.killed_list = self.good_list.replace("</files>", "<remove dist='../outside'/></files>")
        # The commit's steps: before the journal, after it, 5 old files and removals into the
        # backup, 5 files into place, the journal marked done.
        self.points = [("download", i) for i in range(len(self.downloads))] + [("commit", n) for n in range(1, 14)]
        self.expected_old = self.expected_new = None

    def lay_out(self, folder):
        """The old release in `folder` (config.ini written first); the first call also takes
        the expected trees."""
        lay_out(folder, self.old)
        if self.expected_old is None:
            self.expected_old = tree(folder)
            self.expected_new = {k: v for k, v in self.expected_old.items()
                                 if k not in self.removals and not k.startswith("oldsub/")}
            self.expected_new.update({"e": None, "sub": None, **self.new_files})

    def serve_killed_run(self, kind, n):
        """Routes for the run to be killed; for a download point, the path that stalls."""
        for rel, data in self.downloads.items():
            self.server.route(f"/2.0/{rel}", data)
        stalled = "/none"
        if kind == "download":
            stalled = f"/2.0/{list(self.downloads)[n]}"
            self.server.route(stalled, self.downloads[list(self.downloads)[n]], mode="stallbody", drop_after=70_000)
        self.server.route("/check", self.killed_list, headers={"Domvista-Version": "2.0"})
        self.server.requests.clear()
        return stalled

    def serve_failed_check(self, stalled):
        self.server.route("/check", "", status=404)
        self.server.route(stalled, b"")

    def serve_good_run(self):
        for rel, data in self.downloads.items():
            self.server.route(f"/2.0/{rel}", data)
        self.server.route("/check", self.good_list, headers={"Domvista-Version": "2.0"})
        self.server.requests.clear()

    def wait_for_the_point(self, kind, n, stalled, marker, proc, timeout, settle):
        """Until the killed run's updater stands at (kind, n): the stalled file requested (and
        `settle` seconds more, so that part of it is staged) or the pause marker written."""
        end = time.monotonic() + timeout
        if kind == "download":
            while stalled not in self.server.paths() and time.monotonic() < end:
                time.sleep(0.01)
            time.sleep(settle)
        else:
            while not marker.exists() and proc.poll() is None and time.monotonic() < end:
                time.sleep(0.01)
        assert proc.poll() is None, f"{kind} {n}: the updater ended before it could be killed"

    def check_the_next_starts(self, kind, n, stalled, dv, running):
        """After a kill at (kind, n): `dv` is the updater's folder with run(), log_text() and
        wait_started(); running() counts the application's live processes."""
        # The log is written as the run goes: the killed run's line is there.
        assert 'skipped removal of "../outside"' in dv.log_text(), (kind, n)
        # The application runs on while files download; the update ends it right before the commit.
        assert running() == (1 if kind == "download" else 0), (kind, n)

        # Next start, the check fails: only the recovery runs.
        self.serve_failed_check(stalled)
        assert dv.run() == 0
        after = tree(dv.dir)
        # A download the kill cut short stays as a part (with its info) for the next update, in
        # the folder of parts that stays until an update ends: a failed check takes nothing away.
        # The good start below must leave none.
        parts = {p: v for p, v in after.items() if p.startswith("Application/Updates/partial/")}
        assert not parts or kind == "download", (kind, n, sorted(parts))
        assert all(p.endswith((".part", ".info")) for p in parts), sorted(parts)
        after = {p: v for p, v in after.items() if p not in parts and p != "Application/Updates/partial"}
        assert after in (self.expected_old, self.expected_new), (kind, n, dv.log_text())
        if kind == "download" or n == 1:
            assert after == self.expected_old, (kind, n)  # nothing was committed yet
        assert len(dv.wait_started(2)) == 2 and running() == (2 if kind == "download" else 1), (kind, n)
        assert "update check at" in dv.log_text()

        # And a start against a good server ends on the new release, fetching only what it lacks.
        self.serve_good_run()
        assert dv.run() == 0
        assert tree(dv.dir) == self.expected_new, (kind, n, dv.log_text())
        assert "/2.0/keep.dat" not in self.server.paths()
        expected_running = 1  # an update ends the application before it starts it again
        if after == self.expected_new:
            assert self.server.paths() == ["/check"], (kind, n)  # recorded as applied: no update
            expected_running = 2  # nothing to change: the running application is left alone
        assert len(dv.wait_started(3)) == 3 and running() == expected_running, (kind, n)


def test_a_kill_at_any_point_leaves_the_old_or_the_new_release(tmp_path, server):
    """The next start after each kill (its check fails) must find exactly the old or the new
    release and start the application, and a start against a good server ends on the new one."""
    if not HOOKS_UPDATER.exists():
        pytest.skip(f"{HOOKS_UPDATER} missing (make build-native)")
    release = CrashRelease(server, FAKE_APP.read_bytes())
    for kind, n in release.points:
        case = tmp_path / f"{kind}-{n}"
        case.mkdir()
        dv = Domvista(case, server, updater=HOOKS_UPDATER)
        try:
            dv.config("1.0")
            release.lay_out(dv.dir)
            env = dict(dv.env)
            marker = case / "paused"
            if kind == "commit":
                env.update(DESKTOP_UPDATER_TEST_PAUSE=f"commit:{n}", DESKTOP_UPDATER_TEST_PAUSED=str(marker))
            stalled = release.serve_killed_run(kind, n)
            dv.start_app()
            proc = subprocess.Popen([str(dv.dir / "desktop-updater")], cwd=case, env=env,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            release.wait_for_the_point(kind, n, stalled, marker, proc, timeout=30, settle=0.3)
            proc.send_signal(signal.SIGKILL)
            proc.wait(10)
            release.check_the_next_starts(kind, n, stalled, dv, lambda: sum(map(alive, dv.started())))
        finally:
            dv.cleanup()


def test_unchanged_files_are_not_requested_and_a_replayed_list_changes_nothing(dv, server):
    d = dv.dir
    same = {f"lib/{i}.dll": f"library {i}".encode() for i in range(5)}
    lay_out(d, {**same, "changed.dll": b"old"})
    entries = release_entries(server, "3.0", {**same, "changed.dll": b"new"}, [])
    offer(server, "3.0", entries)
    dv.config("2.0")  # the release does not ship config.ini: the updater's own record counts
    dv.start_app()
    assert dv.run() == 0
    assert server.paths() == ["/check", "/3.0/changed.dll"]
    assert (d / "changed.dll").read_bytes() == b"new"
    assert (d / "Application/Updates/applied-version").read_text().strip() == "3.0"
    # The same release again, and an older genuine list replayed: no request, nothing stopped.
    for version, body in (("3.0", b"new"), ("2.5", b"old")):
        server.requests.clear()
        offer(server, version, release_entries(server, version, {"changed.dll": body}, ["lib"]))
        app = dv.start_app()
        assert dv.run() == 0
        assert server.paths() == ["/check"], version
        assert app.poll() is None, version
    assert (d / "changed.dll").read_bytes() == b"new" and (d / "lib/0.dll").exists()


def test_a_dist_ending_in_a_slash_names_a_folder(dv, server):
    d = dv.dir
    lay_out(d, {"kept.txt": b"kept", "olddir/x": b"x"})
    offer(server, "2.0", [f"<file url='{server.url('/never')}' dist='newdir/'/>",
                          "<remove dist='kept.txt/'/>", "<remove dist='olddir/'/>"])
    dv.config("1.0")
    dv.start_app()
    assert dv.run() == 0
    assert (d / "newdir").is_dir() and list((d / "newdir").iterdir()) == []
    assert (d / "kept.txt").read_bytes() == b"kept"  # a file is no folder: kept
    assert not (d / "olddir").exists()
    assert server.paths() == ["/check"]


def test_the_shipped_program_has_no_pause_points():
    for knob in (b"DESKTOP_UPDATER_TEST_PAUSE", b"DESKTOP_UPDATER_TEST_CLOSE_MS"):
        assert knob not in UPDATER.read_bytes()
        if HOOKS_UPDATER.exists():
            assert knob in HOOKS_UPDATER.read_bytes()


@pytest.mark.parametrize("ignores", [False, True], ids=["closes when asked", "ignores the request"])
def test_the_application_is_asked_to_close_and_ended_only_after_the_deadline(tmp_path, server, ignores):
    """Right before the commit the application gets SIGTERM, so that it can save the user's work;
    only one still running at the deadline (shortened in the test build) is killed. Either way the
    update is installed and the application started again."""
    if not HOOKS_UPDATER.exists():
        pytest.skip(f"{HOOKS_UPDATER} missing (make build-native)")
    dv = Domvista(tmp_path, server, updater=HOOKS_UPDATER)
    try:
        dv.env["DESKTOP_UPDATER_TEST_CLOSE_MS"] = "1500"
        server.route("/a", b"new a")
        (dv.dir / "a.dll").write_bytes(b"old a")
        offer(server, "2.0", [f"<file url='{server.url('/a')}' dist='a.dll'/>"])
        dv.config("1.0")
        app = dv.start_app(*(["--ignore-close"] if ignores else []))
        assert dv.run() == 0
        if ignores:
            assert app.wait(5) == -signal.SIGKILL and dv.recorded("asked.log") == [app.pid]
            assert dv.recorded("closed.log") == []
            assert "domvista.exe did not close within 1.5 s of being asked (SIGTERM): it is ended" in dv.log_text()
        else:
            assert app.wait(5) == 0 and dv.recorded("closed.log") == [app.pid]
            assert "domvista.exe closed when asked (SIGTERM)" in dv.log_text()
            assert "it is ended" not in dv.log_text()
        assert (dv.dir / "a.dll").read_bytes() == b"new a"
        assert len(dv.wait_started(2)) == 2
    finally:
        dv.cleanup()


@pytest.mark.parametrize("damage", ["truncated", "a folder", "a dangling link"])
def test_a_damaged_journal_starts_no_mix_and_the_update_runs_again(tmp_path, server, damage):
    """A run killed in the middle of its commit, and its journal damaged before the next start:
    that start moves nothing, does not start the application on the mix and says so, never
    "nothing was changed"; a start against a good server then installs the release whole,
    although its version is recorded as applied."""
    if not HOOKS_UPDATER.exists():
        pytest.skip(f"{HOOKS_UPDATER} missing (make build-native)")
    release = CrashRelease(server, FAKE_APP.read_bytes())
    dv = Domvista(tmp_path, server, updater=HOOKS_UPDATER)
    try:
        dv.config("1.0")
        release.lay_out(dv.dir)
        marker = tmp_path / "paused"
        env = dict(dv.env, DESKTOP_UPDATER_TEST_PAUSE="commit:9", DESKTOP_UPDATER_TEST_PAUSED=str(marker))
        release.serve_killed_run("commit", 9)
        dv.start_app()
        proc = subprocess.Popen([str(dv.dir / "desktop-updater")], cwd=tmp_path, env=env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        release.wait_for_the_point("commit", 9, "/none", marker, proc, timeout=30, settle=0)
        proc.send_signal(signal.SIGKILL)
        proc.wait(10)
        journal = dv.dir / "Application/Updates/update-journal"
        (dv.dir / "Application/Updates/applied-version").write_text("2.0\n")  # a later record says so
        mixed = {k: v for k, v in tree(dv.dir).items() if not k.startswith("Application/Updates/update-journal")}
        assert mixed not in (release.expected_old, release.expected_new)
        text = journal.read_bytes()
        journal.unlink()
        if damage == "truncated":
            journal.write_bytes(text[:len(text) // 2])
        elif damage == "a folder":
            (journal / "inside").mkdir(parents=True)
        else:
            journal.symlink_to(tmp_path / "no-such-journal")

        release.serve_failed_check("/none")
        assert dv.run() == 0
        log = dv.log_text()
        # The journal goes or stays (whatever it is, never read through); nothing else moved.
        shutil.move(str(dv.dir / "Application/Updates"), str(tmp_path / "updates-aside"))
        after = tree(dv.dir)
        shutil.move(str(tmp_path / "updates-aside"), str(dv.dir / "Application/Updates"))
        assert after == {k: v for k, v in mixed.items() if not k.startswith("Application/Updates")}
        assert "may hold parts of two releases" in log and "is not started" in log
        assert "nothing was changed" not in log
        time.sleep(0.5)
        assert len(dv.started()) == 1  # only the one the test started, which the kill had ended

        release.serve_good_run()
        assert dv.run() == 0
        assert tree(dv.dir) == release.expected_new, dv.log_text()
        assert not (dv.dir / "Application/Updates/repair-pending").exists()
        assert len(dv.wait_started(2)) == 2
    finally:
        dv.cleanup()


def test_a_planted_journal_through_a_link_touches_nothing_outside(dv, server, tmp_path):
    """A journal that a local user planted, whose backup is a link to a folder outside: the
    start refuses it, moves nothing in or out, and does not start the application."""
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "precious").write_bytes(b"precious")
    (dv.dir / "a.dll").write_bytes(b"a")
    updates = dv.dir / "Application/Updates"
    updates.mkdir(parents=True)
    (updates / "backup").symlink_to(outside)
    (updates / "staging").symlink_to(outside)
    (updates / "update-journal").write_text(
        '{"state":"commit","id":"x","version":"9","stashes":[{"from":"a.dll","to":"Application/Updates/backup/f0"},'
        '{"from":"b.dll","to":"Application/Updates/backup/f1"}],"folders":[],"folderGuards":[],'
        '"places":[{"from":"Application/Updates/staging/precious","to":"b.dll"}],"unlinks":[]}')
    (updates / "update-journal.steps").write_text("x\n")
    dv.config("1.0")
    server.route("/check", "", status=404)
    assert dv.run() == 0
    assert sorted(p.name for p in outside.iterdir()) == ["precious"]
    assert (outside / "precious").read_bytes() == b"precious"
    assert (dv.dir / "a.dll").read_bytes() == b"a" and not (dv.dir / "b.dll").exists()
    assert "the journal was refused" in dv.log_text()
    time.sleep(0.5)
    assert dv.started() == []
