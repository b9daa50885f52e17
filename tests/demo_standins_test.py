"""The demo's whole set-up, without its prompts: simulated controller,
reporting stand-in, S3 stand-in and the real daemon. One event goes out, the
server gets the JSON, and the reply's commands come back on the wire."""

import json
import os
import signal
import socket
import subprocess
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOOLS = os.path.join(HERE, "..", "tools")
PYTHON = "/usr/bin/python3"
BIN = os.environ.get("NETWORKPROXY_BIN", "")
BUCKET = "networkproxy-firmware"
REPLY = {"cards": "AB,CD,EF", "colour": "green", "sequence": "7"}


def wait_until(what, predicate, seconds, alive=None):
    deadline = time.monotonic() + seconds
    while True:
        result = predicate()
        if result:
            return result
        if alive is not None and alive.poll() is not None:
            raise AssertionError("process ended (status %s) while waiting for %s"
                                 % (alive.returncode, what))
        if time.monotonic() > deadline:
            raise AssertionError("gave up after %d s waiting for %s"
                                 % (seconds, what))
        time.sleep(0.1)


def json_lines(path):
    try:
        with open(path, encoding="utf-8") as f:
            return [json.loads(line) for line in f if line.strip()]
    except FileNotFoundError:
        return []


def read_text(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


@unittest.skipUnless(BIN and os.access(BIN, os.X_OK),
                     "NETWORKPROXY_BIN is not set to the daemon binary; "
                     "ctest sets it")
class DemoStandinsTest(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.dir = tmp.name
        self.gateway = os.path.join(self.dir, "gateway")
        os.makedirs(os.path.join(self.dir, "s3", BUCKET))
        os.makedirs(self.gateway)
        with open(os.path.join(self.dir, "s3", BUCKET, "update.txt"), "w") as f:
            f.write("1.0.8\n")

    def start(self, name, argv, **kwargs):
        out = open(os.path.join(self.dir, name + ".out"), "wb")
        self.addCleanup(out.close)
        kwargs.setdefault("stdin", subprocess.DEVNULL)
        proc = subprocess.Popen(argv, stdout=out, stderr=subprocess.STDOUT,
                                start_new_session=True, **kwargs)
        self.addCleanup(self.stop, proc)
        return proc

    @staticmethod
    def stop(proc):
        if proc.poll() is None:
            try:
                os.killpg(proc.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait(10)
        if proc.stdin:
            proc.stdin.close()

    def port_of(self, name, proc):
        path = os.path.join(self.dir, name + ".port")
        wait_until(name + " port", lambda: read_text(path).strip(), 15, proc)
        return int(read_text(path))

    def daemon_log(self):
        return "".join(read_text(os.path.join(self.gateway, n))
                       for n in sorted(os.listdir(self.gateway))
                       if n.startswith("log_"))

    def test_event_reaches_server_and_reply_commands_reach_controller(self):
        d = self.dir
        s3 = self.start("s3", [
            PYTHON, os.path.join(TOOLS, "s3-standin"), "--root",
            os.path.join(d, "s3"), "--port", "0", "--port-file",
            os.path.join(d, "s3.port"), "--request-log",
            os.path.join(d, "s3-requests.log")])
        report = self.start("report", [
            PYTHON, os.path.join(TOOLS, "report-standin"), "--port", "0",
            "--port-file", os.path.join(d, "report.port"),
            "--request-log", os.path.join(d, "requests.jsonl"),
            "--reply", json.dumps(REPLY)])
        sim_log = os.path.join(d, "controller.jsonl")
        controller = self.start("controller", [
            PYTHON, os.path.join(TOOLS, "controller-sim"), "--version",
            "1.0.8", "--path-file", os.path.join(d, "pty"), "--log", sim_log],
            stdin=subprocess.PIPE)
        pty = wait_until("the simulator's terminal",
                         lambda: read_text(os.path.join(d, "pty")).strip(),
                         15, controller)
        s3_port = self.port_of("s3", s3)
        report_port = self.port_of("report", report)

        env = dict(os.environ,
                   NETWORKPROXY_REPORT_HOST="127.0.0.1:%d" % report_port,
                   AWS_ENDPOINT_URL_S3="http://127.0.0.1:%d" % s3_port)
        env.pop("AWS_ENDPOINT_URL", None)
        daemon = self.start("daemon", [BIN, "-p", pty, "-f", "firmware.hex"],
                            cwd=self.gateway, env=env)

        def answered_twice():
            return sum(1 for e in json_lines(sim_log)
                       if e.get("kind") == "version-answer") >= 2
        wait_until("the daemon's two version queries", answered_twice, 40,
                   daemon)

        controller.stdin.write(b"i:door=0,mac=00:11:22:33:44:55\n")
        controller.stdin.flush()

        requests = wait_until(
            "the report", lambda: json_lines(os.path.join(d, "requests.jsonl")),
            20, daemon)
        request = requests[0]
        self.assertEqual((request["method"], request["path"]),
                         ("POST", "/ping.json"))
        headers = {k.lower(): v for k, v in request["headers"]}
        self.assertEqual(headers.get("content-type"), "application/json")
        self.assertEqual(json.loads(request["body"]),
                         {"door": "t", "mac": socket.gethostname()[:31]})

        def reply_commands():
            rx = [e for e in json_lines(sim_log)
                  if e["dir"] == "rx" and e["kind"] != "version"]
            return rx if len(rx) >= 3 else None
        rx = wait_until("the reply's commands on the wire", reply_commands,
                        20, daemon)
        self.assertEqual([e["raw"] for e in rx],
                         ["s:3AB,CD,EF", "c:green", "f:7"])
        # The sequence follows the colour after a pause, not at once.
        self.assertGreater(rx[2]["t"] - rx[1]["t"], 2.0)
        self.assertEqual(len(requests), 1)

        # Its first firmware check went to the S3 stand-in and found the
        # controller current.
        wait_until("the first firmware check",
                   lambda: "Versions match" in self.daemon_log(), 20, daemon)
        self.assertIn("GET /%s/update.txt 200" % BUCKET,
                      read_text(os.path.join(d, "s3-requests.log")))
        self.assertIsNone(daemon.poll())


if __name__ == "__main__":
    unittest.main()
