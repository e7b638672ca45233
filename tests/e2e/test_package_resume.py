"""A package download cut short resumes at the next start: the service keeps the part it got in
the staging folder named from the package's digest and asks for the rest with Range (and
If-Range). Only an exact 206 that continues the file is appended; a 200, a wrong range or a
changed validator starts over, and the whole package is checked as always before the installer
starts. A package the manifest does not bind never resumes. Staging folders of other packages
and of unbound ones, left by a stopped or killed service, go at the next download.

The package server is a Python route that honours Range the way each case asks and counts the
body bytes it sends per request."""
import re
import shutil

import pytest

from servers import HostileServer, https_server
from service_log import code_names, detail, named_messages
from update_fixtures import NEW, OLD, require_environment, signing  # noqa: F401
from update_site import ServiceMachine, make_fake_installer, publish

INSTALL = "/pub/vextraplayer/update/current/sau/11/install/"
PL_FULL = INSTALL + "install_all_win_pl_sgn.z"


@pytest.fixture(scope="module")
def release(tmp_path_factory, signing):
    """A release whose plug-in package is about 4 MiB, bound by size and sha256 (the
    publisher's default)."""
    folder = tmp_path_factory.mktemp("resume")
    pl = make_fake_installer(folder / "pl.exe", "resumed-pl", "plugin", NEW, padding_mib=4)
    ax = make_fake_installer(folder / "ax.exe", "ax", "activex", NEW)
    return publish(folder / "site", signing, (NEW, ax), (NEW, pl))


@pytest.fixture(scope="module")
def site(signing, release):
    https = https_server(release, signing.server).start()
    http = HostileServer(release, 80).start()
    yield https, http
    https.stop()
    http.stop()


@pytest.fixture
def servers(site, release):
    for s in site:
        s.root = release
        s.requests.clear()
        s.routes.clear()
    return site


@pytest.fixture
def machine(signing):
    m = ServiceMachine(signing)
    m.install_player("plugin", OLD, b"a player file no patch was made for\n")
    m.set_state(attempts=0)
    yield m
    m.close()


def unbound_copy(release, folder):
    shutil.copytree(release, folder)
    for name in ("version.xml", "patch.xml"):
        path = folder / "pub/vextraplayer/update/current/sau/11/xml" / name
        path.write_text(re.sub(r' (size|sha256)="[^"]*"', "", path.read_text()))
    return folder


def package_digest(release):
    version_xml = (release / "pub/vextraplayer/update/current/sau/11/xml/version.xml").read_text()
    package = (release / PL_FULL.lstrip("/")).read_bytes()
    import hashlib
    digest = hashlib.sha256(package).hexdigest()
    assert digest in version_xml
    return digest


def cut_run(machine, http, package, **route):
    """The first start: the package's answer is cut at about 80%; the part stays."""
    cut = len(package) * 8 // 10
    r = http.route(PL_FULL, body=package, mode="resumable", drop_after=cut, **route)
    messages = machine.run_once()
    got = code_names(messages)
    assert "PluginInstallerStarted" not in got, messages
    assert "PartialPackageKept" in got, messages
    held = int(detail(messages, "PartialPackageKept"))
    assert 0 < held <= cut
    assert r.answers[0].range is None, "the first request asks for the whole"
    return r, held


# (case, how the server answers the request for the rest, the resume outcome logged, whether
# the second start asks again from zero with a plain GET)
CASES = {
    "exact 206": ({"range_reply": "honour", "etags": ['"v1"']}, "PackageResumed", False),
    "200 to the Range": ({"range_reply": "ignore", "etags": ['"v1"']}, "ResumeAnsweredWhole",
                         False),
    "206 with a wrong Content-Range": ({"range_reply": "wrong-range", "etags": ['"v1"']},
                                       "ResumeRangeRefused", True),
    "206 with a changed validator": ({"range_reply": "ignore-if-range",
                                      "etags": ['"v1"', '"v2"']}, "ResumeValidatorChanged", True),
}


@pytest.mark.parametrize("case", list(CASES))
def test_a_cut_package_resumes_or_starts_over(servers, release, machine, case):
    https, http = servers
    route, outcome, asks_again = CASES[case]
    package = (release / PL_FULL.lstrip("/")).read_bytes()
    r, held = cut_run(machine, http, package, **route)
    assert [d.name for d in machine.staging_folders()] == ["vpi-" + package_digest(release)]

    machine.set_state(last=0)
    messages = machine.run_once()
    got = code_names(messages)
    assert detail(messages, "PackageResumeRequested") == str(held)
    assert outcome in got, messages
    second = r.answers[1]
    assert second.range == f"bytes={held}-"
    assert second.if_range == '"v1"', "the validator the part came with"
    if outcome == "PackageResumed":
        # The rest and nothing more: what the first answer already delivered is not sent again.
        assert second.status == 206
        assert second.sent == len(package) - held
        print(f"package {len(package)} bytes, held {held}, resumed with {second.sent}")
    if asks_again:
        assert len(r.answers) == 3 and r.answers[2].range is None, r.answers
        assert r.answers[2].sent == len(package)
    else:
        assert len(r.answers) == 2, r.answers
    assert "PluginInstallerStarted" in got, messages
    assert [run.label for run in machine.wait_installer_runs(1)] == ["resumed-pl"]
    assert machine.staging_folders() == []


def test_a_download_a_stop_cut_resumes_at_the_next_start(servers, release, machine):
    """The stop comes while the body flows: the whole blocks received stay, the attempt is
    given back, and the next start asks only for the rest."""
    https, http = servers
    package = (release / PL_FULL.lstrip("/")).read_bytes()
    r = http.route(PL_FULL, body=package, mode="resumable", drop_after=len(package) * 8 // 10,
                   stall_after_cut=True, etags=['"v1"'])
    machine.set_state(attempts=3)
    messages = machine.run_once(stop_when_staged=3 * 2**20)
    got = code_names(messages)
    assert "DownloadStopped" in got and "UpdateStoppedUncounted" in got, messages
    held = int(detail(messages, "PartialPackageKept"))
    assert held >= 3 * 2**20 and held % 2**20 == 0, "whole blocks only"
    assert machine.state()["UpdateAttempts"] == 3

    messages = machine.run_once()
    got = code_names(messages)
    assert "PackageResumed" in got, messages
    assert r.answers[1].range == f"bytes={held}-"
    assert r.answers[1].sent == len(package) - held
    assert "PluginInstallerStarted" in got
    assert [run.label for run in machine.wait_installer_runs(1)] == ["resumed-pl"]


def test_a_resume_the_server_never_answers_keeps_its_part(servers, release, machine):
    """The request for the rest gets no reply at all: the part stays as it was for the next
    start, and the failed request is logged as one, with its error value."""
    https, http = servers
    package = (release / PL_FULL.lstrip("/")).read_bytes()
    r, held = cut_run(machine, http, package, range_reply="no-answer", etags=['"v1"'])
    machine.set_state(last=0)
    messages = machine.run_once()
    got = code_names(messages)
    assert r.answers[1].range == f"bytes={held}-" and r.answers[1].status is None
    assert detail(messages, "PackageResumeRequested") == str(held)
    assert detail(messages, "PartialPackageKept") == str(held), messages
    failed = detail(messages, "DownloadRequestFailed")
    assert failed not in ("", "0"), messages
    assert "DownloadBodyCutShort" not in got and "PluginInstallerStarted" not in got, messages
    assert [d.name for d in machine.staging_folders()] == ["vpi-" + package_digest(release)]


def test_a_changed_package_under_the_same_validator_is_refused_whole(servers, release, machine):
    """The part held and a rest of another package under one validator: the appended whole
    fails the manifest's digest, nothing starts, and the part is gone for the next start."""
    https, http = servers
    package = (release / PL_FULL.lstrip("/")).read_bytes()
    r, held = cut_run(machine, http, package, range_reply="honour", etags=['"v1"'])
    r.body = package[:held] + bytes(b ^ 0x5A for b in package[held:])
    machine.set_state(last=0)
    messages = machine.run_once()
    got = code_names(messages)
    assert "PackageResumed" in got and "PackageDoesNotMatchManifest" in got, messages
    assert "PluginInstallerStarted" not in got
    assert machine.staging_folders() == []


def test_an_empty_part_a_killed_service_left_is_replaced_by_a_new_one(servers, release,
                                                                       machine):
    """A service killed right after it created the part leaves an empty "vpi.tmp" in the
    digest's folder: the next start holds nothing, asks for the whole package without a Range,
    and downloads it into a new part in that folder (the empty one deleted, not truncated)."""
    https, http = servers
    package = (release / PL_FULL.lstrip("/")).read_bytes()
    name = "vpi-" + package_digest(release)
    # The service's own temporary folder is one of these (which one, Wine decides).
    planted = [root / name for root in machine.temp_roots()]
    for folder in planted:
        folder.mkdir()
        (folder / "vpi.tmp").write_bytes(b"")
    r = http.route(PL_FULL, body=package, mode="resumable", etags=['"v1"'])
    messages = machine.run_once()
    got = code_names(messages)
    if "StagingFolderForeign" in got:
        pytest.skip("this system names the folder the test made as another account's, so the "
                    "service never uses it: a killed service's empty part cannot be planted")
    assert "DownloadStagedFileCreateFailed" not in got, messages
    assert [a.range for a in r.answers] == [None], "nothing held: the whole, without a Range"
    assert r.answers[0].sent == len(package)
    assert "PluginInstallerStarted" in got, messages
    assert [run.label for run in machine.wait_installer_runs(1)] == ["resumed-pl"]
    assert len([folder for folder in planted if not folder.exists()]) == 1, "the service's went"


def test_an_unbound_package_never_resumes(servers, release, machine, tmp_path):
    https, http = servers
    https.root = http.root = unbound_copy(release, tmp_path / "unbound")
    package = (release / PL_FULL.lstrip("/")).read_bytes()
    r = http.route(PL_FULL, body=package, mode="resumable", drop_after=len(package) * 8 // 10,
                   etags=['"v1"'])
    messages = machine.run_once()
    got = code_names(messages)
    assert "PartialPackageRemovedUnbound" in got and "PartialPackageKept" not in got, messages
    assert machine.staging_folders() == []

    machine.set_state(last=0)
    messages = machine.run_once()
    got = code_names(messages)
    assert [a.range for a in r.answers] == [None, None], "no Range, ever"
    assert "PackageResumeRequested" not in got
    assert "PluginInstallerStarted" in got, messages


def test_stale_staging_folders_go_and_the_current_one_stays(servers, release, machine):
    https, http = servers
    package = (release / PL_FULL.lstrip("/")).read_bytes()
    r, held = cut_run(machine, http, package, range_reply="honour", etags=['"v1"'])
    [kept] = machine.staging_folders()
    # What a killed service leaves: another release's part, and an unbound package's part in a
    # GUID-named folder.
    other = kept.parent / ("vpi-" + "0" * 64)
    guid = kept.parent / "{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}"
    for folder in (other, guid):
        folder.mkdir()
        (folder / "vpi.tmp").write_bytes(b"\x5a" * 100000)
    # A folder of that shape that holds something else is not the service's: it stays.
    foreign = kept.parent / "{11111111-2222-3333-4444-555555555555}"
    foreign.mkdir()
    (foreign / "notes.txt").write_text("someone else's")

    machine.set_state(last=0)
    messages = machine.run_once()
    got = code_names(messages)
    removed = [int(m.split(" ")[1]) for _, m in named_messages(messages)
               if m.startswith("StaleStagingFolderRemoved ")]
    assert removed == [1], "the GUID-named one at the start"
    # The other release's part goes once the offers are known, before the download.
    assert detail(messages, "KeptPartRemovedNotOffered") == "100000", messages
    assert got.index("KeptPartRemovedNotOffered") < got.index("PluginDownloadStarts")
    assert not other.exists() and not guid.exists()
    assert (foreign / "notes.txt").exists()
    assert "PackageResumed" in got
    assert r.answers[1].sent == len(package) - held
    assert "PluginInstallerStarted" in got
    assert machine.staging_folders() == [foreign]


def test_a_start_without_download_ends_every_part_a_killed_service_left(servers, signing):
    """Nothing to download (the player is up to date): the GUID-named folder a killed service
    left goes at the start, and a bound package's part once the manifest shows that no
    download follows; so does an installer's temporary file left beside the installer."""
    m = ServiceMachine(signing)
    try:
        m.install_player("plugin", NEW, b"the player, up to date\n")
        m.set_state(attempts=0)
        # The service's own temporary folder is one of these (which one, Wine decides).
        planted = []
        for root in m.temp_roots():
            guid = root / "{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}"
            waiting = root / ("vpi-" + "1" * 64)
            for folder in (guid, waiting):
                folder.mkdir()
                (folder / "vpi.tmp").write_bytes(b"\x5a" * 100000)
            planted.append((guid, waiting))
        left_installer = m.installer_path.parent / "VextraPlayerInstaller.exe.tmp"
        left_installer.write_bytes(b"MZ cut short" * 10)
        messages = m.run_once()
        got = code_names(messages)
        assert "PluginDownloadStarts" not in got, messages
        assert detail(messages, "StaleStagingFolderRemoved") == "1"
        assert detail(messages, "KeptPartRemovedUpToDate") == "100000", messages
        assert detail(messages, "InstallerTempFileRemoved") == "120", messages
        assert not left_installer.exists()
        gone = [(g, w) for g, w in planted if not g.exists() and not w.exists()]
        assert len(gone) == 1, planted
    finally:
        m.close()


@pytest.mark.parametrize("case", ["notify mode", "attempts exhausted", "-deleteTask",
                                  "-uninstall"])
def test_a_part_no_download_will_use_goes(servers, release, machine, case):
    """A cut download's part, and then what ends the downloads: notify mode (as seven
    exhausted attempts switch to), exhausted attempts themselves (whether or not a check is
    due), or the administration commands that remove the task."""
    https, http = servers
    package = (release / PL_FULL.lstrip("/")).read_bytes()
    cut_run(machine, http, package, range_reply="honour", etags=['"v1"'])
    assert len(machine.staging_folders()) == 1
    if case == "notify mode":
        machine.write_config({"SilentAutoUpdateEnable": "0", "SilentAutoUpdateVerboseLogging": "1",
                              "SilentAutoUpdateServerDomain": "localhost"})
        messages = machine.run_once()
        assert "KeptPartRemovedUpdatesOff" in code_names(messages), messages
    elif case == "attempts exhausted":
        machine.set_state(attempts=7)  # the check is not due: it was recorded by the cut run
        messages = machine.run_once()
        got = code_names(messages)
        assert "KeptPartRemovedAttemptsExhausted" in got and "ManifestFetchStarts" not in got, \
            messages
    else:
        rc = machine.command(case)
        assert rc == 0
    assert machine.staging_folders() == []


def test_a_digest_folder_another_account_made_is_never_used(servers, release, machine):
    """A local user can make the digest's folder in the temporary folder before the service
    does: the service neither reads, nor writes, nor empties it, and downloads the package
    whole into a fresh folder instead."""
    https, http = servers
    package = (release / PL_FULL.lstrip("/")).read_bytes()
    name = "vpi-" + package_digest(release)
    planted = []
    for root in machine.temp_roots():
        folder = root / name
        folder.mkdir()
        (folder / "vpi.tmp").write_bytes(package[:len(package) // 2])
        planted.append(folder)
    r = http.route(PL_FULL, body=package, mode="resumable", etags=['"v1"'])
    messages = machine.run_once()
    got = code_names(messages)
    if "PackageResumeRequested" in got:
        pytest.skip("Wine 8 reports a folder the host made as owned by the account the service "
                    "runs as, so a folder of another account cannot be made here")
    assert detail(messages, "StagingFolderForeign") == "183", messages
    assert [a.range for a in r.answers] == [None], "no Range from a foreign folder's part"
    assert "PluginInstallerStarted" in got, messages
    for folder in planted:
        assert (folder / "vpi.tmp").read_bytes() == package[:len(package) // 2]
