"""Test harness for running the real networkproxy daemon.

Daemon       the binary in a fresh temporary working directory, wired to a
             pseudo-terminal pair that stands in for the controller board.
             The test holds the master side; the daemon opens the slave by
             its path (-p). The test also keeps the slave open itself (not
             inherited by the daemon) so the master never reads EIO just
             because no one has the slave open yet, and so the line settings
             can be read back after start-up.
ReportServer a local HTTP server on 127.0.0.1 that records every request and
             answers with scripted replies.
make_fake_sudo  a directory holding a stand-in `sudo` that just runs its
             arguments, to put first on PATH.

Every wait has a deadline; every process started is stopped by stop() (the
context managers call it, also when a test fails).
"""

import http.server
import os
import re
import select
import shutil
import signal
import socket
import stat
import subprocess
import tempfile
import threading
import time

BIN = os.environ.get("NETWORKPROXY_BIN", "networkproxy")

# A time stamp, a TAB and the message: one line of the daily log.
LOG_LINE = re.compile(r"^(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})\t(.*)$")


def closed_port():
    """A TCP port on 127.0.0.1 that nothing listens on (connections refused)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def make_fake_sudo(directory):
    """Write an executable `sudo` into `directory` that execs its arguments.

    Returns `directory`, ready to be put first on PATH.
    """
    path = os.path.join(directory, "sudo")
    with open(path, "w") as f:
        f.write('#!/bin/sh\nexec "$@"\n')
    os.chmod(path, 0o755)
    return directory


def _matches(pattern, text):
    if isinstance(pattern, re.Pattern):
        return pattern.search(text) is not None
    return pattern in text


class Daemon:
    """One networkproxy process with its own working directory and pty.

    args      extra command-line arguments (after "-p <slave>" unless
              port=False, in which case args are the whole command line).
    env       variables added to (value None: removed from) the environment.
              By default the report host and the S3 endpoint point at a
              closed local port, so nothing leaves the machine.
    files     {relative name: bytes or str} written into the working
              directory before start.
    prefix    argv prefix, e.g. ["unshare", "--uts", "sh", "-c", ...] users
              should prefer `shell` below.
    shell     a shell snippet run (via unshare/sh) before exec'ing the daemon;
              when given, the daemon is started as
              sh -c '<shell> && exec "$0" "$@"' <bin> <args...>.
    unshare_uts  run inside a new UTS namespace (so `shell` may set hostname).
    answers   list of bytes sent back, one per "v:\\r" query received; once
              used up, further queries get `default_answer` (None: silence).
    termios_setup  callable(slave_fd) run before start, to preset line
              settings.
    """

    def __init__(self, args=(), env=None, files=None, port=True, shell=None,
                 unshare_uts=False, answers=None, default_answer=None,
                 termios_setup=None, start=True):
        self.dir = tempfile.mkdtemp(prefix="np-test-")
        self.args = list(args)
        self.port = port
        self.shell = shell
        self.unshare_uts = unshare_uts
        self.answers = list(answers or [])
        self.default_answer = default_answer
        self.proc = None
        self.start_time = None
        self.master = None
        self.slave = None
        self.slave_path = None
        self._lock = threading.Condition()
        self._stdout = b""
        self._rx = b""                  # every byte the daemon wrote to the port
        self._commands = []             # (monotonic time, bytes incl. CR)
        self._partial = b""
        self._stop_reader = threading.Event()
        self._threads = []
        for name, content in (files or {}).items():
            mode = "wb" if isinstance(content, bytes) else "w"
            with open(os.path.join(self.dir, name), mode) as f:
                f.write(content)
        self.env = dict(os.environ)
        dead = "127.0.0.1:%d" % closed_port()
        self.env["NETWORKPROXY_REPORT_HOST"] = dead
        self.env["AWS_ENDPOINT_URL_S3"] = "http://" + dead
        self.env["AWS_ENDPOINT_URL"] = "http://" + dead
        self.env["TZ"] = self.env.get("TZ", "UTC")
        for k, v in (env or {}).items():
            if v is None:
                self.env.pop(k, None)
            else:
                self.env[k] = v
        if port:
            self.master, self.slave = os.openpty()
            os.set_inheritable(self.master, False)
            os.set_inheritable(self.slave, False)
            self.slave_path = os.ttyname(self.slave)
            if termios_setup:
                termios_setup(self.slave)
        if start:
            self.start()

    # -- life cycle ---------------------------------------------------------

    def command(self):
        argv = [BIN]
        if self.port:
            argv += ["-p", self.slave_path]
        argv += self.args
        if self.shell:
            argv = ["/bin/sh", "-c", self.shell + ' && exec "$0" "$@"'] + argv
        if self.unshare_uts:
            argv = ["unshare", "--uts"] + argv
        return argv

    def start(self):
        self.start_time = time.monotonic()
        self.proc = subprocess.Popen(
            self.command(), cwd=self.dir, env=self.env,
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT, start_new_session=True)
        t = threading.Thread(target=self._pump_stdout, daemon=True)
        t.start()
        self._threads.append(t)
        if self.master is not None:
            t = threading.Thread(target=self._pump_port, daemon=True)
            t.start()
            self._threads.append(t)

    def stop(self, timeout=10):
        """Kill the daemon's process group (SIGTERM, then SIGKILL) and clean up."""
        if self.proc is not None:
            for sig in (signal.SIGTERM, signal.SIGKILL):
                try:
                    os.killpg(self.proc.pid, sig)
                except (ProcessLookupError, PermissionError):
                    pass
                try:
                    self.proc.wait(timeout=timeout)
                    break
                except subprocess.TimeoutExpired:
                    continue
            # Children left in the group (curl, a script) go too.
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass
        self.close_master()
        if self.slave is not None:
            os.close(self.slave)
            self.slave = None
        for t in self._threads:
            t.join(timeout=5)
        if self.proc is not None and self.proc.stdout:
            self.proc.stdout.close()
        if not os.environ.get("NETWORKPROXY_KEEP_TEST_DIRS"):
            shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def wait_exit(self, timeout):
        """Wait for the daemon to end; returns its exit status (None on timeout)."""
        try:
            status = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None
        # Let the reader collect the last of standard output.
        if self._threads:
            self._threads[0].join(timeout=5)
        return status

    def alive(self):
        return self.proc.poll() is None

    # -- standard output ----------------------------------------------------

    def _pump_stdout(self):
        out = self.proc.stdout
        while True:
            chunk = os.read(out.fileno(), 4096)
            if not chunk:
                break
            with self._lock:
                self._stdout += chunk
                self._lock.notify_all()

    def stdout(self):
        with self._lock:
            return self._stdout

    def wait_stdout(self, pattern, timeout):
        """Wait until stdout (decoded) matches `pattern`; returns it or None."""
        return self._wait(lambda: self._stdout.decode("latin-1")
                          if _matches(pattern, self._stdout.decode("latin-1"))
                          else None, timeout)

    def _wait(self, probe, timeout):
        deadline = time.monotonic() + timeout
        with self._lock:
            while True:
                r = probe()
                if r:
                    return r
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self._lock.wait(min(left, 0.2))

    # -- serial port ----------------------------------------------------------

    def _pump_port(self):
        fd = self.master
        while not self._stop_reader.is_set():
            r, _, _ = select.select([fd], [], [], 0.1)
            if not r:
                continue
            try:
                chunk = os.read(fd, 4096)
            except OSError:
                break
            if not chunk:
                break
            replies = []
            with self._lock:
                self._rx += chunk
                data = self._partial + chunk
                *done, self._partial = data.split(b"\r")
                now = time.monotonic()
                for c in done:
                    self._commands.append((now, c + b"\r"))
                    if c == b"v:":
                        if self.answers:
                            replies.append(self.answers.pop(0))
                        elif self.default_answer is not None:
                            replies.append(self.default_answer)
                self._lock.notify_all()
            for reply in replies:
                if reply:
                    os.write(fd, reply)

    def close_master(self):
        """Hang up the line: the daemon's port reads then end without a line."""
        if self.master is None:
            return
        self._stop_reader.set()
        for t in self._threads[1:]:
            t.join(timeout=5)
        os.close(self.master)
        self.master = None

    def send_line(self, data):
        """Send bytes to the daemon as the controller (add the LF yourself)."""
        if isinstance(data, str):
            data = data.encode()
        view = memoryview(data)
        while view:
            n = os.write(self.master, view)
            view = view[n:]

    def commands(self):
        """Commands received so far, each as bytes ending in CR."""
        with self._lock:
            return [c for _, c in self._commands]

    def timed_commands(self):
        with self._lock:
            return list(self._commands)

    def received(self):
        """Every byte the daemon has written to the port."""
        with self._lock:
            return self._rx

    def wait_commands(self, count, timeout, start=0):
        """Wait until at least `count` commands arrived after index `start`.

        Returns the commands from `start` on (possibly fewer on timeout).
        """
        self._wait(lambda: len(self._commands) - start >= count, timeout)
        return self.commands()[start:]

    def read_commands(self, timeout):
        """Wait `timeout` seconds, then return everything received as commands."""
        time.sleep(timeout)
        return self.commands()

    def answer_version(self, version):
        """Answer every further version query with version=<version>."""
        with self._lock:
            self.answers = []
            self.default_answer = ("version=%s\r\n" % version).encode()

    # -- log ------------------------------------------------------------------

    def log_files(self):
        return sorted(f for f in os.listdir(self.dir)
                      if f.startswith("log_") and f.endswith(".txt"))

    def log_text(self):
        text = b""
        for name in self.log_files():
            with open(os.path.join(self.dir, name), "rb") as f:
                text += f.read()
        return text.decode("latin-1")

    def log_lines(self):
        """Raw lines of all log files, without their LF."""
        return self.log_text().split("\n")[:-1]

    def log_messages(self):
        """Message part of every time-stamped log line."""
        out = []
        for line in self.log_lines():
            m = LOG_LINE.match(line)
            if m:
                out.append(m.group(2))
        return out

    def log_entries(self):
        """(time stamp, message) of every time-stamped log line."""
        return [LOG_LINE.match(l).groups() for l in self.log_lines()
                if LOG_LINE.match(l)]

    def wait_log(self, pattern, timeout, count=1):
        """Wait until `count` log messages match `pattern` (substring or
        compiled regex). Returns the list of matching messages, or None."""
        deadline = time.monotonic() + timeout
        while True:
            hits = [m for m in self.log_messages() if _matches(pattern, m)]
            if len(hits) >= count:
                return hits
            if time.monotonic() >= deadline:
                return None
            time.sleep(0.1)

    def wait_started(self, timeout=30):
        """Wait for both version queries; returns True when they came."""
        self._wait(lambda: sum(1 for _, c in self._commands if c == b"v:\r") >= 2,
                   timeout)
        return sum(1 for c in self.commands() if c == b"v:\r") >= 2

    def path(self, name):
        return os.path.join(self.dir, name)


def start_reporting_daemon(server, started_timeout=40, wait_firmware=False):
    """Starts a Daemon whose controller answers the version query and whose
    reports go to `server`, and waits until its workers run. When it does
    not come up, stops both and raises AssertionError."""
    d = Daemon(answers=[b"ok\n", b"version=1.0\n"],
               env={"NETWORKPROXY_REPORT_HOST": server.host})
    if not d.wait_started(started_timeout) or (
            wait_firmware and not d.wait_stdout("Firmware", 10)):
        output = d.stdout()
        d.stop()
        server.stop()
        raise AssertionError("daemon did not start: %r" % output)
    time.sleep(0.3)  # let the serial worker reach its first read
    return d


class ReportServer:
    """HTTP server on 127.0.0.1 that records requests and scripts replies.

    Each reply is a dict with optional keys:
      body    bytes/str sent as the response body (default b"{}")
      status  HTTP status (default 200)
      mode    "normal", "hang" (never answers until stop()), "delay"
      delay   seconds to wait before answering in mode "delay"
    replies queued with push() are used one per request; after that the
    default reply applies (settable with set_default()).
    """

    def __init__(self, port=0, default=None):
        self.requests = []
        self._queue = []
        self._default = dict(default or {"body": b"{}"})
        self._cond = threading.Condition()
        self._release = threading.Event()
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *a):
                pass

            def _handle(self):
                length = int(self.headers.get("Content-Length") or 0)
                body = self.rfile.read(length) if length else b""
                req = {"method": self.command, "path": self.path,
                       "headers": dict(self.headers), "body": body,
                       "time": time.monotonic()}
                with outer._cond:
                    outer.requests.append(req)
                    reply = outer._queue.pop(0) if outer._queue else outer._default
                    outer._cond.notify_all()
                mode = reply.get("mode", "normal")
                if mode == "hang":
                    outer._release.wait(timeout=120)
                    return
                if mode == "delay":
                    outer._release.wait(timeout=reply.get("delay", 1))
                data = reply.get("body", b"{}")
                if isinstance(data, str):
                    data = data.encode()
                self.send_response(reply.get("status", 200))
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(data)))
                self.send_header("Connection", "close")
                self.end_headers()
                self.wfile.write(data)

            do_POST = _handle
            do_GET = _handle
            do_PUT = _handle

        class Server(http.server.ThreadingHTTPServer):
            daemon_threads = True
            allow_reuse_address = True

        self._server = Server(("127.0.0.1", port), Handler)
        self.port = self._server.server_address[1]
        self.host = "127.0.0.1:%d" % self.port
        self._thread = threading.Thread(target=self._server.serve_forever,
                                        kwargs={"poll_interval": 0.1},
                                        daemon=True)
        self._thread.start()

    def push(self, *replies):
        with self._cond:
            self._queue.extend(replies)

    def set_default(self, reply):
        with self._cond:
            self._default = dict(reply)

    def wait_requests(self, count, timeout):
        """Wait until `count` requests were recorded; returns all of them."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while len(self.requests) < count:
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                self._cond.wait(min(left, 0.2))
            return list(self.requests)

    def bodies(self):
        with self._cond:
            return [r["body"] for r in self.requests]

    def stop(self):
        self._release.set()
        self._server.shutdown()
        self._server.server_close()
        self._thread.join(timeout=5)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
