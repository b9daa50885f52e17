#!/usr/bin/python3
"""Ingest on a slow disk: events per second the spool takes for a burst of
300 event lines while the server is down, with each fsync taking 0, 10 and
50 ms (a slow SD card takes 10-50 ms). Measures, asserts nothing; not part
of the test suite.

The daemon's working folder, spool included, is on the power-cut test file
system (tests/support/powercut_fs.py), whose --fsync-delay-ms makes every
fsync and directory sync wait that long. The burst is written to the pty at
once from a thread; timed from the first byte written until the metrics file
(outside the slow folder) shows all 300 waiting. The file system itself is
in Python, so its 0 ms row is this harness's ceiling, not the disk's.

Today against new in one run: --baseline-rev REV (bench/run --ingest passes
main's merge base unless given) checks REV out in a detached git worktree,
builds its daemon beside this tree's and measures both, burst by burst.

    bench/ingest_bench.py [--build build-bench] [--no-build] [--delays 0,10,50]
                          [--baseline-rev REV]
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
sys.dont_write_bytecode = True
import harness  # noqa: E402
from powercut_fs import PowerCutMount  # noqa: E402
from processes import stop_process  # noqa: E402
from spool_support import spool_waiting  # noqa: E402
from common import build_daemon  # noqa: E402

BURST = 300
DEADLINE = 300  # s for one burst: 300 syncs of 50 ms, and slack
LINE = b"i:n=%d,door=1,card=04A2B3C4D5E6F7\n"


def baseline_daemon(rev, build):
    """Builds the daemon of git revision `rev` in `build`/baseline; returns its path."""
    source = os.path.join(os.path.abspath(build), "baseline-src")
    if os.path.isdir(source):
        subprocess.run(["git", "-C", ROOT, "worktree", "remove", "--force", source],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["git", "-C", ROOT, "worktree", "add", "--detach", source, rev], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        return build_daemon(os.path.join(os.path.abspath(build), "baseline"), source)
    finally:
        subprocess.run(["git", "-C", ROOT, "worktree", "remove", "--force", source],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def burst(delay_ms, top):
    backing = tempfile.mkdtemp(prefix="disk-", dir=top)
    metrics = os.path.join(top, "np-%g.prom" % delay_ms)
    d = harness.Daemon(answers=[b"ok\n", b"version=1.0\n"], start=False,
                       env={"NETWORKPROXY_REPORT_HOST": "127.0.0.1:%d" % harness.closed_port(),
                            "NETWORKPROXY_SPOOL": "spool.db",
                            "NETWORKPROXY_METRICS_FILE": metrics})
    fs = PowerCutMount(backing, d.dir, fsync_delay_ms=delay_ms)
    try:
        d.start()
        if not d.wait_ready(60):
            raise RuntimeError("daemon did not start: %r" % d.stdout())
        data = b"".join(LINE % n for n in range(BURST))
        start = time.monotonic()
        writer = threading.Thread(target=d.send_line, args=(data,), daemon=True)
        writer.start()
        deadline = start + DEADLINE
        while (spool_waiting(metrics) or 0) < BURST and time.monotonic() < deadline:
            time.sleep(0.005)
        elapsed = time.monotonic() - start
        taken = spool_waiting(metrics) or 0
        writer.join(10)
        return {"fsync_ms": delay_ms, "events": taken, "seconds": elapsed,
                "per_s": taken / elapsed}
    finally:
        stop_process(d.proc)  # before the unmount: the mount is busy while it runs
        fs.unmount()
        d.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(ROOT, "build-bench"))
    parser.add_argument("--no-build", action="store_true")
    parser.add_argument("--delays", default="0,10,50", help="fsync delays in ms, comma-separated")
    parser.add_argument("--json", help="also write the figures to this file")
    parser.add_argument("--baseline-rev", help="also measure the daemon of this git revision")
    args = parser.parse_args()
    daemons = []
    if args.baseline_rev:
        daemons.append(("today (%s)" % args.baseline_rev[:10],
                        baseline_daemon(args.baseline_rev, args.build)))
    new = (os.path.join(os.path.abspath(args.build), "networkproxy") if args.no_build
           else build_daemon(args.build))
    daemons.append(("new", new))
    top = tempfile.mkdtemp(prefix="np-ingest-bench-")
    results = []
    try:
        for ms in args.delays.split(","):
            for name, binary in daemons:
                harness.BIN = binary
                results.append(dict(burst(float(ms), top), daemon=name))
    finally:
        shutil.rmtree(top, ignore_errors=True)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=2)
    print("| Daemon | fsync takes | Burst of %d lines taken in | Events/s | Target (>= 200/s at 50 ms) |"
          % BURST)
    print("|---|---|---|---|---|")
    for r in results:
        note = "" if r["events"] == BURST else " (only %d taken)" % r["events"]
        print("| %s | %g ms | %.2f s%s | %.0f | %s |" % (
            r["daemon"], r["fsync_ms"], r["seconds"], note, r["per_s"],
            ("yes" if r["per_s"] >= 200 else "**no**") if r["fsync_ms"] == 50 else ""))


if __name__ == "__main__":
    main()
