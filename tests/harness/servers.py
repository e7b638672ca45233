"""Real HTTP and HTTPS servers on loopback for the tests: files from a folder the test fills,
and per-path routes with a status, headers and a misbehaviour of the test's choosing.

Fixed ports (443, 80) are only bound inside the private network namespace that
`tests/harness/in-netns` (and so `make test-e2e`) provides. Each server listens on 127.0.0.1
and, where the namespace has it, on ::1, because "localhost" may resolve to either. Port 0
picks a free port (see `port` after `start()`), on 127.0.0.1 and, if free there too, on ::1.

How a GET is answered:
1. A path registered with `route(path, ...)` is answered by its `Route`: status, headers and
   body, delivered the way its `mode` says (see ROUTE_MODES).
2. Otherwise the server's `mode` decides for every request (see SERVER_MODES):
     "files"   the file below the root, or a 404 HTML page when there is none
     "404"     always 404 with an HTML page
     "empty"   200 with an empty body
     "chunked" 200, the file sent with chunked transfer encoding in small delayed pieces
     "drop"    the connection is closed without any response
`requests` records (method, path, headers) of every request received; `paths()` the paths. A
target in absolute form (sent through a proxy) counts by its path; `targets` keeps them as sent.

To add a misbehaviour, write a function (handler, body) -> None that answers through
`handler` (a BaseHTTPRequestHandler whose `server.owner` is the FolderServer) and enter it in
ROUTE_MODES (per path) or SERVER_MODES (for every request).
"""
import http.server
import os
import re
import socket
import ssl
import threading
import time
from pathlib import Path

NOT_FOUND_PAGE = (b"<!DOCTYPE HTML PUBLIC \"-//IETF//DTD HTML 2.0//EN\">\n<html><head>\n"
                  b"<title>404 Not Found</title>\n</head><body>\n<h1>Not Found</h1>\n"
                  b"<p>The requested URL was not found on this server.</p>\n</body></html>\n")


def in_private_namespace():
    """True when only the loopback interface exists (as inside `unshare -rn`)."""
    try:
        names = [name for _, name in socket.if_nameindex()]
    except OSError:
        return False
    return names == ["lo"]


class Route:
    """How one path answers. `mode` names an entry of ROUTE_MODES; `drop_after` is the number
    of body bytes that "drop" and "stallbody" send; `gate` (a threading.Event) holds the answer
    back until the test sets it."""

    def __init__(self, body=b"", status=200, headers=None, mode="normal", drop_after=0, gate=None,
                 etags=None, range_reply="honour", stall_after_cut=False):
        self.body = body if isinstance(body, bytes) else body.encode()
        # "resumable" only: the ETag of each answer in turn (the last one repeats), how a Range
        # is answered, and what each request asked and was sent.
        self.etags = list(etags or [])
        self.range_reply = range_reply
        self.stall_after_cut = stall_after_cut
        self.answers = []
        self.status = status
        self.headers = dict(headers or {})
        self.mode = mode
        self.drop_after = drop_after
        self.gate = gate


# --- per-route behaviours -------------------------------------------------------------------
def _route_head(handler, route):
    handler.send_response(route.status)
    handler.send_header("Content-Length", str(len(route.body)))
    handler.send_header("Connection", "close")
    for name, value in route.headers.items():
        handler.send_header(name, value)
    handler.end_headers()
    handler.close_connection = True


def _route_normal(handler, route):
    _route_head(handler, route)
    handler.wfile.write(route.body)


def _route_drop(handler, route):
    """Announces the full length, sends `drop_after` bytes and closes."""
    _route_head(handler, route)
    handler.wfile.write(route.body[:route.drop_after])
    handler.wfile.flush()


def _route_stall(handler, route):
    """Reads the request and never answers (until the server stops)."""
    handler.server.owner.stopping.wait()
    handler.close_connection = True


def _route_stallbody(handler, route):
    """Sends the head and `drop_after` body bytes, then goes silent."""
    _route_drop(handler, route)
    handler.server.owner.stopping.wait()


class RangeAnswer:
    """One request to a "resumable" route: its Range and If-Range headers, the status answered
    and the body bytes sent."""

    def __init__(self, range_header, if_range, status, sent):
        self.range = range_header
        self.if_range = if_range
        self.status = status
        self.sent = sent

    def __repr__(self):
        return f"RangeAnswer({self.range!r}, {self.if_range!r}, {self.status}, {self.sent})"


def _route_resumable(handler, route):
    """A package server that honours "Range: bytes=N-" (and If-Range against its current
    ETag), as `route.range_reply` says:
      "honour"           206 with exactly the rest; a changed If-Range gets 200 and the whole
      "ignore"           always 200 and the whole body
      "wrong-range"      206 whose Content-Range (and body) start 1 KiB before the asked start
      "ignore-if-range"  206 with the rest even when If-Range names another ETag
      "no-answer"        after the first answer, closes the connection without answering
    A start at or past the end gets 416. The first answer stops after `drop_after` body bytes
    (when set) and closes the connection, as a dropped connection does, or with
    `stall_after_cut` goes silent until the server stops (a stop then cuts it). Every answer is
    recorded in `route.answers` (RangeAnswer)."""
    body = route.body
    turn = len(route.answers)
    etag = route.etags[min(turn, len(route.etags) - 1)] if route.etags else None
    asked = handler.headers.get("Range")
    if_range = handler.headers.get("If-Range")
    if turn > 0 and route.range_reply == "no-answer":
        route.answers.append(RangeAnswer(asked, if_range, None, 0))
        handler.close_connection = True
        return
    status, start, content_range = 200, 0, None
    match = re.fullmatch(r"bytes=(\d+)-", asked or "")
    if match and route.range_reply != "ignore":
        first = int(match.group(1))
        validator_ok = if_range is None or if_range == etag or route.range_reply == "ignore-if-range"
        if not validator_ok:
            pass  # the object changed: the whole of it
        elif first >= len(body):
            status, content_range = 416, f"bytes */{len(body)}"
        else:
            status = 206
            start = max(0, first - 1024) if route.range_reply == "wrong-range" else first
            content_range = f"bytes {start}-{len(body) - 1}/{len(body)}"
    payload = b"" if status == 416 else body[start:]
    if turn == 0 and route.drop_after:
        cut = route.drop_after
    else:
        cut = len(payload)
    handler.send_response(status)
    handler.send_header("Content-Type", "application/octet-stream")
    handler.send_header("Content-Length", str(len(payload)))
    handler.send_header("Connection", "close")
    if etag:
        handler.send_header("ETag", etag)
    if content_range:
        handler.send_header("Content-Range", content_range)
    handler.end_headers()
    handler.close_connection = True
    answer = RangeAnswer(asked, if_range, status, 0)
    route.answers.append(answer)
    try:
        for i in range(0, cut, 65536):
            piece = payload[i:min(i + 65536, cut)]
            handler.wfile.write(piece)
            answer.sent += len(piece)
        handler.wfile.flush()
        if turn == 0 and route.drop_after and route.stall_after_cut:
            handler.server.owner.stopping.wait(60)
    except OSError:
        pass  # the client went away: counted as far as it got


ROUTE_MODES = {
    "resumable": _route_resumable,
    "normal": _route_normal,
    "drop": _route_drop,
    "stall": _route_stall,
    "stallbody": _route_stallbody,
}


# --- whole-server behaviours ----------------------------------------------------------------
def _send(handler, status, body, ctype):
    handler.send_response(status)
    handler.send_header("Content-Type", ctype)
    handler.send_header("Content-Length", str(len(body)))
    handler.end_headers()
    handler.wfile.write(body)


def _server_files(handler, body):
    if body is None:
        return _send(handler, 404, NOT_FOUND_PAGE, "text/html")
    return _send(handler, 200, body, FolderServer.content_type(handler.path))


def _server_404(handler, body):
    return _send(handler, 404, NOT_FOUND_PAGE, "text/html")


def _server_empty(handler, body):
    return _send(handler, 200, b"", "application/octet-stream")


def _server_chunked(handler, body):
    if body is None:
        return _send(handler, 404, NOT_FOUND_PAGE, "text/html")
    owner = handler.server.owner
    handler.send_response(200)
    handler.send_header("Content-Type", "text/xml")
    handler.send_header("Transfer-Encoding", "chunked")
    handler.end_headers()
    handler.wfile.flush()
    for i in range(0, len(body), owner.chunk_size):
        piece = body[i:i + owner.chunk_size]
        handler.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
        handler.wfile.flush()
        time.sleep(owner.chunk_delay)
    handler.wfile.write(b"0\r\n\r\n")
    handler.wfile.flush()


def _server_drop(handler, body):
    handler.close_connection = True
    try:
        handler.connection.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass


SERVER_MODES = {
    "files": _server_files,
    "404": _server_404,
    "empty": _server_empty,
    "chunked": _server_chunked,
    "drop": _server_drop,
}


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "VextraTestServer/1.0"

    def log_message(self, fmt, *args):  # quiet
        pass

    def parse_request(self):
        # A client talking through a proxy may send the target in absolute form
        # ("GET https://localhost:443/pub/..."), which an HTTP/1.1 server must accept; files and
        # routes go by the path alone.
        ok = super().parse_request()
        if ok:
            self.server.owner.targets.append(self.path)
        if ok and re.match(r"^https?://", self.path, re.I):
            self.path = "/" + self.path.split("/", 3)[3] if self.path.count("/") >= 3 else "/"
        return ok

    def do_GET(self):
        owner = self.server.owner
        owner.requests.append(("GET", self.path, dict(self.headers.items())))
        route = owner.routes.get(self.path)
        if route is not None:
            if route.gate is not None:
                while not route.gate.wait(0.05) and not owner.stopping.is_set():
                    pass
            return ROUTE_MODES[route.mode](self, route)
        mode = owner.mode
        body = owner.read(self.path) if mode in ("files", "chunked") else None
        return SERVER_MODES[mode](self, body)


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, owner, address, family):
        self.address_family = family
        self.owner = owner
        super().__init__(address, getattr(owner, "handler_class", _Handler))

    def handle_error(self, request, client_address):
        pass  # dropped connections and failed handshakes are what some tests ask for

    def server_bind(self):
        if self.address_family == socket.AF_INET6:
            self.socket.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        super().server_bind()


class FolderServer:
    """Serves files below `root` (if given) and registered routes on loopback; TLS when `cert`
    and `key` are given."""

    def __init__(self, root=None, port=0, cert=None, key=None):
        self.root = Path(root) if root else None
        self.port = port
        self.mode = "files"
        self.chunk_size = 64
        self.chunk_delay = 0.05
        self.requests = []
        self.targets = []  # request targets as received, before the path is taken out
        self.routes = {}
        self.stopping = threading.Event()
        self._context = None
        if cert:
            self._context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self._context.load_cert_chain(str(cert), str(key))
        self._servers = []
        self._threads = []

    def read(self, url_path):
        if self.root is None:
            return None
        rel = url_path.split("?", 1)[0].lstrip("/")
        path = (self.root / rel).resolve()
        if self.root.resolve() not in path.parents or not path.is_file():
            return None
        return path.read_bytes()

    @staticmethod
    def content_type(url_path):
        return "text/xml" if url_path.endswith(".xml") else "application/octet-stream"

    def start(self):
        self.stopping.clear()
        for family, host in ((socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "::1")):
            try:
                srv = _Server(self, (host, self.port), family)
            except OSError:
                if family == socket.AF_INET:
                    raise
                continue  # no IPv6 loopback here, or that port is taken there
            self.port = srv.server_address[1]
            if self._context:
                srv.socket = self._context.wrap_socket(srv.socket, server_side=True)
            t = threading.Thread(target=srv.serve_forever, kwargs={"poll_interval": 0.1},
                                 daemon=True)
            t.start()
            self._servers.append(srv)
            self._threads.append(t)
        return self

    def stop(self):
        self.stopping.set()  # releases stalled answers
        for srv in self._servers:
            srv.shutdown()
            srv.server_close()
        for t in self._threads:
            t.join(timeout=5)
        self._servers.clear()
        self._threads.clear()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def put(self, url_path, data):
        """Places a file so that GET url_path serves it."""
        path = self.root / url_path.lstrip("/")
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data if isinstance(data, bytes) else data.encode())
        return path

    def route(self, path, *args, **kwargs):
        """Answers GET `path` as a Route(*args, **kwargs) says, ahead of the files."""
        route = Route(*args, **kwargs)
        if route.mode not in ROUTE_MODES:
            raise ValueError(f"unknown route mode {route.mode!r}")
        self.routes[path] = route
        return route

    def url(self, path):
        scheme = "https" if self._context else "http"
        return f"{scheme}://127.0.0.1:{self.port}{path}"

    def paths(self):
        return [path for _, path, _ in self.requests]


def https_server(root, cert, port=443):
    """HTTPS on localhost:443 with a server certificate (a pki.Cert for DNS:localhost)."""
    return FolderServer(root, port, cert.cert, cert.key)


def http_server(root=None, port=80):
    return FolderServer(root, port)


# -- hostile download servers --------------------------------------------------------------
class _HostileHandler(_Handler):
    """Answers a request for a path in `owner.hostile` with a body that never ends well:
      "endless"  200 without a length, 64 KiB pieces as fast as the client takes them
      "trickle"  200 without a length, one byte every `owner.trickle_interval` seconds
      "stall"    200 without a length, a few bytes, then nothing (the connection stays open)
    Other paths are served as by FolderServer. `owner.sent` counts the body bytes sent."""

    def do_GET(self):
        owner = self.server.owner
        path = self.path.split("?", 1)[0]
        kind = owner.hostile.get(path)
        if kind is None:
            return super().do_GET()
        owner.requests.append(("GET", self.path, dict(self.headers.items())))
        self.close_connection = True
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.flush()
        piece, pause = {"endless": (b"\x5a" * 65536, 0),
                        "trickle": (b"\x5a", owner.trickle_interval),
                        "stall": (b"\x5a" * 16, None)}[kind]
        try:
            while not owner.closing.is_set():
                self.wfile.write(piece)
                self.wfile.flush()
                owner.sent += len(piece)
                if pause is None:
                    owner.closing.wait()  # nothing more, ever
                elif pause:
                    owner.closing.wait(pause)
        except OSError:
            pass  # the client gave up: what the test expects


class HostileServer(FolderServer):
    """A FolderServer whose paths in `hostile` ({url path: kind}) get a hostile body."""
    handler_class = _HostileHandler

    def __init__(self, root, port, cert=None, key=None):
        super().__init__(root, port, cert, key)
        self.hostile = {}
        self.trickle_interval = 1.0
        self.sent = 0
        self.closing = threading.Event()

    def start(self):
        self.closing.clear()
        return super().start()

    def stop(self):
        self.closing.set()  # hostile bodies end, so the server threads can
        super().stop()


# -- a published site served by nginx ----------------------------------------------------
NGINX = "/usr/sbin/nginx"
_PR_SET_PDEATHSIG = 1

NGINX_CONFIG = """\
# Written by tests/harness/servers.py (NginxSite): one process in the foreground, everything
# below its own prefix, so no system nginx configuration, log or service is involved.
daemon off;
master_process off;
{user}pid {prefix}/nginx.pid;
error_log {prefix}/error.log warn;
events {{ worker_connections 64; }}
http {{
    log_format site '$request $status';
    access_log {prefix}/access.log site;
    # The same requests with when each ended (Unix time), how long it took, the body bytes sent
    # and the Domvista-Version header of the answer: for an account in the order things happened.
    log_format timed '$msec $request_time $status $body_bytes_sent "$sent_http_domvista_version" $request';
    access_log {prefix}/access-timed.log timed;
    client_body_temp_path {prefix}/temp/body;
    proxy_temp_path {prefix}/temp/proxy;
    fastcgi_temp_path {prefix}/temp/fastcgi;
    uwsgi_temp_path {prefix}/temp/uwsgi;
    scgi_temp_path {prefix}/temp/scgi;
    types {{ text/xml xml; }}
    default_type application/octet-stream;
    server_tokens off;
    root {root};
    # The manifest server: the manifests only, over HTTPS.
    server {{
        listen 127.0.0.1:{https_port} ssl;
        {v6}listen [::1]:{https_port} ssl;
        server_name localhost;
        ssl_certificate {cert};
        ssl_certificate_key {key};
        location / {{ return 404; }}
        location ~ ^/pub/.*/xml/[^/]+\\.xml$ {{ }}
    }}
    # The download server: the packages, over HTTP.
    server {{
        listen 127.0.0.1:{http_port};
        {v6}listen [::1]:{http_port};
        server_name localhost;
        location ~ \\.xml$ {{ return 404; }}
{locations}    }}
}}
"""


def _die_with_parent():
    """Runs in the child before nginx starts: it gets SIGTERM when its parent ends, so an
    interrupted test or demo never leaves it serving."""
    import ctypes
    import signal
    ctypes.CDLL(None, use_errno=True).prctl(_PR_SET_PDEATHSIG, signal.SIGTERM)


class NginxSite:
    """A published site (tools/vextra-publish output) served by nginx as a publisher would:
    manifests over HTTPS (`cert`: a pki.Cert for DNS:localhost) and packages over HTTP, from
    a configuration and prefix of its own in `prefix`. `access_log()` lists the request lines,
    `timed_log()` the same requests with their times. `locations` is nginx configuration text
    added to the download server (port 80), for what else the site serves there."""

    def __init__(self, root, cert, prefix, https_port=443, http_port=80, locations=""):
        self.root = Path(root).resolve()
        self.prefix = Path(prefix).resolve()
        self.cert, self.https_port, self.http_port = cert, https_port, http_port
        self.locations = locations
        self.process = None

    def start(self, timeout=10):
        import subprocess
        (self.prefix / "temp").mkdir(parents=True, exist_ok=True)
        ipv6 = socket.has_ipv6 and Path("/proc/net/if_inet6").exists() and \
            "00000000000000000000000000000001" in Path("/proc/net/if_inet6").read_text()
        conf = self.prefix / "nginx.conf"
        conf.write_text(NGINX_CONFIG.format(
            prefix=self.prefix, root=self.root, cert=Path(self.cert.cert).resolve(),
            key=Path(self.cert.key).resolve(), https_port=self.https_port,
            http_port=self.http_port, v6="" if ipv6 else "# ",
            locations="".join("        " + line + "\n" for line in self.locations.splitlines()),
            # As root (the namespace's root), nginx would switch to "nobody", who is not
            # mapped into the namespace; it stays who it is.
            user="user root root;\n" if os.geteuid() == 0 else ""))
        self.log = open(self.prefix / "nginx-output.txt", "wb")
        self.process = subprocess.Popen(
            [NGINX, "-p", str(self.prefix), "-c", str(conf), "-e", str(self.prefix / "error.log")],
            stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT,
            preexec_fn=_die_with_parent)
        deadline = time.monotonic() + timeout
        while not all(self._listening(p) for p in (self.https_port, self.http_port)):
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("nginx did not start: " + self.errors())
            time.sleep(0.05)
        return self

    @staticmethod
    def _listening(port):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
            return True
        except OSError:
            return False

    def stop(self):
        if self.process is not None:
            if self.process.poll() is None:
                self.process.terminate()
                try:
                    self.process.wait(timeout=10)
                except Exception:
                    self.process.kill()
                    self.process.wait()
            self.process = None
            self.log.close()

    def errors(self):
        out = [self.prefix / "nginx-output.txt", self.prefix / "error.log"]
        return "\n".join(p.read_text(errors="replace") for p in out if p.exists())[-2000:]

    def access_log(self):
        """The request lines nginx answered, each with its status ("GET /pub/... HTTP/1.1 200")."""
        log = self.prefix / "access.log"
        return log.read_text(errors="replace").splitlines() if log.exists() else []

    def timed_log(self):
        """The requests nginx answered, in the order they ended, as `ServedRequest`s."""
        log = self.prefix / "access-timed.log"
        if not log.exists():
            return []
        served = []
        for line in log.read_text(errors="replace").splitlines():
            m = re.match(r'(\S+) (\S+) (\d+) (\d+) "([^"]*)" (.*)$', line)
            if m:
                end, took = float(m.group(1)), float(m.group(2))
                served.append(ServedRequest(end - took, end, int(m.group(3)), int(m.group(4)),
                                            "" if m.group(5) == "-" else m.group(5), m.group(6)))
        return served

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


class ServedRequest:
    """One request nginx answered: when it started and ended (Unix time), the status, the body
    bytes sent, the answer's Domvista-Version header ("" when none) and the request line."""

    def __init__(self, start, end, status, sent, domvista_version, request):
        self.start, self.end, self.status, self.sent = start, end, status, sent
        self.domvista_version, self.request = domvista_version, request

    @property
    def path(self):
        parts = self.request.split(" ")
        return parts[1] if len(parts) > 1 else ""


# -- a forward proxy ---------------------------------------------------------------------
TINYPROXY = "/usr/bin/tinyproxy"


class TinyProxy:
    """Debian's tinyproxy on 127.0.0.1:`port` in the foreground, with a configuration of its own
    in `folder`: plain HTTP requests in absolute form, and CONNECT tunnels to port 443 only.
    `log()` is its log (requests at the "Connect" level, "Request (file descriptor N): GET
    http://... HTTP/1.1" and "CONNECT localhost:443 HTTP/1.1")."""

    def __init__(self, folder, port=3128):
        self.folder = Path(folder).resolve()
        self.port = port
        self.process = None

    def start(self, timeout=10):
        import subprocess
        self.folder.mkdir(parents=True, exist_ok=True)
        conf = self.folder / "tinyproxy.conf"
        conf.write_text(f"Port {self.port}\nListen 127.0.0.1\nTimeout 60\nMaxClients 20\n"
                        f"Allow 127.0.0.1\nConnectPort 443\nLogLevel Info\n"
                        f"LogFile \"{self.folder / 'tinyproxy.log'}\"\n")
        self.output = open(self.folder / "tinyproxy-output.txt", "wb")
        self.process = subprocess.Popen([TINYPROXY, "-d", "-c", str(conf)],
                                        stdin=subprocess.DEVNULL, stdout=self.output,
                                        stderr=subprocess.STDOUT, preexec_fn=_die_with_parent)
        deadline = time.monotonic() + timeout
        while not NginxSite._listening(self.port):
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("tinyproxy did not start: " + self.log()[-2000:])
            time.sleep(0.05)
        return self

    def stop(self):
        if self.process is not None:
            if self.process.poll() is None:
                self.process.terminate()
                self.process.wait(timeout=10)
            self.process = None
            self.output.close()

    def log(self):
        path = self.folder / "tinyproxy.log"
        return path.read_text(errors="replace") if path.exists() else ""

    def requests(self):
        """The request lines the proxy received ("CONNECT localhost:443", "GET http://...")."""
        return re.findall(r"Request \(file descriptor \d+\): (\S+ \S+)", self.log())

    @property
    def url(self):
        return f"http://127.0.0.1:{self.port}"

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
