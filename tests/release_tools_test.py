"""The release side of signed firmware: tools/sign-firmware makes keys and
signatures of the firmware statement that the openssl tool verifies, and
tools/s3-standin --publish puts an image up with exactly its own signature."""

import hashlib
import os
import subprocess
import unittest

from workdir import remove_folder, temp_folder

HERE = os.path.dirname(os.path.abspath(__file__))
TOOLS = os.path.join(HERE, os.pardir, "tools")
SIGN = os.path.join(TOOLS, "sign-firmware")
STANDIN = os.path.join(TOOLS, "s3-standin")
BUCKET = "fw-bucket"


def run(*argv):
    return subprocess.run(list(argv), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=60)


class ReleaseToolsTest(unittest.TestCase):
    def setUp(self):
        self.dir = temp_folder("np-release-")
        self.addCleanup(remove_folder, self.dir)
        self.keys = os.path.join(self.dir, "keys")
        self.assertEqual(run(SIGN, "--new-key", self.keys).returncode, 0)
        self.private = os.path.join(self.keys, "firmware-signing.key")
        self.public = os.path.join(self.keys, "firmware-public.pem")
        self.image = self.path("Version_2.0.hex", b":00000001FF\r\n\x00\xff")

    def path(self, name, content=None):
        p = os.path.join(self.dir, name)
        if content is not None:
            with open(p, "wb") as f:
                f.write(content)
        return p

    def statement(self, version, image=b":00000001FF\r\n\x00\xff"):
        """The statement as the gateways compose it, written out here by
        hand so that a change on either side shows."""
        return self.path("statement-%s" % version, (
            "networkproxy-firmware-v1\nversion %s\nsize %d\nsha256 %s\n"
            % (version, len(image), hashlib.sha256(image).hexdigest())).encode())

    def test_signature_verifies_only_for_its_version_and_image(self):
        self.assertEqual(os.stat(self.private).st_mode & 0o077, 0,
                         "private key readable by others")
        self.assertEqual(run(SIGN, self.private, self.image, "2.0").returncode, 0)
        with open(self.image + ".sig", "rb") as f:
            self.assertEqual(len(f.read()), 64)

        def verify(data):
            return run("openssl", "pkeyutl", "-verify", "-pubin", "-inkey",
                       self.public, "-rawin", "-in", data,
                       "-sigfile", self.image + ".sig").returncode
        self.assertEqual(verify(self.statement("2.0")), 0)
        self.assertNotEqual(verify(self.statement("2.1")), 0)
        self.assertNotEqual(verify(self.statement("2.0", b"other")), 0)
        self.assertNotEqual(verify(self.image), 0, "image bytes alone")
        # The old two-argument form would sign no version: refused.
        self.assertEqual(run(SIGN, self.private, self.image).returncode, 2)
        self.assertNotEqual(run(SIGN, self.private, self.image, "2.0/../x").returncode, 0)

    def test_version_that_is_not_a_release_number_gets_no_signature(self):
        # Each would be refused by every gateway; "v1.0.0" would once have
        # sorted above 9.9.9.
        for version in ("1.0.9a", "v1.0.0", "1.0.9+b1", "1..0", "1.0-"):
            with self.subTest(version=version):
                r = run(SIGN, self.private, self.image, version)
                self.assertEqual(r.returncode, 1)
                self.assertIn(("sign-firmware: %s is not a release number" % version).encode(),
                              r.stderr)
                self.assertFalse(os.path.exists(self.image + ".sig"))
        self.assertEqual(run(SIGN, self.private, self.image, "2.0-rc.1").returncode, 0)

    def test_existing_key_is_never_overwritten(self):
        with open(self.private, "rb") as f:
            before = f.read()
        r = run(SIGN, "--new-key", self.keys)
        self.assertNotEqual(r.returncode, 0)
        self.assertIn(b"not overwriting", r.stderr)
        with open(self.private, "rb") as f:
            self.assertEqual(f.read(), before)

    def test_key_of_another_kind_leaves_no_signature(self):
        ec = self.path("ec.key")
        self.assertEqual(run("openssl", "genpkey", "-algorithm", "EC", "-pkeyopt",
                             "ec_paramgen_curve:P-256", "-out", ec).returncode, 0)
        r = run(SIGN, ec, self.image, "2.0")
        self.assertNotEqual(r.returncode, 0)
        self.assertIn(b"not an Ed25519 private key", r.stderr)
        self.assertEqual(sorted(os.listdir(self.dir)),
                         ["Version_2.0.hex", "ec.key", "keys"])

    def test_publish_puts_up_the_image_with_its_own_signature(self):
        root = os.path.join(self.dir, "root")
        os.mkdir(root)
        bucket = os.path.join(root, BUCKET)

        def publish(*extra):
            r = run("/usr/bin/python3", STANDIN, "--root", root, "--bucket",
                    BUCKET, "--publish", "2.0", self.image, *extra)
            self.assertEqual(r.returncode, 0, r.stderr)
            return sorted(os.listdir(bucket))

        run(SIGN, self.private, self.image, "2.0")
        self.assertEqual(publish(), ["Version_2.0.hex", "Version_2.0.hex.sig",
                                     "update.txt"])
        with open(os.path.join(bucket, "update.txt"), "rb") as f:
            self.assertEqual(f.read(), b"2.0\n")
        # Published again unsigned: the old signature must not stay beside
        # an image it was not made for.
        os.remove(self.image + ".sig")
        self.assertEqual(publish(), ["Version_2.0.hex", "update.txt"])
        # Signed while published: for the version it goes up as.
        self.assertEqual(publish("--signing-key", self.private),
                         ["Version_2.0.hex", "Version_2.0.hex.sig", "update.txt"])
        self.assertEqual(run("openssl", "pkeyutl", "-verify", "-pubin", "-inkey",
                             self.public, "-rawin", "-in", self.statement("2.0"),
                             "-sigfile", os.path.join(bucket, "Version_2.0.hex.sig")
                             ).returncode, 0)


if __name__ == "__main__":
    unittest.main()
