"""The service against hostile servers and forged packages: a package download ends at its byte
limit, at its deadline and at a stop request; a package that differs from what the manifest
says is refused before verification. After each, the temporary folder holds no staging folder,
no installer was started and an existing installer file is untouched."""
import re
import shutil
import time

import pytest

from servers import HostileServer, https_server
from service_log import code_names, detail
from update_fixtures import NEW, OLD, Release, require_environment, signing  # noqa: F401
from update_site import (SERVICE_WITH_TEST_HOOKS, TEST_HOOKS_KEY, ServiceMachine, make_fake_installer,
                         publish)
from winetools import SERVICE_EXE

INSTALL = "/pub/vextraplayer/update/current/sau/11/install/"
PL_FULL = INSTALL + "install_all_win_pl_sgn.z"
AX_FULL = INSTALL + "install_all_win_ax_sgn.z"
EARLIER_INSTALLER = b"an installer left by an earlier cycle"


@pytest.fixture(scope="module")
def bound_release(tmp_path_factory, signing):
    """The release as vextra-publish writes it: every package bound by size and sha256."""
    return Release(tmp_path_factory.mktemp("bound"), signing)


@pytest.fixture(scope="module")
def site(signing, bound_release):
    """Manifests over HTTPS; packages over HTTP from a server that can turn hostile."""
    https = https_server(bound_release.site, signing.server).start()
    http = HostileServer(bound_release.site, 80).start()
    yield https, http
    https.stop()
    http.stop()


@pytest.fixture
def servers(site, bound_release):
    https, http = site
    for s in site:
        s.root = bound_release.site
        s.mode = "files"
        s.requests.clear()
    http.hostile = {}
    http.routes.clear()
    http.sent = 0
    return https, http


def new_machine(signing, tmp_path, hooks=None):
    """A machine whose plug-in is old and fits no patch (so the full package is fetched)."""
    m = ServiceMachine(signing, program=SERVICE_WITH_TEST_HOOKS if hooks else None)
    m.install_player("plugin", OLD, b"a player file no patch was made for\n")
    for value, ms in (hooks or {}).items():
        m.prefix.reg_add(TEST_HOOKS_KEY, value, "REG_DWORD", ms)
    m.installer_path.write_bytes(EARLIER_INSTALLER)
    m.set_state(attempts=0)
    return m


def assert_failed_download_left_nothing(machine, messages):
    assert "PluginUpdateFailed" in code_names(messages)
    assert "InstallerStarted" not in code_names(messages)
    assert "PackageVerificationFailed" not in code_names(messages), "refused before verification"
    assert machine.staging_folders() == []
    assert machine.installer_path.read_bytes() == EARLIER_INSTALLER
    assert machine.installer_runs() == []


@pytest.mark.parametrize("case", ["endless", "longer-than-size", "trickle"])
def test_package_download_ends_at_its_limit_or_deadline(signing, servers, bound_release,
                                                       tmp_path, case):
    https, http = servers
    hooks = None
    if case == "endless":
        # Without a size in the manifest the limit is the built-in 2 GiB.
        unbound = tmp_path / "unbound"
        shutil.copytree(bound_release.site, unbound)
        version_xml = unbound / "pub/vextraplayer/update/current/sau/11/xml/version.xml"
        version_xml.write_text(re.sub(r' (size|sha256)="[^"]*"', "", version_xml.read_text()))
        https.root = http.root = unbound
        http.hostile = {PL_FULL: "endless"}
        expected, error = "DownloadTooLarge", "223"
    elif case == "longer-than-size":
        served = tmp_path / "longer"
        shutil.copytree(bound_release.site, served)
        package = bound_release.package("install_all_win_pl_sgn.z").read_bytes()
        (served / PL_FULL.lstrip("/")).write_bytes(package + b"\0" * 4096)
        https.root = http.root = served
        expected, error = "DownloadTooLarge", "223"
    else:
        hooks = {"PackageDeadlineMs": 3000}
        http.hostile = {PL_FULL: "trickle"}
        http.trickle_interval = 0.5
        expected, error = "DownloadDeadlinePassed", "1460"
    machine = new_machine(signing, tmp_path, hooks)
    try:
        messages = machine.run_once()
        assert ("http", PL_FULL) in [("http", r[1]) for r in http.requests]
        assert expected in code_names(messages)
        assert detail(messages, expected) == error
        assert detail(messages, "PluginUpdateFailed") == error, "the cycle's line carries the cause"
        assert_failed_download_left_nothing(machine, messages)
        if case == "endless":
            print(f"endless body: the service took {http.sent / 2**20:.0f} MiB before it gave up")
            assert http.sent >= 256 * 2**20
    finally:
        machine.close()


def test_stop_during_a_package_download_ends_it_and_the_service_stops(signing, servers, tmp_path):
    https, http = servers
    http.hostile = {PL_FULL: "stall"}  # a few bytes, then nothing: a read that blocks for ever
    machine = new_machine(signing, tmp_path)
    # One more failed attempt would switch the machine to notify mode; a stop is none.
    machine.set_state(attempts=6)
    try:
        machine._log_seen = len(machine.messages())
        machine.start()
        machine.wait_until(lambda: any(r[1] == PL_FULL for r in http.requests) and http.sent > 0,
                           timeout=90, what="the package request")
        time.sleep(1)  # the service is now blocked in its read
        asked = time.monotonic()
        machine.prefix.wine("sc", "stop", "OrvaneVextraPlayerUpdateSvc")
        machine.wait_until(lambda: machine.query()[0] == 1, timeout=10,
                           what="STOPPED within 10 s of sc stop")
        print(f"STOPPED {time.monotonic() - asked:.1f} s after sc stop was sent")
        machine.wait_until(lambda: "ServiceStopped" in code_names(machine.run_messages()), timeout=10,
                           what="the dispatcher's last line")
        messages = machine.run_messages()
        got = code_names(messages)
        assert got.index("StopControlHandled") < got.index("DownloadStopped") < \
            got.index("PluginUpdateFailed") < got.index("UpdateCycleEnds") < got.index("ServiceStopped")
        assert detail(messages, "PluginUpdateFailed") == "995"  # ERROR_OPERATION_ABORTED
        assert_failed_download_left_nothing(machine, messages)
        assert machine.state() == {"LastUpdateCheck": None, "CheckFrequency": None,
                                   "UpdateAttempts": 6}, "nothing counted, no check recorded"
        assert "UpdateStoppedUncounted" in code_names(messages)

        # The next start updates as if the stop had never been.
        http.hostile = {}
        messages = machine.run_once()
        assert "UpdateAttemptsExhausted" not in code_names(messages)
        assert "PluginInstallerStarted" in code_names(messages)
        assert machine.state()["UpdateAttempts"] == 7
    finally:
        machine.close()


def test_stop_after_the_package_arrived_starts_no_installer(signing, servers, tmp_path):
    """The stop comes as soon as the whole package is staged: verification and the installer
    launch are still ahead, and neither may start the installer during the shutdown."""
    https, http = servers
    inst = tmp_path / "large"
    pl = make_fake_installer(inst / "pl.exe", "large-pl", "plugin", NEW, padding_mib=24)
    ax = make_fake_installer(inst / "ax.exe", "ax", "activex", NEW)
    https.root = http.root = publish(inst / "site", signing, (NEW, ax), (NEW, pl))
    package = https.root / PL_FULL.lstrip("/")
    machine = new_machine(signing, tmp_path)
    machine.set_state(attempts=6)
    try:
        messages = machine.run_once(stop_when_staged=package.stat().st_size)
        assert machine.probe.control and machine.probe.control[0] == 1, machine.probe.text
        got = code_names(messages)
        assert "InstallerStarted" not in got and "PluginInstallerStarted" not in got, messages
        assert {"DownloadStopped", "InstallerNotStartedForStop"} & set(got), messages
        assert "UpdateStoppedUncounted" in got
        assert machine.staging_folders() == []
        time.sleep(1)
        assert machine.installer_runs() == []
        assert machine.state()["UpdateAttempts"] == 6
    finally:
        machine.close()


def test_package_must_be_the_one_the_manifest_binds(signing, servers, bound_release, tmp_path):
    https, http = servers
    # An older release, validly signed under the same chain.
    inst = tmp_path / "older"
    old_pl = make_fake_installer(inst / "old-pl.exe", "old-pl", "plugin", OLD)
    old_ax = make_fake_installer(inst / "old-ax.exe", "old-ax", "activex", OLD)
    older_site = publish(inst / "site", signing, (OLD, old_ax), (OLD, old_pl))
    genuine = bound_release.package("install_all_win_pl_sgn.z").read_bytes()
    # Each forgery is refused before verification: by the manifest's size as a limit when it
    # is longer, else by the size or digest check.
    forgeries = {
        "older signed package": (older_site / PL_FULL.lstrip("/")).read_bytes(),
        "the other component's package": bound_release.package("install_all_win_ax_sgn.z").read_bytes(),
        "truncated package": genuine[:len(genuine) // 2],
    }
    machine = new_machine(signing, tmp_path)
    try:
        for what, forged in forgeries.items():
            served = tmp_path / what.replace(" ", "-").replace("'", "")
            shutil.copytree(bound_release.site, served)
            (served / PL_FULL.lstrip("/")).write_bytes(forged)
            https.root = http.root = served
            machine.set_state(last=0)
            messages = machine.run_once()
            refusal = "DownloadTooLarge" if len(forged) > len(genuine) else "PackageDoesNotMatchManifest"
            assert refusal in code_names(messages), f"{what}: {messages}"
            assert_failed_download_left_nothing(machine, messages)

        # The package the manifest names passes and is started.
        https.root = http.root = bound_release.site
        machine.set_state(last=0)
        messages = machine.run_once()
        assert "PackageDoesNotMatchManifest" not in code_names(messages)
        assert "PluginInstallerStarted" in code_names(messages)
        assert [r.label for r in machine.wait_installer_runs(1)] == ["full-pl"]
    finally:
        machine.close()


def unbound_copy(release, folder):
    """The release with its manifests stripped of the packages' size and sha256, as manifests
    from before that binding look: then only the reply itself can refuse what is served."""
    shutil.copytree(release.site, folder)
    for name in ("version.xml", "patch.xml"):
        path = folder / "pub/vextraplayer/update/current/sau/11/xml" / name
        path.write_text(re.sub(r' (size|sha256)="[^"]*"', "", path.read_text()))
    return folder


# (case, route of the plug-in package's path, the refusal with its detail): only a 200 with a
# body and without Content-Range is a package. Each body that comes with a refused reply is a
# validly signed package, and the 302 points at the other component's one: none is installed,
# and the redirect's target is never asked for.
def _package_replies(genuine, other_url):
    content_range = {"Content-Range": f"bytes 0-{len(genuine) - 1}/{len(genuine)}"}
    return {
        "404-with-a-package": (dict(body=genuine, status=404), "DownloadHttpStatusRefused 404"),
        "302-to-the-other-installer": (dict(status=302, headers={"Location": other_url}),
                                       "DownloadHttpStatusRefused 302"),
        "206-partial": (dict(body=genuine, status=206, headers=content_range),
                        "DownloadPartialContentRefused 206"),
        "200-with-content-range": (dict(body=genuine, headers=content_range),
                                   "DownloadPartialContentRefused 200"),
        "200-empty": (dict(body=b""), "DownloadBodyEmpty 38"),
    }


@pytest.mark.parametrize("case", ["404-with-a-package", "302-to-the-other-installer",
                                  "206-partial", "200-with-content-range", "200-empty"])
def test_only_a_whole_200_reply_is_a_package(signing, servers, bound_release, tmp_path, case):
    https, http = servers
    https.root = http.root = unbound_copy(bound_release, tmp_path / "unbound")
    genuine = bound_release.package("install_all_win_pl_sgn.z").read_bytes()
    route, refusal = _package_replies(genuine, "http://localhost" + AX_FULL)[case]
    http.route(PL_FULL, **route)
    machine = new_machine(signing, tmp_path)
    try:
        messages = machine.run_once()
        code, _, value = refusal.partition(" ")
        assert code in code_names(messages), messages
        assert detail(messages, code) == value
        assert detail(messages, "PluginUpdateFailed") == value, "the cycle's line carries the cause"
        assert_failed_download_left_nothing(machine, messages)
        assert http.paths() == [PL_FULL], "the redirect was not followed"
    finally:
        http.routes.clear()
        machine.close()


def test_shipped_program_has_no_test_hooks():
    require_environment()
    key = "VextraPlayerTestHooks".encode("utf-16-le")
    assert key not in SERVICE_EXE.read_bytes()
    assert key in SERVICE_WITH_TEST_HOOKS.read_bytes()
