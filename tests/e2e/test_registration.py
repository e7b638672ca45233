"""The administration commands "-install", "-uninstall", "-createDefaultTask" and "-deleteTask"
of the built service program, checked independently through Wine's `sc`, `reg` and the task
files. Command mode logs only error lines (verbose logging is a service-mode setting), so a
clean run leaves the log empty."""
import shutil

import pytest

from service_log import named, named_messages
from service_machine import REGISTRY_STATE_KEY as STATE_KEY
from service_machine import SERVICE_NAME as SERVICE
from service_machine import TASK_NAME as TASK
from service_machine import TASK_PROBE, ServiceMachine
from winetools import PROGRAMS, SERVICE_EXE, to_windows_path

SERVICE_KEY = rf"HKLM\System\CurrentControlSet\Services\{SERVICE}"
DISPLAY = "Orvane Vextra Player Update Service"
SERVICE_TEXT = ("This service keeps your Orvane Vextra Player installation up to date with the "
                "latest enhancements and security fixes.")
PROBE_SERVICE = PROGRAMS / "registration_probe_service.exe"
START_AS = PROGRAMS / "start_as.exe"  # starts a program with an argument 0 of its choosing
# The registered service is not running, so a stop request fails with
# ERROR_SERVICE_NOT_ACTIVE (1062).
STOP_FAILED = [("error", "StopServiceControlFailed 1062")]


def command_machine(version):
    """A prefix of that Windows version in which the commands run from a working folder."""
    return ServiceMachine(version=version, service=False)


@pytest.fixture
def xp():
    m = command_machine("winxp64")
    yield m
    m.close()


@pytest.fixture
def win7():
    m = command_machine("win7")
    yield m
    m.close()


def test_install_then_uninstall(xp):
    assert xp.command("-install") == 0
    assert xp.sc_state() == "STOPPED"
    reg = xp.values(SERVICE_KEY)
    assert reg["ImagePath"] == to_windows_path(SERVICE_EXE)
    assert reg["Start"] == 3
    assert reg["Type"] == 0x10
    assert reg["ErrorControl"] == 1
    assert reg["ObjectName"] == "LocalSystem"
    assert reg["DisplayName"] == DISPLAY
    assert reg["Description"] in (SERVICE_TEXT, "MISSING LOCALIZATION")
    assert xp.values(STATE_KEY) == {"UpdateAttempts": 0, "LastUpdateCheck": 0, "CheckFrequency": 1}
    if xp.prefix.bits == 32:
        # The 32-bit program's state lives in the 32-bit registry view (WOW6432Node) only.
        assert xp.values(STATE_KEY, bits=64) is None
    assert xp.job_file().exists()
    task = xp.show_task()
    assert task["application"] == to_windows_path(SERVICE_EXE)
    assert task["creator"] == "Orvane"
    assert task["flags"] == "1024"
    assert task["triggers"] == "1"
    assert xp.messages() == []

    assert xp.command("-uninstall") == 0
    assert xp.sc_state() is None
    assert not xp.job_file().exists()
    assert xp.values(STATE_KEY) == {}
    # The registered service is not running, so the stop request fails before the deletion.
    assert named_messages(xp.messages()) == STOP_FAILED


def test_install_registers_the_running_file_not_a_same_named_one_in_the_current_folder(xp):
    # Argument 0 is a bare name, and the current folder holds another program of that name.
    shutil.copy(PROBE_SERVICE, xp.work.path / SERVICE_EXE.name)
    assert xp.command(to_windows_path(SERVICE_EXE), SERVICE_EXE.name, "-install", exe=START_AS) == 0
    assert xp.values(SERVICE_KEY)["ImagePath"] == to_windows_path(SERVICE_EXE)
    assert xp.show_task()["application"] == to_windows_path(SERVICE_EXE)


def test_the_service_description_comes_from_the_string_table(xp):
    assert xp.command("-install") == 0
    description = xp.values(SERVICE_KEY)["Description"]
    if description == "MISSING LOCALIZATION":
        pytest.skip("this build of the program carries no string table yet")
    assert description == SERVICE_TEXT
    assert xp.show_task()["comment"].startswith("This task keeps your Orvane Vextra Player installation")


def test_install_on_a_stopped_service_moves_it_to_the_new_program(xp):
    assert xp.command("-install") == 0
    moved_dir = xp.prefix.drive_c / "Program Files" / "Orvane"
    moved_dir.mkdir(parents=True)
    shutil.copy(SERVICE_EXE, moved_dir / SERVICE_EXE.name)
    moved = r"C:\Program Files\Orvane\VextraPlayerUpdateService.exe"
    assert xp.command("-install", exe=moved) == 0
    # The stop request fails because the service is not running; that is logged, and the
    # registration follows the program to its new folder all the same.
    assert named_messages(xp.messages()) == STOP_FAILED
    reg = xp.values(SERVICE_KEY)
    assert reg["ImagePath"] == f'"{moved}"', "a path with spaces is registered in quotes"
    assert reg["DisplayName"] == DISPLAY
    assert xp.sc_state() == "STOPPED"
    task = xp.show_task()
    assert task["triggers"] == "1", "the existing task is repaired, not given a second trigger"


def test_install_on_a_running_service_stops_it_and_updates_it(xp):
    rc, _ = xp.prefix.wine("sc", "create", SERVICE, "binPath=", to_windows_path(PROBE_SERVICE),
                           "DisplayName=", "Old Name")
    assert rc == 0
    xp.prefix.wine("sc", "start", SERVICE)
    assert xp.wait_state("RUNNING")
    assert xp.command("-install", "ignored", "arguments") == 0
    assert xp.messages() == []
    assert xp.wait_state("STOPPED"), "the stop control reached the running service"
    reg = xp.values(SERVICE_KEY)
    assert reg["ImagePath"] == to_windows_path(SERVICE_EXE)
    assert reg["DisplayName"] == DISPLAY
    assert reg["Description"] in (SERVICE_TEXT, "MISSING LOCALIZATION")


def test_uninstall_without_the_service_removes_only_task_and_state(xp):
    assert xp.command("-createDefaultTask") == 0
    assert xp.job_file().exists()
    assert xp.command("-uninstall") == 0
    assert xp.sc_state() is None
    assert not xp.job_file().exists()
    assert xp.values(STATE_KEY) == {}
    assert xp.messages() == [], "a missing service is not an error"


def test_uninstall_of_a_running_service_stops_and_deletes_it(xp):
    rc, _ = xp.prefix.wine("sc", "create", SERVICE, "binPath=", to_windows_path(PROBE_SERVICE))
    assert rc == 0
    xp.prefix.wine("sc", "start", SERVICE)
    assert xp.wait_state("RUNNING")
    assert xp.command("-uninstall") == 0
    assert xp.wait_state(None), "stopped and then deleted"
    assert xp.messages() == []


def test_create_default_task_resets_the_state(xp):
    xp.prefix.reg_add(STATE_KEY, "UpdateAttempts", "REG_DWORD", 6)
    xp.prefix.reg_add(STATE_KEY, "CheckFrequency", "REG_DWORD", 3)
    xp.prefix.reg_add(STATE_KEY, "LastUpdateCheck", "REG_QWORD", 123456789)
    assert xp.command("-createDefaultTask") == 0
    assert xp.values(STATE_KEY) == {"UpdateAttempts": 0, "LastUpdateCheck": 0, "CheckFrequency": 1}
    task = xp.show_task()
    assert task["application"] == to_windows_path(SERVICE_EXE)
    assert task["trigger0"].startswith("type 1 begin 2000-1-1 start 0:")
    assert task["trigger0"].endswith("duration 1440 interval 60 flags 0 days 1")
    assert xp.sc_state() is None, "no service is registered by this command"


def test_delete_task_keeps_the_other_values_when_update_attempts_is_absent(xp):
    assert xp.command("-createDefaultTask") == 0
    xp.prefix.wine("reg", "delete", STATE_KEY, "/v", "UpdateAttempts", "/f",
                   *xp.prefix.reg_view(STATE_KEY))
    assert xp.command("-deleteTask") == 0
    assert xp.values(STATE_KEY) == {"LastUpdateCheck": 0, "CheckFrequency": 1}
    assert not xp.job_file().exists(), "the task is removed all the same"
    assert xp.command("-deleteTask") == 0
    assert xp.messages() == [], "removing a missing task logs nothing"


def test_windows_7_uses_task_scheduler_2_for_creation_and_removal(win7):
    # Wine's Task Scheduler 2.0 has no repetition pattern (E_NOTIMPL), so the creation stops
    # there with Task2CreateGetRepetitionFailed after the trigger id (Task2CreatePutIdFailed,
    # goes on); the 1.0 .job file is not written.
    assert win7.command("-createDefaultTask") == 0
    names = [named(m).split()[0] for _, m in win7.messages()]
    assert names and names[-1] in ("Task2CreateGetRepetitionFailed", "Task2Created") and \
        set(names[:-1]) <= {"Task2CreatePutIdFailed"}
    assert not win7.job_file().exists()
    assert win7.values(STATE_KEY) == {"UpdateAttempts": 0, "LastUpdateCheck": 0, "CheckFrequency": 1}

    # Removal through 2.0 works in Wine: a task registered there is deleted.
    bat = win7.prefix.root / "bare.bat"
    bat.write_text(f'@"{to_windows_path(TASK_PROBE)}" bare2 > NUL\r\n')
    win7.prefix.wine("cmd", "/c", to_windows_path(bat))
    task_file = win7.prefix.system32 / "tasks" / TASK
    assert task_file.exists()
    before = len(win7.messages())
    assert win7.command("-deleteTask") == 0
    assert not task_file.exists()
    assert len(win7.messages()) == before
    assert win7.values(STATE_KEY) == {}


