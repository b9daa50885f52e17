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


# Another build of 1.0.9 under the same key: a new ETag.
REBUILT_IMAGE = NEW_IMAGE[::-1]


def _republish(s3):
    s3.put("Version_1.0.9.hex", REBUILT_IMAGE)
    s3.set_faults({})


def _requests_with_status(o, status):
    return [r for r in o.requests if r[2] == status]


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
        "cut_short_then_changed": Scenario(
            {"update.txt": b"1.0.9\n", "Version_1.0.9.hex": NEW_IMAGE},
            {"Version_1.0.9.hex": {"mode": "short", "bytes": 1000}},
            old_image=OLD_IMAGE, checks=2, deadline=TWO_CHECKS,
            on_line=(DOWNLOAD_ERROR, _republish)),
        "published_later": Scenario(
            {}, old_image=OLD_IMAGE, checks=2, deadline=TWO_CHECKS,
            on_line=(READ_ERROR, _publish)),
    }

    def test_cut_download_resumes_at_next_check_and_is_handed_off_whole(self):
        o = self.outcome("cut_short_then_whole")
        self.assertEqual(o.lines, [CHECKING, MISMATCH, DOWNLOAD_ERROR,
                                        CHECKING, MISMATCH, DOWNLOADING],
                         self.describe(o))
        # Each cut answer is kept and the rest asked for: within the first
        # check (3 attempts) and at the second, which gets the rest whole.
        image = [r for r in o.requests if r[1] == "Version_1.0.9.hex"]
        self.assertEqual([s for _, _, s in image], [200, 206, 206, 206], self.describe(o))
        resumed = [m for m in o.messages if m.startswith("Resuming firmware download of 1.0.9 at ")]
        self.assertEqual(len(resumed), 3, self.describe(o))
        self.assertTrue(resumed[-1].endswith(" of %d bytes" % len(NEW_IMAGE)), resumed)
        self.assertHandedOff(o)

    def test_changed_object_is_fetched_whole_again(self):
        o = self.outcome("cut_short_then_changed")
        self.assertEqual(o.lines, [CHECKING, MISMATCH, DOWNLOAD_ERROR,
                                        CHECKING, MISMATCH, DOWNLOADING],
                         self.describe(o))
        # The part's ETag no longer matches (If-Match: 412): the part goes
        # and the new object comes whole; nothing of the old one is in it.
        self.assertEqual(o.requests[-2:], [("GET", "Version_1.0.9.hex", 412),
                                           ("GET", "Version_1.0.9.hex", 200)],
                         self.describe(o))
        self.assertTrue(any(m.startswith("Resuming firmware download of 1.0.9 at 3000 of ")
                            for m in o.messages), self.describe(o))
        self.assertHandedOff(o, image=REBUILT_IMAGE)

    def test_version_file_missing_at_first_check_is_found_later(self):
        o = self.outcome("published_later")
        self.assertEqual(o.lines, [CHECKING, READ_ERROR,
                                        CHECKING, MISMATCH, DOWNLOADING],
                         self.describe(o))
        self.assertEqual([s for _, _, s in o.requests], [404, 200, 200])
        self.assertHandedOff(o)


if __name__ == "__main__":
    unittest.main()
