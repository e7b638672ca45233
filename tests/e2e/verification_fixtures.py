"""Shared pieces of the manifest, signature and digest end-to-end tests: the probe programs
built from tests/service/programs and the working folder of a manifest fetch."""
from service_log import named, read_pairs  # noqa: F401  (read_pairs: the tests, bench)
from winetools import PROGRAMS, WorkFolder

MANIFEST_PROBE = PROGRAMS / "manifest_probe.exe"
VERIFY_PROBE = PROGRAMS / "verify_probe.exe"
DIGEST_PROBE = PROGRAMS / "digest_probe.exe"

VERSION_PATH = "/pub/vextraplayer/update/current/sau/11/xml/version.xml"
PATCH_PATH = "/pub/vextraplayer/update/current/sau/11/xml/patch.xml"
PATCH_ROOT = "/pub/vextraplayer/update/current/sau/11/install/patch/"


class FetchFolder(WorkFolder):
    """The working folder of one manifest probe run."""

    def fetch_messages(self):
        """The messages, codes by name, from the first manifest fetch line on; what the
        settings loading wrote before it is not the fetch's."""
        msgs = [named(m) for _, m in self.messages()]
        first = next((i for i, m in enumerate(msgs) if m.startswith("ManifestFetchStarts ")),
                     len(msgs))
        return msgs[first:]

    def fetch_names(self):
        return [m.split(" ", 1)[0] for m in self.fetch_messages()]
