"""A file system that loses what was not synced when the power goes.

Run as a program (`powercut_fs.py BACKING MOUNTPOINT [--fsync-delay-ms N]`)
it mounts a pass-through view of BACKING at MOUNTPOINT with FUSE. Data
written through it is kept apart, per file and in memory, and reaches
BACKING only when the file is synced (fsync or fdatasync). A lookup of
POWER_CUT in the mount's top folder is the power cut: every unsynced byte
is thrown away and every later operation fails with EIO, so after the
unmount BACKING holds exactly what was synced.

How strict: file data is durable only once synced, which is what ext4 with
default options guarantees (its rename heuristics start writeback but do
not wait for it). A file renamed into place without its data synced first
is therefore empty (or keeps its old synced content) after a cut. Directory
changes (create, rename, unlink) reach BACKING at once: gentler than ext4,
where they need a sync of the directory, but the faults these tests look
for are in file data.

The test side: PowerCutMount mounts, cuts and unmounts, each with a
deadline.
"""

import argparse
import errno
import os
import subprocess
import sys
import threading
import time

from fusepy import FUSE, FuseOSError  # Debian's python3-fusepy

POWER_CUT = ".power-cut"


class _Content:
    """A file's content as written through the mount (kept after a sync, so
    the next write need not read the file again), and what of it the
    backing file lacks: the ranges written and the smallest size since the
    last sync."""

    def __init__(self, data):
        self.data = data
        self.synced_size = len(data)
        self.smallest = len(data)
        self.dirty = []  # (start, end) written since the last sync

    def write(self, buf, offset):
        start = min(offset, len(self.data))  # a hole reads as zeros
        if len(self.data) < offset:
            self.data.extend(bytes(offset - len(self.data)))
        self.data[offset:offset + len(buf)] = buf
        self.dirty.append((start, offset + len(buf)))

    def resize(self, length):
        if length < len(self.data):
            del self.data[length:]
            self.smallest = min(self.smallest, length)
        else:
            self.dirty.append((len(self.data), length))
            self.data.extend(bytes(length - len(self.data)))

    def sync_to(self, real):
        if not self.dirty and self.smallest == self.synced_size == len(self.data):
            return
        with open(real, "r+b") as f:
            f.truncate(self.smallest)
            for start, end in self.dirty:
                f.seek(start)
                f.write(self.data[start:end])
            f.truncate(len(self.data))
        self.synced_size = self.smallest = len(self.data)
        self.dirty = []


class PowerCutFS:
    """The FUSE operations, by fusepy's names: fusepy hands the kernel only
    the operations this class has, and calls each through __call__."""

    def __init__(self, backing, fsync_delay_ms=0):
        self.backing = os.path.realpath(backing)
        self.delay = fsync_delay_ms / 1000.0
        self.mutex = threading.RLock()
        self.files = {}  # path -> _Content: files written through the mount
        self.cut = False

    # -- helpers -----------------------------------------------------------
    def _real(self, path):
        return os.path.join(self.backing, path.lstrip("/"))

    def _alive(self):
        if self.cut:
            raise FuseOSError(errno.EIO)

    def _content(self, path):
        """The content of `path` as written, starting from what was synced."""
        content = self.files.get(path)
        if content is None:
            with open(self._real(path), "rb") as f:
                content = _Content(bytearray(f.read()))
            self.files[path] = content
        return content

    def _moved(self, old, new):
        """Unsynced data travels with a renamed file or folder."""
        self.files.pop(new, None)
        for path in [p for p in self.files if p == old or p.startswith(old + "/")]:
            self.files[new + path[len(old):]] = self.files.pop(path)

    def __call__(self, op, *args):
        # fusepy calls every operation through here.
        if op == "getattr" and args[0] == "/" + POWER_CUT:
            with self.mutex:
                self.cut = True
                self.files.clear()
            raise FuseOSError(errno.ENOENT)
        method = getattr(self, op)
        try:
            if op in ("fsync", "fsyncdir"):
                return method(*args)  # takes the lock itself, after its delay
            with self.mutex:
                self._alive()
                return method(*args)
        except OSError as e:
            if isinstance(e, FuseOSError):
                raise
            raise FuseOSError(e.errno or errno.EIO)

    # -- metadata ----------------------------------------------------------
    def getattr(self, path, fh=None):
        st = os.lstat(self._real(path))
        attrs = {k: getattr(st, k) for k in (
            "st_mode", "st_nlink", "st_uid", "st_gid", "st_size",
            "st_atime", "st_mtime", "st_ctime")}
        if path in self.files:
            attrs["st_size"] = len(self.files[path].data)
        return attrs

    def access(self, path, mode):
        if not os.access(self._real(path), mode):
            raise FuseOSError(errno.EACCES)
        return 0

    def readdir(self, path, fh):
        return [".", ".."] + os.listdir(self._real(path))

    def readlink(self, path):
        return os.readlink(self._real(path))

    def statfs(self, path):
        st = os.statvfs(self._real(path))
        return {k: getattr(st, k) for k in (
            "f_bavail", "f_bfree", "f_blocks", "f_bsize", "f_favail",
            "f_ffree", "f_files", "f_flag", "f_frsize", "f_namemax")}

    def chmod(self, path, mode):
        return os.chmod(self._real(path), mode)

    def chown(self, path, uid, gid):
        return os.lchown(self._real(path), uid, gid)

    def utimens(self, path, times=None):
        return os.utime(self._real(path), times, follow_symlinks=False)

    # -- the namespace: at once --------------------------------------------
    def mkdir(self, path, mode):
        return os.mkdir(self._real(path), mode)

    def rmdir(self, path):
        return os.rmdir(self._real(path))

    def symlink(self, target, source):
        return os.symlink(source, self._real(target))

    def unlink(self, path):
        os.unlink(self._real(path))
        self.files.pop(path, None)

    def rename(self, old, new):
        os.rename(self._real(old), self._real(new))
        self._moved(old, new)

    def create(self, path, mode, fi=None):
        os.close(os.open(self._real(path), os.O_WRONLY | os.O_CREAT, mode))
        self.files[path] = _Content(bytearray())
        return 0

    def open(self, path, flags):
        os.close(os.open(self._real(path), flags & ~(os.O_TRUNC | os.O_CREAT)))
        if flags & os.O_TRUNC:
            self._content(path).resize(0)
        return 0

    def release(self, path, fh):
        return 0

    def flush(self, path, fh):
        return 0  # a close is not a sync

    def opendir(self, path):
        return 0

    def releasedir(self, path, fh):
        return 0

    # -- data: kept apart until synced -------------------------------------
    def read(self, path, size, offset, fh):
        content = self.files.get(path)
        if content is not None:
            return bytes(content.data[offset:offset + size])
        with open(self._real(path), "rb") as f:
            f.seek(offset)
            return f.read(size)

    def write(self, path, buf, offset, fh):
        self._content(path).write(buf, offset)
        return len(buf)

    def truncate(self, path, length, fh=None):
        self._content(path).resize(length)
        return 0

    def fsync(self, path, datasync, fh):
        if self.delay:
            time.sleep(self.delay)  # a slow card: the caller waits, others go on
        with self.mutex:
            self._alive()
            content = self.files.get(path)
            if content is not None:
                content.sync_to(self._real(path))
        return 0

    def fsyncdir(self, path, datasync, fh):
        if self.delay:
            time.sleep(self.delay)
        with self.mutex:
            self._alive()
        return 0


def serve(backing, mountpoint, fsync_delay_ms):
    FUSE(PowerCutFS(backing, fsync_delay_ms), mountpoint, foreground=True, nothreads=False,
                big_writes=True, max_write=131072, attr_timeout=0,
                entry_timeout=0, negative_timeout=0)


class PowerCutMount:
    """Mounts BACKING at MOUNTPOINT through the power-cut file system, in a
    process of its own; cut() is the power cut, unmount() ends the mount
    and the process. Every wait has a deadline."""

    def __init__(self, backing, mountpoint, fsync_delay_ms=0, timeout=10):
        self.backing, self.mountpoint = backing, mountpoint
        self.proc = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), backing, mountpoint,
             "--fsync-delay-ms", str(fsync_delay_ms)],
            start_new_session=True)
        deadline = time.monotonic() + timeout
        while not self.mounted():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.unmount()
                raise AssertionError("power-cut file system did not mount at " + mountpoint)
            time.sleep(0.02)

    def mounted(self):
        # Not os.path.ismount: after the cut the mount answers EIO, which
        # ismount takes for "not mounted".
        target = os.path.realpath(self.mountpoint)
        with open("/proc/self/mounts") as f:
            return any(line.split()[1] == target for line in f)

    def cut(self, timeout=10):
        """Throws away everything not synced; the mount answers EIO from now on."""
        answer = []

        def look_up():
            try:
                os.stat(os.path.join(self.mountpoint, POWER_CUT))
            except OSError as e:
                answer.append(e.errno)

        # In a thread: a file system that hangs must not hang the test.
        thread = threading.Thread(target=look_up, daemon=True)
        thread.start()
        thread.join(timeout)
        if answer != [errno.ENOENT]:
            raise AssertionError("the power-cut file system did not take the cut: %r" % answer)

    def unmount(self, timeout=10):
        """Unmounts (processes using the mount must be gone) and waits for
        the file system's process to end."""
        if self.mounted():
            subprocess.run(["fusermount3", "-u", self.mountpoint], timeout=timeout,
                           check=False)
        if self.mounted():
            subprocess.run(["fusermount3", "-u", "-z", self.mountpoint], timeout=timeout,
                           check=False)
        try:
            self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(timeout=timeout)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.unmount()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("backing")
    parser.add_argument("mountpoint")
    parser.add_argument("--fsync-delay-ms", type=float, default=0,
                        help="time each fsync takes, as on a slow card")
    args = parser.parse_args()
    serve(args.backing, args.mountpoint, args.fsync_delay_ms)


if __name__ == "__main__":
    main()
