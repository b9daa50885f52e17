"""Version handshake: which answer counts, how it is parsed, and silence.

Every scenario needs its own daemon and each start-up takes over 10 s, so
all daemons are started together and examined afterwards.
"""

import json
import time
import unittest

from harness import Daemon, standin_env
from standins import ReportServer

LONG = "version=" + "A" * 40

SCENARIOS = {
    "both": [b"version=2.1.4\r\n", b"version=2.1.4\r\n"],
    "first_only": [b"version=2.1.4\r\n", b"ok\r\n"],
    "beta": [b"x\n", b"version=2.1.4=beta\n"],
    "equals": [b"x\n", b"==version==7\n"],
    "words": [b"x\n", b"build=7 version\n"],
    "no_second_piece": [b"x\n", b"version=\n"],
    "second_silent": [b"version=1.2\n"],
    "silent": [],
    "long": [b"x\n", LONG.encode() + b"\r\n"],
    "event": [b"i:door=1\r\n", b"version=2.0\n"],
    "stale": [b"x\n", b"version=9\n"],
    # An event just before the second answer must neither hide the version
    # nor be lost.
    "event_before_version": [b"version=1.0.8\n", b"i:door=0\nversion=1.0.8\n"],
}


class HandshakeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = ReportServer()
        cls.d = {}
        try:
            for name, answers in SCENARIOS.items():
                cls.d[name] = Daemon(
                    answers=answers,
                    env=standin_env(cls.server))
            # Lines sent between port set-up and the first query are stale.
            stale = cls.d["stale"]
            if stale.wait_log("Completed !", 20):
                stale.send_line(b"i:stale=1\nversion=666\n")
            # Silent controllers need two 5 s time-outs on top of start-up.
            for d in cls.d.values():
                d.wait_started(45)
            for name, d in cls.d.items():
                answered = len(SCENARIOS[name])
                d.wait_log("Serial Data Received: ", 20, count=answered)
                if answered < 2:
                    d.wait_log("Read nothing!", 20, count=2 - answered)
            # Workers run once the handshake is over: a line sent now must be
            # read by the serial worker.
            time.sleep(0.5)
            for d in cls.d.values():
                d.send_line(b"after-handshake\n")
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        for d in cls.d.values():
            d.stop()
        cls.server.stop()

    def firmware_line(self, name):
        d = self.d[name]
        # The worker's first line comes after the handshake's print.
        self.assertTrue(d.wait_log("after-handshake", 20), name)
        lines = [l for l in d.stdout().decode("latin-1").split("\n")
                 if l.startswith("Firmware Version:")]
        self.assertLessEqual(len(lines), 1, d.stdout())
        return lines[0] if lines else None

    def test_version_from_second_answer(self):
        self.assertEqual(self.firmware_line("both"), "Firmware Version: 2.1.4")
        self.assertEqual(self.d["both"].commands()[:2], [b"v:\r", b"v:\r"])
        self.assertEqual(self.d["both"].commands()[2:], [])

    def test_only_second_answer_counts(self):
        self.assertIsNone(self.firmware_line("first_only"))
        self.assertIn("ok", self.d["first_only"].log_messages())

    def test_version_is_second_piece_between_equals_runs(self):
        self.assertEqual(self.firmware_line("beta"), "Firmware Version: 2.1.4")
        self.assertEqual(self.firmware_line("equals"), "Firmware Version: 7")
        self.assertEqual(self.firmware_line("words"), "Firmware Version: 7 version")

    def test_version_without_value_leaves_version_empty(self):
        line = self.firmware_line("no_second_piece")
        self.assertIn(line, (None, "Firmware Version: "))
        self.assertTrue(self.d["no_second_piece"].alive())

    def test_silent_second_answer_examines_first(self):
        d = self.d["second_silent"]
        self.assertEqual(self.firmware_line("second_silent"),
                         "Firmware Version: 1.2")
        self.assertEqual(d.log_messages().count("Read nothing!"), 1)

    def test_silent_controller_times_out_and_workers_start(self):
        d = self.d["silent"]
        self.assertIsNone(self.firmware_line("silent"))
        msgs = d.log_messages()
        self.assertEqual(msgs.count("Read nothing!"), 2)
        queries = [t for t, c in d.timed_commands() if c == b"v:\r"]
        self.assertEqual(len(queries), 2)
        # Each read waits its 5 s before giving up.
        self.assertGreaterEqual(queries[1] - queries[0], 4.9)
        self.assertIn("after-handshake", msgs)
        self.assertTrue(d.alive())

    def test_version_too_long_is_unknown_not_cut(self):
        d = self.d["long"]
        self.assertIsNone(self.firmware_line("long"))
        msgs = d.log_messages()
        i = msgs.index(LONG)
        self.assertEqual(msgs[i + 1], "Error: Version answer too long")
        self.assertEqual(msgs[msgs.index("after-handshake") - 1],
                         "Serial Data Received: ")

    def test_event_before_first_query_is_kept_other_lines_dropped(self):
        self.assertEqual(self.firmware_line("stale"), "Firmware Version: 9")
        msgs = self.d["stale"].log_messages()
        i = msgs.index("i:stale=1")
        self.assertEqual(msgs[i - 1], "Serial Data Received: ")
        self.assertNotIn("version=666", msgs)
        self.assertEqual(self.bodies().count(b'{"stale": "1"}'), 1)

    def test_event_before_version_answer_neither_hides_it_nor_is_lost(self):
        self.assertEqual(self.firmware_line("event_before_version"),
                         "Firmware Version: 1.0.8")
        msgs = self.d["event_before_version"].log_messages()
        self.assertLess(msgs.index("i:door=0"), msgs.index("Sending Message: "))
        self.assertEqual(self.bodies().count(b'{"door": "t"}'), 1)

    def bodies(self):
        self.server.wait_requests(3, 20)
        return [r["body"] for r in self.server.requests]

    def test_event_during_handshake_is_reported_once_workers_run(self):
        self.assertEqual(self.firmware_line("event"), "Firmware Version: 2.0")
        bodies = self.bodies()
        self.assertEqual(bodies.count(b'{"door": "f"}'), 1, bodies)
        msgs = self.d["event"].log_messages()
        self.assertEqual(msgs[msgs.index("i:door=1") - 1], "Serial Data Received: ")
        self.assertLess(msgs.index("version=2.0"),
                        msgs.index("Sending Message: "))
        reporters = ("event", "stale", "event_before_version")
        for name, d in self.d.items():
            if name not in reporters:
                self.assertNotIn("Sending Message: ", d.log_messages(), name)
        self.assertEqual(len(bodies), len(reporters), bodies)
        for body in bodies:
            json.loads(body)


if __name__ == "__main__":
    unittest.main()
