"""A reporting server that is down, fails, never answers or answers badly
(a 5 MB body, bytes that are not HTTP, a reply cut off mid-way): each event
is posted once, on its own, the daemon keeps running, and the events that
follow are reported and acted on as usual."""

import json
import os
import re
import time
import unittest

from harness import start_daemon
from processes import child_pids
from standins import ReportServer, ReportStandin

FAILED = re.compile(r"^Error: Report failed - curl exit status \d+( \(.+\))?$")
REPLY = {"cards": "AB,CD,EF", "colour": "green", "sequence": "1"}
REPLY_COMMANDS = [b"s:3AB,CD,EF\r", b"c:green\r", b"f:1\r"]


def report_failures(d):
    """The report failures `d` logged so far."""
    return [m for m in d.log_messages() if FAILED.match(m)]


class ReportingFaultsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = ReportServer()
        cls.d = start_daemon(cls.server, wait_firmware=True)

    @classmethod
    def tearDownClass(cls):
        cls.d.stop()
        cls.server.stop()

    def wait_failures(self, count, timeout):
        self.assertTrue(self.d.wait_log(FAILED, timeout, count=count),
                        self.d.log_messages()[-6:])

    def test_server_down_then_back(self):
        port = self.server.port
        failed = len(report_failures(self.d))
        cmds = len(self.d.commands())
        self.server.stop()
        self.d.send_line(b"i:down=1\n")
        self.wait_failures(failed + 1, 30)
        self.assertTrue(self.d.alive())
        self.assertEqual(self.d.commands()[cmds:], [])

        type(self).server = ReportServer(port=port)
        self.server.push({"body": '{"colour":"up"}'})
        self.d.send_line(b"i:up=1\n")
        reqs = self.server.wait_requests(1, 20)
        self.assertEqual([r["body"] for r in reqs], [b'{"up": "1"}'])
        self.assertEqual(self.d.wait_commands(3, 10, start=cmds),
                         [b"s:1\r", b"c:up\r", b"f:\r"])

    def test_error_answers_without_spool_read_failed_and_keep_their_reply(self):
        # Without the spool nothing keeps an event, so every answer that did
        # not deliver it reads "failed" as it always has; a redirect is not
        # followed, and a reply with instructions still drives the controller.
        table = [
            ({"status": 401, "body": '{"colour":"red"}'}, "HTTP 401", [b"s:1\r", b"c:red\r", b"f:\r"]),
            ({"status": 302, "headers": {"Location": "http://127.0.0.1:9/"}},
             "HTTP 302 (redirect not followed)", []),
            ({"status": 422}, "HTTP 422", []),
        ]
        for reply, reason, commands in table:
            with self.subTest(reason=reason):
                cmds = len(self.d.commands())
                line = "Error: Report failed - " + reason
                seen = self.d.log_messages().count(line)
                before = len(self.server.requests)
                self.server.push(reply)
                self.d.send_line(b"i:answer=1\n")
                self.server.wait_requests(before + 1, 20)
                self.assertTrue(self.d.wait_log(re.compile("^" + re.escape(line) + "$"), 45,
                                                count=seen + 1), self.d.log_messages()[-6:])
                if commands:
                    self.assertEqual(self.d.wait_commands(3, 10, start=cmds), commands)
                self.assertEqual(self.d.commands()[cmds:], commands)
                self.assertEqual(len(self.server.requests), before + 1, "no redirect followed")

    def test_server_that_never_answers(self):
        before = len(self.server.requests)
        failed = len(report_failures(self.d))
        self.server.push({"mode": "hang"})
        self.d.send_line(b"i:hang=1\n")
        self.assertEqual(len(self.server.wait_requests(before + 1, 20)), before + 1)

        # While curl waits, look at how it was started.
        curl = [p for p in child_pids(self.d.proc.pid)
                if os.path.realpath("/proc/%d/exe" % p) == "/usr/bin/curl"]
        self.assertEqual(len(curl), 1, "curl must be the daemon's own child")
        pid = curl[0]
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            argv = [a.decode() for a in f.read().split(b"\0")[:-1]]
        url = "http://%s/ping.json" % self.server.host
        self.assertEqual(argv[argv.index("--connect-timeout") + 1], "10")
        self.assertEqual(argv[argv.index("--max-time") + 1], "30")
        rest = list(argv)
        for option in ("--connect-timeout", "--max-time"):
            i = rest.index(option)
            del rest[i:i + 2]
        # "-q" first: no curlrc of the user's may change the request.
        self.assertEqual(rest, ["/usr/bin/curl", "-q", "--silent", "-XPOST", url,
                                "-H", "Content-Type: application/json",
                                "-d", '{"hang": "1"}',
                                "-w", "%{stderr}%{http_code}"])
        fds = {}
        for fd in os.listdir("/proc/%d/fd" % pid):
            try:
                fds[int(fd)] = os.readlink("/proc/%d/fd/%s" % (pid, fd))
            except OSError:
                pass
        self.assertEqual(fds.get(0), "/dev/null")
        for fd, target in fds.items():
            self.assertNotEqual(target, self.d.slave_path, "serial port leaked")
            self.assertNotIn("log_", target)
            self.assertNotIn("ptmx", target)

        # Lines sent meanwhile wait their turn.
        self.d.send_line(b"i:after=1\n")
        self.d.send_line(b"i:after=2\n")
        self.wait_failures(failed + 1, 60)
        reqs = self.server.wait_requests(before + 3, 20)[before + 1:]
        self.assertEqual([json.loads(r["body"]) for r in reqs],
                         [{"after": "1"}, {"after": "2"}])
        self.assertTrue(self.d.alive())


class BadRepliesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = ReportStandin(reply=REPLY)
        cls.d = start_daemon(cls.server)

    @classmethod
    def tearDownClass(cls):
        cls.d.stop()
        cls.server.stop()

    def event(self, mode, name):
        """Post one event with the server in `mode`; returns (commands sent,
        new failure log lines) once the exchange is over."""
        d = self.d
        before_req = len(self.server.requests())
        before_cmd = len(d.commands())
        before_fail = len(report_failures(self.d))
        self.server.set_mode(mode)
        d.send_line(("i:fault=%s\n" % name).encode())
        reqs = self.server.wait_requests(before_req + 1, 20)[before_req:]
        self.assertEqual([json.loads(r["body"]) for r in reqs], [{"fault": name}],
                         "one request carrying exactly this event")
        # The exchange is over when the failure is logged or the sequence
        # command (3 s after the colour) went out.
        deadline = time.monotonic() + 45
        while time.monotonic() < deadline:
            if len(report_failures(self.d)) > before_fail:
                break
            if any(c.startswith(b"f:") for c in d.commands()[before_cmd:]):
                break
            time.sleep(0.1)
        time.sleep(0.5)  # a stray command or log line would show by now
        self.assertTrue(d.alive(), "daemon died: %r" % d.stdout()[-500:])
        return d.commands()[before_cmd:], report_failures(self.d)[before_fail:]

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
