"""networkproxyctl spool, which an operator runs as root, handed a spool.db
that the service user (or whoever took it over) made hostile: every such file
ends in one line naming it, at once or within the tool's time limit, and
nothing outside the file is read or changed. And what the tool lists is shown
with its control bytes escaped, so a payload cannot drive the terminal."""

import os
import sqlite3
import subprocess
import unittest

import harness
from workdir import remove_folder, temp_folder

CTL = harness.CTL
SPOOL_TABLE = ("CREATE TABLE events (id INTEGER PRIMARY KEY AUTOINCREMENT, key TEXT NOT NULL,"
               " received_ms INTEGER NOT NULL, payload BLOB NOT NULL, dead_ms INTEGER)")
KEY = "0b7c1f7e-3c1a-4e0e-9a53-2f6a3c0d9e11"
FOREVER = ("WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n)"
           " SELECT x, '', 0, '', NULL FROM n")


def make_spool(path, *statements, dead=True):
    """A spool holding one event (a dead letter unless `dead` is false),
    then `statements` run over it."""
    db = sqlite3.connect(path)
    db.execute(SPOOL_TABLE)
    db.execute("INSERT INTO events (key, received_ms, payload, dead_ms) VALUES (?, ?, ?, ?)",
               (KEY, 1796819465000, "door=1", 1796819466000 if dead else None))
    for statement in statements:
        db.execute(statement)
    db.commit()
    db.close()


def dead_letters(path):
    db = sqlite3.connect(path)
    try:
        return db.execute("SELECT count(*) FROM events WHERE dead_ms IS NOT NULL").fetchone()[0]
    finally:
        db.close()


class HostileSpoolTest(unittest.TestCase):
    def setUp(self):
        self.dir = temp_folder("np-hostile-")
        self.addCleanup(remove_folder, self.dir)
        self.spool = os.path.join(self.dir, "spool.db")

    def ctl(self, *args):
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin")}
        settings = os.path.join(self.dir, "settings")
        with open(settings, "w") as f:
            f.write("NETWORKPROXY_SPOOL=spool.db\n")
        # The subprocess deadline is the hang check: the tool's own limit is 2 s
        # of work plus 2 s of waiting for a lock.
        proc = subprocess.run([CTL, "spool", "--env-file", settings, "--dir", self.dir] + list(args), cwd="/", env=env,
                              capture_output=True, timeout=30)
        return proc.returncode, proc.stdout.decode("latin-1"), proc.stderr.decode("latin-1")

    def test_each_hostile_file_ends_in_one_line_and_changes_nothing_outside(self):
        def symlink_to_root_only_spool():
            target = os.path.join(self.dir, "root-only.db")
            make_spool(target)
            os.symlink("root-only.db", self.spool)
            return lambda: self.assertEqual(dead_letters(target), 1, "the link's target changed")

        def fifo():
            os.mkfifo(self.spool)

        def view_named_events():
            db = sqlite3.connect(self.spool)
            db.execute("CREATE VIEW events AS SELECT 1 AS id, '' AS key, 0 AS received_ms,"
                       " '' AS payload, NULL AS dead_ms")
            db.close()

        def recursive_view_named_events():
            db = sqlite3.connect(self.spool)
            db.execute("CREATE VIEW events (id, key, received_ms, payload, dead_ms) AS " + FOREVER)
            db.close()

        def locked_spool():
            make_spool(self.spool)
            holder = sqlite3.connect(self.spool, isolation_level=None)
            holder.execute("BEGIN EXCLUSIVE")
            self.addCleanup(holder.close)
            return lambda: (holder.rollback(), self.assertEqual(dead_letters(self.spool), 1))

        def trigger_that_never_ends():
            make_spool(self.spool,
                       "CREATE TABLE sink (a, b, c, d, e)",
                       "CREATE TRIGGER hang BEFORE DELETE ON events BEGIN"
                       " INSERT INTO sink " + FOREVER + "; END")
            return lambda: self.assertEqual(dead_letters(self.spool), 1, "purge not undone")

        def not_sqlite():
            with open(self.spool, "w") as f:
                f.write("id,key,payload\n1,x,door=1\n" * 100)

        def empty_file():
            open(self.spool, "w").close()

        cases = [
            (symlink_to_root_only_spool, ["purge-dead"], "not a spool file"),
            (symlink_to_root_only_spool, ["list", "--dead"], "not a spool file"),
            (fifo, ["list"], "not a spool file"),
            (fifo, ["purge-dead"], "not a spool file"),
            (view_named_events, ["list"], "not a spool file"),
            (recursive_view_named_events, ["list"], "not a spool file"),
            (recursive_view_named_events, ["resend-dead"], "not a spool file"),
            (locked_spool, ["list"], "busy"),
            (locked_spool, ["purge-dead"], "busy"),
            (trigger_that_never_ends, ["purge-dead"], "busy"),
            (not_sqlite, ["list"], "not a spool file"),
            (empty_file, ["resend-dead"], "not a spool file"),
        ]
        for make, args, reason in cases:
            with self.subTest(file=make.__name__, command=args):
                for name in os.listdir(self.dir):
                    os.unlink(os.path.join(self.dir, name))
                after = make()
                status, out, err = self.ctl(*args)
                self.assertEqual((status, out, err), (1, "spool.db - %s\n" % reason, ""))
                if after:
                    after()

    def test_listed_events_show_control_bytes_escaped(self):
        make_spool(self.spool,
                   "UPDATE events SET payload = 'alarm=' || char(27) || '[31mred' || char(127),"
                   " key = key || char(13)")
        status, out, _ = self.ctl("list", "--dead")
        self.assertEqual(status, 0)
        self.assertEqual(out, "2026-12-09T12:31:05Z %s\\x0D alarm=\\x1B[31mred\\x7F\n" % KEY)


if __name__ == "__main__":
    unittest.main()
