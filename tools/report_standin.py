"""The reporting server stand-in's server, for tools/report-standin and for
tests and benchmarks that run it in their own process (ReportServer):
every request recorded, each answered with the reply a script gives, or
with one of the fault modes the daemon has to live with."""

import base64
import json
import socket
import ssl
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

BIG_SIZE = 5 * 1024 * 1024
GARBAGE = b"\x00\xffNOT-HTTP \x1b[2J\r\n\xfe\xfd garbage\r\n\r\n"
IDLE_TIMEOUT_S = 60.0   # a kept connection idle this long is closed
HANG_LIMIT_S = 600.0    # "hang" answers at the latest after this, or at stop

class Handler(BaseHTTPRequestHandler):
    """Answers each request with the reply its server's script gives: a dict
    with optional keys body (bytes or str, default "{}"), status (200),
    headers (further response headers), content_type, delay (seconds to wait
    first) and mode: "normal", "hang" (never answer), "garbage" (bytes that
    are not HTTP), "big" (5 MB of filler lines, the body as the last line),
    "close" (headers and half the body, then close)."""

    # HTTP/1.1 so that curl's "Expect: 100-continue" on larger bodies is
    # answered at once instead of after curl's one-second wait.
    protocol_version = "HTTP/1.1"
    server_version = "report-standin/1"
    disable_nagle_algorithm = True

    def setup(self):
        self.timeout = self.server.idle_timeout
        super().setup()

    def log_message(self, fmt, *args):
        if self.server.verbose:
            sys.stderr.write("%s - %s\n" % (self.address_string(), fmt % args))

    def _read_body(self):
        try:
            left = int(self.headers.get("Content-Length") or 0)
        except ValueError:
            return b""
        chunks = []
        while left > 0:
            chunk = self.rfile.read(min(left, 65536))
            if not chunk:
                break
            chunks.append(chunk)
            left -= len(chunk)
        return b"".join(chunks)

    def _handle(self):
        server = self.server
        with server.cond:
            server.busy += 1
        try:
            body = self._read_body()
            request = {"method": self.command, "path": self.path,
                       "headers": dict(self.headers), "body": body,
                       "time": time.monotonic(), "received_ns": time.monotonic_ns(),
                       "connection": server.number(self.connection)}
            reply = server.answer(request, self)
            if not server.keep_alive:
                self.close_connection = True
            if reply.get("delay"):
                server.stopping.wait(reply["delay"])
            self._send(reply)
        finally:
            with server.cond:
                server.busy -= 1
                server.cond.notify_all()
        if server.stamps:
            server.stamp(request)

    do_POST = do_GET = do_PUT = do_DELETE = do_HEAD = _handle

    def _send(self, reply):
        mode = reply.get("mode", "normal")
        body = reply.get("body", b"{}")
        if isinstance(body, str):
            body = body.encode("utf-8")
        if mode == "hang":
            self.server.stopping.wait(HANG_LIMIT_S)
            self.close_connection = True
        elif mode == "garbage":
            self.wfile.write(GARBAGE)
            self.close_connection = True
        elif mode == "big":
            self._send_big(body)
        elif mode == "close":
            self._head(reply.get("status", 200), len(body) + 1000, reply)
            self.wfile.write(body[:len(body) // 2])
            self.wfile.flush()
            self.connection.shutdown(socket.SHUT_RDWR)
            self.close_connection = True
        else:
            self._head(reply.get("status", 200), len(body), reply)
            self.wfile.write(body)
        self.wfile.flush()

    def _head(self, status, length, reply):
        self.send_response(status)
        self.send_header("Content-Type", reply.get("content_type", "application/json"))
        self.send_header("Content-Length", str(length))
        for name, value in reply.get("headers", {}).items():
            self.send_header(name, value)
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()

    def _send_big(self, reply):
        # Filler lines, then the scripted reply as the last line, so the
        # reply is still found by a client that looks at the last line only.
        line = b"x" * 1023 + b"\n"
        tail = reply if reply.endswith(b"\n") else reply + b"\n"
        count = max(0, (BIG_SIZE - len(tail)) // len(line))
        self._head(200, count * len(line) + len(tail), {})
        full, rest = divmod(count, 64)
        for _ in range(full):
            self.wfile.write(line * 64)
        self.wfile.write(line * rest + tail)


class ReportServer(ThreadingHTTPServer):
    """The stand-in on 127.0.0.1, serving from a thread of its own.

    Replies queued with push() are used one per request; after that the
    default reply applies (set_default()). `requests` holds every request
    (method, path, headers dict, body bytes, time: monotonic seconds,
    connection: the number of the connection it came on). With
    `ssl_context` it serves HTTPS; with `keep_alive` connections stay open
    after a reply (`connections` counts those accepted, drop_idle() closes
    the open ones without a word, as a server or a NAT box does)."""

    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, port=0, default=None, ssl_context=None, keep_alive=False,
                 idle_timeout=IDLE_TIMEOUT_S, script=None, start=True):
        super().__init__(("127.0.0.1", port), Handler)
        if ssl_context is not None:
            # The handshake happens in the request's own thread, so a
            # client that stalls in it holds up no one else; one that
            # refuses the certificate never reaches the handler.
            self.socket = ssl_context.wrap_socket(self.socket, server_side=True,
                                                  do_handshake_on_connect=False)
        self.keep_alive, self.idle_timeout = keep_alive, idle_timeout
        self.script = script or self._next_reply
        self.verbose = self.stamps = False
        self.request_log = None
        self.requests, self.connections, self.busy = [], 0, 0
        self._open, self._queue = {}, []  # connection -> its number
        self._default = dict(default or {"body": b"{}"})
        self.cond = threading.Condition()
        self.stopping = threading.Event()
        self.port = self.server_address[1]
        self.host = "127.0.0.1:%d" % self.port
        self._thread = None
        if start:
            self._thread = threading.Thread(target=self.serve_forever,
                                            kwargs={"poll_interval": 0.1}, daemon=True)
            self._thread.start()

    def _next_reply(self, request, handler):
        return self._queue.pop(0) if self._queue else self._default

    def answer(self, request, handler):
        """Records `request`; returns the reply the script gives for it."""
        with self.cond:
            reply = self.script(request, handler)
            if self.requests is not None:
                self.requests.append(request)
            self.cond.notify_all()
            if self.request_log:
                body = request["body"]
                self.request_log.write(json.dumps({
                    "t": time.time(), "method": request["method"],
                    "path": request["path"], "version": handler.request_version,
                    "headers": [[k, v] for k, v in handler.headers.items()],
                    "body": body.decode("utf-8", "backslashreplace"),
                    "body_base64": base64.b64encode(body).decode("ascii"),
                    "mode": reply.get("name", reply.get("mode", "normal"))}) + "\n")
                self.request_log.flush()
        return reply

    def stamp(self, request):
        """RECEIVED_NS<TAB>CONNECTION<TAB>BODY (newlines made spaces) on
        standard output, written once the answer went out."""
        with self.cond:
            out = sys.stdout.buffer
            out.write(b"%d\t%d\t%s\n" % (request["received_ns"], request["connection"],
                                         request["body"].replace(b"\n", b" ")))
            out.flush()

    def get_request(self):
        conn, addr = super().get_request()
        with self.cond:
            self.connections += 1
            self._open[conn] = self.connections
        return conn, addr

    def number(self, conn):
        with self.cond:
            return self._open.get(conn, 0)

    def shutdown_request(self, request):
        with self.cond:
            self._open.pop(request, None)
        super().shutdown_request(request)

    def handle_error(self, request, client_address):
        # A client that refuses the certificate ends the handshake, and one
        # may go away mid-answer; that is its right, not the server's fault.
        if isinstance(sys.exc_info()[1], (ssl.SSLError, ConnectionError)):
            return
        super().handle_error(request, client_address)

    def push(self, *replies):
        with self.cond:
            self._queue.extend(replies)

    def set_default(self, reply):
        with self.cond:
            self._default = dict(reply)

    def wait_requests(self, count, timeout):
        """Waits until `count` requests were recorded; returns all of them."""
        with self.cond:
            self.cond.wait_for(lambda: len(self.requests) >= count, timeout)
            return list(self.requests)

    def bodies(self):
        with self.cond:
            return [r["body"] for r in self.requests]

    def drop_idle(self, timeout=10):
        """Once no request is being answered, closes every open connection."""
        with self.cond:
            self.cond.wait_for(lambda: not self.busy, timeout)
            conns = list(self._open)
        for conn in conns:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def stop(self):
        self.stopping.set()
        if self._thread is not None:
            self.shutdown()
            self._thread.join(timeout=5)
        self.server_close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
