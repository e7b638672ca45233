"""The desktop half of `make demo`: desktop-updater brings a Domvista stand-in from release 2.0 to
2.1, from the demo's nginx site, and the demo tells what happened.

Release 2.1 changes one file (Domvista.Core.dll, served slowly so that the dialog can be caught
in the middle of it), removes one (Domvista.Legacy.dll), keeps one as it was (Domvista.Branding.pak:
listed with the same digest, so the updater never asks for it) and adds one in a new folder
(plugins/charts/Domvista.Charts.dll). tools/domvista-publish writes the list; nginx answers the
check with it and the Domvista-Version header.

The account is built from what happened, never from an expected order: the requests as nginx
logged them (with their times), the stand-in's own start log (one process id a line), the
moment the demo saw the first stand-in end, the folder before and after, and the updater's log.
The dialog is drawn on a virtual X screen of the demo's own (Xvfb) and taken from outside the
program by build/native/tests/updater/screen-grab. The updater is the native program, or the
Windows program under Wine where a Windows desktop build runs here and is built
(`choose_program`).
"""
import hashlib
import os
import shutil
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

OLD, NEW = "2.0", "2.1"
SLOW_FILE = "Domvista.Core.dll"
SLOW_RATE = 48 * 1024  # bytes per second nginx sends of the slow file
SLOW_SIZE = 384 * 1024  # about 8 s at that rate
# The dialog is taken when the slow file has arrived this far (bytes in its staging file).
GRAB_FROM, GRAB_TO = 0.35, 0.75
URL_PATH = "/domvista/update"
REMOVED = "Domvista.Legacy.dll"
NEW_FILE = "plugins/charts/Domvista.Charts.dll"
KEPT = "Domvista.Branding.pak"
# Files the stand-in and the updater write for themselves, not part of either release.
OWN_RECORDS = {"started.log", "closed.log", "asked.log", "desktop-updater.log"}


def pseudo_random(label, size):
    """Reproducible bytes that do not compress (so the slow download is as slow as its size)."""
    out = bytearray()
    counter = 0
    while len(out) < size:
        out += hashlib.sha256(f"{label}:{counter}".encode()).digest()
        counter += 1
    return bytes(out[:size])


RELEASE_OLD = {
    KEPT: b"Domvista branding, unchanged since 2.0\n" * 64,
    SLOW_FILE: b"Domvista core library, release 2.0\n" * 256,
    REMOVED: b"Domvista legacy import filters, release 2.0\n" * 32,
}
RELEASE_NEW = {
    KEPT: RELEASE_OLD[KEPT],
    SLOW_FILE: pseudo_random("Domvista core library, release 2.1", SLOW_SIZE),
    NEW_FILE: b"Domvista charts plug-in, new in 2.1\n" * 48,
}


def nginx_locations():
    """What the demo's nginx serves on port 80 for the desktop updater: the check answers with
    the published list and the version header; the changed library is sent slowly."""
    return f"""\
location ^~ /domvista/ {{
    location = {URL_PATH} {{
        default_type text/xml;
        add_header Domvista-Version "{NEW}";
    }}
    location = /domvista/{NEW}/{SLOW_FILE} {{
        limit_rate {SLOW_RATE // 1024}k;
    }}
}}
"""


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def snapshot(folder):
    """{relative path: SHA-256} of every file below `folder`."""
    return {p.relative_to(folder).as_posix(): sha256(p.read_bytes())
            for p in sorted(folder.rglob("*")) if p.is_file() and not p.is_symlink()}


class NativeProgram:
    """The native Linux build of the desktop updater and its stand-in application."""
    updater_name = "desktop-updater"

    def __init__(self, root):
        self.root = root
        build = root / "build" / "native"
        self.updater = build / "desktop-updater"
        self.stand_in = build / "tests" / "updater" / "fake-domvista"
        self.grabber = build / "tests" / "updater" / "screen-grab"

    def missing(self):
        return [p for p in (self.updater, self.stand_in, self.grabber) if not p.exists()]

    def describe(self, why):
        return f"desktop updater used: {rel(self.root, self.updater)}, the native Linux build ({why})"

    def folder(self, work, display):
        """Makes what the updater's folder needs around it, for programs that draw on the X
        screen `display`; returns where that folder goes."""
        return work / "Domvista"

    def start(self, program, env=None, **kwargs):
        return subprocess.Popen([str(program)], env=env, stdin=subprocess.DEVNULL, **kwargs)

    def updater_env(self, display, tmp):
        return x_env(display, tmp)

    def end(self, pids):
        """Ends the stand-ins still running (by the process ids of their start log)."""
        for pid in pids:
            try:
                os.kill(pid, signal.SIGTERM)
            except OSError:
                pass


class WindowsProgram(NativeProgram):
    """A Windows desktop build (`preset`) under Wine, in a throwaway prefix; the Domvista folder
    in its drive C:, drawn by Wine on the same virtual screen."""
    updater_name = "desktop-updater.exe"

    def __init__(self, root, preset):
        super().__init__(root)
        self.preset = preset
        build = root / "build" / preset
        self.updater = build / "desktop-updater.exe"
        self.stand_in = build / "tests" / "updater" / "fake-domvista.exe"
        self.prefix = None

    def describe(self, why):
        from winetools import pe_bits
        loader = "Wine's WoW64" if pe_bits(self.updater) == 32 else "wine64"
        return (f"desktop updater used: {rel(self.root, self.updater)}, the Windows program under "
                f"{loader} ({why})")

    def folder(self, work, display):
        from winetools import WinePrefix, pe_bits
        (work / "wine").mkdir(parents=True)
        self.prefix = WinePrefix(work / "wine", bits=pe_bits(self.updater))
        # Its programs draw on the virtual screen. Wine 8 takes the display from the prefix's
        # first programs: a prefix booted without one shows no window at all, so it is booted
        # again with the screen named.
        self.prefix.stop()
        self.prefix.env["DISPLAY"] = display
        self.prefix.start()
        return self.prefix.drive_c / "Domvista"

    def start(self, program, env=None, **kwargs):
        from winetools import wine_loader
        return subprocess.Popen([wine_loader(program), str(program)], env=env or self.prefix.env,
                                stdin=subprocess.DEVNULL, **kwargs)

    def updater_env(self, display, tmp):
        return dict(self.prefix.env)

    def end(self, pids):
        if self.prefix is not None:
            self.prefix.close()  # ends every Windows process of the prefix


def x_env(display, tmp):
    """The environment of a native Qt program on the X screen `display`, with no proxy and its
    temporary files (the updater's single-instance socket among them) in `tmp`."""
    env = {k: v for k, v in os.environ.items() if not k.lower().endswith("_proxy")}
    env.pop("WAYLAND_DISPLAY", None)
    env.update(DISPLAY=display, QT_QPA_PLATFORM="xcb", TMPDIR=str(tmp), XDG_RUNTIME_DIR=str(tmp))
    return env


def rel(root, path):
    return str(path).replace(str(root) + "/", "")


def choose_program(root):
    """The Windows program under Wine when a Windows desktop build runs here and is built
    (tools/desktop-targets --test: its toolchain is there), else the native program; with the
    one line that says which."""
    presets = subprocess.run([str(root / "tools" / "desktop-targets"), "--test"], capture_output=True,
                             text=True, stdin=subprocess.DEVNULL).stdout.split()
    native = NativeProgram(root)
    for preset in presets:
        program = WindowsProgram(root, preset)
        if not program.missing():
            return program, program.describe(f"the {preset} build, whose toolchain is here")
    if presets:
        return native, native.describe(f"the {presets[0]} build runs here but is not built")
    return native, native.describe("tools/desktop-targets --test names no Windows desktop build: "
                                   "none has its toolchain here")


class VirtualScreen:
    """An Xvfb screen of the demo's own, black behind the windows; ends with the demo."""

    def __init__(self, log):
        read, write = os.pipe()
        self.log = open(log, "wb")
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-screen", "0", "640x400x24", "-br", "-nolisten", "tcp"],
            pass_fds=(write,), stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT,
            preexec_fn=_die_with_parent)
        os.close(write)
        number = b""
        with os.fdopen(read, "rb") as pipe:
            while not number.endswith(b"\n"):
                piece = pipe.read(1)
                if not piece:
                    break
                number += piece
        if not number.strip().isdigit():
            self.close()
            raise RuntimeError(f"Xvfb did not start (see {log})")
        self.display = ":" + number.strip().decode()

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()


def _die_with_parent():
    import ctypes
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


class StandInFolder:
    """The updater's folder with Domvista 2.0 installed and its stand-in running."""

    def __init__(self, work, program, url):
        self.work = work
        self.program = program
        self.dir = None
        self.tmp = work / "tmp"
        self.url = url
        self.first = None
        self.first_ended = None  # Unix time the demo saw the first stand-in end
        self.restarted = None  # Unix time its second start line appeared

    def lay_out(self, display):
        shutil.rmtree(self.work, ignore_errors=True)
        self.tmp.mkdir(parents=True, mode=0o700)
        self.dir = self.program.folder(self.work, display)
        (self.dir / "Application" / "Config").mkdir(parents=True)
        for name, data in RELEASE_OLD.items():
            (self.dir / name).parent.mkdir(parents=True, exist_ok=True)
            (self.dir / name).write_bytes(data)
        (self.dir / "Application" / "Config" / "config.ini").write_text(
            f"[%General]\nupdate={self.url}\nversion={OLD}\n")
        shutil.copy2(self.program.updater, self.dir / self.program.updater_name)
        shutil.copy2(self.program.stand_in, self.dir / "domvista.exe")

    def started(self):
        log = self.dir / "started.log"
        return [int(x) for x in log.read_text().split()] if log.exists() else []

    def wait_started(self, count, timeout=20):
        end = time.monotonic() + timeout
        while len(self.started()) < count and time.monotonic() < end:
            time.sleep(0.02)
        return self.started()

    def start_stand_in(self):
        self.first = self.program.start(self.dir / "domvista.exe", cwd=self.dir,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if len(self.wait_started(1)) != 1:
            raise RuntimeError("the stand-in did not write its start line")

        def watch():
            self.first.wait()
            self.first_ended = time.time()
            while len(self.started()) < 2:
                time.sleep(0.02)
                if self.first_ended and time.time() - self.first_ended > 300:
                    return
            self.restarted = time.time()
        threading.Thread(target=watch, daemon=True).start()

    def close(self):
        self.program.end(self.started() if self.dir else [])
        if self.first is not None and self.first.poll() is None:
            self.first.terminate()
            self.first.wait(10)


class UpdaterRun:
    """One run of the updater on the virtual screen, with the dialog taken mid-way."""

    def __init__(self, folder, screen, shot):
        self.folder = folder
        self.screen = screen
        self.shot = shot
        self.began = self.ended = None
        self.grab = None  # (Unix time, bytes of the slow file staged, grabber's output)
        self.exit_code = None

    def run(self, timeout=180):
        env = self.folder.program.updater_env(self.screen.display, self.folder.tmp)
        grab_env = x_env(self.screen.display, self.folder.tmp)
        # A file with a digest downloads into its part (Updates/partial), the others into staging.
        staging = [self.folder.dir / "Application" / "Updates" / name for name in ("staging", "partial")]
        with open(self.folder.work / "desktop-updater-output.txt", "wb") as out:
            self.began = time.time()
            proc = self.folder.program.start(self.folder.dir / self.folder.program.updater_name,
                                             cwd=self.folder.work, env=env, stdout=out, stderr=subprocess.STDOUT)
            deadline = time.monotonic() + timeout
            while proc.poll() is None and time.monotonic() < deadline:
                if self.grab is None:
                    staged = self.slow_file_staged(staging, proc.pid)
                    if GRAB_FROM * SLOW_SIZE <= staged <= GRAB_TO * SLOW_SIZE:
                        self.take(grab_env, staged)
                time.sleep(0.05)
            if proc.poll() is None:
                proc.kill()
                proc.wait()
                raise RuntimeError(f"the updater did not end within {timeout} s")
            self.ended = time.time()
            self.exit_code = proc.returncode

    @staticmethod
    def slow_file_staged(folders, pid):
        """Bytes of the slow file received so far (it is the only large one): the files in the
        staging folder and in the folder of kept parts, and those the updater holds open there
        (on Linux a temporary file being written has no name until it is complete, so only the
        updater's open files show it)."""
        sizes = []
        for folder in folders:
            try:
                sizes += [p.stat().st_size for p in folder.iterdir() if p.is_file()]
            except OSError:
                pass
        try:
            for fd in Path(f"/proc/{pid}/fd").iterdir():
                try:
                    if any(os.readlink(fd).startswith(str(folder) + "/") for folder in folders):
                        sizes.append(fd.stat().st_size)
                except OSError:
                    continue
        except OSError:
            pass
        return max([s for s in sizes if s <= SLOW_SIZE] or [0])

    def take(self, env, staged):
        when = time.time()
        result = subprocess.run([str(self.folder.program.grabber), str(self.shot)], env=env,
                                capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL)
        if result.returncode != 0:
            raise RuntimeError("screen-grab failed: " + (result.stderr.strip() or result.stdout.strip()))
        self.grab = (when, staged, result.stdout.strip())


def publish(root, work, site):
    """Lays out release 2.1, serves its files below site/domvista/2.1 and writes its list with
    tools/domvista-publish to site/domvista/update; returns the command line and the list."""
    release = work / f"release-{NEW}"
    for name, data in RELEASE_NEW.items():
        (release / name).parent.mkdir(parents=True, exist_ok=True)
        (release / name).write_bytes(data)
    served = site / "domvista" / NEW
    shutil.rmtree(served, ignore_errors=True)
    shutil.copytree(release, served)
    out = site / "domvista" / "update"
    argv = [str(root / "tools" / "domvista-publish"), "--folder", str(release),
            "--base-url", f"http://localhost/domvista/{NEW}", "--version", NEW, "--out", str(out),
            "--remove", REMOVED]
    subprocess.run([sys.executable, *argv], check=True, stdin=subprocess.DEVNULL,
                   stdout=subprocess.PIPE, text=True)
    return argv, out.read_text()
