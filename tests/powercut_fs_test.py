"""The power-cut file system itself: what was synced survives a cut, what
was only written does not. The daemon's power-cut tests are only as good as
this."""

import os
import unittest

from powercut_fs import PowerCutMount
from workdir import remove_folder, temp_folder


class PowerCutFileSystem(unittest.TestCase):
    def setUp(self):
        self.top = temp_folder("np-powercut-fs-")
        self.addCleanup(remove_folder, self.top)
        self.backing = os.path.join(self.top, "backing")
        self.mnt = os.path.join(self.top, "mnt")
        os.mkdir(self.backing)
        os.mkdir(self.mnt)
        with open(os.path.join(self.backing, "old"), "wb") as f:
            f.write(b"synced long ago")

    def write(self, name, data, sync, mode="wb"):
        with open(os.path.join(self.mnt, name), mode) as f:
            f.write(data)
            f.flush()
            if sync:
                os.fsync(f.fileno())

    def backed(self, name):
        path = os.path.join(self.backing, name)
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            return f.read()

    def test_unsynced_data_is_lost_and_synced_data_survives_a_cut(self):
        fs = PowerCutMount(self.backing, self.mnt)
        self.addCleanup(fs.unmount)
        self.write("synced", b"kept", sync=True)
        self.write("synced", b" and lost", sync=False, mode="ab")
        self.write("unsynced", b"lost", sync=False)
        self.write("old", b"overwritten, unsynced", sync=False)
        # Renamed into place without a sync first: the rename alone keeps no data.
        self.write("image.tmp", b"whole image", sync=False)
        os.rename(os.path.join(self.mnt, "image.tmp"), os.path.join(self.mnt, "image"))
        # Synced, then renamed: kept under its new name.
        self.write("record.tmp", b"hand-off", sync=True)
        os.rename(os.path.join(self.mnt, "record.tmp"), os.path.join(self.mnt, "record"))
        # Before the cut, readers see everything written.
        with open(os.path.join(self.mnt, "synced"), "rb") as f:
            self.assertEqual(f.read(), b"kept and lost")
        self.assertEqual(os.path.getsize(os.path.join(self.mnt, "image")), 11)

        fs.cut()
        with self.assertRaises(OSError):
            self.write("after", b"x", sync=True)
        fs.unmount()

        self.assertEqual(self.backed("synced"), b"kept")
        self.assertIn(self.backed("unsynced"), (None, b""))
        self.assertEqual(self.backed("old"), b"synced long ago")
        self.assertIn(self.backed("image"), (None, b""))
        self.assertEqual(self.backed("record"), b"hand-off")

    def test_a_sync_keeps_exactly_what_was_written_also_when_slow(self):
        with PowerCutMount(self.backing, self.mnt, fsync_delay_ms=50) as fs:
            self.write("slow", b"kept", sync=True)
            # Shorter content over a longer synced one: no old tail survives.
            self.write("old", b"new", sync=True)
            with open(os.path.join(self.mnt, "sparse"), "wb") as f:
                f.seek(5)
                f.write(b"x")
                f.flush()
                os.fsync(f.fileno())
            fs.cut()
        self.assertEqual(self.backed("slow"), b"kept")
        self.assertEqual(self.backed("old"), b"new")
        self.assertEqual(self.backed("sparse"), b"\0\0\0\0\0x")


if __name__ == "__main__":
    unittest.main()
