"""The administration options of the built service program under Wine: the auto-update modes
rewrite system32\\Telmor\\Vextra\\kvc.cfg (SysWOW64 for the 32-bit program on 64-bit
Windows), -isSAUEnabled answers through the exit code, and anything that is not exactly one of
the options does nothing."""
import os
from pathlib import Path

import pytest

from service_log import named_messages
from winetools import PROGRAMS, SERVICE_EXE, WinePrefix, WorkFolder, log_messages, to_windows_path

# Holds a file open without sharing while it runs a program.
HOLD_FILE = PROGRAMS / "hold_file.exe"

CONFIG_ONLY_OPTIONS = ["-setSilentAutoUpdate", "-setNotifyAutoUpdate", "-setDisableAutoUpdate"]


@pytest.fixture(scope="module")
def prefix():
    with WinePrefix() as p:
        yield p


@pytest.fixture
def wine(prefix):
    """The shared prefix with an existing, empty configuration folder and a private working
    folder (with Telmor\\Vextra, so every log line that is written can be seen)."""
    folder = prefix.vextra_system_folder
    folder.mkdir(parents=True, exist_ok=True)
    for f in folder.iterdir():
        f.unlink()
    work = WorkFolder(prefix.drive_c / "work")
    prefix.work = work.path
    prefix.log = work.log
    return prefix


def run(wine, *args):
    return wine.run(SERVICE_EXE, *args, cwd=wine.work)


@pytest.mark.parametrize("option, expected", [
    ("-setSilentAutoUpdate", b"SilentAutoUpdateEnable=1\r\nAutoUpdateDisable=0\r\n"),
    ("-setNotifyAutoUpdate", b"SilentAutoUpdateEnable=0\r\nAutoUpdateDisable=0\r\n"),
    ("-setDisableAutoUpdate", b"SilentAutoUpdateEnable=0\r\nAutoUpdateDisable=1\r\n"),
])
def test_mode_options_write_the_configuration_file(wine, option, expected):
    assert run(wine, option) == 0
    assert wine.config_file.read_bytes() == expected
    if wine.bits == 32:
        # The 32-bit program's system folder is SysWOW64: nothing lands in the real system32.
        assert not (wine.system32 / "Telmor" / "Vextra" / "kvc.cfg").exists()
    # Commands never switch verbose logging on: the info start lines are filtered.
    assert log_messages(wine.log) == []


def test_mode_option_keeps_other_lines_and_drops_noise(wine):
    wine.config_file.write_bytes(
        b"\xef\xbb\xbf; written by the deployment tool\r\n\r\n"
        b"  SilentAutoUpdateServerDomain = updates.example.org \r\n"
        b"SilentAutoUpdateEnable=1\r\nSilentAutoUpdateVerboseLogging=1\r\n"
        b"SilentAutoUpdateEnable=0\r\n")
    assert run(wine, "-setNotifyAutoUpdate") == 0
    assert wine.config_file.read_bytes() == (
        b"SilentAutoUpdateServerDomain=updates.example.org\r\n"
        b"SilentAutoUpdateEnable=0\r\nSilentAutoUpdateVerboseLogging=1\r\n"
        b"SilentAutoUpdateEnable=0\r\nAutoUpdateDisable=0\r\n")
    # Verbose logging in the file does not apply to commands.
    assert log_messages(wine.log) == []


def test_mode_option_without_configuration_folder_creates_nothing(wine):
    wine.vextra_system_folder.rmdir()
    assert run(wine, "-setSilentAutoUpdate") == 0
    assert not wine.vextra_system_folder.exists()


def test_mode_option_keeps_a_file_it_could_not_read_whole(wine, tmp_path):
    """Held open by another program, unreadable, or UTF-16: the file stays byte for byte and
    the refusal is logged with its cause (commands log errors only)."""
    unreadable = Path("/sys/class/net/lo/speed")  # opens, but every read fails (EINVAL)
    original = b"SilentAutoUpdateServerDomain=updates.example.org\r\nSilentAutoUpdateEnable=1\r\n"
    utf16 = original.decode().encode("utf-16")
    refused = "AutoUpdateModeConfigUnreadable"

    wine.config_file.write_bytes(original)  # held open without sharing: ERROR_SHARING_VIOLATION
    assert wine.run(HOLD_FILE, to_windows_path(wine.config_file), to_windows_path(SERVICE_EXE),
                    "-setNotifyAutoUpdate", cwd=wine.work) == 0
    assert wine.config_file.read_bytes() == original
    assert named_messages(log_messages(wine.log)) == [("error", f"{refused} 32")]

    wine.config_file.write_bytes(utf16)
    assert run(wine, "-setDisableAutoUpdate") == 0
    assert wine.config_file.read_bytes() == utf16
    assert named_messages(log_messages(wine.log))[1:] == [("error", f"{refused} 0")]

    if not unreadable.exists():
        pytest.skip(f"{unreadable} is not here to give a read error")
    wine.config_file.unlink()
    os.symlink(unreadable, wine.config_file)
    assert run(wine, "-setSilentAutoUpdate") == 0
    assert wine.config_file.is_symlink(), "the file was replaced"
    assert named_messages(log_messages(wine.log))[2:] == [("error", f"{refused} 87")]  # ERROR_INVALID_PARAMETER


@pytest.mark.parametrize("content, code", [
    (b"SilentAutoUpdateEnable=1\r\n", 1001),
    (b"AutoUpdateDisable=1\r\nSilentAutoUpdateEnable=yes\r\n", 1001),
    (b"SilentAutoUpdateEnable=0\r\nSilentAutoUpdateEnable=1\r\n", 0),
    (b"silentautoupdateenable=1\r\n", 0),
    ("SilentAutoUpdateEnable=1\r\n".encode("utf-16"), 0),
    (b"S=1", 0),
    (None, 0),
])
def test_is_sau_enabled_exit_code(wine, content, code):
    if content is not None:
        wine.config_file.write_bytes(content)
    assert run(wine, "-isSAUEnabled") == code
    if content is not None:
        assert wine.config_file.read_bytes() == content, "the query never writes"


def test_modes_round_trip_through_the_query(wine):
    assert run(wine, "-setSilentAutoUpdate") == 0
    assert run(wine, "-isSAUEnabled") == 1001
    assert run(wine, "-setDisableAutoUpdate") == 0
    assert run(wine, "-isSAUEnabled") == 0
    assert run(wine, "-setSilentAutoUpdate", "-setDisableAutoUpdate") == 0, "only argument 1 counts"
    assert run(wine, "-isSAUEnabled", "extra", "words") == 1001


@pytest.mark.parametrize("option", [
    "-setsilentautoupdate", "-SETSILENTAUTOUPDATE", "/setSilentAutoUpdate", "setSilentAutoUpdate",
    "--setSilentAutoUpdate", "-setSilentAutoUpdat", "-setSilentAutoUpdateX", "-isSAUenabled",
    "/isSAUEnabled", "-help", "-",
])
def test_near_miss_options_do_nothing(wine, option):
    wine.config_file.write_bytes(b"SilentAutoUpdateEnable=1\r\nAutoUpdateDisable=1\r\n")
    assert run(wine, option) == 0
    assert wine.config_file.read_bytes() == b"SilentAutoUpdateEnable=1\r\nAutoUpdateDisable=1\r\n"
    assert wine.reg_query(r"HKLM\SOFTWARE\Telmora\VextraPlayer", "UpdateAttempts") is None
    assert log_messages(wine.log) == []
