#!/usr/bin/python3
"""A reporting server for the delivery benchmark that keeps connections
open, as a real one does, over HTTP or HTTPS.

    keepalive_sink.py [--tls-cert FILE --tls-key FILE] [--port N]

Listens on 127.0.0.1, serves each connection on a thread of its own
(HTTP/1.1 keep-alive: many requests a connection, until the client closes
it, asks "Connection: close" or stays idle IDLE_TIMEOUT_S), answers every
request with 200 and the body "{}" (so the daemon never acts on a reply),
and stamps each request with CLOCK_MONOTONIC the moment its body is
complete, before anything else is done with it. --idle-timeout sets the
idle time after which a kept connection is closed, as a real server does.

Standard output: first "port N", then one line per request:
    RECEIVED_NS<TAB>CONNECTION<TAB>BODY
CONNECTION numbers the accepted connections from 1, so a run can tell how
many connections a client used. BODY is as sent, newlines made spaces; the
line is written after the answer went out. Ends on SIGTERM/SIGINT or when
standard input closes. Stdlib only; not part of the test suite.
"""

import argparse
import os
import signal
import socket
import ssl
import sys
import threading
import time

IDLE_TIMEOUT_S = 60.0     # a kept connection idle this long is closed
HANDSHAKE_TIMEOUT_S = 10.0
MAX_HEAD_BYTES = 65536
REPLY = (b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
         b"Content-Length: 2\r\n\r\n{}")
REPLY_CLOSE = (b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
               b"Content-Length: 2\r\nConnection: close\r\n\r\n{}")


class Connection:
    """Reads requests off one socket, keeping what follows a request."""

    def __init__(self, sock):
        self.sock = sock
        self.buf = b""

    def _more(self):
        chunk = self.sock.recv(65536)
        if not chunk:
            raise EOFError
        self.buf += chunk

    def request(self):
        """(headers dict, body) of the next request; EOFError at the end."""
        while b"\r\n\r\n" not in self.buf:
            if len(self.buf) > MAX_HEAD_BYTES:
                raise ValueError("request head too long")
            self._more()
        head, _, self.buf = self.buf.partition(b"\r\n\r\n")
        headers = {}
        for line in head.split(b"\r\n")[1:]:
            name, _, value = line.partition(b":")
            headers[name.strip().lower()] = value.strip()
        length = int(headers.get(b"content-length", b"0"))
        if headers.get(b"expect", b"").lower() == b"100-continue":
            self.sock.sendall(b"HTTP/1.1 100 Continue\r\n\r\n")
        while len(self.buf) < length:
            self._more()
        body, self.buf = self.buf[:length], self.buf[length:]
        return headers, body


def serve_connection(sock, number, context, idle_timeout, out, out_lock):
    try:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        if context is not None:
            sock.settimeout(HANDSHAKE_TIMEOUT_S)
            sock = context.wrap_socket(sock, server_side=True)
        sock.settimeout(idle_timeout)
        conn = Connection(sock)
        while True:
            headers, body = conn.request()
            received = time.monotonic_ns()
            closing = headers.get(b"connection", b"").lower() == b"close"
            sock.sendall(REPLY_CLOSE if closing else REPLY)
            with out_lock:
                out.write(b"%d\t%d\t%s\n" % (received, number, body.replace(b"\n", b" ")))
                out.flush()
            if closing:
                return
    except (EOFError, OSError, ValueError):
        return
    finally:
        try:
            sock.close()
        except OSError:
            pass


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--tls-cert")
    p.add_argument("--tls-key")
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--idle-timeout", type=float, default=IDLE_TIMEOUT_S,
                   help="seconds a kept connection may stay idle")
    args = p.parse_args()
    context = None
    if args.tls_cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.tls_cert, args.tls_key)
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", args.port))
    listener.listen(128)
    listener.settimeout(0.5)
    out = sys.stdout.buffer
    out_lock = threading.Lock()
    out.write(b"port %d\n" % listener.getsockname()[1])
    out.flush()
    stopping = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stopping.set())
    signal.signal(signal.SIGINT, lambda *_: stopping.set())

    def watch_stdin():
        while os.read(0, 4096):
            pass
        stopping.set()

    threading.Thread(target=watch_stdin, daemon=True).start()
    number = 0
    while not stopping.is_set():
        try:
            sock, _ = listener.accept()
        except socket.timeout:
            continue
        except OSError:
            if stopping.is_set():
                break
            raise
        number += 1
        threading.Thread(target=serve_connection, daemon=True,
                         args=(sock, number, context, args.idle_timeout, out, out_lock)).start()
    listener.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
