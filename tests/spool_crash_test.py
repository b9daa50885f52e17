"""Store and forward through kill -9: every event read before the kill
arrives after a restart; a second copy only ever carries the key of the
first."""

import os
import shutil
import signal
import tempfile
import time
import unittest

from harness import start_daemon
from standins import ReportServer
from spool_support import LONGEST_RETRY, key, payload, send_events, spool_env


class KillDuringDrainTest(unittest.TestCase):
    COUNT = 200

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="np-spool-crash-")
        self.env = spool_env(os.path.join(self.dir, "spool.db"))
        # Slow answers keep most events waiting, and a post in flight when the
        # kill comes.
        self.server = ReportServer(default={"mode": "delay", "delay": 0.2})
        self.daemons = []

    def tearDown(self):
        for d in self.daemons:
            d.stop()
        self.server.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def start(self):
        d = start_daemon(self.server, env=self.env)
        self.daemons.append(d)
        return d

    def test_events_waiting_at_kill_arrive_after_restart(self):
        first = self.start()
        send_events(first, "n", self.COUNT)
        self.assertTrue(first.wait_log("i:n=%d" % (self.COUNT - 1), 120))
        # The last line is committed right after it is logged; a few posts
        # later it surely is.
        seen = len(self.server.requests)
        self.server.wait_requests(seen + 3, 30)
        os.killpg(first.proc.pid, signal.SIGKILL)
        first.proc.wait(timeout=10)
        delivered_before = len(self.server.requests)
        self.assertLess(delivered_before, self.COUNT / 2, "the kill came too late to matter")

        self.server.set_default({"body": "{}"})
        second = self.start()
        self.assertTrue(second.wait_log(" events waiting", 5))
        deadline = time.monotonic() + LONGEST_RETRY
        while (len({payload(r)["n"] for r in self.server.requests}) < self.COUNT
               and time.monotonic() < deadline):
            time.sleep(0.2)
        time.sleep(1)  # a copy posted twice would show up now
        requests = list(self.server.requests)

        first_key = {}
        order = []
        for r in requests:
            n = int(payload(r)["n"])
            if n in first_key:
                self.assertEqual(key(r), first_key[n], "a copy under a new key")
            else:
                first_key[n] = key(r)
                order.append(n)
        self.assertEqual(order, list(range(self.COUNT)))
        self.assertEqual(len(set(first_key.values())), self.COUNT)
        # At most the post in flight at the kill is seen twice.
        self.assertLessEqual(len(requests) - self.COUNT, 1)


if __name__ == "__main__":
    unittest.main()
