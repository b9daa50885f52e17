"""What the delivery benchmark runs beside the daemon, besides common.py's:
bare curl with the daemon's own request, the daemon with the spool on, the
spool filled through it, and what /proc says about the daemon's CPU."""

import os
import subprocess
import time
import uuid

from common import BenchError, card_event, send_burst, spool_count, wait_until

CURL = "/usr/bin/curl"
CURL_DEADLINE_S = 45            # one bare curl run (its own --max-time is 30 s)
# Variables that would send curl (the daemon's or ours) through a real proxy.
PROXY_VARIABLES = ("http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy",
                   "ALL_PROXY", "no_proxy", "NO_PROXY")
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


class BareCurl:
    """One /usr/bin/curl process per event, with the request the daemon's
    spool sender makes today: same options, headers (the token from a file,
    as the daemon hands it over a descriptor), body shape, time-outs, and an
    environment of PATH only. Without `token` (plain HTTP, where the
    daemon takes none) it sends no Authorization."""

    def __init__(self, workdir, token=None, ca_file=None):
        self.header_file = None
        if token:
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
                "--proto", "=http,https"]
        if self.header_file:
            argv += ["-H", "@" + self.header_file]
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


def daemon_env(url, spool, token_file=None, ca_file=None):
    env = {"NETWORKPROXY_REPORT_URL": url, "NETWORKPROXY_SPOOL": spool,
           "NETWORKPROXY_REPORT_TOKEN_FILE": token_file,
           "NETWORKPROXY_REPORT_CA": ca_file}
    env.update({name: None for name in PROXY_VARIABLES})
    return env


def fill(daemon, spool, seqs, timeout):
    """Writes the event lines of `seqs` to the pty (from a thread: the pty
    takes ~4 KiB at a time) and waits until the spool holds them all."""
    writer = send_burst(daemon, [card_event(s) for s in seqs])
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
