"""Shared pieces of the manifest, signature and digest end-to-end tests: the probe programs
built from tests/service/programs, and running them in a Wine prefix with a working folder
that holds the service log."""
import shutil
from pathlib import Path

from winetools import PROGRAMS, log_messages, to_windows_path

MANIFEST_PROBE = PROGRAMS / "manifest_probe.exe"
VERIFY_PROBE = PROGRAMS / "verify_probe.exe"
DIGEST_PROBE = PROGRAMS / "digest_probe.exe"

VERSION_PATH = "/pub/vextraplayer/update/current/sau/11/xml/version.xml"
PATCH_PATH = "/pub/vextraplayer/update/current/sau/11/xml/patch.xml"
PATCH_ROOT = "/pub/vextraplayer/update/current/sau/11/install/patch/"


def read_pairs(path):
    """key=value lines as a dict."""
    out = {}
    for line in Path(path).read_text(encoding="utf-8").splitlines():
        key, _, value = line.partition("=")
        out[key] = value
    return out


class WorkFolder:
    """A fresh working directory for one probe run, with the service log folder in it."""

    def __init__(self, root):
        self.path = Path(root)
        if self.path.exists():
            shutil.rmtree(self.path)
        (self.path / "Telmor" / "Vextra").mkdir(parents=True)

    @property
    def log(self):
        return self.path / "Telmor" / "Vextra" / "VextraInstall.log"

    def messages(self):
        return log_messages(self.log)

    def fetch_messages(self):
        """The messages from the first manifest fetch line (1630) on; what the settings
        loading wrote before it is not the fetch's."""
        msgs = [m for _, m in self.messages()]
        first = next((i for i, m in enumerate(msgs) if m.startswith("1630 ")), len(msgs))
        return msgs[first:]

    def fetch_codes(self):
        return [m.split(" ", 1)[0] for m in self.fetch_messages()]

    def codes(self):
        """The leading message code of every log line, in order."""
        return [m.split(" ", 1)[0] for _, m in self.messages()]

    @property
    def windows(self):
        return to_windows_path(self.path)


def write_config(prefix, **values):
    folder = prefix.vextra_system_folder
    folder.mkdir(parents=True, exist_ok=True)
    prefix.config_file.write_bytes("".join(f"{k}={v}\r\n" for k, v in values.items()).encode())
