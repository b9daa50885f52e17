"""Reporting server that is down, fails, or never answers: the daemon must
carry on and report the events that follow."""

import json
import os
import time
import unittest

from harness import ReportServer, start_reporting_daemon

FAILED = "Error: Report failed"


def children(pid):
    out = []
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/children" % (pid, task)) as f:
                out += [int(p) for p in f.read().split()]
        except OSError:
            pass
    return out


class ReportingFaultsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = ReportServer()
        cls.d = start_reporting_daemon(cls.server, wait_firmware=True)

    @classmethod
    def tearDownClass(cls):
        cls.d.stop()
        cls.server.stop()

    def failures(self):
        return [m for m in self.d.log_messages() if m.startswith(FAILED)]

    def wait_failures(self, count, timeout):
        self.assertTrue(self.d.wait_log(FAILED, timeout, count=count),
                        self.d.log_messages()[-6:])

    def test_server_down_then_back(self):
        port = self.server.port
        failed = len(self.failures())
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

    def test_server_that_never_answers(self):
        before = len(self.server.requests)
        failed = len(self.failures())
        self.server.push({"mode": "hang"})
        self.d.send_line(b"i:hang=1\n")
        self.assertEqual(len(self.server.wait_requests(before + 1, 20)), before + 1)

        # While curl waits, look at how it was started.
        curl = [p for p in children(self.d.proc.pid)
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
        self.assertEqual(rest, ["/usr/bin/curl", "--silent", "-XPOST", url,
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


if __name__ == "__main__":
    unittest.main()
