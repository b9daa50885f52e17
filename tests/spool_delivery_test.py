"""Store and forward: events kept while the server is down arrive once each,
in order, with their own keys and reading times; answers decide whether an
event is retried, dropped or acted on."""

import time
import unittest

from harness import start_daemon
from standins import ReportServer
from spool_support import (LONGEST_RETRY, UUID4, bring_back, key, payload,
                           received_at, send_events, spool_env)

REPLY_WINDOW = 10  # s between reading and posting within which replies count


class BacklogAfterOutageTest(unittest.TestCase):
    COUNT = 500

    def setUp(self):
        self.server = ReportServer()
        self.d = start_daemon(self.server, env=spool_env("spool.db"))

    def tearDown(self):
        self.d.stop()
        self.server.stop()

    def test_outage_backlog_arrives_once_in_order_without_late_commands(self):
        self.server.stop()
        commands_before = len(self.d.commands())
        first_wall = time.time()
        send_events(self.d, "n", self.COUNT)
        self.assertTrue(self.d.wait_log("i:n=%d" % (self.COUNT - 1), 120),
                        self.d.log_messages()[-5:])
        last_wall = time.time()
        # Let every event age past the reply window before the server returns,
        # so each reply comes too late to drive the controller.
        time.sleep(max(0, REPLY_WINDOW + 1.5 - (time.time() - last_wall)))
        retries_while_down = sum(1 for m in self.d.log_messages()
                                 if m.startswith("Error: Report failed - curl exit status"))

        self.server = bring_back(self.server, default={"body": '{"colour":"late","cards":"A"}'})
        requests = self.server.wait_requests(self.COUNT, LONGEST_RETRY)
        self.assertEqual(len(requests), self.COUNT)
        time.sleep(1)  # a copy posted twice would show up now
        requests = self.server.requests

        self.assertEqual([payload(r) for r in requests],
                         [{"n": str(n)} for n in range(self.COUNT)])
        keys = [key(r) for r in requests]
        self.assertTrue(all(k and UUID4.match(k) for k in keys), keys[:3])
        self.assertEqual(len(set(keys)), self.COUNT)
        times = [received_at(r) for r in requests]
        self.assertEqual(times, sorted(times))
        self.assertGreaterEqual(times[0], int(first_wall) - 1)
        self.assertLessEqual(times[-1], last_wall + 1)

        # The sender waited between tries rather than hammering a dead server.
        self.assertGreaterEqual(retries_while_down, 1)
        self.assertLessEqual(retries_while_down, 5)
        self.assertTrue(self.d.wait_log("Late reply not sent to the controller", 20,
                                        count=self.COUNT))
        self.assertEqual(self.d.commands()[commands_before:], [])
        messages = self.d.log_messages()
        i = len(messages) - 1 - messages[::-1].index('{"n": "0"}')  # the post that was taken
        self.assertEqual(messages[i - 1:i + 4],
                         ["Sending Message: ", '{"n": "0"}', "Response from Server",
                          '{"colour":"late","cards":"A"}',
                          "Late reply not sent to the controller"])


class AnswersTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = ReportServer()
        cls.d = start_daemon(cls.server, env=spool_env("spool.db"))

    @classmethod
    def tearDownClass(cls):
        cls.d.stop()
        cls.server.stop()

    def requests_for(self, name, start):
        return [r for r in self.server.requests[start:] if name in payload(r)]

    def test_current_reply_drives_controller_and_post_carries_both_headers(self):
        start = len(self.server.requests)
        commands = len(self.d.commands())
        self.server.push({"body": '{"cards":"A,B","colour":"green","sequence":"x"}'})
        wall = time.time()
        self.d.send_line(b"i:now=1\n")
        self.assertEqual(self.d.wait_commands(3, 20, start=commands),
                         [b"s:2A,B\r", b"c:green\r", b"f:x\r"])
        [request] = self.requests_for("now", start)
        self.assertEqual(request["path"], "/ping.json")
        self.assertEqual(request["headers"].get("Content-Type"), "application/json")
        self.assertTrue(UUID4.match(key(request)))
        self.assertLessEqual(abs(received_at(request) - wall), 2)

    def test_server_error_is_retried_with_growing_waits_under_one_key(self):
        start = len(self.server.requests)
        self.server.push({"status": 500}, {"status": 503})
        self.d.send_line(b"i:retry=1\n")
        self.server.wait_requests(start + 3, 60)
        tries = self.requests_for("retry", start)
        self.assertEqual(len(tries), 3)
        self.assertEqual(len({key(r) for r in tries}), 1)
        first_wait = tries[1]["time"] - tries[0]["time"]
        second_wait = tries[2]["time"] - tries[1]["time"]
        # Drawn from half to all of a 5 s, then a 10 s step.
        self.assertTrue(2.0 <= first_wait <= 6.5, first_wait)
        self.assertTrue(4.5 <= second_wait <= 11.5, second_wait)
        self.assertTrue(self.d.wait_log("Error: Report failed - HTTP 500", 5))
        self.assertTrue(self.d.wait_log("Error: Report failed - HTTP 503", 5))

        # Taken: the next failure waits the first wait again, not a longer one.
        start = len(self.server.requests)
        self.server.push({"status": 502})
        self.d.send_line(b"i:again=1\n")
        self.server.wait_requests(start + 2, 60)
        tries = self.requests_for("again", start)
        self.assertEqual(len(tries), 2)
        self.assertLess(tries[1]["time"] - tries[0]["time"], 6.5)

    def test_rejected_event_is_set_aside_once_and_the_next_goes_through(self):
        start = len(self.server.requests)
        self.server.push({"status": 400})
        self.d.send_line(b"i:bad=1\ni:good=1\n")
        self.server.wait_requests(start + 2, 30)
        # Longer than the first retry wait: a retried rejection would show.
        time.sleep(6)
        self.assertEqual([payload(r) for r in self.server.requests[start:]],
                         [{"bad": "1"}, {"good": "1"}])
        messages = self.d.log_messages()
        self.assertEqual(messages.count("Error: Report rejected - HTTP 400"), 1)
        self.assertNotIn("Error: Report failed - HTTP 400", messages)


if __name__ == "__main__":
    unittest.main()
