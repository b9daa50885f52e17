"""A reporting server that answers badly: a 5 MB body, bytes that are not
HTTP, a reply cut off mid-way. Each event is posted once, on its own, the
daemon keeps running, and the next event after the fault is reported and
acted on as usual. (A server that is down, never answers or answers 500 is
covered by the reporting tests.)"""

import json
import os
import re
import signal
import subprocess
import tempfile
import time
import unittest

from harness import start_reporting_daemon

STANDIN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..",
                       "tools", "report-standin")
FAILED = re.compile(r"^Error: Report failed - curl exit status \d+$")
REPLY = {"cards": "AB,CD,EF", "colour": "green", "sequence": "1"}
REPLY_COMMANDS = [b"s:3AB,CD,EF\r", b"c:green\r", b"f:1\r"]


class Standin:
    """tools/report-standin on 127.0.0.1, its mode switched through a file."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="np-standin-")
        self.mode_file = os.path.join(self.dir, "mode")
        self.request_log = os.path.join(self.dir, "requests.jsonl")
        port_file = os.path.join(self.dir, "port")
        self.set_mode("normal")
        self.proc = subprocess.Popen(
            ["/usr/bin/python3", STANDIN, "--port", "0", "--port-file", port_file,
             "--request-log", self.request_log, "--mode-file", self.mode_file,
             "--reply", json.dumps(REPLY)],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, start_new_session=True)
        deadline = time.monotonic() + 20
        while not os.path.exists(port_file):
            if time.monotonic() > deadline or self.proc.poll() is not None:
                self.stop()
                raise AssertionError("report stand-in did not start")
            time.sleep(0.05)
        with open(port_file) as f:
            self.host = "127.0.0.1:%d" % int(f.read())

    def set_mode(self, mode):
        with open(self.mode_file + ".tmp", "w") as f:
            f.write(mode)
        os.replace(self.mode_file + ".tmp", self.mode_file)

    def requests(self):
        try:
            with open(self.request_log, encoding="utf-8") as f:
                return [json.loads(l) for l in f if l.endswith("\n")]
        except FileNotFoundError:
            return []

    def wait_requests(self, count, timeout):
        deadline = time.monotonic() + timeout
        while len(self.requests()) < count and time.monotonic() < deadline:
            time.sleep(0.05)
        return self.requests()

    def stop(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait(timeout=10)
        for name in os.listdir(self.dir):
            os.unlink(os.path.join(self.dir, name))
        os.rmdir(self.dir)


class BadRepliesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Standin()
        cls.d = start_reporting_daemon(cls.server)

    @classmethod
    def tearDownClass(cls):
        cls.d.stop()
        cls.server.stop()

    def failures(self):
        return [m for m in self.d.log_messages() if FAILED.match(m)]

    def event(self, mode, name):
        """Post one event with the server in `mode`; returns (commands sent,
        new failure log lines) once the exchange is over."""
        d = self.d
        before_req = len(self.server.requests())
        before_cmd = len(d.commands())
        before_fail = len(self.failures())
        self.server.set_mode(mode)
        d.send_line(("i:fault=%s\n" % name).encode())
        reqs = self.server.wait_requests(before_req + 1, 20)[before_req:]
        self.assertEqual([json.loads(r["body"]) for r in reqs], [{"fault": name}],
                         "one request carrying exactly this event")
        # The exchange is over when the failure is logged or the sequence
        # command (3 s after the colour) went out.
        deadline = time.monotonic() + 45
        while time.monotonic() < deadline:
            if len(self.failures()) > before_fail:
                break
            if any(c.startswith(b"f:") for c in d.commands()[before_cmd:]):
                break
            time.sleep(0.1)
        time.sleep(0.5)  # a stray command or log line would show by now
        self.assertTrue(d.alive(), "daemon died: %r" % d.stdout()[-500:])
        return d.commands()[before_cmd:], self.failures()[before_fail:]

    def next_event_is_reported(self):
        """The fault has cleared: the next event is posted and acted on."""
        cmds, failed = self.event("normal", "cleared")
        self.assertEqual(cmds, REPLY_COMMANDS)
        self.assertEqual(failed, [])

    def test_five_megabyte_reply_acts_on_its_last_line(self):
        cmds, failed = self.event("big", "big")
        self.assertEqual(cmds, REPLY_COMMANDS)
        self.assertEqual(failed, [])
        self.next_event_is_reported()

    def test_reply_that_is_not_http_fails_the_report_and_sends_nothing(self):
        cmds, failed = self.event("garbage", "garbage")
        self.assertEqual(cmds, [])
        self.assertEqual(len(failed), 1, self.d.log_messages()[-8:])
        self.next_event_is_reported()

    def test_reply_cut_off_midway_fails_after_acting_on_what_arrived(self):
        # Half of the reply arrives: its "cards" member is whole, the rest is
        # missing, so the controller gets the tags and empty colour and
        # sequence; curl then reports the short body.
        logged = len(self.d.log_messages())
        cmds, failed = self.event("close", "cut")
        self.assertEqual(cmds, [b"s:3AB,CD,EF\r", b"c:\r", b"f:\r"])
        self.assertEqual(len(failed), 1, self.d.log_messages()[-8:])
        self.assertIn("Error parsing the string", self.d.log_messages()[logged:])
        self.next_event_is_reported()


if __name__ == "__main__":
    unittest.main()
