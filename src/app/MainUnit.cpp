#include "app/MainUnit.h"

#include <exception>

#include "app/LogLine.h"
#include "pcsc/MD_PCSCRaw.h"

namespace app {
namespace {

constexpr unsigned kTimerInterval = 10;
constexpr uint32_t kShareShared = 2;  // SCARD_SHARE_SHARED
constexpr uint32_t kUnpowerCard = 2;  // SCARD_UNPOWER_CARD
constexpr uint16_t kStatusOk = 0x9000;
constexpr std::size_t kBlockSize = 16;

// The key loaded into the reader before authenticating block 60 with key A.
const pcsc::TBytes kSectorKey = {0x3C, 0x5A, 0x7E, 0x91, 0xB4, 0xD2};

pcsc::TBytes LoadKeysCommand() {
  pcsc::TBytes command = {0xFF, 0x82, 0x20, 0x00, 0x06};
  command.insert(command.end(), kSectorKey.begin(), kSectorKey.end());
  return command;
}

const pcsc::TBytes kGetUidCommand = {0xFF, 0xCA, 0x00, 0x00, 0x00};
const pcsc::TBytes kLoadKeysCommand = LoadKeysCommand();
const pcsc::TBytes kAuthenticateCommand = {0xFF, 0x86, 0x00, 0x00, 0x05,
                                           0x01, 0x00, 0x3C, 0x60, 0x00};
const pcsc::TBytes kReadBlockCommand = {0xFF, 0xB0, 0x00, 0x3C, 0x10};

bool IsDirectReader(const std::string& readerName) {
  return readerName.find("DIRECT") != std::string::npos;
}

bool CardIsOnReader(pcsc::TCardState state) {
  return state == pcsc::TCardState::csExclusive || state == pcsc::TCardState::csShared ||
         state == pcsc::TCardState::csAvailable;
}

std::string HexWithoutBlanks(const pcsc::TBytes& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    text += kDigits[b >> 4];
    text += kDigits[b & 0x0F];
  }
  return text;
}

// Holds the card connection of one read and always powers the card down at the end, also when
// the broadcast that ends the read fails.
class TCardSession {
 public:
  TCardSession(pcsc::TPCSCReader& reader, bool& inProgress)
      : FReader(reader), FInProgress(inProgress) {
    FInProgress = true;
  }
  ~TCardSession() {
    FReader.Disconnect(kUnpowerCard);
    FInProgress = false;
  }
  TCardSession(const TCardSession&) = delete;
  TCardSession& operator=(const TCardSession&) = delete;

 private:
  pcsc::TPCSCReader& FReader;
  bool& FInProgress;
};

}  // namespace

TMainForm::TMainForm(base::IMainThread& mainThread, IMainView& view)
    : FMainThread(mainThread), FView(view), FPCSCLibrary(pcsc::DefaultPCSCLibraryName()) {
  FEventsTimer = FMainThread.CreateTimer();
  FEventsTimer->SetInterval(kTimerInterval);
  FEventsTimer->SetOnTimer([this] { RunHandler([this] { EventsTimerTimer(); }); });
  FCardTimer = FMainThread.CreateTimer();
  FCardTimer->SetInterval(kTimerInterval);
  FCardTimer->SetOnTimer([this] { RunHandler([this] { CardTimerTimer(); }); });
}

TMainForm::~TMainForm() {
  FormDestroy();
}

void TMainForm::FormCreate() {
  StartServer();
  StartPCSC();
  FEventsTimer->SetEnabled(true);
}

void TMainForm::StartServer() {
  FServer = std::make_unique<ws::TIdWebsocketServer>();
  FServer->SetOnMessageText([this](ws::TIdServerWSContext* context, const std::string& text) {
    ServerMessageText(context, text);
  });
  FServer->SetDefaultPort(FServerPort);
  try {
    FServer->SetActive(true);
    LogMessage("Сетевая служба успешно запущена, порт " + std::to_string(FServer->DefaultPort()));
  } catch (const std::exception& e) {
    LogMessage(std::string("Ошибка создания сетевой службы, ") + e.what());
  }
}

void TMainForm::StartPCSC() {
  FPCSC = std::make_unique<pcsc::TPCSC>(FMainThread, FPCSCLibrary);
  if (FPCSC->Valid()) {
    SetStatus("API смарт-карт активно, ждем обнаружение считывателя");
    LogMessage("Инициализация API смарт-карт прошла успешно");
  } else {
    SetStatus("Ошибка при инициализации API смарт-карт");
    LogMessage("Ошибка при инициализации API смарт-карт");
  }
  FPCSC->SetOnCardInserted([this](void* sender, const std::string& name, const pcsc::TBytes& atr) {
    PCSCCardInserted(sender, name, atr);
  });
  FPCSC->SetOnReaderFound(
      [this](void* sender, const std::string& name) { PCSCReaderFound(sender, name); });
  FPCSC->SetOnReaderRemoved(
      [this](void* sender, const std::string& name) { PCSCReaderRemoved(sender, name); });
  FPCSC->Start();
}

void TMainForm::FormDestroy() {
  if (FEventsTimer) FEventsTimer->SetEnabled(false);
  // The manager's destructor keeps the main thread's hand-offs moving until its monitor
  // thread has ended; the server's closes every connection and joins their threads.
  std::unique_ptr<pcsc::TPCSC> pcsc = std::move(FPCSC);
  pcsc.reset();
  std::unique_ptr<ws::TIdWebsocketServer> server = std::move(FServer);
  server.reset();
}

void TMainForm::LogMessage(const std::string& text) {
  AppendLogLine(LogTimePrefix() + text);
}

void TMainForm::PostLogMessage(const std::string& text) {
  std::string line = LogTimePrefix() + text;
  FMainThread.Post([this, line = std::move(line)] { AppendLogLine(line); });
}

void TMainForm::AppendLogLine(const std::string& line) {
  if (FLogLines.size() > kLogTrimAbove) {
    const std::size_t excess = FLogLines.size() - kLogTrimTo;
    FLogLines.erase(FLogLines.begin(), FLogLines.begin() + static_cast<std::ptrdiff_t>(excess));
    FView.DeleteFirstLogLines(excess);
  }
  FLogLines.push_back(line);
  FView.AppendLogLine(line);
}

void TMainForm::SetStatus(const std::string& text) {
  FStatusText = text;
  FView.SetStatusText(text);
}

void TMainForm::RunHandler(const std::function<void()>& handler) {
  try {
    handler();
  } catch (const std::exception& e) {
    FView.ShowErrorBox(e.what());
  }
}

void TMainForm::EventsTimerTimer() {
  if (FPCSC) FPCSC->ProcessEvent();
}

void TMainForm::PCSCReaderFound(void*, const std::string& readerName) {
  if (IsDirectReader(readerName)) return;
  SetStatus("Подключен считыватель: " + readerName);
  LogMessage("Подключен считыватель: " + readerName);
  FReaderAttached = 1;
  if (FServer) FServer->SendMessageToAll("ATTACH:" + readerName);
}

void TMainForm::PCSCReaderRemoved(void*, const std::string& readerName) {
  if (IsDirectReader(readerName)) return;
  SetStatus("Отключен считыватель: " + readerName);
  LogMessage("Отключен считыватель: " + readerName);
  FReaderAttached = 0;
  if (FServer) FServer->SendMessageToAll("DETACH:" + readerName);
}

void TMainForm::PCSCCardInserted(void*, const std::string& readerName, const pcsc::TBytes&) {
  if (IsDirectReader(readerName) || FCardReadInProgress) return;
  FCurrentReaderName = readerName;
  FCardTimer->SetEnabled(true);
}

void TMainForm::ServerMessageText(ws::TIdServerWSContext* context, const std::string& text) {
  const std::string command = text.substr(0, text.find(' '));
  PostLogMessage("Запрос: " + command);
  if (command != "STATUS") return;
  const std::string reply = "STATUS:" + std::to_string(FReaderAttached.load());
  PostLogMessage("<< " + reply);
  context->IOHandler()->Write(reply);
}

void TMainForm::CardTimerTimer() {
  FCardTimer->SetEnabled(false);
  const auto broadcast = [this](const std::string& message) {
    if (FServer) FServer->SendMessageToAll(message);
  };
  // A read runs to its end within this handler; the mark only matters if a shell ever lets
  // timers fire while a read is under way.
  if (FCardReadInProgress) {
    LogMessage("Идет обработка, не надо считывать новые карты до завершения обработки");
    broadcast("ERROR:Слишком часто подносите карту");
    return;
  }
  pcsc::TPCSCReader* reader = FPCSC ? FPCSC->GetPCSCReader(FCurrentReaderName) : nullptr;
  if (!reader || !CardIsOnReader(reader->CardState())) {
    LogMessage("Карта не найдена или соединение потеряно");
    broadcast("ERROR:Связь с картой потерялась");
    return;
  }
  if (reader->Connect(kShareShared) != 0) {
    LogMessage("Не удалось установить соединение с картой");
    broadcast("ERROR:Не удалось открыть сессию обмена с картой");
    return;
  }
  TCardSession session(*reader, FCardReadInProgress);
  if (reader->Protocol() == pcsc::TPcscProtocol::prRaw)
    reader->SetProtocol(pcsc::TPcscProtocol::prT1);
  broadcast(ReadCard(*reader));
}

std::string TMainForm::ReadCard(pcsc::TPCSCReader& reader) {
  pcsc::TBytes data;
  std::string reason;
  // A command fails on a PC/SC error or on any status word but 90 00; `reason` says which.
  const auto exchange = [&](const pcsc::TBytes& command) {
    uint16_t sw = 0;
    const uint32_t result = reader.TransmitSW(command, data, sw);
    if (result != 0) {
      reason = pcsc::SCardResultText(result);
      return false;
    }
    if (sw != kStatusOk) {
      reason = pcsc::StatusWordText(sw);
      return false;
    }
    return true;
  };

  if (!exchange(kGetUidCommand)) {
    LogMessage("Не удалось прочитать идентификационные данные из карты (" + reason + ")");
    return "ERROR:Не удалось прочитать идентификацию карты";
  }
  if (data.size() < 4 || data.size() > 8) {
    LogMessage("Карта имеет формат, отличный от ожидаемого");
    return "ERROR:Не тот формат карты";
  }
  FCardUidHex = HexWithoutBlanks(data);
  if (!exchange(kLoadKeysCommand)) {
    LogMessage("Не удалось загрузить аутентификационные данные (" + reason + ")");
    return "ERROR:Проблема при авторизации карты (фаза 1)";
  }
  if (!exchange(kAuthenticateCommand)) {
    LogMessage("Не удалось авторизовать ключ (" + reason + ")");
    return "ERROR:Проблема при авторизации карты (фаза 2)";
  }
  if (!exchange(kReadBlockCommand)) {
    LogMessage("Не удалось прочитать бинарные данные из карты (" + reason + ")");
    return "ERROR:Не удалось прочитать данные карты";
  }
  if (data.size() != kBlockSize) {
    LogMessage("Данные карты прочитаны, но размер данных (" + std::to_string(data.size()) +
               ") не соответствует требуемому");
    return "ERROR:Ошибочный размер блока данных карты";
  }
  FCardDataHex = HexWithoutBlanks(data);
  LogMessage("Карта успешно прочитана, RFID " + FCardUidHex + ", номер " + FCardDataHex);
  return "CARD:" + FCardUidHex + ":" + FCardDataHex;
}

}  // namespace app
