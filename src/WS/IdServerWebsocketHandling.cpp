#include "WS/IdServerWebsocketHandling.h"

#include <chrono>
#include <mutex>
#include <random>

#include "WS/IdServerSocketIOHandling.h"
#include "net/IdBase64.h"
#include "net/IdException.h"
#include "net/IdHTTPServer.h"
#include "net/IdSHA1.h"

namespace ws {
namespace {

constexpr const char* kSocketIOHandshake = "/socket.io/1/";
constexpr const char* kSocketIOPolling = "/socket.io/1/xhr-polling/";
constexpr const char* kSocketIOSessionTail = ":15:10:websocket,xhr-polling";

[[noreturn]] void Abort() {
  throw net::EIdException(net::TIdHTTPServer::kAbortText);
}

bool ContainsNoCase(std::string_view text, std::string_view part) {
  for (size_t i = 0; i + part.size() <= text.size(); ++i) {
    if (EqualsNoCase(text.substr(i, part.size()), part)) return true;
  }
  return false;
}

int ParseVersion(const std::string& text) {
  try {
    size_t used = 0;
    int value = std::stoi(text, &used);
    return used == text.size() ? value : 0;
  } catch (const std::exception&) {
    return 0;
  }
}

std::string TrimBlanksAndControls(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && uint8_t(text[begin]) <= 32) ++begin;
  while (end > begin && uint8_t(text[end - 1]) <= 32) --end;
  return text.substr(begin, end - begin);
}

uint32_t ReadRecordUInt32(TIdIOHandlerWebsocket* io) {
  return io->ReadUInt32();
}

}  // namespace

std::string TIdServerWebsocketHandling::AcceptKey(const std::string& key) {
  net::TIdSHA1Digest digest = net::SHA1(TrimBlanksAndControls(key) + kWebsocketGUID);
  return net::Base64Encode(
      std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()));
}

std::string TIdServerWebsocketHandling::NewGUID() {
  std::random_device device;
  std::mt19937_64 random(uint64_t(device()) << 32 ^ device());
  uint8_t bytes[16];
  for (int i = 0; i < 16; i += 8) {
    uint64_t value = random();
    for (int j = 0; j < 8; ++j) bytes[i + j] = uint8_t(value >> (8 * j));
  }
  bytes[6] = uint8_t((bytes[6] & 0x0F) | 0x40);  // version 4: random
  bytes[8] = uint8_t((bytes[8] & 0x3F) | 0x80);
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out = "{";
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
    out += kHex[bytes[i] >> 4];
    out += kHex[bytes[i] & 0x0F];
  }
  return out + "}";
}

bool TIdServerWebsocketHandling::ProcessServerCommandGet(TIdServerWSContext* context,
                                                         const net::TIdHTTPRequestInfo& request,
                                                         net::TIdHTTPResponseInfo& response) {
  if (ContainsNoCase(request.Header("Connection"), "Upgrade")) {
    Upgrade(context, request, response);
    return true;
  }
  if (EqualsNoCase(request.Document, kSocketIOHandshake)) {
    response.ResponseNo = 200;
    response.ResponseText = "Socket.io connect OK";
    response.SetContentText(NewGUID() + kSocketIOSessionTail);
    response.CloseConnection = false;
    if (context->SocketIO()) context->SocketIO()->NewConnection(context);
    return true;
  }
  if (StartsWithNoCase(request.Document, kSocketIOPolling)) {
    response.SetContentStream("");
    response.CloseConnection = false;
    std::string guid = request.Document.substr(std::string_view(kSocketIOPolling).size());
    if (context->SocketIO()) {
      if (request.Command == "GET") {
        std::string body;
        context->SocketIO()->ServePollingRequest(guid, request.Body, &body);
        response.SetContentStream(std::move(body));
      } else if (request.Command == "POST") {
        context->SocketIO()->ServePollingRequest(guid, request.Body, nullptr);
      }
    }
    return true;
  }
  return false;
}

void TIdServerWebsocketHandling::Upgrade(TIdServerWSContext* context,
                                         const net::TIdHTTPRequestInfo& request,
                                         net::TIdHTTPResponseInfo& response) {
  if (const TWebSocketUpgradeEvent& hook = context->OnWebSocketUpgrade()) {
    bool accept = true;
    hook(context, request, accept);
    if (!accept) Abort();
  }
  std::string key = request.Header("sec-websocket-key");
  if (key.empty()) Abort();
  std::optional<std::string> decoded = net::Base64Decode(key);
  if (!decoded || decoded->size() != 16) Abort();
  context->SetWebSocketKey(key);

  context->SetResourceName(request.QueryParams.empty()
                               ? request.Document
                               : request.Document + "?" + request.QueryParams);
  context->SetPath(request.Document);
  context->SetQuery(request.QueryParams);
  context->SetHost(request.Header("host"));
  context->SetOrigin(request.Header("origin"));
  context->SetCookie(request.Header("cookie"));

  std::string version = request.Header("sec-websocket-version");
  if (version.empty()) Abort();
  context->SetWebSocketVersion(ParseVersion(version));
  if (context->WebSocketVersion() < 13) Abort();

  context->SetWebSocketProtocol(request.Header("sec-websocket-protocol"));
  context->SetWebSocketExtensions(request.Header("sec-websocket-extensions"));

  response.ResponseNo = 101;
  response.ResponseText = "Switching Protocols";
  response.CloseConnection = false;
  response.Connection = "Upgrade";
  response.SetCustomHeader("Upgrade", "websocket");
  response.SetCustomHeader("Sec-WebSocket-Accept", AcceptKey(key));
  if (!context->WebSocketProtocol().empty()) {
    response.SetCustomHeader("Sec-WebSocket-Protocol", context->WebSocketProtocol());
  }

  TIdIOHandlerWebsocket* io = context->IOHandler();
  {
    // A close from another thread then finds either the HTTP phase or the head already sent.
    std::lock_guard<TIdIOHandlerWebsocket> lock(*io);
    io->InputBuffer().clear();
    io->SetBusyUpgrading(true);
    response.WriteHeader();
  }
  RunMessageLoop(context, context->SocketIO());
}

void TIdServerWebsocketHandling::RunMessageLoop(TIdServerWSContext* context,
                                                TIdServerSocketIOHandling_Ext* socketIO) {
  TIdIOHandlerWebsocket* io = context->IOHandler();
  if (io->BusyUpgrading()) {
    io->SetIsWebsocket(true);
    io->SetBusyUpgrading(false);
  }
  try {
    if (context->IsSocketIO() && socketIO) socketIO->WebsocketSessionOpened(context);
    RunLoopPasses(context, socketIO);
  } catch (...) {
    if (context->IsSocketIO() && socketIO) socketIO->WebsocketSessionClosed(context);
    io->Clear();
    throw;
  }
  if (context->IsSocketIO() && socketIO) socketIO->WebsocketSessionClosed(context);
  io->Clear();
}

void TIdServerWebsocketHandling::RunLoopPasses(TIdServerWSContext* context,
                                               TIdServerSocketIOHandling_Ext* socketIO) {
  using Clock = std::chrono::steady_clock;
  TIdIOHandlerWebsocket* io = context->IOHandler();
  io->Socket().SetNoDelay(true);
  Clock::time_point idleMark = Clock::now();
  while (io->Connected()) {
    if (!io->HasData() && !io->Readable(kIdleWaitMs)) {
      auto idle = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - idleMark);
      if (idle.count() > kKeepAliveSeconds) {
        idleMark = Clock::now();
        if (context->IsSocketIO()) {
          if (socketIO) socketIO->WebsocketSessionIdle(context);
        } else {
          io->WriteData("", TWSDataCode::wdcPing, true);
        }
      }
      continue;
    }
    idleMark = Clock::now();
    auto code = TWSDataCode(ReadRecordUInt32(io));
    uint32_t length = ReadRecordUInt32(io);
    std::string request;
    io->ReadBytes(request, length, false);
    if (code == TWSDataCode::wdcPing) {
      io->WriteData("", TWSDataCode::wdcPong, true);
      continue;
    }
    if (code == TWSDataCode::wdcPong) continue;
    TWSDataType type = code == TWSDataCode::wdcText ? TWSDataType::wdtText : TWSDataType::wdtBinary;
    std::string response;
    HandleChannelMessage(context, type, request, response, socketIO);
    if (!response.empty()) {
      io->Write(response, type);
    } else {
      io->WriteData("", TWSDataCode::wdcPing, true);
    }
  }
}

void TIdServerWebsocketHandling::HandleChannelMessage(TIdServerWSContext* context,
                                                      TWSDataType& type, const std::string& request,
                                                      std::string& response,
                                                      TIdServerSocketIOHandling_Ext* socketIO) {
  if (context->IsSocketIO()) {
    if (socketIO) socketIO->DispatchConnectionStream(context, request);
    return;
  }
  if (const TWebsocketChannelRequest& handler = context->OnCustomChannelExecute()) {
    handler(context, type, request, response);
  }
}

std::shared_ptr<ISocketIOContext> TIdServerWebsocketHandling::CurrentSocket() {
  auto* context = dynamic_cast<TIdServerWSContext*>(net::TIdServerContext::Current());
  if (!context || !context->SocketIO()) return nullptr;
  return context->SocketIO()->GetSocketIOContext(context);
}

}  // namespace ws
