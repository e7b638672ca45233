"""A loopback HTTP server for end-to-end runs of desktop-updater: each path answers as told
(normally, cut off, silent, or only after the test opens a gate) and every request is recorded."""
import http.server
import threading


class Route:
    def __init__(self, body=b"", status=200, headers=None, mode="normal", drop_after=0, gate=None):
        self.body = body if isinstance(body, bytes) else body.encode()
        self.status = status
        self.headers = headers or {}
        self.mode = mode  # normal | drop | stall | stallbody
        self.drop_after = drop_after
        self.gate = gate  # threading.Event to wait for before answering


class UpdateServer:
    def __init__(self):
        self.routes = {}
        self.requests = []
        self.stopping = threading.Event()
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_GET(self):
                server.requests.append(self.path)
                route = server.routes.get(self.path) or Route(b"<html>not found</html>", status=404)
                if route.gate is not None:
                    while not route.gate.wait(0.05) and not server.stopping.is_set():
                        pass
                if route.mode == "stall":
                    server.stopping.wait()
                    return
                self.send_response(route.status)
                self.send_header("Content-Length", str(len(route.body)))
                self.send_header("Connection", "close")
                for name, value in route.headers.items():
                    self.send_header(name, value)
                self.end_headers()
                if route.mode == "normal":
                    self.wfile.write(route.body)
                else:
                    self.wfile.write(route.body[:route.drop_after])
                    self.wfile.flush()
                    if route.mode == "stallbody":
                        server.stopping.wait()
                self.close_connection = True

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def url(self, path):
        return f"http://127.0.0.1:{self.port}{path}"

    def route(self, path, *args, **kwargs):
        self.routes[path] = Route(*args, **kwargs)

    def close(self):
        self.stopping.set()
        self.httpd.shutdown()
        self.httpd.server_close()
