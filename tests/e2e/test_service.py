"""The built card-service against a real pcscd with the vpcd virtual readers and our virtual
card, and python3-websockets clients: readers announced, STATUS, card reads and every error
outcome, pcscd restarted, the port already taken, SIGTERM with clients connected."""
import asyncio
import os
import socket
import sys
import time
import unittest

import websockets

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pcscenv  # noqa: E402
from service import Client, Service, wait_port  # noqa: E402

R0, R1 = "Virtual PCD 00 00", "Virtual PCD 00 01"
BLOCK = "00112233445566778899AABBCCDDEEFF"


def run(coroutine, timeout=60):
    return asyncio.run(asyncio.wait_for(coroutine, timeout))


class ServiceCase(unittest.TestCase):
    with_reader = True

    def setUp(self):
        self.pcsc = pcscenv.PcscEnv(with_reader=self.with_reader)
        self.pcsc.start()
        self.addCleanup(self.pcsc.close)
        self.svc = None

    def start_service(self):
        self.svc = Service(self.pcsc.env())
        self.addCleanup(self.svc.stop)
        self.assertIsNotNone(self.svc.wait_log("Сетевая служба успешно запущена, порт 8085"),
                             self.svc.lines)
        run(wait_port())

    def tap(self, card):
        """Lays the card on and takes it off again once the service has answered."""
        mark = self.svc.mark()
        card.on()
        outcome = self.svc.wait_log("", timeout=10, after=mark)
        card.off()
        time.sleep(0.6)  # vpcd notices a card gone on its next presence check
        return outcome


class WithReaders(ServiceCase):
    def setUp(self):
        super().setUp()
        self.start_service()
        self.assertIsNotNone(self.svc.wait_log("Подключен считыватель: " + R1), self.svc.lines)

    def test_status_and_a_card_reaches_every_client_once(self):
        card = self.pcsc.card(0, uid="04A10B7C", block=BLOCK)
        self.addCleanup(card.close)

        async def session():
            async with Client() as a, Client() as b:
                await a.send("STATUS")
                self.assertEqual(await a.next_text(), "STATUS:1")
                card.on()
                want = "CARD:04A10B7C:" + BLOCK
                self.assertEqual(await a.drain(1.5), [want])
                self.assertEqual(await b.drain(0.3), [want])
        run(session())
        self.assertEqual(self.svc.count("Карта успешно прочитана, RFID 04A10B7C, номер " + BLOCK), 1)
        self.assertIn("Запрос: STATUS", self.svc.lines)
        self.assertIn("<< STATUS:1", self.svc.lines)
        status = card.status()
        self.assertEqual(status["apdus"][:4],
                         ["FFCA000000", "FF822000063C5A7E91B4D2", "FF860000050100" "3C6000",
                          "FFB0003C10"])
        self.assertGreaterEqual(status["poweroffs"], 1, "the card is powered down after the read")

    def test_every_error_outcome_gives_one_error_line(self):
        card = self.pcsc.card(0, uid="04A10B7C", block=BLOCK)
        self.addCleanup(card.close)
        cases = [
            (dict(key="FFFFFFFFFFFF"), [],
             "Не удалось авторизовать ключ (State of non-volatile memory changed.)",
             "ERROR:Проблема при авторизации карты (фаза 2)"),
            (dict(), ["FF822000=6986"],
             "Не удалось загрузить аутентификационные данные (Команда недоступна. Запись ключа "
             "в оперативную память не поддерживается)",
             "ERROR:Проблема при авторизации карты (фаза 1)"),
            (dict(uid="010203"), [], "Карта имеет формат, отличный от ожидаемого",
             "ERROR:Не тот формат карты"),
            (dict(uid="01020304050607080910"), [], "Карта имеет формат, отличный от ожидаемого",
             "ERROR:Не тот формат карты"),
            (dict(block="01020304"), [],
             "Данные карты прочитаны, но размер данных (4) не соответствует требуемому",
             "ERROR:Ошибочный размер блока данных карты"),
            (dict(), ["FFB0003C10=6982"],
             "Не удалось прочитать бинарные данные из карты (Команда недоступна. Ошибка "
             "чтения/записи или запись ключа не поддерживается)",
             "ERROR:Не удалось прочитать данные карты"),
        ]

        async def session():
            async with Client() as client:
                for settings, faults, log, message in cases:
                    card.command("clear-faults")
                    card.set(**{"uid": "04A10B7C", "block": BLOCK, "key": "3C5A7E91B4D2",
                                **settings})
                    for fault in faults:
                        card.fault(fault)
                    mark = self.svc.mark()
                    card.on()
                    self.assertEqual(await client.drain(1.5), [message], log)
                    self.assertEqual(self.svc.wait_log(log, after=mark, timeout=1), log)
                    card.off()
                    await asyncio.sleep(0.6)
        run(session(), timeout=120)

    def test_card_taken_off_during_the_exchange(self):
        # The card answers the authentication and leaves before the read. Depending on when
        # vpcd notices, the read fails with a PC/SC error or comes back empty (status word 0);
        # either way the reason stands in parentheses and exactly one ERROR line goes out.
        card = self.pcsc.card(0, uid="04A10B7C", block=BLOCK, faults=("FF86000005=9000+off",))
        self.addCleanup(card.close)

        async def session():
            async with Client() as client:
                mark = self.svc.mark()
                card.on()
                self.assertEqual(await client.drain(2), ["ERROR:Не удалось прочитать данные карты"])
                line = self.svc.wait_log("Не удалось прочитать бинарные данные из карты (",
                                         after=mark, timeout=1)
                self.assertIsNotNone(line, self.svc.lines[mark:])
                reason = line[len("Не удалось прочитать бинарные данные из карты ("):-1]
                self.assertTrue(line.endswith(")") and reason, line)
        run(session())

    def test_pcscd_restart_detaches_and_attaches_again(self):
        card = self.pcsc.card(0, uid="04A10B7C", block=BLOCK)
        self.addCleanup(card.close)

        async def texts(client, want, timeout=20):
            got = []
            deadline = time.time() + timeout
            while time.time() < deadline and not all(w in got for w in want):
                text = await client.next_text(1)
                if text:
                    got.append(text)
            return got

        async def session():
            async with Client() as client:
                # Killed: every reader goes away; started again: they come back and cards are
                # read again, without restarting the service.
                self.pcsc.stop_pcscd(kill=True)
                detached = ["DETACH:" + R0, "DETACH:" + R1]
                got = await texts(client, detached)
                self.assertEqual(sorted(got), detached, (got, self.svc.lines[-10:]))
                self.pcsc.start_pcscd()
                attached = ["ATTACH:" + R0, "ATTACH:" + R1]
                got = await texts(client, attached)
                self.assertEqual(sorted(got), attached, (got, self.svc.lines[-10:]))
                card.on()
                self.assertEqual(await client.drain(2), ["CARD:04A10B7C:" + BLOCK])
        run(session())

    def test_sigterm_closes_every_client_with_1000_and_exits_0(self):
        async def session():
            async with Client() as a, Client() as b:
                started = time.time()
                self.svc.proc.send_signal(15)
                for client in (a, b):
                    await asyncio.wait_for(client.ws.wait_closed(), 3)
                    self.assertEqual(client.ws.close_code, 1000)
                return started
        started = run(session())
        self.assertEqual(self.svc.proc.wait(timeout=3), 0)
        self.assertLess(time.time() - started, 3.5)
        self.assertEqual(self.svc.bad_lines, [])


class WithoutReader(ServiceCase):
    with_reader = False

    def test_status_is_zero_without_a_reader(self):
        self.start_service()
        self.assertIsNotNone(self.svc.wait_log("Инициализация API смарт-карт прошла успешно"))

        async def session():
            async with Client() as client:
                await client.send("STATUS")
                self.assertEqual(await client.next_text(), "STATUS:0")
        run(session())


class PcscdLater(ServiceCase):
    def test_no_pcscd_at_start_then_readers_are_picked_up(self):
        self.pcsc.stop_pcscd()
        self.start_service()
        self.assertIsNotNone(self.svc.wait_log("Ошибка при инициализации API смарт-карт"))
        self.assertIn("Статус: Ошибка при инициализации API смарт-карт", self.svc.errors)

        async def session():
            async with Client() as client:
                await client.send("STATUS")
                self.assertEqual(await client.next_text(), "STATUS:0")
                self.pcsc.start_pcscd()
                got = set()
                deadline = time.time() + 20
                while time.time() < deadline and len(got) < 2:
                    text = await client.next_text(1)
                    if text:
                        got.add(text)
                self.assertEqual(got, {"ATTACH:" + R0, "ATTACH:" + R1})
                await client.send("STATUS")
                self.assertEqual(await client.drain(0.5), ["STATUS:1"])
        run(session())


class PortTaken(ServiceCase):
    def test_port_in_use_is_logged_and_readers_still_reported(self):
        blocker = socket.socket()
        blocker.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        blocker.bind(("0.0.0.0", 8085))
        blocker.listen()
        self.addCleanup(blocker.close)
        self.svc = Service(self.pcsc.env())
        self.addCleanup(self.svc.stop)
        line = self.svc.wait_log("Ошибка создания сетевой службы, ")
        self.assertIsNotNone(line, self.svc.lines)
        self.assertGreater(len(line), len("Ошибка создания сетевой службы, "))
        self.assertIsNotNone(self.svc.wait_log("Подключен считыватель: " + R0))
        self.assertEqual(self.svc.stop(), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
