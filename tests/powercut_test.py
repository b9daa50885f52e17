"""Power cuts with the daemon's working folder on a file system that loses
whatever was not synced (powercut_fs). kill -9 keeps the page cache, so only
this shows that what the daemon calls kept is on the disk: events the spool
took are delivered after the cut; an image and its hand-off record are
whole after it, or absent, never partial."""

import os
import signal
import time
import unittest

import harness
from firmware_scenarios import (ACCESS_KEY, BUCKET, HANDOFF_RECORD, IMAGE, SCRIPT,
                                SECRET_KEY, update_script)
from powercut_fs import PowerCutMount
from processes import poll
from standins import ReportServer
from spool_support import payload, send_events, spool_env, spool_waiting
from standins import S3Standin
from workdir import fake_sudo, remove_folder, temp_folder

EVENTS = 20
# Not a multiple of any block size, so a torn copy cannot pass for whole.
IMAGE_DATA = bytes((i * 7919 + i // 251) % 256 for i in range(300_001))


class PowerCutTest(unittest.TestCase):
    def setUp(self):
        self.top = temp_folder("np-powercut-")
        self.addCleanup(remove_folder, self.top)
        self.backing = os.path.join(self.top, "disk")
        os.mkdir(self.backing)

    def start_on_powercut_fs(self, env, prepare=None, **daemon_args):
        """A daemon whose working folder is the power-cut file system over
        self.backing; `prepare(backing)` runs before the mount, so what it
        writes is on the disk already."""
        if prepare:
            prepare(self.backing)
        d = harness.Daemon(start=False, env=env, **daemon_args)
        self.addCleanup(d.stop)
        fs = PowerCutMount(self.backing, d.dir)
        self.addCleanup(fs.unmount)
        self.addCleanup(stop_group, d)  # the daemon goes before the mount
        d.start()
        return d, fs

    def cut(self, daemon, fs):
        """The power goes: unsynced data is gone, and the daemon with it."""
        fs.cut()
        stop_group(daemon)
        fs.unmount()

    def test_events_the_spool_took_are_delivered_after_a_power_cut(self):
        metrics = os.path.join(self.top, "np.prom")
        # No server yet: every event stays waiting in the spool.
        d, fs = self.start_on_powercut_fs(
            dict(spool_env("spool.db"), NETWORKPROXY_METRICS_FILE=metrics),
            answers=[b"ok\n", b"version=1.0\n"])
        self.assertTrue(d.wait_ready(40), d.stdout())
        send_events(d, "n", EVENTS)
        self.assertTrue(poll(lambda: spool_waiting(metrics) == EVENTS, 30),
                        "spool figures: %r" % spool_waiting(metrics))
        self.cut(d, fs)

        server = ReportServer()
        self.addCleanup(server.stop)
        after = harness.start_daemon(
            server, env=spool_env(os.path.join(self.backing, "spool.db")))
        self.addCleanup(after.stop)
        delivered = lambda: {int(payload(r)["n"]) for r in list(server.requests)}
        poll(lambda: len(delivered()) >= EVENTS, 60)
        self.assertEqual(sorted(delivered()), list(range(EVENTS)),
                         "events the spool had taken were lost in the cut")

    def test_image_and_handoff_record_are_whole_or_absent_after_a_power_cut(self):
        s3 = S3Standin({"update.txt": b"1.0.9\n", "Version_1.0.9.hex": IMAGE_DATA},
                       access_key=ACCESS_KEY, bucket=BUCKET, secret_key=SECRET_KEY,
                       timeout=30)
        self.addCleanup(s3.stop)
        bindir = os.path.join(self.top, "bin")
        os.mkdir(bindir)
        fake_sudo(bindir)

        def prepare(disk):
            with open(os.path.join(disk, SCRIPT), "w") as f:
                f.write(update_script(IMAGE))
            os.chmod(os.path.join(disk, SCRIPT), 0o755)

        env = harness.standin_env(s3=s3)
        env.update({"AWS_ACCESS_KEY_ID": None, "AWS_SECRET_ACCESS_KEY": None,
                    "AWS_SESSION_TOKEN": None, "AWS_SHARED_CREDENTIALS_FILE": None,
                    "AWS_PROFILE": None,
                    "PATH": bindir + ":" + os.environ.get("PATH", "/usr/bin:/bin")})
        d, fs = self.start_on_powercut_fs(env, prepare,
                                          default_answer=b"version=1.0.8\r\n")
        # The update script runs once the image and the record are in place.
        self.assertTrue(poll(lambda: os.path.exists(d.path("handoff.done")), 60),
                        d.log_text() if os.path.isdir(d.dir) else "")
        with open(d.path(HANDOFF_RECORD), "rb") as f:
            record = f.read()
        self.assertTrue(record)
        with open(d.path(IMAGE), "rb") as f:
            self.assertEqual(f.read(), IMAGE_DATA, "the image as handed over")
        self.cut(d, fs)

        for name, whole in ((IMAGE, IMAGE_DATA), (HANDOFF_RECORD, record)):
            path = os.path.join(self.backing, name)
            if os.path.exists(path):
                with open(path, "rb") as f:
                    kept = f.read()
                self.assertTrue(kept == whole, "%s is partial after the cut: %d of %d bytes"
                                % (name, len(kept), len(whole)))


def stop_group(daemon):
    """kill -9 for the daemon and whatever it started (the update script)."""
    if daemon.proc is None:
        return
    try:
        os.killpg(daemon.proc.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass
    daemon.proc.wait(timeout=10)


if __name__ == "__main__":
    unittest.main()
