"""Headless Chromium runs the README's example page against the built card-service: the page,
served from http://127.0.0.1, learns that a reader is attached and receives a card read."""
import os
import queue
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pcscenv  # noqa: E402
from service import Service  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
BLOCK = "00112233445566778899AABBCCDDEEFF"


class Page:
    def __init__(self):
        self.proc = subprocess.Popen(["node", os.path.join(HERE, "service-page.mjs")], cwd=HERE,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, text=True, bufsize=1)
        self.lines = queue.Queue()
        self.seen = []
        threading.Thread(target=self._pump, daemon=True).start()

    def _pump(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\n"))

    def wait_for(self, text, timeout=30):
        deadline = time.time() + timeout
        while time.time() < deadline:
            try:
                line = self.lines.get(timeout=max(0.1, deadline - time.time()))
            except queue.Empty:
                break
            self.seen.append(line)
            if line == text:
                return True
        return False

    def close(self):
        try:
            self.proc.stdin.close()
            self.proc.wait(timeout=10)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait()


class ChromiumPage(unittest.TestCase):
    def test_example_page_sees_status_and_a_card(self):
        with pcscenv.PcscEnv() as pcsc:
            svc = Service(pcsc.env())
            self.addCleanup(svc.stop)
            self.assertIsNotNone(svc.wait_log("Подключен считыватель: Virtual PCD 00 01"))
            card = pcsc.card(0, uid="04A10B7C", block=BLOCK)
            self.addCleanup(card.close)
            page = Page()
            self.addCleanup(page.close)
            self.assertTrue(page.wait_for("page ready", 60), page.seen)
            self.assertTrue(page.wait_for("status true"), page.seen)
            card.on()
            self.assertTrue(page.wait_for("card 04A10B7C " + BLOCK), page.seen)


if __name__ == "__main__":
    unittest.main(verbosity=2)
