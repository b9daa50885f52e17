"""Helpers shared by the store-and-forward tests (NETWORKPROXY_SPOOL)."""

import calendar
import json
import re
import time

from prometheus_client.parser import text_string_to_metric_families

from standins import ReportServer

UUID4 = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")
RFC3339_UTC = "%Y-%m-%dT%H:%M:%SZ"

# The sender's waits after failed posts never exceed five minutes: a
# backlog waits at most that long for a server that came back, plus slack.
LONGEST_RETRY = 330


def spool_env(path, max_events=None):
    env = {"NETWORKPROXY_SPOOL": path}
    if max_events is not None:
        env["NETWORKPROXY_SPOOL_MAX_EVENTS"] = str(max_events)
    return env


def key(request):
    return request["headers"].get("Idempotency-Key")


def received_at(request):
    """X-Event-Received of `request` as seconds since the epoch (None if absent)."""
    text = request["headers"].get("X-Event-Received")
    if text is None:
        return None
    return calendar.timegm(time.strptime(text, RFC3339_UTC))


def metrics(path):
    """The samples of the metrics file at `path`: {(name, labels): value}."""
    with open(path) as f:
        return {(s.name, tuple(sorted(s.labels.items()))): s.value
                for family in text_string_to_metric_families(f.read())
                for s in family.samples}


def spool_waiting(metrics_path):
    """networkproxy_spool_events from the metrics file (None: not there yet)."""
    try:
        with open(metrics_path) as f:
            for line in f:
                if line.startswith("networkproxy_spool_events "):
                    return int(float(line.split()[1]))
    except OSError:
        pass
    return None


def payload(request):
    return json.loads(request["body"])


def send_events(daemon, name, count, start=0):
    """Sends count event lines i:<name>=<n>, n = start .. start+count-1."""
    data = b"".join(b"i:%s=%d\n" % (name.encode(), n) for n in range(start, start + count))
    daemon.send_line(data)


def wait_for_event(server, name, timeout):
    """Waits until a request whose event holds member `name` arrived;
    returns those requests (empty on timeout)."""
    deadline = time.monotonic() + timeout
    while True:
        hits = [r for r in list(server.requests) if name in payload(r)]
        if hits or time.monotonic() >= deadline:
            return hits
        time.sleep(0.2)


def bring_back(server, **kwargs):
    """A server on the stopped `server`'s port, as if it came back."""
    return ReportServer(port=server.port, **kwargs)
