"""The update path under Wine: the service registered with Wine's service control manager in
a throwaway prefix, an installed older player, and a published release served over HTTPS
(manifests) and HTTP (packages) on localhost.

Used by the end-to-end tests of the update cycle and by `make demo`. Fixed ports 443 and 80, so
everything here runs inside the private network namespace of `tests/harness/in-netns`.
"""
import hashlib
import subprocess
import time
from pathlib import Path

from pki import Pki, embedded_ca
from servers import http_server, https_server
from service_machine import (INSTALLER_NAME, PLAYER_KEYS, PROGRAM_FOLDER,  # noqa: F401
                             REGISTRY_STATE_KEY, SERVICE_NAME, InstallerRun, ProbeReport,
                             ServiceMachine)
from winetools import PROGRAMS, ROOT, to_windows_path

FAKE_INSTALLER = PROGRAMS / "vextra_fake_installer.exe"
# The service with its test hooks (transfer deadlines from a test-only registry key).
SERVICE_WITH_TEST_HOOKS = PROGRAMS / "VextraPlayerUpdateServiceTestHooks.exe"
TEST_HOOKS_KEY = r"HKLM\SOFTWARE\Telmora\VextraPlayerTestHooks"
PUBLISH = ROOT / "tools" / "vextra-publish"
RECORD_FILE = r"C:\vextra\installer-runs.txt"
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
        for server in (self.https, self.http):
            server.requests.clear()
            server.targets.clear()

    @property
    def requests(self):
        return [("https", r[1]) for r in self.https.requests] + \
               [("http", r[1]) for r in self.http.requests]


def sha256(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


__all__ = ["ServiceMachine", "Servers", "Signing", "publish", "make_fake_installer",
           "filetime_now", "sha256", "FILETIME_UNITS_PER_DAY", "INSTALLER_NAME",
           "PROGRAM_FOLDER", "to_windows_path"]
