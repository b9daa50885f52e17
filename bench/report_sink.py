#!/usr/bin/python3
"""Minimal reporting server for the benchmark.

Listens on 127.0.0.1, answers every request with 200 and the body "{}" (so
the daemon never pauses for instructions), and stamps each request with
CLOCK_MONOTONIC at the moment its body is complete, before anything else is
done with it. One connection is served at a time, on one thread: the daemon
and the reference runs post one request at a time, and a thread per
connection would only add scheduling noise to the stamp.

Standard output: first "port N", then one line per request:
    RECEIVED_NS<TAB>BODY
(BODY as sent, which holds no newline for event objects). The line is written
after the answer went out, so writing it never delays the client.

Ends on SIGTERM/SIGINT or when standard input closes.
"""

import os
import signal
import socket
import sys
import threading
import time

CONNECTION_TIMEOUT = 10.0  # s; a client that stalls this long is dropped
REPLY = (b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
         b"Content-Length: 2\r\nConnection: close\r\n\r\n{}")


def read_request(conn):
    """Returns the body of one request, or None when the client went away."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(65536)
        if not chunk:
            return None
        data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value.strip())
    while len(body) < length:
        chunk = conn.recv(65536)
        if not chunk:
            return None
        body += chunk
    return body


def main():
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(64)
    listener.settimeout(0.5)
    out = sys.stdout.buffer
    out.write(b"port %d\n" % listener.getsockname()[1])
    out.flush()

    stopping = threading.Event()

    def stop(*_):
        stopping.set()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)

    def watch_stdin():
        # The driver holds our standard input; when it dies, so do we.
        while os.read(0, 4096):
            pass
        stopping.set()

    threading.Thread(target=watch_stdin, daemon=True).start()

    while not stopping.is_set():
        try:
            conn, _ = listener.accept()
        except socket.timeout:
            continue
        except OSError:
            if stopping.is_set():
                break
            raise
        with conn:
            conn.settimeout(CONNECTION_TIMEOUT)
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            try:
                body = read_request(conn)
                received = time.monotonic_ns()
                if body is None:
                    continue
                conn.sendall(REPLY)
            except (OSError, ValueError):
                continue
        out.write(b"%d\t%s\n" % (received, body.replace(b"\n", b" ")))
        out.flush()
    listener.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
