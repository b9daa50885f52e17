"""An HTTP server in the test's own process that stands in for the reporting
server: it records every request and answers with scripted replies (see
ReportServer). tools/report-standin (standins.ReportStandin) is the same
server as a process of its own, for faults that need bytes no HTTP library
would send."""

import http.server
import socket
import threading
import time


class ReportServer:
    """HTTP server on 127.0.0.1 that records requests and scripts replies.

    Each reply is a dict with optional keys:
      body    bytes/str sent as the response body (default b"{}")
      status  HTTP status (default 200)
      mode    "normal", "hang" (never answers until stop()), "delay"
      delay   seconds to wait before answering in mode "delay"
      headers dict of further response headers (e.g. Retry-After, Location)
    ssl_context  serve HTTPS with this server-side context.
    keep_alive   keep each connection open after a reply (HTTP/1.1
                 persistent connections) instead of closing it; `connections`
                 counts the connections accepted, drop_idle() closes the ones
                 open, as a server or a NAT box does to idle connections.
    replies queued with push() are used one per request; after that the
    default reply applies (settable with set_default()).
    """

    def __init__(self, port=0, default=None, ssl_context=None, keep_alive=False):
        self.requests = []
        self.connections = 0
        self._open = set()
        self._busy = 0  # requests being answered
        self._queue = []
        self._default = dict(default or {"body": b"{}"})
        self._cond = threading.Condition()
        self._release = threading.Event()
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *a):
                pass

            def _handle(self):
                with outer._cond:
                    outer._busy += 1
                try:
                    self._answer()
                finally:
                    with outer._cond:
                        outer._busy -= 1
                        outer._cond.notify_all()

            def _answer(self):
                length = int(self.headers.get("Content-Length") or 0)
                body = self.rfile.read(length) if length else b""
                req = {"method": self.command, "path": self.path,
                       "headers": dict(self.headers), "body": body,
                       "time": time.monotonic()}
                with outer._cond:
                    outer.requests.append(req)
                    reply = outer._queue.pop(0) if outer._queue else outer._default
                    outer._cond.notify_all()
                mode = reply.get("mode", "normal")
                if mode == "hang":
                    outer._release.wait(timeout=120)
                    return
                if mode == "delay":
                    outer._release.wait(timeout=reply.get("delay", 1))
                data = reply.get("body", b"{}")
                if isinstance(data, str):
                    data = data.encode()
                self.send_response(reply.get("status", 200))
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(data)))
                for name, value in reply.get("headers", {}).items():
                    self.send_header(name, value)
                if not keep_alive:
                    self.send_header("Connection", "close")
                self.end_headers()
                self.wfile.write(data)

            do_POST = _handle
            do_GET = _handle
            do_PUT = _handle

        class Server(http.server.ThreadingHTTPServer):
            daemon_threads = True
            allow_reuse_address = True

            def get_request(self):
                conn, addr = super().get_request()
                with outer._cond:
                    outer.connections += 1
                    outer._open.add(conn)
                return conn, addr

            def shutdown_request(self, request):
                with outer._cond:
                    outer._open.discard(request)
                super().shutdown_request(request)

        self._server = Server(("127.0.0.1", port), Handler)
        if ssl_context is not None:
            # HTTPS: a client that refuses the certificate never reaches
            # the handler, so it leaves no request behind.
            self._server.socket = ssl_context.wrap_socket(
                self._server.socket, server_side=True)
        self.port = self._server.server_address[1]
        self.host = "127.0.0.1:%d" % self.port
        self._thread = threading.Thread(target=self._server.serve_forever,
                                        kwargs={"poll_interval": 0.1},
                                        daemon=True)
        self._thread.start()

    def push(self, *replies):
        with self._cond:
            self._queue.extend(replies)

    def set_default(self, reply):
        with self._cond:
            self._default = dict(reply)

    def wait_requests(self, count, timeout):
        """Wait until `count` requests were recorded; returns all of them."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while len(self.requests) < count:
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                self._cond.wait(min(left, 0.2))
            return list(self.requests)

    def drop_idle(self, timeout=10):
        """Once no request is being answered, close every connection that is
        open, without a word."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while self._busy and time.monotonic() < deadline:
                self._cond.wait(0.1)
            conns = list(self._open)
        for conn in conns:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def bodies(self):
        with self._cond:
            return [r["body"] for r in self.requests]

    def stop(self):
        self._release.set()
        self._server.shutdown()
        self._server.server_close()
        self._thread.join(timeout=5)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
