"""The service runtime under Wine's service control manager: the status reports a run goes
through and the dispatcher's log lines."""
from update_fixtures import install_old_player, machine, release, servers, signing, site  # noqa: F401
from service_log import code_names

START_PENDING, RUNNING, STOP_PENDING, STOPPED = 2, 4, 3, 1


def test_one_start_runs_one_cycle_and_reports_its_states(machine, site):
    install_old_player(machine)
    machine.set_state(last=0)
    machine.write_config({"SilentAutoUpdateEnable": "1", "AutoUpdateDisable": "1",
                          "SilentAutoUpdateVerboseLogging": "1"})
    messages = machine.run_once()
    got = code_names(messages)
    # ProgramStarted comes before the configuration switched verbose logging on, so it is
    # filtered out.
    assert "ProgramStarted" not in got
    assert got[got.index("ConnectingToServiceManager"):] == [
        "ConnectingToServiceManager", "UpdateCycleStarts", "UpdateCycleEnds", "ServiceStopped"]
    statuses = machine.probe.statuses
    # From running on the service accepts stop (1) and shutdown (4).
    assert statuses[-1][:4] == (STOPPED, 5, 0, 0) and statuses[-1][4] == 0
    for state, accepted, checkpoint, hint, exit_code in statuses:
        assert exit_code == 0 or state == STOPPED
        if state == START_PENDING:
            assert (accepted, checkpoint, hint) == (0, 1, 3000)
        elif state == RUNNING:
            assert (accepted, checkpoint, hint) == (5, 0, 0)
    # The states seen come in their order: start pending, running, stopped.
    order = [s[0] for s in statuses]
    assert order == sorted(order, key=[START_PENDING, RUNNING, STOPPED].index)


def test_each_start_is_one_short_run(machine, site):
    machine.write_config({"SilentAutoUpdateEnable": "0", "SilentAutoUpdateVerboseLogging": "1"})
    for run in range(2):
        got = code_names(machine.run_once())
        assert got.count("UpdateCycleStarts") == 1 and got.count("UpdateCycleEnds") == 1
        assert got[-1] == "ServiceStopped"
    assert machine.query()[0] == STOPPED
