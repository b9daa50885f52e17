"""The firmware update check when something goes wrong: the bucket refuses
or lacks an object, the transfer breaks, the image cannot be written, or
there is no update script. None of these may hand a partial or stale image
to the script, touch the image already on disk, or end the daemon."""

import os
import unittest

import harness

from firmware_scenarios import (ACCESS_KEY, CHECKING, DOWNLOAD_ERROR,
                                DOWNLOADING, MATCH, MISMATCH, NEW_IMAGE,
                                NO_SCRIPT, OLD_IMAGE, READ_ERROR, SECRET_KEY,
                                IMAGE, WRITE_ERROR, Scenario, ScenarioCase)

PUBLISHED = {"update.txt": b"1.0.9\n", "Version_1.0.9.hex": NEW_IMAGE}
PUBLISHED_KEYS = ["update.txt", "Version_1.0.9.hex"]
# Long enough to span many reads, and many chunks when sent slowly.
BIG_IMAGE = NEW_IMAGE * 3


def image_fault(fault):
    return {"Version_1.0.9.hex": fault}


def _write(path, data, mode=None):
    with open(path, "wb") as f:
        f.write(data)
    if mode is not None:
        os.chmod(path, mode)


def _file_in_the_way(workdir):
    _write(os.path.join(workdir, "notadir"), b"a file, not a folder\n")


def _directory_at_target(workdir):
    os.mkdir(os.path.join(workdir, "images"))
    _write(os.path.join(workdir, "images", "keep"), b"keep\n")


def _read_only_folder(workdir):
    folder = os.path.join(workdir, "ro")
    os.mkdir(folder)
    _write(os.path.join(folder, "fw.hex"), OLD_IMAGE)
    os.chmod(folder, 0o555)


# Root ignores permission bits; without any capability it is held to them
# like every other user.
NO_CAPABILITIES = ["setpriv", "--inh-caps=-all", "--bounding-set=-all", "--"]


class FirmwareFaultTest(ScenarioCase):
    SCENARIOS = {
        # The slowest first, so the rest run while it waits.
        # The server holds the connection open far longer than the run may
        # last: only the client's own give-up ends the check.
        "stalled_body": Scenario(PUBLISHED, image_fault({"mode": "stall",
                                                              "delay": 600}),
                                      old_image=OLD_IMAGE, deadline=150),
        "version_missing": Scenario({"Version_1.0.9.hex": NEW_IMAGE},
                                         old_image=OLD_IMAGE),
        "refused_signature": Scenario(
            PUBLISHED, secret_key="wJalrXUtnFEMI/K7MDENG/bPxRfiCYEXAMPLEKEZ",
            old_image=OLD_IMAGE),
        "version_server_error": Scenario(
            PUBLISHED, {"update.txt": {"status": 500}}, old_image=OLD_IMAGE),
        "endpoint_refused": Scenario(
            PUBLISHED, old_image=OLD_IMAGE,
            env={"AWS_ENDPOINT_URL_S3":
                 "http://127.0.0.1:%d" % harness.closed_port()}),
        "image_missing": Scenario({"update.txt": b"1.0.9\n"},
                                       old_image=OLD_IMAGE),
        "cut_short": Scenario(PUBLISHED, image_fault({"mode": "short"}),
                                   old_image=OLD_IMAGE),
        "bad_checksum": Scenario(PUBLISHED,
                                      image_fault({"mode": "bad-checksum"}),
                                      old_image=OLD_IMAGE),
        "connection_dropped": Scenario(PUBLISHED,
                                            image_fault({"mode": "close"}),
                                            old_image=OLD_IMAGE),
        "no_script": Scenario(PUBLISHED, script=False, old_image=OLD_IMAGE),
        "folder_missing": Scenario(PUBLISHED, args=["-f", "missing/fw.hex"],
                                        image="missing/fw.hex"),
        "folder_is_a_file": Scenario(PUBLISHED, args=["-f", "notadir/fw.hex"],
                                          image="notadir/fw.hex",
                                          prepare=_file_in_the_way),
        "target_is_a_folder": Scenario(PUBLISHED, args=["-f", "images"],
                                            image="images",
                                            prepare=_directory_at_target),
        "read_only_folder": Scenario(PUBLISHED, args=["-f", "ro/fw.hex"],
                                          image="ro/fw.hex",
                                          prepare=_read_only_folder,
                                          wrapper=NO_CAPABILITIES),
        "server_errors_then_success": Scenario(
            {"update.txt": b"1.0.9\n", "Version_1.0.9.hex": NEW_IMAGE},
            {"update.txt": {"status": 500, "times": 1},
             "Version_1.0.9.hex": {"status": 503, "times": 1}},
            old_image=OLD_IMAGE),
        "slow_body": Scenario({"update.txt": b"1.0.9\n",
                                    "Version_1.0.9.hex": BIG_IMAGE},
                                   image_fault({"mode": "slow", "chunk": 2048,
                                                "delay": 1.0})),
        "big_version_file": Scenario(
            {"update.txt": b"1.0.8\n" + b"1.0.9 and a lot of notes\n" * 42000,
             "Version_1.0.9.hex": NEW_IMAGE}),
    }

    def assertDownloadRefused(self, o, kept=()):
        self.assertKeptRunning(o, [CHECKING, MISMATCH, DOWNLOAD_ERROR],
                                    image=OLD_IMAGE, kept=kept)
        self.assertEqual(o.requests[0], ("GET", "update.txt", 200))
        # A version file that answered past its deadline (an emulated board
        # under load) is asked for again; after it, only the image.
        keys = [k for _, k, _ in o.requests]
        first_image = next((i for i, k in enumerate(keys) if k != "update.txt"), len(keys))
        self.assertTrue(all(k == "Version_1.0.9.hex" for k in keys[first_image:]),
                        self.describe(o))

    # -- the version file cannot be had -------------------------------------

    def test_missing_version_file_is_one_request_and_no_update(self):
        o = self.outcome("version_missing")
        self.assertKeptRunning(o, [CHECKING, READ_ERROR], image=OLD_IMAGE)
        self.assertEqual(o.requests, [("GET", "update.txt", 404)])

    def test_refused_signature_is_not_retried_or_taken_as_a_version(self):
        o = self.outcome("refused_signature")
        self.assertKeptRunning(o, [CHECKING, READ_ERROR], image=OLD_IMAGE)
        self.assertEqual(o.requests, [("GET", "update.txt", 403)])

    def test_version_file_server_error_is_given_up_after_retries(self):
        o = self.outcome("version_server_error")
        self.assertKeptRunning(o, [CHECKING, READ_ERROR], image=OLD_IMAGE)
        self.assertEqual(o.requests, [("GET", "update.txt", 500)] * 3)

    # -- why: each error line names its cause ---------------------------------

    def test_each_failure_line_names_its_cause(self):
        causes = {
            "version_missing": (READ_ERROR, "HTTP 404 NoSuchKey"),
            "refused_signature": (READ_ERROR, "HTTP 403 SignatureDoesNotMatch"),
            "version_server_error": (READ_ERROR, "HTTP 500 InternalError (after 3 attempts)"),
            "endpoint_refused": (READ_ERROR, "network: "),
            "image_missing": (DOWNLOAD_ERROR, "HTTP 404 NoSuchKey"),
            "cut_short": (DOWNLOAD_ERROR, "network: transfer closed"),
            "bad_checksum": (DOWNLOAD_ERROR, "checksum mismatch"),
            "read_only_folder": (WRITE_ERROR, "Permission denied"),
            "folder_missing": (WRITE_ERROR, "No such file or directory"),
            "no_script": (NO_SCRIPT, "No such file or directory"),
        }
        for name, (line, cause) in causes.items():
            with self.subTest(name):
                o = self.outcome(name)
                self.assertIn(cause, o.reasons.get(line, ""), self.describe(o))

    def test_refused_connection_reason_says_so(self):
        o = self.outcome("endpoint_refused")
        self.assertKeptRunning(o, [CHECKING, READ_ERROR], image=OLD_IMAGE)
        self.assertRegex(o.reasons[READ_ERROR].lower(),
                         "refused|couldn't connect")

    def test_refused_key_puts_no_secret_into_the_log(self):
        text = "\n".join(self.outcome("refused_signature").messages)
        for secret in (SECRET_KEY, ACCESS_KEY, "Signature=", "X-Amz-"):
            self.assertNotIn(secret, text)

    # -- the image cannot be had whole --------------------------------------

    def test_missing_image_keeps_old_image(self):
        o = self.outcome("image_missing")
        self.assertDownloadRefused(o)
        self.assertEqual(o.requests[1:], [("GET", "Version_1.0.9.hex", 404)])

    def test_body_shorter_than_content_length_is_not_handed_over(self):
        # What arrived waits, apart from the image, for the next check.
        self.assertDownloadRefused(self.outcome("cut_short"),
                                   kept=[IMAGE + ".part", IMAGE + ".part.etag"])

    def test_checksum_mismatch_is_not_handed_over(self):
        self.assertDownloadRefused(self.outcome("bad_checksum"))

    def test_connection_closed_without_answer_is_not_handed_over(self):
        self.assertDownloadRefused(self.outcome("connection_dropped"))

    def test_server_that_stops_sending_is_given_up(self):
        self.assertDownloadRefused(self.outcome("stalled_body"))

    # -- transient trouble that must not stop an update ---------------------

    def test_server_error_once_is_retried_within_the_check(self):
        o = self.outcome("server_errors_then_success")
        self.assertEqual(o.lines, [CHECKING, MISMATCH, DOWNLOADING])
        self.assertEqual(o.requests, [("GET", "update.txt", 500),
                                           ("GET", "update.txt", 200),
                                           ("GET", "Version_1.0.9.hex", 503),
                                           ("GET", "Version_1.0.9.hex", 200)])
        self.assertHandedOff(o)

    def test_slow_but_steady_body_arrives_whole(self):
        o = self.outcome("slow_body")
        self.assertEqual(o.lines, [CHECKING, MISMATCH, DOWNLOADING])
        self.assertRequested(o, PUBLISHED_KEYS)
        self.assertHandedOff(o, image=BIG_IMAGE)

    def test_version_file_beyond_its_bound_is_refused_once(self):
        o = self.outcome("big_version_file")
        self.assertKeptRunning(o, [CHECKING, READ_ERROR])
        self.assertEqual(o.requests, [("GET", "update.txt", 200)])

    # -- the update cannot be carried out -------------------------------------

    def test_missing_update_script_stops_before_download(self):
        o = self.outcome("no_script")
        self.assertKeptRunning(o, [CHECKING, MISMATCH, NO_SCRIPT],
                                    image=OLD_IMAGE)
        self.assertEqual(o.requests, [("GET", "update.txt", 200)])

    def assertWriteRefused(self, o, image=None):
        self.assertKeptRunning(
            o, [CHECKING, MISMATCH, DOWNLOADING, WRITE_ERROR], image=image)
        self.assertRequested(o, PUBLISHED_KEYS)

    def assertNoPlaceForImage(self, o, image=None):
        """The image streams to a file beside its path: where none can be
        made, nothing is downloaded."""
        self.assertKeptRunning(o, [CHECKING, MISMATCH, WRITE_ERROR], image=image)
        self.assertRequested(o, ["update.txt"])

    def test_image_path_in_missing_folder_is_not_handed_over(self):
        self.assertNoPlaceForImage(self.outcome("folder_missing"))

    def test_image_path_under_a_file_is_not_handed_over(self):
        self.assertNoPlaceForImage(self.outcome("folder_is_a_file"))

    def test_image_path_naming_a_folder_leaves_no_temporary_file(self):
        self.assertWriteRefused(self.outcome("target_is_a_folder"))

    def test_read_only_image_folder_keeps_old_image(self):
        self.assertNoPlaceForImage(self.outcome("read_only_folder"),
                                   image=OLD_IMAGE)

if __name__ == "__main__":
    unittest.main()
