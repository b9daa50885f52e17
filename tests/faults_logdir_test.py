"""A log that cannot be written: the working directory is not writable for
the daemon's user, or the disk is full. The daemon runs and reports events
without a log, and logs again once the fault clears."""

import datetime
import os
import pwd
import grp
import shutil
import unittest

from daemon_log import LOG_LINE
from harness import Daemon, standin_env
from standins import ReportServer

STARTED = 40  # s, start-up takes 10 s by design
REPLY = {"body": '{"cards":"A","colour":"g","sequence":"s"}'}
COMMANDS = [b"s:1A\r", b"c:g\r", b"f:s\r"]


def log_names():
    """The daily log names the daemon may use around now (local and UTC)."""
    names = set()
    for offset in (-1, 0, 1):
        for now in (datetime.datetime.now(),
                    datetime.datetime.now(datetime.timezone.utc)):
            day = now + datetime.timedelta(days=offset)
            names.add("log_%s.txt" % day.strftime("%Y-%m-%d"))
    return names


class AsNobody(Daemon):
    """The daemon run as the unprivileged user `nobody` (root writes
    anywhere, so only another user shows a permission fault). It runs from a
    copy in its working directory: the build tree may sit where `nobody`
    cannot reach."""

    def command(self):
        argv = super().command()
        copy = self.path("networkproxy")
        if not os.path.exists(copy):
            shutil.copy2(shutil.which(argv[0]) or argv[0], copy)
        return ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                "--", copy] + argv[1:]


def can_switch_to_nobody():
    try:
        pwd.getpwnam("nobody")
        grp.getgrnam("nogroup")
    except KeyError:
        return False
    return os.geteuid() == 0 and shutil.which("setpriv") is not None


class UnwritableLogTest(unittest.TestCase):
    def exchange(self, d, server, line, requests):
        cmds = len(d.commands())
        d.send_line(line)
        self.assertEqual(len(server.wait_requests(requests, 20)), requests)
        self.assertEqual(d.wait_commands(3, 20, start=cmds), COMMANDS)

    def assertLogResumes(self, d, server, lost, logged):
        """The event `logged` is reported and logged, every line whole; the
        event `lost`, sent while the log could not be written, is not in it."""
        self.exchange(d, server, ("i:%s\n" % logged).encode(), 2)
        self.assertTrue(d.wait_log("i:" + logged, 10), d.log_lines())
        for line in d.log_lines():
            self.assertRegex(line, LOG_LINE)
        self.assertNotIn("i:" + lost, d.log_messages())

    @unittest.skipUnless(can_switch_to_nobody(), "needs root, setpriv and nobody/nogroup")
    def test_working_directory_not_writable_runs_without_log(self):
        with ReportServer(default=REPLY) as server:
            d = AsNobody(answers=[b"ok\n", b"version=1.0\n"],
                         env=standin_env(server), start=False)
            try:
                os.chown(d.slave_path, pwd.getpwnam("nobody").pw_uid, -1)
                os.chmod(d.dir, 0o755)  # root's, readable, not writable
                d.start()
                self.assertTrue(d.wait_ready(STARTED), d.stdout())
                self.exchange(d, server, b"i:nolog=1\n", 1)
                self.assertTrue(d.alive())
                self.assertEqual(d.log_files(), [])

                # The directory becomes writable: the next line is logged,
                # and whole.
                os.chmod(d.dir, 0o777)
                self.assertLogResumes(d, server, "nolog=1", "logged=1")
            finally:
                d.stop()

    @unittest.skipUnless(os.path.exists("/dev/full"), "needs /dev/full")
    def test_full_disk_loses_lines_quietly_and_logging_recovers(self):
        with ReportServer(default=REPLY) as server:
            d = Daemon(answers=[b"ok\n", b"version=1.0\n"],
                       env=standin_env(server), start=False)
            try:
                # Every write to the day's file fails with "no space left".
                for name in log_names():
                    os.symlink("/dev/full", d.path(name))
                d.start()
                self.assertTrue(d.wait_ready(STARTED), d.stdout())
                self.exchange(d, server, b"i:full=1\n", 1)
                self.assertTrue(d.alive())

                # Space again: the file fills from a line boundary.
                for name in log_names():
                    os.unlink(d.path(name))
                self.assertLogResumes(d, server, "full=1", "space=1")
            finally:
                d.stop()

    @unittest.skipUnless(shutil.which("prlimit"), "needs prlimit")
    def test_log_reaching_file_size_limit_does_not_kill_daemon(self):
        # A service manager or shell may cap file sizes (ulimit -f): a write
        # past the cap must fail like a full disk, not end the process.
        with ReportServer(default={"body": "{}"}) as server:
            d = Daemon(answers=[b"ok\n", b"version=1.0\n"],
                       env=standin_env(server), start=False,
                       wrapper=["prlimit", "--fsize=4096", "--"])
            try:
                d.start()
                self.assertTrue(d.wait_ready(STARTED), d.stdout())
                for n in range(8):  # each logs well over 512 bytes
                    d.send_line(("i:n=%d,pad=%s\n" % (n, "p" * 300)).encode())
                reqs = server.wait_requests(8, 30)
                self.assertTrue(d.alive(), "daemon ended with status %r" % d.wait_exit(1))
                self.assertEqual([r["body"][:9] for r in reqs],
                                 [('{"n": "%d"' % n).encode() for n in range(8)])
            finally:
                d.stop()


if __name__ == "__main__":
    unittest.main()
