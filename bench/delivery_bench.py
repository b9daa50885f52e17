#!/usr/bin/python3
"""Benchmark of delivery with the spool on (NETWORKPROXY_SPOOL), beside bare
curl in the same run. Measures, asserts nothing; not part of the test suite.

Over a slow link: delay_proxy.py on the loopback, a round trip of --rtt-ms
(100: a cellular uplink), HTTPS to tools/report-standin (keeping connections open) with a throwaway
CA, a token file, the daemon's spool on:
  drain    a backlog of --link-events, committed while the link was down
           (nothing listening), then the link comes up: events/s from the
           first to the last request at the server; beside bare curl runs
           (one curl process per event, the daemon's request) back to back
           through the same proxy, just before and just after.
  live     single events with pauses between them: from writing the line's
           LF to the server holding the request; interleaved at random with
           one bare curl run each, timed from just before curl starts.
  idle     the same, with a server that closes a connection idle for 2 s
           and events 2.5-3.5 s apart: what a live event costs when the
           sender's kept connection is gone (door events minutes apart).
On the plain loopback (HTTP, the same settings otherwise, but no token: the
daemon sends one over HTTPS only):
  drain    a backlog of --loopback-events; events/s beside bare curl runs/s
           (against a server of their own, before and after), the daemon's
           CPU (utime + stime from /proc/PID/stat, and its children's) per
           delivered event over the drain, and its resident memory.

Each build given is measured in turn within the same run, phase by phase:
--baseline (today's daemon) first, then --build.

    bench/delivery_bench.py --build DIR [--baseline DIR] [--quick]
"""

import argparse
import json
import os
import random
import shutil
import signal
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
sys.path.insert(0, HERE)
sys.dont_write_bytecode = True
import harness  # noqa: E402
from delay_proxy import DelayProxy  # noqa: E402
from common import (REQUEST_DEADLINE_S, BenchError, build_daemon, Sink, card_event, memory,  # noqa: E402
                    rate, run_main, spool_count, start_daemon, wait_until)
from delivery_drivers import BareCurl, cpu_ticks, daemon_env, fill  # noqa: E402
from probes import machine_description, percentile, rss_by_mapping  # noqa: E402
from table import delivery_table  # noqa: E402
from throwaway_ca import ThrowawayCa  # noqa: E402

TOKEN = "bench-token-0123456789abcdef"
LIVE_GAP_S = (0.3, 1.0)        # pause before each live request, drawn at random
SERVER_IDLE_CLOSE_S = 2.0      # a server that closes idle connections this soon...
IDLE_GAP_S = (2.5, 3.5)        # ...and live requests further apart than that
FILL_DEADLINE_S = 120
DRAIN_DEADLINE_S = 1200        # today's sender: ~50 events/s on the loopback


class Run:
    def __init__(self, args, workdir):
        self.args = args
        self.workdir = workdir
        self.seq = 0
        self.ca = ThrowawayCa(workdir)
        self.token_file = os.path.join(workdir, "token")
        with open(self.token_file, "w") as f:
            f.write(TOKEN + "\n")
        self.curl_https = BareCurl(workdir, TOKEN, self.ca.ca_file)
        # Over plain HTTP the daemon refuses a token, so neither sends one.
        self.curl_http = BareCurl(workdir)

    def log(self, text):
        print("[%s] %s" % (time.strftime("%H:%M:%S"), text), file=sys.stderr, flush=True)

    def seqs(self, count):
        first = self.seq
        self.seq += count
        return list(range(first, first + count))

    def curl_rate(self, curl, url, sink, count):
        seqs = self.seqs(count)
        for s in seqs:
            curl.run(url, s)
        if not sink.wait_all(seqs, REQUEST_DEADLINE_S):
            raise BenchError("bare curl requests missing at the server")
        return rate(s for s, _ in sink.arrived(seqs))

    def drain(self, d, spool, sink, seqs):
        """Waits for the backlog `seqs` at `sink` and an empty spool."""
        if not sink.wait_all(seqs, DRAIN_DEADLINE_S):
            raise BenchError("backlog not drained: %d of %d arrived"
                             % (len(sink.arrived(seqs)), len(seqs)))
        if not wait_until(lambda: spool_count(spool) == 0, 30):
            raise BenchError("spool not empty after the drain: %s" % spool_count(spool))
        with sink.cond:
            order = [s for s in sink.order if s in set(seqs)]
        got = sink.arrived(seqs)
        return {"events": len(got), "per_s": rate(s for s, _ in got),
                "connections": len(set(c for _, c in got)),
                "in_order_once": order == seqs}

    # -- over the slow link --------------------------------------------------------

    def link(self, label, binary):
        a = self.args
        self.log("%s: link, %d ms round trip, HTTPS: drain of %d, %d live rounds"
                 % (label, a.rtt_ms, a.link_events, a.live_rounds))
        out = {"load_start": os.getloadavg()}
        sink = Sink(tls=self.ca, keep_alive=True)
        port = _free_port()
        url = "https://127.0.0.1:%d/ping.json" % port
        spool = os.path.join(self.workdir, "%s-link.db" % label)
        proxy = d = idle_sink = None
        try:
            proxy = DelayProxy(sink.host, a.rtt_ms, port)
            out["curl_before_per_s"] = self.curl_rate(self.curl_https, url, sink, a.link_curl)
            proxy.stop()
            proxy = None
            d = start_daemon(daemon_env(url, spool, self.token_file, self.ca.ca_file), binary)
            out["memory_start_kib"] = memory(d.proc.pid)
            backlog = self.seqs(a.link_events)
            fill(d, spool, backlog, FILL_DEADLINE_S)
            logged = len(d.log_messages())
            proxy = DelayProxy(sink.host, a.rtt_ms, port)  # the link is back
            out["drain"] = self.drain(d, spool, sink, backlog)
            out["body"] = sink.bodies[backlog[0]].decode("latin-1")
            out["curl_after_per_s"] = self.curl_rate(self.curl_https, url, sink, a.link_curl)
            out["live"] = self.live(d, url, sink, a.live_rounds, LIVE_GAP_S)
            # The same link to a server that closes idle connections soon.
            proxy.stop()
            idle_sink = Sink(tls=self.ca, keep_alive=True, idle_timeout=SERVER_IDLE_CLOSE_S)
            proxy = DelayProxy(idle_sink.host, a.rtt_ms, port)
            out["live_idle"] = self.live(d, url, idle_sink, a.idle_rounds, IDLE_GAP_S)
            out["memory_end_kib"] = memory(d.proc.pid)
            out["memory_by_mapping_kib"] = rss_by_mapping(d.proc.pid, top=10)
            # Failed tries once the link was back explain a slow sample.
            out["errors_logged"] = [m for m in d.log_messages()[logged:] if "Error" in m]
        finally:
            for thing in (d, proxy, idle_sink, sink):
                if thing:
                    thing.stop()
        out["load_end"] = os.getloadavg()
        dr = out["drain"]
        self.log("%s: link drain %.2f/s over %d connection(s) (bare curl %.2f/s, %.2f/s); "
                 "live p50/p95 %.0f/%.0f ms (bare curl %.0f/%.0f ms)"
                 % (label, dr["per_s"], dr["connections"], out["curl_before_per_s"],
                    out["curl_after_per_s"], out["live"]["daemon"]["p50_ms"],
                    out["live"]["daemon"]["p95_ms"], out["live"]["curl"]["p50_ms"],
                    out["live"]["curl"]["p95_ms"]))
        self.log("%s: live after an idle close p50/p95 %.0f/%.0f ms (bare curl %.0f/%.0f ms)"
                 % (label, out["live_idle"]["daemon"]["p50_ms"],
                    out["live_idle"]["daemon"]["p95_ms"], out["live_idle"]["curl"]["p50_ms"],
                    out["live_idle"]["curl"]["p95_ms"]))
        return out

    def live(self, d, url, sink, rounds, gap):
        samples = {"daemon": [], "curl": []}
        conns = set()
        for _ in range(rounds):
            kinds = list(samples)
            random.shuffle(kinds)
            for kind in kinds:
                time.sleep(random.uniform(*gap))
                seq = self.seqs(1)[0]
                if kind == "daemon":
                    line = card_event(seq)
                    d.send_line(line[:-1])
                    start = time.monotonic_ns()
                    d.send_line(line[-1:])
                else:
                    start = self.curl_https.run(url, seq)
                if not sink.wait_all([seq], REQUEST_DEADLINE_S):
                    raise BenchError("live %s request %d never arrived" % (kind, seq))
                stamp, conn = sink.arrived([seq])[0]
                samples[kind].append((stamp - start) / 1e6)
                if kind == "daemon":
                    conns.add(conn)
        out = {kind: {"p50_ms": percentile(v, 50), "p95_ms": percentile(v, 95),
                      "min_ms": min(v), "max_ms": max(v), "n": len(v),
                      "samples_ms": [round(x, 1) for x in v]}
               for kind, v in samples.items()}
        out["daemon"]["connections"] = len(conns)
        return out

    # -- on the plain loopback --------------------------------------------------------

    def loopback(self, label, binary):
        a = self.args
        self.log("%s: loopback, HTTP: drain of %d" % (label, a.loopback_events))
        out = {"load_start": os.getloadavg()}
        ref_sink = Sink(keep_alive=True)
        ref_url = "http://%s/ping.json" % ref_sink.host
        port = _free_port()
        url = "http://127.0.0.1:%d/ping.json" % port
        spool = os.path.join(self.workdir, "%s-loopback.db" % label)
        sink = d = None
        try:
            out["curl_before_per_s"] = self.curl_rate(self.curl_http, ref_url, ref_sink,
                                                      a.loopback_curl)
            d = start_daemon(daemon_env(url, spool), binary)
            out["memory_start_kib"] = memory(d.proc.pid)
            backlog = self.seqs(a.loopback_events)
            fill(d, spool, backlog, FILL_DEADLINE_S)
            cpu_before = cpu_ticks(d.proc.pid)
            sink = Sink(port=port, keep_alive=True)  # the server is back
            sink_before = cpu_ticks(sink.proc.pid)[0]
            out["drain"] = self.drain(d, spool, sink, backlog)
            cpu_after = cpu_ticks(d.proc.pid)
            out["cpu_ms"] = cpu_after[0] - cpu_before[0]
            out["children_cpu_ms"] = cpu_after[1] - cpu_before[1]
            # The server's share: on two cores, it and the daemon take turns.
            out["sink_cpu_ms"] = cpu_ticks(sink.proc.pid)[0] - sink_before
            out["memory_end_kib"] = memory(d.proc.pid)
            out["memory_by_mapping_kib"] = rss_by_mapping(d.proc.pid, top=10)
            out["curl_after_per_s"] = self.curl_rate(self.curl_http, ref_url, ref_sink,
                                                     a.loopback_curl)
        finally:
            for thing in (d, sink, ref_sink):
                if thing:
                    thing.stop()
        out["load_end"] = os.getloadavg()
        n = out["drain"]["events"]
        self.log("%s: loopback drain %.1f/s (bare curl %.1f/s, %.1f/s); CPU %.3f ms an "
                 "event (children %.3f ms, server %.3f ms); VmRSS %d KiB" % (
                     label, out["drain"]["per_s"], out["curl_before_per_s"],
                     out["curl_after_per_s"], out["cpu_ms"] / n, out["children_cpu_ms"] / n,
                     out["sink_cpu_ms"] / n, out["memory_end_kib"]["VmRSS"]))
        return out


def _free_port():
    return harness.closed_port()


def build(directory, no_build):
    if not no_build:
        build_daemon(directory)
    binary = os.path.abspath(os.path.join(directory, "networkproxy"))
    if not os.access(binary, os.X_OK):
        raise BenchError("no daemon at %s" % binary)
    return binary


def main():
    p = argparse.ArgumentParser(prog="bench/delivery_bench.py", description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--build", default=os.path.join(ROOT, "build-bench"),
                   help="build directory of the daemon measured (built from this tree "
                   "unless --no-build)")
    p.add_argument("--baseline", help="build directory of today's daemon, measured "
                   "first in the same run (never built here)")
    p.add_argument("--no-build", action="store_true")
    p.add_argument("--quick", action="store_true", help="fewer events and rounds")
    p.add_argument("--rtt-ms", type=float, default=100.0)
    p.add_argument("--phases", default="link,loopback")
    p.add_argument("--idle-rounds", type=int, help="live rounds after an idle close")
    p.add_argument("--json", help="write all figures to this file")
    a = p.parse_args()
    a.link_events, a.link_curl, a.live_rounds, a.idle_rounds = \
        (30, 10, 15, a.idle_rounds or 4) if a.quick else (100, 30, 60, a.idle_rounds or 12)
    a.loopback_events, a.loopback_curl = (1000, 50) if a.quick else (10000, 200)

    def terminate(*_):
        raise KeyboardInterrupt   # so that every process started is stopped
    signal.signal(signal.SIGTERM, terminate)
    builds = []
    if a.baseline:
        builds.append(("today", build(a.baseline, True)))
    builds.append(("new", build(a.build, a.no_build)))
    workdir = tempfile.mkdtemp(prefix="np-delivery-bench-")
    results = {"machine": machine_description(), "rtt_ms": a.rtt_ms,
               "builds": [label for label, _ in builds], "quick": a.quick}
    try:
        run = Run(a, workdir)
        for phase in a.phases.split(","):
            for label, binary in builds:
                results.setdefault(label, {})[phase] = getattr(run, phase)(label, binary)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    results["machine"]["load_end"] = os.getloadavg()
    if a.json:
        with open(a.json, "w") as f:
            json.dump(results, f, indent=1)
    m = results["machine"]
    print("\nMachine: %s CPUs, load average %.2f at start, %.2f at end\n"
          % (m.get("nproc"), m["load_start"][0], m["load_end"][0]))
    print(delivery_table(results))
    return 0


if __name__ == "__main__":
    run_main(main)
