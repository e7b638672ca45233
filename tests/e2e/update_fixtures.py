"""Shared pieces of the update-path end-to-end tests: one signing chain, one published release
and the two servers per test module; a fresh Wine prefix with the service per test."""
from pathlib import Path

import pytest

from servers import in_private_namespace
from update_site import (FILETIME_UNITS_PER_DAY, ServiceMachine, Servers, Signing,
                         make_fake_installer, publish)
from winetools import SERVICE_EXE, TEMPLATE

OLD = "11.2.202.228"
NEW = "11.2.202.235"
AX_FILE_OLD = b"Vextra Player ActiveX control 11.2.202.228\n"
PL_FILE_OLD = b"Vextra Player plug-in 11.2.202.228\n"
# The 64-bit player files that 64-bit Windows has beside the 32-bit ones.
AX_FILE_OLD_64 = b"Vextra Player ActiveX control 11.2.202.228 (64-bit)\n"
PL_FILE_OLD_64 = b"Vextra Player plug-in 11.2.202.228 (64-bit)\n"


def require_environment():
    if not in_private_namespace():
        pytest.skip("needs the private network namespace (run through tests/harness/in-netns)")
    if not SERVICE_EXE.exists() or not (TEMPLATE / ".ready").exists():
        pytest.skip("needs `make build prefix`")


class Release:
    """A published release 11.2.202.235 with full installers and patches for 11.2.202.228."""

    def __init__(self, folder, signing, check_frequency=7):
        folder = Path(folder)
        self.folder = folder
        inst = folder / "installers"
        players = folder / "players-228"
        players.mkdir(parents=True)
        (players / "ax.ocx").write_bytes(AX_FILE_OLD)
        (players / "pl.dll").write_bytes(PL_FILE_OLD)
        (players / "ax64.ocx").write_bytes(AX_FILE_OLD_64)
        (players / "pl64.dll").write_bytes(PL_FILE_OLD_64)
        self.installers = {
            "full-ax": make_fake_installer(inst / "full-ax.exe", "full-ax", "activex", NEW),
            "full-pl": make_fake_installer(inst / "full-pl.exe", "full-pl", "plugin", NEW),
            "patch-ax": make_fake_installer(inst / "patch-ax.exe", "patch-ax", "activex", NEW),
            "patch-pl": make_fake_installer(inst / "patch-pl.exe", "patch-pl", "plugin", NEW),
        }
        self.site = publish(
            folder / "site", signing, (NEW, self.installers["full-ax"]),
            (NEW, self.installers["full-pl"]),
            patches=[("from-228", "activex", self.installers["patch-ax"], players / "ax.ocx",
                      players / "ax64.ocx"),
                     ("from-228", "plugin", self.installers["patch-pl"], players / "pl.dll",
                      players / "pl64.dll")],
            check_frequency=check_frequency)

    def package(self, relative):
        return self.site / "pub/vextraplayer/update/current/sau/11/install" / relative


@pytest.fixture(scope="module")
def signing(tmp_path_factory):
    require_environment()
    return Signing(tmp_path_factory.mktemp("pki"))


@pytest.fixture(scope="module")
def release(tmp_path_factory, signing):
    return Release(tmp_path_factory.mktemp("release"), signing)


@pytest.fixture(scope="module")
def servers(signing, release):
    s = Servers(release.site, signing).start()
    yield s
    s.stop()


@pytest.fixture
def site(servers, release):
    """The servers, reset to serve the release."""
    servers.serve(release.site)
    return servers


@pytest.fixture
def machine(signing):
    m = ServiceMachine(signing)
    yield m
    m.close()


def install_old_player(machine, activex=True, plugin=True, ax64=AX_FILE_OLD_64):
    if activex:
        machine.install_player("activex", OLD, AX_FILE_OLD, ax64)
    if plugin:
        machine.install_player("plugin", OLD, PL_FILE_OLD, PL_FILE_OLD_64)


