#!/usr/bin/python3
"""Idle CPU and memory of the built card-service: with a private pcscd and its two virtual
readers, no card, and N idle plain WebSocket clients, over a fixed time (from /proc).

    /usr/bin/python3 bench/idle_cpu.py [--clients 0 100] [--seconds 60]
"""
import argparse
import asyncio
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
E2E = os.path.join(HERE, "..", "tests", "e2e")
if os.environ.get("CARD_BENCH_NETNS") != "1":
    os.environ["CARD_BENCH_NETNS"] = "1"
    os.execv(os.path.join(E2E, "run-in-netns.sh"),
             [os.path.join(E2E, "run-in-netns.sh"), sys.executable, *sys.argv])
sys.path.insert(0, E2E)
import pcscenv  # noqa: E402
import websockets  # noqa: E402
from service import Service, wait_port  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime + stime


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def threads(pid):
    return len(os.listdir("/proc/%d/task" % pid))


async def measure(pid, clients, seconds):
    sockets = [await websockets.connect("ws://127.0.0.1:8085/", ping_interval=None)
               for _ in range(clients)]
    await asyncio.sleep(2)
    cpu0, t0 = cpu_seconds(pid), time.monotonic()
    await asyncio.sleep(seconds)
    cpu1, t1 = cpu_seconds(pid), time.monotonic()
    figures = (100 * (cpu1 - cpu0) / (t1 - t0), rss_kib(pid), threads(pid))
    for ws in sockets:
        await ws.close()
    return figures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--clients", type=int, nargs="+", default=[0, 100])
    parser.add_argument("--seconds", type=float, default=60)
    args = parser.parse_args()
    with pcscenv.PcscEnv() as pcsc:
        svc = Service(pcsc.env())
        try:
            assert svc.wait_log("Подключен считыватель: Virtual PCD 00 01")
            asyncio.run(wait_port())
            for n in args.clients:
                cpu, rss, nthreads = asyncio.run(measure(svc.proc.pid, n, args.seconds))
                print("idle clients %4d: CPU %.2f%% of one core over %.0f s, RSS %.1f MiB, "
                      "%d threads" % (n, cpu, args.seconds, rss / 1024, nthreads))
        finally:
            svc.stop()


if __name__ == "__main__":
    main()
