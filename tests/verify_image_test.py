"""networkproxyctl verify-image from outside, as the update script runs it
as root: the exit status and the one line for each kind of image and
signature it may be handed, symbolic links planted by another user among
them."""

import hashlib
import os
import subprocess
import unittest

import harness
from workdir import remove_folder, temp_folder

HERE = os.path.dirname(os.path.abspath(__file__))
SIGN_FIRMWARE = os.path.join(HERE, os.pardir, "tools", "sign-firmware")
CTL = harness.CTL
IMAGE = b":10000000\r\n\x00\xffimage 1.0.9\n" * 50
OLD_IMAGE = b":00000001FF\r\nrelease 1.0.3\n"


@unittest.skipUnless(os.access(CTL, os.X_OK), "no networkproxyctl beside the daemon")
class VerifyImageTest(unittest.TestCase):
    def setUp(self):
        self.dir = temp_folder("np-verify-")
        self.addCleanup(remove_folder, self.dir)
        subprocess.run([SIGN_FIRMWARE, "--new-key", self.path("keys")], check=True,
                       stdout=subprocess.DEVNULL)
        self.key = self.path("keys/firmware-public.pem")
        self.write("new.hex", IMAGE)
        self.write("old.hex", OLD_IMAGE)
        for name, version in (("new.hex", "1.0.9"), ("old.hex", "1.0.3")):
            subprocess.run([SIGN_FIRMWARE, self.path("keys/firmware-signing.key"),
                            self.path(name), version], check=True, stdout=subprocess.DEVNULL)
        with open(self.path("new.hex.sig"), "rb") as f:
            self.write("truncated.sig", f.read()[:63])
        os.symlink(self.path("new.hex"), self.path("link.hex"))
        os.symlink(self.path("new.hex.sig"), self.path("link.sig"))

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)

    def verify(self, *args):
        r = subprocess.run([CTL, "verify-image"] + list(args), cwd=self.dir,
                           capture_output=True, timeout=30)
        return r.returncode, r.stdout.decode(), r.stderr.decode()

    def test_each_image_and_signature_gets_its_status_and_line(self):
        verified = "verified 1.0.9 %d bytes sha256 %s\n" % (
            len(IMAGE), hashlib.sha256(IMAGE).hexdigest())
        cases = [
            # (signature, image, status, line)
            ("new.hex.sig", "new.hex", 0, verified),
            ("old.hex.sig", "old.hex", 1, "signature not valid\n"),  # 1.0.3 relabelled
            ("truncated.sig", "new.hex", 1, "signature not valid\n"),
            ("new.hex.sig", "old.hex", 1, "signature not valid\n"),  # image swapped
            ("new.hex.sig", "link.hex", 1, "cannot read link.hex: is a symbolic link\n"),
            ("link.sig", "new.hex", 1, "cannot read link.sig: is a symbolic link\n"),
            ("new.hex.sig", "gone.hex", 1,
             "cannot read gone.hex: No such file or directory\n"),
            ("gone.sig", "new.hex", 1, "cannot read gone.sig: No such file or directory\n"),
            # A terminal escape in a name is shown, not acted on.
            ("gone\x1b[2J.sig", "new.hex", 1,
             "cannot read gone\\x1B[2J.sig: No such file or directory\n"),
            ("new.hex.sig", "keys", 1, "cannot read keys: not a regular file\n"),
        ]
        for signature, image, status, line in cases:
            with self.subTest(signature=signature, image=image):
                self.assertEqual(self.verify("--key", self.key, "--version", "1.0.9",
                                             "--signature", signature, image)[:2],
                                 (status, line))
        self.assertEqual(
            self.verify("--key", "gone.pem", "--version", "1.0.9", "--signature",
                        "new.hex.sig", "new.hex")[:2],
            (1, "cannot use key gone.pem: No such file or directory\n"))

    def test_release_below_the_floor_or_no_release_number_is_refused(self):
        verified = "verified 1.0.9 %d bytes sha256 %s\n" % (
            len(IMAGE), hashlib.sha256(IMAGE).hexdigest())
        cases = [
            # (image, version, floor or None, status, line)
            ("new.hex", "1.0.9", "1.0.9", 0, verified),
            ("new.hex", "1.0.9", "1.0.9-rc.1", 0, verified),
            ("new.hex", "1.0.9", "1.0.10", 1, "refused: 1.0.9 is older than 1.0.10\n"),
            # A genuinely signed older release, after a newer one was flashed.
            ("old.hex", "1.0.3", "1.0.9", 1, "refused: 1.0.3 is older than 1.0.9\n"),
            ("new.hex", "1.0.9a", None, 1, "refused: 1.0.9a is not a release number\n"),
            ("new.hex", "v1.0.0", "0.1", 1, "refused: v1.0.0 is not a release number\n"),
        ]
        for image, version, floor, status, line in cases:
            with self.subTest(image=image, version=version, floor=floor):
                extra = ["--not-older-than", floor] if floor else []
                self.assertEqual(self.verify("--key", self.key, "--version", version,
                                             "--signature", image + ".sig", *extra,
                                             image)[:2], (status, line))

    def test_usage_errors_exit_2(self):
        for args in (["--key", "k", "--signature", "s", "i"],      # no version
                     ["--key", "k", "--version", "1.0.9", "--signature", "s"],
                     ["--key", "k", "--version", "1.0.9", "--signature", "s", "i", "j"],
                     ["--key", "k", "--key", "k", "--version", "1", "--signature", "s", "i"],
                     ["--force", "--key", "k", "--version", "1", "--signature", "s", "i"],
                     ["--key", "k", "--version", "1.0.9\nsize 1", "--signature", "s", "i"],
                     ["--key", "k", "--version", "1.0.9", "--signature", "s",
                      "--not-older-than", "v1", "i"]):
            with self.subTest(args=args):
                status, out, err = self.verify(*args)
                self.assertEqual((status, out), (2, ""))
                self.assertIn("usage: networkproxyctl verify-image", err)


if __name__ == "__main__":
    unittest.main()
