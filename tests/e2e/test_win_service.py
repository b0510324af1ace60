"""card-service.exe under Wine, on a virtual X display, with the scripted fake winscard.dll:
a WebSocket client sees readers and cards (reader names cross winscard's wide-character
functions), and the window lives in the tray: hidden after start, "Развернуть" shows it with
the status line and the log (a screenshot is saved), "Выйти" ends the program with exit code 0.

Runs in a network namespace of its own (tests/e2e/run-in-netns.sh); the wineserver, Xvfb and
the service all live in it, because Wine creates sockets in the wineserver process. Skipped in
a build without card-service.exe (the Linux build).
"""
import asyncio
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time

import websockets

BUILD = os.environ.get("CARD_SERVICE_BUILD", "")
EXE = os.path.join(BUILD, "src", "app", "card-service.exe")
FAKE = os.path.join(BUILD, "tests", "e2e", "win", "winscard.dll")
CAPTION = "Сервис считывателя карт школьника"
READER = "Считыватель ACR122U ✓ 0"  # non-ASCII on purpose: the W functions carry UTF-16
UID = "04A10B7C"
BLOCK = "00112233445566778899AABBCCDDEEFF"
KEY = "3C5A7E91B4D2"
GET_UID, LOAD_KEY, AUTH, READ = ("FFCA000000", "FF82200006" + KEY, "FF86000005" + "01003C6000",
                                 "FFB0003C10")


def log(text):
    print(f"[{time.strftime('%H:%M:%S')}] {text}", flush=True)


def wait_for(what, predicate, timeout):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        result = predicate()
        if result:
            return result
        time.sleep(0.2)
    raise AssertionError(f"timed out waiting for {what}")


def pe_is_32bit(path):
    with open(path, "rb") as f:
        data = f.read(4096)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    return struct.unpack_from("<H", data, pe + 4)[0] == 0x14C


def x(*args, check=True):
    out = subprocess.run(args, capture_output=True, text=True, env=ENV)
    if check and out.returncode != 0:
        raise AssertionError(f"{args} failed: {out.stderr}")
    return out.stdout


def windows(name=None, visible=False):
    args = ["xdotool", "search"] + (["--onlyvisible"] if visible else [])
    args += ["--name", f"^{name}$"] if name is not None else ["--name", ".*"]
    return x(*args, check=False).split()


def geometry(wid):
    info = {}
    for line in x("xwininfo", "-id", wid).splitlines():
        key, _, value = line.strip().partition(":")
        info[key] = value.strip()
    return (int(info["Absolute upper-left X"]), int(info["Absolute upper-left Y"]),
            int(info["Width"]), int(info["Height"]))


def screenshot():
    """The root window as rows of (r, g, b), read from a PPM written by ImageMagick."""
    data = subprocess.run(["import", "-window", "root", "-depth", "8", "ppm:-"],
                          capture_output=True, env=ENV, check=True).stdout
    fields, pos = [], 0
    while len(fields) < 4:  # P6 width height maxval, blank-separated
        while data[pos:pos + 1].isspace():
            pos += 1
        start = pos
        while not data[pos:pos + 1].isspace():
            pos += 1
        fields.append(data[start:pos])
    width, height = int(fields[1]), int(fields[2])
    pixels = data[pos + 1:]
    return lambda px, py: tuple(pixels[(py * width + px) * 3:(py * width + px) * 3 + 3])


def popup_menu():
    """The visible tray menu: an unnamed window of menu size."""
    for wid in windows("", visible=True):
        left, top, width, height = geometry(wid)
        if 40 < width < 400 and 30 < height < 200:
            return left, top, width, height
    return None


def right_click_tray():
    tray = windows("Wine System Tray", visible=True)
    assert tray, "no Wine System Tray window"
    x("xdotool", "windowraise", tray[0])  # the shown window may lie over it (no WM here)
    left, top, _, height = geometry(tray[0])
    x("xdotool", "mousemove", str(left + 10), str(top + height // 2), "click", "3")
    return wait_for("the tray menu", popup_menu, 20)


class Script:
    """Commands for the fake winscard.dll, followed by it from a file."""

    def __init__(self, path):
        self.path = path
        open(path, "w").close()

    def __call__(self, *fields):
        with open(self.path, "a", encoding="utf-8") as f:
            f.write("\t".join(fields) + "\n")

    def card(self, read_answer):
        self("set_apdu", READER, GET_UID, UID + "9000")
        self("set_apdu", READER, LOAD_KEY, "9000")
        self("set_apdu", READER, AUTH, "9000")
        self("set_apdu", READER, READ, read_answer)
        self("insert_card", READER, "3B8F8001804F0CA000000306030001000000006A")


async def recv_text(ws, timeout=30):
    while True:
        message = await asyncio.wait_for(ws.recv(), timeout)
        if isinstance(message, str):
            return message


async def client_session(script):
    async with websockets.connect("ws://127.0.0.1:8085/") as ws:
        await ws.send("STATUS")
        assert await recv_text(ws) == "STATUS:0"
        script("add_reader", READER)
        assert await recv_text(ws) == "ATTACH:" + READER
        await ws.send("STATUS please")
        assert await recv_text(ws) == "STATUS:1"
        log("reader attached")

        script.card(BLOCK + "9000")
        assert await recv_text(ws) == f"CARD:{UID}:{BLOCK}"
        log("card read")
        script("remove_card", READER)
        await asyncio.sleep(1.5)  # a few monitor passes: the next card is a new one

        # A block of the wrong size: the card is still released.
        script.card("00112233" + "9000")
        assert await recv_text(ws) == "ERROR:Ошибочный размер блока данных карты"
        script("remove_card", READER)

        script("remove_reader", READER)
        assert await recv_text(ws) == "DETACH:" + READER
        await ws.send("STATUS")
        assert await recv_text(ws) == "STATUS:0"
        log("reader detached")


def fake_log(script, work):
    path = os.path.join(work, "pcsc.log")
    script("dump_log", windows_path(path))
    wait_for("the fake's call log", lambda: os.path.exists(path), 10)
    with open(path, encoding="utf-8") as f:
        return f.read().splitlines()


def port_open():
    try:
        socket.create_connection(("127.0.0.1", 8085), timeout=1).close()
        return True
    except OSError:
        return False


# What Windows itself provides; a runtime DLL of the compiler here would break the one-file
# deployment.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "shell32.dll", "ws2_32.dll",
               "msvcrt.dll", "advapi32.dll", "ole32.dll", "comctl32.dll"}


def check_artefact():
    """One GUI exe that imports only Windows' own DLLs, with its icon and version."""
    target = "i686" if pe_is_32bit(EXE) else "x86_64"
    tool = shutil.which(f"{target}-w64-mingw32-objdump") or "objdump"
    headers = subprocess.run([tool, "-p", EXE], capture_output=True, text=True,
                             check=True).stdout
    imports = {line.split(":", 1)[1].strip().lower() for line in headers.splitlines()
               if "DLL Name:" in line}
    assert imports and imports <= SYSTEM_DLLS, imports
    assert "(Windows GUI)" in headers, "not a GUI program"
    resources = subprocess.run([tool, "-s", "-j", ".rsrc", EXE], capture_output=True,
                               text=True).stdout
    assert ".rsrc" in resources, "no resources"
    with open(EXE, "rb") as f:
        data = f.read()
    assert "card-service.exe".encode("utf-16-le") in data, "no version resource"
    log(f"{os.path.basename(EXE)}: {'PE32 i386' if pe_is_32bit(EXE) else 'PE32+ x86-64'}, "
        f"GUI, imports {sorted(imports)}")


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def main():
    if not os.path.isfile(EXE):
        print("skipped: no card-service.exe in this build")
        return 0
    global ENV
    check_artefact()
    work = tempfile.mkdtemp(prefix="card-service-win-")
    # A prefix of its own: the wineserver of the unit tests' prefix lives outside this network
    # namespace, and a program joining it would get its sockets there.
    prefix = os.path.join(BUILD, "wineprefix-e2e")
    ENV = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all",
               WINEARCH="win32" if pe_is_32bit(EXE) else "win64",
               WINEDLLOVERRIDES="winscard=n;mscoree,mshtml=")
    shutil.copy(EXE, work)
    shutil.copy(FAKE, work)
    script = Script(os.path.join(work, "script.txt"))
    ENV["FAKE_PCSC_SCRIPT"] = windows_path(script.path)
    artifacts = os.path.join(BUILD, "artifacts")
    os.makedirs(artifacts, exist_ok=True)
    failure_shot = os.path.join(artifacts, f"win-failure-{ENV['WINEARCH']}.png")
    if os.path.exists(failure_shot):
        os.remove(failure_shot)

    read_fd, write_fd = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1024x768x24",
                             "-nolisten", "tcp"], pass_fds=[write_fd], stderr=subprocess.DEVNULL)
    os.close(write_fd)
    with os.fdopen(read_fd) as f:
        ENV["DISPLAY"] = ":" + f.readline().strip()
    service = None
    try:
        if not os.path.isfile(os.path.join(prefix, "system.reg")):
            log(f"creating the Wine prefix {prefix}")
            subprocess.run(["wineboot", "-i"], env=ENV, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        subprocess.run(["wineserver", "-w"], env=ENV, timeout=60)  # a leftover from elsewhere
        subprocess.run(["wineserver", "-p"], env=ENV, check=True)
        subprocess.run(["wineboot"], env=ENV, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(os.path.join(work, "service.out"), "w") as out:
            service = subprocess.Popen(["wine", os.path.join(work, "card-service.exe")], cwd=work,
                                       env=ENV, stdin=subprocess.DEVNULL, stdout=out, stderr=out)
        log(f"started card-service.exe under Wine ({ENV['WINEARCH']}, DISPLAY {ENV['DISPLAY']})")

        # Start-up leaves only the tray icon.
        wait_for("the tray icon", lambda: windows("Wine System Tray", visible=True), 60)
        wait_for("the main window", lambda: windows(CAPTION), 60)
        wait_for("port 8085", port_open, 60)
        hidden_since = [None]

        def hidden_for_a_while():
            if windows(CAPTION, visible=True):
                hidden_since[0] = None
            elif hidden_since[0] is None:
                hidden_since[0] = time.monotonic()
            return hidden_since[0] is not None and time.monotonic() - hidden_since[0] > 3

        wait_for("the window to stay hidden", hidden_for_a_while, 60)
        log("window hidden, tray icon shown")

        asyncio.run(client_session(script))
        calls = fake_log(script, work)
        # Both reads connected shared and released the card with unpower.
        shared = [i for i, c in enumerate(calls) if c.startswith(f"SCardConnect {READER} 2 ")]
        assert len(shared) == 2, calls
        for i in shared:
            release = next(c for c in calls[i:] if c.startswith("SCardDisconnect"))
            assert release == "SCardDisconnect 2", calls[i:]

        # "Развернуть" shows the window with the status line and the log.
        left, top, width, _ = right_click_tray()
        x("xdotool", "mousemove", str(left + width // 3), str(top + 10), "click", "1")
        main_window = wait_for("the window shown", lambda: windows(CAPTION, visible=True), 20)
        time.sleep(1)
        shot = os.path.join(artifacts, f"win-window-{ENV['WINEARCH']}.png")
        subprocess.run(["import", "-window", "root", shot], env=ENV, check=True)
        log(f"screenshot: {shot}")
        wl, wt, ww, wh = geometry(main_window[0])
        assert (ww, wh) == (514, 354), (ww, wh)
        pixel = screenshot()
        panel = pixel(wl + 2, wt + 2)
        log_background = pixel(wl + ww - 40, wt + wh - 20)
        assert log_background == (255, 255, 255), log_background
        assert panel != log_background, panel
        # Text in the status line and in the log: dark pixels on their backgrounds.
        assert any(sum(pixel(px, wt + 20)) < 200 for px in range(wl, wl + ww)), "empty status"
        assert any(sum(pixel(px, wt + 50)) < 200 for px in range(wl, wl + ww)), "empty log"

        # "Выйти" ends the program.
        left, top, width, height = right_click_tray()
        x("xdotool", "mousemove", str(left + width // 3), str(top + height - 10), "click", "1")
        code = service.wait(timeout=60)
        assert code == 0, f"exit code {code}"
        service = None
        log("exited with code 0")
        return 0
    finally:
        if service is not None:
            subprocess.run(["import", "-window", "root", failure_shot], env=ENV)
            service.kill()
            with open(os.path.join(work, "service.out")) as f:
                sys.stdout.write(f.read())
        subprocess.run(["wineserver", "-k"], env=ENV)
        xvfb.terminate()
        xvfb.wait()
        shutil.rmtree(work, ignore_errors=True)


ENV = dict(os.environ)

if __name__ == "__main__":
    sys.exit(main())
