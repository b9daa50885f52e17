"""The S3 layer measured alone (s3_fetch_loop), and the leak checks under
valgrind: s3_fetch_loop to its exit, the daemon through vgdb while it runs
and at SIGTERM."""

import json
import os
import re
import subprocess
import time

import harness
from common import BenchError
from drivers import ACCESS_KEY, SECRET_KEY, VERSION, event_line
from probes import leak_summary, ms, percentile
from standins import ReportServer


class S3Runs:
    """Part of Bench: needs its build, work folder, S3 stand-in and log."""

    # -- 3. the S3 layer alone ---------------------------------------------------------

    def s3_env(self):
        env = dict(os.environ)
        env.update({"AWS_ACCESS_KEY_ID": ACCESS_KEY,
                    "AWS_SECRET_ACCESS_KEY": SECRET_KEY,
                    "AWS_ENDPOINT_URL_S3": self.s3.url,
                    "AWS_ENDPOINT_URL": self.s3.url})
        env.pop("AWS_SESSION_TOKEN", None)
        return env

    def fetch_loop(self, count=100):
        self.log("S3 layer: %d version-file fetches back to back" % count)
        run = subprocess.run(
            [os.path.join(self.build, "bench", "s3_fetch_loop"),
             "--count", str(count), "--sample", "10,%d" % count],
            env=self.s3_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            timeout=count * 2 + 60)
        fetches, memory = [], {}
        for line in run.stdout.decode().splitlines():
            item = json.loads(line)
            if "fetch" in item:
                fetches.append(item)
            else:
                memory[item["after"]] = item
        if run.returncode != 0 or len(fetches) != count:
            raise BenchError("s3_fetch_loop failed: %s" % run.stderr.decode()[-2000:])
        wall = [f["wall_ns"] for f in fetches]
        cpu = [f["cpu_ns"] for f in fetches]
        out = {"count": count,
               "wall_p50_ms": ms(percentile(wall, 50)),
               "wall_p99_ms": ms(percentile(wall, 99)),
               "cpu_p50_ms": ms(percentile(cpu, 50)),
               "cpu_p99_ms": ms(percentile(cpu, 99)),
               "first_wall_ms": ms(wall[0]), "first_cpu_ms": ms(cpu[0]),
               "memory": {str(k): v for k, v in memory.items()}}
        self.results["s3_layer"] = out
        self.log("S3 fetch: wall p50 %.2f ms p99 %.2f ms; CPU p50 %.2f ms p99 "
                 "%.2f ms; memory %s" % (out["wall_p50_ms"], out["wall_p99_ms"],
                                         out["cpu_p50_ms"], out["cpu_p99_ms"],
                                         out["memory"]))

    # -- leaks -----------------------------------------------------------------------------

    def valgrind_fetch_loop(self):
        self.log("valgrind: s3_fetch_loop, 20 fetches, full leak check at exit")
        log_file = os.path.join(self.workdir, "valgrind-fetch.log")
        run = subprocess.run(
            ["valgrind", "--leak-check=full", "--log-file=" + log_file,
             os.path.join(self.build, "bench", "s3_fetch_loop"),
             "--count", "20", "--sample", "20"],
            env=self.s3_env(), stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, timeout=300)
        with open(log_file) as f:
            text = f.read()
        return {"exit": run.returncode, **leak_summary(text)}

    def valgrind_daemon(self):
        self.log("valgrind: daemon with events, replies with instructions and "
                 "a firmware check; leak check through vgdb while it runs")
        log_file = os.path.join(self.workdir, "valgrind-daemon.log")
        vg_prefix = ["valgrind", "--leak-check=full", "--vgdb=yes",
                     "--log-file=" + log_file]
        server = ReportServer()
        daemon = None
        try:
            daemon = harness.Daemon(
                wrapper=vg_prefix, env=harness.standin_env(server, self.s3),
                default_answer=("version=%s\r\n" % VERSION).encode())
            if not daemon.wait_started(timeout=90):
                raise BenchError("daemon under valgrind did not start")
            if not daemon.wait_log("Versions match", timeout=90):
                raise BenchError("no firmware check under valgrind")
            server.push({"body": '{"cards":"AB,CD","colour":"green","sequence":"2"}'},
                        {"body": "not json"},
                        {"body": '{"colour": 7, "cards": null}'})
            lines = 8
            for i in range(lines):
                daemon.send_line(event_line(900000 + i, 40 if i % 2 else 100))
            if len(server.wait_requests(lines, timeout=120)) < lines:
                raise BenchError("events under valgrind did not all arrive")
            # Let the last instructions' "f:" go out and the worker settle.
            daemon.wait_commands(9, timeout=30)
            time.sleep(1)
            vg = subprocess.run(["vgdb", "--pid=%d" % daemon.proc.pid,
                                 "leak_check", "full", "reachable", "any"],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                timeout=120)
            text = vg.stdout.decode("latin-1")
            out = {"events": lines, "vgdb_exit": vg.returncode,
                   **leak_summary(text)}
            with open(os.path.join(self.workdir, "vgdb-leak-check.txt"), "w") as f:
                f.write(text)
            # SIGTERM ends it; memcheck still checks for leaks on a fatal
            # signal, which gives a second summary to compare with.
            daemon.stop()
            with open(log_file) as f:
                log = f.read()
            out["at_sigterm"] = leak_summary(log)
            out["memory_errors"] = len(re.findall(
                r"Invalid (read|write|free)|uninitialised|Conditional jump|"
                r"Mismatched free|overlap", log))
            return out
        finally:
            if daemon is not None:
                daemon.stop()
            server.stop()
