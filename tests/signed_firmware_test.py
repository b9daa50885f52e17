"""Signed firmware, end to end: the daemon started with
NETWORKPROXY_FIRMWARE_PUBLIC_KEY against the S3 stand-in. Keys are made and
images signed with tools/sign-firmware, as a release machine would.

Only an image whose .sig verifies with the site's key, for the version
published, may be written and handed off; anything else leaves the image on
disk alone, starts no script, and the next check tries again. A version older
than the controller's is refused before the image is asked for. A key that
cannot be used stops every check before it asks the bucket for anything,
while events are still reported."""

import base64
import hashlib
import os
import subprocess
import time
import unittest

import harness
from firmware_scenarios import (CHECKING, DOWNLOADING, FLOOR_FILE, MISMATCH, NEW_IMAGE,
                                OLD_IMAGE, SIGNATURE_INVALID,
                                SIGNATURE_MISSING, Scenario, ScenarioCase)
from notify_socket import NotifySocket
from standins import ReportServer, S3Standin
from workdir import remove_folder, temp_folder

HERE = os.path.dirname(os.path.abspath(__file__))
SIGN_FIRMWARE = os.path.join(HERE, os.pardir, "tools", "sign-firmware")
IMAGE_KEY = "Version_1.0.9.hex"
SIG_KEY = IMAGE_KEY + ".sig"
KEY_ERROR = "Error: Firmware public key - "
TWO_CHECKS = 150  # the worker waits 60 s between checks

KEYS = temp_folder("np-sigkeys-")
NOTIFY = NotifySocket()


def tearDownModule():
    NOTIFY.close()
    remove_folder(KEYS)


def _new_key(name):
    folder = os.path.join(KEYS, name)
    subprocess.run([SIGN_FIRMWARE, "--new-key", folder], check=True,
                   stdout=subprocess.DEVNULL)
    return folder


def _sign(key_folder, image, version="1.0.9"):
    """The raw signature tools/sign-firmware makes of `image` as `version`."""
    path = os.path.join(KEYS, "image-%d.hex" % len(os.listdir(KEYS)))
    with open(path, "wb") as f:
        f.write(image)
    subprocess.run([SIGN_FIRMWARE,
                    os.path.join(key_folder, "firmware-signing.key"), path,
                    version],
                   check=True, stdout=subprocess.DEVNULL)
    with open(path + ".sig", "rb") as f:
        return f.read()


SITE = _new_key("site")
SITE_PUBLIC = os.path.join(SITE, "firmware-public.pem")
SIGNATURE = _sign(SITE, NEW_IMAGE)
assert len(SIGNATURE) == 64
TAMPERED = bytearray(NEW_IMAGE)
TAMPERED[len(TAMPERED) // 2] ^= 0x01
TAMPERED = bytes(TAMPERED)
# The attack without the key: an old image with its genuine signature,
# copied under the new version's name.
RELEASE_103 = b":00000001FF\r\nrelease 1.0.3\n"
SIGNATURE_103 = _sign(SITE, RELEASE_103, "1.0.3")


def signed(signature, image=NEW_IMAGE, version="1.0.9"):
    key = "Version_%s.hex" % version
    objects = {"update.txt": version.encode() + b"\n", key: image}
    if signature is not None:
        objects[key + ".sig"] = signature
    return objects


def with_key(objects, **kwargs):
    return Scenario(objects, old_image=OLD_IMAGE,
                    wrapper=["env", "NETWORKPROXY_FIRMWARE_PUBLIC_KEY=" + SITE_PUBLIC],
                    **kwargs)


def _publish_signature(s3):
    s3.put(SIG_KEY, SIGNATURE)


def _floor(version):
    def prepare(workdir):
        with open(os.path.join(workdir, FLOOR_FILE), "w") as f:
            f.write(version + "\n")
    return prepare


DOWNLOADED = [CHECKING, MISMATCH, DOWNLOADING]


class SignedFirmwareTest(ScenarioCase):
    SCENARIOS = {
        # The slowest first, so the rest run while it waits.
        "signature_published_later": with_key(
            signed(None), checks=2, deadline=TWO_CHECKS,
            on_line=(SIGNATURE_MISSING, _publish_signature)),
        "raw": with_key(signed(SIGNATURE), env={"NOTIFY_SOCKET": NOTIFY.path}),
        "base64": with_key(signed(base64.b64encode(SIGNATURE) + b"\n")),
        "missing": with_key(signed(None)),
        "tampered_image": with_key(signed(SIGNATURE, TAMPERED)),
        "truncated": with_key(signed(SIGNATURE[:63])),
        "relabelled": with_key(signed(SIGNATURE_103, RELEASE_103)),
        "downgrade": with_key(signed(SIGNATURE_103, RELEASE_103, "1.0.3")),
        # The newest release the controller has run outlives a silent start.
        "silent_with_floor": with_key(signed(SIGNATURE_103, RELEASE_103, "1.0.3"),
                                      version=None, prepare=_floor("1.0.8")),
        # A suffix glued to the number has no place in the release order.
        "not_a_release": with_key(signed(SIGNATURE, version="1.0.9a")),
    }

    def test_genuine_signature_raw_or_base64_is_handed_off(self):
        for name in ("raw", "base64"):
            with self.subTest(name):
                o = self.outcome(name)
                self.assertEqual(o.lines, DOWNLOADED, self.describe(o))
                self.assertRequested(o, ["update.txt", IMAGE_KEY, SIG_KEY])
                self.assertHandedOff(o)
                self.assertEqual(o.image_sig, SIGNATURE, "raw signature beside the image")
        line = ("Handing off firmware 1.0.9 (%d bytes, sha256 %s) to ./fw-update.sh"
                % (len(NEW_IMAGE), hashlib.sha256(NEW_IMAGE).hexdigest()))
        self.assertIn(line, self.outcome("raw").messages)
        self.assertIn(line, NOTIFY.values("STATUS"))

    def test_missing_signature_refuses_the_image(self):
        o = self.outcome("missing")
        self.assertKeptRunning(o, DOWNLOADED + [SIGNATURE_MISSING], OLD_IMAGE)
        self.assertRequested(o, ["update.txt", IMAGE_KEY, SIG_KEY])

    # Which signatures fit which bytes is shown in the unit tests; here one
    # that does not verify and one that cannot be decoded.
    def test_signature_that_does_not_fit_refuses_the_image(self):
        for name in ("tampered_image", "truncated", "relabelled"):
            with self.subTest(name):
                o = self.outcome(name)
                self.assertKeptRunning(o, DOWNLOADED + [SIGNATURE_INVALID], OLD_IMAGE)
                self.assertRequested(o, ["update.txt", IMAGE_KEY, SIG_KEY])

    def test_older_version_is_refused_before_the_image_is_asked_for(self):
        o = self.outcome("downgrade")
        self.assertKeptRunning(o, [CHECKING, MISMATCH, "Error: Firmware 1.0.3 is older "
                                   "than the controller's 1.0.8"], OLD_IMAGE)
        self.assertIn("Version Mismatch - published 1.0.3, controller 1.0.8", o.messages)
        self.assertIn("Error: Firmware 1.0.3 is older than the controller's 1.0.8"
                      " - downgrade refused", o.messages)
        self.assertRequested(o, ["update.txt"])

    def test_silent_controller_keeps_the_floor_it_ran_before(self):
        o = self.outcome("silent_with_floor")
        line = ("Error: Firmware 1.0.3 is older than 1.0.8, the newest the controller"
                " has run - downgrade refused")
        self.assertKeptRunning(o, [CHECKING, MISMATCH, line.rpartition(" - ")[0]], OLD_IMAGE)
        self.assertIn(line, o.messages)
        self.assertRequested(o, ["update.txt"])
        self.assertEqual(o.floor, b"1.0.8\n")

    def test_version_that_is_no_release_number_is_refused_unasked(self):
        o = self.outcome("not_a_release")
        line = "Error: Firmware version 1.0.9a is not a release number - refused"
        self.assertKeptRunning(o, [CHECKING, MISMATCH, line.rpartition(" - ")[0]], OLD_IMAGE)
        self.assertIn(line, o.messages)
        self.assertRequested(o, ["update.txt"])

    def test_refused_image_is_tried_again_at_next_check(self):
        o = self.outcome("signature_published_later")
        self.assertEqual(o.lines, DOWNLOADED + [SIGNATURE_MISSING] + DOWNLOADED,
                         self.describe(o))
        self.assertRequested(o, ["update.txt", IMAGE_KEY, SIG_KEY] * 2)
        self.assertHandedOff(o)


class BrokenKeyTest(unittest.TestCase):
    """The site's key file holds the private key instead of the public one:
    a mistake that must stop every update, not switch signing off."""

    def test_unusable_key_stops_every_check_but_not_reporting(self):
        private = os.path.join(SITE, "firmware-signing.key")
        s3 = S3Standin(signed(SIGNATURE))
        self.addCleanup(s3.stop)
        server = ReportServer()
        self.addCleanup(server.stop)
        env = harness.standin_env(report=server, s3=s3)
        env["NETWORKPROXY_FIRMWARE_PUBLIC_KEY"] = private
        d = harness.Daemon(answers=[b"ok\n", b"version=1.0.8\n"], env=env)
        self.addCleanup(d.stop)
        self.assertTrue(d.wait_ready(40), d.stdout())
        expected = KEY_ERROR + private + ": not a PEM public key"
        self.assertIsNotNone(d.wait_log(expected, 30), d.log_messages())

        d.send_line("i:door=1\n")
        self.assertEqual(len(server.wait_requests(1, 30)), 1, d.log_messages())

        # The second check, a minute later, refuses again.
        self.assertIsNotNone(d.wait_log(expected, 100, count=2), d.log_messages())
        time.sleep(1)
        self.assertTrue(d.alive())
        self.assertEqual(s3.requests(), [], "the bucket was asked")
        messages = d.log_messages()
        self.assertEqual([m for m in messages if m in (CHECKING, MISMATCH, DOWNLOADING)],
                         [CHECKING, CHECKING])
        with open(private) as f:
            secret = f.read().splitlines()[1]
        self.assertNotIn(secret, d.log_text())


if __name__ == "__main__":
    unittest.main()
