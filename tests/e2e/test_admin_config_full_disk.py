"""Saving kvc.cfg on a full disk: the option's write fails, the administrator's file stays as it
was and no temporary file is left behind. The configuration folder is a tiny tmpfs mounted in a
private mount namespace; Wine (server included) runs inside that namespace."""
import shutil
import subprocess

import pytest

from winetools import SERVICE_EXE, WINE64, WINESERVER, WinePrefix, to_windows_path

ORIGINAL = b"".join(b"Setting%04d=%s\r\n" % (i, b"v" * 40) for i in range(400)) + \
    b"SilentAutoUpdateEnable=1\r\nAutoUpdateDisable=0\r\n"


def can_mount_tmpfs(tmp_path):
    probe = tmp_path / "probe"
    probe.mkdir()
    r = subprocess.run(["unshare", "-m", "mount", "-t", "tmpfs", "-o", "size=16k", "tmpfs",
                        str(probe)], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
    return r.returncode == 0


def test_full_disk_keeps_the_old_configuration(tmp_path):
    if not can_mount_tmpfs(tmp_path):
        pytest.skip("no private mount namespace with tmpfs here (needs the test network namespace)")
    with WinePrefix() as wine:
        folder = wine.vextra_system_folder
        folder.mkdir(parents=True, exist_ok=True)
        wine.stop()  # the server must run inside the mount namespace to see the tmpfs
        out = tmp_path / "out"
        out.mkdir()
        bat = tmp_path / "run.bat"
        rc_file = tmp_path / "rc.txt"
        bat.write_text("@echo off\r\n"
                       f'"{to_windows_path(SERVICE_EXE)}" -setNotifyAutoUpdate\r\n'
                       f'echo %ERRORLEVEL% > "{to_windows_path(rc_file)}"\r\n')
        script = f"""
set -e
mount -t tmpfs -o size=64k tmpfs "{folder}"
cp "{tmp_path / 'original.cfg'}" "{folder}/kvc.cfg"
# Leave less free space than the rewritten file needs.
head -c $((64*1024 - $(stat -c %s "{folder}/kvc.cfg") - 4096)) /dev/zero > "{folder}/filler" || true
df -B1 "{folder}" > "{out}/df.txt"
"{WINE64}" cmd /c "{to_windows_path(bat)}" >/dev/null 2>&1 </dev/null || true
"{WINESERVER}" -k >/dev/null 2>&1 </dev/null || true
"{WINESERVER}" -w >/dev/null 2>&1 </dev/null || true
cp "{folder}/kvc.cfg" "{out}/kvc.cfg"
ls -A "{folder}" > "{out}/listing.txt"
"""
        (tmp_path / "original.cfg").write_bytes(ORIGINAL)
        subprocess.run(["unshare", "-m", "bash", "-c", script], env=wine.env, check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=180)
        wine.start()
        assert rc_file.read_text().strip() == "0", "commands report through the log only"
        assert (out / "kvc.cfg").read_bytes() == ORIGINAL
        assert sorted((out / "listing.txt").read_text().split()) == ["filler", "kvc.cfg"], \
            "no temporary file is left behind"
        # The same command on a folder with room rewrites the file.
        shutil.copy(tmp_path / "original.cfg", folder / "kvc.cfg")
        assert wine.run(SERVICE_EXE, "-setNotifyAutoUpdate") == 0
        assert (folder / "kvc.cfg").read_bytes().endswith(
            b"SilentAutoUpdateEnable=0\r\nAutoUpdateDisable=0\r\n")
