"""tools/align-i386 against a stand-in apt that behaves as a mirror whose i386 list of the
security suite fails its check: apt then offers that suite's versions for amd64 only, and the
amd64 halves of Multi-Arch: same libraries installed from it (or from before the point release)
match no i386 version. The stand-in resolves an install as apt does for such pairs: every
Multi-Arch: same library must stand at one version on both architectures, and a package that
depends on a library at an exact version must move with it."""
import json
import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]

STAND_IN = r'''#!/usr/bin/python3
import json, os, sys
world = json.load(open(os.environ["WORLD"]))
me = os.path.basename(sys.argv[0]); args = sys.argv[1:]
with open(os.environ["CALLS"], "a") as f: f.write(" ".join([me] + args) + "\n")
inst = world["installed"]           # "name:arch": [version, depends]
lists = world["lists"]              # name: {arch: [[version, suite], ...]}

def offered(name, arch): return [v for v, _ in lists.get(name, {}).get(arch, [])]
def newest(vs):
    import functools, subprocess
    def cmp(a, b):
        if a == b: return 0
        return 1 if subprocess.run(["dpkg", "--compare-versions", a, "gt", b]).returncode == 0 else -1
    return max(vs, key=functools.cmp_to_key(cmp)) if vs else None

def resolve(names):
    pins = dict(n.split("=", 1) for n in names if "=" in n)
    final = {}
    for lib in world["closure"]:
        if world["multiarch"].get(lib) != "same": continue
        i386 = pins.get(lib + ":i386") or newest(offered(lib, "i386"))
        if lib + ":amd64" in inst:
            amd = pins.get(lib + ":amd64", inst[lib + ":amd64"][0])
            if amd != i386: return None, f"{lib}:i386 : Depends: {lib} (= {amd}) but {i386} is to be installed"
            if amd not in offered(lib, "amd64") and amd != inst[lib + ":amd64"][0]: return None, "no such version"
        final[lib] = i386
    for pkg, (ver, deps) in inst.items():
        now = pins.get(pkg, ver)
        for dep in filter(None, (d.strip() for d in deps.split(","))):
            name, _, rest = dep.partition(" (= ")
            if not rest: continue
            want = rest.rstrip(")")
            have = pins.get(name + ":amd64", inst.get(name + ":amd64", [None])[0])
            if want != have and now == ver:
                return None, f"{pkg} : Depends: {name} (= {want}) but {have} is to be installed"
    return final, None

if me == "dpkg-query":
    for pkg, (ver, deps) in inst.items():
        print(f"{pkg.split(':')[0]}:{pkg.split(':')[1]}\t{ver}\tinstall ok installed\t{deps}")
elif me == "apt-cache" and args[0] == "madison":
    name, arch = args[1].split(":")
    for v, suite in lists.get(name, {}).get(arch, []):
        print(f" {name} | {v} | http://mirror.test/debian {suite}/main {arch} Packages")
elif me == "apt-cache" and args[0] == "show":
    name = args[1].split(":")[0]
    print(f"Package: {name}\nMulti-Arch: {world['multiarch'].get(name, 'no')}\n")
elif me == "apt-cache" and args[0] == "depends":
    for lib in world["closure"]: print(lib + ":i386"); print("  Depends: something")
elif me == "apt-get" and args[0] == "install":
    names = [a for a in args[1:] if not a.startswith("-")]
    final, why = resolve(names)
    if final is None:
        print("E: Unable to correct problems, you have held broken packages.\n " + why); sys.exit(100)
    for r in world.get("removes", []): print(f"Remv {r}")
    if "-s" in args:
        for lib, v in final.items(): print(f"Inst {lib}:i386 ({v})")
    else:
        with open(os.environ["INSTALLED"], "a") as f: f.write(" ".join(names) + "\n")
else:
    sys.exit(3)
'''

PROBE = "#!/bin/sh\n[ \"$KERNEL32\" = 1 ]\n"

SKEWED = {
    # libssl3 and its -dev at a security version only amd64's lists offer; libexpat1 older than
    # the point release, which is all i386 offers; libc6 in step.
    # fontconfig-config is Multi-Arch: foreign, so its amd64 version may differ from i386's.
    "closure": ["wine32", "libc6", "libssl3", "libexpat1", "fontconfig-config"],
    "multiarch": {"libc6": "same", "libssl3": "same", "libexpat1": "same", "wine32": "foreign",
                  "fontconfig-config": "foreign"},
    "installed": {
        "libc6:amd64": ["2.36-9", ""],
        "libssl3:amd64": ["3.0.22-1", "libc6 (>= 2.34)"],
        "libssl-dev:amd64": ["3.0.22-1", "libssl3 (= 3.0.22-1)"],
        "openssl:amd64": ["3.0.22-1", "libssl3 (>= 3.0.9)"],
        "libexpat1:amd64": ["2.5.0-1", ""],
        "libexpat1-dev:amd64": ["2.5.0-1", "libexpat1 (= 2.5.0-1)"],
        "fontconfig-config:amd64": ["2.14.1-4+s1", ""],
    },
    "lists": {
        "libc6": {"amd64": [["2.36-9", "bookworm"]], "i386": [["2.36-9", "bookworm"]]},
        "libssl3": {"amd64": [["3.0.22-1", "bookworm-security"], ["3.0.20-1", "bookworm"]],
                    "i386": [["3.0.20-1", "bookworm"]]},
        "libssl-dev": {"amd64": [["3.0.22-1", "bookworm-security"], ["3.0.20-1", "bookworm"]]},
        "openssl": {"amd64": [["3.0.22-1", "bookworm-security"], ["3.0.20-1", "bookworm"]]},
        "libexpat1": {"amd64": [["2.5.0-1+deb12u1", "bookworm"]], "i386": [["2.5.0-1+deb12u1", "bookworm"]]},
        "libexpat1-dev": {"amd64": [["2.5.0-1+deb12u1", "bookworm"]]},
        "wine32": {"i386": [["8.0~repack-4", "bookworm"]]},
        "fontconfig-config": {"amd64": [["2.14.1-4+s1", "bookworm-security"], ["2.14.1-4", "bookworm"]],
                              "i386": [["2.14.1-4", "bookworm"]]},
    },
}
ALIGNED_PINS = {"libssl3:amd64=3.0.20-1", "libssl3:i386=3.0.20-1", "libssl-dev:amd64=3.0.20-1",
                "libexpat1:amd64=2.5.0-1+deb12u1", "libexpat1:i386=2.5.0-1+deb12u1",
                "libexpat1-dev:amd64=2.5.0-1+deb12u1"}


def variant(**changes):
    world = json.loads(json.dumps(SKEWED))
    for key, value in changes.items():
        world[key] = value
    return world


def in_step():
    world = variant()
    world["installed"]["libssl3:amd64"][0] = "3.0.20-1"
    world["installed"]["libssl-dev:amd64"] = ["3.0.20-1", "libssl3 (= 3.0.20-1)"]
    world["installed"]["libexpat1:amd64"][0] = "2.5.0-1+deb12u1"
    world["installed"]["libexpat1-dev:amd64"] = ["2.5.0-1+deb12u1", "libexpat1 (= 2.5.0-1+deb12u1)"]
    return world


def no_common_version():
    world = variant()
    world["lists"]["libssl3"]["i386"] = [["3.0.11-1", "bookworm-old"]]
    return world


def run(tmp_path, world, kernel32=True, **env_extra):
    if os.geteuid() != 0:
        pytest.skip("tools/align-i386 calls apt-get through sudo when not root")
    tools = tmp_path / "tools"
    bin_dir = tmp_path / "bin"
    tools.mkdir()
    bin_dir.mkdir()
    shutil.copy(ROOT / "tools" / "align-i386", tools / "align-i386")
    (tools / "probe-i386").write_text(PROBE)
    (tools / "probe-i386").chmod(0o755)
    for name in ("apt-get", "apt-cache", "dpkg-query"):
        (bin_dir / name).write_text(STAND_IN)
        (bin_dir / name).chmod(0o755)
    (tmp_path / "world.json").write_text(json.dumps(world))
    env = {k: v for k, v in os.environ.items() if k not in ("CI", "VEXTRA_ALIGN_I386", "VEXTRA_NO_32BIT")}
    env.update(PATH=f"{bin_dir}:{os.environ['PATH']}", WORLD=str(tmp_path / "world.json"),
               CALLS=str(tmp_path / "calls"), INSTALLED=str(tmp_path / "installed"),
               KERNEL32="1" if kernel32 else "0", **env_extra)
    result = subprocess.run([str(tools / "align-i386")], env=env, capture_output=True, text=True,
                            stdin=subprocess.DEVNULL, timeout=120)
    installed = (tmp_path / "installed").read_text().splitlines() if (tmp_path / "installed").exists() else []
    calls = (tmp_path / "calls").read_text().splitlines() if (tmp_path / "calls").exists() else []
    return result.returncode, result.stdout + result.stderr, installed, calls


@pytest.mark.parametrize("world, env, kernel32, rc, installs, says", [
    # The owner's word (or CI) moves the skewed pairs to the newest shared version, -dev with them.
    (SKEWED, {"VEXTRA_ALIGN_I386": "1"}, True, 0, {"wine32:i386"} | ALIGNED_PINS,
     ["moved libssl3:amd64 3.0.22-1 -> 3.0.20-1; holds back the security update 3.0.22-1",
      "moved libssl-dev:amd64 3.0.22-1 -> 3.0.20-1; holds back the security update 3.0.22-1",
      "moved libexpat1:amd64 2.5.0-1 -> 2.5.0-1+deb12u1", "moved libexpat1-dev:amd64 2.5.0-1 -> 2.5.0-1+deb12u1",
      "wine32:i386 installed"]),
    (SKEWED, {"CI": "true"}, True, 0, {"wine32:i386"} | ALIGNED_PINS, ["moved libssl3:amd64"]),
    # Without it: the exact command and why, nothing installed, exit 0.
    (SKEWED, {}, True, 0, None,
     ["would move libssl3:amd64 3.0.22-1 -> 3.0.20-1; holds back the security update 3.0.22-1",
      "holds back a security update, which is the machine owner's call",
      "VEXTRA_ALIGN_I386=1 make deps, or: apt-get install --no-install-recommends wine32:i386 "]),
    # The two architectures agree: the plain install, no pin.
    (in_step(), {}, True, 0, {"wine32:i386"}, []),
    # No version offered for both: nothing installed, and why.
    (no_common_version(), {"VEXTRA_ALIGN_I386": "1"}, True, 1, None,
     ["no version of libssl3 is offered for both amd64 and i386 (amd64 has 3.0.22-1)"]),
    # A plan that would remove a package is refused.
    (variant(removes=["libreoffice-core"]), {"VEXTRA_ALIGN_I386": "1"}, True, 1, None,
     ["would remove packages (libreoffice-core )"]),
    # A kernel without 32-bit code, or the opt-out: apt is never asked.
    (SKEWED, {"VEXTRA_ALIGN_I386": "1"}, False, 0, None, ["this kernel refuses 32-bit programs"]),
    (SKEWED, {"VEXTRA_ALIGN_I386": "1", "VEXTRA_NO_32BIT": "1"}, True, 0, None, ["VEXTRA_NO_32BIT=1"]),
], ids=["aligned-by-owner", "aligned-under-ci", "asks-the-owner", "in-step", "no-common-version",
        "would-remove", "kernel-refuses", "opted-out"])
def test_wine32_is_installed_with_the_versions_both_architectures_offer(tmp_path, world, env, kernel32, rc,
                                                                       installs, says):
    got_rc, out, installed, calls = run(tmp_path, world, kernel32=kernel32, **env)
    assert got_rc == rc, out
    assert [set(line.split()) for line in installed] == ([installs] if installs else []), out
    for line in says:
        assert line in out, out
    if not kernel32 or env.get("VEXTRA_NO_32BIT"):
        assert calls == [], calls


def test_the_printed_command_is_the_one_that_installs(tmp_path):
    _, out, _, _ = run(tmp_path, SKEWED)
    command = out.split("or: ", 1)[1].splitlines()[0].split()
    assert command[:3] == ["apt-get", "install", "--no-install-recommends"]
    assert set(command[3:]) == {"wine32:i386"} | ALIGNED_PINS
    assert not any("openssl" in word for word in command), "only exact dependents move with a library"
