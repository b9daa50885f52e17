"""What every benchmark here shares: the reporting server that stamps each
request (tools/report-standin --stamps in a process of its own), the
daemon started and waited for, the spool's count, /proc figures, rates,
and the way a benchmark script ends."""

import bisect
import json
import os
import select
import sqlite3
import subprocess
import sys
import threading
import time

import harness
from processes import stop_process

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PYTHON = "/usr/bin/python3"
START_DEADLINE_S = 40           # daemon start-up: 10 s of designed pauses
SINK_START_S = 20
REQUEST_DEADLINE_S = 15         # one event or reference request, start to server


class BenchError(Exception):
    pass


def build_daemon(build, source=ROOT, targets=("networkproxy",)):
    """Builds `targets` of the tree at `source` in Release into `build`, tests
    off; returns the daemon's absolute path."""
    subprocess.run(["cmake", "-S", source, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                    "-DNETWORKPROXY_BUILD_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "-j2", "--target", *targets],
                   check=True, stdout=subprocess.DEVNULL)
    return os.path.join(os.path.abspath(build), "networkproxy")


def card_event(seq):
    """A door event line numbered `seq` (n=seq in the body)."""
    return b"i:n=%d,door=1,card=04A2B3C4D5E6F7\n" % seq


def wait_until(probe, timeout, interval=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = probe()
        if value:
            return value
        time.sleep(interval)
    return None


def rate(stamps):
    """Requests per second from the first to the last stamp (ns)."""
    stamps = sorted(stamps)
    if len(stamps) < 2:
        return float("nan")
    return (len(stamps) - 1) / ((stamps[-1] - stamps[0]) / 1e9)


def spool_count(path):
    """Events in the spool, dead letters included (None: unreadable)."""
    try:
        with sqlite3.connect("file:%s?mode=ro" % path, uri=True, timeout=5) as db:
            return db.execute("SELECT count(*) FROM events").fetchone()[0]
    except sqlite3.Error:
        return None


def memory(pid):
    """VmRSS, RssAnon, RssFile, RssShmem, VmHWM (KiB) and Threads of `pid`."""
    figures = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            name, _, value = line.partition(":")
            if name in ("VmRSS", "RssAnon", "RssFile", "RssShmem", "VmHWM", "Threads"):
                figures[name] = int(value.split()[0])
    return figures


def start_daemon(env, binary=None):
    """The daemon (`binary`, or harness's) with `env`, once its workers run."""
    if binary:
        harness.BIN = binary
    d = harness.Daemon(answers=[b"ok\n", b"version=1.0\n"], env=env)
    if not d.wait_started(START_DEADLINE_S):
        d.stop()
        raise BenchError("daemon did not start: %r" % d.stdout()[-2000:])
    time.sleep(0.3)
    return d


def send_burst(d, lines):
    """Writes `lines` from a thread (the pty takes ~4 KiB at a time)."""
    t = threading.Thread(target=d.send_line, args=(b"".join(lines),), daemon=True)
    t.start()
    return t


class Sink:
    """tools/report-standin --stamps in a process of its own, answering "{}"
    (so the daemon never acts on a reply). What arrived, by the event
    number "n" in the body: got {seq: (server stamp ns, connection
    number)}, bodies {seq: body}, order (seqs by their stamps: the server
    prints each once its answer went out, so two threads may print out of
    turn); stamps holds the stamp of every request, whatever its body."""

    def __init__(self, port=0, tls=None, keep_alive=False, idle_timeout=None):
        argv = [PYTHON, os.path.join(ROOT, "tools", "report-standin"), "--stamps",
                "--reply", "{}", "--port", str(port)]
        if keep_alive:
            argv.append("--keep-alive")
        if idle_timeout is not None:
            argv += ["--idle-timeout", str(idle_timeout)]
        if tls:
            argv += ["--tls-cert", tls.cert_file, "--tls-key", tls.key_file]
        self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     start_new_session=True)
        ready, _, _ = select.select([self.proc.stdout], [], [], SINK_START_S)
        line = self.proc.stdout.readline() if ready else b""
        if not line.startswith(b"listening on "):
            self.stop()
            raise BenchError("reporting server did not start")
        self.host = line.split()[-1].decode()
        self.port = int(self.host.rsplit(":", 1)[1])
        self.cond = threading.Condition()
        self.got, self.bodies, self.stamps = {}, {}, []
        self._arrivals = []  # (stamp, seq), sorted
        self.duplicates = self.unparsed = 0
        self.thread = threading.Thread(target=self._pump, daemon=True)
        self.thread.start()

    def _pump(self):
        for line in self.proc.stdout:
            stamp, conn, body = line.rstrip(b"\n").split(b"\t", 2)
            with self.cond:
                self.stamps.append(int(stamp))
                self.cond.notify_all()
            try:
                seq = int(json.loads(body)["n"])
            except (ValueError, KeyError, TypeError):
                with self.cond:
                    self.unparsed += 1
                continue
            with self.cond:
                if seq in self.got:
                    self.duplicates += 1
                else:
                    self.got[seq] = (int(stamp), int(conn))
                    self.bodies[seq] = body
                bisect.insort(self._arrivals, (int(stamp), seq))
                self.cond.notify_all()

    @property
    def order(self):
        return [seq for _, seq in self._arrivals]

    def wait(self, seq, timeout=REQUEST_DEADLINE_S):
        """The server stamp of `seq` once it arrived (None: not in time)."""
        with self.cond:
            self.cond.wait_for(lambda: seq in self.got, timeout=timeout)
            return self.got[seq][0] if seq in self.got else None

    def wait_all(self, seqs, timeout):
        """True when every one of `seqs` arrived within `timeout` seconds."""
        with self.cond:
            return self.cond.wait_for(lambda: all(s in self.got for s in seqs), timeout)

    def arrived(self, seqs):
        """(stamp, connection) of those of `seqs` that arrived."""
        with self.cond:
            return [self.got[s] for s in seqs if s in self.got]

    def since(self, start):
        """The stamps of every request from the start-th on."""
        with self.cond:
            return self.stamps[start:]

    def stop(self):
        stop_process(self.proc, timeout=5)
        if getattr(self, "thread", None):
            self.thread.join(timeout=5)
        self.proc.stdout.close()


def run_main(main):
    """Runs a benchmark's main(): a BenchError or an interrupt ends it with
    one line on standard error (every process it started stopped)."""
    try:
        sys.exit(main())
    except BenchError as error:
        print("bench: %s" % error, file=sys.stderr)
        sys.exit(1)
    except KeyboardInterrupt:
        print("bench: interrupted", file=sys.stderr)
        sys.exit(130)
