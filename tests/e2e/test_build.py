"""The shipped 32-bit program and its 64-bit test twin: console subsystem, only Windows system
DLLs imported (libgcc, libstdc++ and winpthread are linked statically), and a from-scratch
i686 build that compiles and links without a single warning."""
import re
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest

from winetools import BUILD32, BUILD64, ROOT

SYSTEM_DLLS = {
    "kernel32.dll", "advapi32.dll", "shell32.dll", "msvcrt.dll", "user32.dll", "ole32.dll",
    "oleaut32.dll", "winhttp.dll", "crypt32.dll", "taskschd.dll", "mstask.dll", "rpcrt4.dll",
    "shlwapi.dll", "ws2_32.dll", "version.dll", "wintrust.dll", "secur32.dll", "bcrypt.dll",
    "ntdll.dll", "userenv.dll", "gdi32.dll", "comctl32.dll", "ucrtbase.dll",
}

PROGRAMS = [
    pytest.param(BUILD32 / "VextraPlayerUpdateService.exe", "i686-w64-mingw32-objdump",
                 "pei-i386", id="win32"),
    pytest.param(BUILD64 / "VextraPlayerUpdateService.exe", "x86_64-w64-mingw32-objdump",
                 "pei-x86-64", id="win64"),
]


def objdump(tool, exe):
    with tempfile.TemporaryFile() as out:
        subprocess.run([tool, "-p", str(exe)], stdout=out, stderr=subprocess.STDOUT, check=True)
        out.seek(0)
        return out.read().decode("utf-8", "replace")


@pytest.mark.parametrize("exe, tool, fmt", PROGRAMS)
def test_program_is_a_console_program_importing_only_system_dlls(exe, tool, fmt):
    assert exe.exists(), f"{exe} is not built"
    text = objdump(tool, exe)
    assert f"file format {fmt}" in text
    assert re.search(r"^Subsystem\s+00000003\s+\(Windows CUI\)", text, re.M)
    dlls = {name.lower() for name in re.findall(r"DLL Name: (\S+)", text)}
    assert "kernel32.dll" in dlls
    foreign = {d for d in dlls if d not in SYSTEM_DLLS and not d.startswith("api-ms-win-")}
    assert foreign == set(), f"imports outside the Windows system DLLs: {sorted(foreign)}"


def test_fresh_i686_build_has_no_warnings():
    """Configures and builds the shipped program from scratch, so that every source is
    compiled again (an incremental build would hide warnings of unchanged files)."""
    work = Path(tempfile.mkdtemp(prefix="vextra-i686-"))
    try:
        log = work / "build.log"
        with open(log, "wb") as out:
            subprocess.run(
                ["cmake", "-S", str(ROOT), "-B", str(work / "b"),
                 f"-DCMAKE_TOOLCHAIN_FILE={ROOT / 'cmake/toolchain-mingw-i686.cmake'}",
                 "-DCMAKE_BUILD_TYPE=Release", "-DVEXTRA_BUILD_TESTS=OFF"],
                stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, check=True)
            result = subprocess.run(
                ["cmake", "--build", str(work / "b"), "--target", "VextraPlayerUpdateService",
                 "-j", "2"],
                stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        text = log.read_text(errors="replace")
        assert result.returncode == 0, text[-4000:]
        warnings = [l for l in text.splitlines() if re.search(r"\bwarning\b", l, re.I)]
        assert warnings == [], "\n".join(warnings[:40])
        assert (work / "b" / "VextraPlayerUpdateService.exe").exists()
    finally:
        shutil.rmtree(work, ignore_errors=True)
