"""Event measurements: latency (each event beside the same POST made
without the daemon) and throughput (events as fast as the daemon takes
them, beside the smallest possible gateway)."""

import os
import random
import time

from common import REQUEST_DEADLINE_S, BenchError
from drivers import PAUSE_S, READY_GAP_S, WIRE_BYTES_PER_S, WINDOW, event_line
from probes import ms, percentile, thread_cpu_ns


class EventRuns:
    """Part of Bench: needs its daemon, sink, references and counters."""

    # -- 1. latency ----------------------------------------------------------------

    def send_timed(self, line):
        """Writes `line`, stamping the moment its final LF is written."""
        self.daemon.send_line(line[:-1])
        stamp = time.monotonic_ns()
        self.daemon.send_line(line[-1:])
        return stamp

    def latency(self, rounds, size=40):
        self.log("latency: %d rounds of daemon / bare curl / popen, "
                 "%d-byte lines, interleaved" % (rounds, size))
        # Warm-up, which also gives the exact object the daemon posts.
        last_arrival = 0
        template = None
        # Both line sizes, so that their first-time costs (and first-touch
        # memory) are behind us before anything is measured.
        for warm_size in (100, 100, 100, size, size, size):
            seq = self.next_seq()
            self.send_timed(event_line(seq, warm_size))
            if self.sink.wait(seq) is None:
                raise BenchError("warm-up event %d never reached the server" % seq)
            self.count_event()
            last_arrival = time.monotonic()
            template = (self.sink.bodies[seq], b'"n": "%06d"' % seq)
            time.sleep(READY_GAP_S)
        body, number = template
        if body.count(number) != 1:
            raise BenchError("cannot find the event number in %r" % body)
        self.template = template
        self.results["event_object"] = body.decode("latin-1")

        samples = {"daemon": [], "exec": [], "popen": [], "pty": []}
        runtimes = {"exec": [], "popen": []}
        failures = 0
        last_pty = 0
        for _ in range(rounds):
            kinds = list(samples)
            random.shuffle(kinds)
            for kind in kinds:
                seq = self.next_seq()
                if kind == "daemon":
                    gap = READY_GAP_S - (time.monotonic() - last_arrival)
                    if gap > 0:
                        time.sleep(gap)
                    start = self.send_timed(event_line(seq, size))
                    arrived = self.sink.wait(seq)
                    last_arrival = time.monotonic()
                    if arrived is None:
                        failures += 1
                        continue
                    self.count_event()
                elif kind == "pty":
                    gap = READY_GAP_S - (time.monotonic() - last_pty)
                    if gap > 0:
                        time.sleep(gap)
                    start = self.pty_ref.send_timed(
                        body.replace(number, b'"n": "%06d"' % seq) + b"\n")
                    arrived = self.sink.wait(seq)
                    last_pty = time.monotonic()
                    if arrived is None:
                        failures += 1
                        continue
                else:
                    start, end, status = self.ref.run(
                        kind, body.replace(number, b'"n": "%06d"' % seq))
                    arrived = self.sink.wait(seq)
                    if arrived is None or status != 0:
                        failures += 1
                        continue
                    runtimes[kind].append(end - start)
                samples[kind].append(arrived - start)
        if failures:
            raise BenchError("%d latency requests never arrived" % failures)
        out = {"rounds": rounds, "line_bytes": size}
        for kind, values in samples.items():
            out[kind] = {"p50_ms": ms(percentile(values, 50)),
                         "p99_ms": ms(percentile(values, 99)),
                         "min_ms": ms(min(values)), "n": len(values)}
        for kind, values in runtimes.items():
            out[kind]["run_p50_ms"] = ms(percentile(values, 50))
            out[kind]["run_p99_ms"] = ms(percentile(values, 99))
        out["ratio_p50"] = out["daemon"]["p50_ms"] / out["exec"]["p50_ms"]
        out["ratio_p99"] = out["daemon"]["p99_ms"] / out["exec"]["p99_ms"]
        self.results["latency"] = out
        self.log("latency p50/p99: daemon %.2f/%.2f ms, bare curl %.2f/%.2f ms, "
                 "popen %.2f/%.2f ms, pty + bare curl %.2f/%.2f ms" % (
                     out["daemon"]["p50_ms"], out["daemon"]["p99_ms"],
                     out["exec"]["p50_ms"], out["exec"]["p99_ms"],
                     out["popen"]["p50_ms"], out["popen"]["p99_ms"],
                     out["pty"]["p50_ms"], out["pty"]["p99_ms"]))

    # -- 2. throughput ---------------------------------------------------------------

    def stream(self, write, seqs, make_line, on_arrival=None):
        """Writes the lines of `seqs` as fast as they are taken, keeping at
        most WINDOW of them unanswered. Returns the server stamps of those
        that arrived, in sequence order."""
        sent = done = 0
        stall_deadline = time.monotonic() + REQUEST_DEADLINE_S
        while done < len(seqs):
            while sent < len(seqs) and sent - done < WINDOW:
                write(make_line(seqs[sent]))
                sent += 1
            with self.sink.cond:
                self.sink.cond.wait(timeout=0.5)
            # Counted over all sent so far, so that a line lost or answered
            # out of order cannot be counted twice.
            now_done = len(self.sink.arrived(seqs[:sent]))
            if now_done > done:
                if on_arrival:
                    for _ in range(now_done - done):
                        on_arrival()
                done = now_done
                stall_deadline = time.monotonic() + REQUEST_DEADLINE_S
            elif time.monotonic() > stall_deadline:
                break   # the rest is lost
        with self.sink.cond:
            return [self.sink.got[s][0] for s in seqs if s in self.sink.got]

    def throughput(self, count, size, block=100, ref_block=50):
        """Blocks of `block` daemon events alternate with blocks of
        `ref_block` events through the minimal gateway (pty -> bare curl ->
        the same 100 ms pause), so both see the same machine."""
        self.log("throughput: %d events of %d bytes in blocks of %d, at most %d "
                 "queued, alternating with the minimal gateway"
                 % (count, size, block, WINDOW))
        body, number = self.template
        seqs = []
        spans = {"daemon": [0, 0.0], "ref": [0, 0.0]}   # intervals, seconds

        def add(kind, stamps):
            if len(stamps) > 1:
                spans[kind][0] += len(stamps) - 1
                spans[kind][1] += (stamps[-1] - stamps[0]) / 1e9

        cpu_start = thread_cpu_ns(self.pid, self.serial_tid)
        left = count
        while left > 0:
            n = min(block, left)
            left -= n
            block_seqs = [self.next_seq() for _ in range(n)]
            seqs += block_seqs
            add("daemon", self.stream(self.daemon.send_line, block_seqs,
                                      lambda q: event_line(q, size),
                                      self.count_event))
            ref_seqs = [self.next_seq() for _ in range(ref_block)]
            add("ref", self.stream(
                lambda line: os.write(self.pty_ref.master, line), ref_seqs,
                lambda q: body.replace(number, b'"n": "%06d"' % q) + b"\n"))
        cpu_ns = thread_cpu_ns(self.pid, self.serial_tid) - cpu_start
        wanted = set(seqs)
        with self.sink.cond:
            arrived = [q for q in self.sink.order if q in wanted]
        lost = count - len(set(arrived))
        reordered = sum(1 for a, b in zip(arrived, arrived[1:]) if b < a)
        rate = spans["daemon"][0] / spans["daemon"][1] if spans["daemon"][1] else float("nan")
        ref_rate = spans["ref"][0] / spans["ref"][1] if spans["ref"][1] else float("nan")
        out = {"events": count, "line_bytes": size, "lost": lost,
               "reordered": reordered,
               "duplicates": len(arrived) - len(set(arrived)),
               "rate_per_s": rate, "cycle_ms": 1000.0 / rate,
               "ref_rate_per_s": ref_rate, "ref_cycle_ms": 1000.0 / ref_rate,
               "ref_events": spans["ref"][0],
               "serial_worker_cpu_ms_per_event": ms(cpu_ns) / max(1, len(arrived)),
               "pause_ceiling_per_s": 1 / PAUSE_S,
               "wire_limit_per_s": WIRE_BYTES_PER_S / size}
        self.results.setdefault("throughput", []).append(out)
        self.log("throughput %d-byte: %.3f events/s (cycle %.2f ms), lost %d, "
                 "out of order %d; minimal gateway %.3f events/s (cycle %.2f ms)"
                 % (size, rate, out["cycle_ms"], lost, reordered, ref_rate,
                    out["ref_cycle_ms"]))
