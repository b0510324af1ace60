"""Starts the WebSocket fixture server (tests/ws-fixture) for a test and talks to it."""
import os
import queue
import subprocess
import threading


class FixtureServer:
    """ws-fixture on a free port. Lines it prints are queued; stdin lines are broadcasts."""

    def __init__(self):
        build = os.environ.get("CARD_SERVICE_BUILD", os.path.join(os.path.dirname(__file__), "../../../build/linux"))
        self.proc = subprocess.Popen([os.path.join(build, "tests/ws-fixture/ws-fixture"), "0"],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.lines = queue.Queue()
        self.log = []  # every line printed after the port
        self.port = int(self.proc.stdout.readline())
        threading.Thread(target=self._pump, daemon=True).start()

    def _pump(self):
        for line in self.proc.stdout:
            self.log.append(line.rstrip("\n"))
            self.lines.put(line.rstrip("\n"))

    def expect(self, wanted, timeout=5):
        """Waits for the printed line `wanted`; returns the lines before it."""
        seen = []
        while True:
            line = self.lines.get(timeout=timeout)
            if line == wanted:
                return seen
            seen.append(line)

    def broadcast(self, text):
        self.proc.stdin.write(text + "\n")
        self.proc.stdin.flush()
        self.expect("SENT")

    def stop(self):
        """Deactivates the server; the exit code of the fixture."""
        if self.proc.poll() is None:
            self.proc.stdin.write("STOP\n")
            self.proc.stdin.flush()
            self.expect("STOPPED", timeout=15)
        return self.proc.wait(timeout=15)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
