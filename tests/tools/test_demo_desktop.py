"""The demo's choice of desktop program (tools/demo_desktop.py `choose_program`): the Windows
program under Wine where a Windows desktop build runs here and is built, else the native one,
with the one line that says which and why. Run on a scratch tree whose tools/desktop-targets
names the presets of each case."""
import stat
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path[:0] = [str(ROOT / "tools"), str(ROOT / "tests" / "harness")]
import demo_desktop  # noqa: E402


def pe_file(path, machine):
    """The smallest file whose PE header names `machine` (0x8664 x86_64, 0x014C i686)."""
    head = bytearray(b"MZ" + bytes(62))
    head[60:64] = (64).to_bytes(4, "little")
    head += b"PE\0\0" + machine.to_bytes(2, "little") + bytes(18)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(bytes(head))


def scratch(tmp_path, presets, built):
    top = tmp_path / "top"
    (top / "tools").mkdir(parents=True)
    targets = top / "tools" / "desktop-targets"
    targets.write_text("#!/bin/sh\n" + "".join(f"echo {p}\n" for p in presets))
    targets.chmod(targets.stat().st_mode | stat.S_IXUSR)
    for path in ("native/desktop-updater", "native/tests/updater/fake-domvista",
                 "native/tests/updater/screen-grab"):
        (top / "build" / path).parent.mkdir(parents=True, exist_ok=True)
        (top / "build" / path).write_bytes(b"\x7fELF")
    for preset, files in built.items():
        machine = 0x8664 if preset == "win64-desktop" else 0x014C
        for name in files:
            pe_file(top / "build" / preset / name, machine)
    return top


BOTH = ("desktop-updater.exe", "tests/updater/fake-domvista.exe")


@pytest.mark.parametrize("presets, built, program, line", [
    ([], {}, "native/desktop-updater",
     "the native Linux build (tools/desktop-targets --test names no Windows desktop build"),
    (["win64-desktop"], {"win64-desktop": BOTH}, "win64-desktop/desktop-updater.exe",
     "the Windows program under wine64 (the win64-desktop build, whose toolchain is here)"),
    (["win32-desktop"], {"win32-desktop": BOTH}, "win32-desktop/desktop-updater.exe",
     "the Windows program under Wine's WoW64 (the win32-desktop build"),
    (["win32-desktop", "win64-desktop"], {"win32-desktop": BOTH, "win64-desktop": BOTH},
     "win32-desktop/desktop-updater.exe", "(the win32-desktop build"),
    (["win64-desktop"], {"win64-desktop": ("desktop-updater.exe",)}, "native/desktop-updater",
     "the native Linux build (the win64-desktop build runs here but is not built)"),
    (["win64-desktop"], {}, "native/desktop-updater", "runs here but is not built"),
], ids=["no-windows-build", "twin", "shipped", "shipped-first", "no-stand-in", "not-built"])
def test_the_demo_names_the_desktop_program_it_uses(tmp_path, presets, built, program, line):
    top = scratch(tmp_path, presets, built)
    chosen, said = demo_desktop.choose_program(top)
    assert chosen.updater == top / "build" / program
    assert said.startswith(f"desktop updater used: build/{program}, "), said
    assert line in said, said
    assert "\n" not in said
