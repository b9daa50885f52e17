"""The dedicated-user recipe in packaging/sudoers.networkproxy, with the
real sudo and a throwaway user: the service user's "sudo /bin/sh
./fw-update.sh" runs only root's script in the working folder, wherever it
is called from, and the user cannot replace that script."""

import os
import pwd
import shutil
import subprocess
import tempfile
import unittest
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
RECIPE = os.path.join(HERE, os.pardir, "packaging", "sudoers.networkproxy")
WORKDIR = "/var/lib/networkproxy"
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
    return None


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

        # The recipe's working folder, made as step 2 says.
        cls.top = tempfile.mkdtemp(prefix="np-recipe-")
        cls.addClassCleanup(shutil.rmtree, cls.top, True)
        os.chmod(cls.top, 0o755)
        cls.workdir = os.path.join(cls.top, "work")
        os.mkdir(cls.workdir)
        os.chown(cls.workdir, 0, cls.gid)
        os.chmod(cls.workdir, 0o1775)
        cls.script = os.path.join(cls.workdir, "fw-update.sh")
        with open(cls.script, "w") as f:
            f.write("id -u > ran-as\n")
        os.chmod(cls.script, 0o755)

        # A folder of the user's own, holding a script of its choosing.
        cls.planted = os.path.join(cls.top, "planted")
        os.mkdir(cls.planted)
        os.chown(cls.planted, cls.uid, cls.gid)
        with open(os.path.join(cls.planted, "fw-update.sh"), "w") as f:
            f.write("id -u > %s/planted-ran-as\n" % cls.planted)

        # The sample rule, for this user and this folder.
        with open(RECIPE) as f:
            rules = f.read()
        rules = rules.replace("\nnetworkproxy ALL", "\n%s ALL" % cls.user)
        rules = rules.replace(WORKDIR, cls.workdir)
        cls.sudoers = "/etc/sudoers.d/" + cls.user
        tmp = os.path.join(cls.top, "sudoers")
        with open(tmp, "w") as f:
            f.write(rules)
        subprocess.run(["/usr/sbin/visudo", "-c", "-q", "-f", tmp],
                       check=True, timeout=TIMEOUT)
        shutil.copy(tmp, cls.sudoers)
        os.chmod(cls.sudoers, 0o440)
        cls.addClassCleanup(os.remove, cls.sudoers)

    def as_user(self, command, cwd):
        return subprocess.run(
            ["/usr/bin/setpriv", "--reuid", str(self.uid), "--regid",
             str(self.gid), "--init-groups", "/bin/sh", "-c", command],
            cwd=cwd, capture_output=True, timeout=TIMEOUT,
            env={"PATH": "/usr/sbin:/usr/bin:/sbin:/bin"})

    def test_script_planted_elsewhere_is_not_run_as_root(self):
        r = self.as_user("sudo -n /bin/sh ./fw-update.sh", self.planted)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertFalse(os.path.exists(
            os.path.join(self.planted, "planted-ran-as")),
            "the user's own script ran")
        with open(os.path.join(self.workdir, "ran-as")) as f:
            self.assertEqual(f.read().strip(), "0")

    def test_service_user_cannot_replace_roots_script(self):
        with open(self.script) as f:
            before = f.read()
        for attempt in ("echo id > fw-update.sh",
                        "rm -f fw-update.sh",
                        "mv -f %s/fw-update.sh fw-update.sh" % self.planted):
            self.as_user(attempt, self.workdir)
            with open(self.script) as f:
                self.assertEqual(f.read(), before, attempt)
        # ... while its own files (logs, images) can still be written.
        r = self.as_user("echo line >> log_test.txt", self.workdir)
        self.assertEqual(r.returncode, 0, r.stderr)


if __name__ == "__main__":
    unittest.main()
