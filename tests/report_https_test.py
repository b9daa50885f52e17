"""Reports over HTTPS with a bearer token: the server's certificate is
verified (against NETWORKPROXY_REPORT_CA for a private CA) and the token
reaches the server without showing in any process's argument list or
environment, nor in the log."""

import os
import shutil
import tempfile
import time
import unittest

import harness
from processes import child_pids
from standins import ReportServer
from throwaway_ca import ThrowawayCa

TOKEN = "tok-5f1e2d3c4b5a69788796a5b4c3d2e1f0"
SECRET = "site/secret+key/K7MDENG/bPxRfiCYHTTPS01"
REPORT_FAILED = "Error: Report failed - "
# curl's exit status when the peer's certificate or name does not verify.
CURL_PEER_FAILED_VERIFICATION = 60


def _snapshot(pid):
    """(argument list, environment) of `pid` as bytes; None once gone."""
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            cmdline = f.read()
        with open("/proc/%d/environ" % pid, "rb") as f:
            environ = f.read()
    except OSError:
        return None
    return cmdline, environ


class ReportHttpsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="np-https-")
        cls.ca = ThrowawayCa(cls.dir, names=["IP:127.0.0.1"])
        cls.token_file = os.path.join(cls.dir, "report-token")
        with open(cls.token_file, "w") as f:
            f.write(TOKEN + "\nsecond line is not part of the token\n")
        cls.credentials = os.path.join(cls.dir, "aws-credentials")
        with open(cls.credentials, "w") as f:
            f.write("[default]\naws_access_key_id = AKIAHTTPSTEST0000001\n"
                    "aws_secret_access_key = %s\n" % SECRET)
        os.chmod(cls.credentials, 0o600)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def run_event(self, host, ca=True, delay=0):
        """Starts a daemon reporting to https://<host>:<port>/ping.json,
        sends one event and returns (daemon log, requests, snapshots of the
        daemon and its children taken while the report ran)."""
        server = ReportServer(
            ssl_context=self.ca.server_context(),
            default={"mode": "delay", "delay": delay, "body": b"{}"})
        self.addCleanup(server.stop)
        env = {"NETWORKPROXY_REPORT_URL":
                   "https://%s:%d/ping.json" % (host, server.port),
               "NETWORKPROXY_REPORT_TOKEN_FILE": self.token_file,
               "AWS_SHARED_CREDENTIALS_FILE": self.credentials,
               "no_proxy": "127.0.0.1,localhost"}
        if ca:
            env["NETWORKPROXY_REPORT_CA"] = self.ca.ca_file
        d = harness.Daemon(answers=[b"ok\n", b"version=1.0\n"], env=env)
        self.addCleanup(d.stop)
        self.assertTrue(d.wait_ready(40), d.stdout())
        d.send_line(b"i:door=1,mac=x\n")
        snapshots = []
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            for pid in [d.proc.pid] + child_pids(d.proc.pid):
                snap = _snapshot(pid)
                if snap:
                    snapshots.append(snap)
            if server.requests or d.wait_log(REPORT_FAILED, 0):
                break
            time.sleep(0.05)
        # Let the exchange finish while the server sleeps through its delay.
        time.sleep(delay + 1)
        return d.log_text(), server.requests, snapshots

    def test_verified_server_gets_token_that_no_process_shows(self):
        log, requests, snapshots = self.run_event("127.0.0.1", delay=2)
        self.assertEqual(len(requests), 1, log)
        self.assertEqual(requests[0]["path"], "/ping.json")
        self.assertEqual(requests[0]["headers"].get("Authorization"),
                         "Bearer " + TOKEN)
        self.assertNotIn(REPORT_FAILED, log)
        curls = [s for s in snapshots if s[0].startswith(b"/usr/bin/curl\0")]
        self.assertTrue(curls, "curl was never seen running")
        for cmdline, environ in snapshots:
            for secret in (TOKEN.encode(), SECRET.encode()):
                self.assertNotIn(secret, cmdline)
                self.assertNotIn(secret, environ)
        for _, environ in curls:
            names = sorted(v.split(b"=", 1)[0] for v in environ.split(b"\0") if v)
            self.assertEqual(names, [b"PATH", b"no_proxy"])
        self.assertNotIn(TOKEN, log)
        self.assertNotIn(SECRET, log)

    def test_private_ca_without_its_bundle_is_refused(self):
        log, requests, _ = self.run_event("127.0.0.1", ca=False)
        self.assertEqual(requests, [])
        self.assertIn("%scurl exit status %d" % (REPORT_FAILED,
                      CURL_PEER_FAILED_VERIFICATION), log)

    def test_certificate_for_another_host_name_is_refused(self):
        log, requests, _ = self.run_event("localhost")
        self.assertEqual(requests, [])
        self.assertIn("%scurl exit status %d" % (REPORT_FAILED,
                      CURL_PEER_FAILED_VERIFICATION), log)


if __name__ == "__main__":
    unittest.main()
