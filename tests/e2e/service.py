"""The built card-service as a process, and WebSocket clients for it, for the e2e tests.

    svc = Service(env)                 # starts build/.../src/app/card-service
    svc.wait_log("Карта успешно прочитана, RFID ")   # a log line (without stamp) starting so
    svc.stop()                         # SIGTERM; returns the exit code
    async with Client() as c:          # python3-websockets on ws://127.0.0.1:8085/
        await c.send("STATUS"); await c.next_text()
"""
import asyncio
import os
import queue
import re
import signal
import subprocess
import threading
import time

import websockets

SOURCE = os.environ.get("CARD_SERVICE_SOURCE",
                        os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
BUILD = os.environ.get("CARD_SERVICE_BUILD", os.path.join(SOURCE, "build", "linux"))
SERVICE = os.path.join(BUILD, "src", "app", "card-service")
URL = "ws://127.0.0.1:8085/"
STAMP = re.compile(r"^\[\d\d\.\d\d \d\d:\d\d:\d\d\.\d\d\d\] (.*)$")


class Service:
    def __init__(self, env):
        self.proc = subprocess.Popen([SERVICE], env=env, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True, bufsize=1)
        self.lines = []  # log texts without their stamps, in order
        self.errors = []  # standard error lines
        self.bad_lines = []  # stdout lines that are not log lines
        self._cv = threading.Condition()
        threading.Thread(target=self._pump, args=(self.proc.stdout, False), daemon=True).start()
        threading.Thread(target=self._pump, args=(self.proc.stderr, True), daemon=True).start()

    def _pump(self, stream, is_err):
        for line in stream:
            line = line.rstrip("\n")
            with self._cv:
                if is_err:
                    self.errors.append(line)
                else:
                    m = STAMP.match(line)
                    (self.lines if m else self.bad_lines).append(m.group(1) if m else line)
                self._cv.notify_all()

    def wait_log(self, prefix, timeout=10, after=0):
        """The first log text at or after index `after` starting with `prefix`, or None."""
        deadline = time.time() + timeout
        with self._cv:
            while True:
                for text in self.lines[after:]:
                    if text.startswith(prefix):
                        return text
                left = deadline - time.time()
                if left <= 0:
                    return None
                self._cv.wait(left)

    def count(self, prefix):
        with self._cv:
            return sum(1 for t in self.lines if t.startswith(prefix))

    def mark(self):
        with self._cv:
            return len(self.lines)

    def stop(self, timeout=10):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            return None


async def wait_port(url=URL, timeout=10):
    deadline = time.time() + timeout
    while True:
        try:
            async with websockets.connect(url, ping_interval=None, open_timeout=2):
                return
        except (OSError, asyncio.TimeoutError, websockets.exceptions.InvalidHandshake):
            if time.time() > deadline:
                raise
            await asyncio.sleep(0.05)


class Client:
    """One plain WebSocket client; every text message it gets is kept in order."""

    def __init__(self, url=URL):
        self.url = url
        self.texts = asyncio.Queue()
        self.ws = None

    async def __aenter__(self):
        self.ws = await websockets.connect(self.url, ping_interval=None)
        self._reader = asyncio.ensure_future(self._read())
        return self

    async def __aexit__(self, *exc):
        await self.ws.close()
        self._reader.cancel()

    async def _read(self):
        try:
            async for message in self.ws:
                await self.texts.put(message)
        except websockets.exceptions.ConnectionClosed:
            pass
        await self.texts.put(None)

    async def send(self, text):
        await self.ws.send(text)

    async def next_text(self, timeout=5):
        try:
            return await asyncio.wait_for(self.texts.get(), timeout)
        except asyncio.TimeoutError:
            return None

    async def drain(self, quiet=0.3):
        """Every text that arrives until none has come for `quiet` seconds."""
        got = []
        while True:
            text = await self.next_text(quiet)
            if text is None:
                return got
            got.append(text)
