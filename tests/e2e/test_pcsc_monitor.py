"""pcsc-monitor (the smart-card layer on a main loop) against a real pcscd with the vpcd
virtual readers and our virtual card: readers found, cards laid on and taken off, a card read
through the reader object, pcscd killed and started again, pcscd absent at start."""

import os
import queue
import re
import signal
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pcscenv  # noqa: E402

BUILD = os.environ.get("CARD_SERVICE_BUILD",
                       os.path.join(pcscenv.SOURCE, "build", "linux"))
MONITOR = os.path.join(BUILD, "tools", "pcsc-monitor", "pcsc-monitor")
ATR = "3B 8F 80 01 80 4F 0C A0 00 00 03 06 03 00 01 00 00 00 00 6A"
R0, R1 = "Virtual PCD 00 00", "Virtual PCD 00 01"
STAMP = re.compile(r"^\[\d\d\.\d\d \d\d:\d\d:\d\d\.\d\d\d\] (.*)$")


class Monitor:
    """pcsc-monitor as a process; its event lines (without time stamp) in a queue."""

    def __init__(self, env, *args):
        self.proc = subprocess.Popen([MONITOR, *args], env=env, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, text=True, bufsize=1)
        self.lines = queue.Queue()
        self.seen = []
        self.pump = threading.Thread(target=self._pump, daemon=True)
        self.pump.start()

    def _pump(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\n"))

    def next(self, timeout=10):
        line = self.lines.get(timeout=timeout)
        match = STAMP.match(line)
        if not match:
            raise AssertionError("line without time stamp: %r" % line)
        self.seen.append(match.group(1))
        return match.group(1)

    def expect(self, *wanted, timeout=10):
        """Waits until every wanted line has come (in any order); returns the lines read."""
        missing = list(wanted)
        got = []
        deadline = time.monotonic() + timeout
        while missing:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("missing %r; got %r" % (missing, got))
            try:
                line = self.next(timeout=left)
            except queue.Empty:
                raise AssertionError("missing %r; got %r" % (missing, got)) from None
            got.append(line)
            if line in missing:
                missing.remove(line)
        return got

    def quiet(self, duration=1.0):
        got = []
        deadline = time.monotonic() + duration
        while time.monotonic() < deadline:
            try:
                got.append(self.next(timeout=max(0.01, deadline - time.monotonic())))
            except queue.Empty:
                pass
        return got

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise AssertionError("pcsc-monitor did not stop on SIGTERM") from None
        finally:
            self.pump.join(timeout=5)
            self.proc.stdout.close()


class PcscMonitorTest(unittest.TestCase):
    def setUp(self):
        self.pcsc = pcscenv.PcscEnv().start()
        self.addCleanup(self.pcsc.close)
        self.monitor = None

    def tearDown(self):
        if self.monitor:
            self.monitor.stop()

    def start_monitor(self, *args):
        self.monitor = Monitor(self.pcsc.env(), *args)
        return self.monitor

    def test_readers_cards_and_a_card_read(self):
        card = self.pcsc.card(0, uid="04A1B2C3D4E5F6", block="00112233445566778899AABBCCDDEEFF")
        monitor = self.start_monitor("--read")
        self.assertEqual(monitor.next(), "PC/SC ready")
        monitor.expect("reader found: " + R0, "reader found: " + R1,
                       "card removed: " + R0, "card removed: " + R1)

        card.on()
        monitor.expect("card inserted: %s ATR %s" % (R0, ATR),
                       "card read: %s UID 04A1B2C3D4E5F6 block 00112233445566778899AABBCCDDEEFF"
                       % R0)
        status = card.status()
        self.assertEqual(status["apdus"][-4:], ["FFCA000000", "FF822000063C5A7E91B4D2",
                                                "FF8600000501003C6000", "FFB0003C10"])
        # Disconnected unpowered: the card is powered down after the last command.
        deadline = time.monotonic() + 3
        while "ctl0" not in card.status()["trace"][status["trace"].index("FFB0003C10"):]:
            self.assertLess(time.monotonic(), deadline, card.status()["trace"])
            time.sleep(0.1)

        card.off()
        monitor.expect("card removed: " + R0)
        card.set(uid="0102030405060708090A", block="DEADBEEF")
        card.on()
        monitor.expect("card inserted: %s ATR %s" % (R0, ATR),
                       "card read: %s UID 0102030405060708090A block DEADBEEF" % R0)
        self.assertEqual(monitor.quiet(1.0), [])
        self.assertEqual(monitor.stop(), 0)
        self.assertEqual(monitor.next(), "stopped")

    def test_second_reader_and_a_wrong_key(self):
        card = self.pcsc.card(1, key="FFFFFFFFFFFF")
        monitor = self.start_monitor("--read")
        monitor.expect("reader found: " + R0, "reader found: " + R1, "card removed: " + R1)
        card.on()
        monitor.expect("card inserted: %s ATR %s" % (R1, ATR),
                       "card read failed at FF 86 00 00 05 01 00 3C 60 00: "
                       "State of non-volatile memory changed.")

    def test_pcscd_killed_and_started_again(self):
        card = self.pcsc.card(0)
        monitor = self.start_monitor()
        monitor.expect("reader found: " + R0, "reader found: " + R1, "card removed: " + R0)
        card.on()
        monitor.expect("card inserted: %s ATR %s" % (R0, ATR))

        self.pcsc.stop_pcscd(kill=True)
        monitor.expect("reader removed: " + R0, "reader removed: " + R1)
        self.assertEqual(monitor.quiet(1.0), [])  # no reader, no noise while pcscd is away

        self.pcsc.start_pcscd()
        monitor.expect("reader found: " + R0, "reader found: " + R1, timeout=15)
        card.on()  # pcscd's end disconnected the card
        monitor.expect("card inserted: %s ATR %s" % (R0, ATR))
        card.off()
        monitor.expect("card removed: " + R0)

    def test_pcscd_absent_at_start(self):
        self.pcsc.stop_pcscd()
        monitor = self.start_monitor()
        self.assertEqual(monitor.next(), "PC/SC not available (yet)")
        self.assertEqual(monitor.quiet(1.0), [])
        self.pcsc.start_pcscd()
        monitor.expect("reader found: " + R0, "reader found: " + R1, timeout=15)
        card = self.pcsc.card(0)
        card.on()
        monitor.expect("card inserted: %s ATR %s" % (R0, ATR))


class PcscdWithoutReaderTest(unittest.TestCase):
    def test_no_reader_no_events(self):
        with pcscenv.PcscEnv(with_reader=False) as pcsc:
            self.assertEqual(pcsc.list_readers(), [])
            monitor = Monitor(pcsc.env())
            try:
                self.assertEqual(monitor.next(), "PC/SC ready")
                self.assertEqual(monitor.quiet(1.0), [])
            finally:
                self.assertEqual(monitor.stop(), 0)


if __name__ == "__main__":
    if not os.access(MONITOR, os.X_OK):
        print("pcsc-monitor not built at " + MONITOR, file=sys.stderr)
        sys.exit(1)
    unittest.main(verbosity=2)
