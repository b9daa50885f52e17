"""Store and forward against each kind of answer, and the sender's own HTTPS
session: what becomes of the event, the line logged, the wait before the
next try, no instructions acted on from an answer that did not take the
event, one key across tries; one connection kept for many events, opened
again after the server dropped it; a certificate from another CA refused;
the token in no process's arguments or environment; dead letters through
kill -9."""

import os
import shutil
import signal
import tempfile
import time
import unittest

import harness
from processes import child_pids
from standins import ReportServer
from spool_support import key, metrics, payload, spool_env, wait_for_event
from throwaway_ca import ThrowawayCa

INSTRUCTIONS = '{"cards":"AB","colour":"red","sequence":"9"}'
TOKEN = "tok-0a1b2c3d4e5f60718293a4b5c6d7e8f9"
FIRST_WAIT = 5  # s: the sender's first back-off step; the wait is drawn from its half to all
BACKED_OFF = (FIRST_WAIT / 2 - 0.5, FIRST_WAIT + 2.5)

# The answer table: first answer -> line, wait before the second try (None:
# never tried again), and where the event ends.
ANSWERS = [
    ("expired_token", {"status": 401}, "Error: Report refused - HTTP 401",
     BACKED_OFF, "delivered"),
    ("rate_limited", {"status": 429, "headers": {"Retry-After": "3"}},
     "Error: Report failed - HTTP 429", (2.5, 4.5), "delivered"),
    ("moved", {"status": 302, "headers": {"Location": "/elsewhere"}},
     "Error: Report failed - HTTP 302 (redirect not followed)",
     BACKED_OFF, "delivered"),
    ("unprocessable", {"status": 422}, "Error: Report rejected - HTTP 422",
     None, "dead"),
    ("server_error", {"status": 500}, "Error: Report failed - HTTP 500",
     BACKED_OFF, "delivered"),
    # A wrong path or a proxy mid-deploy blames the URL, not the event.
    ("misrouted", {"status": 404},
     "Error: Report failed - HTTP 404 (check NETWORKPROXY_REPORT_URL)",
     BACKED_OFF, "delivered"),
]
HOLD = "Error: Server rejected 3 events in a row - holding the spool until one is delivered"


class AnswerTableTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="np-answers-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.server = ReportServer(keep_alive=True)
        self.addCleanup(self.server.stop)
        self.metrics = os.path.join(self.dir, "np.prom")
        self.env = dict(spool_env(os.path.join(self.dir, "spool.db")),
                        NETWORKPROXY_METRICS_FILE=self.metrics)

    def start(self):
        d = harness.start_daemon(self.server, env=self.env)
        self.addCleanup(d.stop)
        return d

    def test_each_answer_settles_its_event_as_the_table_says(self):
        d = self.start()
        commands = len(d.commands())
        for name, answer, line, wait, fate in ANSWERS:
            with self.subTest(name):
                start = len(self.server.requests)
                self.server.push(dict(answer, body=INSTRUCTIONS))
                d.send_line(b"i:%s=1\n" % name.encode())
                self.assertTrue(d.wait_log(line, 20), d.log_messages()[-5:])
                # The next event is the queue moving on: only then can a
                # retried (or wrongly resent) event show up after it.
                d.send_line(b"i:next_%s=1\n" % name.encode())
                self.assertTrue(wait_for_event(self.server, "next_" + name, 30))
                time.sleep(FIRST_WAIT + 1 if wait is None else 0.5)
                tries = [r for r in self.server.requests[start:] if name in payload(r)]
                self.assertEqual(len(tries), 1 if wait is None else 2)
                self.assertEqual(len({key(r) for r in tries}), 1)
                if wait is not None:
                    gap = tries[1]["time"] - tries[0]["time"]
                    self.assertTrue(wait[0] <= gap <= wait[1], gap)
                self.assertNotIn("/elsewhere", [r["path"] for r in self.server.requests])
        # No answer but a 2xx one may drive the controller, and those were {}.
        self.assertEqual(d.commands()[commands:], [])
        self.assertEqual(self.server.connections, 1, "one connection for every post")

        figures = metrics(self.metrics)
        self.assertEqual(figures[("networkproxy_events_total", (("result", "delivered"),))], 11)
        self.assertEqual(figures[("networkproxy_events_total", (("result", "rejected"),))], 1)
        self.assertEqual(figures[("networkproxy_report_attempts_total", (("result", "failed"),))], 4)
        self.assertEqual(figures[("networkproxy_report_attempts_total", (("result", "refused"),))], 2)
        self.assertEqual(figures[("networkproxy_spool_dead_letters", ())], 1)

        # The dead letter outlives kill -9 and shows again after the restart.
        os.killpg(d.proc.pid, signal.SIGKILL)
        d.proc.wait(timeout=10)
        os.unlink(self.metrics)
        again = self.start()
        self.assertTrue(again.wait_log("Spool", 10))
        deadline = time.monotonic() + 10
        while not os.path.exists(self.metrics) and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertEqual(metrics(self.metrics)[("networkproxy_spool_dead_letters", ())], 1)


    def test_third_rejection_in_a_row_holds_the_spool_until_a_delivery(self):
        d = self.start()
        for _ in range(3):
            self.server.push({"status": 422})
        send = b"".join(b"i:r=%d\n" % n for n in range(4))
        d.send_line(send)
        # The third waits and is retried; the server takes it, then the rest.
        self.assertEqual(len(self.server.wait_requests(5, 30)), 5, d.log_messages()[-8:])
        tries = [payload(r)["r"] for r in self.server.requests]
        self.assertEqual(tries, ["0", "1", "2", "2", "3"])
        self.assertEqual(key(self.server.requests[2]), key(self.server.requests[3]))
        self.assertEqual(d.log_messages().count(HOLD), 1)
        self.assertEqual(d.log_messages().count("Error: Report rejected - HTTP 422"), 3)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and metrics(self.metrics).get(
                ("networkproxy_spool_dead_letters", ())) != 2:
            time.sleep(0.2)
        self.assertEqual(metrics(self.metrics)[("networkproxy_spool_dead_letters", ())], 2)


class SessionTest(unittest.TestCase):
    """The sender's HTTPS session: a wrong CA first, then the right server."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="np-session-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        os.mkdir(os.path.join(self.dir, "ours"))
        os.mkdir(os.path.join(self.dir, "other"))
        self.ca = ThrowawayCa(os.path.join(self.dir, "ours"))
        self.other_ca = ThrowawayCa(os.path.join(self.dir, "other"))
        self.token_file = os.path.join(self.dir, "token")
        with open(self.token_file, "w") as f:
            f.write(TOKEN + "\n")

    def test_one_kept_connection_verified_against_the_ca_with_a_hidden_token(self):
        impostor = ReportServer(ssl_context=self.other_ca.server_context(), keep_alive=True)
        port = impostor.port
        self.addCleanup(impostor.stop)
        d = harness.Daemon(answers=[b"ok\n", b"version=1.0\n"], env=dict(
            spool_env(os.path.join(self.dir, "spool.db")),
            NETWORKPROXY_REPORT_URL="https://127.0.0.1:%d/ping.json" % port,
            NETWORKPROXY_REPORT_CA=self.ca.ca_file,
            NETWORKPROXY_REPORT_TOKEN_FILE=self.token_file,
            no_proxy="127.0.0.1"))
        self.addCleanup(d.stop)
        self.assertTrue(d.wait_ready(40), d.stdout())

        d.send_line(b"i:n=0\n")
        self.assertTrue(d.wait_log(
            "Error: Report failed - curl exit status 60 (server certificate not trusted; "
            "see NETWORKPROXY_REPORT_CA)", 20), d.log_messages()[-5:])
        self.assertEqual(impostor.requests, [])
        impostor.stop()

        server = ReportServer(port=port, ssl_context=self.ca.server_context(), keep_alive=True)
        self.addCleanup(server.stop)
        self.assertTrue(wait_for_event(server, "n", 30))
        for n in range(1, 20):
            d.send_line(b"i:n=%d\n" % n)
        self.assertEqual(len(server.wait_requests(20, 30)), 20)
        self.assertEqual(server.connections, 1)
        self.assertEqual({r["headers"].get("Authorization") for r in server.requests},
                         {"Bearer " + TOKEN})

        # The server drops the idle connection: the next event opens another.
        server.drop_idle()
        time.sleep(0.5)
        d.send_line(b"i:after_drop=1\n")
        self.assertTrue(wait_for_event(server, "after_drop", 10))
        self.assertEqual(server.connections, 2)
        self.assertEqual(len(d.wait_log("Error: Report failed", 0) or []), 1)

        # No curl runs, and the token is in no argument list or environment.
        self.assertEqual(child_pids(d.proc.pid), [])
        for name in ("cmdline", "environ"):
            with open("/proc/%d/%s" % (d.proc.pid, name), "rb") as f:
                self.assertNotIn(TOKEN.encode(), f.read())
        self.assertNotIn(TOKEN, d.log_text())


if __name__ == "__main__":
    unittest.main()
