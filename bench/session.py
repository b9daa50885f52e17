"""One benchmark run: the daemon started against the drivers, then every
measurement in turn (events, idle, the S3 layer, leaks), its raw figures
collected in Bench.results."""

import os
import shutil
import sys
import tempfile
import time

import harness
from common import BenchError, Sink
from drivers import VERSION, CurlRef, PtyCurl, start_s3_standin
from event_runs import EventRuns
from probes import (CpuSampler, context_switches, exact_memory,
                    machine_description, ms, percentile, proc_status,
                    process_cpu_ns, rss_by_mapping, thread_cpu_ns)
from processes import poll
from s3_runs import S3Runs


class Bench(EventRuns, S3Runs):
    """The run's state: the processes it started (stopped again by
    run()), the daemon's threads, its event count and memory samples."""

    def __init__(self, args):
        self.args = args
        self.build = os.path.abspath(args.build)
        self.daemon_bin = os.path.join(self.build, "networkproxy")
        harness.BIN = self.daemon_bin
        self.workdir = tempfile.mkdtemp(prefix="np-bench-")
        self.results = {"mode": args.mode, "machine": machine_description()}
        self.cleanups = []
        self.seq = 0
        self.daemon_events = 0
        self.memory = []
        self.memory_marks = [100, 500, 1000, 1500, 2000]

    def next_seq(self):
        self.seq += 1
        return self.seq

    def log(self, text):
        print("[%s] %s" % (time.strftime("%H:%M:%S"), text), flush=True)

    # -- set-up ------------------------------------------------------------------

    def start(self):
        self.sink = Sink()
        self.cleanups.append(self.sink.stop)
        self.s3 = start_s3_standin()
        self.cleanups.append(self.s3.stop)
        self.ref = CurlRef(self.build, self.sink.host)
        self.cleanups.append(self.ref.stop)
        self.pty_ref = PtyCurl(self.build, self.sink.host)
        self.cleanups.append(self.pty_ref.stop)
        self.log("starting the daemon (start-up takes 10 s)")
        self.daemon = harness.Daemon(
            env=harness.standin_env(self.sink, self.s3),
            default_answer=("version=%s\r\n" % VERSION).encode())
        self.cleanups.append(self.daemon.stop)
        if not self.daemon.wait_started(timeout=40):
            raise BenchError("daemon did not finish its handshake")
        if not self.daemon.wait_log("Versions match", timeout=30):
            raise BenchError("first firmware check did not report matching "
                             "versions; log:\n" + self.daemon.log_text())
        self.pid = self.daemon.proc.pid
        self.find_threads()
        self.first_check_cpu_ns = thread_cpu_ns(self.pid, self.update_tid)
        self.sampler = CpuSampler(self.pid, self.update_tid)
        self.sampler.start()
        self.cleanups.append(self.sampler.halt.set)
        self.sample_memory("after start-up")
        self.results["rss_by_mapping"] = rss_by_mapping(self.pid)
        self.log("largest resident shares: " + ", ".join(
            "%s %d KiB" % kv for kv in self.results["rss_by_mapping"]))

    def find_threads(self):
        """Main thread, serial worker (blocked in read) and update worker."""
        def threads():
            tids = sorted(int(t) for t in os.listdir("/proc/%d/task" % self.pid))
            return tids if len(tids) == 3 else None
        tids = poll(threads, 10)
        if not tids:
            raise BenchError("expected 3 daemon threads")
        workers = [t for t in tids if t != self.pid]

        def in_read(tid):
            try:
                with open("/proc/%d/task/%d/syscall" % (self.pid, tid)) as f:
                    return f.read().split()[0] == "0"
            except OSError:
                return False
        serial = [t for t in workers if in_read(t)]
        # Threads are numbered in creation order: serial first, then update.
        self.serial_tid = serial[0] if serial else workers[0]
        self.update_tid = [t for t in workers if t != self.serial_tid][0]

    def sample_memory(self, label):
        status = proc_status(self.pid)
        exact_rss, exact_anon = exact_memory(self.pid)
        entry = {"label": label, "events": self.daemon_events,
                 "t": time.monotonic(),
                 "exact_rss_kib": exact_rss, "exact_anon_kib": exact_anon,
                 "vmrss_kib": status["VmRSS"], "rssanon_kib": status["RssAnon"],
                 "rssfile_kib": status["RssFile"], "vmhwm_kib": status["VmHWM"],
                 "threads": status["Threads"]}
        self.memory.append(entry)
        self.log("memory %s: VmRSS %d KiB, RssAnon %d KiB (exact: Rss %d KiB, "
                 "Anonymous %d KiB)" % (label, entry["vmrss_kib"],
                                        entry["rssanon_kib"], exact_rss, exact_anon))

    def count_event(self):
        self.daemon_events += 1
        while self.memory_marks and self.daemon_events >= self.memory_marks[0]:
            self.sample_memory("after %d events" % self.memory_marks.pop(0))

    # -- 4. idle -----------------------------------------------------------------------

    def idle(self, seconds):
        self.log("idle: %d s without events" % seconds)
        cpu0 = process_cpu_ns(self.pid)
        sw0 = context_switches(self.pid)
        t0 = time.monotonic()
        checks0 = len(self.s3.requests())
        time.sleep(seconds)
        cpu1 = process_cpu_ns(self.pid)
        sw1 = context_switches(self.pid)
        t1 = time.monotonic()
        checks = len(self.s3.requests()) - checks0
        window_checks = [c for c in self.sampler.checks() if t0 <= c["t"] <= t1]
        check_cpu = sum(c["cpu_ns"] for c in window_checks)
        elapsed = t1 - t0
        out = {"seconds": elapsed, "cpu_ms": ms(cpu1 - cpu0),
               "checks_in_window": checks,
               "cpu_ms_without_checks": ms(cpu1 - cpu0 - check_cpu),
               "cpu_percent": 100.0 * (cpu1 - cpu0) / 1e9 / elapsed,
               "wakeups_per_s": (sw1 - sw0) / elapsed}
        self.results["idle"] = out
        self.log("idle: %.2f ms CPU in %.0f s (%d checks), %.2f wake-ups/s"
                 % (out["cpu_ms"], elapsed, checks, out["wakeups_per_s"]))

    def check_costs(self):
        clusters = self.sampler.checks()
        out = {"first_check_cpu_ms": ms(self.first_check_cpu_ns),
               "checks": [ms(c["cpu_ns"]) for c in clusters],
               "times": [c["t"] for c in clusters]}
        if clusters:
            values = [c["cpu_ns"] for c in clusters]
            out["p50_ms"] = ms(percentile(values, 50))
            out["max_ms"] = ms(max(values))
        self.results["check_cpu"] = out
        self.log("daemon CPU per firmware check: first %.2f ms, later %s ms"
                 % (out["first_check_cpu_ms"],
                    ", ".join("%.2f" % c for c in out["checks"]) or "none seen"))

    # -- run ---------------------------------------------------------------------------

    def run(self):
        a = self.args
        try:
            self.start()
            self.latency(a.rounds)
            self.throughput(a.events, 40)
            rest = max(a.min_events_100, a.total_events - self.daemon_events)
            self.throughput(rest, 100)
            if self.memory[-1]["events"] != self.daemon_events:
                self.sample_memory("after %d events" % self.daemon_events)
            self.idle(a.idle)
            self.sample_memory("after idle")
            self.sampler.halt.set()
            self.sampler.join(timeout=5)
            self.check_costs()
            for before, after in zip(self.memory, self.memory[1:]):
                total, at_checks = self.sampler.anon_growth(before["t"], after["t"])
                after["anon_growth_kib"] = total
                after["anon_growth_at_checks_kib"] = at_checks
            self.results["memory"] = self.memory
            # Every change of RssAnon the sampler saw, relative to the start.
            t_start = self.memory[0]["t"]
            self.results["anon_steps"] = [
                (round(tb - t_start, 2), b) for (_, a), (tb, b)
                in zip(self.sampler.anon, self.sampler.anon[1:]) if b != a]
            self.results["check_times"] = [
                round(t - t_start, 2) for t in self.results["check_cpu"]["times"]]
            self.daemon.stop()
            self.fetch_loop(100)
            if a.valgrind:
                self.results["valgrind"] = {
                    "s3_fetch_loop": self.valgrind_fetch_loop(),
                    "daemon": self.valgrind_daemon()}
            self.results["machine"]["load_end"] = os.getloadavg()
        finally:
            for cleanup in reversed(self.cleanups):
                try:
                    cleanup()
                except Exception as error:  # keep cleaning up
                    print("cleanup: %s" % error, file=sys.stderr)
            if not a.keep:
                shutil.rmtree(self.workdir, ignore_errors=True)
            else:
                print("work files kept in %s" % self.workdir)
        return self.results
