"""What the benchmark reads about a running process and the machine: the
kernel's memory and CPU figures (/proc, per-process CPU clocks), a sampler
of the update worker's CPU, percentiles, and valgrind's leak summaries."""

import math
import os
import platform
import re
import threading
import time

CLUSTER_GAP_S = 5.0         # update-worker CPU steps closer than this are
                            # one firmware check (checks are 60 s apart)


def percentile(values, p):
    """Nearest-rank percentile of `values` (p in 0..100)."""
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    rank = max(1, math.ceil(p / 100.0 * len(ordered)))
    return ordered[rank - 1]


def ms(ns):
    return ns / 1e6


def proc_status(pid):
    """Selected fields (kB, counts) of /proc/PID/status."""
    fields = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            name, _, value = line.partition(":")
            if name in ("VmRSS", "RssAnon", "RssFile", "VmHWM", "Threads",
                        "voluntary_ctxt_switches",
                        "nonvoluntary_ctxt_switches"):
                fields[name] = int(value.split()[0])
    return fields


def exact_memory(pid):
    """(Rss, Anonymous) in KiB from /proc/PID/smaps_rollup. Unlike the
    counters in /proc/PID/status, which the kernel keeps per CPU and sums
    only roughly (they may lag by many pages), these come from walking the
    page tables, so a few KiB of growth is real growth."""
    values = {}
    with open("/proc/%d/smaps_rollup" % pid) as f:
        for line in f:
            name, _, rest = line.partition(":")
            if name in ("Rss", "Anonymous"):
                values[name] = int(rest.split()[0])
    return values["Rss"], values["Anonymous"]


def rss_by_mapping(pid, top=8):
    """The `top` largest shares of resident memory (KiB) by mapped file
    ("[anon]" for private anonymous memory, heap and stacks included)."""
    totals = {}
    name = None
    with open("/proc/%d/smaps" % pid) as f:
        for line in f:
            first = line.split(None, 1)[0]
            if "-" in first and not first.endswith(":"):
                parts = line.split(None, 5)
                name = parts[5].strip() if len(parts) > 5 else "[anon]"
                if name in ("[heap]", "[stack]") or name.startswith("[anon"):
                    name = "[anon]"
                name = os.path.basename(name) if name.startswith("/") else name
            elif first == "Rss:":
                totals[name] = totals.get(name, 0) + int(line.split()[1])
    return sorted(totals.items(), key=lambda kv: -kv[1])[:top]


def process_cpu_ns(pid):
    """CPU time of the whole process `pid` (all its threads, also ended
    ones), from the kernel's per-process CPU clock, in ns."""
    return time.clock_gettime_ns(((~pid) << 3) | 2)


def thread_cpu_ns(pid, tid):
    with open("/proc/%d/task/%d/schedstat" % (pid, tid)) as f:
        return int(f.read().split()[0])


def context_switches(pid):
    total = 0
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/status" % (pid, tid)) as f:
                for line in f:
                    if "ctxt_switches:" in line:
                        total += int(line.split()[1])
        except OSError:
            pass
    return total


def machine_description():
    info = {"nproc": os.cpu_count(), "kernel": platform.release()}
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    info["cpu"] = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemTotal:"):
                    info["ram_gib"] = round(int(line.split()[1]) / 1048576, 1)
    except OSError:
        pass
    try:
        with open("/etc/debian_version") as f:
            info["debian"] = f.read().strip()
    except OSError:
        pass
    info["load_start"] = os.getloadavg()
    return info


class CpuSampler(threading.Thread):
    """Samples the update worker's own CPU time (ns) every `period` seconds.

    That thread does nothing but firmware checks and sleeps 60 s between
    them, so its CPU time is a staircase with one step per check.
    """

    def __init__(self, pid, tid, period=0.25):
        super().__init__(daemon=True)
        self.pid, self.tid, self.period = pid, tid, period
        self.samples = []   # (monotonic s, cpu ns)
        self.anon = []      # (monotonic s, exact anonymous KiB) of the daemon
        self.halt = threading.Event()

    def run(self):
        while not self.halt.is_set():
            try:
                now = time.monotonic()
                self.samples.append((now, thread_cpu_ns(self.pid, self.tid)))
                self.anon.append((now, exact_memory(self.pid)[1]))
            except OSError:
                return
            self.halt.wait(self.period)

    def anon_growth(self, t0, t1):
        """Anonymous memory growth (KiB, exact) between t0 and t1: (total,
        the part that came within a second or two of a firmware check)."""
        checks = [c["t"] for c in self.checks()]
        total = at_checks = 0
        for (ta, a), (tb, b) in zip(self.anon, self.anon[1:]):
            if tb <= t0 or tb > t1 or b == a:
                continue
            total += b - a
            if any(c - 1.0 <= tb <= c + 2.0 for c in checks):
                at_checks += b - a
        return total, at_checks

    def checks(self):
        """CPU (ns) and time of every whole check seen in the samples."""
        steps = []
        for (t0, c0), (t1, c1) in zip(self.samples, self.samples[1:]):
            if c1 > c0:
                steps.append((t1, c1 - c0))
        clusters = []
        for t, d in steps:
            if clusters and t - clusters[-1]["last"] < CLUSTER_GAP_S:
                clusters[-1]["cpu_ns"] += d
                clusters[-1]["last"] = t
            else:
                clusters.append({"t": t, "last": t, "cpu_ns": d})
        # A check still running when sampling stopped is not whole.
        if clusters and self.samples and \
                self.samples[-1][0] - clusters[-1]["last"] < 1.0:
            clusters.pop()
        return clusters


def leak_summary(text):
    """Byte counts of memcheck's leak summary in `text` (None: not found)."""
    out = {}
    for kind in ("definitely lost", "indirectly lost", "possibly lost",
                 "still reachable"):
        found = re.findall(kind + r": ([\d,]+) bytes in ([\d,]+) blocks", text)
        out[kind.replace(" ", "_")] = (
            int(found[-1][0].replace(",", "")) if found else None)
    if out["definitely_lost"] is None and (
            "All heap blocks were freed" in text or "no leaks are possible" in text):
        out = {k: 0 for k in out}
    return out
