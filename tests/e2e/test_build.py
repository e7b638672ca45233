"""The shipped 32-bit program and its 64-bit test twin: console subsystem, only Windows system
DLLs imported (libgcc, libstdc++ and winpthread are linked statically), a development build
that says so in its version resource, and a from-scratch i686 release build that compiles and
links without a single warning, embeds only the release CA it was given and keeps no private
key; without a usable release CA certificate the release configuration refuses to configure."""
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


def file_description(exe, triplet="i686-w64-mingw32"):
    """The FileDescription of a program's version resource (windres reads it back as text)."""
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "res.rc"
        subprocess.run([f"{triplet}-windres", "-J", "coff", "-O", "rc", "-i", str(exe),
                        "-o", str(out)], check=True, stdin=subprocess.DEVNULL)
        m = re.search(r'VALUE "FileDescription", "([^"]*)"', out.read_bytes().decode("latin-1"))
    return m.group(1) if m else None


@pytest.mark.parametrize("exe, triplet", [
    (BUILD32 / "VextraPlayerUpdateService.exe", "i686-w64-mingw32"),
    (BUILD64 / "VextraPlayerUpdateService.exe", "x86_64-w64-mingw32")], ids=["win32", "win64"])
def test_development_build_says_so_in_its_version_resource(exe, triplet):
    assert exe.exists(), f"{exe} is not built"
    assert file_description(exe, triplet) == "Orvane Vextra Player Update Service (development build)"


def configure_release(work, *args):
    """(exit code, output) of configuring an i686 release build in work/b."""
    log = work / "configure.log"
    with open(log, "wb") as out:
        rc = subprocess.run(
            ["cmake", "-S", str(ROOT), "-B", str(work / "b"),
             f"-DCMAKE_TOOLCHAIN_FILE={ROOT / 'cmake/toolchain-mingw-i686.cmake'}",
             "-DCMAKE_BUILD_TYPE=Release", "-DVEXTRA_BUILD_TESTS=OFF", "-DVEXTRA_RELEASE=ON", *args],
            stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL).returncode
    return rc, log.read_text(errors="replace")


def release_ca(folder):
    """A CA certificate (DER) standing in for the publisher's, and its private key elsewhere."""
    folder.mkdir()
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30",
                    "-subj", "/CN=Vextra Test Release CA", "-keyout", str(folder / "ca.key"),
                    "-addext", "basicConstraints=critical,CA:TRUE", "-outform", "DER",
                    "-out", str(folder / "ca.der")],
                   check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    subprocess.run(["openssl", "pkey", "-in", str(folder / "ca.key"), "-outform", "DER",
                    "-out", str(folder / "ca-key.der")], check=True, stdin=subprocess.DEVNULL)
    return folder / "ca.der", folder / "ca-key.der"


def test_release_configuration_refuses_without_a_release_ca(tmp_path):
    _, key_der = release_ca(tmp_path / "ca")
    dev_ca = ROOT / "build" / "pki" / "embedded-ca.der"
    cases = {"none": [], "missing": [f"-DVEXTRA_EMBEDDED_CA_DER={tmp_path / 'nothing.der'}"],
             "private key": [f"-DVEXTRA_EMBEDDED_CA_DER={key_der}"]}
    if dev_ca.exists():
        cases["development CA"] = [f"-DVEXTRA_EMBEDDED_CA_DER={dev_ca}"]
    for name, args in cases.items():
        work = tmp_path / name.replace(" ", "-")
        work.mkdir()
        rc, text = configure_release(work, *args)
        assert rc != 0, f"{name}: configured anyway\n{text[-2000:]}"
        assert "VEXTRA_EMBEDDED_CA_DER" in text, text[-2000:]
        assert not list((work / "b").rglob("*.key")), f"{name}: a key was made"


def test_fresh_i686_release_build_has_no_warnings_and_only_the_release_ca():
    """Configures and builds the shipped program from scratch, so that every source is
    compiled again (an incremental build would hide warnings of unchanged files)."""
    work = Path(tempfile.mkdtemp(prefix="vextra-i686-"))
    try:
        ca_der, _ = release_ca(work / "ca")
        rc, text = configure_release(work, f"-DVEXTRA_EMBEDDED_CA_DER={ca_der}")
        assert rc == 0, text[-4000:]
        log = work / "build.log"
        with open(log, "wb") as out:
            result = subprocess.run(
                ["cmake", "--build", str(work / "b"), "--target", "VextraPlayerUpdateService",
                 "-j", "2"],
                stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        text = log.read_text(errors="replace")
        assert result.returncode == 0, text[-4000:]
        warnings = [l for l in text.splitlines() if re.search(r"\bwarning\b", l, re.I)]
        assert warnings == [], "\n".join(warnings[:40])
        exe = work / "b" / "VextraPlayerUpdateService.exe"
        assert exe.exists()
        assert file_description(exe) == "Orvane Vextra Player Update Service"
        assert ca_der.read_bytes() in exe.read_bytes()
        # No authority was made: nothing in the tree holds a private key.
        assert not (work / "b" / "pki").exists()
        for f in (work / "b").rglob("*"):
            if f.is_file() and f.stat().st_size < 1 << 20:
                assert b"PRIVATE KEY" not in f.read_bytes(), f
    finally:
        shutil.rmtree(work, ignore_errors=True)
