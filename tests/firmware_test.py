"""The firmware update check, end to end, on the paths that end in a match
or a hand-off. Each scenario is one daemon run; the scenarios of a module run
side by side and the tests then look at what each one left behind. The
fault paths live in firmware_faults_test and the checks after the first one
in firmware_retry_test.
"""

import os
import time
import unittest

from firmware_scenarios import (CHECKING, DOWNLOADING, HANDOFF_RECORD, MATCH,
                                MISMATCH, NEW_IMAGE, OLD_IMAGE, UNUSABLE,
                                Scenario, ScenarioCase)

LONG_LINE = "2.0.0-" + "abcdefghij" * 3 + "klmn"   # 40 characters
assert len(LONG_LINE) == 40


PUBLISHED_19 = {"update.txt": b"1.0.9\n", "Version_1.0.9.hex": NEW_IMAGE}


def _write_record(workdir, version, when):
    with open(os.path.join(workdir, HANDOFF_RECORD), "w") as f:
        f.write("%s\n%d\n" % (version, int(when)))


class FirmwareCheckTest(ScenarioCase):
    SCENARIOS = {
        "match": Scenario({"update.txt": b"1.0.8\n",
                           "Version_1.0.8.hex": NEW_IMAGE}),
        "mismatch": Scenario({"update.txt": b"1.0.9\nnotes for people\n",
                              "Version_1.0.9.hex": NEW_IMAGE,
                              "Version_1.0.8.hex": b"wrong image"},
                             old_image=OLD_IMAGE),
        "crlf_match": Scenario({"update.txt": b"1.0.8\r\n",
                                "Version_1.0.8.hex": NEW_IMAGE}),
        "crlf_mismatch": Scenario({"update.txt": b"1.0.9\r\n",
                                   "Version_1.0.9.hex": NEW_IMAGE}),
        "empty_version_file": Scenario({"update.txt": b"",
                                        "Version_.hex": NEW_IMAGE}),
        "path_in_version": Scenario(
            {"update.txt": b"/../../other-bucket/evil\n"}),
        "bom_and_blanks": Scenario({"update.txt": b"\xef\xbb\xbf1.0.8 \t\r\n"}),
        "recent_handoff": Scenario(
            PUBLISHED_19, checks=2,
            prepare=lambda d: _write_record(d, "1.0.9", time.time() - 120)),
        "long_first_line": Scenario(
            {"update.txt": LONG_LINE.encode() + b"\n",
             "Version_%s.hex" % LONG_LINE[:31]: NEW_IMAGE}),
        "silent_controller": Scenario({"update.txt": b"1.0.8\n",
                                       "Version_1.0.8.hex": NEW_IMAGE},
                                      version=None),
        "image_elsewhere": Scenario(
            {"update.txt": b"1.0.9\n", "Version_1.0.9.hex": NEW_IMAGE},
            args=["-f", "images/controller.hex"],
            image="images/controller.hex", old_image=OLD_IMAGE,
            prepare=lambda d: os.mkdir(os.path.join(d, "images"))),
    }

    def test_matching_version_fetches_nothing_more(self):
        o = self.outcome("match")
        self.assertIn("Firmware Version: 1.0.8", o.stdout)
        self.assertKeptRunning(o, [CHECKING, MATCH])
        self.assertEqual(o.requests, [("GET", "update.txt", 200)])

    def test_new_version_is_handed_over_byte_for_byte(self):
        o = self.outcome("mismatch")
        self.assertEqual(o.lines, [CHECKING, MISMATCH, DOWNLOADING])
        self.assertRequested(o, ["update.txt", "Version_1.0.9.hex"])
        self.assertHandedOff(o)

    def test_image_path_in_another_folder_is_replaced_whole(self):
        o = self.outcome("image_elsewhere")
        self.assertEqual(o.lines, [CHECKING, MISMATCH, DOWNLOADING])
        self.assertHandedOff(o)

    def test_crlf_version_file_matches_controller(self):
        o = self.outcome("crlf_match")
        self.assertKeptRunning(o, [CHECKING, MATCH])
        self.assertRequested(o, ["update.txt"])

    def test_crlf_version_file_names_image_without_cr(self):
        o = self.outcome("crlf_mismatch")
        self.assertRequested(o, ["update.txt", "Version_1.0.9.hex"])
        self.assertHandedOff(o)

    def test_empty_version_file_names_no_image(self):
        o = self.outcome("empty_version_file")
        self.assertKeptRunning(o, [CHECKING, UNUSABLE])
        self.assertRequested(o, ["update.txt"])

    def test_version_naming_another_path_is_refused(self):
        o = self.outcome("path_in_version")
        self.assertKeptRunning(o, [CHECKING, UNUSABLE])
        self.assertRequested(o, ["update.txt"])

    def test_mark_and_trailing_blanks_still_match(self):
        o = self.outcome("bom_and_blanks")
        self.assertKeptRunning(o, [CHECKING, MATCH])

    def test_hand_off_is_recorded_and_not_repeated_within_the_hour(self):
        o = self.outcome("mismatch")
        version, when = o.handoff_record.decode().split("\n")[:2]
        self.assertEqual(version, "1.0.9")
        self.assertLess(abs(int(when) - time.time()), 300)
        # A record as daemons before install outcomes wrote it: start-up
        # tells its failure, the check holds back the same version.
        o = self.outcome("recent_handoff")
        self.assertEqual(len(o.lines), 4, self.describe(o))
        self.assertEqual(o.lines[1:3], [CHECKING, MISMATCH])
        for line in (o.lines[0], o.lines[3]):
            self.assertRegex(line, r"^Error: Update to 1\.0\.9 was handed off at "
                             r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d; the controller still "
                             r"reports 1\.0\.8$")
        self.assertTrue(o.alive)
        self.assertIsNone(o.sudo_argv, "update script was started again")
        self.assertRequested(o, ["update.txt"])

    def test_overlong_version_line_is_cut_to_31_characters(self):
        o = self.outcome("long_first_line")
        self.assertRequested(o, ["update.txt", "Version_%s.hex" % LONG_LINE[:31]])
        self.assertHandedOff(o)

    def test_silent_controller_updates_at_first_check(self):
        o = self.outcome("silent_controller")
        self.assertNotIn("Firmware Version:", o.stdout)
        self.assertEqual(o.lines, [CHECKING, MISMATCH, DOWNLOADING])
        self.assertRequested(o, ["update.txt", "Version_1.0.8.hex"])
        self.assertHandedOff(o)


if __name__ == "__main__":
    unittest.main()
