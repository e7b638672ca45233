"""Throwaway Wine prefixes for end-to-end tests of the Windows programs.

Each WinePrefix is a copy of the template prefix that `make prefix` boots once. Wine's helper
processes inherit stdout and stderr, so nothing here ever reads Wine through a pipe: every
command writes to files. Exit codes are read through the harness's own launcher
(programs/vextra_run.exe), because Wine's own exit status is the program's exit code modulo
256, and because the launcher says whether the program started at all.

VEXTRA_E2E_ARCH chooses the build under test: win32 (default) is the shipped i686 program, run
under Wine's WoW64 by the 32-bit loader; win64 is its x86_64 twin. A 32-bit program sees the 32-bit
registry view (HKLM\\Software\\WOW6432Node from a 64-bit process) and reaches
C:\\windows\\system32 as windows/syswow64; the helpers below follow the program under test.
"""
import os
import re
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

from service_log import LOG_LINE, log_messages, read_log  # noqa: F401  (the harness's API)

ROOT = Path(__file__).resolve().parents[2]
BUILD64 = Path(os.environ.get("VEXTRA_BUILD64", ROOT / "build" / "win64"))
BUILD32 = Path(os.environ.get("VEXTRA_BUILD32", ROOT / "build" / "win32"))
TEMPLATE = Path(os.environ.get("VEXTRA_WINE_TEMPLATE", ROOT / "build" / "wineprefix-template"))
WINE64 = os.environ.get("WINE64", "/usr/lib/wine/wine64")
WINE32 = os.environ.get("WINE32", "/usr/lib/wine/wine")
WINESERVER = os.environ.get("WINESERVER", "/usr/lib/wine/wineserver")
ARCH = os.environ.get("VEXTRA_E2E_ARCH", "win32")
if ARCH not in ("win32", "win64"):
    raise RuntimeError(f"VEXTRA_E2E_ARCH={ARCH!r}: use win32 or win64")
BITS = 32 if ARCH == "win32" else 64
BUILD = BUILD32 if BITS == 32 else BUILD64
PROGRAMS = BUILD / "programs"
SERVICE_EXE = BUILD / "VextraPlayerUpdateService.exe"
LAUNCHER = PROGRAMS / "vextra_run.exe"


_refusal = []


def no_32bit_reason():
    """None when this machine runs 32-bit Windows programs (tools/probe-i386, as make test
    asks); otherwise the probe's one line, which a test that needs an i686 program skips with."""
    if not _refusal:
        probe = subprocess.run([str(ROOT / "tools" / "probe-i386")], stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        _refusal.append(None if probe.returncode == 0 else (probe.stderr.strip() or "tools/probe-i386 failed"))
    return _refusal[0]


def pe_bits(path):
    """32 for an i386 PE file, 64 for x86_64 (read from the PE header), None for anything else."""
    try:
        with open(path, "rb") as fh:
            head = fh.read(4096)
    except OSError:
        return None
    if head[:2] != b"MZ" or len(head) < 64:
        return None
    pe = int.from_bytes(head[60:64], "little")
    if head[pe:pe + 4] != b"PE\0\0":
        return None
    return {0x014C: 32, 0x8664: 64}.get(int.from_bytes(head[pe + 4:pe + 6], "little"))


def wine_loader(program):
    """The Wine loader for a Windows program: the 32-bit one for i686 programs (WoW64)."""
    return WINE32 if pe_bits(program) == 32 else WINE64


def build_of(bits):
    return BUILD32 if bits == 32 else BUILD64


def wine_env(prefix):
    env = {k: v for k, v in os.environ.items()
           if k.lower() not in ("http_proxy", "https_proxy", "no_proxy")}
    env.update(WINEPREFIX=str(prefix), WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    return env


def to_windows_path(path):
    """Wine maps the Unix root to drive Z:."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


class LauncherLost(RuntimeError):
    """A program was started but its exit code never came back."""


class WinePrefix:
    """bits: the registry view and system folder that the helpers follow (those of the program
    under test by default)."""

    def __init__(self, root=None, version=None, bits=BITS):
        if not (TEMPLATE / ".ready").exists():
            raise RuntimeError(f"no template prefix at {TEMPLATE}; run 'make prefix'")
        self._own_root = root is None
        self.root = Path(root or tempfile.mkdtemp(prefix="vextra-e2e."))
        self.path = self.root / "prefix"
        subprocess.run([str(ROOT / "tests/harness/copy-prefix"), str(TEMPLATE), str(self.path)],
                       check=True)
        self.env = wine_env(self.path)
        self.drive_c = self.path / "drive_c"
        self.windows = self.drive_c / "windows"
        self.system32 = self.windows / "system32"
        self.syswow64 = self.windows / "syswow64"
        self.bits = bits
        self._seq = 0
        self.start()
        if version:
            self.set_windows_version(version)

    # -- server ---------------------------------------------------------------
    def start(self):
        self._quiet([WINESERVER, "-p"])
        self._quiet([WINE64, "cmd", "/c", "exit"])

    def stop(self):
        self._quiet([WINESERVER, "-k"])
        self._quiet([WINESERVER, "-w"])

    def close(self):
        self.stop()
        if self._own_root:
            shutil.rmtree(self.root, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _quiet(self, argv, timeout=120):
        return subprocess.run(argv, env=self.env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=timeout).returncode

    def _scratch(self, name):
        self._seq += 1
        return self.root / f"{self._seq:04d}-{name}"

    # -- programs -------------------------------------------------------------
    def run(self, program, *args, cwd=None, timeout=120, launcher=None):
        """Runs a Windows program and returns its exact 32-bit exit code (signed). The launcher
        is the one of the program's own build (of the build under test for a Windows path)."""
        if launcher is None:
            bits = pe_bits(program) or self.bits
            launcher = build_of(bits) / "programs" / "vextra_run.exe"
            if not launcher.exists():
                launcher = LAUNCHER
        prog = program if re.match(r"^[A-Za-z]:\\", str(program)) else to_windows_path(program)
        line = " ".join([f'"{prog}"'] + [self._quote(a) for a in args])
        wcwd = ""
        if cwd is not None:
            wcwd = str(cwd) if re.match(r"^[A-Za-z]:\\", str(cwd)) else to_windows_path(cwd)
        for attempt in range(2):
            launched, code, said = self._launch(launcher, line, wcwd, timeout)
            if code is not None:
                return code
            # When the program never ran, running it again is sound; when it may have run,
            # only the caller can judge.
            if launched:
                break
        raise LauncherLost(f"no exit code from {program} {args} (program launched: {launched}; "
                           f"launcher and wine said: {said[-2000:] or 'nothing'})")

    def _launch(self, launcher, line, wcwd, timeout):
        """(program launched, exit code or None, what was said) of one run through the
        harness's launcher, which records whether the program started and how it ended."""
        request = self._scratch("run-request.txt")
        result = self._scratch("run-result.txt")
        request.write_bytes(f"{line}\n{wcwd}\n".encode("utf-8"))
        err = self._scratch("wine-output.txt")
        with open(err, "wb") as fh:
            subprocess.run([wine_loader(launcher), str(launcher), to_windows_path(request),
                            to_windows_path(result)], env=self.env, stdin=subprocess.DEVNULL,
                           stdout=fh, stderr=subprocess.STDOUT, timeout=timeout)
        said = result.read_text() if result.exists() else ""
        launched = code = None
        for word, _, value in (ln.partition(" ") for ln in said.splitlines()):
            if word == "launched":
                launched = True
            elif word == "exit":
                code = int(value)
        return bool(launched), code, (said + err.read_bytes().decode("utf-8", "replace")).strip()

    @staticmethod
    def _quote(arg):
        return f'"{arg}"' if (" " in arg or not arg) else arg

    def wine(self, *argv, timeout=120):
        """Runs a Wine built-in command (reg, sc, ...); returns (exit code mod 256, stdout)."""
        out = self._scratch("out.txt")
        with open(out, "wb") as fh:
            rc = subprocess.run([WINE64, *argv], env=self.env, stdin=subprocess.DEVNULL,
                                stdout=fh, stderr=subprocess.DEVNULL, timeout=timeout).returncode
        return rc, out.read_bytes().decode("utf-8", "replace")

    # -- registry -------------------------------------------------------------
    def reg_view(self, key, bits=None):
        """The `reg` option that reaches `key` as a program of `bits` (default: self.bits) sees
        it: HKLM\\Software has a 32-bit view of its own; the rest of the registry is shared."""
        bits = bits or self.bits
        shared = not re.match(r"^(HKLM|HKEY_LOCAL_MACHINE)\\software(\\|$)", key, re.I)
        # Wine's reg is a 64-bit program: without an option it works on the 64-bit view.
        return ["/reg:32"] if bits == 32 and not shared else []

    def reg_query(self, key, value, bits=None):
        """(type, text) of one registry value as Wine's own `reg query` prints it, or None."""
        rc, text = self.wine("reg", "query", key, "/v", value, *self.reg_view(key, bits))
        if rc != 0:
            return None
        for line in text.splitlines():
            parts = line.strip().split(None, 2)
            if len(parts) >= 2 and parts[0].lower() == value.lower() and parts[1].startswith("REG_"):
                return parts[1], (parts[2] if len(parts) > 2 else "")
        return None

    def reg_int(self, key, value, bits=None):
        got = self.reg_query(key, value, bits)
        return None if got is None else int(got[1], 0)

    def reg_add(self, key, value, kind, data, bits=None):
        # Under heavy load Wine was seen to fail a `reg add` once in a few hundred runs without
        # saying why; setting up a test must not fail for that, so it tries a few times.
        for attempt in range(3):
            rc, out = self.wine("reg", "add", key, "/v", value, "/t", kind, "/d", str(data), "/f",
                                *self.reg_view(key, bits))
            if rc == 0:
                return
            time.sleep(0.5 * (attempt + 1))
        raise AssertionError(f"reg add {key} {value} failed ({rc}): {out.strip()}")

    def reg_delete_key(self, key, bits=None):
        self.wine("reg", "delete", key, "/f", *self.reg_view(key, bits))

    def reg_export(self, key, path, bits=None):
        """`reg export` of one key to a Unix path; returns Wine's exit code."""
        rc, _ = self.wine("reg", "export", key, to_windows_path(path), "/y",
                          *self.reg_view(key, bits))
        return rc

    def reg_values(self, key, bits=None):
        """{name: value} of one key, or None when it cannot be exported: ints for REG_DWORD
        and REG_QWORD, text for strings. Read through `reg export`, because Wine's
        `reg query` prints "(null)" for REG_QWORD data."""
        out = self._scratch("export.reg")
        if self.reg_export(key, out, bits) != 0 or not out.exists():
            return None
        raw = out.read_bytes()
        text = raw.decode("utf-16") if raw[:2] in (b"\xff\xfe", b"\xfe\xff") else raw.decode()
        # Long hex data goes on over lines that end in a backslash.
        text = text.replace("\\\r\n", "").replace("\\\n", "")
        values = {}
        for line in text.splitlines():
            if not line.startswith('"') or '"=' not in line:
                continue
            name, data = line[1:].split('"=', 1)
            kind, colon, hexdata = data.partition(":")
            if kind == "dword":
                values[name] = int(hexdata, 16)
            elif kind in ("hex(b)", "hex(4)") and colon:
                values[name] = int.from_bytes(
                    bytes(int(b, 16) for b in hexdata.replace(" ", "").split(",") if b), "little")
            elif data.startswith('"'):
                values[name] = re.sub(r'\\(.)', r'\1', data[1:-1])
            else:
                values[name] = data
        return values

    def service_state(self, name):
        """(state number, state word, full `sc query` text) of a service; (None, None, text)
        when it does not exist."""
        rc, text = self.wine("sc", "query", name)
        for line in text.splitlines():
            if rc == 0 and line.strip().startswith("STATE"):
                number, word = (line.split(":", 1)[1].split() + ["?"])[:2]
                return int(number), word, text
        return None, None, text

    def write_config(self, values):
        """kvc.cfg holding one key=value line for each item of `values` (its folder made)."""
        self.vextra_system_folder.mkdir(parents=True, exist_ok=True)
        self.config_file.write_bytes("".join(f"{k}={v}\r\n" for k, v in values.items()).encode())

    def set_windows_version(self, version):
        """winxp64, win7, win8, win10 ...: takes effect at the next program start."""
        self.reg_add(r"HKCU\Software\Wine", "Version", "REG_SZ", version)

    # -- files ----------------------------------------------------------------
    @property
    def program_system32(self):
        """The folder the program under test reaches as C:\\windows\\system32 (a 32-bit
        program is redirected to SysWOW64)."""
        return self.syswow64 if self.bits == 32 else self.system32

    @property
    def vextra_system_folder(self):
        return self.program_system32 / "Telmor" / "Vextra"

    @property
    def config_file(self):
        return self.vextra_system_folder / "kvc.cfg"


def reg_qword(prefix, key, value):
    """A REG_QWORD value as an int, or None (see WinePrefix.reg_values)."""
    return (prefix.reg_values(key) or {}).get(value)


class WorkFolder:
    """A fresh working folder for program runs, with the service log's folder in it (the log
    is written relative to the working folder, and only where Telmor\\Vextra exists)."""

    def __init__(self, path):
        self.path = Path(path)
        if self.path.exists():
            shutil.rmtree(self.path)
        self.log.parent.mkdir(parents=True)

    @property
    def log(self):
        return self.path / "Telmor" / "Vextra" / "VextraInstall.log"

    @property
    def windows(self):
        return to_windows_path(self.path)

    def messages(self, skip=0):
        return log_messages(self.log, skip)
