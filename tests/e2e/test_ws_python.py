"""python3-websockets against the WebSocket server: handshake, text both ways, the server's
ping after every message, ping/pong, broadcast, the close handshake, and deactivation with two
clients connected."""
import asyncio
import os
import sys
import unittest

import websockets
from websockets.legacy.client import WebSocketClientProtocol

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "ws-fixture"))
from fixture import FixtureServer  # noqa: E402


class RecordingProtocol(WebSocketClientProtocol):
    """Keeps the opcode of every frame received, control frames included."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.opcodes = []

    async def read_frame(self, max_size):
        frame = await super().read_frame(max_size)
        self.opcodes.append((frame.opcode.name, bytes(frame.data)))
        return frame


async def wait_until(condition, timeout=5):
    for _ in range(int(timeout / 0.01)):
        if condition():
            return True
        await asyncio.sleep(0.01)
    return condition()


class PythonClient(unittest.TestCase):
    def setUp(self):
        self.server = FixtureServer()
        self.url = f"ws://127.0.0.1:{self.server.port}/card?client=python"

    def tearDown(self):
        self.server.kill()

    def run_async(self, coroutine):
        asyncio.run(asyncio.wait_for(coroutine, 30))

    def test_session(self):
        async def session():
            async with websockets.connect(self.url, create_protocol=RecordingProtocol,
                                          ping_interval=None) as ws:
                await ws.send("STATUS")
                self.assertEqual(await ws.recv(), "STATUS:0")
                # The server pings (empty) after each message it handled.
                self.assertTrue(await wait_until(lambda: ("PING", b"") in ws.opcodes))
                self.assertEqual(ws.opcodes[:2], [("TEXT", b"STATUS:0"), ("PING", b"")])

                await ws.send("STATUS extra words")
                self.assertEqual(await ws.recv(), "STATUS:0")
                await ws.send("STATUSX")
                self.assertTrue(await wait_until(lambda: ws.opcodes.count(("PING", b"")) == 3))

                pong = await ws.ping(b"are you there")
                await asyncio.wait_for(pong, 5)

                await asyncio.to_thread(self.server.broadcast, "CARD:0A0B0C0D:00112233")
                self.assertEqual(await ws.recv(), "CARD:0A0B0C0D:00112233")
                await ws.send(b"\x00\x01")
                await ws.close()
                self.assertEqual(ws.close_code, 1000)
            await asyncio.to_thread(self.server.expect, "BIN 2")
            texts = [line for line in self.server.log if line.startswith("TEXT")]
            self.assertEqual(texts, ["TEXT STATUS", "TEXT STATUS extra words", "TEXT STATUSX"])
            self.assertEqual(ws.opcodes[-1][0], "CLOSE")

        self.run_async(session())

    def test_deactivation_closes_both_clients_with_1000(self):
        async def session():
            first = await websockets.connect(self.url, ping_interval=None)
            second = await websockets.connect(self.url, ping_interval=None)
            await first.send("STATUS")
            self.assertEqual(await first.recv(), "STATUS:0")
            code = await asyncio.to_thread(self.server.stop)
            self.assertEqual(code, 0)
            for ws in (first, second):
                with self.assertRaises(websockets.ConnectionClosedOK):
                    await asyncio.wait_for(ws.recv(), 5)
                self.assertEqual(ws.close_code, 1000)

        self.run_async(session())


if __name__ == "__main__":
    unittest.main()
