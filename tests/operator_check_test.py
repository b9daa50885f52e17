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


# The unit's Environment= values lie under every run; blanked here, as a
# caller's environment may, so that each case shows only its own settings.
QUIET_UNIT = {"NETWORKPROXY_PORT": "", "AWS_SHARED_CREDENTIALS_FILE": ""}
MISSING_CREDENTIALS = ("AWS_SHARED_CREDENTIALS_FILE - missing: the firmware check uses the "
                       "built-in example key pair")


def ctl(*args, cwd=None, env=None):
    run_env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin")}
    run_env.update(QUIET_UNIT)
    run_env.update(env or {})
    run_env = {k: v for k, v in run_env.items() if v is not None}
    proc = subprocess.run([CTL] + list(args), cwd=cwd, env=run_env, capture_output=True,
                          text=True, timeout=30)
    return proc.returncode, proc.stdout, proc.stderr


class CheckCommandTest(unittest.TestCase):
    def setUp(self):
        self.dir = temp_folder("np-check-")
        self.addCleanup(remove_folder, self.dir)
        for name, mode in (("token", 0o640), ("open-token", 0o644)):
            with open(os.path.join(self.dir, name), "w") as f:
                f.write("t0ken\n")
            os.chmod(os.path.join(self.dir, name), mode)

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
            # A misspelt name would leave its setting silently off.
            (good + "NETWORKPROXY_SPOL=spool.db\nNETWORKPROXY_FROBNICATE=1\n", 78,
             ["NETWORKPROXY_FROBNICATE - unknown setting",
              "NETWORKPROXY_SPOL - unknown setting (did you mean NETWORKPROXY_SPOOL?)",
              "ok NETWORKPROXY_REPORT_URL", "ok NETWORKPROXY_REPORT_TOKEN_FILE",
              "ok NETWORKPROXY_LOG_KEEP_DAYS"]),
            # Warnings: the daemon runs, but the site should act.
            (good + "AWS_SHARED_CREDENTIALS_FILE=aws-credentials\n", 0,
             ["ok NETWORKPROXY_REPORT_URL", "ok NETWORKPROXY_REPORT_TOKEN_FILE",
              MISSING_CREDENTIALS, "ok NETWORKPROXY_LOG_KEEP_DAYS"]),
            # What the file holds is shown with its control bytes escaped.
            (good + "NETWORKPROXY_FIRMWARE_BUCKET=a\x1bb\n", 78,
             ["ok NETWORKPROXY_REPORT_URL", "ok NETWORKPROXY_REPORT_TOKEN_FILE",
              "NETWORKPROXY_FIRMWARE_BUCKET - '\\x1B' is not allowed (lower-case letters, "
              "digits, '.' and '-' only)", "ok NETWORKPROXY_LOG_KEEP_DAYS"]),
            (good.replace("'token'", "'open-token'"), 0,
             ["ok NETWORKPROXY_REPORT_URL", "NETWORKPROXY_REPORT_TOKEN_FILE - readable by other "
              "users (the daemon uses it all the same)", "ok NETWORKPROXY_LOG_KEEP_DAYS"]),
        ]
        for text, status, lines in cases:
            with self.subTest(text=text):
                path = self.write_env(text)
                # From another folder: relative paths are the site folder's.
                code, out, _ = ctl("check", "--env-file", path, "--dir", self.dir, cwd="/")
                self.assertEqual(out.splitlines(), [l.format(env=path) for l in lines])
                self.assertEqual(code, status)
        code, out, _ = ctl("check", "--env-file", os.path.join(self.dir, "gone\x1b[2J"),
                           "--dir", self.dir, cwd="/")
        self.assertIn("gone\\x1B[2J - No such file or directory", out)

    def test_unit_values_then_environment_then_file(self):
        unit_credentials = "/etc/networkproxy/aws-credentials"
        if os.path.exists(unit_credentials):
            self.skipTest(unit_credentials + " exists on this machine")
        path = self.write_env("NETWORKPROXY_REPORT_URL=https://reports.example.com/ping.json\n"
                              "NETWORKPROXY_LOG_KEEP_DAYS=90\n")
        env = {"AWS_SHARED_CREDENTIALS_FILE": None, "NETWORKPROXY_SPOOL_MAX_EVENTS": "0",
               "NETWORKPROXY_LOG_KEEP_DAYS": "not read"}
        code, out, _ = ctl("check", "--env-file", path, "--dir", self.dir, env=env)
        self.assertEqual(out.splitlines(), [
            "ok NETWORKPROXY_REPORT_URL", MISSING_CREDENTIALS,
            "NETWORKPROXY_SPOOL_MAX_EVENTS - not a positive whole number: 0",
            "ok NETWORKPROXY_LOG_KEEP_DAYS"])
        self.assertEqual(code, 78)

    def test_folder_that_cannot_be_entered_fails(self):
        code, out, err = ctl("status", "--dir", os.path.join(self.dir, "nowhere"),
                             "--env-file", self.write_env(""))
        self.assertEqual((code, out), (1, ""))
        self.assertIn("nowhere: No such file or directory", err)

    def test_usage(self):
        for args, status in ((["check", "--help"], 0), (["--help"], 0), (["check", "-x"], 2),
                             (["check", "--env-file"], 2), (["frobnicate"], 2), ([], 2),
                             (["check", "--env-file", "/nonexistent", "--dir", "."], 78),
                             (["status", "--json", "x"], 2), (["status", "--dir", "."], 78),
                             (["spool"], 2), (["spool", "list", "--limit", "0"], 2),
                             (["spool", "purge-dead", "--dead"], 2),
                             (["spool", "list", "--dir=."], 78), (["spool", "--help"], 0)):
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
