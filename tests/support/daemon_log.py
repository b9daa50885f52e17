"""Reading the daemon's daily log files (log_YYYY-MM-DD.txt) in its working
directory, while it runs or after it ended."""

import os
import re
import time

# A time stamp, a TAB and the message: one line of the daily log.
LOG_LINE = re.compile(r"^(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})\t(.*)$")


def matches(pattern, text):
    """`pattern` is a substring of `text`, or a compiled regex found in it."""
    if isinstance(pattern, re.Pattern):
        return pattern.search(text) is not None
    return pattern in text


class DaemonLog:
    """The log of the daemon whose working directory is self.dir."""

    def path(self, name):
        return os.path.join(self.dir, name)

    def log_files(self):
        return sorted(f for f in os.listdir(self.dir)
                      if f.startswith("log_") and f.endswith(".txt"))

    def log_text(self):
        text = b""
        for name in self.log_files():
            with open(os.path.join(self.dir, name), "rb") as f:
                text += f.read()
        return text.decode("latin-1")

    def log_lines(self):
        """Raw lines of all log files, without their LF."""
        return self.log_text().split("\n")[:-1]

    def log_messages(self):
        """Message part of every time-stamped log line."""
        return [m for _, m in self.log_entries()]

    def log_entries(self):
        """(time stamp, message) of every time-stamped log line."""
        return [LOG_LINE.match(l).groups() for l in self.log_lines()
                if LOG_LINE.match(l)]

    def wait_log(self, pattern, timeout, count=1):
        """Wait until `count` log messages match `pattern` (substring or
        compiled regex). Returns the list of matching messages, or None."""
        deadline = time.monotonic() + timeout
        while True:
            hits = [m for m in self.log_messages() if matches(pattern, m)]
            if len(hits) >= count:
                return hits
            if time.monotonic() >= deadline:
                return None
            time.sleep(0.1)
