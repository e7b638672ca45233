"""The service log of the built program under Wine: where it goes, its bytes, and the level
filter (error lines always, info and warning lines only with verbose logging, which only the
service mode loads from kvc.cfg)."""
import datetime
import re

import pytest

from service_log import named, named_messages
from winetools import SERVICE_EXE, WinePrefix, WorkFolder, log_messages, read_log

BAD_DOMAIN = b"SilentAutoUpdateServerDomain=bad\xff\xfehost\r\n"


@pytest.fixture(scope="module")
def prefix():
    with WinePrefix() as p:
        yield p


@pytest.fixture
def wine(prefix, request):
    prefix.vextra_system_folder.mkdir(parents=True, exist_ok=True)
    work = WorkFolder(prefix.drive_c / f"work-{request.node.name}".replace("[", "-").replace("]", ""))
    prefix.work = work.path
    prefix.log = work.log
    yield prefix
    if prefix.config_file.exists():
        prefix.config_file.unlink()


def run_service_mode(wine, cwd=None):
    """No option: the start-up checks run, then the dispatcher (which fails from a prompt)."""
    return wine.run(SERVICE_EXE, cwd=cwd or wine.work, timeout=180)


def test_verbose_logging_adds_info_lines_after_the_configuration_is_loaded(wine):
    wine.config_file.write_bytes(
        b"SilentAutoUpdateVerboseLogging=1\r\nSilentAutoUpdateServerDomain=localhost\r\n"
        b"SilentAutoUpdateEnable=1\r\n")
    assert run_service_mode(wine) == 0
    messages = log_messages(wine.log)
    info = [named(m) for level, m in messages if level == "info"]
    loaded = ["DownloadHostFromConfig localhost", "ManifestHostFromConfig localhost",
              "AutoUpdateDisableOff", "SilentAutoUpdateOn"]
    assert [m for m in info if m in loaded] == loaded
    # The start lines (program path, ProgramStarted) come before the configuration is loaded,
    # so they are filtered like every info line while verbose logging is still off.
    assert "ProgramStarted" not in info
    assert not any(m.lower().endswith("vextraplayerupdateservice.exe") for m in info)


def test_commands_do_not_load_verbose_logging(wine):
    wine.config_file.write_bytes(b"SilentAutoUpdateVerboseLogging=1\r\nSilentAutoUpdateEnable=1\r\n")
    assert wine.run(SERVICE_EXE, "-isSAUEnabled", cwd=wine.work) == 1001
    assert not wine.log.exists(), "info lines only: nothing is written, not even an empty file"


def test_error_lines_are_utf16le_in_utc_appended_and_written_without_verbose(wine):
    foreign = "written by someone else\r\n".encode("utf-16-le")
    wine.log.write_bytes(foreign)
    wine.config_file.write_bytes(BAD_DOMAIN)
    before = datetime.datetime.now(datetime.timezone.utc)
    assert run_service_mode(wine) == 0
    after = datetime.datetime.now(datetime.timezone.utc)
    raw = wine.log.read_bytes()
    assert raw.startswith(foreign)
    messages = named_messages(log_messages(wine.log, skip=1))
    # The configured domain is not valid UTF-8: both conversions fail with
    # ERROR_NO_UNICODE_TRANSLATION (1113). No info or warning line without verbose logging.
    assert ("error", "DownloadHostNotConvertible 1113") in messages
    assert ("error", "ManifestHostNotConvertible 1113") in messages
    assert [m for m in messages if m[0] != "error"] == []
    lines = read_log(wine.log)[1:]
    assert lines
    for line in lines:
        m = re.match(r"^(\d+)-(\d+)-(\d+)\+(\d+)-(\d+)-(\d+)\.(\d+) \[error\] ", line)
        assert m, line
        assert not any(len(f) > 1 and f.startswith("0") for f in m.groups()), "no leading zeros"
        y, mo, d, h, mi, s, ms = (int(f) for f in m.groups())
        stamp = datetime.datetime(y, mo, d, h, mi, s, ms * 1000, tzinfo=datetime.timezone.utc)
        slack = datetime.timedelta(seconds=2)
        assert before - slack <= stamp <= after + slack, "UTC system time of the write"


def test_log_is_relative_to_the_working_directory_and_never_created(wine):
    wine.config_file.write_bytes(BAD_DOMAIN)
    bare = wine.drive_c / "bare-folder"
    bare.mkdir(exist_ok=True)
    assert run_service_mode(wine, cwd=bare) == 0
    assert list(bare.iterdir()) == [], "no Telmor\\Vextra folder and no log are created"
    assert not wine.log.exists()
