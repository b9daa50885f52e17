"""Store and forward with a bad spool: a garbage file, a full spool, a folder
that cannot be written, a full file system. The daemon keeps reporting."""

import errno
import os
import shutil
import subprocess
import tempfile
import time
import unittest

from harness import start_daemon
from standins import ReportServer
from spool_support import (LONGEST_RETRY, UUID4, bring_back, key, payload,
                           send_events, spool_env, wait_for_event)

GARBAGE = b"this is not a database\n" * 200
NOT_WRITABLE = "not writable - "
IN_MEMORY = "Error: Spool cannot store events - keeping them in memory"


def mount_tmpfs(path, options):
    """Mounts a tmpfs on `path`; returns the reason when that is not possible."""
    if os.geteuid() != 0:
        return "mounting a file system needs root"
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", path],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    return None if done.returncode == 0 else done.stdout.decode(errors="replace").strip()


def unmount(path):
    subprocess.run(["umount", "-l", path], stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


class GarbageFileAndBoundTest(unittest.TestCase):
    BOUND = 5

    @classmethod
    def setUpClass(cls):
        cls.server = ReportServer()
        cls.d = start_daemon(cls.server, files={"spool.db": GARBAGE},
                                       env=spool_env("spool.db", cls.BOUND))

    @classmethod
    def tearDownClass(cls):
        cls.d.stop()
        cls.server.stop()

    def test_full_spool_drops_the_oldest_and_the_newest_arrive(self):
        self.server.stop()
        send_events(self.d, "n", self.BOUND + 3)
        self.assertTrue(self.d.wait_log("Spool full: dropped the oldest event", 30, count=3))
        time.sleep(1)
        self.assertEqual(self.d.log_messages().count("Spool full: dropped the oldest event"), 3)

        type(self).server = bring_back(self.server)
        self.server.wait_requests(self.BOUND, LONGEST_RETRY)
        time.sleep(1)
        self.assertEqual([payload(r) for r in self.server.requests],
                         [{"n": str(n)} for n in range(3, self.BOUND + 3)])
        self.assertTrue(all(UUID4.match(key(r) or "") for r in self.server.requests))

    def test_garbage_spool_is_moved_aside_and_a_new_one_used(self):
        aside = [f for f in os.listdir(self.d.dir) if f.startswith("spool.db.corrupt-")]
        self.assertEqual(len(aside), 1, os.listdir(self.d.dir))
        with open(self.d.path(aside[0]), "rb") as f:
            self.assertEqual(f.read(), GARBAGE)
        self.assertIn("Error: Spool spool.db unusable - file is not a database; moved aside as "
                      + aside[0], self.d.log_messages())
        self.assertTrue(self.d.alive())


class UnwritableFolderTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="np-spool-ro-")
        self.mounted = False
        if os.geteuid() == 0:
            # Root writes through permission bits: only a read-only mount stops it.
            reason = mount_tmpfs(self.folder, "ro,size=64k")
            if reason:
                shutil.rmtree(self.folder)
                self.skipTest("cannot make a read-only folder as root: " + reason)
            self.mounted = True
        else:
            os.chmod(self.folder, 0o555)
        self.server = ReportServer()
        self.spool = os.path.join(self.folder, "spool.db")
        self.d = start_daemon(self.server, env=spool_env(self.spool))

    def tearDown(self):
        self.d.stop()
        self.server.stop()
        if self.mounted:
            unmount(self.folder)
        os.chmod(self.folder, 0o755)
        shutil.rmtree(self.folder, ignore_errors=True)

    def test_events_wait_in_memory_and_are_posted_by_the_sender(self):
        commands = len(self.d.commands())
        self.server.set_default({"body": '{"colour":"blue"}'})
        self.d.send_line(b"i:a=1\n")
        self.assertEqual(self.d.wait_commands(3, 20, start=commands),
                         [b"s:1\r", b"c:blue\r", b"f:\r"])
        self.d.send_line(b"i:b=1\n")
        self.assertEqual(len(self.d.wait_commands(6, 20, start=commands)), 6)
        requests = self.server.requests
        self.assertEqual([payload(r) for r in requests], [{"a": "1"}, {"b": "1"}])
        # Keyed when read, as a kept event is.
        self.assertTrue(all(UUID4.match(key(r) or "") for r in requests))
        faults = [m for m in self.d.log_messages() if NOT_WRITABLE in m]
        self.assertEqual(len(faults), 1, faults)
        self.assertTrue(faults[0].startswith("Error: Spool %s not writable - " % self.spool))
        self.assertEqual(self.d.log_messages().count(IN_MEMORY), 1)
        self.assertFalse(os.path.exists(self.spool))


class FullFileSystemTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="np-spool-full-")
        reason = mount_tmpfs(self.folder, "size=1m")
        if reason:
            shutil.rmtree(self.folder)
            self.skipTest("a small file system to fill needs a tmpfs mount: " + reason)
        self.server = ReportServer()
        self.d = start_daemon(
            self.server, env=spool_env(os.path.join(self.folder, "spool.db")))

    def tearDown(self):
        self.d.stop()
        self.server.stop()
        unmount(self.folder)
        shutil.rmtree(self.folder, ignore_errors=True)

    def fill(self):
        filler = os.path.join(self.folder, "filler")
        with open(filler, "wb", buffering=0) as f:
            block = b"\0" * 4096
            try:
                while True:
                    f.write(block)
            except OSError as error:
                self.assertEqual(error.errno, errno.ENOSPC)
        return filler

    def test_daemon_keeps_reporting_when_the_disk_fills_and_spools_again_after(self):
        self.d.send_line(b"i:before=1\n")
        self.assertTrue(self.server.wait_requests(1, 20))
        filler = self.fill()

        # Big events need new pages at once; each arrives, kept or not.
        wide = "x" * 900
        for n in range(20):
            self.d.send_line(("i:full=%d,pad=%s\n" % (n, wide)).encode())
        # The first event's removal may meet the full disk too: it is then
        # posted again under its key, which the server may see among these.
        wanted = {str(n) for n in range(20)}
        deadline = time.monotonic() + 120
        got = set()
        while time.monotonic() < deadline and not wanted <= got:
            got = {payload(r).get("full") for r in self.server.requests[1:]}
            time.sleep(0.2)
        self.assertTrue(self.d.wait_log(NOT_WRITABLE, 10))
        self.assertEqual(got - {None}, wanted)
        self.assertEqual(sum(1 for m in self.d.log_messages() if NOT_WRITABLE in m), 1)

        os.unlink(filler)
        self.d.send_line(b"i:after=1\n")
        after = wait_for_event(self.server, "after", LONGEST_RETRY)
        self.assertEqual(len(after), 1, self.d.log_messages()[-12:])
        self.assertTrue(self.d.wait_log("writable again", 10))
        self.assertTrue(self.d.alive())

    def test_full_disk_with_the_server_down_loses_nothing(self):
        self.server.stop()
        send_events(self.d, "kept", 3)
        self.assertTrue(self.d.wait_log("Error: Report failed", 20))
        filler = self.fill()
        wide = "x" * 900  # new pages at once
        for n in range(30):
            self.d.send_line(("i:full=%d,pad=%s\n" % (n, wide)).encode())
        self.assertTrue(self.d.wait_log(IN_MEMORY, 20), self.d.log_messages()[-8:])
        time.sleep(1)
        # The disk recovers, then the server: the next line stores memory first.
        os.unlink(filler)
        self.d.send_line(b"i:after=1\n")
        self.assertTrue(self.d.wait_log("writable again", 20))
        self.server = bring_back(self.server)
        wanted = ["kept:%d" % n for n in range(3)] + ["full:%d" % n for n in range(30)] + ["after:1"]
        deadline = time.monotonic() + LONGEST_RETRY
        while time.monotonic() < deadline:
            events = [payload(r) for r in self.server.requests]
            got = ["%s:%s" % (k, e[k]) for e in events for k in ("kept", "full", "after") if k in e]
            if len(got) >= len(wanted):
                break
            time.sleep(0.5)
        # Each once (keys tell a resend apart), in the order read.
        first = {}
        for r in self.server.requests:
            first.setdefault(key(r), r)
        events = [payload(r) for r in first.values()]
        got = ["%s:%s" % (k, e[k]) for e in events for k in ("kept", "full", "after") if k in e]
        self.assertEqual(got, wanted)
        self.assertEqual(self.d.log_messages().count(IN_MEMORY), 1)


if __name__ == "__main__":
    unittest.main()
