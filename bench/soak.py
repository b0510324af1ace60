#!/usr/bin/python3
"""Soak of the built card-service: many card taps with the virtual card while plain WebSocket
clients stay connected and pcscd is restarted, checking that every client gets every "CARD:"
exactly once and in order. Each tap carries its own block (the tap's number), so a lost,
doubled or reordered message shows.

Runs in a private network namespace (it re-executes itself under tests/e2e/run-in-netns.sh)
with a private pcscd. Not part of the test command: 1000 taps take about 15 minutes.

    /usr/bin/python3 bench/soak.py [--taps 1000] [--clients 50] [--restarts 2]

Prints the figures at the end (taps, messages, errors, RSS and threads at start and end) and
exits 1 when any client missed, doubled or reordered a CARD.
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
from service import Client, Service, wait_port  # noqa: E402

UID = "04A10B7C"
READER = "Virtual PCD 00 00"


def proc_figures(pid):
    figures = {}
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            name, _, value = line.partition(":")
            figures[name] = value.split()[0] if value.split() else ""
    return int(figures["Threads"]), int(figures["VmRSS"])


def block_of(tap):
    return "%032X" % tap


async def soak(args, pcsc, svc, card):
    clients = [Client() for _ in range(args.clients)]
    for client in clients:
        await client.__aenter__()
    received = [[] for _ in clients]
    errors = []

    async def collect(quiet):
        for i, client in enumerate(clients):
            received[i] += [t for t in await client.drain(quiet) if t.startswith("CARD:")]

    restart_at = {args.taps * (k + 1) // (args.restarts + 1) for k in range(args.restarts)}
    loop = asyncio.get_running_loop()
    started = time.monotonic()
    for tap in range(args.taps):
        if tap in restart_at:
            mark = svc.mark()
            await loop.run_in_executor(None, pcsc.restart_pcscd)
            if not await loop.run_in_executor(
                    None, lambda: svc.wait_log("Подключен считыватель: " + READER, 30, mark)):
                errors.append("tap %d: the reader did not come back after the restart" % tap)
        card.set(block=block_of(tap))
        card.on()
        want = "CARD:%s:%s" % (UID, block_of(tap))
        text = None
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            text = await clients[0].next_text(max(0.01, deadline - time.monotonic()))
            if text is None or text.startswith("CARD:") or text.startswith("ERROR:"):
                break
        if text is not None and text.startswith("CARD:"):
            received[0].append(text)
        if text != want:
            errors.append("tap %d: first client got %r" % (tap, text))
        card.off()
        await asyncio.sleep(0.6)  # vpcd notices a card gone on its next presence check
        if tap % 50 == 49:
            await collect(0.05)
            print("soak: %d taps, %.0f s" % (tap + 1, time.monotonic() - started), flush=True)
    await collect(1.0)
    for client in clients:
        await client.__aexit__(None, None, None)
    return received, errors, time.monotonic() - started


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--taps", type=int, default=1000)
    parser.add_argument("--clients", type=int, default=50)
    parser.add_argument("--restarts", type=int, default=2)
    args = parser.parse_args()
    with pcscenv.PcscEnv() as pcsc:
        svc = Service(pcsc.env())
        try:
            assert svc.wait_log("Подключен считыватель: " + READER), svc.lines
            asyncio.run(wait_port())
            card = pcsc.card(0, uid=UID, block=block_of(0))
            threads0, rss0 = proc_figures(svc.proc.pid)
            received, errors, seconds = asyncio.run(soak(args, pcsc, svc, card))
            time.sleep(1)
            threads1, rss1 = proc_figures(svc.proc.pid)
            card.close()
        finally:
            code = svc.stop()
    want = ["CARD:%s:%s" % (UID, block_of(tap)) for tap in range(args.taps)]
    bad = [i for i, got in enumerate(received) if got != want]
    for i in bad[:5]:
        got = received[i]
        first = next((k for k, (g, w) in enumerate(zip(got, want)) if g != w), min(len(got),
                                                                                   len(want)))
        errors.append("client %d: %d CARDs, first difference at %d" % (i, len(got), first))
    messages = sum(len(got) for got in received)
    print("taps: %d in %.0f s, clients: %d, pcscd restarts: %d" % (args.taps, seconds,
                                                                 args.clients, args.restarts))
    print("CARD messages received: %d (expected %d), clients with every CARD once and in "
          "order: %d/%d" % (messages, args.taps * args.clients, args.clients - len(bad),
                            args.clients))
    print("errors: %d%s" % (len(errors), "".join("\n  " + e for e in errors[:20])))
    print("service RSS: %d kB at start, %d kB at end; threads: %d -> %d; exit code %s" % (
        rss0, rss1, threads0, threads1, code))
    sys.exit(0 if not errors and code == 0 else 1)


if __name__ == "__main__":
    main()
