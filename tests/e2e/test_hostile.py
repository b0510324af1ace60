"""The built card-service against hostile peers on its port, with a private pcscd, the virtual
card and a normal python3-websockets client beside them: garbage requests, oversized heads,
bodies and frames, unmasked and reserved-opcode frames, a frame cut off half-way, 500 idle
sockets, rapid connect/disconnect, polling bodies with made-up sessions, and clients that
never read while the service broadcasts. The normal client must keep getting its STATUS
answers within 2 s and every CARD once; afterwards the service's threads and memory are back
near where they started and SIGTERM ends it with 0."""
import asyncio
import os
import socket
import struct
import sys
import threading
import time
import unittest

import websockets

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pcscenv  # noqa: E402
from service import Client, Service, wait_port  # noqa: E402

PORT = 8085
UID, BLOCK = "04A10B7C", "00112233445566778899AABBCCDDEEFF"
CARD = "CARD:%s:%s" % (UID, BLOCK)
# The service gives a request, and the rest of a message once begun, this long.
PEER_TIMEOUT = 30
UPGRADE = (b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n")


def proc_figures(pid):
    """(threads, RSS in kB) of a process."""
    figures = {}
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            name, _, value = line.partition(":")
            figures[name] = value.split()[0] if value.split() else ""
    return int(figures["Threads"]), int(figures["VmRSS"])


def masked(first, payload, length=None):
    key = b"\x37\xfa\x21\x3d"
    n = len(payload) if length is None else length
    if n <= 125:
        head = bytes([first, 0x80 | n])
    elif n <= 0xFFFF:
        head = bytes([first, 0x80 | 126]) + struct.pack(">H", n)
    else:
        head = bytes([first, 0x80 | 127]) + struct.pack(">Q", n)
    return head + key + bytes(b ^ key[i % 4] for i, b in enumerate(payload))


def connect(rcvbuf=None):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    if rcvbuf:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    s.settimeout(10)
    s.connect(("127.0.0.1", PORT))
    return s


def read_to_end(s, timeout):
    """What arrives until the peer closes: (bytes, closed in time)."""
    got = b""
    deadline = time.monotonic() + timeout
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            return got, False
        s.settimeout(left)
        try:
            chunk = s.recv(65536)
        except socket.timeout:
            return got, False
        except OSError:
            return got, True  # reset
        if not chunk:
            return got, True
        got += chunk


def upgraded(rcvbuf=None):
    s = connect(rcvbuf)
    s.sendall(UPGRADE)
    head = b""
    while b"\r\n\r\n" not in head:
        chunk = s.recv(1)
        if not chunk:
            raise AssertionError("closed during the upgrade")
        head += chunk
    assert head.startswith(b"HTTP/1.1 101 "), head
    return s


class Outcomes:
    """What the hostile peers saw, filled in by their threads."""

    def __init__(self):
        self.lock = threading.Lock()
        self.failures = []
        self.done = []

    def fail(self, what):
        with self.lock:
            self.failures.append(what)

    def finished(self, what):
        with self.lock:
            self.done.append(what)


def run_peer(outcomes, name, body):
    def wrapper():
        try:
            body()
        except Exception as failure:  # noqa: BLE001 - every failure is reported
            outcomes.fail("%s: %r" % (name, failure))
        outcomes.finished(name)
    thread = threading.Thread(target=wrapper, name=name, daemon=True)
    thread.start()
    return thread


# ---- the hostile peers; each raises AssertionError when the service does the wrong thing ----

GARBAGE = [
    os.urandom(300),
    b"\x00" * 100 + b"\r\n\r\n",
    b"GARBAGE\r\n\r\n",
    b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03",  # a TLS client hello
    b"BREW / HTCPCP/1.0\r\n\r\n",
    b"POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n",
    b"POST / HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n",
    b"GET /%zz%%%00 HTTP/1.1\r\n\r\n",
    b"GET / HTTP/1.1\r\nConnection: Upgrade\r\nSec-WebSocket-Key: x\r\n\r\n",
    b"GET / HTTP/1.1\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
    b"Sec-WebSocket-Version: 8\r\n\r\n",
    b"GET /socket.io/1/xhr-polling/ HTTP/1.1\r\n\r\n",
    b"GET / HTTP/1.1\r\n" + b"X-Many: y\r\n" * 4000 + b"\r\n",
]


def garbage(sent):
    s = connect()
    s.sendall(sent)
    _, closed = read_to_end(s, PEER_TIMEOUT + 10)
    s.close()
    if not closed:
        raise AssertionError("not closed after %r" % sent[:40])


def oversized_requests():
    cases = [(b"GET / HTTP/1.1\r\nX-Pad: " + b"a" * 70000 + b"\r\n\r\n", b"HTTP/1.1 431 "),
             (b"POST / HTTP/1.1\r\nContent-Length: 2000000\r\n\r\n" + b"b" * 100000,
              b"HTTP/1.1 413 ")]
    for sent, want in cases:
        s = connect()
        try:
            s.sendall(sent)
        except OSError:
            pass  # the service may stop reading once it has seen enough
        got, closed = read_to_end(s, 10)
        s.close()
        if not got.startswith(want) or not closed:
            raise AssertionError("%r: got %r (closed %s)" % (want, got[:60], closed))


def bad_frames():
    cases = [("oversized frame", masked(0x82, b"", length=64 * 1024 * 1024) + b"x" * 1000, 1009),
             ("unmasked frame", b"\x81\x06STATUS", None),
             ("reserved opcode", masked(0x83, b"x"), None),
             ("reserved control opcode", masked(0x8B, b""), None),
             ("continuation first", masked(0x80, b"x"), None)]
    for name, sent, code in cases:
        s = upgraded()
        s.sendall(sent)
        got, closed = read_to_end(s, 10)
        s.close()
        if not closed:
            raise AssertionError(name + ": not closed")
        if code is not None:
            close_frame = b"\x88\x02" + struct.pack(">H", code)
            if close_frame not in got:
                raise AssertionError("%s: no close %d in %r" % (name, code, got[:40]))


def half_frame(outcome):
    s = upgraded()
    s.sendall(b"\x81\x85\x01\x02")  # header cut short, then silence
    start = time.monotonic()
    _, closed = read_to_end(s, PEER_TIMEOUT + 10)
    outcome["half frame closed after"] = round(time.monotonic() - start, 1)
    s.close()
    if not closed:
        raise AssertionError("a half-sent frame kept its connection")


def paced_connect(rcvbuf=None):
    # The listen backlog is 15: a burst beyond it waits a SYN retransmission (1 s) per
    # connection, so bursts are spread a little.
    time.sleep(0.003)
    return connect(rcvbuf)


def idle_sockets(count, outcome):
    sockets = [paced_connect() for _ in range(count)]
    outcome["idle sockets open"] = len(sockets)
    start = time.monotonic()
    open_ones = 0
    for s in sockets:
        _, closed = read_to_end(s, max(1, PEER_TIMEOUT + 10 - (time.monotonic() - start)))
        open_ones += 0 if closed else 1
        s.close()
    outcome["idle sockets closed after"] = round(time.monotonic() - start, 1)
    if open_ones:
        raise AssertionError("%d idle sockets stayed open" % open_ones)


def rapid_connections(count, outcome):
    linger = struct.pack("ii", 1, 0)
    start = time.monotonic()
    for i in range(count):
        s = paced_connect()
        if i % 3 == 1:
            s.sendall(UPGRADE[: 20 + i % 60])
        if i % 2:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, linger)  # reset on close
        s.close()
    outcome["rapid connections took"] = round(time.monotonic() - start, 1)


def polling_bodies(count):
    bodies = [b"\xef\xbf\xbd99\xef\xbf\xbd1::", b"\xef\xbf\xbdx\xef\xbf\xbd", b"5:::{not json",
              b"7:::", b"2::", b"\xef\xbf\xbd3\xef\xbf\xbd2::\xef\xbf\xbd4\xef\xbf\xbd8::"]
    for i in range(count):
        body = bodies[i % len(bodies)]
        s = connect()
        s.sendall(b"POST /socket.io/1/xhr-polling/{HOSTILE-%d} HTTP/1.1\r\n"
                  b"Content-Length: %d\r\n\r\n" % (i, len(body)) + body)
        s.shutdown(socket.SHUT_WR)
        _, closed = read_to_end(s, PEER_TIMEOUT + 10)
        s.close()
        if not closed:
            raise AssertionError("a polling POST was not closed")


def never_reader(stop, outcome, index):
    """Pings without end and reads nothing: the pongs pile up until the service's send
    time-out gives up on this connection."""
    s = upgraded(rcvbuf=4096)
    ping = masked(0x89, b"p" * 125)
    s.settimeout(1)
    sent = 0
    while not stop.is_set():
        try:
            s.sendall(ping * 64)
            sent += 64
        except socket.timeout:
            continue  # the service is not reading now
        except OSError:
            break  # the service has cut us off
    outcome["never-reader %d pings" % index] = sent
    s.close()


class HostileClients(unittest.TestCase):
    def setUp(self):
        self.pcsc = pcscenv.PcscEnv(with_reader=True)
        self.pcsc.start()
        self.addCleanup(self.pcsc.close)
        self.svc = Service(self.pcsc.env())
        self.addCleanup(self.svc.stop)
        self.assertIsNotNone(self.svc.wait_log("Сетевая служба успешно запущена, порт 8085"),
                             self.svc.lines)
        asyncio.run(wait_port())
        self.card = self.pcsc.card(0, uid=UID, block=BLOCK)
        self.addCleanup(self.card.close)

    def settle(self, baseline_threads, timeout=15):
        deadline = time.monotonic() + timeout
        while True:
            threads, rss = proc_figures(self.svc.proc.pid)
            if threads <= baseline_threads + 2 or time.monotonic() > deadline:
                return threads, rss
            time.sleep(0.2)

    def test_the_service_outlives_hostile_peers(self):
        async def warm_up():
            async with Client() as c:
                await c.send("STATUS")
                self.assertEqual(await c.next_text(), "STATUS:1")
        asyncio.run(warm_up())
        threads0, rss0 = self.settle(1000, timeout=0)

        outcomes, figures = Outcomes(), {}
        stop_readers = threading.Event()
        peers = [run_peer(outcomes, "garbage %d" % i, lambda sent=sent: garbage(sent))
                 for i, sent in enumerate(GARBAGE)]
        peers += [run_peer(outcomes, "oversized requests", oversized_requests),
                  run_peer(outcomes, "bad frames", bad_frames),
                  run_peer(outcomes, "half frame", lambda: half_frame(figures)),
                  run_peer(outcomes, "idle sockets", lambda: idle_sockets(500, figures)),
                  run_peer(outcomes, "rapid connections", lambda: rapid_connections(600, figures)),
                  run_peer(outcomes, "polling bodies", lambda: polling_bodies(200))]
        readers = [run_peer(outcomes, "never-reader %d" % i,
                            lambda i=i: never_reader(stop_readers, figures, i)) for i in range(3)]
        peak = [0]

        def watch_peak():
            while not stop_readers.is_set():
                peak[0] = max(peak[0], proc_figures(self.svc.proc.pid)[0])
                time.sleep(0.2)
        threading.Thread(target=watch_peak, daemon=True).start()

        slow_status, taps, fresh = [], [0], [0]

        async def normal_client(duration):
            cards = []

            async def answer(c, prefix, timeout):
                deadline = time.monotonic() + timeout
                while True:
                    text = await c.next_text(max(0.01, deadline - time.monotonic()))
                    if text is None:
                        return None
                    if text.startswith(prefix):
                        return text
                    if text.startswith("CARD:"):
                        cards.append(text)

            async with Client() as c:
                end = time.monotonic() + duration
                next_tap = time.monotonic() + 2
                while time.monotonic() < end:
                    start = time.monotonic()
                    await c.send("STATUS")
                    text = await answer(c, "STATUS:", 2)
                    elapsed = time.monotonic() - start
                    if text != "STATUS:1" or elapsed > 2:
                        slow_status.append((round(elapsed, 2), text))
                    if time.monotonic() >= next_tap:
                        before = len(cards)
                        self.card.on()
                        if await answer(c, "CARD:", 10):
                            cards.append(CARD)
                        self.assertEqual(len(cards), before + 1, "a tap without its CARD")
                        self.card.off()
                        taps[0] += 1
                        async with websockets.connect("ws://127.0.0.1:8085/",
                                                      ping_interval=None, open_timeout=2) as f:
                            start = time.monotonic()
                            await f.send("STATUS")
                            reply = await asyncio.wait_for(f.recv(), 2)
                            if reply != "STATUS:1":
                                slow_status.append(("fresh", reply))
                            fresh[0] += 1
                        next_tap = time.monotonic() + 1.5
                    await asyncio.sleep(0.2)
                cards += [t for t in await c.drain(1.0) if t.startswith("CARD:")]
            return cards

        cards = asyncio.run(asyncio.wait_for(normal_client(PEER_TIMEOUT + 6), 90))
        stop_readers.set()
        deadline = time.monotonic() + 20
        for thread in peers + readers:
            thread.join(timeout=max(0.1, deadline - time.monotonic()))
        threads1, rss1 = self.settle(threads0)
        print("\nhostile: threads %d -> peak %d -> %d, RSS %d kB -> %d kB, taps %d, fresh %d, %s"
              % (threads0, peak[0], threads1, rss0, rss1, taps[0], fresh[0], figures),
              file=sys.stderr)

        self.assertEqual(outcomes.failures, [])
        self.assertEqual(len(outcomes.done), len(peers) + len(readers), outcomes.done)
        self.assertEqual(slow_status, [], "STATUS answers late or wrong")
        self.assertGreater(taps[0], 5)
        self.assertEqual(cards, [CARD] * taps[0], "every tap's CARD exactly once")
        self.assertGreater(peak[0], threads0 + 250, "the idle sockets were served by threads")
        self.assertLessEqual(threads1, threads0 + 2)
        self.assertLess(rss1, rss0 + 64 * 1024, "memory is not back near where it started")
        self.assertIsNone(self.svc.proc.poll(), "the service died")
        self.assertEqual(self.svc.stop(), 0)


if __name__ == "__main__":
    unittest.main()
