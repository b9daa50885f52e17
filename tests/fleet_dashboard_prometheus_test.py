"""The fleet's dashboard and alert rules against what a real Prometheus makes
of a real metrics file: the daemon runs briefly against a local reporting
server with the spool on and writes its file into a folder; Debian's node
exporter reads that folder with its textfile collector and Debian's
Prometheus scrapes the exporter with the rules loaded, both on 127.0.0.1
and stopped after. Every expression of the dashboard and the rules must
answer without error, name only series the chain really carries, and every
rule must evaluate healthily. A renamed metric, a label the exporter spells
differently or a query Prometheus refuses fails here, not on the operator's
screen.

prometheus and prometheus-node-exporter come from scripts/deps.sh; a machine
without them fails here rather than skipping."""

import json
import os
import re
import subprocess
import time
import unittest
import urllib.error
import urllib.parse
import urllib.request

from prometheus_client.parser import text_string_to_metric_families

import harness
from processes import poll, stop_process, wait_until
from standins import ReportServer
from workdir import remove_folder, temp_folder

HERE = os.path.dirname(os.path.abspath(__file__))
RULES = os.path.join(HERE, "..", "monitoring", "networkproxy-alerts.yml")
DASHBOARD = os.path.join(HERE, "..", "monitoring", "networkproxy-fleet.json")
# Each step (a start, the first scrape, the first rule evaluation) gets this long.
STEP = 30
SERIES_NAME = re.compile(r"\b(?:networkproxy|node_textfile)_[a-z_]+\b")
GRAFANA_RANGE = {"$__rate_interval": "1m", "$__interval": "15s", "$__range": "1h"}


def metrics_text(path):
    try:
        with open(path) as f:
            return f.read()
    except FileNotFoundError:
        return ""


def delivered(path):
    """Events the metrics file at `path` counts as delivered (None: not yet)."""
    for family in text_string_to_metric_families(metrics_text(path)):
        for s in family.samples:
            if s.name == "networkproxy_events_total" and s.labels == {"result": "delivered"}:
                return s.value
    return None


def dashboard_queries(dashboard, instance):
    """(where, PromQL) for every panel target and query variable, with the
    dashboard's variables as a dashboard tool fills them in."""
    queries = [(p["title"], t["expr"]) for p in dashboard["panels"]
               for t in p.get("targets", [])]
    for var in dashboard["templating"]["list"]:
        if var["type"] != "query":
            continue
        # label_values(series, label) is the dashboard tool's own form.
        m = re.fullmatch(r"label_values\((.+),\s*(\w+)\)", var["query"])
        assert m, "variable %s: %s" % (var["name"], var["query"])
        queries.append(("variable " + var["name"],
                        "count by (%s) (%s)" % (m.group(2), m.group(1))))
    filled = []
    for where, expr in queries:
        expr = expr.replace("${instance}", instance).replace("$instance", instance)
        for name, value in GRAFANA_RANGE.items():
            expr = expr.replace(name, value)
        filled.append((where, expr))
    return filled


class Prometheus:
    """Debian's node exporter reading `textfile_dir` and Debian's Prometheus
    scraping it every second with `rules` loaded; both on 127.0.0.1, in
    sessions of their own, until stop()."""

    def __init__(self, textfile_dir, rules):
        self.dir = temp_folder("np-prometheus-")
        self.procs = []
        exporter_port = harness.closed_port()
        self.exporter = self._start("node-exporter", [
            "prometheus-node-exporter",
            "--web.listen-address=127.0.0.1:%d" % exporter_port,
            "--collector.disable-defaults", "--collector.textfile",
            "--collector.textfile.directory=" + textfile_dir])
        self._wait_http("http://127.0.0.1:%d/metrics" % exporter_port, self.exporter)
        config = os.path.join(self.dir, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                    "rule_files:\n  - %s\n"
                    "scrape_configs:\n  - job_name: node\n    static_configs:\n"
                    "      - targets: ['127.0.0.1:%d']\n" % (json.dumps(rules), exporter_port))
        self.url = "http://127.0.0.1:%d" % harness.closed_port()
        self.server = self._start("prometheus", [
            "prometheus", "--config.file=" + config,
            "--storage.tsdb.path=" + os.path.join(self.dir, "data"),
            "--web.listen-address=" + self.url[len("http://"):]])
        self._wait_http(self.url + "/-/ready", self.server)
        self.instance = "127.0.0.1:%d" % exporter_port

    def _start(self, name, argv):
        log = open(os.path.join(self.dir, name + ".log"), "wb")
        try:
            proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log,
                                    stderr=subprocess.STDOUT, start_new_session=True)
        finally:
            log.close()
        self.procs.append(proc)
        return proc

    def _wait_http(self, url, proc):
        def answers():
            try:
                with urllib.request.urlopen(url, timeout=2) as r:
                    return r.status == 200
            except OSError:
                return False
        wait_until(url, answers, STEP, proc)

    def log(self, name):
        with open(os.path.join(self.dir, name + ".log"), errors="replace") as f:
            return f.read()[-2000:]

    def api(self, path, **params):
        """The API's JSON answer, also for a query it refuses (HTTP 400/422)."""
        url = self.url + "/api/v1/" + path
        if params:
            url += "?" + urllib.parse.urlencode(params)
        try:
            with urllib.request.urlopen(url, timeout=10) as r:
                return json.load(r)
        except urllib.error.HTTPError as e:
            with e:
                return json.load(e)

    def stop(self):
        for proc in reversed(self.procs):
            stop_process(proc)
        remove_folder(self.dir)


class FleetDashboardPrometheusTest(unittest.TestCase):
    def setUp(self):
        self.textfiles = temp_folder("np-textfile-")
        self.addCleanup(remove_folder, self.textfiles)
        self.metrics = os.path.join(self.textfiles, "networkproxy.prom")
        with open(DASHBOARD) as f:
            self.dashboard = json.load(f)

    def write_metrics_file(self):
        """A short run of the daemon with the spool on: one event delivered and
        one firmware check (failed: the bucket's endpoint refuses)."""
        server = ReportServer()
        self.addCleanup(server.stop)
        server.push({"body": "{}"})
        d = harness.start_daemon(server, env={
            "NETWORKPROXY_SPOOL": "spool.db",
            "NETWORKPROXY_METRICS_FILE": self.metrics})
        try:
            d.send_line(b"i:door=1,mac=x\n")
            wait_until("the delivery in the metrics file",
                       lambda: delivered(self.metrics) == 1, STEP, d.proc)
            wait_until("the firmware check in the metrics file",
                       lambda: "networkproxy_last_firmware_check_info"
                       in metrics_text(self.metrics), STEP, d.proc)
        finally:
            d.stop()

    def test_every_dashboard_and_rule_query_answers_from_real_prometheus(self):
        self.write_metrics_file()
        prom = Prometheus(self.textfiles, os.path.abspath(RULES))
        self.addCleanup(prom.stop)

        scraped = poll(lambda: prom.api("query", query='networkproxy_events_total'
                                        '{result="delivered"} == 1')["data"]["result"],
                       STEP, prom.server)
        self.assertTrue(scraped, "no scrape of the daemon's file: " + prom.log("prometheus")
                        + prom.log("node-exporter"))

        def rules():
            groups = prom.api("rules")["data"]["groups"]
            loaded = [r for g in groups for r in g["rules"]]
            evaluated = loaded and all(not r["lastEvaluation"].startswith("0001")
                                       for r in loaded)
            return loaded if evaluated else None
        loaded = poll(rules, STEP, prom.server)
        self.assertTrue(loaded, "the rules were not loaded and evaluated: "
                        + prom.log("prometheus"))
        self.assertEqual(len(loaded), 7)
        for rule in loaded:
            self.assertEqual(rule["health"], "ok", (rule["name"], rule.get("lastError")))

        queries = dashboard_queries(self.dashboard, prom.instance)
        queries += [("rule " + r["name"], r["query"]) for r in loaded]
        names = set(prom.api("label/__name__/values")["data"])
        for where, expr in queries:
            with self.subTest(where=where, expr=expr):
                answer = prom.api("query", query=expr)
                self.assertEqual(answer["status"], "success", answer.get("error"))
                unknown = set(SERIES_NAME.findall(expr)) - names
                self.assertFalse(unknown, "series nobody writes")

        # The site row's choices: this site is one of them.
        sites = prom.api("query", query=dict(queries)["variable instance"])["data"]["result"]
        self.assertEqual([s["metric"]["instance"] for s in sites], [prom.instance])

    def test_dashboard_queries_go_to_the_chosen_data_source(self):
        # A data source named in the file would not exist where it is imported.
        for panel in self.dashboard["panels"]:
            for t in panel.get("targets", []):
                self.assertEqual(t["datasource"]["uid"], "${datasource}", panel["title"])
        names = [v["name"] for v in self.dashboard["templating"]["list"]]
        self.assertEqual(names, ["datasource", "instance"])


if __name__ == "__main__":
    unittest.main()
