"""The update path under Wine: the service registered with Wine's service control manager in
a throwaway prefix, an installed older player, and a published release served over HTTPS
(manifests) and HTTP (packages) on localhost.

Used by the end-to-end tests of the update cycle and by `make demo`. Fixed ports 443 and 80, so
everything here runs inside the private network namespace of `tests/harness/in-netns`.
"""
import hashlib
import re
import shutil
import subprocess
import time
from dataclasses import dataclass
from pathlib import Path

from pki import Pki, embedded_ca, trust_in_prefix
from servers import http_server, https_server
from winetools import (BUILD64, ROOT, SERVICE_EXE, LauncherLost, WinePrefix, log_messages,
                       to_windows_path)

SERVICE_NAME = "OrvaneVextraPlayerUpdateSvc"
FAKE_INSTALLER = BUILD64 / "programs" / "vextra_fake_installer.exe"
SERVICE_PROBE = BUILD64 / "programs" / "vextra_service_probe.exe"
RAW_STRING_VALUE = BUILD64 / "programs" / "raw_string_value.exe"
PUBLISH = ROOT / "tools" / "vextra-publish"
REGISTRY_STATE_KEY = r"HKLM\SOFTWARE\Telmora\VextraPlayer"
PLAYER_KEYS = {"activex": r"HKLM\Software\Telmora\VextraPlayerActiveX",
               "plugin": r"HKLM\Software\Telmora\VextraPlayerPlugin"}
PROGRAM_FOLDER = r"C:\vextra\bin"
RECORD_FILE = r"C:\vextra\installer-runs.txt"
INSTALLER_NAME = "VextraPlayerInstaller.exe"
FILETIME_UNITS_PER_DAY = 864_000_000_000
MAGIC = b"VXFAKE01"


def filetime_now():
    """The current UTC time in FILETIME units (100 ns since 1601-01-01)."""
    return int(time.time() * 10_000_000) + 116_444_736_000_000_000


def make_fake_installer(out, label, component=None, version=None, player_file_text=None,
                        record=RECORD_FILE):
    """A copy of the test installer whose trailer says what it records and installs."""
    lines = [f"label={label}", f"record={record}"]
    if component:
        lines.append("component=" + {"activex": "ActiveX", "plugin": "Plugin"}[component])
    if version:
        lines.append(f"version={version}")
    if player_file_text is not None:
        lines.append(f"player_file_text={player_file_text}")
    payload = ("\n".join(lines) + "\n").encode()
    out = Path(out)
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_bytes(FAKE_INSTALLER.read_bytes() + payload + MAGIC + b"%08x" % len(payload))
    return out


class ProbeReport:
    """What the service probe saw of one service run."""

    def __init__(self, text):
        self.text = text
        self.started = False
        self.statuses = []  # (state, accepted, checkpoint, wait hint, win32 exit code)
        self.control = None
        self.process_exited = False
        for line in text.splitlines():
            word, *rest = line.split()
            if word == "start":
                self.started = rest[0] == "1"
            elif word == "status":
                self.statuses.append(tuple(int(x) for x in rest))
            elif word == "control":
                self.control = tuple(int(x) for x in rest)
            elif word == "process":
                self.process_exited = int(rest[0]) != 0 and rest[1] == "1"

    @property
    def states(self):
        return [s[0] for s in self.statuses]

    @property
    def stopped(self):
        return bool(self.statuses) and self.statuses[-1][0] == 1

    @property
    def finished(self):
        """The probe wrote its last line (the service process it followed)."""
        return any(line.startswith("process ") for line in self.text.splitlines())


@dataclass
class InstallerRun:
    label: str
    module: str
    command_line: str
    cwd: str


class Signing:
    """The release signing chain under the build's development CA, and the TLS certificates."""

    def __init__(self, folder):
        pki = Pki(folder)
        self.ca = embedded_ca()
        self.intermediate = pki.issue(self.ca, "Vextra Release Intermediate", "ca")
        self.signer = pki.issue(self.intermediate, "Vextra Release Signing")
        self.tls_root = pki.new_ca("Vextra Test TLS Root")
        self.server = pki.server_certificate(self.tls_root)


def publish(out, signing, activex, plugin, patches=(), check_frequency=1, extra=()):
    """Runs the publisher tool. activex/plugin: (version, installer); patches: argument lists."""
    argv = ["/usr/bin/python3", str(PUBLISH), "--quiet", "--out", str(out),
            "--signer-cert", str(signing.signer.cert), "--signer-key", str(signing.signer.key),
            "--chain", str(signing.intermediate.cert), "--check-frequency", str(check_frequency),
            "--activex", activex[0], str(activex[1]), "--plugin", plugin[0], str(plugin[1])]
    for p in patches:
        argv += ["--patch", *map(str, p)]
    argv += list(extra)
    subprocess.run(argv, check=True)
    return Path(out)


class Servers:
    """HTTPS manifests on localhost:443 and HTTP packages on localhost:80, both from one folder."""

    def __init__(self, root, signing):
        self.https = https_server(root, signing.server)
        self.http = http_server(root)

    def start(self):
        self.https.start()
        self.http.start()
        return self

    def stop(self):
        self.https.stop()
        self.http.stop()

    def serve(self, root):
        self.https.root = Path(root)
        self.http.root = Path(root)
        self.https.mode = self.http.mode = "files"
        self.https.requests.clear()
        self.http.requests.clear()

    @property
    def requests(self):
        return [("https", r[1]) for r in self.https.requests] + \
               [("http", r[1]) for r in self.http.requests]


class ServiceMachine:
    """One Wine prefix with the service registered, its configuration and a player."""

    def __init__(self, signing, version=None, config=None, register=True):
        self.prefix = WinePrefix(version=version)
        p = self.prefix
        trust_in_prefix(p, signing.tls_root)
        self.program_folder = p.drive_c / "vextra" / "bin"
        self.program_folder.mkdir(parents=True)
        shutil.copy2(SERVICE_EXE, self.program_folder / SERVICE_EXE.name)
        self.program = PROGRAM_FOLDER + "\\" + SERVICE_EXE.name
        # The service runs in C:\windows under Wine: its log goes there; kvc.cfg is in system32.
        self.log_path = p.windows / "Telmor" / "Vextra" / "VextraInstall.log"
        self.log_path.parent.mkdir(parents=True, exist_ok=True)
        p.vextra_system_folder.mkdir(parents=True, exist_ok=True)
        self.installer_path = p.windows / INSTALLER_NAME
        self.record_path = p.drive_c / "vextra" / "installer-runs.txt"
        self.write_config(config if config is not None else {
            "SilentAutoUpdateEnable": "1", "SilentAutoUpdateVerboseLogging": "1",
            "SilentAutoUpdateServerDomain": "localhost"})
        self._log_seen = 0
        if register:
            self.register_with_sc()

    def register_with_sc(self):
        """Registers the service for demand start with Wine's own `sc create`."""
        rc, _ = self.prefix.wine("sc", "create", SERVICE_NAME, "binpath=", self.program,
                                 "start=", "demand")
        assert rc == 0, "sc create failed"

    def is_registered(self):
        return self.query()[0] is not None

    def close(self):
        self.prefix.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # -- configuration, player, state -------------------------------------------------
    def write_config(self, keys):
        text = "".join(f"{k}={v}\r\n" for k, v in keys.items())
        self.prefix.config_file.write_bytes(text.encode())

    def config_text(self):
        return self.prefix.config_file.read_bytes().decode("utf-8", "replace")

    def install_player(self, component, version, content):
        """Registry record and player file of an installed component."""
        name = {"activex": "VextraPlayerAX.ocx", "plugin": "VextraPlayerPL.dll"}[component]
        folder = self.prefix.system32 / "Vextra"
        folder.mkdir(exist_ok=True)
        (folder / name).write_bytes(content)
        key = PLAYER_KEYS[component]
        self.prefix.reg_add(key, "Version", "REG_SZ", version)
        self.prefix.reg_add(key, "PlayerPath", "REG_SZ", rf"C:\windows\system32\Vextra\{name}")
        return folder / name

    def set_player_value_bytes(self, component, name, data):
        """Stores raw bytes as a REG_SZ value of a component's record, in both registry views
        (Wine's `reg` adds a terminator to every string it writes)."""
        key = PLAYER_KEYS[component].split("\\", 1)[1]
        rc = self.prefix.run(RAW_STRING_VALUE, key, name, data.hex())
        assert rc == 0, f"writing {name} of {component} failed ({rc})"

    def player_version(self, component):
        got = self.prefix.reg_query(PLAYER_KEYS[component], "Version")
        return got[1] if got else None

    def state(self):
        """The three registry values of the update state (None where absent)."""
        values = self.export_key(REGISTRY_STATE_KEY)
        return {v: values.get(v) for v in ("LastUpdateCheck", "CheckFrequency", "UpdateAttempts")}

    def export_key(self, key):
        """Integer values of one registry key, read through `reg export` (Wine's `reg query`
        does not print REG_QWORD data)."""
        out = self.prefix._scratch("export.reg")
        rc, _ = self.prefix.wine("reg", "export", key, to_windows_path(out), "/y")
        if rc != 0 or not out.exists():
            return {}
        raw = out.read_bytes()
        text = raw.decode("utf-16") if raw[:2] in (b"\xff\xfe", b"\xfe\xff") else raw.decode()
        text = text.replace("\\\r\n", "").replace("\\\n", "")
        values = {}
        for line in text.splitlines():
            m = re.match(r'^"([^"]+)"=(dword|hex\(b\)|hex\(4\)):(.*)$', line.strip().replace(" ", ""))
            if not m:
                continue
            name, kind, data = m.groups()
            if kind == "dword":
                values[name] = int(data, 16)
            else:
                values[name] = int.from_bytes(bytes(int(b, 16) for b in data.split(",") if b), "little")
        return values

    def set_state(self, last=None, frequency=None, attempts=None):
        if last is not None:
            self.prefix.reg_add(REGISTRY_STATE_KEY, "LastUpdateCheck", "REG_QWORD", last)
        if frequency is not None:
            self.prefix.reg_add(REGISTRY_STATE_KEY, "CheckFrequency", "REG_DWORD", frequency)
        if attempts is not None:
            self.prefix.reg_add(REGISTRY_STATE_KEY, "UpdateAttempts", "REG_DWORD", attempts)

    # -- the service --------------------------------------------------------------
    def query(self):
        """(state number, full `sc query` text) of the service."""
        _, text = self.prefix.wine("sc", "query", SERVICE_NAME)
        for line in text.splitlines():
            if line.strip().startswith("STATE"):
                return int(line.split(":", 1)[1].split()[0]), text
        return None, text

    def start(self):
        """Asks the service control manager to start the service and returns at once."""
        self.prefix.wine("sc", "start", SERVICE_NAME)

    def wait_until(self, predicate, timeout=90, what="condition"):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if predicate():
                return
            time.sleep(0.2)
        raise AssertionError(f"gave up waiting for {what} after {timeout} s; log: {self.messages()}")

    def wait_stopped(self, timeout=90):
        """Waits until the dispatcher has returned (1620) and the SCM reports the service stopped."""
        def done():
            return any(m == "1620" for _, m in self.messages()[self._log_seen:]) and \
                self.query()[0] == 1
        self.wait_until(done, timeout, "the service to stop")

    def run_once(self, stop_after_ms=None):
        """Starts the service through the service control manager (StartService from a probe,
        as the hourly task's process would have it started) and follows that one service run
        until its process has ended. Returns the log messages of this run; the probe's view
        of the run is left in self.probe."""
        self._log_seen = len(self.messages())
        out = self.prefix._scratch("probe.txt")
        args = [SERVICE_NAME, to_windows_path(out)]
        if stop_after_ms is not None:
            args += ["stop-after", str(stop_after_ms)]
        try:
            self.prefix.run(SERVICE_PROBE, *args, timeout=240)
        except LauncherLost:
            # The probe's exit code is not needed: a probe that wrote its whole report has
            # seen the run through, even if its code was lost on the way back.
            if not ProbeReport(out.read_text() if out.exists() else "").finished:
                raise
        self.probe = ProbeReport(out.read_text() if out.exists() else "")
        assert self.probe.started, f"the service did not start: {self.probe.text}"
        assert self.probe.stopped, f"the service did not stop: {self.probe.text}"
        if not self.probe.process_exited:
            # The run was over before the probe saw its process: let the last lines land.
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline and not any(
                    m == "1620" for _, m in self.run_messages()):
                time.sleep(0.2)
        return self.run_messages()

    def run_messages(self):
        return self.messages()[self._log_seen:]

    def messages(self):
        return log_messages(self.log_path)

    def staging_folders(self):
        """GUID-named folders left in the temporary folders of the prefix."""
        pattern = re.compile(r"^\{[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\}$")
        roots = [self.prefix.windows / "temp", *self.prefix.drive_c.glob("users/*/Temp"),
                 *self.prefix.drive_c.glob("users/*/AppData/Local/Temp")]
        return [d for root in roots if root.is_dir() for d in root.iterdir()
                if d.is_dir() and pattern.match(d.name)]

    # -- the installer ------------------------------------------------------------------
    def installer_runs(self):
        if not self.record_path.exists():
            return []
        runs = []
        for line in self.record_path.read_text(encoding="utf-8").splitlines():
            label, module, command_line, cwd = line.split("\t")
            runs.append(InstallerRun(label, module, command_line, cwd))
        return runs

    def wait_installer_runs(self, count, timeout=60):
        self.wait_until(lambda: len(self.installer_runs()) >= count, timeout, "the installer")
        return self.installer_runs()


def codes(messages):
    """The message codes of (level, message) pairs, with their details, as 'level code ...'."""
    return [f"{level} {message}" for level, message in messages]


def cycle_codes(messages):
    """Just the numeric codes, in order."""
    out = []
    for _, message in messages:
        head = message.split(" ", 1)[0]
        if head.isdigit():
            out.append(int(head))
    return out


def sha256(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


__all__ = ["ServiceMachine", "Servers", "Signing", "publish", "make_fake_installer", "codes",
           "cycle_codes", "filetime_now", "sha256", "FILETIME_UNITS_PER_DAY", "INSTALLER_NAME",
           "PROGRAM_FOLDER", "to_windows_path"]
