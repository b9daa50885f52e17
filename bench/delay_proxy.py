#!/usr/bin/python3
"""A slow link on the loopback: forwards TCP from 127.0.0.1 to a target,
holding every chunk half a round trip in each direction, as a cellular
uplink would.

    delay_proxy.py --target HOST:PORT --rtt-ms 100 [--port N]
                   [--rate BYTES_PER_S] [--cut-after-s S]

A new connection is taken at once and the target connected at once (both
on the loopback), but nothing crosses until one round trip after the accept:
that is the TCP handshake the real link would have cost, so a client's first
bytes arrive one and a half round trips after it connected. After that each
chunk arrives half a round trip after it was sent; order is kept in each
direction. Bandwidth is unlimited unless --rate gives the link's bytes per
second: then each direction is one link shared by all connections, a chunk
takes its length / rate on it before the half round trip starts, and at most
about 64 KiB wait in the proxy per connection and direction (beyond that the
sender feels TCP's back pressure, as on a real slow link). --cut-after-s
drops every connection that many seconds after it was accepted (both sides
reset, whatever is in flight lost), as a cellular link that drops. Bytes are forwarded as they are, so TLS
stays end to end between the client and the target. A half close travels
like data; a target that refuses ends the client's connection.

Standard output: "port N" once listening, and when it ends "bytes up U
down D": what crossed the link toward the target (U) and toward the client
(D), all connections together (bytes dropped at a cut are not counted). Ends on SIGTERM/SIGINT or when
standard input closes. Stdlib only; not part of the test suite.
"""

import argparse
import asyncio
import os
import select
import signal
import socket
import struct
import subprocess
import sys

CHUNK_BYTES = 65536
QUEUED_BYTES = 65536       # per connection and direction, when rate limited
CONNECT_TIMEOUT_S = 10.0   # to the target, on the loopback


def set_nodelay(writer):
    sock = writer.get_extra_info("socket")
    if sock is not None:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)


class Link:
    """One direction of the slow link: `rate` bytes per second (0: no
    limit), when it is next free, and the bytes delivered across it."""

    def __init__(self, rate):
        self.rate = rate
        self.delivered = 0
        self.free_at = 0.0
        # Slices of about 20 ms on the link, so the pace is smooth.
        self.slice = max(512, int(rate / 50)) if rate else CHUNK_BYTES

    def pieces(self, data, now):
        """(time the piece has crossed the link, piece) for `data` sent at
        `now`."""
        if not self.rate or not data:
            return [(now, data)]
        out = []
        for i in range(0, len(data), self.slice):
            piece = data[i:i + self.slice]
            self.free_at = max(self.free_at, now) + len(piece) / self.rate
            out.append((self.free_at, piece))
        return out


async def forward(reader, writer, usable_at, half_rtt, link):
    """Copies one direction: each chunk is written half a round trip after
    it has crossed the `link`, never before the connection is usable
    (`usable_at`)."""
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue(max(4, QUEUED_BYTES // link.slice) if link.rate else 0)

    async def deliver():
        while True:
            release, data = await queue.get()
            wait = release - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if not data:
                if writer.can_write_eof():
                    writer.write_eof()
                return
            writer.write(data)
            link.delivered += len(data)
            await writer.drain()

    delivering = asyncio.create_task(deliver())
    try:
        while True:
            try:
                data = await reader.read(CHUNK_BYTES)
            except OSError:
                data = b""
            for crossed, piece in link.pieces(data, max(loop.time(), usable_at)):
                await queue.put((crossed + half_rtt, piece))
            if not data:
                break
        await delivering
    except (OSError, asyncio.CancelledError):
        delivering.cancel()
        raise


async def serve_client(client_reader, client_writer, target, rtt, links, cut_after):
    loop = asyncio.get_running_loop()
    usable_at = loop.time() + rtt
    host, _, port = target.rpartition(":")
    try:
        target_reader, target_writer = await asyncio.wait_for(
            asyncio.open_connection(host, int(port)), CONNECT_TIMEOUT_S)
    except (OSError, asyncio.TimeoutError):
        client_writer.close()
        return
    set_nodelay(client_writer)
    set_nodelay(target_writer)
    up, down = links
    directions = [
        asyncio.create_task(forward(client_reader, target_writer, usable_at, rtt / 2, up)),
        asyncio.create_task(forward(target_reader, client_writer, usable_at, rtt / 2, down))]
    cut = False
    try:
        # A reset on either side ends both directions; so does the cut.
        done, pending = await asyncio.wait(
            directions, timeout=cut_after, return_when=asyncio.FIRST_EXCEPTION)
        cut = bool(pending) and cut_after is not None and not any(
            task.exception() for task in done)
        for task in pending:
            task.cancel()
        for task in done:
            task.exception()  # a reset is how some connections end: not news
    finally:
        for writer in (client_writer, target_writer):
            if cut:
                # A dropped link: a reset, nothing in flight delivered.
                sock = writer.get_extra_info("socket")
                if sock is not None:
                    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                writer.transport.abort()
            else:
                writer.close()


async def main_async(args):
    rtt = args.rtt_ms / 1000.0
    links = (Link(args.rate), Link(args.rate))
    cut_after = args.cut_after_s if args.cut_after_s > 0 else None
    server = await asyncio.start_server(
        lambda r, w: serve_client(r, w, args.target, rtt, links, cut_after),
        "127.0.0.1", args.port,
        reuse_address=True, backlog=64)
    out = sys.stdout.buffer
    out.write(b"port %d\n" % server.sockets[0].getsockname()[1])
    out.flush()
    stopping = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stopping.set)

    def stdin_readable():
        # The driver holds our standard input; when it goes, so do we.
        if not os.read(0, 4096):
            loop.remove_reader(0)
            stopping.set()

    loop.add_reader(0, stdin_readable)
    async with server:
        await stopping.wait()
    out.write(b"bytes up %d down %d\n" % (links[0].delivered, links[1].delivered))
    out.flush()
    return 0


class DelayProxy:
    """Runs this file as a process of its own, listening on `port` (0: any
    free one), forwarding to `target` ("host:port") over a link of `rtt_ms`,
    `rate` bytes per second (0: unlimited), each connection dropped
    `cut_after_s` seconds after it was accepted (0: never)."""

    def __init__(self, target, rtt_ms, port=0, deadline=20, rate=0, cut_after_s=0):
        self.proc = subprocess.Popen(
            ["/usr/bin/python3", os.path.abspath(__file__), "--target", target,
             "--rtt-ms", str(rtt_ms), "--port", str(port), "--rate", str(rate),
             "--cut-after-s", str(cut_after_s)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, start_new_session=True)
        line = self._first_line(deadline)
        if not line.startswith(b"port "):
            self.stop()
            raise RuntimeError("delay proxy did not start")
        self.port = int(line.split()[1])
        self.host = "127.0.0.1:%d" % self.port

    def _first_line(self, deadline):
        fd = self.proc.stdout.fileno()
        ready, _, _ = select.select([fd], [], [], deadline)
        return self.proc.stdout.readline() if ready else b""

    def stop(self):
        """Ends the proxy; returns (bytes up, bytes down) it carried, or
        None when it did not say."""
        try:
            self.proc.stdin.close()
        except OSError:
            pass
        try:
            self.proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(timeout=5)
        rest = self.proc.stdout.read().split()
        if len(rest) == 5 and rest[0] == b"bytes":
            return int(rest[2]), int(rest[4])
        return None


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--target", required=True, help="HOST:PORT to forward to")
    p.add_argument("--rtt-ms", type=float, required=True, help="round trip, ms")
    p.add_argument("--port", type=int, default=0, help="port to listen on (0: any)")
    p.add_argument("--rate", type=float, default=0,
                   help="bytes per second each way, all connections together (0: unlimited)")
    p.add_argument("--cut-after-s", type=float, default=0,
                   help="drop every connection this many seconds after it was accepted"
                        " (0: never)")
    return asyncio.run(main_async(p.parse_args()))


if __name__ == "__main__":
    sys.exit(main())
