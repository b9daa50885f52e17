"""Where the firmware check gets its keys, bucket and region on a site: the
shared credentials file (looked up at every check), the compiled-in pair
when there is none, and the bucket and region overrides. Each scenario is
one daemon run against the signature-checking S3 stand-in."""

import os
import shutil
import tempfile
import unittest

from firmware_scenarios import (CHECKING, CREDENTIALS_ERROR, MATCH,
                                MISMATCH, DOWNLOADING, NEW_IMAGE, READ_ERROR,
                                Scenario, ScenarioCase)

SITE_KEY = "AKIASITEKEY000000001"
SITE_SECRET = "site/secret+key/K7MDENG/bPxRfiCYSITE001"
ROTATED_KEY = "AKIASITEKEY000000002"
ROTATED_SECRET = "site/secret+key/K7MDENG/bPxRfiCYSITE002"

# The worker waits 60 s between checks; the rest is start-up and margin.
TWO_CHECKS = 150

FILES = tempfile.mkdtemp(prefix="np-creds-")


def tearDownModule():
    shutil.rmtree(FILES, ignore_errors=True)


def credentials_file(name, text):
    path = os.path.join(FILES, name)
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, 0o600)
    return path


def profile(name, key, secret):
    return ("[%s]\naws_access_key_id = %s\naws_secret_access_key = %s\n"
            % (name, key, secret))


SITE_FILE = credentials_file("site", profile("default", SITE_KEY, SITE_SECRET))
PROFILES_FILE = credentials_file(
    "profiles", profile("default", "AKIAWRONGDEFAULT0000", "wrong/secret")
    + "\n" + profile("site-7", SITE_KEY, SITE_SECRET))
NO_PROFILE_FILE = credentials_file("no-profile",
                                   profile("other", SITE_KEY, SITE_SECRET))
ROTATING_FILE = credentials_file("rotating",
                                 profile("default", SITE_KEY, SITE_SECRET))
DIRECTORY = os.path.join(FILES, "a-directory")
os.mkdir(DIRECTORY)

SITE_STANDIN = {"access_key": SITE_KEY}
MATCHING = {"update.txt": b"1.0.8\n", "Version_1.0.8.hex": NEW_IMAGE}
NEWER = {"update.txt": b"1.0.9\n", "Version_1.0.9.hex": NEW_IMAGE}


def _rotate(s3):
    with open(ROTATING_FILE, "w") as f:
        f.write(profile("default", ROTATED_KEY, ROTATED_SECRET))


def site(objects=MATCHING, path=SITE_FILE, env=None, standin=SITE_STANDIN,
         **kwargs):
    return Scenario(objects, secret_key=SITE_SECRET, standin=standin,
                    env={"AWS_SHARED_CREDENTIALS_FILE": path, **(env or {})},
                    **kwargs)


class FirmwareCredentialsTest(ScenarioCase):
    SCENARIOS = {
        "file": site(),
        "file_handoff": site(NEWER),
        "profile": site(path=PROFILES_FILE, env={"AWS_PROFILE": "site-7"}),
        "no_profile": site(path=NO_PROFILE_FILE),
        "unreadable": site(path=DIRECTORY),
        "missing_file": Scenario(MATCHING, env={
            "AWS_SHARED_CREDENTIALS_FILE": os.path.join(FILES, "none")}),
        "bucket_region": site(
            env={"NETWORKPROXY_FIRMWARE_BUCKET": "site-bucket",
                 "NETWORKPROXY_FIRMWARE_REGION": "eu-central-1"},
            standin={**SITE_STANDIN, "bucket": "site-bucket",
                     "region": "eu-central-1"}),
        # The stand-in knows only the rotated key: the first check is
        # refused, the file is rewritten, the next check must use it.
        "rotated": Scenario(
            MATCHING, secret_key=ROTATED_SECRET,
            standin={"access_key": ROTATED_KEY},
            env={"AWS_SHARED_CREDENTIALS_FILE": ROTATING_FILE},
            checks=2, deadline=TWO_CHECKS, on_line=(READ_ERROR, _rotate)),
    }

    def assertNoSecretLogged(self, o):
        for secret in (SITE_SECRET, ROTATED_SECRET, SITE_KEY, ROTATED_KEY):
            self.assertNotIn(secret, "\n".join(o.messages))

    def test_key_from_file_signs_the_request(self):
        o = self.outcome("file")
        self.assertKeptRunning(o, [CHECKING, MATCH])
        self.assertEqual(o.requests, [("GET", "update.txt", 200)])
        self.assertNoSecretLogged(o)

    def test_update_script_gets_the_key_from_file(self):
        o = self.outcome("file_handoff")
        self.assertEqual(o.lines, [CHECKING, MISMATCH, DOWNLOADING])
        self.assertHandedOff(o, key=SITE_KEY)

    def test_profile_named_in_environment_is_used(self):
        o = self.outcome("profile")
        self.assertEqual(o.requests, [("GET", "update.txt", 200)],
                         self.describe(o))

    def test_missing_profile_stops_the_check_without_fallback(self):
        o = self.outcome("no_profile")
        self.assertIn(CREDENTIALS_ERROR + "no profile [default] in "
                      + NO_PROFILE_FILE, o.messages)
        self.assertKeptRunning(o, [CHECKING])
        self.assertEqual(o.requests, [], "a request went out all the same")
        self.assertNoSecretLogged(o)

    def test_unreadable_file_logs_the_reason(self):
        o = self.outcome("unreadable")
        self.assertIn(CREDENTIALS_ERROR + "cannot read " + DIRECTORY
                      + ": Is a directory", o.messages)
        self.assertEqual(o.requests, [])

    def test_missing_file_falls_back_to_compiled_in_pair(self):
        o = self.outcome("missing_file")
        self.assertKeptRunning(o, [CHECKING, MATCH])
        self.assertEqual(o.requests, [("GET", "update.txt", 200)])

    def test_bucket_and_region_overrides_reach_url_and_scope(self):
        o = self.outcome("bucket_region")
        self.assertEqual(o.requests, [("GET", "update.txt", 200)],
                         self.describe(o))

    def test_rotated_file_takes_effect_at_next_check(self):
        o = self.outcome("rotated")
        self.assertEqual(o.lines, [CHECKING, READ_ERROR, CHECKING, MATCH])
        self.assertEqual([s for _, _, s in o.requests], [403, 200])


if __name__ == "__main__":
    unittest.main()
