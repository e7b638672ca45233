"""One Wine prefix with the service program, for the end-to-end tests and `make demo`.

`ServiceMachine(signing)` is the service as the update cycle meets it: its program copied to
C:\\vextra\\bin and registered for demand start with Wine's service control manager, kvc.cfg
switching silent updating and verbose logging on, and the TLS root of `signing` trusted in this
prefix only. Wine's service control manager starts the service in C:\\windows, so its log is
there. `ServiceMachine(version=..., service=False)` is a bare prefix for the administration
commands, which run from a working folder (`work`) that holds their log.
"""
import re
import shutil
import time
from dataclasses import dataclass

from pki import trust_in_prefix
from service_log import code
from winetools import (PROGRAMS, SERVICE_EXE, LauncherLost, WinePrefix, WorkFolder, log_messages,
                       to_windows_path)

SERVICE_NAME = "OrvaneVextraPlayerUpdateSvc"
SERVICE_PROBE = PROGRAMS / "vextra_service_probe.exe"
# Writes raw bytes as a REG_SZ value (Wine's `reg` adds a terminator to every string).
RAW_STRING_VALUE = PROGRAMS / "raw_string_value.exe"
TASK_PROBE = PROGRAMS / "task_probe.exe"
TASK_NAME = "Orvane Vextra Player Updater"
REGISTRY_STATE_KEY = r"HKLM\SOFTWARE\Telmora\VextraPlayer"
PLAYER_KEYS = {"activex": r"HKLM\Software\Telmora\VextraPlayerActiveX",
               "plugin": r"HKLM\Software\Telmora\VextraPlayerPlugin"}
PROGRAM_FOLDER = r"C:\vextra\bin"
INSTALLER_NAME = "VextraPlayerInstaller.exe"
SERVICE_STOPPED = 1
# How often the waits below look again.
POLL_SECONDS = 0.2


def poll(predicate, timeout):
    """True as soon as predicate() is, False when `timeout` seconds have passed first."""
    deadline = time.monotonic() + timeout
    while True:
        if predicate():
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(POLL_SECONDS)


class ProbeReport:
    """What the service probe saw of one service run."""

    def __init__(self, text):
        self.text = text
        self.started = False
        self.statuses = []  # (state, accepted, checkpoint, wait hint, win32 exit code)
        self.control = None
        self.process_exited = False
        self.elapsed_ms = None  # from the start request to the end of the service process
        self.peak_bytes = None  # the service process's peak working set
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
            elif word == "elapsed":
                self.elapsed_ms = int(rest[0])
            elif word == "peak":
                self.peak_bytes = int(rest[0])

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


class ServiceMachine:
    """One Wine prefix with the service program: its log, configuration, registration, task,
    update state and the player it updates (see the module's description)."""

    def __init__(self, signing=None, version=None, config=None, register=True, service=True,
                 program=None):
        """program: the service build to register (default: the shipped program)."""
        self.prefix = WinePrefix(version=version)
        p = self.prefix
        self.work = WorkFolder(p.root / "work")
        self._log_seen = 0
        if not service:
            self.log_path = self.work.log
            return
        if signing is not None:
            trust_in_prefix(p, signing.tls_root)
        self.program_folder = p.drive_c / "vextra" / "bin"
        self.program_folder.mkdir(parents=True)
        shutil.copy2(program or SERVICE_EXE, self.program_folder / SERVICE_EXE.name)
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
        self.prefix.write_config(keys)

    def config_text(self):
        return self.prefix.config_file.read_bytes().decode("utf-8", "replace")

    def install_player(self, component, version, content, content64=None):
        """Registry record and player file of an installed component. For the 32-bit program
        (64-bit Windows) the 64-bit player is installed too: content64 in the real system32
        folder, named by PlayerPath in the 64-bit registry view, which the program reaches only
        with file system redirection switched off (the same path leads a 32-bit process to
        SysWOW64, where the 32-bit file is). The 64-bit file has a name of its own, so that
        neither the wrong registry view nor redirection left on finds it."""
        name = {"activex": "VextraPlayerAX.ocx", "plugin": "VextraPlayerPL.dll"}[component]
        name64 = {"activex": "VextraPlayerAX_64.ocx", "plugin": "VextraPlayerPL_64.dll"}[component]
        path = rf"C:\windows\system32\Vextra\{name}"
        folder = self.prefix.program_system32 / "Vextra"
        folder.mkdir(exist_ok=True)
        (folder / name).write_bytes(content)
        key = PLAYER_KEYS[component]
        self.prefix.reg_add(key, "Version", "REG_SZ", version)
        self.prefix.reg_add(key, "PlayerPath", "REG_SZ", path)
        if self.prefix.bits == 32 and content64 is not None:
            folder64 = self.prefix.system32 / "Vextra"
            folder64.mkdir(exist_ok=True)
            (folder64 / name64).write_bytes(content64)
            self.prefix.reg_add(key, "Version", "REG_SZ", version, bits=64)
            self.prefix.reg_add(key, "PlayerPath", "REG_SZ", rf"C:\windows\system32\Vextra\{name64}",
                                bits=64)
        return folder / name

    def set_player_value_bytes(self, component, name, data):
        """Stores raw bytes as a REG_SZ value of a component's record, in both registry views."""
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
        """Values of one registry key ({} when it cannot be read); see WinePrefix.reg_values."""
        return self.prefix.reg_values(key) or {}

    def values(self, key, bits=None):
        """Values of one registry key in the program's view (or that of `bits`), or None."""
        return self.prefix.reg_values(key, bits)

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
        number, _, text = self.prefix.service_state(SERVICE_NAME)
        return number, text

    def sc_state(self):
        """The service's state word in `sc query` ("STOPPED", "RUNNING" ...), or None when
        the service does not exist."""
        return self.prefix.service_state(SERVICE_NAME)[1]

    def wait_state(self, state, timeout=30):
        """True once the service is in `state` (None: gone), False when it never got there."""
        return poll(lambda: self.sc_state() == state, timeout)

    def start(self):
        """Asks the service control manager to start the service and returns at once."""
        self.prefix.wine("sc", "start", SERVICE_NAME)

    def wait_until(self, predicate, timeout=90, what="condition"):
        if not poll(predicate, timeout):
            raise AssertionError(f"gave up waiting for {what} after {timeout} s; log: {self.messages()}")

    def wait_stopped(self, timeout=90):
        """Waits until the dispatcher has returned (ServiceStopped) and the service control
        manager reports the service stopped."""
        def done():
            return self._dispatcher_returned() and self.query()[0] == SERVICE_STOPPED
        self.wait_until(done, timeout, "the service to stop")

    def run_once(self, stop_after_ms=None, stop_when_staged=None):
        """Starts the service through the service control manager (StartService from a probe,
        as the hourly task's process would have it started) and follows that one service run
        until its process has ended. Returns the log messages of this run; the probe's view
        of the run is left in self.probe. stop_after_ms: the probe sends a stop that long after
        the service runs; stop_when_staged: as soon as a staged download holds that many bytes."""
        self._log_seen = len(self.messages())
        out = self.prefix._scratch("probe.txt")
        args = [SERVICE_NAME, to_windows_path(out)]
        if stop_after_ms is not None:
            args += ["stop-after", str(stop_after_ms)]
        if stop_when_staged is not None:
            args += ["stop-when-staged", str(stop_when_staged),
                     *(to_windows_path(root) for root in self._temp_roots())]
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
            poll(self._dispatcher_returned, 10)
        return self.run_messages()

    def _dispatcher_returned(self):
        return str(code("ServiceStopped")) in (m for _, m in self.run_messages())

    def run_messages(self):
        return self.messages()[self._log_seen:]

    def messages(self):
        return log_messages(self.log_path)

    # -- administration commands -----------------------------------------------------
    def command(self, *args, exe=SERVICE_EXE):
        """Runs the program (or `exe`) from the working folder; returns its exit code."""
        return self.prefix.run(exe, *args, cwd=self.work.path)

    def job_file(self):
        """The Task Scheduler 1.0 file of the service's task."""
        return self.prefix.windows / "tasks" / f"{TASK_NAME}.job"

    def show_task(self):
        """What the task probe reads of the service's Task Scheduler 1.0 task, as a dict."""
        out_file = self.prefix._scratch("show.txt")
        bat = self.prefix._scratch("show.bat")
        bat.write_text(f'@"{to_windows_path(TASK_PROBE)}" show1 > "{to_windows_path(out_file)}"\r\n')
        self.prefix.wine("cmd", "/c", to_windows_path(bat))
        return dict(line.split("=", 1) for line in out_file.read_text().splitlines() if "=" in line)

    def _temp_roots(self):
        """The temporary folders of the prefix, where the service stages its downloads."""
        roots = [self.prefix.windows / "temp", *self.prefix.drive_c.glob("users/*/Temp"),
                 *self.prefix.drive_c.glob("users/*/AppData/Local/Temp")]
        return [root for root in roots if root.is_dir()]

    def staging_folders(self):
        """Staging folders left in the temporary folders of the prefix: GUID-named ones, and
        those named from a package's digest ("vpi-" and 64 hexadecimal characters)."""
        pattern = re.compile(r"^(\{[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\}|vpi-[0-9a-f]{64})$")
        return [d for root in self._temp_roots() for d in root.iterdir()
                if d.is_dir() and pattern.match(d.name)]

    def temp_roots(self):
        """The temporary folders of the prefix (where the service stages its downloads)."""
        return self._temp_roots()

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


