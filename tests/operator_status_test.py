"""What an operator sees of a running daemon under a service manager: READY
once, a STATUS line after each event and each check whose counters match
what happened, the same figures in the metrics file, and watchdog pings that
keep coming while the workers are idle or busy within bounds and stop when a
step is wedged.

The service manager is stood in for by a datagram socket the test owns
(NOTIFY_SOCKET) and a shortened watchdog interval (WATCHDOG_USEC), as
systemd itself would set them."""

import os
import signal
import stat
import time
import unittest

from prometheus_client.parser import text_string_to_metric_families

import harness
from notify_socket import NotifySocket
from processes import child_pids
from standins import ReportServer

EVENT = b"i:door=1,mac=x\n"
# Longer than the serial worker's line buffer: read, refused, never posted.
TOO_LONG_EVENT = b"i:door=1,mac=" + b"x" * 2000 + b"\n"
# One ping each half second.
WATCHDOG_USEC = "1000000"
# How long a report exchange may run before its worker counts as stuck:
# curl's 30 s, the 3 s sequence pause and a 15 s margin.
REPORT_STEP_BOUND = 48


def _gaps(times, start, end):
    """Longest pause between two consecutive times within [start, end]."""
    inside = [start] + [t for t in times if start <= t <= end] + [end]
    return max(b - a for a, b in zip(inside, inside[1:]))


class LiveStatusTest(unittest.TestCase):
    def setUp(self):
        self.notify = NotifySocket()
        self.addCleanup(self.notify.close)
        self.server = ReportServer()
        self.addCleanup(self.server.stop)
        self.metrics_dir = os.path.join(self.notify.dir, "textfile")
        os.mkdir(self.metrics_dir)
        self.metrics = os.path.join(self.metrics_dir, "networkproxy.prom")

    def start(self):
        d = harness.start_daemon(self.server, env={
            "NOTIFY_SOCKET": self.notify.path,
            "WATCHDOG_USEC": WATCHDOG_USEC,
            "NETWORKPROXY_METRICS_FILE": self.metrics})
        self.addCleanup(d.stop)
        self.assertTrue(self.notify.wait_value("READY", "1", 10), "no READY=1")
        return d

    def metric_samples(self):
        with open(self.metrics) as f:
            families = list(text_string_to_metric_families(f.read()))
        samples = {}
        for family in families:
            self.assertTrue(family.documentation, "%s has no HELP" % family.name)
            self.assertIn(family.type, ("counter", "gauge"), family.name)
            for s in family.samples:
                samples[(s.name, tuple(sorted(s.labels.items())))] = s.value
        return samples

    def test_counters_in_status_and_metrics_match_what_was_sent(self):
        self.server.push({"body": "{}"}, {"body": "{}"},
                         {"status": 500, "body": "{}"})
        d = self.start()
        # The first check fails: the bucket's endpoint refuses connections.
        self.assertIsNotNone(self.notify.wait_value(
            "STATUS", "failed: Reading the version file - network: ", 20),
            self.notify.values("STATUS"))
        for line in (EVENT, EVENT, EVENT, TOO_LONG_EVENT):
            d.send_line(line)
        expected = "2 events delivered, 1 failed, 1 rejected; firmware 1.0 checked "
        status = self.notify.wait_value("STATUS", expected, 30)
        self.assertIsNotNone(status, self.notify.values("STATUS"))
        self.assertRegex(status, r"checked \d\d:\d\d:\d\d, failed: ")
        self.assertEqual(len(self.notify.values("READY")), 1)

        samples = self.metric_samples()
        events = "networkproxy_events_total"
        checks = "networkproxy_firmware_checks_total"
        self.assertEqual(samples[(events, (("result", "delivered"),))], 2)
        self.assertEqual(samples[(events, (("result", "failed"),))], 1)
        self.assertEqual(samples[(events, (("result", "rejected"),))], 1)
        self.assertEqual(samples[(checks, (("result", "ok"),))], 0)
        self.assertEqual(samples[(checks, (("result", "failed"),))], 1)
        self.assertEqual(samples[("networkproxy_controller_info",
                                  (("version", "1.0"),))], 1)
        stamp = samples[("networkproxy_last_firmware_check_timestamp_seconds", ())]
        self.assertLess(abs(stamp - time.time()), 120)
        self.assertNotIn(("networkproxy_spool_events", ()), samples)
        # The textfile collector reads *.prom only, through the service's
        # group: the file is for that group and no other user.
        self.assertEqual(os.listdir(self.metrics_dir), ["networkproxy.prom"])
        self.assertEqual(stat.S_IMODE(os.stat(self.metrics).st_mode), 0o640)

        # Idle workers are not stuck: the pings keep coming.
        t0 = time.monotonic()
        time.sleep(3)
        pings = [t for t, _ in self.notify.items("WATCHDOG=1")]
        self.assertLess(_gaps(pings, t0, time.monotonic()), 1.5)

    def test_wedged_exchange_stops_the_pings_until_it_ends(self):
        self.server.push({"mode": "hang"})
        d = self.start()
        d.send_line(EVENT)
        self.assertEqual(len(self.server.wait_requests(1, 20)), 1)
        curls = child_pids(d.proc.pid)
        self.assertEqual(len(curls), 1, "expected one curl child: %r" % curls)
        # A stopped curl never reaches its own time limit: the exchange is
        # wedged for real.
        os.kill(curls[0], signal.SIGSTOP)
        wedged = time.monotonic()

        # Within the bound the exchange is merely slow: pings go on.
        time.sleep(REPORT_STEP_BOUND - 8)
        pings = [t for t, _ in self.notify.items("WATCHDOG=1")]
        self.assertLess(_gaps(pings, wedged, time.monotonic()), 1.5)
        # Past it, they stop, and the log says which worker is stuck.
        stuck = d.wait_log("Error: Watchdog - serial worker stuck for", 20)
        self.assertIsNotNone(stuck, d.log_messages()[-10:])
        silent_from = time.monotonic()
        time.sleep(3)
        pings = [t for t, _ in self.notify.items("WATCHDOG=1")]
        self.assertEqual([t for t in pings if t > silent_from], [])
        self.assertGreater(max(pings) - wedged, REPORT_STEP_BOUND - 2)

        # Once the exchange ends (curl killed: a failed report) they resume.
        os.kill(curls[0], signal.SIGKILL)
        self.assertIsNotNone(self.notify.wait_value(
            "STATUS", "0 events delivered, 1 failed", 10))
        resumed = self.notify.wait(
            lambda s: [t for t, _ in s.items("WATCHDOG=1") if t > silent_from],
            5)
        self.assertTrue(resumed, "pings did not resume")


if __name__ == "__main__":
    unittest.main()
