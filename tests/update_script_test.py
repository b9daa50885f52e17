"""The sample update script fails closed: run as root would run it, with a
stub in place of the flashing step, it flashes nothing that verify-image
does not accept, nothing older than the last release it flashed and nothing
larger than the daemon's largest image, and says which it refused."""

import os
import stat
import subprocess
import time
import unittest

import harness
from update_script import configured_sample
from workdir import remove_folder, temp_folder

HERE = os.path.dirname(os.path.abspath(__file__))
SIGN_FIRMWARE = os.path.join(HERE, os.pardir, "tools", "sign-firmware")
CTL = harness.CTL
IMAGE = "FirmwareImage.cpp.hex"
MAX_IMAGE_BYTES = 4096
RELEASES = {
    "1.0.3": b":00000001FF\r\nrelease 1.0.3\n",
    "1.0.9": b":10000000\r\n\x00\xffrelease 1.0.9\n" * 40,
    "1.0.10": b":10000000\r\nrelease 1.0.10\n" * 20,
    "1.0.11": b"x" * (MAX_IMAGE_BYTES + 1),
}
TIMEOUT = 30


@unittest.skipUnless(os.access(CTL, os.X_OK), "no networkproxyctl beside the daemon")
class UpdateScriptTest(unittest.TestCase):
    def setUp(self):
        self.top = temp_folder("np-update-")
        self.addCleanup(remove_folder, self.top)
        # The key where systemd and "check" accept it and a shell word split
        # would not: in a folder whose name has a space.
        keys = self.path("keys dir")
        subprocess.run([SIGN_FIRMWARE, "--new-key", keys], check=True,
                       stdout=subprocess.DEVNULL, timeout=TIMEOUT)
        self.key = os.path.join(keys, "firmware-public.pem")
        self.signed = {}
        for version, image in RELEASES.items():
            path = self.write("Version_%s.hex" % version, image)
            subprocess.run([SIGN_FIRMWARE, os.path.join(keys, "firmware-signing.key"), path,
                            version], check=True, stdout=subprocess.DEVNULL, timeout=TIMEOUT)
            with open(path + ".sig", "rb") as f:
                self.signed[version] = f.read()
        self.workdir = self.path("work")
        os.mkdir(self.workdir)
        self.flashed = self.path("flashed")
        flasher = self.write("flasher", b'#!/bin/sh\ncp -- "$1" "%s"\n' % self.flashed.encode())
        os.chmod(flasher, 0o755)
        defaults = self.write("default-networkproxy", (
            'NETWORKPROXY_ARGS="-f %s"\nNETWORKPROXY_FIRMWARE_PUBLIC_KEY="%s"\n'
            % (IMAGE, self.key)).encode())
        os.chmod(defaults, 0o644)
        self.state = self.path("update-state")
        self.script = self.write("fw-update.sh", configured_sample({
            "DEFAULTS": defaults, "WORKDIR": self.workdir, "CTL": CTL, "SERVICE": "",
            "FLASH": flasher, "ECHO": "yes", "KEY": self.key, "STATEDIR": self.state,
            "MAX_IMAGE_BYTES": MAX_IMAGE_BYTES}).encode())

    def path(self, name):
        return os.path.join(self.top, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def hand_off(self, version, image, signature):
        """What the service user leaves, then the script's run; its output
        and what it flashed (None for nothing)."""
        for name, content in ((IMAGE, image), (IMAGE + ".sig", signature),
                              ("firmware-handoff.txt", b"%s\n%d\n" % (
                                  version.encode(), int(time.time())))):
            with open(os.path.join(self.workdir, name), "wb") as f:
                f.write(content)
        r = subprocess.run(["/bin/sh", self.script], capture_output=True, timeout=TIMEOUT,
                           env={"PATH": "/usr/bin:/bin"})
        try:
            with open(self.flashed, "rb") as f:
                flashed = f.read()
            os.remove(self.flashed)
        except FileNotFoundError:
            flashed = None
        return r.stdout.decode() + r.stderr.decode(), flashed

    def test_nothing_unverified_older_or_oversized_is_flashed(self):
        image = os.path.join(self.workdir, IMAGE)
        key_aside = self.key + ".aside"
        cases = [
            # (case, version handed off, image, its signature, flashed?, line)
            ("genuine release", "1.0.9", "1.0.9", "1.0.9", True,
             "%s: verified 1.0.9 %d bytes" % (image, len(RELEASES["1.0.9"]))),
            ("unverifiable image", "1.0.9", "1.0.3", "1.0.9", False,
             "refused, nothing flashed: %s: signature not valid" % image),
            ("older signed release after a newer one was flashed", "1.0.3", "1.0.3", "1.0.3",
             False, "refused, nothing flashed: %s: 1.0.3 is older than 1.0.9" % image),
            ("oversized image", "1.0.11", "1.0.11", "1.0.11", False,
             "refused, nothing flashed: %s is larger than %d bytes" % (image, MAX_IMAGE_BYTES)),
            ("daemon keyed, script's key file gone", "1.0.10", "1.0.10", "1.0.10", False,
             "refused, nothing flashed: no key file %s, but NETWORKPROXY_FIRMWARE_PUBLIC_KEY"
             % self.key),
            ("newer genuine release", "1.0.10", "1.0.10", "1.0.10", True,
             "%s: verified 1.0.10" % image),
        ]
        for name, version, image_of, signed_as, flashes, line in cases:
            with self.subTest(name):
                key_gone = "key file gone" in name
                if key_gone:
                    os.rename(self.key, key_aside)
                out, flashed = self.hand_off(version, RELEASES[image_of],
                                             self.signed[signed_as])
                if key_gone:
                    os.rename(key_aside, self.key)
                self.assertIn(line, out)
                self.assertEqual(flashed, RELEASES[image_of] if flashes else None, out)
        with open(os.path.join(self.state, "flashed-version"), "rb") as f:
            self.assertEqual(f.read(), b"1.0.10\n")
        self.assertEqual(stat.S_IMODE(os.stat(self.state).st_mode), 0o700)


if __name__ == "__main__":
    unittest.main()
