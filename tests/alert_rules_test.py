"""The fleet's alert rules as Prometheus' own tool reads them: the file loads,
and each alert fires on the site in trouble after its wait and stays silent
on the sites beside it (tests/monitoring/networkproxy-alerts.test.yml).

promtool comes with Debian's prometheus package (scripts/deps.sh); a machine
without it fails here rather than skipping the rules."""

import os
import subprocess
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
RULES = os.path.join(HERE, "..", "monitoring", "networkproxy-alerts.yml")
RULE_TESTS = os.path.join(HERE, "monitoring", "networkproxy-alerts.test.yml")


def promtool(*args):
    return subprocess.run(["promtool"] + list(args), stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, timeout=120)


class AlertRulesTest(unittest.TestCase):
    def test_rules_file_loads(self):
        run = promtool("check", "rules", RULES)
        self.assertEqual(run.returncode, 0, run.stdout)
        self.assertIn("SUCCESS: 7 rules found", run.stdout)

    def test_each_alert_fires_on_its_fault_and_only_there(self):
        run = promtool("test", "rules", RULE_TESTS)
        self.assertEqual(run.returncode, 0, run.stdout)
        # Every alert has its case: one left out would pass unnoticed.
        with open(RULES) as f:
            alerts = [line.split(":", 1)[1].strip() for line in f
                      if line.strip().startswith("- alert:")]
        with open(RULE_TESTS) as f:
            tested = f.read()
        self.assertEqual(len(alerts), 7)
        for alert in alerts:
            self.assertIn("alertname: " + alert, tested)


if __name__ == "__main__":
    unittest.main()
