"""networkproxyctl status and spool against one daemon with a spool: status
matches the metrics file while the daemon runs and after it stopped; a 422
event shows among the dead letters and, sent again with spool resend-dead
while the daemon is busy sending others, reaches the server once, under its
key, with nothing else lost or sent twice."""

import json
import os
import shutil
import subprocess
import tempfile
import time
import unittest

import harness
from processes import poll
from standins import ReportServer
from spool_support import key, metrics, payload, send_events, spool_env, wait_for_event

CTL = harness.CTL
BURST = 40  # events the daemon sends while the operator resends


class OperatorSpoolTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="np-operator-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.server = ReportServer()
        self.addCleanup(self.server.stop)
        self.metrics = os.path.join(self.dir, "np.prom")
        self.env = dict(spool_env(os.path.join(self.dir, "spool.db")),
                        NETWORKPROXY_METRICS_FILE=self.metrics)

    def ctl(self, *args, status=0):
        # The site's settings in a file, as on a site, and the tool run from
        # another folder.
        settings = os.path.join(self.dir, "settings")
        with open(settings, "w") as f:
            f.writelines("%s=%s\n" % item for item in self.env.items())
        proc = subprocess.run([CTL] + list(args) + ["--env-file", settings, "--dir", self.dir],
                              cwd="/", capture_output=True, text=True, timeout=30)
        self.assertEqual(proc.returncode, status, proc.stdout + proc.stderr)
        return proc.stdout

    def assertStatusMatchesMetrics(self):
        shown = json.loads(self.ctl("status", "--json"))
        figures = metrics(self.metrics)
        self.assertEqual(shown["events"]["delivered"],
                         figures[("networkproxy_events_total", (("result", "delivered"),))])
        # A resent dead letter delivered is no longer rejected; the counter
        # itself never goes down.
        self.assertEqual(shown["events"]["rejected"],
                         figures[("networkproxy_events_total", (("result", "rejected"),))]
                         - figures.get(("networkproxy_dead_letters_delivered_total", ()), 0))
        self.assertEqual(shown["dead_letters"], figures[("networkproxy_spool_dead_letters", ())])
        self.assertEqual(shown["firmware_version"], "1.0")
        return shown

    def test_status_and_dead_letters_while_sending_and_after_stop(self):
        d = harness.start_daemon(self.server, env=self.env)
        self.addCleanup(d.stop)
        send_events(d, "early", 2)
        self.assertTrue(poll(lambda: len(self.server.requests) >= 2, 20))
        self.server.push({"status": 422})
        d.send_line(b"i:refused=1\n")
        self.assertTrue(d.wait_log("Error: Report rejected - HTTP 422", 20))
        dead_key = key(wait_for_event(self.server, "refused", 5)[0])
        self.assertTrue(poll(lambda: metrics(self.metrics).get(
            ("networkproxy_spool_dead_letters", ())) == 1, 10))

        shown = self.assertStatusMatchesMetrics()
        self.assertEqual(shown["events"]["delivered"], 2)
        self.assertEqual(shown["dead_letters"], 1)
        self.assertEqual(shown["events"]["waiting"], 0)
        self.assertIsNotNone(shown["last_delivery"])
        self.assertEqual(shown["last_failure"]["reason"], "Report rejected - HTTP 422")
        listed = self.ctl("spool", "list", "--dead").splitlines()
        self.assertEqual(len(listed), 1)
        self.assertEqual(listed[0].split(" ")[1:], [dead_key, "refused=1"])

        # The server takes it now; the operator resends while a burst goes
        # out slowly enough to be under way.
        self.server.set_default({"mode": "delay", "delay": 0.05})
        send_events(d, "burst", BURST)
        self.assertTrue(poll(lambda: wait_for_event(self.server, "burst", 0), 10))
        self.assertEqual(self.ctl("spool", "resend-dead"), "1 dead letter back to waiting\n")
        self.assertTrue(poll(lambda: len(self.server.requests) >= 2 + 2 + BURST, 60))
        time.sleep(1)  # room for a post that should not come
        sent = [payload(r) for r in self.server.requests]
        keys = [key(r) for r in self.server.requests]
        for n in range(BURST):
            self.assertEqual(sum(1 for p in sent if p.get("burst") == str(n)), 1, n)
        refused = [k for p, k in zip(sent, keys) if "refused" in p]
        # Kept in its place, it went out next, ahead of the rest of the burst.
        resent_at = max(i for i, p in enumerate(sent) if "refused" in p)
        self.assertLess(resent_at, max(i for i, p in enumerate(sent) if "burst" in p))
        self.assertEqual(refused, [dead_key, dead_key])
        self.assertEqual(len(set(keys)), len(keys) - 1, "one key sent twice: the resent one")
        self.assertEqual(self.ctl("spool", "list", "--dead"), "")
        self.assertEqual(self.ctl("spool", "list"), "")
        self.assertTrue(poll(lambda: metrics(self.metrics).get(
            ("networkproxy_dead_letters_delivered_total", ())) == 1, 10))
        running = self.assertStatusMatchesMetrics()
        self.assertEqual(running["events"]["delivered"], 3 + BURST)
        self.assertEqual(running["events"]["rejected"], 0)

        # A dead letter purged while the sender is idle leaves the daemon's
        # figures too.
        self.server.push({"status": 422})
        d.send_line(b"i:purged=1\n")
        self.assertTrue(poll(lambda: metrics(self.metrics).get(
            ("networkproxy_spool_dead_letters", ())) == 1, 20))
        self.assertEqual(self.ctl("spool", "purge-dead"), "1 dead letter removed\n")
        self.assertTrue(poll(lambda: metrics(self.metrics).get(
            ("networkproxy_spool_dead_letters", ())) == 0, 10))
        running = self.assertStatusMatchesMetrics()

        # Stopped: the same figures from the files alone.
        d.stop()
        stopped = self.assertStatusMatchesMetrics()
        self.assertEqual(stopped["events"], running["events"])
        self.assertEqual(self.ctl("spool", "purge-dead"), "0 dead letters removed\n")


if __name__ == "__main__":
    unittest.main()
