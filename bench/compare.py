#!/usr/bin/python3
"""Every WebSocket figure, our server beside Node's ws 8, driven by the same C++ load client in
the same run; prints a Markdown table with the ratios. Loopback only, bounded in time.

    /usr/bin/python3 bench/compare.py [--idle-seconds 60] [--seconds 5] [--taps 0]

Needs the build (bench-server and ws-load in $CARD_SERVICE_BUILD, default build/h-bench) and
`npm ci` in bench/node-peer. --taps N also runs tap_latency.py (pcscd, virtual card) for the
service's own tap-to-CARD row.
"""
import argparse
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.environ.get("CARD_SERVICE_BUILD", os.path.join(HERE, "..", "build", "h-bench"))
LOAD = os.path.join(BUILD, "bench", "ws-load")
SERVERS = {
    "ours": [os.path.join(BUILD, "bench", "bench-server")],
    "node ws": ["node", os.path.join(HERE, "node-peer", "server.mjs")],
}


def run(mode, server, *options, limit=200):
    out = subprocess.run([LOAD, mode, *map(str, options), "--", *SERVERS[server]],
                         capture_output=True, text=True, timeout=limit)
    if out.returncode != 0:
        raise RuntimeError("%s %s: %s" % (mode, server, out.stderr.strip()))
    sys.stderr.write("%-8s %s" % (server, out.stdout))
    return {k: float(v.rstrip("%")) for k, v in re.findall(r"(\w+)=(-?[\d.]+%?)", out.stdout)}


def both(mode, *options, **kw):
    return {name: run(mode, name, *options, **kw) for name in SERVERS}


def row(rows, figure, key, results, better="higher", unit=""):
    ours, node = results["ours"][key], results["node ws"][key]
    if better == "higher":
        ratio = ours / node if node else float("inf")
    else:
        ratio = node / ours if ours else float("inf")
    rows.append("| %s | %s%s | %s%s | %.2f× |" % (figure, fmt(ours), unit, fmt(node), unit, ratio))


def fmt(value):
    return "%.0f" % value if value >= 100 else "%.2f" % value


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=5)
    parser.add_argument("--idle-seconds", type=float, default=60)
    parser.add_argument("--taps", type=int, default=0)
    args = parser.parse_args()
    rows = ["| figure | ours | node ws 8 | ours vs node (>1 = ours better) |",
            "|---|---|---|---|"]
    for clients in (1, 50, 500):
        r = both("rtt", "--clients", clients, "--seconds", args.seconds)
        row(rows, "round trips/s, %d clients" % clients, "rps", r)
        row(rows, "p50 latency, %d clients" % clients, "p50_us", r, "lower", " µs")
        row(rows, "p99 latency, %d clients" % clients, "p99_us", r, "lower", " µs")
    for clients in (100, 500, 1000):
        r = both("fanout", "--clients", clients, "--rounds", 20)
        row(rows, "fan-out to last of %d clients, p50" % clients, "last_p50_ms", r, "lower", " ms")
        row(rows, "fan-out to last of %d clients, max" % clients, "last_max_ms", r, "lower", " ms")
    r = both("handshake", "--seconds", args.seconds, "--concurrency", 4)
    row(rows, "handshakes/s (4 at a time)", "per_s", r)
    for clients in (100, 1000):
        r = both("idle", "--clients", clients, "--seconds", 2)
        if clients == 100:
            row(rows, "RSS, 0 connections", "rss0_kib", r, "lower", " KiB")
        row(rows, "RSS, %d idle connections" % clients, "rss_kib", r, "lower", " KiB")
        row(rows, "RSS per connection (%d)" % clients, "per_conn_kib", r, "lower", " KiB")
    for clients in (0, 200):
        r = both("idle", "--clients", clients, "--seconds", args.idle_seconds)
        row(rows, "idle CPU, %d connections, %.0f s" % (clients, args.idle_seconds), "cpu", r,
            "lower", " %")
    if args.taps:
        out = subprocess.run([sys.executable, os.path.join(HERE, "tap_latency.py"), "--taps",
                              str(args.taps)], capture_output=True, text=True, timeout=600)
        m = re.search(r"p50 ([\d.]+)\s+p90 ([\d.]+)\s+p99 ([\d.]+)", out.stdout)
        if m:
            rows.append("| tap-to-CARD p50 / p99, service, %d taps | %s / %s ms | — | — |" % (
                args.taps, m.group(1), m.group(3)))
        else:
            rows.append("| tap-to-CARD | failed: %s | — | — |" % out.stderr.strip()[-200:])
    print("\n".join(rows))


if __name__ == "__main__":
    main()
