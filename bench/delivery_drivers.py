"""What the delivery benchmark runs beside the daemon: the keep-alive
reporting server (keepalive_sink.py) read back by sequence number, bare curl
with the daemon's own request, the daemon with the spool on, and what /proc
says about it."""

import json
import os
import select
import sqlite3
import subprocess
import threading
import time
import uuid

import harness
from processes import stop_process

HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON = "/usr/bin/python3"
CURL = "/usr/bin/curl"
CURL_DEADLINE_S = 45            # one bare curl run (its own --max-time is 30 s)
START_DEADLINE_S = 40           # daemon start-up: 10 s of designed pauses
# Variables that would send curl (the daemon's or ours) through a real proxy.
PROXY_VARIABLES = ("http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy",
                   "ALL_PROXY", "no_proxy", "NO_PROXY")
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


class BenchError(Exception):
    pass


def event_line(seq):
    return b"i:n=%d,door=1,card=04A2B3C4D5E6F7\n" % seq


class KeepAliveSink:
    """keepalive_sink.py in a process of its own; what it received, by the
    event number in the body: {seq: (server stamp ns, connection number)}."""

    def __init__(self, tls=None, port=0, idle_timeout=None):
        argv = [PYTHON, os.path.join(HERE, "keepalive_sink.py"), "--port", str(port)]
        if idle_timeout is not None:
            argv += ["--idle-timeout", str(idle_timeout)]
        if tls:
            argv += ["--tls-cert", tls.cert_file, "--tls-key", tls.key_file]
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     start_new_session=True)
        ready, _, _ = select.select([self.proc.stdout], [], [], 20)
        line = self.proc.stdout.readline() if ready else b""
        if not line.startswith(b"port "):
            self.stop()
            raise BenchError("keep-alive sink did not start")
        self.port = int(line.split()[1])
        self.host = "127.0.0.1:%d" % self.port
        self.cond = threading.Condition()
        self.got = {}
        self.bodies = {}
        self.order = []
        self.duplicates = 0
        self.thread = threading.Thread(target=self._pump, daemon=True)
        self.thread.start()

    def _pump(self):
        for line in self.proc.stdout:
            stamp, conn, body = line.rstrip(b"\n").split(b"\t", 2)
            try:
                seq = int(json.loads(body)["n"])
            except (ValueError, KeyError, TypeError):
                continue
            with self.cond:
                if seq in self.got:
                    self.duplicates += 1
                else:
                    self.got[seq] = (int(stamp), int(conn))
                    self.bodies[seq] = body
                self.order.append(seq)
                self.cond.notify_all()

    def wait_all(self, seqs, timeout):
        """True when every one of `seqs` arrived within `timeout` seconds."""
        with self.cond:
            return self.cond.wait_for(lambda: all(s in self.got for s in seqs), timeout)

    def arrived(self, seqs):
        with self.cond:
            return [self.got[s] for s in seqs if s in self.got]

    def stop(self):
        try:
            self.proc.stdin.close()
        except OSError:
            pass
        stop_process(self.proc, timeout=5)


def rate(stamps):
    """Requests per second from the first to the last server stamp."""
    stamps = sorted(s for s, _ in stamps)
    if len(stamps) < 2:
        return float("nan")
    return (len(stamps) - 1) / ((stamps[-1] - stamps[0]) / 1e9)


class BareCurl:
    """One /usr/bin/curl process per event, with the request the daemon's
    spool sender makes today: same options, headers (the token from a file,
    as the daemon hands it over a descriptor), body shape, time-outs, and an
    environment of PATH only."""

    def __init__(self, workdir, token, ca_file=None):
        self.header_file = os.path.join(workdir, "bearer-header")
        with open(self.header_file, "w") as f:
            f.write("Authorization: Bearer %s\n" % token)
        self.ca_file = ca_file

    def argv(self, url, seq):
        argv = [CURL, "--silent", "--connect-timeout", "10", "--max-time", "30",
                "-XPOST", url, "-H", "Content-Type: application/json",
                "-H", "Idempotency-Key: %s" % uuid.uuid4(),
                "-H", "X-Event-Received: %s" % time.strftime("%Y-%m-%dT%H:%M:%SZ",
                                                             time.gmtime()),
                "-H", "@" + self.header_file, "--proto", "=http,https"]
        if self.ca_file:
            argv += ["--cacert", self.ca_file]
        body = '{"card": "04A2B3C4D5E6F7","door": "f","n": "%d"}' % seq
        return argv + ["-d", body, "-w", "%{stderr}%{http_code}"]

    def run(self, url, seq):
        """Runs curl for event `seq`; returns the monotonic ns just before
        it was started. Raises BenchError when it fails."""
        argv = self.argv(url, seq)
        start = time.monotonic_ns()
        try:
            run = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True,
                                 env={"PATH": "/usr/bin:/bin"}, timeout=CURL_DEADLINE_S)
        except subprocess.TimeoutExpired:
            raise BenchError("bare curl did not end within %d s" % CURL_DEADLINE_S)
        if run.returncode != 0 or run.stderr != b"200":
            raise BenchError("bare curl failed: exit %d, %r" % (run.returncode, run.stderr))
        return start


def daemon_env(url, spool, token_file, ca_file=None):
    env = {"NETWORKPROXY_REPORT_URL": url, "NETWORKPROXY_SPOOL": spool,
           "NETWORKPROXY_REPORT_TOKEN_FILE": token_file,
           "NETWORKPROXY_REPORT_CA": ca_file}
    env.update({name: None for name in PROXY_VARIABLES})
    return env


def start_daemon(binary, env):
    harness.BIN = binary
    d = harness.Daemon(answers=[b"ok\n", b"version=1.0\n"], env=env)
    if not d.wait_started(START_DEADLINE_S):
        d.stop()
        raise BenchError("daemon did not start: %r" % d.stdout()[-2000:])
    time.sleep(0.3)
    return d


def spool_count(path):
    """Events in the spool, dead letters included (None: unreadable)."""
    try:
        with sqlite3.connect("file:%s?mode=ro" % path, uri=True, timeout=5) as db:
            return db.execute("SELECT count(*) FROM events").fetchone()[0]
    except sqlite3.Error:
        return None


def wait_until(probe, timeout, interval=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = probe()
        if value:
            return value
        time.sleep(interval)
    return None


def fill(daemon, spool, seqs, timeout):
    """Writes the event lines of `seqs` to the pty (from a thread: the pty
    takes ~4 KiB at a time) and waits until the spool holds them all."""
    data = b"".join(event_line(s) for s in seqs)
    writer = threading.Thread(target=daemon.send_line, args=(data,), daemon=True)
    writer.start()
    if not wait_until(lambda: (spool_count(spool) or 0) >= len(seqs), timeout, 0.05):
        raise BenchError("only %s of %d events reached the spool"
                         % (spool_count(spool), len(seqs)))
    writer.join(10)


def cpu_ticks(pid):
    """(utime + stime, cutime + cstime) of `pid` in ms, from /proc/PID/stat."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # After the command: state is field 3; utime..cstime are fields 14..17.
    utime, stime, cutime, cstime = (int(v) for v in fields[11:15])
    to_ms = 1000.0 / CLOCK_TICKS
    return (utime + stime) * to_ms, (cutime + cstime) * to_ms


def memory(pid):
    """VmRSS, RssAnon and VmHWM of `pid` in KiB."""
    figures = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            name, _, value = line.partition(":")
            if name in ("VmRSS", "RssAnon", "RssFile", "VmHWM", "Threads"):
                figures[name] = int(value.split()[0])
    return figures
