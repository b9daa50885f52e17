"""What became of a hand-off, told at the next start once the controller
has answered: installed when it reports the version handed off, a failure
counted when it does not, and after the third failure in a row that version
is held: the check goes on but never asks for its image again, until a newer
version is published. Each scenario starts with the record a hand-off left."""

import os
import time
import unittest

from firmware_scenarios import (CHECKING, DOWNLOADING, HANDOFF_RECORD,
                                HELD_FILE, MATCH, METRICS_FILE, MISMATCH,
                                NEW_IMAGE, OLD_IMAGE, Scenario, ScenarioCase)
from notify_socket import NotifySocket

NOTIFY = NotifySocket()
PUBLISHED_19 = {"update.txt": b"1.0.9\n", "Version_1.0.9.hex": NEW_IMAGE}
STILL_OLD = r"^Error: Update to 1\.0\.9 was handed off at [-0-9: ]+; the controller still reports 1\.0\.8$"
HELD_19 = ("Firmware 1.0.9 held after 3 failed installs - publish a newer version"
           " or run networkproxyctl firmware retry")


def tearDownModule():
    NOTIFY.close()


def _files(**files):
    """A prepare step that writes {name: text} into the working folder."""
    def prepare(workdir):
        for name, text in files.items():
            with open(os.path.join(workdir, name), "w") as f:
                f.write(text)
    return prepare


def _record(attempts, age=120):
    return "1.0.9\n%d\n%d\npending\n" % (time.time() - age, attempts)


def after_handoff(objects, version, attempts, age=120, checks=1, **files):
    return Scenario(objects, version=version, old_image=OLD_IMAGE, checks=checks,
                    env={"NETWORKPROXY_METRICS_FILE": METRICS_FILE,
                         "NOTIFY_SOCKET": NOTIFY.path},
                    prepare=_files(**{HANDOFF_RECORD: _record(attempts, age)}, **files))


class InstallOutcomeTest(ScenarioCase):
    SCENARIOS = {
        "installed": after_handoff(PUBLISHED_19, "1.0.9", 1),
        # Start-up: the failure; the check: the hour's guard.
        "not_installed": after_handoff(PUBLISHED_19, "1.0.8", 1, checks=2),
        # Past the hour, the third hand-off failed: start-up tells the
        # failure and the hold, the check the hold.
        "third_failure": after_handoff(PUBLISHED_19, "1.0.8", 3, age=7200, checks=3),
        "newer_ends_hold": Scenario(
            {"update.txt": b"1.0.10\n", "Version_1.0.10.hex": NEW_IMAGE},
            old_image=OLD_IMAGE, prepare=_files(**{HELD_FILE: "1.0.9\n"})),
    }

    def assertMetric(self, o, sample):
        self.assertIn(sample + "\n", o.metrics)

    def test_controller_reporting_the_handed_off_version_is_installed(self):
        o = self.outcome("installed")
        self.assertKeptRunning(o, [CHECKING, MATCH], OLD_IMAGE)
        self.assertIn("Firmware 1.0.9 installed", o.messages)
        self.assertTrue(any(v.endswith("; Firmware 1.0.9 installed")
                            for v in NOTIFY.values("STATUS")), NOTIFY.values("STATUS"))
        self.assertEqual(o.handoff_record.decode().split("\n")[2:4], ["1", "installed"])
        self.assertMetric(o, 'networkproxy_firmware_installs_total{result="installed"} 1')
        self.assertMetric(o, "networkproxy_firmware_held 0")
        self.assertMetric(o, 'networkproxy_firmware_floor_info{version="1.0.9"} 1')
        self.assertEqual(o.floor, b"1.0.9\n")

    def test_controller_still_on_the_old_version_counts_a_failure(self):
        o = self.outcome("not_installed")
        self.assertEqual(o.lines[1:3], [CHECKING, MISMATCH], self.describe(o))
        for line in (o.lines[0], o.lines[3]):
            self.assertRegex(line, STILL_OLD)
        self.assertNotIn("Firmware 1.0.9 installed", o.messages)
        self.assertEqual(o.handoff_record.decode().split("\n")[2:4], ["1", "failed"])
        self.assertMetric(o, 'networkproxy_firmware_installs_total{result="failed"} 1')
        self.assertMetric(o, 'networkproxy_firmware_installs_total{result="installed"} 0')
        self.assertIsNone(o.held)
        self.assertRequested(o, ["update.txt"])

    def test_third_failed_install_holds_the_version(self):
        o = self.outcome("third_failure")
        self.assertRegex(o.lines[0], STILL_OLD)
        self.assertEqual(o.lines[1:], [HELD_19.split(" - ")[0], CHECKING, MISMATCH,
                                       HELD_19.split(" - ")[0]], self.describe(o))
        self.assertEqual(o.messages.count(HELD_19), 2)
        self.assertEqual(o.held, b"1.0.9\n")
        self.assertMetric(o, "networkproxy_firmware_held 1")
        self.assertIn('networkproxy_last_firmware_check_info{result="ok",reason="Firmware 1.0.9 held',
                      o.metrics)
        self.assertTrue(o.alive)
        self.assertIsNone(o.sudo_argv, "update script was started again")
        self.assertRequested(o, ["update.txt"])

    def test_newer_published_version_ends_the_hold(self):
        o = self.outcome("newer_ends_hold")
        self.assertIn("Firmware 1.0.9 no longer held: 1.0.10 published", o.messages)
        self.assertEqual(o.lines, [CHECKING, MISMATCH, DOWNLOADING], self.describe(o))
        self.assertIsNone(o.held)
        self.assertHandedOff(o)
        self.assertEqual(o.handoff_record.decode().split("\n")[2:4], ["1", "pending"])


if __name__ == "__main__":
    unittest.main()
