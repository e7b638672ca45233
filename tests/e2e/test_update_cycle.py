"""The update path end to end: the real service started through Wine's service control manager,
the manifests over HTTPS and the packages over HTTP on localhost, packages signed at test time
under the build's development CA, and a test installer that records how it was started."""
import shutil
import subprocess

import pytest

from update_fixtures import (AX_FILE_OLD, NEW, OLD, install_old_player, machine, release,  # noqa: F401
                             servers, signing, site)
from service_log import code_names, named, named_messages
from update_site import FILETIME_UNITS_PER_DAY, filetime_now, make_fake_installer
from winetools import SERVICE_EXE

PATCH_LINE = "VextraPlayerInstaller.exe -install -iv 11"
FULL_LINE = "VextraPlayerInstaller.exe -install -iv 9"
INSTALLED_AT = r"C:\windows\VextraPlayerInstaller.exe"
# A cycle that only starts and ends; the ends of cycles that launched an installer.
START_END = ["UpdateCycleStarts", "UpdateCycleEnds"]
ACTIVEX_LAUNCHED = ["InstallerStarted", "ActiveXInstallerStarted", "UpdateCycleEnds"]
PLUGIN_LAUNCHED = ["InstallerStarted", "PluginInstallerStarted", "UpdateCycleEnds"]


def cycle_part(messages):
    """The names of the codes from the cycle's start to its end."""
    got = code_names(messages)
    return got[got.index("UpdateCycleStarts"):got.index("UpdateCycleEnds") + 1]


@pytest.mark.parametrize("config, state", [
    ({"SilentAutoUpdateEnable": "1", "AutoUpdateDisable": "1"}, {}),
    ({}, {}),
    ({"SilentAutoUpdateEnable": "1"}, {"last": "now", "frequency": 1}),
], ids=["disabled", "silent-off", "not-due"])
def test_switched_off_or_not_due_cycle_logs_start_and_end_only(machine, site, config, state):
    install_old_player(machine)
    machine.write_config({**config, "SilentAutoUpdateVerboseLogging": "1",
                          "SilentAutoUpdateServerDomain": "localhost"})
    if state:
        machine.set_state(last=filetime_now() - 1000, frequency=state["frequency"])
    before = machine.state()
    messages = machine.run_once()
    assert cycle_part(messages) == START_END
    assert site.requests == []
    assert machine.state() == before
    assert machine.installer_runs() == []


def test_failed_version_fetch_writes_nothing(machine, site):
    install_old_player(machine)
    site.https.mode = "404"
    messages = machine.run_once()
    part = cycle_part(messages)
    assert part[0] == "UpdateCycleStarts" and part[-1] == "UpdateCycleEnds"
    assert part[1:-1] == ["ManifestFetchStarts", "ManifestHttpStatusRefused",
                          "VersionManifestParseFailed"], "the 404 page is never parsed"
    assert machine.state() == {"LastUpdateCheck": None, "CheckFrequency": None, "UpdateAttempts": None}
    assert machine.installer_runs() == []
    assert not machine.installer_path.exists()


def test_patch_updates_activex_then_plugin_then_records_the_check(machine, site):
    install_old_player(machine)
    machine.set_state(attempts=0)

    # First start: both are old; ActiveX goes first, with the patch that fits its file.
    messages = machine.run_once()
    part = cycle_part(messages)
    assert part[:2] == ["UpdateCycleStarts", "ManifestFetchStarts"]
    assert part[-3:] == ACTIVEX_LAUNCHED
    assert "ActiveXDownloadStarts" in part and "PluginDownloadStarts" not in part
    runs = machine.wait_installer_runs(1)
    assert [(r.label, r.command_line, r.module.lower()) for r in runs] == \
        [("patch-ax", PATCH_LINE, INSTALLED_AT.lower())]
    assert runs[0].cwd.lower() == r"c:\windows"
    assert machine.state() == {"LastUpdateCheck": None, "CheckFrequency": None, "UpdateAttempts": 1}
    assert machine.player_version("activex") == NEW
    assert machine.staging_folders() == []
    assert ("https", "/pub/vextraplayer/update/current/sau/11/xml/patch.xml") in site.requests
    assert ("http", "/pub/vextraplayer/update/current/sau/11/install/patch/from-228/"
                    "patch_all_win_ax_sgn.z") in site.requests

    # Second start: the launch recorded nothing, so it checks again and takes the plug-in.
    part = cycle_part(machine.run_once())
    assert part[-3:] == PLUGIN_LAUNCHED and "PluginDownloadStarts" in part
    runs = machine.wait_installer_runs(2)
    assert (runs[1].label, runs[1].command_line) == ("patch-pl", PATCH_LINE)
    assert machine.state()["UpdateAttempts"] == 2
    assert machine.state()["LastUpdateCheck"] is None

    # Third start: up to date; the check is recorded with the manifest's frequency (7 -> 3).
    before = filetime_now()
    part = cycle_part(machine.run_once())
    after = filetime_now()
    assert part == ["UpdateCycleStarts", "ManifestFetchStarts", "UpdateCycleEnds"]
    state = machine.state()
    assert before - 10_000_000 <= state["LastUpdateCheck"] <= after + 10_000_000
    assert state["CheckFrequency"] == 3
    assert state["UpdateAttempts"] == 2
    assert len(machine.installer_runs()) == 2

    # Fourth start: not due any more, nothing fetched.
    site.https.requests.clear()
    site.http.requests.clear()
    assert cycle_part(machine.run_once()) == START_END
    assert site.requests == []


def test_full_installer_when_the_installed_file_does_not_fit_a_patch(machine, site):
    machine.install_player("plugin", OLD, b"a player file no patch was made for\n")
    part = cycle_part(machine.run_once())
    assert part[-3:] == PLUGIN_LAUNCHED
    runs = machine.wait_installer_runs(1)
    assert (runs[0].label, runs[0].command_line) == ("full-pl", FULL_LINE)
    assert ("http", "/pub/vextraplayer/update/current/sau/11/install/install_all_win_pl_sgn.z") \
        in site.requests
    assert machine.state()["UpdateAttempts"] == 1


def test_activex_full_installer(machine, site):
    machine.install_player("activex", OLD, b"an ActiveX file of another build\n")
    part = cycle_part(machine.run_once())
    assert part[-3:] == ACTIVEX_LAUNCHED
    runs = machine.wait_installer_runs(1)
    assert (runs[0].label, runs[0].command_line) == ("full-ax", FULL_LINE)


def _tamper_signature(data):
    return data[:-1] + bytes([data[-1] ^ 0x01])


def without_package_binding(site_folder):
    """Strips the packages' size and sha256 from the manifests of a published site, as
    manifests written before those attributes existed look."""
    import re
    for name in ("version.xml", "patch.xml"):
        path = site_folder / "pub/vextraplayer/update/current/sau/11/xml" / name
        path.write_text(re.sub(r' (size|sha256)="[^"]*"', "", path.read_text()))


# (damage, the failure the cycle carries, the check's own line before it). The published
# package is signed the publisher's default way, with signed attributes: a content byte
# changed after signing (first, middle, last) is caught by the message digest.
REJECTED = [
    ("404", "DownloadHttpStatusRefused", None),  # the page is never written, let alone verified
    ("signature", "PackageVerificationFailed", None),
    ("content-noattr", "PackageVerificationFailed", None),
    ("content-first", "PackageVerificationFailed", "PackageContentDigestMismatch"),
    ("content-middle", "PackageVerificationFailed", "PackageContentDigestMismatch"),
    ("content-last", "PackageVerificationFailed", "PackageContentDigestMismatch"),
    ("content-type", "PackageVerificationFailed", "PackageContentTypeMismatch"),
    ("streamed", "PackageVerificationFailed", "PackageEnvelopeIndefiniteLength"),
    ("empty", "DownloadBodyEmpty", None),  # a 200 without a body: its own code, error 38
]


@pytest.mark.parametrize("damage,refusal,check", REJECTED, ids=[r[0] for r in REJECTED])
def test_rejected_package_fails_verification_and_keeps_the_existing_installer(
        machine, site, release, signing, tmp_path, damage, refusal, check):
    from pki import sign_package
    import shutil
    install_old_player(machine, activex=False)
    machine.set_state(attempts=2)
    earlier = b"an installer left by an earlier cycle"
    machine.installer_path.write_bytes(earlier)
    patch_rel = "patch/from-228/patch_all_win_pl_sgn.z"
    # Manifests without package binding: the damaged package reaches verification.
    served = tmp_path / "site"
    shutil.copytree(release.site, served)
    without_package_binding(served)
    if damage == "404":
        site.http.mode = "404"
    else:
        target = served / "pub/vextraplayer/update/current/sau/11/install" / patch_rel
        installer = release.installers["patch-pl"]
        if damage == "empty":
            target.write_bytes(b"")
        elif damage == "signature":
            target.write_bytes(_tamper_signature(target.read_bytes()))
        elif damage.startswith("content-") and damage != "content-noattr":
            package = bytearray(target.read_bytes())
            content = installer.read_bytes()
            at = package.find(content)
            assert at > 0 and package.find(content, at + 1) < 0
            if damage == "content-type":
                # The encapsulated content type (id-data, the OID just before the content's
                # headers) becomes id-signedData; the signed attribute still says id-data.
                oid = bytes.fromhex("06092a864886f70d010701")
                where = package.rfind(oid, 0, at)
                assert where > 0
                package[where + len(oid) - 1] = 0x02
            else:
                offset = {"first": 0, "middle": len(content) // 2, "last": len(content) - 1}
                package[at + offset[damage.split("-")[1]]] ^= 0x01
            target.write_bytes(bytes(package))
        elif damage == "streamed":
            target.write_bytes(sign_package(installer.read_bytes(), signing.signer,
                                            chain=[signing.intermediate], stream=True))
        elif damage == "content-noattr":
            package = bytearray(sign_package(installer.read_bytes(), signing.signer,
                                             chain=[signing.intermediate], noattr=True))
            at = package.find(b"VXFAKE01")
            assert at > 0
            package[at] ^= 0x20  # one byte of the embedded installer changes
            target.write_bytes(bytes(package))
    mode = site.http.mode
    site.serve(served)
    site.http.mode = mode
    before = filetime_now()
    messages = machine.run_once()
    part = cycle_part(messages)
    assert refusal in part and "PluginUpdateFailed" in part
    if check:
        assert part.index(check) == part.index(refusal) - 1, part
    assert "InstallerStarted" not in part and "PluginInstallerStarted" not in part
    details = {named(m).split(" ")[0]: m.split(" ")[1] for level, m in messages if level == "error"}
    assert details["PluginUpdateFailed"] == details[refusal], \
        "the cycle's line carries the download's cause"
    if damage == "empty":
        assert details[refusal] == "38" and "PackageVerificationFailed" not in part
    if damage == "404":
        assert details[refusal] == "404" and "PackageVerificationFailed" not in part
    assert machine.installer_path.read_bytes() == earlier
    assert machine.installer_runs() == []
    assert machine.staging_folders() == []  # removed after its one reading
    assert not (machine.installer_path.parent / "VextraPlayerInstaller.exe.tmp").exists()
    state = machine.state()
    assert state["UpdateAttempts"] == 3
    assert state["LastUpdateCheck"] >= before - 10_000_000  # a failed launch records the check
    assert state["CheckFrequency"] == 3


# Patch paths that would reach another object than a patch: a dot segment climbing to the full
# installer (with '?' to cut off the rest), dot segments between backslashes, a fragment, a
# path from the server's root.
HOSTILE_PATCH_PATHS = ["from-228/../../../install_all_win_ax_sgn.z?",
                       "x/../../install_all_win_ax_sgn.z?", "from-228\\..\\..", "from-228#x",
                       "/from-228"]


@pytest.mark.parametrize("path", HOSTILE_PATCH_PATHS)
def test_patch_path_that_climbs_falls_back_to_the_full_installer(machine, site, release,
                                                                 tmp_path, path):
    from xml.sax.saxutils import quoteattr
    install_old_player(machine, plugin=False)
    served = tmp_path / "site"
    shutil.copytree(release.site, served)
    patch_xml = served / "pub/vextraplayer/update/current/sau/11/xml/patch.xml"
    text = patch_xml.read_text()
    assert 'path="from-228"' in text
    patch_xml.write_text(text.replace('path="from-228"', f"path={quoteattr(path)}"))
    site.serve(served)
    part = cycle_part(machine.run_once())
    assert "PatchManifestPathRefused" in part
    assert part[-3:] == ACTIVEX_LAUNCHED
    runs = machine.wait_installer_runs(1)
    assert [(r.label, r.command_line) for r in runs] == [("full-ax", FULL_LINE)]
    asked = [p for scheme, p in site.requests if scheme == "http"]
    assert asked == ["/pub/vextraplayer/update/current/sau/11/install/install_all_win_ax_sgn.z"]
    assert not [t for t in site.http.targets if ".." in t or "?" in t or "#" in t or "\\" in t]


def test_patch_path_with_an_entity_is_requested_percent_encoded(machine, site, release, tmp_path):
    """A patch folder named "p&q" (written "p&amp;q" in patch.xml) is a folder like any other:
    the request names it "p%26q" (this test server maps the target to files as sent)."""
    install_old_player(machine, plugin=False)
    served = tmp_path / "site"
    shutil.copytree(release.site, served)
    patches = served / "pub/vextraplayer/update/current/sau/11/install/patch"
    (patches / "from-228").rename(patches / "p%26q")
    patch_xml = served / "pub/vextraplayer/update/current/sau/11/xml/patch.xml"
    text = patch_xml.read_text()
    assert 'path="from-228"' in text
    patch_xml.write_text(text.replace('path="from-228"', 'path="p&amp;q"'))
    site.serve(served)
    part = cycle_part(machine.run_once())
    assert "PatchManifestPathRefused" not in part
    assert part[-3:] == ACTIVEX_LAUNCHED
    runs = machine.wait_installer_runs(1)
    assert [(r.label, r.command_line) for r in runs] == [("patch-ax", PATCH_LINE)]
    asked = [p for scheme, p in site.requests if scheme == "http"]
    assert asked == ["/pub/vextraplayer/update/current/sau/11/install/patch/p%26q/"
                     "patch_all_win_ax_sgn.z"]


def test_seventh_attempt_successor_switches_to_notify_mode(machine, site):
    install_old_player(machine, activex=False)
    machine.set_state(attempts=6)
    part = cycle_part(machine.run_once())
    assert part[-3:] == PLUGIN_LAUNCHED
    machine.wait_installer_runs(1)
    assert machine.state()["UpdateAttempts"] == 7

    # The installer "failed": the player is still old.
    machine.prefix.reg_add(r"HKLM\Software\Telmora\VextraPlayerPlugin", "Version", "REG_SZ", OLD)
    messages = machine.run_once()
    assert cycle_part(messages) == ["UpdateCycleStarts", "ManifestFetchStarts", "ManifestFetchStarts",
                                    "UpdateAttemptsExhausted", "UpdateCycleEnds"]
    assert ("error", "UpdateAttemptsExhausted") in named_messages(messages)
    config = machine.config_text()
    assert "SilentAutoUpdateEnable=0\r\n" in config and "AutoUpdateDisable=0\r\n" in config
    state = machine.state()
    assert state["UpdateAttempts"] == 7 and state["LastUpdateCheck"] is not None
    assert len(machine.installer_runs()) == 1

    # From the next start on, silent updating is off.
    machine.set_state(last=0)
    assert cycle_part(machine.run_once()) == START_END


def test_windows_8_skips_the_activex_offer(signing, site):
    from update_site import ServiceMachine
    with ServiceMachine(signing, version="win8") as m:
        install_old_player(m)
        part = cycle_part(m.run_once())
        assert "ActiveXDownloadStarts" not in part and "ActiveXInstallerStarted" not in part
        assert part[-3:] == PLUGIN_LAUNCHED
        runs = m.wait_installer_runs(1)
        assert runs[0].label == "patch-pl"
        assert m.player_version("activex") == OLD


def test_stop_control_during_a_manifest_fetch_ends_it_and_the_cycle(machine, site):
    install_old_player(machine, activex=False)
    site.https.mode = "chunked"  # the manifest trickles in, so the fetch is still running
    site.https.chunk_size = 16
    site.https.chunk_delay = 0.1
    messages = machine.run_once(stop_after_ms=300)
    got = code_names(messages)
    named_lines = named_messages(messages)
    assert ("info", "ServiceControlReceived 1") in named_lines
    assert ("info", "StopControlHandled") in named_lines
    # The fetch ends (stopped, version manifest: no response) and the cycle ends without a launch.
    order = ["UpdateCycleStarts", "ServiceControlReceived", "StopControlHandled", "ManifestStopped",
             "VersionManifestNoResponse", "UpdateCycleEnds", "ServiceStopped"]
    assert [got.index(n) for n in order] == sorted(got.index(n) for n in order)
    assert "PluginDownloadStarts" not in got and "PluginInstallerStarted" not in got
    ok, error, state, checkpoint = machine.probe.control
    # The handler answers SERVICE_STOP_PENDING; on a busy machine the cycle may have ended and
    # reported SERVICE_STOPPED before the control manager reads the state back. Never RUNNING.
    assert ok == 1 and state in (3, 1), state
    assert machine.probe.states[-1] == 1
    assert machine.installer_runs() == []
    assert machine.state()["LastUpdateCheck"] is None  # a failed version fetch records nothing


def test_same_named_installer_in_the_program_folder_is_never_started(machine, site):
    install_old_player(machine, activex=False)
    make_fake_installer(machine.program_folder / "VextraPlayerInstaller.exe", "planted")
    part = cycle_part(machine.run_once())
    assert part[-3:] == PLUGIN_LAUNCHED
    runs = machine.wait_installer_runs(1)
    assert [r.label for r in runs] == ["patch-pl"]
    assert runs[0].module.lower() == INSTALLED_AT.lower()
    assert runs[0].command_line == PATCH_LINE


def test_player_strings_of_odd_length_that_fill_the_buffer_are_not_read(machine, site):
    """A "Version" of 4095 bytes or a "PlayerPath" of 519 bytes puts its last byte into the
    last character of the reading buffer, where the terminator belongs. Such a value does not
    fit: the ActiveX version counts as unreadable (no update) and the plug-in's path as empty
    (no patch, so the full installer)."""
    install_old_player(machine)
    version = (OLD + "\0").encode("utf-16-le")
    machine.set_player_value_bytes("activex", "Version", version + b"x" * (4095 - len(version)))
    path = (r"C:\windows\system32\Vextra\VextraPlayerPL.dll" + "\0").encode("utf-16-le")
    machine.set_player_value_bytes("plugin", "PlayerPath", path + b"x" * (519 - len(path)))
    part = cycle_part(machine.run_once())
    assert "ActiveXDownloadStarts" not in part and part[-3:] == PLUGIN_LAUNCHED
    runs = machine.wait_installer_runs(1)
    assert [(r.label, r.command_line) for r in runs] == [("full-pl", FULL_LINE)]


MARKING_DLL = r"""
#include <windows.h>
BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
    (void)module; (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        HANDLE mark = CreateFileA("C:\\vextra\\planted-winhttp-loaded.txt", GENERIC_WRITE, 0,
                                  NULL, CREATE_ALWAYS, 0, NULL);
        if (mark != INVALID_HANDLE_VALUE) CloseHandle(mark);
    }
    return TRUE;
}
"""


def marking_dll(tmp_path, program):
    """A DLL of the program's architecture that leaves a file behind when it is loaded."""
    pe = program.read_bytes()
    machine_type = int.from_bytes(pe[int.from_bytes(pe[0x3C:0x40], "little") + 4:][:2], "little")
    compiler = {0x14C: "i686-w64-mingw32-gcc", 0x8664: "x86_64-w64-mingw32-gcc"}[machine_type]
    if shutil.which(compiler) is None:
        pytest.skip(f"{compiler} is needed to make the planted DLL")
    source = tmp_path / "planted.c"
    source.write_text(MARKING_DLL)
    out = tmp_path / "winhttp.dll"
    subprocess.run([compiler, "-shared", "-o", str(out), str(source)], check=True)
    return out


def test_winhttp_planted_beside_the_program_is_never_loaded(machine, site, tmp_path):
    """WinHTTP comes from the system folder. Wine, unlike Windows, prefers its own built-in
    WinHTTP to a DLL in the program's folder; told to prefer a native DLL for this program, it
    searches as Windows does, and a program that imports WinHTTP loads the planted copy."""
    shutil.copy(marking_dll(tmp_path, SERVICE_EXE), machine.program_folder / "winhttp.dll")
    machine.prefix.reg_add(rf"HKCU\Software\Wine\AppDefaults\{SERVICE_EXE.name}\DllOverrides",
                           "winhttp", "REG_SZ", "native,builtin")
    mark = machine.prefix.drive_c / "vextra" / "planted-winhttp-loaded.txt"
    install_old_player(machine, activex=False)
    try:
        messages = machine.run_once()
    finally:
        assert not mark.exists(), "the planted winhttp.dll was loaded"
    assert cycle_part(messages)[-3:] == PLUGIN_LAUNCHED, "WinHTTP fetched and downloaded"


def test_winhttp_that_cannot_be_loaded_fails_the_fetch_with_its_code(machine, site):
    """WinHTTP switched off for the program (an empty Wine override): the cycle logs that it
    could not be loaded and ends; nothing falls back to the library search or crashes."""
    machine.prefix.reg_add(rf"HKCU\Software\Wine\AppDefaults\{SERVICE_EXE.name}\DllOverrides",
                           "winhttp", "REG_SZ", "")
    install_old_player(machine, activex=False)
    messages = machine.run_once()
    names = code_names(messages)
    assert "WinHttpUnavailable" in names
    assert cycle_part(messages)[-1] == "UpdateCycleEnds"
