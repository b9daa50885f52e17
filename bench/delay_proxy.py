#!/usr/bin/python3
"""A slow link on the loopback: forwards TCP from 127.0.0.1 to a target,
holding every chunk half a round trip in each direction, as a cellular
uplink would.

    delay_proxy.py --target HOST:PORT --rtt-ms 100 [--port N]

A new connection is taken at once and the target connected at once (both
on the loopback), but nothing crosses until one round trip after the accept:
that is the TCP handshake the real link would have cost, so a client's first
bytes arrive one and a half round trips after it connected. After that each
chunk arrives half a round trip after it was sent; order is kept in each
direction, bandwidth is unlimited. Bytes are forwarded as they are, so TLS
stays end to end between the client and the target. A half close travels
like data; a target that refuses ends the client's connection.

Standard output: "port N" once listening. Ends on SIGTERM/SIGINT or when
standard input closes. Stdlib only; not part of the test suite.
"""

import argparse
import asyncio
import os
import select
import signal
import socket
import subprocess
import sys

CHUNK_BYTES = 65536
CONNECT_TIMEOUT_S = 10.0   # to the target, on the loopback


def set_nodelay(writer):
    sock = writer.get_extra_info("socket")
    if sock is not None:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)


async def forward(reader, writer, usable_at, half_rtt):
    """Copies one direction: each chunk is written half a round trip after
    it was read, never before the connection is usable (`usable_at`)."""
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

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
            await writer.drain()

    delivering = asyncio.create_task(deliver())
    try:
        while True:
            try:
                data = await reader.read(CHUNK_BYTES)
            except OSError:
                data = b""
            await queue.put((max(loop.time(), usable_at) + half_rtt, data))
            if not data:
                break
        await delivering
    except (OSError, asyncio.CancelledError):
        delivering.cancel()
        raise


async def serve_client(client_reader, client_writer, target, rtt):
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
    directions = [
        asyncio.create_task(forward(client_reader, target_writer, usable_at, rtt / 2)),
        asyncio.create_task(forward(target_reader, client_writer, usable_at, rtt / 2))]
    try:
        # A reset on either side ends both directions.
        done, pending = await asyncio.wait(directions, return_when=asyncio.FIRST_EXCEPTION)
        for task in pending:
            task.cancel()
        for task in done:
            task.exception()  # a reset is how some connections end: not news
    finally:
        for writer in (client_writer, target_writer):
            writer.close()


async def main_async(args):
    rtt = args.rtt_ms / 1000.0
    server = await asyncio.start_server(
        lambda r, w: serve_client(r, w, args.target, rtt), "127.0.0.1", args.port,
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
    return 0


class DelayProxy:
    """Runs this file as a process of its own, listening on `port` (0: any
    free one), forwarding to `target` ("host:port") over a link of `rtt_ms`."""

    def __init__(self, target, rtt_ms, port=0, deadline=20):
        self.proc = subprocess.Popen(
            ["/usr/bin/python3", os.path.abspath(__file__), "--target", target,
             "--rtt-ms", str(rtt_ms), "--port", str(port)],
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
        try:
            self.proc.stdin.close()
        except OSError:
            pass
        try:
            self.proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(timeout=5)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--target", required=True, help="HOST:PORT to forward to")
    p.add_argument("--rtt-ms", type=float, required=True, help="round trip, ms")
    p.add_argument("--port", type=int, default=0, help="port to listen on (0: any)")
    return asyncio.run(main_async(p.parse_args()))


if __name__ == "__main__":
    sys.exit(main())
