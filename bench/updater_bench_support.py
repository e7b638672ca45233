"""What the desktop updater's benches share: a loopback site that counts what it sends, an
updater folder, and a run of the updater with its peak resident set size."""
import http.server
import os
import shutil
import subprocess
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
UPDATER = Path(os.environ.get("VEXTRA_BUILD_NATIVE", ROOT / "build" / "native")) / "desktop-updater"


class Site:
    """Serves /check (version header + the list) and the files; counts requests and bytes."""

    def __init__(self):
        self.files = {}      # url path -> bytes, or a Path streamed with sendfile
        self.list_body = b""
        self.requests = 0
        self.bytes_sent = 0
        # url path -> body bytes after which the answer waits for `release` (a cut to come)
        self.hold_after = {}
        self.release = threading.Event()
        site = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_GET(self):
                site.requests += 1
                if self.path == "/check":
                    self.answer(site.list_body, {"Domvista-Version": "2.0"})
                elif self.path in site.files:
                    self.answer(site.files[self.path], ranged=True)
                else:
                    self.answer(b"", status=404)
                self.close_connection = True

            def answer(self, body, headers=None, status=200, ranged=False):
                size = body.stat().st_size if isinstance(body, Path) else len(body)
                headers = dict(headers or {})
                start = 0
                if ranged:
                    # A server that keeps ranges: the rest of the same version from byte N.
                    etag = f'"{size:x}"'
                    headers["ETag"] = etag
                    wanted = self.headers.get("Range", "")
                    if wanted.startswith("bytes=") and wanted.endswith("-") and self.headers.get("If-Range", etag) == etag:
                        start = min(int(wanted[6:-1]), size)
                        status = 206
                        headers["Content-Range"] = f"bytes {start}-{size - 1}/{size}"
                self.send_response(status)
                for name, value in headers.items():
                    self.send_header(name, value)
                self.send_header("Content-Length", str(size - start))
                self.send_header("Connection", "close")
                self.end_headers()
                self.wfile.flush()
                hold = site.hold_after.pop(self.path, None)
                if isinstance(body, Path):
                    with open(body, "rb") as f:
                        if hold is not None:
                            self.connection.sendfile(f, start, hold - start)
                            site.bytes_sent += hold - start
                            site.release.wait()
                            return
                        self.connection.sendfile(f, start)
                else:
                    self.wfile.write(body[start:])
                site.bytes_sent += size - start

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def url(self, path):
        return f"http://127.0.0.1:{self.httpd.server_address[1]}{path}"


def file_system(path):
    best = ("?", "?")
    with open("/proc/mounts") as f:
        for line in f:
            dev, mnt, fstype = line.split()[:3]
            if str(path).startswith(mnt.rstrip("/") + "/") or str(path) == mnt:
                if len(mnt) >= len(best[0]):
                    best = (mnt, f"{fstype} on {dev} (mounted at {mnt})")
    return best[1]


def updater_folder(parent, site, version="1.0"):
    folder = parent / "Domvista"
    if folder.exists():
        shutil.rmtree(folder)
    (folder / "Application" / "Config").mkdir(parents=True)
    shutil.copy2(UPDATER, folder / "desktop-updater")
    (folder / "Application" / "Config" / "config.ini").write_text(
        f"[%General]\nupdate={site.url('/check')}\nversion={version}\n")
    return folder


def high_water_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def run_updater(folder, env, log):
    """Runs the updater to its end; returns (seconds, peak RSS in KiB, exit code). The peak is
    the process's own high-water mark, read every few milliseconds until it ends: wait4's
    ru_maxrss would also carry this script's own size from before the exec (the 500 files it
    serves from memory)."""
    t0 = time.monotonic()
    peak = 0
    with open(log, "wb") as out:
        proc = subprocess.Popen([str(folder / "desktop-updater")], env=env, stdout=out, stderr=subprocess.STDOUT)
        while True:
            peak = max(peak, high_water_kib(proc.pid))
            pid, status = os.waitpid(proc.pid, os.WNOHANG)
            if pid:
                break
            time.sleep(0.003)
    return time.monotonic() - t0, peak, os.waitstatus_to_exitcode(status)
