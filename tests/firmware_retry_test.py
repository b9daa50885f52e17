"""Checks after the first one: a check that failed must leave the daemon
ready to try again a minute later, with its credentials set anew. These
runs last two checks (over 70 s), so they have a module of their own and
run beside the others."""

import unittest

from firmware_scenarios import (CHECKING, DOWNLOAD_ERROR, DOWNLOADING, MISMATCH,
                                NEW_IMAGE, OLD_IMAGE, READ_ERROR, Scenario,
                                ScenarioCase)

# The worker waits 60 s between checks; the rest is start-up and margin.
TWO_CHECKS = 150


def _serve_whole_images(s3):
    s3.set_faults({})


def _publish(s3):
    s3.put("Version_1.0.9.hex", NEW_IMAGE)
    s3.put("update.txt", b"1.0.9\n")


class FirmwareRetryTest(ScenarioCase):
    SCENARIOS = {
        "cut_short_then_whole": Scenario(
            {"update.txt": b"1.0.9\n", "Version_1.0.9.hex": NEW_IMAGE},
            {"Version_1.0.9.hex": {"mode": "short"}},
            old_image=OLD_IMAGE, checks=2, deadline=TWO_CHECKS,
            on_line=(DOWNLOAD_ERROR, _serve_whole_images)),
        "published_later": Scenario(
            {}, old_image=OLD_IMAGE, checks=2, deadline=TWO_CHECKS,
            on_line=(READ_ERROR, _publish)),
    }

    def test_failed_download_is_tried_again_at_next_check(self):
        o = self.outcome("cut_short_then_whole")
        self.assertEqual(o.lines, [CHECKING, MISMATCH, DOWNLOAD_ERROR,
                                        CHECKING, MISMATCH, DOWNLOADING],
                         self.describe(o))
        self.assertEqual(o.requests[-1], ("GET", "Version_1.0.9.hex", 200))
        self.assertHandedOff(o)

    def test_version_file_missing_at_first_check_is_found_later(self):
        o = self.outcome("published_later")
        self.assertEqual(o.lines, [CHECKING, READ_ERROR,
                                        CHECKING, MISMATCH, DOWNLOADING],
                         self.describe(o))
        self.assertEqual([s for _, _, s in o.requests], [404, 200, 200])
        self.assertHandedOff(o)


if __name__ == "__main__":
    unittest.main()
