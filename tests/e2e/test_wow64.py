"""What only the shipped 32-bit program does on 64-bit Windows (Wine's WoW64): it knows that it
runs under WOW64, and a patch applies only when the 64-bit player file, named in the 64-bit
registry view and read with file system redirection switched off, fits the patch as well. Its
update state lives in the 32-bit registry view."""
import pytest

from update_fixtures import (AX_FILE_OLD_64, install_old_player, machine, release,  # noqa: F401
                             servers, signing, site)
from winetools import BITS, BUILD32, BUILD64, WinePrefix, no_32bit_reason, pe_bits

FULL_LINE = "VextraPlayerInstaller.exe -install -iv 9"
STATE_KEY = r"HKLM\SOFTWARE\Telmora\VextraPlayer"


def test_only_the_32_bit_program_runs_under_wow64():
    probes = {bits: build / "programs" / "wow64_probe.exe"
              for bits, build in ((32, BUILD32), (64, BUILD64))}
    missing = [str(p) for p in probes.values() if not p.exists()]
    if missing:
        pytest.skip(f"needs both builds: {', '.join(missing)} missing")
    if no_32bit_reason():
        pytest.skip(no_32bit_reason())
    assert {bits: pe_bits(p) for bits, p in probes.items()} == {32: 32, 64: 64}
    with WinePrefix() as prefix:
        assert {bits: prefix.run(p) for bits, p in probes.items()} == {32: 1, 64: 0}


@pytest.mark.skipif(BITS != 32, reason="the 64-bit player file is compared by the 32-bit program only")
def test_patch_needs_the_64_bit_player_file_too(machine, site):
    # The 32-bit file fits the patch; the 64-bit file is of another build: full installer.
    install_old_player(machine, plugin=False, ax64=AX_FILE_OLD_64 + b"another build\n")
    machine.run_once()
    runs = machine.wait_installer_runs(1)
    assert (runs[0].label, runs[0].command_line) == ("full-ax", FULL_LINE)
    # The state is written in the 32-bit view (WOW6432Node) and nowhere else.
    assert machine.state()["UpdateAttempts"] == 1
    assert "UpdateAttempts" not in (machine.values(STATE_KEY, bits=64) or {})
