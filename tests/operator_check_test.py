"""networkproxyctl check as the unit runs it before the daemon, and the
daemon's own refusal of the two settings no site can run with.

check reads an environment file the way systemd does and exits 78 on any
broken setting, so ExecStartPre stops a broken site before it starts; the
daemon exits 78 (not restarted) on a report URL it cannot post to and on a
token it would send in clear, with the same line on standard output and in
the log. Both fail before the port is waited for, so these runs are quick."""

import os
import subprocess
import unittest

import harness
from workdir import remove_folder, temp_folder

CTL = harness.CTL
TOKEN_OVER_HTTP = ("NETWORKPROXY_REPORT_TOKEN_FILE - refused: the report URL is not "
                   "https://, so the token would cross the network in clear")


def ctl(*args, cwd=None, env=None):
    run_env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin")}
    run_env.update(env or {})
    proc = subprocess.run([CTL] + list(args), cwd=cwd, env=run_env, capture_output=True,
                          text=True, timeout=30)
    return proc.returncode, proc.stdout, proc.stderr


class CheckCommandTest(unittest.TestCase):
    def setUp(self):
        self.dir = temp_folder("np-check-")
        self.addCleanup(remove_folder, self.dir)
        with open(os.path.join(self.dir, "token"), "w") as f:
            f.write("t0ken\n")

    def write_env(self, text):
        path = os.path.join(self.dir, "networkproxy")
        with open(path, "w") as f:
            f.write(text)
        return path

    def test_env_file_lines_and_exit_status(self):
        good = ('# Settings for the networkproxy service\n'
                '\n'
                'NETWORKPROXY_ARGS=""\n'
                'NETWORKPROXY_REPORT_URL="https://reports.example.com/ping.json"\n'
                "NETWORKPROXY_REPORT_TOKEN_FILE='token'\n"
                '#NETWORKPROXY_SPOOL=/nowhere/spool.db\n'
                'NETWORKPROXY_LOG_KEEP_DAYS=90\n')
        cases = [
            (good, 0, ["ok NETWORKPROXY_REPORT_URL", "ok NETWORKPROXY_REPORT_TOKEN_FILE",
                       "ok NETWORKPROXY_LOG_KEEP_DAYS"]),
            (good.replace("https://", "htps://"), 78,
             ['NETWORKPROXY_REPORT_URL - scheme "htps" is not http or https', TOKEN_OVER_HTTP,
              "ok NETWORKPROXY_LOG_KEEP_DAYS"]),
            (good + "NETWORKPROXY_FIRMWARE_BUCKET=My_Bucket\n", 78,
             ["ok NETWORKPROXY_REPORT_URL", "ok NETWORKPROXY_REPORT_TOKEN_FILE",
              "NETWORKPROXY_FIRMWARE_BUCKET - 'M' is not allowed (lower-case letters, "
              "digits, '.' and '-' only)", "ok NETWORKPROXY_LOG_KEEP_DAYS"]),
            ("NETWORKPROXY_PORT=/dev/null\nbroken line\n", 78,
             ["{env} - line 2: not KEY=value", "NETWORKPROXY_PORT - not a terminal"]),
        ]
        for text, status, lines in cases:
            with self.subTest(text=text):
                path = self.write_env(text)
                code, out, _ = ctl("check", "--env-file", path, cwd=self.dir)
                self.assertEqual(out.splitlines(), [l.format(env=path) for l in lines])
                self.assertEqual(code, status)

    def test_environment_is_read_without_a_file(self):
        code, out, _ = ctl("check", cwd=self.dir, env={"NETWORKPROXY_SPOOL_MAX_EVENTS": "0"})
        self.assertEqual(out, "NETWORKPROXY_SPOOL_MAX_EVENTS - not a positive whole number: 0\n")
        self.assertEqual(code, 78)

    def test_usage(self):
        for args, status in ((["check", "--help"], 0), (["--help"], 0), (["check", "-x"], 2),
                             (["check", "--env-file"], 2), (["frobnicate"], 2), ([], 2),
                             (["check", "--env-file", "/nonexistent"], 78),
                             (["status", "--json", "x"], 2), (["status"], 78),
                             (["spool"], 2), (["spool", "list", "--limit", "0"], 2),
                             (["spool", "purge-dead", "--dead"], 2), (["spool", "list"], 78),
                             (["spool", "--help"], 0)):
            with self.subTest(args=args):
                code, out, err = ctl(*args, cwd=self.dir)
                self.assertEqual(code, status)
                if status == 2:
                    self.assertIn("usage: networkproxyctl", err)
                if args and args[-1] == "--help":
                    self.assertIn("usage: networkproxyctl", out)


class DaemonRefusalTest(unittest.TestCase):
    def test_fatal_settings_end_the_daemon_with_78_and_one_line(self):
        cases = [
            ({"NETWORKPROXY_REPORT_URL": "htps://reports.example.com/ping.json"},
             'NETWORKPROXY_REPORT_URL - scheme "htps" is not http or https'),
            ({"NETWORKPROXY_REPORT_URL": "http://127.0.0.1:9/ping.json",
              "NETWORKPROXY_REPORT_TOKEN_FILE": "token"}, TOKEN_OVER_HTTP),
        ]
        for env, line in cases:
            with self.subTest(env=env), harness.Daemon(env=env, files={"token": "t0ken\n"}) as d:
                self.assertEqual(d.wait_exit(timeout=20), 78)
                self.assertEqual(d.stdout().decode(), line + "\n")
                self.assertEqual(d.log_messages(), [line])


if __name__ == "__main__":
    unittest.main()
