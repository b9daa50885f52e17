"""Command line, exit statuses, banner, site identity and port set-up."""

import os
import re
import subprocess
import termios
import time
import unittest

from daemon_log import LOG_LINE
from harness import Daemon

NO_SUCH = "No such file or directory"
BANNER = "NetworkProxy Version: 1.0.7\n"


def run(args, **kw):
    """Run the daemon to its end without a port of ours; returns the Daemon."""
    d = Daemon(args=args, port=False, **kw)
    d.status = d.wait_exit(30)
    d.out = d.stdout()
    d.logs = d.log_files()
    d.messages = d.log_messages()
    d.stop()
    return d


def unshare_works():
    try:
        return subprocess.run(["unshare", "--uts", "true"],
                              capture_output=True, timeout=10).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False


class OptionsTest(unittest.TestCase):
    def assertRejected(self, args, out):
        d = run(args)
        self.assertEqual(d.status, 2, d.out)
        self.assertEqual(d.out, out)
        self.assertEqual(d.logs, [])

    def test_value_longer_than_a_path_is_refused_not_cut(self):
        self.assertRejected(["-f", "i" * 4096], b"Option value too long: f\n")

    def test_unknown_option_prints_only_its_letter(self):
        self.assertRejected(["-x"], b"Invalid option: x\n")

    def test_double_dash_option_is_invalid_dash(self):
        self.assertRejected(["--port", "/dev/ttyS1"], b"Invalid option: -\n")

    def test_lone_dash_reports_nul_letter(self):
        self.assertRejected(["-"], b"Invalid option: \x00\n")

    def test_option_without_value_at_end(self):
        self.assertRejected(["-p"], b"Missing value for option: p\n")
        self.assertRejected(["-p", "/nonexistent", "-f"],
                            b"Missing value for option: f\n")

    def test_value_starting_with_dash_is_scanned_as_option(self):
        self.assertRejected(["-f", "-z.hex"], b"Invalid option: z\n")

    def test_invalid_option_after_valid_ones_wins(self):
        self.assertRejected(["-p", "/nonexistent", "stray", "-f", "a.hex", "-q"],
                            b"Invalid option: q\n")


class PortOpenFailureTest(unittest.TestCase):
    def assertOpenFails(self, args, path, error=NO_SUCH):
        d = run(args)
        self.assertEqual(d.status, 1, d.out)
        site = re.match(rb"^NetworkProxy Version: 1\.0\.7\nSite ID: (.*)\n",
                        d.out)
        self.assertIsNotNone(site, d.out)
        self.assertTrue(d.out.endswith(
            ("Error opening serial port %s - %s.\n" % (path, error)).encode()),
            d.out)
        self.assertEqual(d.out.count(b"\n"), 3, d.out)
        # The operator's first look is the log: the one line is there too.
        self.assertEqual(d.messages,
                         ["Error opening serial port %s - %s." % (path, error)])
        return d

    def test_missing_device(self):
        self.assertOpenFails(["-p", "/nonexistent"], "/nonexistent")

    def test_only_second_character_of_option_counts(self):
        self.assertOpenFails(["stray", "-port", "/nonexistent/ttyS1", "x"],
                             "/nonexistent/ttyS1")

    def test_last_occurrence_wins(self):
        self.assertOpenFails(["-p", "/nonexistent/a", "-p", "/nonexistent/b"],
                             "/nonexistent/b")

    def test_port_value_that_looks_like_option(self):
        # -p takes "-f" as the device; "-f" is then scanned and takes a.hex.
        self.assertOpenFails(["-p", "-f", "/tmp/a.hex"], "-f")

    def test_long_device_path_is_opened_whole(self):
        path = "/nonexistent/" + "d" * 80
        self.assertOpenFails(["-p", path], path)

    def test_regular_file_is_not_a_terminal(self):
        d = Daemon(args=["-p", "plain.txt"], port=False,
                   files={"plain.txt": "not a tty\n"}, start=False)
        try:
            d.start()
            status = d.wait_exit(30)
            out = d.stdout()
            self.assertEqual(status, 1, out)
            self.assertTrue(out.startswith(BANNER.encode()), out)
            self.assertTrue(out.endswith(b"\nError setting TIOCEXCL on plain.txt\n"),
                            out)
            self.assertEqual(d.log_files(), [])
            with open(d.path("plain.txt")) as f:
                self.assertEqual(f.read(), "not a tty\n")
        finally:
            d.stop()


class SiteIdentityTest(unittest.TestCase):
    """The host name, else the first word of site_id.txt, else Unknown ID."""

    LONG_HOST = "h" * 40

    def site(self, hostname=None, site_file=None):
        files = {} if site_file is None else {"site_id.txt": site_file}
        kw = {}
        if hostname is not None:
            kw = dict(unshare_uts=True, shell="hostname " + hostname)
        d = run(["-p", "/nonexistent"], files=files, **kw)
        self.assertEqual(d.status, 1, d.out)
        m = re.search(rb"^Site ID: (.*)$", d.out, re.M)
        self.assertIsNotNone(m, d.out)
        return m.group(1).decode("latin-1")

    @unittest.skipIf(len(os.uname().nodename) >= 32, "host name too long")
    def test_host_name_beats_site_file(self):
        self.assertEqual(self.site(site_file="from-file\n"), os.uname().nodename)

    @unittest.skipUnless(unshare_works(), "needs unshare --uts")
    def test_fallbacks_when_host_name_does_not_fit(self):
        self.assertEqual(self.site(self.LONG_HOST), "Unknown ID")
        self.assertEqual(self.site(self.LONG_HOST, "  shop-12 east\n"), "shop-12")
        self.assertEqual(self.site(self.LONG_HOST, "\n\tfirst\nsecond"), "first")
        self.assertEqual(self.site(self.LONG_HOST, "w" * 40 + " x"), "w" * 31)
        self.assertEqual(self.site(self.LONG_HOST, " \n\t "), "Unknown ID")
        self.assertEqual(self.site(self.LONG_HOST, ""), "Unknown ID")

    @unittest.skipUnless(unshare_works(), "needs unshare --uts")
    def test_host_name_length_boundary(self):
        self.assertEqual(self.site("a" * 31, "file-id"), "a" * 31)
        self.assertEqual(self.site("b" * 32, "file-id"), "file-id")


def preset_bad_line(fd):
    """Line settings the daemon must undo (or keep) at start-up."""
    a = termios.tcgetattr(fd)
    a[0] |= (termios.IGNBRK | termios.BRKINT | termios.PARMRK | termios.ISTRIP |
             termios.INLCR | termios.IGNCR | termios.ICRNL | termios.IXON |
             termios.IXOFF)
    a[1] |= termios.OPOST
    a[2] |= (termios.PARENB | termios.CSTOPB | termios.CRTSCTS | termios.HUPCL)
    a[2] &= ~(termios.CSIZE | termios.CREAD | termios.CLOCAL)
    a[2] |= termios.CS7
    a[3] |= (termios.ECHO | termios.ECHONL | termios.ICANON | termios.ISIG |
             termios.IEXTEN)
    a[4] = a[5] = termios.B1200
    a[6][termios.VMIN] = 5
    a[6][termios.VTIME] = 7
    termios.tcsetattr(fd, termios.TCSANOW, a)


class StartUpTest(unittest.TestCase):
    """One full start-up against a pty, checked from every side."""

    @classmethod
    def setUpClass(cls):
        cls.d = Daemon(answers=[b"version=2.1.4\r\n"] * 2,
                       termios_setup=preset_bad_line)
        cls.started = cls.d.wait_started(40)
        cls.first_query_after = None
        if cls.started:
            cls.first_query_after = cls.d.timed_commands()[0][0] - cls.d.start_time
        cls.d.wait_stdout("Firmware Version", 10)

    @classmethod
    def tearDownClass(cls):
        cls.d.stop()

    def test_standard_output_is_flushed_line_by_line(self):
        self.assertTrue(self.d.alive())
        self.assertEqual(self.d.stdout(),
                         b"NetworkProxy Version: 1.0.7\nSite ID: "
                         + self.site_line() + b"\nFirmware Version: 2.1.4\n")

    def site_line(self):
        m = re.search(rb"Site ID: (.*)\n", self.d.stdout())
        return m.group(1) if m else b"?"

    def test_queries_wait_for_port_pause_and_settle_time(self):
        self.assertTrue(self.started, self.d.commands())
        self.assertGreaterEqual(self.first_query_after, 9.9)
        self.assertEqual(self.d.commands()[:2], [b"v:\r", b"v:\r"])
        log = self.d.log_entries()
        msgs = [m for _, m in log]
        self.assertIn("Configuring Serial Port. Please wait...", msgs)
        self.assertIn("Completed !", msgs)
        i = msgs.index("Configuring Serial Port. Please wait...")
        j = msgs.index("Completed !")
        self.assertLess(i, j)
        fmt = "%Y-%m-%d %H:%M:%S"
        gap = (time.mktime(time.strptime(log[j][0], fmt)) -
               time.mktime(time.strptime(log[i][0], fmt)))
        self.assertGreaterEqual(gap, 5)

    def test_log_file_name_and_line_format(self):
        self.d.wait_log("version=2.1.4", 10, count=2)
        today = time.strftime("%Y-%m-%d", time.gmtime())  # harness runs in UTC
        self.assertIn("log_%s.txt" % today, self.d.log_files())
        for line in self.d.log_lines():
            self.assertRegex(line, LOG_LINE)
        msgs = self.d.log_messages()
        self.assertEqual(msgs[0], "Configuring Serial Port. Please wait...")

    def test_line_settings_after_start_up(self):
        self.assertTrue(self.started)
        iflag, oflag, cflag, lflag, ispeed, ospeed, cc = \
            termios.tcgetattr(self.d.slave)
        self.assertEqual(ispeed, termios.B9600)
        self.assertEqual(ospeed, termios.B9600)
        self.assertEqual(cflag & termios.CSIZE, termios.CS8)
        for name in ("PARENB", "CSTOPB", "CRTSCTS"):
            self.assertFalse(cflag & getattr(termios, name), name)
        for name in ("CREAD", "CLOCAL", "HUPCL"):
            self.assertTrue(cflag & getattr(termios, name), name)
        for name in ("IGNBRK", "BRKINT", "PARMRK", "ISTRIP", "INLCR", "IGNCR",
                     "ICRNL", "IXON"):
            self.assertFalse(iflag & getattr(termios, name), name)
        self.assertTrue(iflag & termios.IXOFF, "IXOFF is not ours to change")
        self.assertFalse(oflag & termios.OPOST)
        for name in ("ECHO", "ECHONL", "ICANON", "ISIG", "IEXTEN"):
            self.assertFalse(lflag & getattr(termios, name), name)
        self.assertEqual(cc[termios.VMIN], 1)
        self.assertEqual(cc[termios.VTIME], 0)


if __name__ == "__main__":
    unittest.main()
