"""Fetching version.xml and patch.xml over HTTPS from a real server on localhost:443 (inside the
private network namespace), with the server certificate trusted only in the test's prefix."""
import hashlib
import threading

import pytest

from pki import Pki, trust_in_prefix
from servers import NOT_FOUND_PAGE, https_server, in_private_namespace
from service_log import named_messages
from verification_fixtures import (MANIFEST_PROBE, PATCH_PATH, PATCH_ROOT, VERSION_PATH,
                                   FetchFolder, read_pairs)
from winetools import WinePrefix, to_windows_path

pytestmark = pytest.mark.skipif(not in_private_namespace(),
                                reason="needs the private network namespace (make test-e2e)")

VERSION_XML = """<?xml version="1.0" encoding="utf-8"?>
<version>
  <ActiveX major="11" minor="2" buildMajor="202" buildMinor="235"/>
  <Plugin major="11" minor="3" buildMajor="300" buildMinor="12"/>
  <SAUConfig checkFrequency="2"/>
</version>
"""

AX_KEY = r"HKLM\Software\Telmora\VextraPlayerActiveX"
PL_KEY = r"HKLM\Software\Telmora\VextraPlayerPlugin"


@pytest.fixture(scope="module")
def pki(tmp_path_factory):
    p = Pki(tmp_path_factory.mktemp("pki"))
    root = p.new_ca("Vextra Test TLS Root")
    return p, root, p.server_certificate(root)


@pytest.fixture(scope="module")
def prefix(pki):
    _, root, _ = pki
    with WinePrefix() as pre:
        trust_in_prefix(pre, root)
        pre.write_config({"SilentAutoUpdateServerDomain": "localhost",
                          "SilentAutoUpdateVerboseLogging": 1})
        yield pre


@pytest.fixture
def server(pki, tmp_path):
    _, _, cert = pki
    with https_server(tmp_path / "www", cert) as srv:
        yield srv


def fetch(prefix, tmp_path, mode="version"):
    work = FetchFolder(tmp_path / "work")
    rc = prefix.run(MANIFEST_PROBE, mode, cwd=work.path)
    return rc, read_pairs(work.path / "probe-result.txt"), work


def test_good_version_manifest_parses_into_the_records(prefix, server, tmp_path):
    server.put(VERSION_PATH, VERSION_XML)
    rc, result, work = fetch(prefix, tmp_path)
    assert rc == 0
    assert result["host"] == "localhost"
    assert result["version"] == "1"
    assert result["activeX"] == "11.2.202.235" and result["activeX.component"] == "1"
    assert result["plugin"] == "11.3.300.12" and result["plugin.component"] == "2"
    assert result["checkFrequency"] == "2"
    assert result["activeX.patchApplies"] == "0" and result["activeX.patchPath"] == ""
    assert ("info", "ManifestFetchStarts " + VERSION_PATH) in named_messages(work.messages())
    assert work.fetch_names() == ["ManifestFetchStarts"]
    method, path, headers = server.requests[-1]
    assert (method, path) == ("GET", VERSION_PATH)
    assert headers.get("User-Agent") == "Get Vextra Player version xml/1.0"
    assert headers.get("Host") == "localhost"


def test_body_delivered_in_several_passes_is_read_whole(prefix, server, tmp_path):
    padding = "<!-- " + "x" * 4000 + " -->\n"
    server.put(VERSION_PATH, padding + VERSION_XML.replace("<SAUConfig", padding + "<SAUConfig"))
    server.mode = "chunked"
    server.chunk_size = 97
    rc, result, work = fetch(prefix, tmp_path)
    assert rc == 0
    assert result["plugin"] == "11.3.300.12"
    assert result["checkFrequency"] == "2"


OTHER_PATH = "/pub/vextraplayer/update/current/sau/11/xml/elsewhere.xml"

# (case, route of the version manifest's path, the refusal logged): only a 200 without
# Content-Range is a manifest; nothing else reaches the parser, and a redirect is never
# followed (its target holds a valid manifest). An empty 200 is parsed as the empty document it
# is. Each failure then closes as a failed parse (1409), the code administrators' tools read.
MANIFEST_REPLIES = [
    ("404-page", dict(body=NOT_FOUND_PAGE, status=404), "ManifestHttpStatusRefused 404"),
    ("500-with-manifest", dict(body=VERSION_XML, status=500), "ManifestHttpStatusRefused 500"),
    ("302-elsewhere", dict(status=302, headers={"Location": "https://localhost" + OTHER_PATH}),
     "ManifestHttpStatusRefused 302"),
    ("206-partial", dict(body=VERSION_XML, status=206,
                         headers={"Content-Range": f"bytes 0-{len(VERSION_XML) - 1}/{len(VERSION_XML)}"}),
     "ManifestPartialContentRefused 206"),
    ("200-with-content-range", dict(body=VERSION_XML, headers={
        "Content-Range": f"bytes 0-{len(VERSION_XML) - 1}/{len(VERSION_XML)}"}),
     "ManifestPartialContentRefused 200"),
    ("200-empty", dict(body=b""), "VersionManifestNoVersionElement"),
]


@pytest.mark.parametrize("case,route,refusal", MANIFEST_REPLIES, ids=[r[0] for r in MANIFEST_REPLIES])
def test_only_a_whole_200_reply_is_a_manifest(prefix, server, tmp_path, case, route, refusal):
    server.put(OTHER_PATH, VERSION_XML)
    server.route(VERSION_PATH, **route)
    rc, result, work = fetch(prefix, tmp_path)
    assert rc == 1
    assert result["activeX"] == "absent" and result["checkFrequency"] == "absent"
    assert work.fetch_messages() == ["ManifestFetchStarts " + VERSION_PATH, refusal,
                                     "VersionManifestParseFailed"]
    assert server.paths() == [VERSION_PATH], "nothing but the manifest was asked for"


def test_unreachable_server_logs_the_cascade(prefix, tmp_path):
    # Nothing listens on localhost:443 here.
    rc, result, work = fetch(prefix, tmp_path)
    assert rc == 1
    assert result["version"] == "0" and result["activeX"] == "absent"
    msgs = work.fetch_messages()
    assert msgs[0] == "ManifestFetchStarts " + VERSION_PATH
    codes = [m.split(" ")[0] for m in msgs]
    assert codes == ["ManifestFetchStarts", "ManifestSendFailed", "ManifestReceiveFailed",
                     "VersionManifestNoResponse"]
    error = msgs[1].split(" ")[1]
    # The failed send's error, carried on.
    assert error != "0" and msgs[2] == "ManifestReceiveFailed " + error
    assert msgs[3] == "VersionManifestNoResponse"


def test_dropped_connection_gives_no_response(prefix, server, tmp_path):
    server.put(VERSION_PATH, VERSION_XML)
    server.mode = "drop"
    rc, result, work = fetch(prefix, tmp_path)
    assert rc == 1
    codes = work.fetch_names()
    assert codes[0] == "ManifestFetchStarts" and codes[-1] == "VersionManifestNoResponse"
    assert "ManifestReceiveFailed" in codes
    assert not {"VersionManifestParseFailed", "VersionManifestNoVersionElement",
                "VersionManifestNotWellFormed"} & set(codes)


def test_untrusted_server_certificate_fails_without_parsing(prefix, tmp_path):
    other = Pki(tmp_path / "other")
    stranger = other.new_ca("Untrusted Test Root")
    cert = other.server_certificate(stranger)
    with https_server(tmp_path / "www", cert) as srv:
        srv.put(VERSION_PATH, VERSION_XML)
        rc, result, work = fetch(prefix, tmp_path)
        assert srv.requests == []  # the request never got past the handshake
    assert rc == 1
    assert result["activeX"] == "absent"
    codes = work.fetch_names()
    assert codes == ["ManifestFetchStarts", "ManifestSendFailed", "ManifestReceiveFailed",
                     "VersionManifestNoResponse"]
    # Wine reports an untrusted chain as 12157 (Windows: 12175).
    assert work.fetch_messages()[1].split(" ")[1] in ("12157", "12175")


def _install_player(prefix, key, path, data, version="11.2.202.228"):
    path.write_bytes(data)
    prefix.reg_add(key, "Version", "REG_SZ", version)
    prefix.reg_add(key, "isScriptDebugger", "REG_DWORD", 0)
    prefix.reg_add(key, "PlayerPath", "REG_SZ", to_windows_path(path))
    return hashlib.sha256(data).hexdigest()


def test_patch_manifest_first_matching_entry_wins(prefix, server, tmp_path):
    players = tmp_path / "players"
    players.mkdir()
    ax = _install_player(prefix, AX_KEY, players / "Vextra_ax.ocx", b"activex player \x00\x01" * 999)
    pl = _install_player(prefix, PL_KEY, players / "Vextra_pl.dll", b"plugin player" * 12345)
    wrong = hashlib.sha256(b"another build").hexdigest()
    patch_xml = f"""<?xml version="1.0"?>
<patch><ActiveX hash32="{wrong}" hash64="{wrong}" path="ax-from-other"/>
       <Plugin hash32="{wrong}" hash64="{wrong}" path="pl-from-other"/></patch>
<patch><ActiveX hash32="{ax.upper()}" hash64="{wrong}" path="ax-upper-case"/>
       <Plugin hash32="{pl}" hash64="{wrong}" path="11.3.300.12/pl-from-228"/></patch>
<patch><ActiveX hash32="{ax}" hash64="{wrong}" path="11.2.202.235/ax-from-228"/>
       <Plugin hash32="{pl}" hash64="{wrong}" path="pl-later-match"/></patch>
<patch><ActiveX hash32="{ax}" hash64="{wrong}" path="ax-later-match"/></patch>
"""
    server.put(VERSION_PATH, VERSION_XML)
    server.put(PATCH_PATH, patch_xml)
    try:
        rc, result, work = fetch(prefix, tmp_path, "both")
    finally:
        prefix.reg_delete_key(AX_KEY)
        prefix.reg_delete_key(PL_KEY)
    assert rc == 0
    assert result["patch"] == "1"
    assert result["activeX.patchApplies"] == "1"
    assert result["activeX.patchPath"] == PATCH_ROOT + "11.2.202.235/ax-from-228/patch_all_win_ax_sgn.z"
    assert result["plugin.patchApplies"] == "1"
    assert result["plugin.patchPath"] == PATCH_ROOT + "11.3.300.12/pl-from-228/patch_all_win_pl_sgn.z"
    assert [p for _, p, _ in server.requests] == [VERSION_PATH, PATCH_PATH]
    assert ("info", "ManifestFetchStarts " + PATCH_PATH) in named_messages(work.messages())
    assert not [m for lvl, m in work.messages() if lvl != "info"]


def test_missing_patch_manifest_fails_on_its_status(prefix, server, tmp_path):
    # version.xml is served; patch.xml is not: its 404 page is not parsed.
    server.put(VERSION_PATH, VERSION_XML)
    rc, result, work = fetch(prefix, tmp_path, "both")
    assert rc == 1 and result["version"] == "1" and result["patch"] == "0"
    assert work.fetch_messages()[1:] == ["ManifestFetchStarts " + PATCH_PATH,
                                         "ManifestHttpStatusRefused 404", "PatchManifestParseFailed"]
    assert result["activeX.patchApplies"] == "0"


@pytest.mark.parametrize("after, ending", [
    # No response: the cascade ends in PatchManifestNoResponse.
    ("drop", ["ManifestReceiveFailed", "PatchManifestNoResponse"]),
    # An empty 200 is the empty document (no "patch" element); a 404 page is never parsed.
    # Both close as a failed parse.
    ("empty", ["PatchManifestNoPatchElement", "PatchManifestParseFailed"]),
    ("404", ["ManifestHttpStatusRefused", "PatchManifestParseFailed"]),
])
def test_patch_fetch_failures(prefix, tmp_path, pki, after, ending):
    """The version manifest is served; the patch manifest request then meets `after`."""
    _, _, cert = pki
    with https_server(tmp_path / "www", cert) as srv:
        srv.put(VERSION_PATH, VERSION_XML)
        srv.put(PATCH_PATH, "<patch/>")
        served = threading.Event()
        original = srv.read

        def read_once(url_path):
            body = original(url_path)
            if url_path == VERSION_PATH:
                served.set()
                srv.mode = after
            return body
        srv.read = read_once
        rc, result, work = fetch(prefix, tmp_path, "both")
    assert served.is_set()
    assert rc == 1
    assert result["version"] == "1" and result["patch"] == "0"
    assert result["plugin"] == "11.3.300.12"  # the offers stay as the version manifest left them
    msgs = work.fetch_messages()
    assert msgs[0] == "ManifestFetchStarts " + VERSION_PATH
    assert msgs[1] == "ManifestFetchStarts " + PATCH_PATH
    assert work.fetch_names()[-len(ending):] == ending


@pytest.mark.parametrize("extra, accepted", [(0, True), (1, False)], ids=["1-MiB", "1-MiB+1"])
def test_manifest_body_stops_at_one_mebibyte(prefix, server, tmp_path, extra, accepted):
    # A valid manifest padded with a comment to exactly 1 MiB, or one byte more.
    head = '<?xml version="1.0" encoding="utf-8"?>\n<!-- '
    tail = " -->\n" + VERSION_XML.split("\n", 1)[1]
    body = head + "x" * (1024 * 1024 + extra - len(head) - len(tail)) + tail
    assert len(body.encode()) == 1024 * 1024 + extra
    server.put(VERSION_PATH, body)
    rc, result, work = fetch(prefix, tmp_path)
    if accepted:
        assert rc == 0 and result["activeX"] == "11.2.202.235"
        assert work.fetch_names() == ["ManifestFetchStarts"]
    else:
        # Too long for a manifest: refused, no response to parse.
        assert rc == 1 and result["activeX"] == "absent"
        assert work.fetch_names() == ["ManifestFetchStarts", "ManifestTooLarge",
                                     "VersionManifestNoResponse"]


def test_manifest_nested_thousands_deep_is_refused_and_the_process_lives(prefix, server, tmp_path):
    # The XML parser recurses once per level: this depth would overflow the thread's stack.
    depth = 100_000
    server.put(VERSION_PATH, "<version>" + "<a>" * depth + "</a>" * depth + "</version>")
    rc, result, work = fetch(prefix, tmp_path)
    assert rc == 1 and result["activeX"] == "absent"
    assert work.fetch_names() == ["ManifestFetchStarts", "ManifestNestedTooDeep",
                                 "VersionManifestParseFailed"]
