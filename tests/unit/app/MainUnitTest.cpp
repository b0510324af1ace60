#include "app/MainUnit.h"

#include <gtest/gtest.h>

#include <ctime>
#include <memory>
#include <regex>

#include "app/LogLine.h"
#include "base/MainLoop.h"
#include "net/IdSocket.h"
#include "pcsc/FakePcscControl.h"
#include "ws/WsPeer.h"

using namespace std::chrono_literals;

namespace {

class TRecordingView : public app::IMainView {
 public:
  void SetStatusText(const std::string& text) override { Statuses.push_back(text); }
  void AppendLogLine(const std::string& line) override { Lines.push_back(line); }
  void DeleteFirstLogLines(std::size_t count) override {
    Lines.erase(Lines.begin(), Lines.begin() + static_cast<std::ptrdiff_t>(count));
  }
  void ShowErrorBox(const std::string& text) override { Errors.push_back(text); }

  std::vector<std::string> Statuses;
  std::vector<std::string> Lines;
  std::vector<std::string> Errors;
};

const std::string kBlock = "00112233445566778899AABBCCDDEEFF";

std::string WithoutStamp(const std::string& line) {
  return line.substr(21);
}

// ---- the log ----------------------------------------------------------------------------

TEST(LogLine, PrefixIsDayMonthAndTimeWithMilliseconds) {
  std::tm local{};
  local.tm_year = 2026 - 1900;
  local.tm_mon = 11;
  local.tm_mday = 9;
  local.tm_hour = 1;
  local.tm_min = 18;
  local.tm_sec = 5;
  local.tm_isdst = -1;
  const auto when = std::chrono::system_clock::from_time_t(std::mktime(&local)) + 123ms;
  EXPECT_EQ(app::LogTimePrefix(when), "[09.12 01:18:05.123] ");
  EXPECT_EQ(app::LogTimePrefix(std::chrono::system_clock::from_time_t(std::mktime(&local))),
            "[09.12 01:18:05.000] ");
}

TEST(LogMessage, StampsEveryLineAndTrimsTo900OncePast1000) {
  base::TMainLoop loop;
  TRecordingView view;
  app::TMainForm form(loop, view);
  form.LogMessage("первая");
  EXPECT_TRUE(std::regex_match(view.Lines.back(),
                               std::regex(R"(\[\d\d\.\d\d \d\d:\d\d:\d\d\.\d{3}\] первая)")));
  for (int i = 2; i <= 1000; ++i) form.LogMessage("line " + std::to_string(i));
  EXPECT_EQ(form.LogLines().size(), 1000u);
  form.LogMessage("line 1001");
  EXPECT_EQ(form.LogLines().size(), 1001u);
  form.LogMessage("line 1002");
  EXPECT_EQ(form.LogLines().size(), 901u);
  EXPECT_EQ(WithoutStamp(form.LogLines().front()), "line 102");
  EXPECT_EQ(WithoutStamp(form.LogLines().back()), "line 1002");
  EXPECT_EQ(view.Lines.size(), 901u) << "the view is trimmed with the log";
  EXPECT_EQ(view.Lines.front(), form.LogLines().front());
}

// ---- the running service against the fake PC/SC library --------------------------------

class ServiceTest : public testing::Test {
 protected:
  void SetUp() override { fake.AddReader("R1"); }
  void TearDown() override {
    if (form) form->FormDestroy();
  }

  void Start() {
    form = std::make_unique<app::TMainForm>(loop, view);
    form->SetServerPort(0);
    form->SetPCSCLibrary(fake.Library());
    form->FormCreate();
  }

  std::unique_ptr<testpeer::TWsPeer> Connect() {
    auto peer = std::make_unique<testpeer::TWsPeer>("127.0.0.1", form->Server()->BoundPort());
    EXPECT_NE(peer->Upgrade().find(" 101 "), std::string::npos);
    return peer;
  }

  // The next text message from the server, skipping pings; empty when none came.
  static std::string NextText(testpeer::TWsPeer& peer, int milliseconds = 3000) {
    for (;;) {
      auto frame = peer.ReadFrame(milliseconds);
      if (!frame.Valid) return "";
      if (frame.Opcode() == 0x1) return frame.Payload;
    }
  }

  bool HasLog(const std::string& text) const {
    for (const auto& line : view.Lines)
      if (WithoutStamp(line) == text) return true;
    return false;
  }
  bool WaitForLog(const std::string& text, std::chrono::milliseconds timeout = 5s) {
    return loop.RunUntil([&] { return HasLog(text); }, timeout);
  }
  bool WaitForLogStart(const std::string& prefix, std::chrono::milliseconds timeout = 5s) {
    return loop.RunUntil(
        [&] {
          for (const auto& line : view.Lines)
            if (WithoutStamp(line).rfind(prefix, 0) == 0) return true;
          return false;
        },
        timeout);
  }

  base::TMainLoop loop;
  TRecordingView view;
  pcsctest::TFakePcsc fake;
  std::unique_ptr<app::TMainForm> form;
};

TEST_F(ServiceTest, StartsServerAndManagerAndAnnouncesReaders) {
  Start();
  EXPECT_EQ(WithoutStamp(view.Lines.front()), "Сетевая служба успешно запущена, порт 0")
      << "the port is logged as set";
  EXPECT_TRUE(HasLog("Инициализация API смарт-карт прошла успешно"));
  auto client = Connect();
  ASSERT_TRUE(WaitForLog("Подключен считыватель: R1"));
  EXPECT_EQ(form->StatusText(), "Подключен считыватель: R1");
  EXPECT_EQ(form->ReaderAttached(), 1);
  EXPECT_EQ(NextText(*client), "ATTACH:R1");
}

TEST_F(ServiceTest, StatusCommandTable) {
  fake.RemoveReader("R1");
  Start();
  auto client = Connect();
  struct Case {
    std::string text;
    std::string command;  // what the log names
    bool answered;
  } cases[] = {
      {"STATUS", "STATUS", true},      {"STATUS please now", "STATUS", true},
      {"status", "status", false},     {" STATUS", "", false},
      {"STATUS\n", "STATUS\n", false}, {"", "", false},
      {"STATUS:", "STATUS:", false},
  };
  for (const auto& c : cases) {
    view.Lines.clear();
    client->SendText(c.text);
    if (c.answered) {
      EXPECT_EQ(NextText(*client), "STATUS:0") << c.text;
      EXPECT_TRUE(WaitForLog("<< STATUS:0")) << c.text;
    } else {
      // Every message is followed by one empty ping; a reply would come before it.
      auto frame = client->ReadFrame();
      EXPECT_EQ(frame.Opcode(), 0x9) << c.text;
      EXPECT_EQ(frame.Payload, "") << c.text;
    }
    EXPECT_TRUE(WaitForLog("Запрос: " + c.command)) << c.text;
    EXPECT_EQ(HasLog("<< STATUS:0"), c.answered) << c.text;
  }
}

TEST_F(ServiceTest, ReaderAttachedFollowsTheLastAcceptedEvent) {
  fake.AddReader("R2");
  fake.AddReader("ACS DIRECT 0");
  Start();
  auto client = Connect();
  ASSERT_TRUE(WaitForLog("Подключен считыватель: R2"));
  EXPECT_EQ(form->ReaderAttached(), 1);
  fake.RemoveReader("R1");
  ASSERT_TRUE(WaitForLog("Отключен считыватель: R1"));
  EXPECT_EQ(form->ReaderAttached(), 0) << "one detach clears it even with R2 still there";
  client->SendText("STATUS");
  std::vector<std::string> texts;
  for (std::string t; !(t = NextText(*client, 1000)).empty();) texts.push_back(t);
  EXPECT_EQ(texts, (std::vector<std::string>{"ATTACH:R1", "ATTACH:R2", "DETACH:R1", "STATUS:0"}));
  for (const auto& line : view.Lines)
    EXPECT_EQ(line.find("DIRECT"), std::string::npos) << "a DIRECT reader is never mentioned";
}

struct TCardCase {
  const char* name;
  std::string uidAnswer, keyAnswer, authAnswer, readAnswer;
  std::string log;        // the log line, or its start when it ends with "*"
  std::string broadcast;  // the one message clients get
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const TCardCase& c, std::ostream* out) { *out << c.name; }

class CardReadTest : public ServiceTest, public testing::WithParamInterface<TCardCase> {};

TEST_P(CardReadTest, EachOutcomeLogsOnceAndBroadcastsOnce) {
  const TCardCase& c = GetParam();
  fake.SetApdu("R1", "FFCA000000", c.uidAnswer);
  fake.SetApdu("R1", "FF822000063C5A7E91B4D2", c.keyAnswer);
  fake.SetApdu("R1",
               "FF860000050100"
               "3C6000",
               c.authAnswer);
  fake.SetApdu("R1", "FFB0003C10", c.readAnswer);
  Start();
  auto client = Connect();
  ASSERT_TRUE(WaitForLog("Подключен считыватель: R1"));
  EXPECT_EQ(NextText(*client), "ATTACH:R1");
  fake.ClearLog();
  fake.InsertCard("R1", "3B 8F 80 01 80 4F 0C A0 00 00 03 06 03 00 01 00 00 00 00 6A");
  const bool prefix = c.log.back() == '*';
  ASSERT_TRUE(prefix ? WaitForLogStart(c.log.substr(0, c.log.size() - 1)) : WaitForLog(c.log))
      << c.log;
  EXPECT_EQ(NextText(*client), c.broadcast);
  EXPECT_EQ(NextText(*client, 300), "") << "exactly one broadcast per read";
  EXPECT_EQ(fake.Calls("SCardConnect"), std::vector<std::string>{"SCardConnect R1 2 3"});
  EXPECT_EQ(fake.Calls("SCardDisconnect"), std::vector<std::string>{"SCardDisconnect 2"})
      << "the card is powered down on every path";
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, CardReadTest,
    testing::Values(
        TCardCase{"Success", "04A10B7C9000", "9000", "9000", kBlock + "9000",
                  "Карта успешно прочитана, RFID 04A10B7C, номер " + kBlock,
                  "CARD:04A10B7C:" + kBlock},
        TCardCase{"SevenByteUid",
                  "04112233445566"
                  "9000",
                  "9000", "9000", kBlock + "9000",
                  "Карта успешно прочитана, RFID 04112233445566, номер " + kBlock,
                  "CARD:04112233445566:" + kBlock},
        TCardCase{"UidRefused", "6A82", "9000", "9000", kBlock + "9000",
                  "Не удалось прочитать идентификационные данные из карты (Wrong parameter. File "
                  "not found.)",
                  "ERROR:Не удалось прочитать идентификацию карты"},
        TCardCase{"ShortAnswer", "90", "9000", "9000", kBlock + "9000",
                  "Не удалось прочитать идентификационные данные из карты (Неизвестный код "
                  "ошибки #0.)",
                  "ERROR:Не удалось прочитать идентификацию карты"},
        TCardCase{"ThreeByteUid", "0102039000", "9000", "9000", kBlock + "9000",
                  "Карта имеет формат, отличный от ожидаемого", "ERROR:Не тот формат карты"},
        TCardCase{"TenByteUid",
                  "01020304050607080910"
                  "9000",
                  "9000", "9000", kBlock + "9000", "Карта имеет формат, отличный от ожидаемого",
                  "ERROR:Не тот формат карты"},
        TCardCase{"KeyLoadRefused", "04A10B7C9000", "6986", "9000", kBlock + "9000",
                  "Не удалось загрузить аутентификационные данные (Команда недоступна. Запись "
                  "ключа в оперативную память не поддерживается)",
                  "ERROR:Проблема при авторизации карты (фаза 1)"},
        TCardCase{"WrongKey", "04A10B7C9000", "9000", "6300", kBlock + "9000",
                  "Не удалось авторизовать ключ (State of non-volatile memory changed.)",
                  "ERROR:Проблема при авторизации карты (фаза 2)"},
        TCardCase{"ReadRefused", "04A10B7C9000", "9000", "9000", "6982",
                  "Не удалось прочитать бинарные данные из карты (Команда недоступна. Ошибка "
                  "чтения/записи или запись ключа не поддерживается)",
                  "ERROR:Не удалось прочитать данные карты"},
        TCardCase{"ShortBlock", "04A10B7C9000", "9000", "9000", "010203049000",
                  "Данные карты прочитаны, но размер данных (4) не соответствует требуемому",
                  "ERROR:Ошибочный размер блока данных карты"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ServiceTest, ConnectRefusedGivesOneErrorAndNothingToRelease) {
  Start();
  auto client = Connect();
  ASSERT_TRUE(WaitForLog("Подключен считыватель: R1"));
  EXPECT_EQ(NextText(*client), "ATTACH:R1");
  fake.Inject("SCardConnect", 0x8010000B, -1);  // held exclusively elsewhere
  fake.ClearLog();
  fake.InsertCard("R1", "3B 8F 80 01");
  ASSERT_TRUE(WaitForLog("Не удалось установить соединение с картой"));
  EXPECT_EQ(NextText(*client), "ERROR:Не удалось открыть сессию обмена с картой");
  EXPECT_TRUE(fake.Calls("SCardDisconnect").empty());
}

TEST_F(ServiceTest, APcscFailureDuringTheExchangeIsLoggedWithItsText) {
  fake.SetApdu("R1", "", "9000");
  Start();
  auto client = Connect();
  ASSERT_TRUE(WaitForLog("Подключен считыватель: R1"));
  EXPECT_EQ(NextText(*client), "ATTACH:R1");
  fake.Inject("SCardTransmit", 0x80100069, 1);  // the card left the reader
  fake.ClearLog();
  fake.InsertCard("R1", "3B 8F 80 01");
  ASSERT_TRUE(WaitForLog(
      "Не удалось прочитать идентификационные данные из карты (The smart card has been removed, "
      "so further communication is not possible.)"));
  EXPECT_EQ(NextText(*client), "ERROR:Не удалось прочитать идентификацию карты");
  EXPECT_EQ(fake.Calls("SCardTransmit").size(), 1u) << "nothing is sent after a failure";
  EXPECT_EQ(fake.Calls("SCardDisconnect"), std::vector<std::string>{"SCardDisconnect 2"});
}

TEST_F(ServiceTest, CardGoneBeforeTheTimerGivesLostWithoutConnect) {
  Start();
  auto client = Connect();
  ASSERT_TRUE(WaitForLog("Подключен считыватель: R1"));
  EXPECT_EQ(NextText(*client), "ATTACH:R1");
  fake.ClearLog();
  // The read runs for the reader named by the last card-inserted event; this one is unknown.
  form->PCSCCardInserted(nullptr, "R9", {});
  ASSERT_TRUE(WaitForLog("Карта не найдена или соединение потеряно"));
  EXPECT_EQ(NextText(*client), "ERROR:Связь с картой потерялась");
  EXPECT_TRUE(fake.Calls("SCardConnect").empty());
}

TEST_F(ServiceTest, RawProtocolIsReadWithT1) {
  fake.SetProtocol("R1", pcsc::SCARD_PROTOCOL_RAW);
  fake.SetApdu("R1", "", "9000");
  fake.SetApdu("R1", "FFCA000000", "04A10B7C9000");
  fake.SetApdu("R1", "FFB0003C10", kBlock + "9000");
  Start();
  ASSERT_TRUE(WaitForLog("Подключен считыватель: R1"));
  fake.ClearLog();
  fake.InsertCard("R1", "3B 8F 80 01");
  ASSERT_TRUE(WaitForLogStart("Карта успешно прочитана"));
  const auto sent = fake.Calls("SCardTransmit");
  ASSERT_EQ(sent.size(), 4u);
  for (const auto& line : sent) EXPECT_EQ(line.rfind("SCardTransmit 2 ", 0), 0u) << line;
}

TEST_F(ServiceTest, CardsOnDirectReadersAreNotRead) {
  fake.AddReader("X DIRECT");
  Start();
  ASSERT_TRUE(WaitForLog("Подключен считыватель: R1"));
  fake.ClearLog();
  fake.InsertCard("X DIRECT", "3B 8F 80 01");
  loop.RunFor(400ms);
  EXPECT_TRUE(fake.Calls("SCardConnect").empty());
}

TEST_F(ServiceTest, TwoInsertsBeforeTheTimerReadOnlyTheSecondReader) {
  fake.AddReader("R2");
  Start();
  ASSERT_TRUE(WaitForLog("Подключен считыватель: R2"));
  fake.ClearLog();
  form->PCSCCardInserted(nullptr, "R1", {});
  form->PCSCCardInserted(nullptr, "R2", {});
  ASSERT_TRUE(WaitForLog("Карта не найдена или соединение потеряно"));
  EXPECT_TRUE(fake.Calls("SCardConnect").empty()) << "R2 has no card, R1 is not tried";
}

TEST_F(ServiceTest, PortInUseIsLoggedAndReadersStillReported) {
  net::TIdSocket blocker = net::TIdSocket::Listen(false, 0, 15);
  form = std::make_unique<app::TMainForm>(loop, view);
  form->SetServerPort(blocker.LocalPort());
  form->SetPCSCLibrary(fake.Library());
  form->FormCreate();
  ASSERT_TRUE(WaitForLogStart("Ошибка создания сетевой службы, "));
  EXPECT_GT(WithoutStamp(view.Lines.front()).size(),
            std::string("Ошибка создания сетевой службы, ").size());
  EXPECT_TRUE(WaitForLog("Подключен считыватель: R1"));
}

}  // namespace
