#!/usr/bin/python3
"""Benchmark of store and forward (NETWORKPROXY_SPOOL). Measures, asserts
nothing; not part of the test suite.

  ingest   events committed per second while the server is down, for a
           burst of 2,000 event lines written to the pty as fast as the
           daemon takes them (first byte written -> the spool holds all).
  drain    events per second when a backlog of 1,000 meets a server that is
           back (first -> last request at the server), beside back-to-back
           bare fork/exec curl runs (bench/curl_ref) against the same server,
           measured just before and just after.
  memory   the daemon's resident memory with 100,000 events waiting (the
           spool filled beforehand, then 200 more events read, each dropping
           the oldest at the bound) beside the same with an empty spool.

The server is tools/report-standin, started on a port this script chooses,
so that it can be "down" first and come up on the port the daemon was
given. The spool lives in a folder under /tmp (--dir to put
it elsewhere, e.g. on the board's SD card).

    bench/spool_bench.py [--build build-bench] [--no-build] [--dir DIR]
"""

import argparse
import json
import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
sys.path.insert(0, HERE)
sys.dont_write_bytecode = True
import harness  # noqa: E402
from common import (BenchError, build_daemon, Sink, card_event, memory, rate, run_main,  # noqa: E402
                    send_burst, spool_count, start_daemon, wait_until)

INGEST_EVENTS = 2000
DRAIN_EVENTS = 1000
MEMORY_EVENTS = 100000
MEMORY_EXTRA = 200
DEADLINE = 600  # s, any one phase


def spool_daemon(host, spool):
    return start_daemon({"NETWORKPROXY_REPORT_HOST": host, "NETWORKPROXY_SPOOL": spool})


def ingest(workdir):
    spool = os.path.join(workdir, "ingest.db")
    port = harness.closed_port()
    d = spool_daemon("127.0.0.1:%d" % port, spool)
    try:
        lines = [card_event(n) for n in range(INGEST_EVENTS)]
        start = time.monotonic()
        writer = send_burst(d, lines)
        if not wait_until(lambda: (spool_count(spool) or 0) >= INGEST_EVENTS, DEADLINE, 0.01):
            raise BenchError("only %d of %d events committed" % (spool_count(spool), INGEST_EVENTS))
        elapsed = time.monotonic() - start
        writer.join(10)
        return {"events": INGEST_EVENTS, "seconds": elapsed, "per_s": INGEST_EVENTS / elapsed}
    finally:
        d.stop()


def curl_reference(build, host, sink, count):
    """Back-to-back bare curl posts: rate at the sink, like the drain's."""
    ref = subprocess.Popen([os.path.join(build, "bench", "curl_ref"), host],
                           stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    start = len(sink.since(0))
    body = b'{"card": "04A2B3C4D5E6F7","door": "f","n": "0"}'
    ref.stdin.write(b"".join(b"exec " + body + b"\n" for _ in range(count)))
    ref.stdin.close()
    wait_until(lambda: len(sink.since(start)) >= count, DEADLINE, 0.05)
    ref.wait(timeout=30)
    return rate(sink.since(start))


def drain(workdir, build):
    spool = os.path.join(workdir, "drain.db")
    # The reference runs against a sink of its own, before and after, so it
    # never shares the server with the daemon.
    ref_port = harness.closed_port()
    ref_sink = Sink(port=ref_port)
    port = harness.closed_port()
    d = sink = None
    try:
        before = curl_reference(build, "127.0.0.1:%d" % ref_port, ref_sink, 200)
        d = spool_daemon("127.0.0.1:%d" % port, spool)
        send_burst(d, [card_event(n) for n in range(DRAIN_EVENTS)]).join(DEADLINE)
        if not wait_until(lambda: (spool_count(spool) or 0) >= DRAIN_EVENTS, DEADLINE, 0.05):
            raise BenchError("backlog not committed")
        sink = Sink(port=port)  # the server is back; the sender finds it after its back-off
        if not wait_until(lambda: len(sink.since(0)) >= DRAIN_EVENTS and spool_count(spool) == 0,
                          DEADLINE, 0.1):
            raise BenchError("backlog not drained: %d arrived" % len(sink.since(0)))
        drained = sink.since(0)
        after = curl_reference(build, "127.0.0.1:%d" % ref_port, ref_sink, 200)
        daemon_rate = rate(drained)
        with sink.cond:
            ordered = sink.order == list(range(DRAIN_EVENTS))
        return {"events": len(drained), "per_s": daemon_rate, "in_order_once": ordered,
                "curl_before_per_s": before, "curl_after_per_s": after,
                "ratio": daemon_rate / ((before + after) / 2)}
    finally:
        for thing in (d, sink, ref_sink):
            if thing:
                thing.stop()


def fill(path, count):
    """A spool holding `count` waiting events, written in one transaction
    (through the daemon, each would cost an fsync)."""
    with sqlite3.connect(path) as db:
        db.execute("PRAGMA journal_mode = WAL")
        db.execute("CREATE TABLE events (id INTEGER PRIMARY KEY AUTOINCREMENT,"
                   " key TEXT NOT NULL, received_ms INTEGER NOT NULL, payload BLOB NOT NULL)")
        now = int(time.time() * 1000)
        db.executemany("INSERT INTO events (key, received_ms, payload) VALUES (?, ?, ?)",
                       (("%08x-0000-4000-8000-%012x" % (n, n), now,
                         card_event(n)[2:-1]) for n in range(count)))
    db.close()


def resident(workdir, waiting):
    spool = os.path.join(workdir, "memory-%d.db" % waiting)
    if waiting:
        fill(spool, waiting)
    d = spool_daemon("127.0.0.1:%d" % harness.closed_port(), spool)
    try:
        after_start = memory(d.proc.pid)
        lines = [card_event(MEMORY_EVENTS + n) for n in range(MEMORY_EXTRA)]
        send_burst(d, lines).join(DEADLINE)
        if not d.wait_log("i:n=%d" % (MEMORY_EVENTS + MEMORY_EXTRA - 1), DEADLINE):
            raise BenchError("events not read")
        time.sleep(1)
        return {"waiting": spool_count(spool), "after_start_kib": after_start,
                "after_events_kib": memory(d.proc.pid),
                "dropped": d.log_messages().count("Spool full: dropped the oldest event")}
    finally:
        d.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(ROOT, "build-bench"))
    parser.add_argument("--no-build", action="store_true")
    parser.add_argument("--dir", default=None, help="folder for the spools (default: /tmp)")
    args = parser.parse_args()
    if not args.no_build:
        build_daemon(args.build, targets=("networkproxy", "curl_ref"))
    harness.BIN = os.path.join(args.build, "networkproxy")
    workdir = tempfile.mkdtemp(prefix="np-spool-bench-", dir=args.dir)
    try:
        results = {"ingest": ingest(workdir), "drain": drain(workdir, args.build),
                   "memory_empty": resident(workdir, 0),
                   "memory_full": resident(workdir, MEMORY_EVENTS)}
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    print(json.dumps(results, indent=2))
    i, dr = results["ingest"], results["drain"]
    empty, full = results["memory_empty"], results["memory_full"]
    print("ingest: %d events committed in %.2f s: %.0f/s" % (i["events"], i["seconds"], i["per_s"]))
    print("drain: %.1f/s, bare curl %.1f/s before and %.1f/s after: %.3f x; in order, once: %s"
          % (dr["per_s"], dr["curl_before_per_s"], dr["curl_after_per_s"], dr["ratio"],
             dr["in_order_once"]))
    for label, m in (("empty spool", empty), ("100,000 waiting", full)):
        print("memory, %s (%d waiting at the end, %d dropped): VmRSS %d KiB, RssAnon %d KiB"
              % (label, m["waiting"], m["dropped"], m["after_events_kib"]["VmRSS"],
                 m["after_events_kib"]["RssAnon"]))
    print("difference: %+d KiB VmRSS" % (full["after_events_kib"]["VmRSS"]
                                         - empty["after_events_kib"]["VmRSS"]))
    return 0


if __name__ == "__main__":
    run_main(main)
