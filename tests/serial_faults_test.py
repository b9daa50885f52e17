"""The controller's side misbehaving: awkward bytes (NULs, bare CRs, lines
too long, a burst), a 100 KB burst while an exchange holds up reading, a
1 MB line that never ends, and the device going away, idle or in the middle
of an exchange."""

import json
import threading
import time
import unittest

from harness import start_daemon
from standins import ReportServer

LONG = "".join(chr(ord("a") + i % 26) for i in range(3000))
STARTED = 40  # s, start-up takes 10 s by design


def send_with_deadline(daemon, data, timeout):
    """Write `data` to the controller side from a thread: the write blocks
    while the daemon is not reading. Returns True when it all went out in
    time."""
    done = threading.Event()

    def writer():
        try:
            daemon.send_line(data)
            done.set()
        except OSError:
            pass  # the line was hung up by stop()

    threading.Thread(target=writer, daemon=True).start()
    return done.wait(timeout)


def received(daemon):
    """Lines the daemon logged as read from the port, in order."""
    msgs = daemon.log_messages()
    return [msgs[i + 1] for i in range(len(msgs) - 1)
            if msgs[i] == "Serial Data Received: "]


class SerialFaultsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.d = start_daemon(started_timeout=STARTED, wait_firmware=True)

    @classmethod
    def tearDownClass(cls):
        cls.d.stop()

    def test_awkward_lines_are_framed_and_logged(self):
        d = self.d
        burst = ["n%03d" % i for i in range(200)]
        d.send_line(b"hello\r\n")
        d.send_line(b"\r\n")
        d.send_line(b"ab\x00c\rd\n")
        d.send_line(b"one\ntwo\n")
        d.send_line(LONG.encode() + b"\r\n")
        d.send_line(b"i:" + b"k" * 2000 + b"\n")
        d.send_line(b"after\n")
        d.send_line("".join(l + "\n" for l in burst).encode())
        self.assertTrue(d.wait_log(burst[-1], 30), d.log_messages()[-5:])
        cut_event = "i:" + "k" * 1021
        want = ["hello", "", "abcd", "one", "two",
                LONG[:1023], "Error: Line too long",
                cut_event, "Error: Line too long", "after"] + burst
        wanted = set(want)
        msgs = d.log_messages()
        start = msgs.index("hello") - 1
        seen = [m for m in msgs[start:] if m in wanted or m == "Serial Data Received: "]
        expected = []
        for m in want:
            if m != "Error: Line too long":
                expected.append("Serial Data Received: ")
            expected.append(m)
        self.assertEqual(seen, expected)
        self.assertNotIn("Sending Message: ", msgs)
        self.assertTrue(d.alive())

    def test_vanished_device_ends_daemon_with_status_1(self):
        self.d.close_master()
        self.assertTrue(self.d.wait_log("Serial device lost", 30),
                        self.d.log_messages()[-5:])
        self.assertEqual(self.d.wait_exit(30), 1)
        self.assertGreaterEqual(self.d.log_messages().count("Read nothing!"), 1)


class ControllerFloodTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = ReportServer(default={"body": "{}"})
        cls.d = start_daemon(cls.server, STARTED)

    @classmethod
    def tearDownClass(cls):
        cls.d.stop()
        cls.server.stop()

    def test_burst_of_100_kb_during_an_exchange_loses_and_merges_nothing(self):
        d, server = self.d, self.server
        before = len(server.requests)
        # The first event's exchange takes a while: a slow server, then the
        # pause before the sequence command. The burst arrives meanwhile.
        server.push({"mode": "delay", "delay": 2,
                     "body": '{"cards":"A","colour":"g","sequence":"s"}'})
        d.send_line(b"i:burst=start\n")
        server.wait_requests(before + 1, 20)
        lines = []
        for n in range(100):
            head = ("i:burst=%03d,pad=" % n) if n % 10 == 0 else ("line %03d " % n)
            lines.append(head + chr(ord("a") + n % 26) * (1000 - len(head)))
        burst = "".join(l + "\r\n" for l in lines).encode()
        self.assertGreaterEqual(len(burst), 100 * 1000)
        self.assertTrue(send_with_deadline(d, burst, 120),
                        "the daemon stopped taking bytes")
        self.assertTrue(d.wait_log(lines[-1], 60), d.log_messages()[-4:])

        got = received(d)
        start = got.index(lines[0])
        self.assertEqual(got[start:start + len(lines)], lines)
        events = [json.loads(r["body"]) for r in server.wait_requests(before + 11, 30)[before:]]
        self.assertEqual([e["burst"] for e in events],
                         ["start"] + ["%03d" % n for n in range(0, 100, 10)])
        for n, event in zip(range(0, 100, 10), events[1:]):
            self.assertEqual(event["pad"], lines[n].split("pad=")[1])
        self.assertTrue(d.alive())

    def test_megabyte_line_without_end_is_dropped_whole_and_reading_recovers(self):
        d, server = self.d, self.server
        before = len(server.requests)
        long_line = b"i:flood=" + b"x" * (1024 * 1024)
        self.assertTrue(send_with_deadline(d, long_line, 120),
                        "the daemon stopped taking bytes")
        # With no LF of its own, the line ends at the next LF: the event
        # sent next is part of it and goes down with it.
        d.send_line(b"i:swallowed=1\n")
        self.assertTrue(d.wait_log("Error: Line too long", 60), d.log_messages()[-4:])
        d.send_line(b"i:after=1\n")
        reqs = server.wait_requests(before + 1, 20)[before:]
        self.assertEqual([json.loads(r["body"]) for r in reqs], [{"after": "1"}])

        got = received(d)
        cut = long_line[:1023].decode()
        self.assertEqual(got[-2:], [cut, "i:after=1"])
        msgs = d.log_messages()
        self.assertEqual(msgs[msgs.index(cut) + 1], "Error: Line too long")
        self.assertEqual(msgs.count("Error: Line too long"), 1)
        time.sleep(0.5)
        self.assertEqual(len(server.requests), before + 1)
        self.assertTrue(d.alive())


class DeviceLostMidExchangeTest(unittest.TestCase):
    def test_device_lost_while_reply_is_pending_ends_with_status_1(self):
        with ReportServer() as server:
            d = start_daemon(server, STARTED)
            self.addCleanup(d.stop)
            server.push({"mode": "delay", "delay": 2,
                         "body": '{"cards":"A","colour":"g","sequence":"s"}'})
            d.send_line(b"i:lost=1\n")
            self.assertEqual(len(server.wait_requests(1, 20)), 1)
            # The controller goes away before the reply's commands go out:
            # they fail, the reads that follow fail, and the daemon ends so
            # the service manager can start it again.
            d.close_master()
            self.assertEqual(d.wait_exit(60), 1, d.log_messages()[-6:])
            msgs = d.log_messages()
            self.assertIn("Serial device lost", msgs)
            self.assertLess(msgs.index("Response from Server"),
                            msgs.index("Serial device lost"))


if __name__ == "__main__":
    unittest.main()
