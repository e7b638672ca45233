"""A Windows program run under Wine on a full disk: the folder it writes to is a tiny tmpfs
mounted in a private mount namespace, and Wine (server included) runs inside that namespace."""
import subprocess

from winetools import WINE64, WINESERVER, to_windows_path


def can_mount_tmpfs(tmp_path):
    probe = tmp_path / "probe"
    probe.mkdir()
    r = subprocess.run(["unshare", "-m", "mount", "-t", "tmpfs", "-o", "size=16k", "tmpfs",
                        str(probe)], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
    return r.returncode == 0


def run_on_full_folder(wine, tmp_path, folder, command, files, free_bytes=4096, cwd=False):
    """Runs `command` (one batch line) through `wine64 cmd /c` while `folder` is a 64 KiB tmpfs
    holding `files` (name -> bytes) and a filler that leaves about `free_bytes` free (`cwd`: the
    command runs in that folder). The
    prefix's server is stopped first and started again after. Returns (the batch's
    %ERRORLEVEL% text, the folder's file names without the filler, {name: bytes} of them)."""
    folder.mkdir(parents=True, exist_ok=True)
    wine.stop()  # the server must run inside the mount namespace to see the tmpfs
    seed, out = tmp_path / "seed", tmp_path / "out"
    seed.mkdir()
    out.mkdir()
    for name, data in files.items():
        (seed / name).write_bytes(data)
    bat = tmp_path / "run.bat"
    rc_file = tmp_path / "rc.txt"
    bat.write_text("@echo off\r\n"
                   + (f'cd /d "{to_windows_path(folder)}"\r\n' if cwd else "")
                   + f"{command}\r\n"
                   f'echo %ERRORLEVEL% > "{to_windows_path(rc_file)}"\r\n')
    script = f"""
set -e
mount -t tmpfs -o size=64k tmpfs "{folder}"
cp "{seed}"/. -r "{folder}/"
head -c $((64*1024 - $(du -sb "{folder}" | cut -f1) - {free_bytes})) /dev/zero > "{folder}/filler" || true
"{WINE64}" cmd /c "{to_windows_path(bat)}" >/dev/null 2>&1 </dev/null || true
"{WINESERVER}" -k >/dev/null 2>&1 </dev/null || true
"{WINESERVER}" -w >/dev/null 2>&1 </dev/null || true
rm -f "{folder}/filler"
cp -r "{folder}"/. "{out}/"
"""
    subprocess.run(["unshare", "-m", "bash", "-c", script], env=wine.env, check=True,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=180)
    wine.start()
    names = sorted(p.name for p in out.iterdir())
    contents = {p.name: p.read_bytes() for p in out.iterdir() if p.is_file()}
    return rc_file.read_text().strip(), names, contents
