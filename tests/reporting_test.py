"""Event lines posted to the reporting server and its replies turned into
controller commands, against one daemon and one local server."""

import json
import os
import re
import time
import unittest

from harness import start_daemon
from standins import ReportServer

WORKED = [
    ("", "{}"),
    ("door=1", '{"door": "f"}'),
    ("t=4,door=0,boot=1,auth=0", '{"auth": "f","boot": "t","door": "t","t": "4"}'),
    ("mac=00:1A:2B,door=2", '{"door": "2","mac": "%(site)s"}'),
    ("a=1,,b=2", '{"": "","a": "1","b": "2"}'),
    ("a=1,", '{"a": "1"}'),
    ("boot", '{"boot": "boot"}'),
    ("k=a=b", '{"k": "a=b"}'),
    ("k=", '{"k": ""}'),
    ("=5", '{"": "5"}'),
    ("door=1,door=0", '{"door": "t"}'),
    ("Door=1,door=1", '{"Door": "1","door": "f"}'),
    ("boot=true", '{"boot": "true"}'),
    ("mac", '{"mac": "%(site)s"}'),
]


def subsequence(needles, haystack):
    """True when `needles` occur in `haystack` in this order."""
    it = iter(haystack)
    return all(any(n == h for h in it) for n in needles)


class ReportingTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = ReportServer()
        cls.d = start_daemon(cls.server, wait_firmware=True)
        m = re.search(rb"Site ID: (.*)\n", cls.d.stdout())
        cls.site = m.group(1).decode()

    @classmethod
    def tearDownClass(cls):
        cls.d.stop()
        cls.server.stop()

    def exchange(self, lines, replies, commands, timeout=30):
        """Send `lines` with `replies` queued; wait for one request per line
        and for `commands` more controller commands. Returns (requests,
        commands) of this exchange."""
        before_req = len(self.server.requests)
        before_cmd = len(self.d.commands())
        self.server.push(*replies)
        for line in lines:
            self.d.send_line(line)
        reqs = self.server.wait_requests(before_req + len(lines), timeout)
        self.assertEqual(len(reqs) - before_req, len(lines),
                         "requests: %r" % reqs[before_req:])
        cmds = self.d.wait_commands(commands, timeout, start=before_cmd)
        # A command beyond those expected would show up within this pause.
        time.sleep(0.5 if commands else 1.0)
        return reqs[before_req:], self.d.commands()[before_cmd:]

    def test_error_status_with_empty_body_is_logged_as_a_failure(self):
        before = len(self.d.log_messages())
        self.exchange([b"i:door=1\n"], [{"status": 500, "body": ""}], 0)
        self.assertTrue(self.d.wait_log("Error: Report failed - HTTP 500", 10),
                        self.d.log_messages()[before:])

    def test_event_drives_tags_colour_and_later_sequence(self):
        reply = '{"cards":"AB,CD,EF","colour":"red","sequence":"x"}'
        line = b"i:t=4,door=0,boot=1,auth=0\r\n"
        reqs, _ = self.exchange([line], [{"body": reply}], 3)
        r = reqs[0]
        self.assertEqual(r["method"], "POST")
        self.assertEqual(r["path"], "/ping.json")
        self.assertEqual(r["headers"].get("Content-Type"), "application/json")
        self.assertEqual(r["body"], b'{"auth": "f","boot": "t","door": "t","t": "4"}')
        timed = self.d.timed_commands()[-3:]
        self.assertEqual([c for _, c in timed],
                         [b"s:3AB,CD,EF\r", b"c:red\r", b"f:x\r"])
        self.assertGreaterEqual(timed[2][0] - timed[1][0], 2.8)
        self.assertTrue(subsequence(
            ["Serial Data Received: ", "i:t=4,door=0,boot=1,auth=0",
             "Sending Message: ", '{"auth": "f","boot": "t","door": "t","t": "4"}',
             "Response from Server", reply], self.d.log_messages()),
            self.d.log_messages()[-12:])

    def test_worked_examples_byte_for_byte(self):
        lines = [("i:%s\n" % p).encode() for p, _ in WORKED]
        reqs, cmds = self.exchange(lines, [], 0)
        self.assertEqual(cmds, [])
        for (payload, want), r in zip(WORKED, reqs):
            self.assertEqual(r["body"].decode(), want % {"site": self.site},
                             "payload %r" % payload)

    def test_reply_variants(self):
        cases = [
            ('{"cards":"A"}', [b"s:1A\r", b"c:\r", b"f:\r"]),
            ("{}", []),
            ('{"colour": 5}', [b"s:1\r", b"c:5\r", b"f:\r"]),
            ('{"Colour":"red","sequence":"x"}', []),
            ('{\n"colour": "red"\n}\n', []),
            ("no cards today", [b"s:1\r", b"c:\r", b"f:\r"]),
            ('["colour", "cards"]', [b"s:1\r", b"c:\r", b"f:\r"]),
            ('{"cards":["A"],"colour":{"a":1},"sequence":"z"}',
             [b"s:1\r", b"c:\r", b"f:z\r"]),
            ('{"note":"these cards","sequence":"q"}', [b"s:1\r", b"c:\r", b"f:q\r"]),
        ]
        lines = [("i:n=%d\n" % i).encode() for i in range(len(cases))]
        want = [c for _, cmds in cases for c in cmds]
        reqs, cmds = self.exchange(lines, [{"body": b} for b, _ in cases],
                                   len(want), timeout=60)
        self.assertEqual(cmds, want)
        self.assertEqual([json.loads(r["body"])["n"] for r in reqs],
                         [str(i) for i in range(len(cases))])
        self.assertIn("Error parsing the string", self.d.log_messages())
        self.assertTrue(self.d.alive())

    def test_shell_text_reaches_server_verbatim_and_runs_nothing(self):
        values = {
            "q": "it's",
            "sub": "$(touch pwned-sub)",
            "tick": "`touch pwned-tick`",
            "semi": "; touch pwned-semi; echo ",
            "bs": "back\\slash\\",
            "dq": 'say "hi"',
            "forge": 'x"}{"mac":"other',
            "tab": "a\tb",
            "amp": "a&b|c>pwned-redirect",
        }
        payload = ",".join("%s=%s" % kv for kv in values.items())
        reqs, cmds = self.exchange([("i:%s\n" % payload).encode()], [], 0)
        body = reqs[0]["body"].decode()
        obj = json.loads(body)
        want = dict(values)
        self.assertEqual(obj, want)
        self.assertEqual(list(obj), sorted(obj))
        self.assertEqual([f for f in os.listdir(self.d.dir) if "pwned" in f], [])

    def test_terminal_escapes_are_shown_escaped_in_the_log_and_posted_as_sent(self):
        reqs, _ = self.exchange([b"i:alarm=\x1b[31mred\x7f,t=1\r\n"], [], 0)
        self.assertEqual(reqs[0]["body"], b'{"alarm": "\\u001b[31mred\x7f","t": "1"}')
        self.assertTrue(self.d.wait_log("i:alarm=\\x1B[31mred\\x7F,t=1", 10),
                        self.d.log_messages()[-6:])
        self.assertIn('{"alarm": "\\u001b[31mred\\x7F","t": "1"}', self.d.log_messages())
        self.assertNotIn("\x1b", self.d.log_text())
        self.assertNotIn("\x7f", self.d.log_text())

    def test_mac_from_controller_never_leaves(self):
        reqs, _ = self.exchange([b'i:mac=evil,x=1\n'], [], 0)
        self.assertEqual(json.loads(reqs[0]["body"]),
                         {"mac": self.site, "x": "1"})

    def test_large_event_object_is_not_cut(self):
        # 1000 quotes: the object, escaped, runs past 4000 bytes.
        token = "k" + '"' * 1000
        reqs, _ = self.exchange([("i:%s\n" % token).encode()], [], 0)
        obj = json.loads(reqs[0]["body"])
        self.assertEqual(obj, {token: token})

    def test_lines_during_exchange_are_all_reported_in_order(self):
        slow = {"mode": "delay", "delay": 2,
                "body": '{"cards":"A","colour":"g","sequence":"s"}'}
        before = len(self.server.requests)
        self.server.push(slow)
        self.d.send_line(b"i:n=0\n")
        self.server.wait_requests(before + 1, 20)
        # The exchange is running now (server slow, then the 3 s pause).
        for i in range(1, 6):
            self.d.send_line(("i:n=%d\n" % i).encode())
            time.sleep(0.2)
        reqs = self.server.wait_requests(before + 6, 40)[before:]
        self.assertEqual([json.loads(r["body"])["n"] for r in reqs],
                         [str(i) for i in range(6)])
        # Nothing was read until the first exchange was over.
        self.assertGreaterEqual(reqs[1]["time"] - reqs[0]["time"], 4.8)

    def test_http_error_body_still_acted_on(self):
        _, cmds = self.exchange(
            [b"i:e=500\n"], [{"status": 500, "body": '{"colour":"blue"}'}], 3)
        self.assertEqual(cmds, [b"s:1\r", b"c:blue\r", b"f:\r"])


if __name__ == "__main__":
    unittest.main()
