"""The benchmark's results as a Markdown table: each figure beside its
reference from the same run, the ratio, the target and whether it was met."""


def fmt_ms(value, digits=2):
    return "%.*f ms" % (digits, value)


def checks_between(r, first, last):
    times = r.get("check_cpu", {}).get("times", [])
    return sum(1 for t in times if first["t"] < t <= last["t"])


def mib(kib):
    return kib / 1024.0


def verdict(ok):
    return "yes" if ok else "**no**"


def table(r):
    rows = []
    lat = r.get("latency")
    if lat:
        d, e, p = lat["daemon"], lat["exec"], lat["popen"]
        rows.append((
            "Added latency per event, p50 (LF written → POST complete at server; "
            "%d-byte line, %d rounds)" % (lat["line_bytes"], lat["rounds"]),
            fmt_ms(d["p50_ms"]),
            "bare curl %s, popen %s" % (fmt_ms(e["p50_ms"]), fmt_ms(p["p50_ms"])),
            "%.3f × bare curl" % lat["ratio_p50"],
            "≤ 1.1 × bare curl", verdict(lat["ratio_p50"] <= 1.1)))
        rows.append((
            "Added latency per event, p99", fmt_ms(d["p99_ms"]),
            "bare curl %s, popen %s" % (fmt_ms(e["p99_ms"]), fmt_ms(p["p99_ms"])),
            "%.3f × bare curl, %.3f × popen" % (lat["ratio_p99"],
                                                d["p99_ms"] / p["p99_ms"]),
            "< popen p99", verdict(d["p99_ms"] < p["p99_ms"])))
        q = lat["pty"]
        rows.append((
            "Same path without the daemon: pty line → bare curl (p50 / p99)",
            "%s / %s" % (fmt_ms(q["p50_ms"]), fmt_ms(q["p99_ms"])),
            "bare curl %s / %s" % (fmt_ms(e["p50_ms"]), fmt_ms(e["p99_ms"])),
            "%.3f × bare curl; daemon %.3f × this" % (
                q["p50_ms"] / e["p50_ms"], d["p50_ms"] / q["p50_ms"]),
            "(reference only)", ""))
        rows.append((
            "Whole curl run (start → exit), p50 / p99", "—",
            "bare curl %s / %s, popen %s / %s" % (
                fmt_ms(e["run_p50_ms"]), fmt_ms(e["run_p99_ms"]),
                fmt_ms(p["run_p50_ms"]), fmt_ms(p["run_p99_ms"])),
            "", "(reference only)", ""))
    for t in r.get("throughput", []):
        limit = min(t["pause_ceiling_per_s"], t["wire_limit_per_s"])
        target = "≥ 9.4/s, 0 lost, 0 reordered" if t["line_bytes"] == 40 else \
            "(no target) 0 lost, 0 reordered"
        ok = t["lost"] == 0 and t["reordered"] == 0 and t["duplicates"] == 0
        if t["line_bytes"] == 40:
            ok = ok and t["rate_per_s"] >= 9.4
        rows.append((
            "Throughput, %d-byte lines (%d events)" % (t["line_bytes"], t["events"]),
            "%.2f events/s (%.1f ms a cycle); lost %d, out of order %d"
            % (t["rate_per_s"], t["cycle_ms"], t["lost"], t["reordered"]),
            "minimal gateway (pty → bare curl → 100 ms pause): %.2f/s (%.1f ms a "
            "cycle, %d events); 100 ms pause alone: %.0f/s; 9600-baud wire: %.1f/s"
            % (t["ref_rate_per_s"], t["ref_cycle_ms"], t["ref_events"],
               t["pause_ceiling_per_s"], t["wire_limit_per_s"]),
            "%.3f × minimal gateway; %.1f %% of %.1f/s; daemon adds %.1f ms a cycle"
            % (t["rate_per_s"] / t["ref_rate_per_s"],
               100.0 * t["rate_per_s"] / limit, limit,
               t["cycle_ms"] - t["ref_cycle_ms"]),
            target, verdict(ok)))
    mem = r.get("memory")
    if mem:
        start = mem[0]
        after = [m for m in mem if m["label"].startswith("after ") and m["events"] > 0]
        # The baseline is taken once every kind of work has run at least
        # once (first touches of pages are not growth): after 500 events in
        # a full run, after 100 in a short one.
        base_events = 500 if max(m["events"] for m in mem) >= 1000 else 100
        base = next((m for m in after if m["events"] >= base_events),
                    after[0] if after else start)
        last = max((m for m in mem if m["label"] != "after idle"),
                   key=lambda m: m["events"])
        rss_max = max(m["vmrss_kib"] for m in mem)
        anon_max = max(m["rssanon_kib"] for m in mem)
        grow_anon = last["exact_anon_kib"] - base["exact_anon_kib"]
        grow_rss = last["exact_rss_kib"] - base["exact_rss_kib"]
        # Growth that came with a firmware check is the update worker's, not
        # the events'; it is shown, and judged apart.
        span = [m for m in mem if base["t"] < m["t"] <= last["t"]]
        at_checks = sum(m.get("anon_growth_at_checks_kib", 0) for m in span)
        by_events = grow_anon - at_checks
        rows.append((
            "Daemon memory after start-up", "VmRSS %.2f MiB, RssAnon %.2f MiB"
            % (mib(start["vmrss_kib"]), mib(start["rssanon_kib"])),
            "", "", "RSS < 14 MiB, anon < 3 MiB",
            verdict(start["vmrss_kib"] < 14 * 1024 and start["rssanon_kib"] < 3 * 1024)))
        rows.append((
            "Daemon memory after %d events" % last["events"],
            "VmRSS %.2f MiB, RssAnon %.2f MiB" % (mib(last["vmrss_kib"]),
                                                 mib(last["rssanon_kib"])),
            "after %d events: VmRSS %.2f, RssAnon %.2f MiB"
            % (base["events"], mib(base["vmrss_kib"]), mib(base["rssanon_kib"])),
            "exact growth %+d KiB RSS, %+d KiB anon, of which %+d KiB came with the "
            "%d firmware checks in between and %+d KiB with the events"
            % (grow_rss, grow_anon, at_checks, checks_between(r, base, last),
               by_events),
            "RSS < 14 MiB, anon < 3 MiB, flat",
            verdict(rss_max < 14 * 1024 and anon_max < 3 * 1024 and by_events <= 8)))
    s3 = r.get("s3_layer")
    if s3:
        m10 = s3["memory"].get("10")
        m100 = s3["memory"].get(str(s3["count"]))
        if m10 and m100:
            grow = m100["exact_anon_kib"] - m10["exact_anon_kib"]
            grow_rss = m100["exact_rss_kib"] - m10["exact_rss_kib"]
            rows.append((
                "S3 layer memory (s3_fetch_loop)",
                "after %d fetches: VmRSS %.2f MiB, RssAnon %.2f MiB"
                % (s3["count"], mib(m100["vmrss_kib"]), mib(m100["rssanon_kib"])),
                "after 10: VmRSS %.2f MiB, RssAnon %.2f MiB"
                % (mib(m10["vmrss_kib"]), mib(m10["rssanon_kib"])),
                "exact growth %+d KiB RSS, %+d KiB anon" % (grow_rss, grow),
                "flat", verdict(grow <= 8 and grow_rss <= 64)))
    vg = r.get("valgrind")
    if vg:
        f, dmn = vg["s3_fetch_loop"], vg["daemon"]
        ok = f.get("definitely_lost") == 0 and dmn.get("definitely_lost") == 0 \
            and dmn["at_sigterm"].get("definitely_lost") == 0
        rows.append((
            "valgrind (memcheck) leak check",
            "daemon, %d events (3 with instructions) + 1 firmware check: definitely "
            "lost %s B, possibly %s B (vgdb while running; %s B definitely lost "
            "at SIGTERM), %d memory errors; s3_fetch_loop, 20 fetches, at exit: "
            "definitely lost %s B"
            % (dmn["events"], dmn.get("definitely_lost"), dmn.get("possibly_lost"),
               dmn["at_sigterm"].get("definitely_lost"), dmn["memory_errors"],
               f.get("definitely_lost")),
            "", "", "nothing definitely lost", verdict(ok)))
    idle = r.get("idle")
    if idle:
        rows.append((
            "Idle CPU (%.0f s window, %d firmware check%s)"
            % (idle["seconds"], idle["checks_in_window"],
               "" if idle["checks_in_window"] == 1 else "s"),
            "%.2f ms (%.4f %% of a core); %.2f ms without the checks; "
            "%.2f wake-ups/s" % (idle["cpu_ms"], idle["cpu_percent"],
                                 idle["cpu_ms_without_checks"],
                                 idle["wakeups_per_s"]),
            "", "", "no busy waiting",
            verdict(idle["cpu_ms_without_checks"] < 0.5 * idle["seconds"] / 60 + 1
                    and idle["wakeups_per_s"] < 2)))
    cc = r.get("check_cpu")
    if cc and s3:
        worst = cc.get("max_ms", cc["first_check_cpu_ms"])
        rows.append((
            "One firmware check (versions match, local stand-in)",
            "daemon CPU %s per check (%d checks seen; first, with one-time "
            "set-up: %s)" % (
                fmt_ms(cc["p50_ms"]) if "p50_ms" in cc else "n/a",
                len(cc["checks"]), fmt_ms(cc["first_check_cpu_ms"])),
            "S3 fetch alone: wall p50 %s p99 %s, CPU p50 %s p99 %s"
            % (fmt_ms(s3["wall_p50_ms"]), fmt_ms(s3["wall_p99_ms"]),
               fmt_ms(s3["cpu_p50_ms"]), fmt_ms(s3["cpu_p99_ms"])),
            "", "< 20 ms CPU", verdict(worst < 20 and s3["cpu_p99_ms"] < 20)))
    head = ("Figure", "Measured", "Reference (same run)", "Ratio / share",
            "Target", "Met")
    return markdown(head, rows)


def markdown(head, rows):
    lines = ["| " + " | ".join(head) + " |",
             "|" + "---|" * len(head)]
    for row in rows:
        lines.append("| " + " | ".join(row) + " |")
    return "\n".join(lines)


def delivery_table(r):
    """delivery_bench.py's results: one column per daemon build (today's
    first), bare curl's figures from beside each, the target, and whether
    the last build met it."""
    labels = r["builds"]
    last = labels[-1]
    rtt = r["rtt_ms"]
    rows = []

    def cells(phase, text):
        return [text(r[label][phase]) if phase in r[label] else "—" for label in labels]

    def curl_cells(phase, text):
        return "; ".join("%s: %s" % (label, text(r[label][phase]))
                         for label in labels if phase in r[label])

    def mean_curl(p):
        return (p["curl_before_per_s"] + p["curl_after_per_s"]) / 2

    def met(phase, ok):
        return verdict(ok(r[last][phase])) if phase in r[last] else ""

    if "link" in r[last]:
        rows.append(["Backlog drain, %.0f ms round trip, HTTPS (%d events)"
                     % (rtt, r[last]["link"]["drain"]["events"])]
                    + cells("link", lambda p: "%.2f events/s (%d connection%s; in order, once: "
                            "%s)" % (p["drain"]["per_s"], p["drain"]["connections"],
                                     "" if p["drain"]["connections"] == 1 else "s",
                                     "yes" if p["drain"]["in_order_once"] else "**no**"))
                    + [curl_cells("link", lambda p: "%.2f/s before, %.2f/s after"
                                  % (p["curl_before_per_s"], p["curl_after_per_s"])),
                       "≥ 8/s (limit %.0f/s)" % (1000.0 / rtt),
                       met("link", lambda p: p["drain"]["per_s"] >= 8)])
        rows.append(["Live event, %.0f ms round trip, HTTPS: LF written → request at "
                     "server, p50 / p95 (%d events)" % (rtt, r[last]["link"]["live"]["daemon"]["n"])]
                    + cells("link", lambda p: "%s / %s (%d connection%s)" % (
                        fmt_ms(p["live"]["daemon"]["p50_ms"], 0),
                        fmt_ms(p["live"]["daemon"]["p95_ms"], 0),
                        p["live"]["daemon"]["connections"],
                        "" if p["live"]["daemon"]["connections"] == 1 else "s"))
                    + [curl_cells("link", lambda p: "%s / %s" % (
                        fmt_ms(p["live"]["curl"]["p50_ms"], 0),
                        fmt_ms(p["live"]["curl"]["p95_ms"], 0))),
                       "p50 ≤ %.0f ms" % rtt,
                       met("link", lambda p: p["live"]["daemon"]["p50_ms"] <= rtt)])
        rows.append(["Live event as above, the server closing connections idle for "
                     "2 s, events 2.5–3.5 s apart, p50 / p95 (%d events)"
                     % r[last]["link"]["live_idle"]["daemon"]["n"]]
                    + cells("link", lambda p: "%s / %s (%d connections)" % (
                        fmt_ms(p["live_idle"]["daemon"]["p50_ms"], 0),
                        fmt_ms(p["live_idle"]["daemon"]["p95_ms"], 0),
                        p["live_idle"]["daemon"]["connections"]))
                    + [curl_cells("link", lambda p: "%s / %s" % (
                        fmt_ms(p["live_idle"]["curl"]["p50_ms"], 0),
                        fmt_ms(p["live_idle"]["curl"]["p95_ms"], 0))),
                       "(no target)", ""])
    if "loopback" in r[last]:
        rows.append(["Backlog drain, plain loopback, HTTP (%d events)"
                     % r[last]["loopback"]["drain"]["events"]]
                    + cells("loopback", lambda p: "%.1f events/s = %.1f × bare curl "
                            "(%d connection%s)" % (
                                p["drain"]["per_s"], p["drain"]["per_s"] / mean_curl(p),
                                p["drain"]["connections"],
                                "" if p["drain"]["connections"] == 1 else "s"))
                    + [curl_cells("loopback", lambda p: "%.1f/s before, %.1f/s after"
                                  % (p["curl_before_per_s"], p["curl_after_per_s"])),
                       "≥ 10 × bare curl",
                       met("loopback", lambda p: p["drain"]["per_s"] >= 10 * mean_curl(p))])
        rows.append(["Daemon CPU per delivered event over that drain (utime + stime; "
                     "its curl children apart)"]
                    + cells("loopback", lambda p: "%.3f ms (children %.3f ms; the server "
                            "%.3f ms)" % (p["cpu_ms"] / p["drain"]["events"],
                                          p["children_cpu_ms"] / p["drain"]["events"],
                                          p["sink_cpu_ms"] / p["drain"]["events"]))
                    + ["", "≤ 1 ms", met("loopback", lambda p: p["cpu_ms"] / p["drain"]["events"] <= 1)])
    for phase, when in (("loopback", "after the loopback drain (HTTP)"),
                        ("link", "after the link runs (HTTPS)")):
        if phase not in r[last]:
            continue
        base = r[labels[0]][phase]["memory_end_kib"]["VmRSS"]
        rows.append(["Daemon resident memory %s: VmRSS (RssAnon); after start-up" % when]
                    + cells(phase, lambda p: "%.2f MiB (%.2f MiB); %.2f MiB" % (
                        mib(p["memory_end_kib"]["VmRSS"]), mib(p["memory_end_kib"]["RssAnon"]),
                        mib(p["memory_start_kib"]["VmRSS"])))
                    + ["", "within 2 MiB of today's",
                       met(phase, lambda p: p["memory_end_kib"]["VmRSS"] - base <= 2048)
                       if len(labels) > 1 else "(no baseline)"])
    head = ["Figure"] + labels + ["Bare curl, same run", "Target", "Met (%s)" % last]
    return markdown(head, rows)
