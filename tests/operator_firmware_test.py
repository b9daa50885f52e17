"""networkproxyctl firmware and status on a site's folder as the daemon
leaves it after hand-offs: what stands where, and retry, which ends a hold
by removing the daemon's hold file and nothing else, even as root in a
folder the service user writes."""

import json
import os
import unittest

from operator_check_test import ctl
from workdir import remove_folder, temp_folder

RECORD = "1.0.9\n1700000000\n3\nfailed\n"
METRICS = 'networkproxy_controller_info{version="1.0.8"} 1\n'


class FirmwareCommandTest(unittest.TestCase):
    def setUp(self):
        self.dir = temp_folder("np-fwctl-")
        self.addCleanup(remove_folder, self.dir)
        self.write("networkproxy", "NETWORKPROXY_METRICS_FILE=networkproxy.prom\n")
        self.write("networkproxy.prom", METRICS)

    def write(self, name, text):
        with open(os.path.join(self.dir, name), "w") as f:
            f.write(text)

    def run_ctl(self, *args):
        return ctl(*args, "--env-file", os.path.join(self.dir, "networkproxy"),
                   "--dir", self.dir)

    def test_shows_controller_floor_hand_off_and_hold_then_retry_ends_it(self):
        self.write("firmware-handoff.txt", RECORD)
        self.write("firmware-floor.txt", "1.0.8\n")
        self.write("firmware-held.txt", "1.0.9\n")
        code, out, _ = self.run_ctl("firmware")
        self.assertEqual(code, 0)
        self.assertEqual(out.splitlines(), [
            "controller firmware: 1.0.8",
            "floor: 1.0.8",
            "last hand-off: 1.0.9 at 2023-11-14T22:13:20Z, failed",
            "held: 1.0.9 - publish a newer version or run networkproxyctl firmware retry"])
        handoff = {"version": "1.0.9", "time": "2023-11-14T22:13:20Z", "result": "failed"}
        code, out, _ = self.run_ctl("firmware", "--json")
        self.assertEqual(json.loads(out), {"controller_version": "1.0.8", "floor": "1.0.8",
                                           "last_handoff": handoff, "held": "1.0.9"})
        code, out, _ = self.run_ctl("status", "--json")
        self.assertEqual(json.loads(out)["last_handoff"], handoff)
        code, out, _ = self.run_ctl("status")
        self.assertIn("last hand-off: 1.0.9 at 2023-11-14T22:13:20Z, failed\n", out)

        code, out, _ = self.run_ctl("firmware", "retry")
        self.assertEqual((code, out), (0, "Firmware 1.0.9 no longer held: the next check "
                                          "may hand it off again\n"))
        self.assertFalse(os.path.exists(os.path.join(self.dir, "firmware-held.txt")))
        self.assertEqual(self.run_ctl("firmware", "retry")[:2], (0, "no firmware version is held\n"))

    def test_nothing_yet_reads_as_none_and_null(self):
        code, out, _ = self.run_ctl("firmware", "--json")
        self.assertEqual(json.loads(out), {"controller_version": "1.0.8", "floor": None,
                                           "last_handoff": None, "held": None})
        self.assertIsNone(json.loads(self.run_ctl("status", "--json")[1])["last_handoff"])

    def test_linked_state_files_are_neither_read_nor_removed(self):
        secret = os.path.join(self.dir, "secret")
        self.write("secret", "root's secret\n")
        for name in ("firmware-handoff.txt", "firmware-floor.txt", "firmware-held.txt"):
            os.symlink(secret, os.path.join(self.dir, name))
        code, out, _ = self.run_ctl("firmware")
        self.assertEqual(code, 0)
        self.assertNotIn("secret", out)
        code, out, _ = self.run_ctl("firmware", "retry")
        self.assertEqual((code, out), (1, "firmware-held.txt - not a regular file\n"))
        self.assertTrue(os.path.islink(os.path.join(self.dir, "firmware-held.txt")))
        self.assertTrue(os.path.exists(secret))

    def test_usage(self):
        for args in (["firmware", "retry", "--json"], ["firmware", "--json", "retry"],
                     ["firmware", "x"]):
            with self.subTest(args=args):
                code, _, err = ctl(*args, cwd=self.dir)
                self.assertEqual(code, 2)
                self.assertIn("usage: networkproxyctl firmware", err)


if __name__ == "__main__":
    unittest.main()
