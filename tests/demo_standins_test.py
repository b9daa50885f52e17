"""The demo's whole set-up, without its prompts: simulated controller,
reporting stand-in, S3 stand-in and the real daemon. One event goes out, the
server gets the JSON, and the reply's commands come back on the wire; and
the same with the settings a site writes (credentials file, bucket, https
report URL with a private CA and a token)."""

import json
import os
import socket
import subprocess
import unittest

import harness
from processes import wait_until
from standins import ControllerSim, ReportStandin, S3Standin
from throwaway_ca import ThrowawayCa
from workdir import remove_folder, temp_folder

REPLY = {"cards": "AB,CD,EF", "colour": "green", "sequence": "7"}


@unittest.skipUnless(os.access(harness.BIN, os.X_OK),
                     "NETWORKPROXY_BIN is not set to the daemon binary; "
                     "ctest sets it")
class DemoStandinsTest(unittest.TestCase):
    def start(self, standin):
        self.addCleanup(standin.stop)
        return standin

    def test_event_reaches_server_and_reply_commands_reach_controller(self):
        s3 = self.start(S3Standin({"update.txt": b"1.0.8\n"}))
        report = self.start(ReportStandin(reply=REPLY))
        controller = self.start(ControllerSim("--version", "1.0.8",
                                              stdin=subprocess.PIPE))
        daemon = self.start(harness.Daemon(
            port=False, args=["-p", controller.tty, "-f", "firmware.hex"],
            env=harness.standin_env(report, s3)))

        def answered_twice():
            return sum(1 for e in controller.log()
                       if e.get("kind") == "version-answer") >= 2
        wait_until("the daemon's two version queries", answered_twice, 40,
                   daemon.proc)

        controller.proc.stdin.write(b"i:door=0,mac=00:11:22:33:44:55\n")
        controller.proc.stdin.flush()

        requests = wait_until("the report", report.requests, 20, daemon.proc)
        request = requests[0]
        self.assertEqual((request["method"], request["path"]),
                         ("POST", "/ping.json"))
        headers = {k.lower(): v for k, v in request["headers"]}
        self.assertEqual(headers.get("content-type"), "application/json")
        self.assertEqual(json.loads(request["body"]),
                         {"door": "t", "mac": socket.gethostname()[:31]})

        def reply_commands():
            rx = [e for e in controller.log()
                  if e["dir"] == "rx" and e["kind"] != "version"]
            return rx if len(rx) >= 3 else None
        rx = wait_until("the reply's commands on the wire", reply_commands,
                        20, daemon.proc)
        self.assertEqual([e["raw"] for e in rx],
                         ["s:3AB,CD,EF", "c:green", "f:7"])
        # The sequence follows the colour after a pause, not at once.
        self.assertGreater(rx[2]["t"] - rx[1]["t"], 2.0)
        self.assertEqual(len(requests), 1)

        # Its first firmware check went to the S3 stand-in and found the
        # controller current.
        wait_until("the first firmware check",
                   lambda: "Versions match" in daemon.log_text(), 20,
                   daemon.proc)
        self.assertIn(("GET", "update.txt", 200), s3.requests())
        self.assertTrue(daemon.alive())

    def test_site_settings_carry_event_over_https_and_sign_with_files_key(self):
        site = temp_folder("np-site-")
        self.addCleanup(remove_folder, site)
        ca = ThrowawayCa(site, names=["IP:127.0.0.1"])
        credentials = os.path.join(site, "aws-credentials")
        with open(credentials, "w") as f:
            f.write("[default]\naws_access_key_id = AKIASITEDEMO00000001\n"
                    "aws_secret_access_key = site/demo+secret/0123456789abcdef\n")
        token_file = os.path.join(site, "report-token")
        with open(token_file, "w") as f:
            f.write("demo-token-1234\n")
        # The stand-in takes only the file's pair, so a check signed with
        # the compiled-in one would be refused.
        s3 = self.start(S3Standin({"update.txt": b"1.0.8\n"},
                                  bucket="site-firmware", key_file=credentials))
        report = self.start(ReportStandin(reply={}, tls=ca))
        controller = self.start(ControllerSim("--version", "1.0.8",
                                              stdin=subprocess.PIPE))
        env = harness.standin_env(s3=s3)
        env.update({
            "AWS_SHARED_CREDENTIALS_FILE": credentials,
            "NETWORKPROXY_FIRMWARE_BUCKET": "site-firmware",
            "NETWORKPROXY_REPORT_URL":
                "https://127.0.0.1:%d/ping.json" % report.port,
            "NETWORKPROXY_REPORT_CA": ca.ca_file,
            "NETWORKPROXY_REPORT_TOKEN_FILE": token_file,
            "no_proxy": "127.0.0.1"})
        daemon = self.start(harness.Daemon(
            port=False, args=["-p", controller.tty, "-f", "firmware.hex"],
            env=env))

        wait_until("the first firmware check",
                   lambda: "Versions match" in daemon.log_text(), 60,
                   daemon.proc)
        self.assertEqual(s3.requests(), [("GET", "update.txt", 200)])

        controller.proc.stdin.write(b"i:door=0\n")
        controller.proc.stdin.flush()
        request = wait_until("the report", report.requests, 20,
                             daemon.proc)[0]
        headers = {k.lower(): v for k, v in request["headers"]}
        self.assertEqual(headers.get("authorization"), "Bearer demo-token-1234")
        self.assertEqual(json.loads(request["body"]), {"door": "t"})
        self.assertNotIn("Error", daemon.log_text())


if __name__ == "__main__":
    unittest.main()
