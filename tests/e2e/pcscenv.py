"""A private PC/SC service with virtual readers and virtual cards, for end-to-end tests.

Run by /usr/bin/python3 as root (the e2e tests run inside a network namespace of their own).
Each PcscEnv starts its own pcscd in the foreground, in a mount namespace where /run/pcscd is a
private directory, so it never meets the machine's pcscd and leaves /run/pcscd alone. Clients
reach it through PCSCLITE_CSOCK_NAME (honoured by libpcsclite), which env() sets.

    import pcscenv
    with pcscenv.PcscEnv() as pcsc:              # pcscd with one vpcd: two readers
        svc = subprocess.Popen([...], env=pcsc.env())
        card = pcsc.card(0, uid="04A1B2C3", block="00" * 16)   # for reader_names()[0]
        card.on()                                # lay the card on
        card.off()                               # take it off
        card.status()                            # {"on": 0, "poweroffs": 1, "apdus": [...],
                                                 #  "trace": ["ctl1", "FFCA000000", "ctl0"]}
        pcsc.stop_pcscd()                        # SIGTERM (kill=True: SIGKILL)
        pcsc.start_pcscd()
        pcsc.restart_pcscd(kill=True)

API
  PcscEnv(with_reader=True)
      with_reader=False: pcscd without any reader (an empty reader.conf.d).
  .start() / .close()       also by "with"; close() stops every card and pcscd and removes
                            the temporary directory, also when a test failed; atexit as well.
  .env(base=None) -> dict   environment for a client process (a copy of base or os.environ
                            with PCSCLITE_CSOCK_NAME set).
  .reader_names()           ["Virtual PCD 00 00", "Virtual PCD 00 01"] (or [] without reader)
  .port                     vpcd's TCP port for reader 0; reader 1 is port + 1
  .card(slot=0, uid="04A1B2C3", block=None, key="3C5A7E91B4D2", atr=None, faults=())
      -> VirtualCard        the virtual card of tools/vcard/vcard.py for reader `slot`, taken
                            off; faults: ("FFB0003C10=6982", ...) answers to inject
                            (at least one byte each: vpcd hangs on an empty answer)
  VirtualCard.on() / .off() / .set(uid=..., block=..., key=...) / .fault("CMD=RESP")
             .status() -> dict / .close()
  .list_readers() -> list   what pcscd lists now (a libpcsclite client of its own)
  .wait_readers(names, timeout=10)
  .stop_pcscd(kill=False)   ends pcscd; after SIGKILL its stale files are removed
  .start_pcscd()            starts it again on the same socket path and ports
  .restart_pcscd(kill=False)
  .pcscd_running()
  .log_path                 pcscd's output (debug level), handy when a test fails
"""

import atexit
import ctypes
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

SOURCE = os.environ.get("CARD_SERVICE_SOURCE",
                        os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
VCARD = os.path.join(SOURCE, "tools", "vcard", "vcard.py")
VPCD_DRIVER = "/usr/lib/pcsc/drivers/serial/libifdvpcd.so"
PYTHON = "/usr/bin/python3"

_LIST_READERS = r"""
import ctypes, json, sys
lib = ctypes.CDLL("libpcsclite.so.1")
ctx = ctypes.c_long(0)
r = lib.SCardEstablishContext(2, None, None, ctypes.byref(ctx)) & 0xFFFFFFFF
if r:
    print(json.dumps({"error": r})); sys.exit(0)
size = ctypes.c_ulong(0)
r = lib.SCardListReaders(ctx, None, None, ctypes.byref(size)) & 0xFFFFFFFF
names = []
if r == 0:
    buf = ctypes.create_string_buffer(size.value)
    r = lib.SCardListReaders(ctx, None, buf, ctypes.byref(size)) & 0xFFFFFFFF
    names = [n.decode() for n in buf.raw[:size.value].split(b"\0") if n]
lib.SCardReleaseContext(ctx)
print(json.dumps({"error": 0 if r in (0, 0x8010002E) else r, "names": names}))
"""


def _die_with_parent():
    # The child goes when the test process goes, however it ends.
    try:
        ctypes.CDLL("libc.so.6").prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    except OSError:
        pass


def _free_port_pair():
    """A port P such that P and P + 1 are both free on loopback."""
    for _ in range(100):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        if port >= 65535:
            continue
        try:
            with socket.socket() as a, socket.socket() as b:
                a.bind(("127.0.0.1", port))
                b.bind(("127.0.0.1", port + 1))
            return port
        except OSError:
            continue
    raise RuntimeError("no two consecutive free ports")


class VirtualCard:
    """tools/vcard/vcard.py driven through its standard input."""

    def __init__(self, port, uid="04A1B2C3", block=None, key="3C5A7E91B4D2", atr=None,
                 faults=(), verbose=False):
        args = [PYTHON, VCARD, "--port", str(port), "--uid", uid, "--key", key]
        if block is not None:
            args += ["--block", block]
        if atr is not None:
            args += ["--atr", atr]
        for fault in faults:
            args += ["--fault", fault]
        if verbose:
            args.append("-v")
        self.port = port
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     text=True, bufsize=1, preexec_fn=_die_with_parent)

    def command(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        reply = self.proc.stdout.readline().strip()
        if not reply.startswith("ok"):
            raise RuntimeError("vcard: %s -> %s" % (line, reply or "no answer"))
        return reply

    def on(self):
        self.command("on")

    def off(self):
        self.command("off")

    def set(self, uid=None, block=None, key=None):
        for name, value in (("uid", uid), ("block", block), ("key", key)):
            if value is not None:
                self.command("%s %s" % (name, value))

    def fault(self, rule):
        self.command("fault " + rule)

    def status(self):
        words = self.command("status").split()[2:]
        status = {}
        for word in words:
            name, _, value = word.partition("=")
            if name in ("apdus", "trace"):
                status[name] = [a for a in value.split(",") if a]
            else:
                status[name] = int(value)
        return status

    def close(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write("quit\n")
                self.proc.stdin.flush()
                self.proc.wait(timeout=5)
            except (OSError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()
        for pipe in (self.proc.stdin, self.proc.stdout):
            try:
                pipe.close()
            except OSError:
                pass


class PcscEnv:
    def __init__(self, with_reader=True):
        self.with_reader = with_reader
        self.dir = None
        self.port = None
        self.proc = None
        self.cards = []
        self.log_path = None
        self._log = None

    # ---- life cycle ----

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def start(self):
        self.dir = tempfile.mkdtemp(prefix="pcscenv-")
        self.run_dir = os.path.join(self.dir, "run")
        self.conf_dir = os.path.join(self.dir, "reader.conf.d")
        os.makedirs(self.run_dir)
        os.makedirs(self.conf_dir)
        self.socket_path = os.path.join(self.run_dir, "pcscd.comm")
        self.log_path = os.path.join(self.dir, "pcscd.log")
        if self.with_reader:
            self.port = _free_port_pair()
            with open(os.path.join(self.conf_dir, "vpcd"), "w") as conf:
                conf.write('FRIENDLYNAME "Virtual PCD"\n'
                           "DEVICENAME   /dev/null:0x%X\n"
                           "LIBPATH      %s\n"
                           "CHANNELID    0x%X\n" % (self.port, VPCD_DRIVER, self.port))
        atexit.register(self.close)
        self.start_pcscd()
        return self

    def close(self):
        for card in self.cards:
            card.close()
        self.cards = []
        self.stop_pcscd()
        if self._log:
            self._log.close()
            self._log = None
        if self.dir:
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None

    # ---- pcscd ----

    def start_pcscd(self, timeout=10):
        if self.pcscd_running():
            return
        self._remove_stale_files()
        os.makedirs("/run/pcscd", exist_ok=True)
        if self._log is None:
            self._log = open(self.log_path, "a")
        script = 'mount --bind "$1" /run/pcscd && exec pcscd --foreground --debug -c "$2"'
        self.proc = subprocess.Popen(
            ["unshare", "--mount", "--propagation", "private", "--", "sh", "-c", script, "sh",
             self.run_dir, self.conf_dir],
            stdout=self._log, stderr=subprocess.STDOUT, preexec_fn=_die_with_parent)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError("pcscd ended at start; see " + self._log_tail())
            if os.path.exists(self.socket_path) and self._answers():
                return
            time.sleep(0.05)
        raise RuntimeError("pcscd did not come up; " + self._log_tail())

    def stop_pcscd(self, kill=False):
        if self.proc is None:
            return
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGKILL if kill else signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None
        self._remove_stale_files()

    def restart_pcscd(self, kill=False):
        self.stop_pcscd(kill=kill)
        self.start_pcscd()

    def pcscd_running(self):
        return self.proc is not None and self.proc.poll() is None

    def _remove_stale_files(self):
        if self.dir:
            for name in ("pcscd.comm", "pcscd.pid"):
                try:
                    os.unlink(os.path.join(self.run_dir, name))
                except FileNotFoundError:
                    pass

    def _log_tail(self):
        try:
            with open(self.log_path) as log:
                return "pcscd log:\n" + "".join(log.readlines()[-20:])
        except OSError:
            return "no pcscd log"

    # ---- clients ----

    def env(self, base=None):
        env = dict(os.environ if base is None else base)
        env["PCSCLITE_CSOCK_NAME"] = self.socket_path
        return env

    def reader_names(self):
        return ["Virtual PCD 00 00", "Virtual PCD 00 01"] if self.with_reader else []

    def _query(self):
        out = subprocess.run([PYTHON, "-c", _LIST_READERS], env=self.env(), capture_output=True,
                             text=True, timeout=10)
        try:
            return json.loads(out.stdout)
        except ValueError:
            return {"error": -1, "names": []}

    def _answers(self):
        return self._query().get("error") == 0

    def list_readers(self):
        return self._query().get("names", [])

    def wait_readers(self, names, timeout=10):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.list_readers() == list(names):
                return
            time.sleep(0.1)
        raise AssertionError("readers %r not listed; have %r" % (names, self.list_readers()))

    # ---- cards ----

    def card(self, slot=0, uid="04A1B2C3", block=None, key="3C5A7E91B4D2", atr=None, faults=(),
             verbose=False):
        if not self.with_reader:
            raise RuntimeError("this pcscd has no virtual reader")
        card = VirtualCard(self.port + slot, uid=uid, block=block, key=key, atr=atr,
                           faults=faults, verbose=verbose)
        self.cards.append(card)
        return card


if __name__ == "__main__":
    # A quick look: start, list, lay a card on and off, stop.
    with PcscEnv() as pcsc:
        print("socket", pcsc.socket_path, "port", pcsc.port, file=sys.stderr)
        pcsc.wait_readers(pcsc.reader_names())
        card = pcsc.card(0)
        card.on()
        time.sleep(1)
        card.off()
        print("readers", pcsc.list_readers(), "card", card.status(), file=sys.stderr)
