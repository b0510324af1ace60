#!/usr/bin/python3
"""Tap-to-"CARD:" latency of the built card-service with the virtual card.

Runs in a private network namespace (it re-executes itself under tests/e2e/run-in-netns.sh)
with a private pcscd, our virtual card and one plain WebSocket client. For each tap it measures
the time from the moment pcscd reports the card present (seen by this benchmark's own
SCardGetStatusChange wait on the reader) to the "CARD:" frame at the client.

    /usr/bin/python3 bench/tap_latency.py [--taps 50]
"""
import argparse
import asyncio
import ctypes
import os
import statistics
import sys
import threading
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

SCARD_STATE_PRESENT = 0x20
SCARD_STATE_CHANGED = 0x2


class ReaderState(ctypes.Structure):
    _fields_ = [("szReader", ctypes.c_char_p), ("pvUserData", ctypes.c_void_p),
                ("dwCurrentState", ctypes.c_ulong), ("dwEventState", ctypes.c_ulong),
                ("cbAtr", ctypes.c_ulong), ("rgbAtr", ctypes.c_ubyte * 33)]


class PresenceWatch(threading.Thread):
    """Notes the time of every absent -> present change pcscd reports for one reader."""

    def __init__(self, reader):
        super().__init__(daemon=True)
        self.lib = ctypes.CDLL("libpcsclite.so.1")
        self.ctx = ctypes.c_long(0)
        self.lib.SCardEstablishContext(2, None, None, ctypes.byref(self.ctx))
        self.state = ReaderState(reader.encode(), None, 0, 0, 0)
        self.present_at = []
        self.stop = False

    def run(self):
        present = False
        while not self.stop:
            r = self.lib.SCardGetStatusChange(self.ctx, 200, ctypes.byref(self.state), 1)
            if r & 0xFFFFFFFF:
                continue
            now = time.monotonic()
            self.state.dwCurrentState = self.state.dwEventState & ~SCARD_STATE_CHANGED
            is_present = bool(self.state.dwEventState & SCARD_STATE_PRESENT)
            if is_present and not present:
                self.present_at.append(now)
            present = is_present


def percentile(values, p):
    values = sorted(values)
    k = (len(values) - 1) * p / 100
    lo, hi = int(k), min(int(k) + 1, len(values) - 1)
    return values[lo] + (values[hi] - values[lo]) * (k - lo)


async def taps(count, card, watch):
    latencies = []
    async with Client() as client:
        for _ in range(count):
            before = len(watch.present_at)
            card.on()
            text = await client.next_text(5)
            got = time.monotonic()
            if not (text or "").startswith("CARD:"):
                raise RuntimeError("expected CARD:, got %r" % text)
            for _ in range(100):
                if len(watch.present_at) > before:
                    break
                await asyncio.sleep(0.01)
            latencies.append((got - watch.present_at[before]) * 1000)
            card.off()
            await asyncio.sleep(0.5)
    return latencies


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--taps", type=int, default=50)
    args = parser.parse_args()
    with pcscenv.PcscEnv() as pcsc:
        os.environ.update(pcsc.env())
        svc = Service(pcsc.env())
        try:
            assert svc.wait_log("Подключен считыватель: Virtual PCD 00 00")
            asyncio.run(wait_port())
            card = pcsc.card(0)
            watch = PresenceWatch("Virtual PCD 00 00")
            watch.start()
            latencies = asyncio.run(taps(args.taps, card, watch))
            watch.stop = True
            card.close()
        finally:
            svc.stop()
    print("taps: %d" % len(latencies))
    print("tap-to-CARD ms: p50 %.1f  p90 %.1f  p99 %.1f  min %.1f  max %.1f  mean %.1f" % (
        percentile(latencies, 50), percentile(latencies, 90), percentile(latencies, 99),
        min(latencies), max(latencies), statistics.mean(latencies)))


if __name__ == "__main__":
    main()
