"""Stopping and the site's files: SIGTERM or SIGINT ends the daemon with
status 0 after the exchange in flight and with the spool closed; a FIFO
where the token file belongs never hangs the serial worker; nothing the
daemon writes is readable by other users."""

import os
import signal
import sqlite3
import stat
import tempfile
import unittest

import harness
from standins import ReportServer
from workdir import remove_folder

# Root passes the exclusive-use check; the service user does not: the
# second daemon runs without capabilities.
NO_CAPABILITIES = ["setpriv", "--inh-caps=-all", "--bounding-set=-all", "--"]
NOT_REGULAR = "Error: NETWORKPROXY_REPORT_TOKEN_FILE - not a regular file"
TOKEN_FAILED = "Error: Report failed - cannot read token file"


def open_to_others(folder):
    """Files in `folder` whose mode lets the group write or others in."""
    return {name: oct(stat.S_IMODE(os.stat(os.path.join(folder, name)).st_mode))
            for name in os.listdir(folder)
            if os.stat(os.path.join(folder, name)).st_mode & 0o027}


class StoppingTest(unittest.TestCase):
    def setUp(self):
        self.site = tempfile.mkdtemp(prefix="np-site-")
        self.addCleanup(remove_folder, self.site)
        self.server = ReportServer()
        self.addCleanup(self.server.stop)

    def start(self, env):
        # The test's own umask must not be what keeps the files private.
        old = os.umask(0)
        try:
            d = harness.start_daemon(self.server, env=env)
        finally:
            os.umask(old)
        self.addCleanup(d.stop)
        return d

    def test_fifo_token_neither_hangs_the_worker_nor_blocks_sigterm(self):
        fifo = os.path.join(self.site, "report-token")
        os.mkfifo(fifo, 0o600)
        credentials = os.path.join(self.site, "aws-credentials")
        with open(credentials, "w") as f:
            f.write("[default]\naws_access_key_id = AKIDTEST\naws_secret_access_key = s\n")
        os.chmod(credentials, 0o644)
        # https: a token over plain http stops the daemon at start-up.
        d = self.start({"NETWORKPROXY_REPORT_TOKEN_FILE": fifo,
                        "NETWORKPROXY_REPORT_URL": "https://%s/ping.json" % self.server.host,
                        "AWS_SHARED_CREDENTIALS_FILE": credentials,
                        "NETWORKPROXY_METRICS_FILE": "networkproxy.prom"})
        for n in (1, 2):
            d.send_line(b"i:door=%d\n" % n)
            self.assertIsNotNone(d.wait_log(TOKEN_FAILED, 10, count=n),
                                 "event %d: the serial worker hangs on the FIFO" % n)
        self.assertEqual(self.server.requests, [])
        self.assertIsNotNone(d.wait_log("Checking for firmware update", 10))
        messages = d.log_messages()
        self.assertEqual(messages.count(NOT_REGULAR), 1, messages)
        self.assertEqual(messages.count(
            "Warning: %s is readable by other users" % credentials), 1, messages)

        d.proc.send_signal(signal.SIGTERM)
        self.assertEqual(d.wait_exit(10), 0)
        self.assertIn("Stopping (SIGTERM)", d.log_messages())
        self.assertTrue(os.path.exists(d.path("networkproxy.prom")))
        self.assertEqual(open_to_others(d.dir), {})

    def start_again_on(self, first):
        """A daemon without capabilities on `first`'s terminal, which the
        test keeps open (as a simulator would): it must get the port."""
        again = harness.Daemon(args=["-p", first.slave_path], port=False,
                               env=harness.standin_env(self.server),
                               wrapper=NO_CAPABILITIES)
        self.addCleanup(again.stop)
        self.assertIsNotNone(again.wait_log("Completed !", 15), again.stdout())
        self.assertNotIn(b"Device or resource busy", again.stdout())

    def test_a_stopped_daemon_leaves_the_port_to_the_next(self):
        d = self.start({})
        d.proc.send_signal(signal.SIGTERM)
        self.assertEqual(d.wait_exit(10), 0)
        self.start_again_on(d)

    def test_sigterm_during_start_up_ends_it_at_once(self):
        # A silent controller holds start-up for 20 s.
        d = harness.Daemon(env=harness.standin_env(self.server))
        self.addCleanup(d.stop)
        self.assertTrue(d.wait_stdout("Site ID", 10))
        d.proc.send_signal(signal.SIGTERM)
        self.assertEqual(d.wait_exit(5), 0)
        self.assertIn(b"Stopping (SIGTERM)", d.stdout())
        self.start_again_on(d)

    def test_sigint_waits_for_the_post_in_flight_and_closes_the_spool(self):
        self.server.set_default({"mode": "delay", "delay": 2, "body": b"{}"})
        d = self.start({"NETWORKPROXY_SPOOL": "spool.db"})
        d.send_line(b"i:door=1\n")
        self.assertTrue(self.server.wait_requests(1, 10))
        d.proc.send_signal(signal.SIGINT)
        self.assertEqual(d.wait_exit(10), 0)
        self.assertIn("Stopping (SIGINT)", d.log_messages())
        # The answered event left the spool, and the spool was closed: no
        # WAL is left beside it.
        self.assertFalse(os.path.exists(d.path("spool.db-wal")))
        with sqlite3.connect(d.path("spool.db")) as db:
            self.assertEqual(db.execute("SELECT COUNT(*) FROM events").fetchone()[0], 0)
        self.assertEqual(open_to_others(d.dir), {})


if __name__ == "__main__":
    unittest.main()
