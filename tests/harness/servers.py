"""Real HTTP and HTTPS servers on loopback that serve files from a folder the test fills.

Fixed ports (443, 80) are only bound inside the private network namespace that
`tests/harness/in-netns` (and so `make test-e2e`) provides. Each server listens on 127.0.0.1
and, where the namespace has it, on ::1, because "localhost" may resolve to either.

`mode` changes how every following request is answered:
  "files"   the file below the root, or a 404 HTML page when there is none
  "404"     always 404 with an HTML page
  "empty"   200 with an empty body
  "chunked" 200, the file sent with chunked transfer encoding in small delayed pieces
  "drop"    the connection is closed without any response
`requests` records (method, path, headers) of every request received.
"""
import http.server
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


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "VextraTestServer/1.0"

    def log_message(self, fmt, *args):  # quiet
        pass

    def do_GET(self):
        owner = self.server.owner
        owner.requests.append(("GET", self.path, dict(self.headers.items())))
        mode = owner.mode
        if mode == "drop":
            self.close_connection = True
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            return
        if mode == "404":
            return self._send(404, NOT_FOUND_PAGE, "text/html")
        if mode == "empty":
            return self._send(200, b"", "application/octet-stream")
        body = owner.read(self.path)
        if body is None:
            return self._send(404, NOT_FOUND_PAGE, "text/html")
        if mode == "chunked":
            return self._send_chunked(body, owner.chunk_size, owner.chunk_delay)
        return self._send(200, body, owner.content_type(self.path))

    def _send(self, status, body, ctype):
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def _send_chunked(self, body, size, delay):
        self.send_response(200)
        self.send_header("Content-Type", "text/xml")
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        self.wfile.flush()
        for i in range(0, len(body), size):
            piece = body[i:i + size]
            self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
            self.wfile.flush()
            time.sleep(delay)
        self.wfile.write(b"0\r\n\r\n")
        self.wfile.flush()


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
    """Serves files below `root` on loopback; TLS when `cert` and `key` are given."""

    def __init__(self, root, port, cert=None, key=None):
        self.root = Path(root)
        self.port = port
        self.mode = "files"
        self.chunk_size = 64
        self.chunk_delay = 0.05
        self.requests = []
        self._context = None
        if cert:
            self._context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self._context.load_cert_chain(str(cert), str(key))
        self._servers = []
        self._threads = []

    def read(self, url_path):
        rel = url_path.split("?", 1)[0].lstrip("/")
        path = (self.root / rel).resolve()
        if self.root.resolve() not in path.parents or not path.is_file():
            return None
        return path.read_bytes()

    @staticmethod
    def content_type(url_path):
        return "text/xml" if url_path.endswith(".xml") else "application/octet-stream"

    def start(self):
        for family, host in ((socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "::1")):
            try:
                srv = _Server(self, (host, self.port), family)
            except OSError:
                if family == socket.AF_INET:
                    raise
                continue  # no IPv6 loopback here
            if self._context:
                srv.socket = self._context.wrap_socket(srv.socket, server_side=True)
            t = threading.Thread(target=srv.serve_forever, kwargs={"poll_interval": 0.1},
                                 daemon=True)
            t.start()
            self._servers.append(srv)
            self._threads.append(t)
        return self

    def stop(self):
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


def https_server(root, cert, port=443):
    """HTTPS on localhost:443 with a server certificate (a pki.Cert for DNS:localhost)."""
    return FolderServer(root, port, cert.cert, cert.key)


def http_server(root, port=80):
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
