"""Awkward bytes from the controller, and a controller that goes away."""

import time
import unittest

from harness import Daemon

LONG = "".join(chr(ord("a") + i % 26) for i in range(3000))


class SerialFaultsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.d = Daemon(answers=[b"ok\n", b"version=1.0\n"])
        if not cls.d.wait_started(40) or not cls.d.wait_stdout("Firmware", 10):
            cls.d.stop()
            raise AssertionError("daemon did not start: %r" % cls.d.stdout())
        time.sleep(0.3)

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


if __name__ == "__main__":
    unittest.main()
