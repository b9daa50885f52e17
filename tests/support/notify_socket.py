"""A stand-in for the service manager's notification socket.

NotifySocket binds a datagram socket in a fresh folder; put its `path` into
the daemon's NOTIFY_SOCKET and every sd_notify message the daemon sends is
recorded with its arrival time. Each message is split into its
newline-separated assignments ("READY=1", "STATUS=...", "WATCHDOG=1").
Every wait has a deadline; close() (or the context manager) stops the reader
and removes the folder.
"""

import os
import socket
import threading
import time

from workdir import remove_folder, temp_folder


class NotifySocket:
    def __init__(self):
        self.dir = temp_folder("np-notify-")
        self.path = os.path.join(self.dir, "notify")
        self._sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self._sock.bind(self.path)
        self._sock.settimeout(0.1)
        self._cond = threading.Condition()
        self._items = []  # (monotonic time, "NAME=value")
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._read, daemon=True)
        self._thread.start()

    def _read(self):
        while not self._stop.is_set():
            try:
                data = self._sock.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                break
            now = time.monotonic()
            with self._cond:
                for item in data.decode("utf-8", "replace").split("\n"):
                    if item:
                        self._items.append((now, item))
                self._cond.notify_all()

    def items(self, prefix=""):
        """(time, assignment) of every assignment starting with `prefix`."""
        with self._cond:
            return [(t, i) for t, i in self._items if i.startswith(prefix)]

    def values(self, name):
        """Values of every `name`= assignment, in arrival order."""
        return [i[len(name) + 1:] for _, i in self.items(name + "=")]

    def wait(self, predicate, timeout):
        """Wait until predicate(self) is true; returns its last value."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                result = predicate(self)
                if result or time.monotonic() >= deadline:
                    return result
                self._cond.wait(min(0.2, max(0.0, deadline - time.monotonic())))

    def wait_value(self, name, needle, timeout):
        """Wait for a `name`= value containing `needle`; returns it or None."""
        def found(s):
            hits = [v for v in s.values(name) if needle in v]
            return hits[-1] if hits else None
        return self.wait(found, timeout)

    def close(self):
        self._stop.set()
        self._thread.join(timeout=5)
        self._sock.close()
        remove_folder(self.dir)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
