"""The start's clean-up of stale staging folders, raced by a local user: the temporary folder
of a service without GetTempPath2W (C:\\Windows\\Temp) lets any user make a folder with a
staging folder's name, and swap it for a link to somewhere else while the clean-up runs.

Here the user is a host process of the Wine prefix, and the link a host symbolic link to a
folder inside drive_c (Wine shows it as a reparse point). The racer swaps a user-made
GUID-named folder and the link by one atomic exchange (renameat2 RENAME_EXCHANGE), tens of
thousands of times a second, while `staging_sweep_probe.exe` runs the clean-up round after
round. The link leads to a victim folder outside the temporary folder, holding files named as
the clean-up's own: they must all survive. A control run without the racer shows that the same
rounds do remove the user's folder (with its staging files) when nothing is swapped.

Under Wine every folder reports the process's own account as its owner, so the owner check
refuses nothing here: what stops the race is the handle's checks (the folder's handle reaching
the place its name says) and the move into the clean-up's private folder before anything in it
is deleted."""
import ctypes
import os
import threading
import time

import pytest

from service_log import code_names, log_messages
from winetools import PROGRAMS, WinePrefix, to_windows_path

PROBE = PROGRAMS / "staging_sweep_probe.exe"
GUID = "{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}"
STAGING_FILES = ("vpi.tmp", "vpi.validator")
RENAME_EXCHANGE = 2
AT_FDCWD = -100

libc = ctypes.CDLL(None, use_errno=True)


def exchange(a, b):
    """Swaps the two names in one step; False when one of them is not there."""
    if libc.renameat2(AT_FDCWD, os.fsencode(a), AT_FDCWD, os.fsencode(b), RENAME_EXCHANGE) == 0:
        return True
    err = ctypes.get_errno()
    if err == 2:  # ENOENT: the clean-up took one of them away
        return False
    raise OSError(err, os.strerror(err))


def users_folder(path):
    path.mkdir()
    for name in STAGING_FILES:
        (path / name).write_bytes(b"the user's staging-like file\n")


class Racer(threading.Thread):
    """Keeps a user-made folder under the GUID name and swaps it with a link to the victim."""

    def __init__(self, temp, victim):
        super().__init__(daemon=True)
        self.folder = temp / GUID
        self.aside = temp / "aside"  # not a staging name: the clean-up never looks at it
        self.victim = victim
        self.swaps = 0
        self.remade = 0
        self.stop = threading.Event()

    def restore(self):
        """After the clean-up took the name away: the folder under the name again, the link
        aside."""
        if self.aside.is_symlink():
            users_folder(self.folder)
        else:
            os.rename(self.aside, self.folder)
            if not any((self.folder / n).exists() for n in STAGING_FILES):
                for name in STAGING_FILES:
                    (self.folder / name).write_bytes(b"again\n")
            os.symlink(self.victim, self.aside)
        self.remade += 1

    def run(self):
        while not self.stop.is_set():
            try:
                if exchange(self.aside, self.folder):
                    self.swaps += 1
                else:
                    self.restore()
            except OSError:
                pass  # the clean-up moved a name between two steps: go on swapping


def sweep(wine, temp, rounds):
    work = wine.drive_c / "sweep-work"
    (work / "Telmor" / "Vextra").mkdir(parents=True, exist_ok=True)
    rc = wine.run(PROBE, to_windows_path(temp), str(rounds), cwd=work, timeout=600)
    assert rc == 0
    return log_messages(work / "Telmor" / "Vextra" / "VextraInstall.log")


@pytest.fixture
def wine():
    with WinePrefix() as w:
        yield w


def make_victim(wine):
    victim = wine.drive_c / "victim"
    victim.mkdir()
    for name in STAGING_FILES + ("keep.txt",):
        (victim / name).write_bytes(b"precious\n")
    return victim


def victim_files(victim):
    return sorted(p.name for p in victim.iterdir()) if victim.exists() else None


def test_the_clean_up_removes_a_stale_guid_folder_when_nothing_is_swapped(wine):
    temp = wine.drive_c / "racetemp"
    temp.mkdir()
    victim = make_victim(wine)
    users_folder(temp / GUID)
    os.symlink(victim, temp / "aside")
    messages = sweep(wine, temp, 3)
    assert not (temp / GUID).exists()
    assert "StaleStagingFolderRemoved" in code_names(messages), messages
    # A link under a staging name is never followed, nor removed.
    os.symlink(victim, temp / GUID)
    sweep(wine, temp, 3)
    assert (temp / GUID).is_symlink()
    assert victim_files(victim) == ["keep.txt", "vpi.tmp", "vpi.validator"]
    # Nothing but the user's folder went: no private folder of the clean-up stays behind.
    assert sorted(p.name for p in temp.iterdir()) == ["aside", GUID]


def test_a_folder_swapped_for_a_link_during_the_clean_up_deletes_nothing_behind_it(wine):
    temp = wine.drive_c / "racetemp"
    temp.mkdir()
    victim = make_victim(wine)
    users_folder(temp / GUID)
    os.symlink(victim, temp / "aside")
    racer = Racer(temp, victim)
    racer.start()
    start = time.monotonic()
    try:
        messages = sweep(wine, temp, 1000)
    finally:
        racer.stop.set()
        racer.join()
    took = time.monotonic() - start
    names = code_names(messages)
    print(f"{racer.swaps} swaps, folder made again {racer.remade} times, in {took:.1f} s; "
          f"removed {names.count('StaleStagingFolderRemoved')} times, refused "
          f"{names.count('StaleStagingFolderRefused')} times")
    assert racer.swaps > 1000, "the racer swapped while the clean-up ran"
    assert racer.remade > 0, "the clean-up took the user's folder at least once"
    assert victim_files(victim) == ["keep.txt", "vpi.tmp", "vpi.validator"], \
        "a file outside the temporary folder was deleted through the link"
