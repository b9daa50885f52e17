#!/usr/bin/python3
"""Benchmark of the networkproxy daemon. Started by bench/run; see --help.

The real daemon runs against a pseudo-terminal controller (tests/support's
harness), a local reporting server (tools/report-standin, reply "{}") and
the S3 stand-in (tools/s3-standin). Every figure is measured beside its
reference in the same run, because the machine is shared and noisy:

  latency     LF of an event line written -> request body complete at the
              server; interleaved at random with the same POST made as a bare
              fork/exec of curl and through /bin/sh with popen (curl_ref,
              timed from just before the child is started to the same server
              stamp), and through the smallest possible gateway: a line on a
              pty of its own, read and posted with a bare fork/exec
              (curl_ref --pty), which shows what the pty itself costs.
  throughput  numbered events written as fast as the daemon takes them (at
              most WINDOW lines queued in the pty), order and loss checked at
              the server; blocks of them alternate with blocks through the
              smallest gateway, which pauses 100 ms after each line too.
  memory      VmRSS/RssAnon of the daemon along the event count (plus the
              exact figures from smaps_rollup, sampled all along, so growth
              can be put down to events or to firmware checks), and of
              s3_fetch_loop (the S3 layer alone) after 10 and 100 fetches.
  idle        whole-process CPU and wake-ups over an idle window, and the
              update worker's own CPU (schedstat, ns) for every firmware
              check of the run.
  leaks       valgrind on s3_fetch_loop (which exits normally) and on the
              daemon: a leak check through vgdb while it runs, after events
              and a firmware check, and memcheck's own one when SIGTERM ends
              it.

Prints the table (Markdown) at the end and writes all raw figures as JSON.

The work is split by job: common.py (what every benchmark here shares:
the reporting server, the daemon, /proc figures), drivers.py (what else
runs beside the daemon and feeds it), probes.py (what is read about the
processes and the machine), session.py with event_runs.py and s3_runs.py
(the measurements, in order) and table.py (the table).
"""

import argparse
import json
import os
import shutil
import signal
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
sys.dont_write_bytecode = True   # leave no caches in the source tree
from common import run_main  # noqa: E402  (needs the settings above)
from session import Bench  # noqa: E402
from table import table  # noqa: E402


def main():
    p = argparse.ArgumentParser(
        prog="bench/run", description="Benchmark the networkproxy daemon "
        "against its references; prints a Markdown table.")
    p.add_argument("--build", default=os.path.join(ROOT, "build-bench"),
                   help="build directory holding networkproxy and bench/")
    p.add_argument("--quick", action="store_true",
                   help="a short sanity run (about 3 minutes): fewer rounds "
                   "and events, a 30 s idle window, no valgrind")
    p.add_argument("--long", action="store_true",
                   help="idle window of 5 minutes (5 firmware checks)")
    p.add_argument("--rounds", type=int, help="latency rounds (each: one "
                   "daemon event, one bare curl run, one popen run)")
    p.add_argument("--events", type=int,
                   help="events in the 40-byte throughput run")
    p.add_argument("--idle", type=int, help="idle window in seconds")
    p.add_argument("--valgrind", dest="valgrind", action="store_true",
                   default=None, help="run the valgrind leak checks")
    p.add_argument("--no-valgrind", dest="valgrind", action="store_false")
    p.add_argument("--json", help="write all figures to this file")
    p.add_argument("--keep", action="store_true", help="keep the work files")
    a = p.parse_args()
    a.mode = "quick" if a.quick else ("long" if a.long else "default")
    if a.quick:
        defaults = dict(rounds=80, events=300, idle=30, valgrind=False,
                        total_events=0, min_events_100=100)
    else:
        defaults = dict(rounds=400, events=1000, idle=300 if a.long else 65,
                        valgrind=True, total_events=2000, min_events_100=200)
    for key, value in defaults.items():
        if getattr(a, key, None) is None:
            setattr(a, key, value)
    if not shutil.which("valgrind") and a.valgrind:
        print("valgrind not installed: leak checks skipped", file=sys.stderr)
        a.valgrind = False

    def terminate(*_):
        raise KeyboardInterrupt
    signal.signal(signal.SIGTERM, terminate)

    bench = Bench(a)
    results = bench.run()
    text = table(results)
    m = results["machine"]
    print()
    print("Machine: %s CPUs (%s), %s GiB RAM, kernel %s, Debian %s; load average "
          "%.2f at start, %.2f at end" % (
              m.get("nproc"), m.get("cpu"), m.get("ram_gib"), m.get("kernel"),
              m.get("debian"), m["load_start"][0], m.get("load_end", [float("nan")])[0]))
    print("Mode: %s" % a.mode)
    print()
    print(text)
    if a.json:
        with open(a.json, "w") as f:
            json.dump(results, f, indent=1)
    return 0


if __name__ == "__main__":
    run_main(main)
