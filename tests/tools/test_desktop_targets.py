"""tools/desktop-targets: which Windows builds of the desktop updater a machine makes and tests.
The shipped i686 program wherever 32-bit programs run; the x86_64 twin where they do not, or
where its toolchain is cached or asked for. Run on a copy of the scripts in a scratch tree."""
import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]


def targets(tmp_path, mode, runs32, twin_env=None, cache=None, prefixes=()):
    top = tmp_path / "top"
    (top / "tools").mkdir(parents=True, exist_ok=True)
    (top / "build").mkdir(exist_ok=True)
    for name in ("desktop-targets", "probe-i386"):
        shutil.copy2(ROOT / "tools" / name, top / "tools" / name)
    for name in prefixes:
        (top / "build" / name).write_text("/somewhere\n")
    env = {k: v for k, v in os.environ.items() if k not in ("VEXTRA_NO_32BIT", "VEXTRA_DESKTOP_TWIN")}
    env["VEXTRA_TOOLCHAIN_CACHE"] = str(cache or tmp_path / "no-cache")
    # The probe's loader check stands in for the machine: /bin/true is "installed", and
    # VEXTRA_NO_32BIT=1 is a machine that refuses 32-bit programs.
    env["WINE32"] = "/bin/true"
    if not runs32:
        env["VEXTRA_NO_32BIT"] = "1"
    if twin_env:
        env["VEXTRA_DESKTOP_TWIN"] = twin_env
    out = subprocess.run([str(top / "tools" / "desktop-targets"), mode], env=env, capture_output=True,
                         text=True, check=True, stdin=subprocess.DEVNULL).stdout
    return out.split()


def cache_with(tmp_path, compiler, complete=True):
    entry = tmp_path / "cache" / "0123456789abcdef"
    entry.mkdir(parents=True)
    (entry / "versions").write_text(f"openssl 3.0\nqtbase 5.15\n{compiler} (GCC) 12-posix\n")
    if complete:
        (entry / ".complete").touch()
    return tmp_path / "cache"


def test_kernel_check_holds_here():
    """The cases below take the probe's kernel check as passed: it must be, on this machine."""
    probe = subprocess.run([str(ROOT / "tools" / "probe-i386")], env=dict(os.environ, WINE32="/bin/true"),
                           capture_output=True, text=True, stdin=subprocess.DEVNULL)
    if probe.returncode != 0:
        pytest.skip(f"this kernel refuses 32-bit programs: {probe.stderr.strip()}")


@pytest.mark.parametrize("runs32, twin_env, cached, expected", [
    (False, None, None, ["x86_64"]),
    (False, "1", None, ["x86_64"]),
    (True, None, None, ["i686"]),
    (True, "1", None, ["i686", "x86_64"]),
    (True, None, "x86_64-w64-mingw32-g++-posix", ["i686", "x86_64"]),
    (True, None, "i686-w64-mingw32-g++-posix", ["i686"]),
    (True, None, "unfinished", ["i686"]),
])
def test_toolchains_built(tmp_path, runs32, twin_env, cached, expected):
    test_kernel_check_holds_here()
    cache = None
    if cached == "unfinished":
        cache = cache_with(tmp_path, "x86_64-w64-mingw32-g++-posix", complete=False)
    elif cached:
        cache = cache_with(tmp_path, cached)
    assert targets(tmp_path, "--build", runs32, twin_env, cache) == expected


@pytest.mark.parametrize("runs32, prefixes, presets, tested", [
    (True, ["mingw-qt-prefix"], ["win32-desktop"], ["win32-desktop"]),
    (True, ["mingw-qt-prefix", "mingw-qt-prefix-x86_64"], ["win32-desktop", "win64-desktop"],
     ["win32-desktop", "win64-desktop"]),
    (False, ["mingw-qt-prefix-x86_64"], ["win64-desktop"], ["win64-desktop"]),
    # An i686 toolchain on a machine that cannot run its programs: built, never tested.
    (False, ["mingw-qt-prefix", "mingw-qt-prefix-x86_64"], ["win32-desktop", "win64-desktop"],
     ["win64-desktop"]),
    (False, [], [], []),
])
def test_presets_built_and_tested(tmp_path, runs32, prefixes, presets, tested):
    test_kernel_check_holds_here()
    assert targets(tmp_path, "--presets", runs32, prefixes=prefixes) == presets
    assert targets(tmp_path, "--test", runs32, prefixes=prefixes) == tested
