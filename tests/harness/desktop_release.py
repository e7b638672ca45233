"""Desktop releases for the end-to-end tests: a release laid out as files, served by a loopback
server (`servers.http_server`), and its file list written and signed by the publisher's own tool,
`tools/domvista-publish`, as a publisher would. Used by the tests of the native and the Windows
desktop updater alike."""
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
PUBLISH = ROOT / "tools" / "domvista-publish"


def lay_out(folder, files):
    """Writes `files` (relative name -> bytes) below `folder`."""
    for name, data in files.items():
        (folder / name).parent.mkdir(parents=True, exist_ok=True)
        (folder / name).write_bytes(data)


def publish(tmp_path, server, version, files, key, removals=()):
    """Lays out release `version` in tmp_path, serves its files under /<version>/, and writes
    its list signed with `key` (removing each of `removals`); returns (list bytes, signature)."""
    release = tmp_path / f"release-{version}"
    lay_out(release, files)
    for name, data in files.items():
        server.route(f"/{version}/{name}", data)
    out = tmp_path / f"list-{version}.xml"
    argv = [sys.executable, str(PUBLISH), "--folder", str(release), "--base-url", server.url(f"/{version}"),
            "--version", version, "--key", str(key), "--out", str(out)]
    for name in removals:
        argv += ["--remove", name]
    result = subprocess.run(argv, capture_output=True, text=True, check=True)
    return out.read_bytes(), result.stdout.strip()


def publish_with_deltas(tmp_path, server, old, new, key):
    """Release 2.1 (`new`) with its signed list carrying deltas against release 2.0 (`old`, the
    publisher's --previous); serves the files under /2.1 and the deltas under /deltas. Returns
    (list bytes, signature)."""
    lay_out(tmp_path / "release-2.0", old)
    lay_out(tmp_path / "release-2.1", new)
    for name, data in new.items():
        server.route(f"/2.1/{name}", data)
    out, deltas = tmp_path / "list-2.1.xml", tmp_path / "deltas"
    result = subprocess.run([sys.executable, str(PUBLISH), "--folder", str(tmp_path / "release-2.1"),
                             "--base-url", server.url("/2.1"), "--version", "2.1", "--key", str(key),
                             "--out", str(out), "--previous", str(tmp_path / "release-2.0"),
                             "--deltas", str(deltas), "--delta-base-url", server.url("/deltas")],
                            capture_output=True, text=True, check=True)
    for path in deltas.rglob("*.zst"):
        server.route("/deltas/" + path.relative_to(deltas).as_posix(), path.read_bytes())
    return out.read_bytes(), result.stdout.strip()
