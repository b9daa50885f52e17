"""The stand-ins from tools/ run beside the daemon under test.

ReportServer   tools/report-standin's server (tools/report_standin.py) run
               in this process: replies scripted one by one, requests read
               back as they come.
ReportStandin  tools/report-standin as a process of its own: a reporting
               server on 127.0.0.1 that logs every request; its reply and
               fault mode can change while it runs.
S3Standin      tools/s3-standin over a fresh bucket folder; checks every
               request's signature and logs it.
ControllerSim  tools/controller-sim: a controller board on a pseudo-terminal
               of its own, logging what it receives and sends.

Each tool process runs in a session of its own with its files (and its
output, in <tool>.out) in a temporary folder; the constructor returns once
the tool has written its port or terminal file, and stop() ends it and
removes the folder.
"""

import json
import os
import subprocess
import sys
import urllib.parse

from processes import poll, stop_process, wait_for_file
from workdir import remove_folder, temp_folder

HERE = os.path.dirname(os.path.abspath(__file__))
TOOLS = os.path.normpath(os.path.join(HERE, os.pardir, os.pardir, "tools"))
PYTHON = "/usr/bin/python3"
BUCKET = "networkproxy-firmware"   # the build's default bucket
START_TIMEOUT = 20                 # s

if TOOLS not in sys.path:
    sys.path.append(TOOLS)
from report_standin import ReportServer  # noqa: E402,F401  (tools/report-standin's server)


def json_lines(path):
    """The whole JSON lines of `path` (none while it does not exist)."""
    try:
        with open(path, encoding="utf-8") as f:
            return [json.loads(l) for l in f if l.endswith("\n") and l.strip()]
    except FileNotFoundError:
        return []


class ToolProcess:
    """One program from tools/ run by /usr/bin/python3 with its files in
    self.dir. Subclasses lay out their files, then call _start()."""

    def __init__(self, prefix):
        self.dir = temp_folder(prefix)
        self.proc = None
        self.out_path = None

    def path(self, name):
        return os.path.join(self.dir, name)

    def _start(self, tool, args, ready_file, stdin=subprocess.DEVNULL,
               timeout=START_TIMEOUT):
        """Starts `tool` and waits until it wrote `ready_file` (a name in
        self.dir); returns that file's content."""
        self.out_path = self.path(tool + ".out")
        with open(self.out_path, "wb") as out:
            self.proc = subprocess.Popen(
                [PYTHON, os.path.join(TOOLS, tool)] + list(args),
                stdin=stdin, stdout=out, stderr=subprocess.STDOUT,
                start_new_session=True)
        try:
            return wait_for_file(self.path(ready_file), timeout, self.proc,
                                 "%s's %s file" % (tool, ready_file))
        except AssertionError as error:
            output = self.output()
            self.stop()
            raise AssertionError("%s; it printed %r" % (error, output))

    def output(self):
        """What the tool printed so far (standard output and error)."""
        if self.out_path is None:
            return ""
        with open(self.out_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def stop(self):
        """Ends the tool, removes its folder; returns its exit status."""
        status = stop_process(self.proc)
        if self.proc is not None and self.proc.stdin:
            self.proc.stdin.close()
        remove_folder(self.dir)
        return status


class ReportStandin(ToolProcess):
    """tools/report-standin answering `reply` (a dict or a JSON text; None:
    the tool's default) in the mode set with set_mode(); `port` 0 takes any
    free one. With `tls` (a ThrowawayCa) it serves HTTPS with that CA's
    server certificate."""

    def __init__(self, reply=None, port=0, tls=None):
        super().__init__("np-report-")
        self.mode_file = self.path("mode")
        self.request_log = self.path("requests.jsonl")
        self.set_mode("normal")
        args = ["--port", str(port), "--port-file", self.path("port"),
                "--request-log", self.request_log,
                "--mode-file", self.mode_file]
        if reply is not None:
            args += ["--reply", reply if isinstance(reply, str)
                     else json.dumps(reply)]
        if tls is not None:
            args += ["--tls-cert", tls.cert_file, "--tls-key", tls.key_file]
        self.port = int(self._start("report-standin", args, "port"))
        self.host = "127.0.0.1:%d" % self.port

    def set_mode(self, mode):
        with open(self.mode_file + ".tmp", "w") as f:
            f.write(mode)
        os.replace(self.mode_file + ".tmp", self.mode_file)

    def requests(self):
        """Every request so far: method, path, headers (pairs), body."""
        return json_lines(self.request_log)

    def wait_requests(self, count, timeout):
        """Waits until `count` requests came; returns all of them."""
        poll(lambda: len(self.requests()) >= count, timeout)
        return self.requests()


class S3Standin(ToolProcess):
    """tools/s3-standin over a fresh root holding `bucket` with `objects`
    ({key: bytes}), `faults` ({key: fault entry}), the key pair it
    accepts (or `key_file`, a credentials file holding it) and the region it
    expects in signatures (None: the tool's defaults)."""

    def __init__(self, objects=None, faults=None, access_key=None,
                 secret_key=None, bucket=BUCKET, timeout=30, region=None,
                 key_file=None):
        super().__init__("np-s3-")
        self.bucket = bucket
        self.root = self.path("root")
        os.makedirs(os.path.join(self.root, bucket))
        for key, data in (objects or {}).items():
            self.put(key, data)
        if faults:
            self.set_faults(faults)
        self.request_log = self.path("requests.log")
        args = ["--root", self.root, "--port", "0",
                "--port-file", self.path("port"),
                "--request-log", self.request_log]
        if access_key is not None:
            args += ["--access-key", access_key]
        if secret_key is not None:
            args += ["--secret-key", secret_key]
        if key_file is not None:
            args += ["--key-file", key_file]
        if region is not None:
            args += ["--region", region]
        self.port = int(self._start("s3-standin", args, "port", timeout=timeout))
        self.url = "http://127.0.0.1:%d" % self.port

    def put(self, key, data):
        path = os.path.join(self.root, self.bucket, key)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)

    def set_faults(self, faults):
        """Replaces the fault table: {key in the bucket: fault entry}."""
        path = os.path.join(self.root, ".faults.json")
        with open(path + ".tmp", "w") as f:
            json.dump({"%s/%s" % (self.bucket, k): v for k, v in faults.items()}, f)
        os.replace(path + ".tmp", path)

    def requests(self):
        """[(method, decoded key (path past the bucket), status)] in order."""
        try:
            with open(self.request_log) as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return []
        out = []
        prefix = "/%s/" % self.bucket
        for line in lines:
            method, path, status = line.split(" ")
            path = urllib.parse.unquote(path)
            if path.startswith(prefix):
                path = path[len(prefix):]
            out.append((method, path, int(status)))
        return out


class ControllerSim(ToolProcess):
    """tools/controller-sim with `args`; self.tty is its terminal's path."""

    def __init__(self, *args, stdin=subprocess.DEVNULL):
        super().__init__("np-sim-")
        self.log_path = self.path("controller.jsonl")
        self.tty = self._start(
            "controller-sim", ["--path-file", self.path("pty"),
                               "--log", self.log_path] + list(args),
            "pty", stdin=stdin)

    def log(self):
        """What it logged: one dict a command received or line sent."""
        return json_lines(self.log_path)
