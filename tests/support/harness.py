"""Running the real networkproxy daemon in a test.

Daemon       the binary in a fresh temporary working directory, wired to a
             pseudo-terminal pair that stands in for the controller board.
             The test holds the master side; the daemon opens the slave by
             its path (-p). The test also keeps the slave open itself (not
             inherited by the daemon) so the master never reads EIO just
             because no one has the slave open yet, and so the line settings
             can be read back after start-up.
start_daemon a Daemon that reports to a given server, once its workers
             run.

The servers it reports to are standins.ReportServer (in this process)
and the stand-ins of standins.py; workdir.py holds the temporary folders
and the stand-in sudo. Every wait has a deadline; every process started is
stopped by stop() (the context managers call it, also when a test fails).
"""

import os
import select
import socket
import subprocess
import threading
import time

from daemon_log import DaemonLog, matches
from processes import stop_process
from workdir import remove_folder, temp_folder

BIN = os.environ.get("NETWORKPROXY_BIN", "networkproxy")
# The operator's tool: beside the daemon, unless the build names another
# program to run (a cross build runs it under an emulator).
CTL = os.environ.get("NETWORKPROXY_CTL") or os.path.join(
    os.path.dirname(os.path.abspath(BIN)), "networkproxyctl")


def closed_port():
    """A TCP port on 127.0.0.1 that nothing listens on (connections refused)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Daemon(DaemonLog):
    """One networkproxy process with its own working directory and pty.

    args      extra command-line arguments (after "-p <slave>" unless
              port=False, in which case args are the whole command line).
    env       variables added to (value None: removed from) the environment.
              By default the report host and the S3 endpoint point at a
              closed local port, so nothing leaves the machine.
    files     {relative name: bytes or str} written into the working
              directory before start.
    shell     a shell snippet run (via unshare/sh) before exec'ing the daemon;
              when given, the daemon is started as
              sh -c '<shell> && exec "$0" "$@"' <bin> <args...>.
    unshare_uts  run inside a new UTS namespace (so `shell` may set hostname).
    answers   list of bytes sent back, one per "v:\\r" query received; once
              used up, further queries get `default_answer` (None: silence).
    termios_setup  callable(slave_fd) run before start, to preset line
              settings.
    wrapper   argv put in front of the whole command (e.g. setpriv,
              prlimit or valgrind with their options).
    """

    def __init__(self, args=(), env=None, files=None, port=True, shell=None,
                 unshare_uts=False, answers=None, default_answer=None,
                 termios_setup=None, start=True, wrapper=()):
        self.dir = temp_folder("np-test-")
        self.wrapper = list(wrapper)
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
        return self.wrapper + argv

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
        stop_process(self.proc, timeout)
        self.close_master()
        if self.slave is not None:
            os.close(self.slave)
            self.slave = None
        for t in self._threads:
            t.join(timeout=5)
        if self.proc is not None and self.proc.stdout:
            self.proc.stdout.close()
        remove_folder(self.dir)

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
                          if matches(pattern, self._stdout.decode("latin-1"))
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

    def wait_started(self, timeout=30):
        """Wait for both version queries; returns True when they came."""
        self._wait(lambda: sum(1 for _, c in self._commands if c == b"v:\r") >= 2,
                   timeout)
        return sum(1 for c in self.commands() if c == b"v:\r") >= 2

    def wait_ready(self, timeout=40, firmware=False):
        """Wait until the workers run: both version queries went out (and,
        with `firmware`, the version was printed). True when they did."""
        if not self.wait_started(timeout) or (
                firmware and not self.wait_stdout("Firmware", 10)):
            return False
        time.sleep(0.3)  # let the serial worker reach its first read
        return True


def standin_env(report=None, s3=None):
    """The `env` for a Daemon that reports to `report` (anything with a
    .host, e.g. a ReportServer or ReportStandin) and checks for firmware at
    `s3` (anything with a .url, e.g. an S3Standin)."""
    env = {}
    if report is not None:
        env["NETWORKPROXY_REPORT_HOST"] = report.host
    if s3 is not None:
        env["AWS_ENDPOINT_URL_S3"] = s3.url
        env["AWS_ENDPOINT_URL"] = None
    return env


def start_daemon(server=None, started_timeout=40, wait_firmware=False,
                 env=None, files=None):
    """Starts a Daemon whose controller answers the version query and whose
    reports go to `server` (None: nowhere), and waits until its workers run.
    `env` and `files` are added as Daemon takes them. When it does not come
    up, stops it (and `server`) and raises AssertionError."""
    d = Daemon(answers=[b"ok\n", b"version=1.0\n"], files=files,
               env=dict(standin_env(server), **(env or {})))
    if not d.wait_ready(started_timeout, wait_firmware):
        output = d.stdout()
        d.stop()
        if server is not None:
            server.stop()
        raise AssertionError("daemon did not start: %r" % output)
    return d
