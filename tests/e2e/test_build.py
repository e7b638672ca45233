"""The shipped 32-bit program and its 64-bit test twin: console subsystem, only Windows system
DLLs imported (libgcc, libstdc++ and winpthread are linked statically), a development build
that says so in its version resource, and a from-scratch i686 release build that compiles and
links without a single warning, embeds only the release CA it was given and keeps no private
key; without a usable release CA certificate the release configuration refuses to configure."""
import hashlib
import re
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

from pki import Pki
from winetools import BUILD32, BUILD64, ROOT, WinePrefix, no_32bit_reason

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


# The static Qt of the desktop updater brings these system DLLs along.
DESKTOP_SYSTEM_DLLS = SYSTEM_DLLS | {"dwmapi.dll", "imm32.dll", "iphlpapi.dll", "netapi32.dll", "uxtheme.dll",
                                     "winmm.dll", "wtsapi32.dll"}


@pytest.mark.parametrize("folder, tool, fmt", [
    ("win32-desktop", "i686-w64-mingw32-objdump", "pei-i386"),
    ("win64-desktop", "x86_64-w64-mingw32-objdump", "pei-x86-64"),
], ids=["win32", "win64"])
def test_desktop_updater_is_a_gui_program_importing_only_system_dlls(folder, tool, fmt):
    """The Windows desktop updater and its x86_64 twin: static Qt, so nothing but Windows' own
    DLLs; each build is made where its toolchain is (tools/desktop-targets --presets)."""
    exe = ROOT / "build" / folder / "desktop-updater.exe"
    if folder not in subprocess.run([str(ROOT / "tools" / "desktop-targets"), "--presets"],
                                    capture_output=True, text=True, check=True).stdout.split():
        pytest.skip(f"no {folder} toolchain on this machine (tools/desktop-targets --presets)")
    assert exe.exists(), f"{exe} is not built"
    text = objdump(tool, exe)
    assert f"file format {fmt}" in text
    assert re.search(r"^Subsystem\s+00000002\s+\(Windows GUI\)", text, re.M)
    dlls = {name.lower() for name in re.findall(r"DLL Name: (\S+)", text)}
    foreign = {d for d in dlls if d not in DESKTOP_SYSTEM_DLLS and not d.startswith("api-ms-win-")}
    assert "kernel32.dll" in dlls and foreign == set(), f"imports outside the Windows system DLLs: {sorted(foreign)}"


# Legacy SSE instructions whose 16-byte memory operand must be 16-byte aligned: all but the
# unaligned moves and those whose memory operand is 8 bytes or less. Of the VEX forms only the
# aligned moves need it.
SSE_NO_ALIGNMENT = re.compile(
    r"^(movdqu|movups|movupd|lddqu|movd|movq|movss|movsd|movlps|movhps|movlpd|movhpd|movddup|"
    r"pinsr[bwdq]|pextr[bwdq]|extractps|insertps|pmov[sz]x\w+|"
    r"cvt(t?s[sd]2si|s[sd]2s[sd]|si2s[sd]|ps2pd|dq2pd|pi2p[sd])|u?comis[sd]|"
    r"(add|sub|mul|div|min|max|sqrt|rcp|rsqrt|round|cmp\w*)s[sd])$")
VEX_ALIGNED = re.compile(r"^vmov(aps|apd|dqa|ntdq|ntps|ntpd|ntdqa)$")


def unaligned_stack_sse(disassembly):
    """{function: [instruction, ...]} of the functions in an i686 `objdump -d` listing that
    address their stack frame with an SSE instruction needing 16-byte alignment before they
    aligned the frame themselves."""
    found, function, realigned = {}, None, False
    for line in disassembly.splitlines():
        m = re.match(r"^[0-9a-f]+ <(.+)>:$", line)
        if m:
            function, realigned = m.group(1), False
            continue
        m = re.match(r"^\s*[0-9a-f]+:\s+([a-z0-9]+)\s+(.*)$", line)
        if not m or function is None:
            continue
        op, args = m.groups()
        aligned_operand = VEX_ALIGNED.match(op) if op.startswith("v") else not SSE_NO_ALIGNMENT.match(op)
        if op == "and" and args.startswith("$0xfffffff0,%esp"):
            realigned = True
        elif "%xmm" in args and re.search(r"\(%e[sb]p[,)]", args) and aligned_operand and not realigned:
            found.setdefault(function, []).append(f"{op} {args}")
    return found


@pytest.mark.parametrize("listing, faulty", [
    ("0 <f>:\n 0:\tpaddd  (%esp),%xmm1\n", ["paddd (%esp),%xmm1"]),
    ("0 <f>:\n 0:\tpshufd $0xb1,0x10(%esp),%xmm7\n", ["pshufd $0xb1,0x10(%esp),%xmm7"]),
    ("0 <f>:\n 0:\tmovdqa -0x28(%ebp),%xmm0\n", ["movdqa -0x28(%ebp),%xmm0"]),
    ("0 <f>:\n 0:\tand    $0xfffffff0,%esp\n 3:\tpaddd  (%esp),%xmm1\n", []),
    ("0 <f>:\n 0:\tmovdqu (%esp),%xmm1\n 5:\tmovups %xmm3,(%esp)\n", []),
    ("0 <f>:\n 0:\tmovq   0x8(%esp),%xmm0\n 6:\taddss  (%esp),%xmm0\n", []),
    ("0 <f>:\n 0:\tpaddd  0x404000,%xmm1\n 8:\tpaddd  (%eax),%xmm1\n", []),
    ("0 <f>:\n 0:\tvpaddd (%esp),%xmm1,%xmm1\n", []),
], ids=["paddd", "pshufd", "movdqa-ebp", "realigned", "unaligned-moves", "small-operands",
        "not-the-stack", "vex"])
def test_unaligned_stack_sse_rule(listing, faulty):
    assert unaligned_stack_sse(listing) == ({"f": faulty} if faulty else {})


def test_i686_sse_code_aligns_its_own_stack():
    """32-bit Windows keeps only 4-byte stack alignment (a service thread may start anywhere),
    and an SSE instruction with a misaligned 16-byte operand faults. Whether a run shows it
    depends on where the thread's stack happened to start, so the generated code is checked:
    every function of the shipped i686 program that addresses its frame with such an
    instruction aligns the frame first."""
    exe = BUILD32 / "VextraPlayerUpdateService.exe"
    assert exe.exists(), f"{exe} is not built"
    with tempfile.TemporaryFile() as out:
        subprocess.run(["i686-w64-mingw32-objdump", "-d", "--no-show-raw-insn", str(exe)],
                       stdout=out, stderr=subprocess.DEVNULL, check=True)
        out.seek(0)
        text = out.read().decode("utf-8", "replace")
    # The development build keeps its symbols, and the SHA-256 engine is the SSE code in it.
    assert "compressShaExtensions" in text and "sha256rnds2" in text
    assert unaligned_stack_sse(text) == {}


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


def release_ca(folder, *extensions):
    """A CA certificate (DER) standing in for the publisher's, and its private key elsewhere;
    `extensions` are further -addext values."""
    folder.mkdir()
    extra = [arg for ext in extensions for arg in ("-addext", ext)]
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30",
                    "-subj", "/CN=Vextra Test Release CA", "-keyout", str(folder / "ca.key"),
                    "-addext", "basicConstraints=critical,CA:TRUE", *extra, "-outform", "DER",
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
    # Authorities the service would refuse as issuers.
    for name, ext in (("no keyCertSign", "keyUsage=critical,digitalSignature,cRLSign"),
                      ("name constraints", "nameConstraints=critical,permitted;DNS:example.com"),
                      ("unknown critical", "1.3.6.1.4.1.55555.7=critical,ASN1:NULL")):
        ca_der, _ = release_ca(tmp_path / f"ca-{name.replace(' ', '-')}", ext)
        cases[name] = [f"-DVEXTRA_EMBEDDED_CA_DER={ca_der}"]
    for name, args in cases.items():
        work = tmp_path / name.replace(" ", "-")
        work.mkdir()
        rc, text = configure_release(work, *args)
        assert rc != 0, f"{name}: configured anyway\n{text[-2000:]}"
        assert "VEXTRA_EMBEDDED_CA_DER" in text, text[-2000:]
        assert not list((work / "b").rglob("*.key")), f"{name}: a key was made"


@pytest.fixture(scope="module")
def release(tmp_path_factory):
    """`make release-check` and `make release` in one run of tools/release: two fresh i686
    release builds in two folders, compared, and the first signed with a throwaway
    code-signing certificate into dist/."""
    work = tmp_path_factory.mktemp("release")
    ca_der, _ = release_ca(work / "ca")
    pki = Pki(work / "signing")
    root = pki.new_ca("Throwaway Code Signing Root")
    signer = pki.issue(root, "Orvane Test Code Signing")
    out = work / "release.txt"
    with open(out, "wb") as fh:
        rc = subprocess.run(
            [sys.executable, str(ROOT / "tools/release"), "--check", "--ca", str(ca_der),
             "--work", str(work / "builds"), "--dist", str(work / "dist"), "--jobs", "2",
             "--only", "win32-release",
             "--sign-cert", str(signer.cert), "--sign-key", str(signer.key),
             "--sign-ca", str(root.cert)],
            stdout=fh, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL).returncode
    text = out.read_text(errors="replace")
    assert rc == 0, text[-4000:]
    builds = sorted((work / "builds").iterdir())
    return dict(work=work, ca_der=ca_der, root=root, text=text, builds=builds,
                exes=[b / "VextraPlayerUpdateService.exe" for b in builds],
                dist=work / "dist")


def test_two_release_builds_in_two_folders_are_byte_identical(release):
    a, b = (exe.read_bytes() for exe in release["exes"])
    assert a == b
    for path in [ROOT, *release["builds"]]:
        assert str(path).encode() not in a, f"{path} is in the program"
    # The PE header's time stamp is zero, and the program carries no symbol table.
    pe = int.from_bytes(a[60:64], "little")
    assert a[pe + 8:pe + 12] == b"\0\0\0\0"
    assert a[pe + 12:pe + 20] == b"\0" * 8


def test_fresh_i686_release_build_has_no_warnings_and_only_the_release_ca(release):
    """Both builds configure and compile every source from scratch (an incremental build would
    hide warnings of unchanged files)."""
    for folder in release["builds"]:
        text = (folder / "release-build.log").read_text(errors="replace")
        warnings = [l for l in text.splitlines() if re.search(r"\bwarning\b", l, re.I)]
        assert warnings == [], "\n".join(warnings[:40])
        # No authority was made: nothing in the tree holds a private key.
        assert not (folder / "pki").exists()
        for f in folder.rglob("*"):
            if f.is_file() and f.stat().st_size < 1 << 20:
                assert b"PRIVATE KEY" not in f.read_bytes(), f
    exe = release["exes"][0]
    assert file_description(exe) == "Orvane Vextra Player Update Service"
    assert release["ca_der"].read_bytes() in exe.read_bytes()


def test_signed_release_verifies(release, tmp_path):
    signed = release["dist"] / "VextraPlayerUpdateService.exe"
    line = (release["dist"] / "VextraPlayerUpdateService.exe.sha256").read_text()
    assert line == f"{hashlib.sha256(signed.read_bytes()).hexdigest()}  VextraPlayerUpdateService.exe\n"
    assert signed.read_bytes() != release["exes"][0].read_bytes()

    def verify(ca):
        with open(tmp_path / "verify.txt", "wb") as fh:
            rc = subprocess.run(["osslsigncode", "verify", "-in", str(signed), "-CAfile", str(ca)],
                                stdout=fh, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL).returncode
        return rc, (tmp_path / "verify.txt").read_text(errors="replace")

    rc, text = verify(release["root"].cert)
    assert rc == 0 and "Signature verification: ok" in text, text
    assert "Orvane Vextra Player Update Service" in text and "SHA256" in text.upper(), text
    other = Pki(tmp_path / "other").new_ca("Someone Else's Root")
    assert verify(other.cert)[0] != 0, "a signature verified against an unrelated root"


def test_signed_release_runs(release):
    """The signed file is still the i686 program, and it still runs (under WoW64)."""
    if no_32bit_reason():
        pytest.skip(no_32bit_reason())
    signed = release["dist"] / "VextraPlayerUpdateService.exe"
    with WinePrefix(bits=32) as wine:
        wine.vextra_system_folder.mkdir(parents=True, exist_ok=True)
        wine.config_file.write_bytes(b"SilentAutoUpdateEnable=1\r\n")
        assert wine.run(signed, "-isSAUEnabled") == 1001
