"""Saving kvc.cfg on a full disk: the option's write fails, the administrator's file stays as it
was and no temporary file is left behind."""
import shutil

import pytest

from full_disk import can_mount_tmpfs, run_on_full_folder
from winetools import SERVICE_EXE, WinePrefix, to_windows_path

ORIGINAL = b"".join(b"Setting%04d=%s\r\n" % (i, b"v" * 40) for i in range(400)) + \
    b"SilentAutoUpdateEnable=1\r\nAutoUpdateDisable=0\r\n"


def test_full_disk_keeps_the_old_configuration(tmp_path):
    if not can_mount_tmpfs(tmp_path):
        pytest.skip("no private mount namespace with tmpfs here (needs the test network namespace)")
    with WinePrefix() as wine:
        folder = wine.vextra_system_folder
        # Less free space than the rewritten file needs.
        rc, names, files = run_on_full_folder(
            wine, tmp_path, folder, f'"{to_windows_path(SERVICE_EXE)}" -setNotifyAutoUpdate',
            {"kvc.cfg": ORIGINAL})
        assert rc == "0", "commands report through the log only"
        assert files["kvc.cfg"] == ORIGINAL
        assert names == ["kvc.cfg"], "no temporary file is left behind"
        # The same command on a folder with room rewrites the file.
        shutil.copy(tmp_path / "seed" / "kvc.cfg", folder / "kvc.cfg")
        assert wine.run(SERVICE_EXE, "-setNotifyAutoUpdate") == 0
        assert (folder / "kvc.cfg").read_bytes().endswith(
            b"SilentAutoUpdateEnable=0\r\nAutoUpdateDisable=0\r\n")
