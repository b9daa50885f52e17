#!/usr/bin/python3
"""Benchmark of the firmware check's bytes on the wire, today's S3 layer
(a new libcurl handle, connection and TLS handshake per request, an image
fetched whole each time) beside the kept handle and resumed downloads, in
one run. Measures, asserts nothing; not part of the test suite.

The S3 stand-in serves HTTPS with a throwaway CA; every phase goes through
a delay proxy of its own (bench/delay_proxy.py), which counts the bytes
that crossed it each way (TCP/IP headers not included).

  idle     --checks idle checks back to back (one hour at one a minute):
           each reads update.txt, as a check whose versions match does (the
           credentials file is local). Today (a handle per request), kept
           (one handle; the stand-in keeps the connection open between
           checks) and kept with a server that closes every connection after
           its answer (as S3 would when its idle time-out is shorter than
           the minute between checks): a new connection, TLS resumed.
  image    a --image-kib image at --rate bytes/s, every connection cut
           --cut-s after it was accepted: today (three attempts from byte 0
           per check, --today-checks checks) and resumed (until complete).
           The pause between checks is not waited: a cut link drops every
           connection anyway.

    bench/s3_wire_bench.py --build DIR [--json FILE] [--rtt-ms 100]
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
sys.path.insert(0, HERE)
sys.dont_write_bytecode = True
from delay_proxy import DelayProxy  # noqa: E402
from drivers import ACCESS_KEY, SECRET_KEY  # noqa: E402
from standins import S3Standin  # noqa: E402
from throwaway_ca import ThrowawayCa  # noqa: E402

BUCKET = "networkproxy-firmware"
VERSION = "1.0.9"


class TlsS3(S3Standin):
    """The S3 stand-in over HTTPS with `ca`'s certificate; `close_each`:
    every answer closes its connection."""

    def __init__(self, objects, ca, close_each=False):
        self._extra = ["--tls-cert", ca.cert_file, "--tls-key", ca.key_file]
        if close_each:
            self._extra.append("--close-each")
        super().__init__(objects, access_key=ACCESS_KEY, secret_key=SECRET_KEY)
        self.url = "https://127.0.0.1:%d" % self.port

    def _start(self, tool, args, ready_file, **kwargs):
        return super()._start(tool, list(args) + self._extra, ready_file, **kwargs)


def fetch_loop(build, ca, endpoint, args, timeout):
    env = dict(os.environ, AWS_ACCESS_KEY_ID=ACCESS_KEY, AWS_SECRET_ACCESS_KEY=SECRET_KEY,
               AWS_ENDPOINT_URL_S3=endpoint, AWS_ENDPOINT_URL=endpoint)
    env.pop("AWS_SESSION_TOKEN", None)
    run = subprocess.run([os.path.join(build, "bench", "s3_fetch_loop"), "--ca", ca.ca_file]
                         + args, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         timeout=timeout, cwd=tempfile.mkdtemp(prefix="np-wire-"))
    return [json.loads(line) for line in run.stdout.decode().splitlines()], \
        run.stderr.decode()[-500:]


def through_proxy(s3, a, rate, cut, run):
    """Runs `run(endpoint)` through a proxy of its own; returns its result
    and the bytes (up, down) the proxy carried."""
    proxy = DelayProxy("127.0.0.1:%d" % s3.port, a.rtt_ms, rate=rate, cut_after_s=cut)
    try:
        result = run("https://%s" % proxy.host)
    finally:
        counted = proxy.stop()
    return result, counted


def idle_phase(a, ca, name, handle, close_each, log):
    s3 = TlsS3({"update.txt": b"1.0.8\n"}, ca, close_each=close_each)
    try:
        (lines, err), (up, down) = through_proxy(
            s3, a, 0, 0, lambda url: fetch_loop(
                a.build, ca, url, ["--count", str(a.checks), "--handle", handle,
                                   "--sample", "0"], timeout=a.checks * 10 + 60))
    finally:
        s3.stop()
    fetches = [l for l in lines if "fetch" in l]
    ok = sum(1 for f in fetches if f["ok"])
    out = {"checks": len(fetches), "ok": ok, "up": up, "down": down, "total": up + down}
    log("idle %-28s %d/%d ok, %7d bytes up, %8d down, %8d in all%s"
        % (name, ok, len(fetches), up, down, up + down, "" if ok == a.checks else " " + err))
    return out


def image_phase(a, ca, name, today, image, log):
    s3 = TlsS3({"update.txt": (VERSION + "\n").encode(),
                "Version_%s.hex" % VERSION: image}, ca)
    checks = a.today_checks if today else 10
    extra = ["--today", "--handle", "fresh"] if today else []
    try:
        (lines, err), (up, down) = through_proxy(
            s3, a, a.rate, a.cut_s, lambda url: fetch_loop(
                a.build, ca, url, ["--image", VERSION, "--count", str(checks)] + extra,
                timeout=checks * 4 * (a.cut_s + 10) + 120))
    finally:
        s3.stop()
    done = [l for l in lines if l.get("ok")]
    out = {"checks": len(lines), "complete": bool(done), "up": up, "down": down,
           "image": len(image), "down_per_image": down / len(image),
           "seconds": sum(l["wall_ns"] for l in lines) / 1e9}
    log("image %-27s %s after %d checks (%.0f s of downloading), %d bytes down = %.2fx the"
        " image, %d up%s" % (name, "complete" if done else "NOT complete", len(lines),
                             out["seconds"], down, out["down_per_image"], up,
                             "" if done else " (" + err.strip().splitlines()[-1] + ")"
                             if err.strip() else ""))
    return out


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--build", required=True, help="build folder holding bench/s3_fetch_loop")
    p.add_argument("--json", help="write the results here")
    p.add_argument("--rtt-ms", type=float, default=100)
    p.add_argument("--checks", type=int, default=60, help="idle checks (default: an hour's)")
    p.add_argument("--image-kib", type=int, default=1024)
    p.add_argument("--rate", type=int, default=32 * 1024, help="bytes/s of the image link")
    p.add_argument("--cut-s", type=float, default=20)
    p.add_argument("--today-checks", type=int, default=2)
    p.add_argument("--skip-image", action="store_true")
    a = p.parse_args()
    a.build = os.path.abspath(a.build)
    workdir = tempfile.mkdtemp(prefix="np-wire-bench-")

    def log(text):
        print(text, flush=True)

    results = {"rtt_ms": a.rtt_ms}
    try:
        ca = ThrowawayCa(workdir)
        results["idle"] = {
            "today": idle_phase(a, ca, "today (handle per request)", "fresh", False, log),
            "kept": idle_phase(a, ca, "kept (connection kept)", "kept", False, log),
            "resumed": idle_phase(a, ca, "kept (server closes; TLS resumed)", "kept", True,
                                  log)}
        today = results["idle"]["today"]["total"]
        for name in ("kept", "resumed"):
            share = results["idle"][name]["total"] / today
            results["idle"][name]["share_of_today"] = share
            log("idle %s: %.1f%% of today's bytes" % (name, 100 * share))
        if not a.skip_image:
            image = bytes((i * 7919) & 0xFF for i in range(a.image_kib * 1024))
            results["image"] = {
                "today": image_phase(a, ca, "today (whole, from byte 0)", True, image, log),
                "resumed": image_phase(a, ca, "resumed", False, image, log)}
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    if a.json:
        with open(a.json, "w") as f:
            json.dump(results, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
