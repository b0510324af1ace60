#!/usr/bin/python3
"""A virtual MIFARE Classic 1K card for the vsmartcard virtual reader (vpcd).

vpcd (Debian package vsmartcard-vpcd, loaded by pcscd) listens on TCP, by default port 35963
for the reader "Virtual PCD 00 00" and 35964 for "Virtual PCD 00 01". This program is the card:
connected to vpcd = laid on the reader, disconnected = taken off. Every message either way is
a 2-byte big-endian length and a payload; a 1-byte payload from vpcd is a control code
(0 power off, 1 power on, 2 reset, 4 get ATR; only get ATR is answered), anything else is an
APDU, answered with data and SW1 SW2.

The card answers the class FF storage-card commands of a PC/SC contactless reader:
  FF CA 00 00 00                 Get Data: UID + 90 00
  FF 82 20 00 06 <key>           Load Keys: 90 00
  FF 86 00 00 05 01 00 <b> 60 00 General Authenticate with key A: 90 00 when the loaded key is
                                 the card's key A, else 63 00
  FF B0 00 <b> 10                Read Binary: the block + 90 00 after authentication, else
                                 69 82
Anything else gives 6D 00.

Usage (a web developer without a reader: start pcscd, then this, then the service):
  /usr/bin/python3 tools/vcard/vcard.py --on
  /usr/bin/python3 tools/vcard/vcard.py --port 35964 --uid 04A1B2C3D4E5F6 --block 00112233
Options:
  --host H, --port P     where vpcd listens (127.0.0.1, 35963)
  --uid HEX              the UID (default 04A1B2C3; 3, 4, 7 or 10 bytes, or anything for tests)
  --block HEX            block 60's contents (default 16 bytes 00 01 .. 0F; any length)
  --key HEX              the card's key A for block 60 (default 3C5A7E91B4D2)
  --atr HEX              the ATR (default 3B 8F 80 01 80 4F 0C A0 00 00 03 06 03 00 01 00 00 00
                         00 6A, MIFARE Classic 1K)
  --fault CMD=RESP       answer RESP (hex, at least one byte: vpcd hangs on an empty answer)
                         to every APDU that starts with CMD (hex); may be given more than once;
                         RESP "off": the card leaves the reader instead of answering;
                         RESP "HEX+off": it answers HEX, then leaves (taken off in the middle
                         of an exchange)
  --on                   lay the card on at start
  --hold                 ignore standard input and keep the card as it is until SIGINT/SIGTERM
  -v                     log APDUs to standard error
Commands on standard input, one per line; each is answered by one line on standard output
("ok ..." or "error ..."):
  on | off               lay the card on (connect to vpcd; waits up to 10 s for it) / take it off
  uid HEX | block HEX | key HEX | fault CMD=RESP | clear-faults
  status                 "ok status on=1 powerups=N poweroffs=N resets=N apdus=CMD,CMD,...
                         trace=ctl1,CMD,ctl0,..." (the last 40 control codes but get ATR, and
                         APDUs, in order)
  quit                   take the card off and end (so does the end of standard input)
"""

import argparse
import signal
import socket
import struct
import sys
import threading
import time

DEFAULT_ATR = "3B8F8001804F0CA000000306030001000000006A"
SW_OK = b"\x90\x00"
TAKEN_OFF = object()  # a fault answer: the card leaves the reader instead of answering


class AnswerThenOff(bytes):
    """A fault answer after which the card leaves the reader."""


def hex_bytes(text):
    return bytes.fromhex("".join(text.split()))


class Card:
    """The card's memory and its answers; independent of the connection."""

    def __init__(self, uid, block, key, atr, faults):
        self.lock = threading.Lock()
        self.uid = uid
        self.block = block
        self.key = key
        self.atr = atr
        self.faults = faults  # list of (command prefix, response)
        self.loaded_key = None
        self.authenticated = False
        self.powerups = 0
        self.poweroffs = 0
        self.resets = 0
        self.apdus = []
        self.trace = []  # control codes ("ctl0" ...) and APDUs in the order they came

    def control(self, code):
        """A control code from vpcd; returns the answer or None."""
        with self.lock:
            self.trace.append("ctl%d" % code)
            if code == 4:
                return self.atr
            if code == 0:
                self.poweroffs += 1
            elif code == 1:
                self.powerups += 1
            elif code == 2:
                self.resets += 1
            if code in (0, 1, 2):
                self.authenticated = False
            return None

    def answer(self, apdu):
        with self.lock:
            self.apdus.append(apdu.hex().upper())
            self.trace.append(apdu.hex().upper())
            for prefix, response in self.faults:
                if apdu.startswith(prefix):
                    return response
            return self._answer(apdu)

    def _answer(self, apdu):
        if apdu == bytes.fromhex("FFCA000000"):
            return self.uid + SW_OK
        if apdu[:4] == bytes.fromhex("FF822000"):
            if len(apdu) != 11 or apdu[4] != 6:
                return b"\x67\x00"
            self.loaded_key = apdu[5:11]
            return SW_OK
        if apdu[:5] == bytes.fromhex("FF86000005"):
            if len(apdu) < 10 or apdu[5] != 0x01 or apdu[8] not in (0x60, 0x61):
                return b"\x6A\x86"
            self.authenticated = apdu[7] == 60 and apdu[8] == 0x60 and self.loaded_key == self.key
            return SW_OK if self.authenticated else b"\x63\x00"
        if apdu[:3] == bytes.fromhex("FFB000") and len(apdu) == 5:
            if not self.authenticated or apdu[3] != 60:
                return b"\x69\x82"
            return self.block + SW_OK
        return b"\x6D\x00"

    def status(self, on):
        with self.lock:
            trace = [t for t in self.trace if t != "ctl4"][-40:]  # ATR queries come every 400 ms
            return "on=%d powerups=%d poweroffs=%d resets=%d apdus=%s trace=%s" % (
                1 if on else 0, self.powerups, self.poweroffs, self.resets, ",".join(self.apdus),
                ",".join(trace))


class Link:
    """The TCP connection to vpcd: connected = the card lies on the reader."""

    def __init__(self, card, host, port, verbose):
        self.card = card
        self.host = host
        self.port = port
        self.verbose = verbose
        self.sock = None
        self.thread = None
        self.lock = threading.Lock()

    def on(self, timeout=10.0):
        with self.lock:
            if self.sock:
                return True
            deadline = time.monotonic() + timeout
            while True:
                try:
                    sock = socket.create_connection((self.host, self.port), timeout=2)
                    break
                except OSError:
                    if time.monotonic() > deadline:
                        return False
                    time.sleep(0.1)
            sock.settimeout(None)
            # Without these each APDU waits for a delayed ACK (about 40 ms).
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            self._quickack(sock)
            self.sock = sock
            self.thread = threading.Thread(target=self._serve, args=(sock,), daemon=True)
            self.thread.start()
            return True

    def off(self):
        with self.lock:
            sock, self.sock = self.sock, None
            thread, self.thread = self.thread, None
        if sock:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            sock.close()
        if thread:
            thread.join(timeout=5)

    def is_on(self):
        with self.lock:
            return self.sock is not None

    @staticmethod
    def _quickack(sock):
        if hasattr(socket, "TCP_QUICKACK"):
            try:
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)
            except OSError:
                pass

    def _read(self, sock, n):
        data = b""
        while len(data) < n:
            chunk = sock.recv(n - len(data))
            if not chunk:
                raise EOFError
            data += chunk
        self._quickack(sock)
        return data

    def _send(self, sock, payload):
        sock.sendall(struct.pack(">H", len(payload)) + payload)

    def _serve(self, sock):
        try:
            while True:
                (length,) = struct.unpack(">H", self._read(sock, 2))
                payload = self._read(sock, length)
                if length == 1:
                    reply = self.card.control(payload[0])
                    if self.verbose:
                        print("vcard: control %d" % payload[0], file=sys.stderr, flush=True)
                else:
                    reply = self.card.answer(payload)
                    if reply is TAKEN_OFF:
                        break
                    if isinstance(reply, AnswerThenOff):
                        self._send(sock, reply)
                        break
                    if self.verbose:
                        print("vcard: %s -> %s" % (payload.hex().upper(), reply.hex().upper()),
                              file=sys.stderr, flush=True)
                if reply is not None:
                    self._send(sock, reply)
        except (EOFError, OSError):
            pass
        with self.lock:
            if self.sock is sock:
                # vpcd went away (pcscd stopped): the card is off.
                self.sock = None
                self.thread = None
                sock.close()


def parse_fault(text):
    command, _, response = text.partition("=")
    response = response.strip()
    if response.lower() == "off":
        return hex_bytes(command), TAKEN_OFF
    if response.lower().endswith("+off"):
        return hex_bytes(command), AnswerThenOff(hex_bytes(response[:-4]))
    command, response = hex_bytes(command), hex_bytes(response)
    if not response:
        # vpcd waits for ever on an empty answer.
        raise ValueError("a fault answer needs at least one byte")
    return command, response


def run_command(line, card, link):
    words = line.split(None, 1)
    if not words:
        return None
    verb, arg = words[0], (words[1] if len(words) > 1 else "")
    try:
        if verb == "on":
            return "ok on" if link.on() else "error vpcd not reachable"
        if verb == "off":
            link.off()
            return "ok off"
        if verb == "status":
            return "ok status " + card.status(link.is_on())
        with card.lock:
            if verb == "uid":
                card.uid = hex_bytes(arg)
            elif verb == "block":
                card.block = hex_bytes(arg)
            elif verb == "key":
                card.key = hex_bytes(arg)
            elif verb == "fault":
                card.faults.append(parse_fault(arg))
            elif verb == "clear-faults":
                card.faults.clear()
            else:
                return "error unknown command " + verb
        return "ok " + verb
    except ValueError as error:
        return "error " + str(error)


def main():
    parser = argparse.ArgumentParser(description="Virtual MIFARE Classic card for vpcd")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=35963)
    parser.add_argument("--uid", default="04A1B2C3")
    parser.add_argument("--block", default="000102030405060708090A0B0C0D0E0F")
    parser.add_argument("--key", default="3C5A7E91B4D2")
    parser.add_argument("--atr", default=DEFAULT_ATR)
    parser.add_argument("--fault", action="append", default=[])
    parser.add_argument("--on", action="store_true")
    parser.add_argument("--hold", action="store_true")
    parser.add_argument("-v", action="store_true", dest="verbose")
    args = parser.parse_args()

    try:
        faults = [parse_fault(f) for f in args.fault]
    except ValueError as error:
        parser.error(str(error))
    card = Card(hex_bytes(args.uid), hex_bytes(args.block), hex_bytes(args.key),
                hex_bytes(args.atr), faults)
    link = Link(card, args.host, args.port, args.verbose)
    if args.on and not link.on():
        print("vcard: vpcd not reachable on %s:%d" % (args.host, args.port), file=sys.stderr)
        return 1
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    try:
        if args.hold:
            while True:
                time.sleep(3600)
        for line in sys.stdin:
            if line.strip() == "quit":
                break
            reply = run_command(line.strip(), card, link)
            if reply:
                print(reply, flush=True)
    except (KeyboardInterrupt, SystemExit):
        pass
    link.off()
    print("ok quit", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
