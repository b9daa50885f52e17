"""The dedicated-user recipe in packaging/sudoers.networkproxy and the sample
update script, with the real sudo and a throwaway user.

The service user's "sudo /bin/sh ./fw-update.sh" runs only root's script in
the root-owned folder the rule pins, wherever it is called from; with no
script there the user cannot put one there. The sample script, run that way
as root against the user's folder, flashes only a copy of the image that
verifies for the version handed off, and never follows the user's links."""

import os
import pwd
import shutil
import subprocess
import tempfile
import time
import unittest
import uuid

import harness
from update_script import configured_sample

HERE = os.path.dirname(os.path.abspath(__file__))
RECIPE = os.path.join(HERE, os.pardir, "packaging", "sudoers.networkproxy")
SIGN_FIRMWARE = os.path.join(HERE, os.pardir, "tools", "sign-firmware")
CTL = harness.CTL
PINNED = "/etc/networkproxy"
IMAGE = "FirmwareImage.cpp.hex"
NEW_IMAGE = b":10000000\r\n\x00\xffrelease 1.0.9\n" * 40
OLD_IMAGE = b":00000001FF\r\nrelease 1.0.3\n"
SECRET = b"root:$y$j9T$not-for-the-controller:19000:0:99999:7:::\n"
TIMEOUT = 30


def _why_skip():
    if os.geteuid() != 0:
        return "needs root to add a user and a sudoers rule (CI runs as root)"
    for tool in ("/usr/bin/sudo", "/usr/sbin/visudo", "/usr/sbin/useradd",
                 "/usr/sbin/userdel", "/usr/bin/setpriv"):
        if not os.path.exists(tool):
            return "%s is not installed" % tool
    if not os.path.isdir("/etc/sudoers.d"):
        return "/etc/sudoers.d is missing"
    if not os.access(CTL, os.X_OK):
        return "no networkproxyctl beside the daemon"
    return None


def _read(path):
    """The file's bytes, or None when there is none; removes it."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        return None
    os.remove(path)
    return data


def _write(path, data, mode=0o644):
    with open(path, "wb") as f:
        f.write(data)
    os.chmod(path, mode)


@unittest.skipIf(_why_skip(), _why_skip())
class SudoRecipeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.user = "np-recipe-" + uuid.uuid4().hex[:8]
        subprocess.run(["/usr/sbin/useradd", "--system", "--user-group",
                        "--no-create-home", "--shell", "/bin/sh", cls.user],
                       check=True, timeout=TIMEOUT)
        cls.addClassCleanup(subprocess.run, ["/usr/sbin/userdel", cls.user],
                            timeout=TIMEOUT)
        entry = pwd.getpwnam(cls.user)
        cls.uid, cls.gid = entry.pw_uid, entry.pw_gid

        cls.top = tempfile.mkdtemp(prefix="np-recipe-")
        cls.addClassCleanup(shutil.rmtree, cls.top, True)
        os.chmod(cls.top, 0o755)
        # The folder the rule pins, made as the package makes /etc/networkproxy.
        cls.pinned = os.path.join(cls.top, "etc-networkproxy")
        os.mkdir(cls.pinned)
        os.chown(cls.pinned, 0, cls.gid)
        os.chmod(cls.pinned, 0o750)
        cls.script = os.path.join(cls.pinned, "fw-update.sh")
        # The daemon's working folder: the service user's own.
        cls.workdir = os.path.join(cls.top, "work")
        os.mkdir(cls.workdir)
        os.chown(cls.workdir, cls.uid, cls.gid)
        os.chmod(cls.workdir, 0o750)

        # The sample rule, for this user and this folder.
        with open(RECIPE) as f:
            rules = f.read()
        rules = rules.replace("\nnetworkproxy ALL", "\n%s ALL" % cls.user)
        rules = rules.replace(PINNED, cls.pinned)
        cls.sudoers = "/etc/sudoers.d/" + cls.user
        tmp = os.path.join(cls.top, "sudoers")
        with open(tmp, "w") as f:
            f.write(rules)
        subprocess.run(["/usr/sbin/visudo", "-c", "-q", "-f", tmp],
                       check=True, timeout=TIMEOUT)
        shutil.copy(tmp, cls.sudoers)
        os.chmod(cls.sudoers, 0o440)
        cls.addClassCleanup(os.remove, cls.sudoers)

    def setUp(self):
        if os.path.exists(self.script):
            os.remove(self.script)
        for name in os.listdir(self.workdir):
            os.remove(os.path.join(self.workdir, name))
        # A script of the user's choosing in its own folder.
        self.as_user("printf 'id -u > %s/planted-ran-as\\n' \"$PWD\" > fw-update.sh")

    def as_user(self, command, env=None):
        return subprocess.run(
            ["/usr/bin/setpriv", "--reuid", str(self.uid), "--regid",
             str(self.gid), "--init-groups", "/bin/sh", "-c", command],
            cwd=self.workdir, capture_output=True, timeout=TIMEOUT,
            env={"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", **(env or {})})

    def hand_off(self):
        """What the daemon does at a hand-off, as the service user."""
        return self.as_user("sudo -n /bin/sh ./fw-update.sh")

    def assertPlantedNotRun(self):
        self.assertFalse(os.path.exists(os.path.join(self.workdir, "planted-ran-as")),
                         "the user's own script ran")

    def test_without_roots_script_the_user_cannot_get_one_run_as_root(self):
        for attempt in ("echo 'id -u > /tmp/np-owned' > %s" % self.script,
                        "ln -s %s/fw-update.sh %s" % (self.workdir, self.script),
                        "cp fw-update.sh %s/" % self.pinned):
            self.as_user(attempt)
            self.assertFalse(os.path.lexists(self.script), attempt)
        r = self.hand_off()
        self.assertNotEqual(r.returncode, 0)
        self.assertPlantedNotRun()

    def test_only_roots_script_runs_and_the_user_cannot_replace_it(self):
        _write(self.script, b"id -u > %s/ran-as\n" % self.top.encode(), 0o755)
        with open(self.script, "rb") as f:
            before = f.read()
        for attempt in ("echo id > %s" % self.script, "rm -f %s" % self.script,
                        "mv -f fw-update.sh %s" % self.script):
            self.as_user(attempt)
            with open(self.script, "rb") as f:
                self.assertEqual(f.read(), before, attempt)
        r = self.hand_off()
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertPlantedNotRun()
        with open(os.path.join(self.top, "ran-as")) as f:
            self.assertEqual(f.read().strip(), "0")

    def test_sample_script_flashes_only_a_verified_copy(self):
        keys = os.path.join(self.top, "keys")
        if not os.path.exists(keys):
            subprocess.run([SIGN_FIRMWARE, "--new-key", keys], check=True,
                           stdout=subprocess.DEVNULL, timeout=TIMEOUT)
        signed = {}
        for version, image in (("1.0.9", NEW_IMAGE), ("1.0.3", OLD_IMAGE)):
            path = os.path.join(keys, "Version_%s.hex" % version)
            _write(path, image)
            subprocess.run([SIGN_FIRMWARE, os.path.join(keys, "firmware-signing.key"),
                            path, version], check=True, stdout=subprocess.DEVNULL,
                           timeout=TIMEOUT)
            with open(path + ".sig", "rb") as f:
                signed[version] = f.read()
        secret = os.path.join(self.top, "shadow")
        _write(secret, SECRET, 0o600)
        flashed = os.path.join(self.top, "flashed")
        flasher = os.path.join(self.top, "flasher")
        _write(flasher, b'#!/bin/sh\ncp -- "$1" %s\n' % flashed.encode(), 0o755)
        defaults = os.path.join(self.top, "default-networkproxy")
        _write(defaults, ('NETWORKPROXY_ARGS="-f %s"\n' % IMAGE).encode())
        script = configured_sample({
            "DEFAULTS": defaults, "WORKDIR": self.workdir, "CTL": CTL, "SERVICE": "",
            "FLASH": flasher, "ECHO": "yes",
            "KEY": os.path.join(keys, "firmware-public.pem"),
            "STATEDIR": os.path.join(self.top, "update-state")})
        _write(self.script, script.encode(), 0o755)

        record = b"1.0.9\n%d\n" % int(time.time())
        image_path = os.path.join(self.workdir, IMAGE)
        cases = [
            # (what the service user left, image flashed or None, line)
            ("genuine", {IMAGE: NEW_IMAGE, IMAGE + ".sig": signed["1.0.9"]}, NEW_IMAGE,
             "%s: verified 1.0.9 %d bytes sha256" % (image_path, len(NEW_IMAGE))),
            ("image swapped after the daemon verified it",
             {IMAGE: OLD_IMAGE, IMAGE + ".sig": signed["1.0.9"]}, None,
             "refused, nothing flashed: %s: signature not valid" % image_path),
            ("old image and its genuine signature relabelled",
             {IMAGE: OLD_IMAGE, IMAGE + ".sig": signed["1.0.3"]}, None,
             "refused, nothing flashed: %s: signature not valid" % image_path),
            ("image a link to a root-only file", {IMAGE: secret, IMAGE + ".sig": signed["1.0.9"]},
             None, "refused, nothing flashed: %s is a symbolic link" % image_path),
            ("signature a link", {IMAGE: NEW_IMAGE, IMAGE + ".sig": secret}, None,
             "refused, nothing flashed: %s.sig is a symbolic link" % image_path),
        ]
        for name, files, expected, line in cases:
            with self.subTest(name):
                for entry in os.listdir(self.workdir):
                    os.remove(os.path.join(self.workdir, entry))
                for file_name, content in dict(files, **{"firmware-handoff.txt": record}).items():
                    path = os.path.join(self.workdir, file_name)
                    if content == secret:
                        os.symlink(secret, path)
                    else:
                        _write(path, content)
                    os.lchown(path, self.uid, self.gid)
                before = sorted(os.listdir(self.workdir))
                r = self.hand_off()
                out = r.stdout.decode()
                self.assertIn(line, out, r.stderr)
                self.assertEqual(_read(flashed), expected, out)
                self.assertEqual(sorted(os.listdir(self.workdir)), before,
                                 "the script wrote into the daemon's folder")

        # Its settings come from the file, not from whoever starts it.
        for entry in (image_path, image_path + ".sig"):
            os.remove(entry)
        _write(image_path, OLD_IMAGE)
        _write(image_path + ".sig", signed["1.0.9"])
        r = subprocess.run(["/bin/sh", self.script], cwd=self.pinned, capture_output=True,
                           timeout=TIMEOUT,
                           env={"PATH": "/usr/bin:/bin", "NETWORKPROXY_FIRMWARE_PUBLIC_KEY": "",
                                "NETWORKPROXY_ARGS": "-f /nowhere"})
        self.assertIn("%s: signature not valid" % image_path, r.stdout.decode())
        self.assertIsNone(_read(flashed))


if __name__ == "__main__":
    unittest.main()
