#!/usr/bin/python3
"""Prints what an updating cycle of the service costs for a full package of a given size, next
to curl + `openssl cms -verify` of the same package from the same server, and next to the
platform's own floor under the same Wine (a plain WinHTTP read loop and a bare
CryptVerifyMessageSignature, `transfer_floor.exe`), as ratios. Above 64 MiB, where Wine's
CryptVerifyMessageSignature refuses the package, the floor is its read loop alone.

The cycle's cost is the median time of an updating cycle (the service started by Wine's
service control manager finds the plug-in out of date, downloads, verifies, writes and starts
the installer) minus the median of an up-to-date cycle (the same start, manifest fetch and
decision, no download). Each figure is the median of --runs runs; the spread (lowest-highest)
is printed beside it, because the machine may be shared. Beside the times it prints the service
process's peak working set in both cycles (as the service probe last read it before the process
ended) and their difference: what the package's size costs in memory. A build that refuses the
package (an earlier one refused packages over Wine's 64 MiB decoding limit) is reported as such,
with its log codes, instead of a cost.

Needs `make build prefix`; runs inside the private network namespace (ports 443 and 80):
  tests/harness/in-netns bench/update-cycle-bench.py [--mib 50] [--runs 5] [--program EXE] [--no-floor]
VEXTRA_E2E_ARCH=win64 measures the x86_64 twin. --program names another build of the service
(for example a copy of an earlier one) to measure with the same servers and prefix.
"""
import argparse
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "harness"))

from pki import openssl_verify_package  # noqa: E402
from servers import in_private_namespace  # noqa: E402
from update_site import (ServiceMachine, Servers, Signing, make_fake_installer,  # noqa: E402
                         publish)
from winetools import ARCH, PROGRAMS, SERVICE_EXE, to_windows_path  # noqa: E402

OLD = "11.2.202.228"
NEW = "11.2.202.235"
PACKAGE_PATH = "/pub/vextraplayer/update/current/sau/11/install/install_all_win_pl_sgn.z"
TRANSFER_FLOOR = PROGRAMS / "transfer_floor.exe"
# The floor's WinHTTP read sizes: a common loop's buffer, and the service's block.
FLOOR_READ_BYTES = (64 * 1024, 1024 * 1024)


def median_and_spread(values):
    return statistics.median(values), min(values), max(values)


def show(name, values, unit="s"):
    m, lo, hi = median_and_spread(values)
    print(f"  {name:<34} {m:8.3f} {unit}   (spread {lo:.3f}-{hi:.3f}, {len(values)} runs)")
    return m


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


class Bench:
    def __init__(self, work, mib, program):
        self.work = work
        self.signing = Signing(work / "pki")
        installers = work / "installers"
        ax = make_fake_installer(installers / "ax.exe", "ax", "activex", NEW)
        pl = make_fake_installer(installers / "pl.exe", "pl", "plugin", NEW, padding_mib=mib)
        self.site = publish(work / "site", self.signing, (NEW, ax), (NEW, pl))
        self.package = self.site / PACKAGE_PATH.lstrip("/")
        self.content = pl
        self.servers = Servers(self.site, self.signing).start()
        self.machine = ServiceMachine(self.signing, program=program)
        self.machine.install_player("plugin", OLD, b"a plug-in file that no patch fits\n")

    def close(self):
        self.machine.close()
        self.servers.stop()

    def cycle(self, updating):
        """(seconds, peak working set in bytes, log codes) of one cycle; an updating cycle
        whose installer did not start returns None as its seconds."""
        m = self.machine
        m.prefix.reg_add(r"HKLM\Software\Telmora\VextraPlayerPlugin", "Version", "REG_SZ",
                         OLD if updating else NEW)
        m.set_state(last=0, attempts=0)
        runs = len(m.installer_runs())
        messages = [msg for _, msg in m.run_once()]
        codes = [msg.split()[0] for msg in messages]
        started = "1610" in codes
        assert updating or not started, f"an up-to-date cycle started an installer: {messages}"
        if updating and started:
            m.wait_installer_runs(runs + 1)  # the installer reads its file: let it finish
        seconds = m.probe.elapsed_ms / 1000.0 if started or not updating else None
        return seconds, m.probe.peak_bytes, messages

    def curl_openssl(self):
        pkg = self.work / "curl.z"
        out = self.work / "openssl-content.bin"

        def run():
            subprocess.run(["curl", "-s", "--noproxy", "*", "-o", str(pkg),
                            "http://localhost" + PACKAGE_PATH], check=True)
            openssl_verify_package(pkg, self.signing.ca, out)
        seconds = timed(run)
        assert out.read_bytes() == self.content.read_bytes()
        return seconds

    def floor(self, read_bytes):
        p = self.machine.prefix
        staged = p.drive_c / "floor.z"
        content = p.drive_c / "floor.exe.bin"
        result = p.drive_c / "floor.txt"
        rc = p.run(TRANSFER_FLOOR, "localhost", "80", PACKAGE_PATH, to_windows_path(staged),
                   to_windows_path(content), to_windows_path(result), str(read_bytes), timeout=600)
        values = dict(line.split("=", 1) for line in result.read_text().split())
        # The transfer must be whole; a verification refused (Wine's CryptVerifyMessageSignature
        # decodes at most 64 MiB) leaves the floor its transfer alone: verify and total None.
        assert int(values["bytes"]) == self.package.stat().st_size, f"the floor's transfer failed: {values}"
        if rc != 0 or values["ok"] != "1":
            assert self.package.stat().st_size > 64 * 2**20, f"the floor program failed: {values}"
            return float(values["download"]), None, None
        assert content.read_bytes() == self.content.read_bytes()
        content.unlink()
        return float(values["download"]), float(values["verify"]), float(values["total"])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mib", type=int, default=50, help="installer size in MiB")
    parser.add_argument("--runs", type=int, default=5, help="runs of each measurement")
    parser.add_argument("--program", type=Path, default=None, help="service build to measure")
    parser.add_argument("--no-floor", action="store_true",
                        help="leave out the platform floor (over 64 MiB only its transfer is "
                             "measured: its bare CryptVerifyMessageSignature refuses larger "
                             "packages under Wine)")
    args = parser.parse_args()
    if not in_private_namespace():
        sys.exit("run inside the private network namespace: tests/harness/in-netns " + sys.argv[0])
    for tool in ("curl", "openssl"):
        if not shutil.which(tool):
            sys.exit(f"{tool} is needed")
    program = args.program or SERVICE_EXE
    work = Path(tempfile.mkdtemp(prefix="vextra-cycle-bench."))
    bench = None
    try:
        bench = Bench(work, args.mib, program)
        package_mib = bench.package.stat().st_size / 2**20
        print(f"{ARCH} program {program}, full package {package_mib:.1f} MiB "
              f"({args.mib} MiB installer), {args.runs} runs each")
        updating, current, reference = [], [], []
        updating_peak, current_peak, refused = [], [], []
        floors = {size: [] for size in FLOOR_READ_BYTES}
        for _ in range(args.runs):  # interleaved, so a busy moment touches every figure alike
            seconds, peak, messages = bench.cycle(True)
            if seconds is None:
                refused.append(messages)
            else:
                updating.append(seconds)
            updating_peak.append(peak)
            seconds, peak, _ = bench.cycle(False)
            current.append(seconds)
            current_peak.append(peak)
            reference.append(bench.curl_openssl())
            if not args.no_floor:
                for size, runs in floors.items():
                    runs.append(bench.floor(size))
        cost = None
        if updating:
            up = show("updating cycle", updating)
        if refused:
            print(f"  updating cycle refused the package in {len(refused)} of {args.runs} runs; "
                  f"its errors: {[m for m in refused[0] if m.startswith('1') and m[:2] in ('12', '13')]}")
        cur = show("up-to-date cycle", current)
        if updating:
            cost = up - cur
            print(f"  {'cycle cost (difference of medians)':<34} {cost:8.3f} s")
        mib = 2 ** 20
        up_peak = show("peak working set, updating cycle", [p / mib for p in updating_peak], "MiB")
        cur_peak = show("peak working set, up-to-date", [p / mib for p in current_peak], "MiB")
        print(f"  {'peak working set difference':<34} {up_peak - cur_peak:8.1f} MiB")
        ref = show("curl + openssl cms -verify", reference)
        if cost is not None:
            print(f"cycle cost / (curl + openssl): {cost / ref:.2f}")
        if not args.no_floor:
            floor_totals = {}
            floor_downloads = {}
            for size, runs in floors.items():
                label = f"{size // 1024} KiB reads"
                if all(r[2] is not None for r in runs):
                    floor_totals[size] = show(f"platform floor, {label}", [r[2] for r in runs])
                    floor_downloads[size] = show(f"  of which download", [r[0] for r in runs])
                    show(f"  of which verification and write", [r[1] for r in runs])
                else:
                    floor_downloads[size] = show(f"floor's transfer, {label}",
                                                 [r[0] for r in runs])
            if floor_totals:
                flo = min(floor_totals.values())
                if cost is not None:
                    print(f"cycle cost / platform floor (the faster read size): {cost / flo:.2f}")
                print(f"platform floor / (curl + openssl): {flo / ref:.2f}")
            else:
                # Above 64 MiB Wine's bare CryptVerifyMessageSignature refuses the package: the
                # floor is then its WinHTTP read loop alone.
                print("  (the floor's bare CryptVerifyMessageSignature refused the package: "
                      "Wine decodes at most 64 MiB)")
                flo = min(floor_downloads.values())
                if cost is not None:
                    print(f"cycle cost / the floor's transfer alone (the faster read size): "
                          f"{cost / flo:.2f}")
                print(f"the floor's transfer alone / (curl + openssl): {flo / ref:.2f}")
    finally:
        if bench:
            bench.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
