"""Events the controller sends while the daemon starts are logged and
reported, in order, before anything read later; other lines of that time
are dropped unlogged."""

import time
import unittest

from harness import Daemon, standin_env
from standins import ReportServer


class StartupEventsTest(unittest.TestCase):
    def test_events_sent_during_start_up_are_reported_in_order(self):
        with ReportServer() as server, Daemon(
                answers=[b"version=1.0\n", b"version=1.0\n"],
                env=standin_env(server)) as d:
            self.assertTrue(d.wait_log("Configuring Serial Port", 20))
            time.sleep(0.2)  # raw mode is set right after that line
            sent = []
            # One event about every 0.7 s through the settle pause, the wait
            # before the handshake and the handshake itself.
            for n in range(16):
                d.send_line(b"i:seq=%d\n" % n)
                sent.append(b'{"seq": "%d"}' % n)
                if n == 3:
                    d.send_line(b"noise before the handshake\n")
                time.sleep(0.7)
            self.assertTrue(d.wait_started(20))
            d.send_line(b"i:seq=late\n")
            sent.append(b'{"seq": "late"}')
            requests = server.wait_requests(len(sent), 60)
            self.assertEqual([r["body"] for r in requests], sent)
            msgs = d.log_messages()
            for n in range(16):
                i = msgs.index("i:seq=%d" % n)
                self.assertEqual(msgs[i - 1], "Serial Data Received: ")
            self.assertNotIn("noise before the handshake", msgs)


if __name__ == "__main__":
    unittest.main()
