"""Shared pieces of the manifest, signature and digest end-to-end tests: the probe programs
built from tests/service/programs and the working folder of a manifest fetch."""
from service_log import named, read_pairs  # noqa: F401  (read_pairs: the tests, bench)
from winetools import PROGRAMS, WorkFolder, to_windows_path

MANIFEST_PROBE = PROGRAMS / "manifest_probe.exe"
VERIFY_PROBE = PROGRAMS / "verify_probe.exe"
DIGEST_PROBE = PROGRAMS / "digest_probe.exe"

VERSION_PATH = "/pub/vextraplayer/update/current/sau/11/xml/version.xml"
PATCH_PATH = "/pub/vextraplayer/update/current/sau/11/xml/patch.xml"
PATCH_ROOT = "/pub/vextraplayer/update/current/sau/11/install/patch/"


def run_package_probe(prefix, probe, tmp_path, package, name, out_name=None):
    """Writes the package to <name>.z and runs the probe on it, its output named out_name
    (<name> unless given); returns (exit code, the pairs of the output's .info, its path)."""
    pkg = tmp_path / f"{name}.z"
    pkg.write_bytes(package)
    out = tmp_path / (out_name or name)
    rc = prefix.run(probe, to_windows_path(pkg), to_windows_path(out))
    return rc, read_pairs(str(out) + ".info"), out


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
