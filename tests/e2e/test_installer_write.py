"""The verified installer written on a full disk, or from empty content: the write fails and a
previous VextraPlayerInstaller.exe stays as it was, with no temporary file left behind."""
import pytest

from full_disk import can_mount_tmpfs, run_on_full_folder
from verification_fixtures import PROGRAMS
from winetools import WinePrefix, to_windows_path

PROBE = PROGRAMS / "installer_write_probe.exe"
PREVIOUS = b"MZ previous installer " * 900  # about 20 KiB


@pytest.mark.parametrize("content_bytes,free", [(40000, 4096), (0, 32768)],
                         ids=["full-disk", "empty-content"])
def test_failed_write_keeps_the_previous_installer(tmp_path, content_bytes, free):
    if not can_mount_tmpfs(tmp_path):
        pytest.skip("no private mount namespace with tmpfs here (needs the test network namespace)")
    with WinePrefix() as wine:
        folder = wine.drive_c / "vextra-installer"
        rc, names, files = run_on_full_folder(
            wine, tmp_path, folder, f'"{to_windows_path(PROBE)}" {content_bytes}',
            {"VextraPlayerInstaller.exe": PREVIOUS}, free_bytes=free, cwd=True)
        assert rc == "1"
        assert files["VextraPlayerInstaller.exe"] == PREVIOUS
        assert "VextraPlayerInstaller.exe.tmp" not in names
