#include "WS/IdSocketIOHandling.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>

#include "WS/IdSocketIOContextAccess.h"

namespace ws {

namespace {

const std::string kFrameMarker = "\xEF\xBF\xBD";  // U+FFFD in UTF-8
constexpr int kPollWait_ms = 5000;

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool ContainsNoCase(std::string_view text, std::string_view part) {
  const auto lower = [](char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  };
  return std::search(text.begin(), text.end(), part.begin(), part.end(),
                     [&](char a, char b) { return lower(a) == lower(b); }) != text.end();
}

// A decimal integer, or 0 when the text is empty or not one.
int64_t DecimalOrZero(std::string_view text) {
  int64_t value = 0;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), value);
  if (r.ec != std::errc() || r.ptr != text.data() + text.size()) return 0;
  return value;
}

std::string Quote(std::string_view text) {
  return "\"" + std::string(text) + "\"";
}

// {"Error":{"Message":M,"Type":T}}: the reply when a text or JSON message handler fails.
std::string MessageErrorReply(const std::string& message, const std::string& className) {
  json::TJSONValue error = json::TJSONValue::Object();
  error.Set("Message", json::TJSONValue::String(message));
  error.Set("Type", json::TJSONValue::String(className));
  return json::TJSONValue::Object().Set("Error", std::move(error)).ToJSON();
}

// {"Error":{"msg":M}}: the reply when an event handler fails.
std::string EventErrorReply(const std::string& message) {
  json::TJSONValue error = json::TJSONValue::Object();
  error.Set("msg", json::TJSONValue::String(message));
  return json::TJSONValue::Object().Set("Error", std::move(error)).ToJSON();
}

std::string WithAck(int64_t nr, bool ack) {
  return std::to_string(nr) + (ack ? "+" : "");
}

}  // namespace

std::string FailureClassName(const std::exception& failure) {
  if (const auto* id = dynamic_cast<const net::EIdException*>(&failure)) return id->ClassName();
  return "Exception";
}

std::string MessageField(std::string_view aText, int n) {
  size_t pos = 0;
  for (int i = 0; i < n; ++i) {
    const size_t hit = aText.find(':', pos);
    if (hit == std::string_view::npos) return {};
    pos = hit + 1;
  }
  if (n >= 3) return std::string(aText.substr(pos));
  const size_t end = aText.find(':', pos);
  return std::string(aText.substr(pos, end == std::string_view::npos ? end : end - pos));
}

int64_t MessageNumber(std::string_view aId) {
  std::string digits;
  for (const char c : aId)
    if (c != '+') digits += c;
  return DecimalOrZero(digits);
}

bool AckRequested(std::string_view aId) {
  const size_t plus = aId.find('+');
  return plus != std::string_view::npos && plus > 0;
}

std::string QuotedText(const std::string& aText) {
  std::string out = "\"";
  json::AppendEscaped(out, aText, json::TJSONEscaping::jeFull);
  return out + "\"";
}

std::string EventArgumentsOf(const json::TJSONValue& aData) {
  if (aData.IsArray()) return aData.AsStringForm();
  std::string text = "[";
  text += aData.IsString() ? QuotedText(aData.AsString()) : aData.AsStringForm();
  return text + "]";
}

std::string BroadcastTextOf(const json::TJSONValue& aData) {
  return aData.IsString() ? QuotedText(aData.AsString()) : aData.AsStringForm();
}

TSocketIOCallback MakeCompletion(const ISocketIOContextRef& aSocket, TSocketIOMsgJSON aCallback) {
  if (!aCallback) return {};
  return [socket = aSocket, callback = std::move(aCallback)](const std::string& aData) {
    callback(socket, json::TJSONValue::Parse(aData), nullptr);
  };
}

// ---- TSocketIOContext ---------------------------------------------------------------------------

TSocketIOContext::~TSocketIOContext() {
  if (FOwnsCustomData) delete FCustomData;
}

TSocketIOCustomData* TSocketIOContext::CustomData() const {
  std::lock_guard lock(FLock);
  return FCustomData;
}

bool TSocketIOContext::OwnsCustomData() const {
  std::lock_guard lock(FLock);
  return FOwnsCustomData;
}

void TSocketIOContext::SetCustomData(TSocketIOCustomData* aData) {
  std::lock_guard lock(FLock);
  FCustomData = aData;
}

void TSocketIOContext::SetOwnsCustomData(bool aOwns) {
  std::lock_guard lock(FLock);
  FOwnsCustomData = aOwns;
}

std::string TSocketIOContext::ResourceName() const {
  std::lock_guard lock(FLock);
  return FContext && FHandling ? FHandling->ContextAccess().ResourceName(FContext) : "";
}

std::string TSocketIOContext::PeerIP() const {
  std::lock_guard lock(FLock);
  return FContext && FHandling ? FHandling->ContextAccess().PeerIP(FContext) : FPeerIP;
}

uint16_t TSocketIOContext::PeerPort() const {
  std::lock_guard lock(FLock);
  return FContext && FHandling ? FHandling->ContextAccess().PeerPort(FContext) : 0;
}

bool TSocketIOContext::IsDisconnected() const {
  std::lock_guard lock(FLock);
  return !FClient && !FContext && FGUID.empty();
}

TIdServerWSContext* TSocketIOContext::Context() const {
  std::lock_guard lock(FLock);
  return FContext;
}

std::string TSocketIOContext::GUID() const {
  std::lock_guard lock(FLock);
  return FGUID;
}

TIdBaseSocketIOHandling* TSocketIOContext::AttachedHandling() const {
  std::lock_guard lock(FLock);
  if (!FHandling) throw EIdSocketIoUnhandledMessage("socket.io connection closed!");
  return FHandling;
}

void TSocketIOContext::EmitEvent(const std::string& aEventName, const json::TJSONValue& aData,
                                 TSocketIOMsgJSON aCallback, TSocketIOError aOnError) {
  EmitEvent(aEventName, aData.IsNull() ? std::string() : aData.ToJSON(), std::move(aCallback),
            std::move(aOnError));
}

void TSocketIOContext::SendJSON(const json::TJSONValue& aJSON, TSocketIOMsgJSON aCallback,
                                TSocketIOError aOnError) {
  AttachedHandling()->WriteJSONMessage(shared_from_this(), "", aJSON.ToJSON(),
                                       MakeCompletion(shared_from_this(), std::move(aCallback)),
                                       std::move(aOnError));
}

void TSocketIOContext::EmitEvent(const std::string& aEventName, const std::string& aData,
                                 TSocketIOMsgJSON aCallback, TSocketIOError aOnError) {
  AttachedHandling()->WriteEventMessage(shared_from_this(), "", aEventName, "[" + aData + "]",
                                        MakeCompletion(shared_from_this(), std::move(aCallback)),
                                        std::move(aOnError));
}

void TSocketIOContext::Send(const std::string& aData, TSocketIOMsgJSON aCallback,
                            TSocketIOError aOnError) {
  AttachedHandling()->WriteTextMessage(shared_from_this(), "", aData,
                                       MakeCompletion(shared_from_this(), std::move(aCallback)),
                                       std::move(aOnError));
}

void TSocketIOContext::SetContext(TIdServerWSContext* aContext) {
  std::lock_guard lock(FLock);
  if (FContext == aContext) return;
  if (FContext && FHandling) FHandling->ContextAccess().SetOnDestroy(FContext, {});
  FContext = aContext;
  if (!FContext || !FHandling) return;
  // When the network connection's context goes, this object lets go of it first (so that
  // nothing writes to a dying connection) and is then freed through the registry.
  std::weak_ptr<TSocketIOContext> weak = weak_from_this();
  TIdBaseSocketIOHandling* handling = FHandling;
  handling->ContextAccess().SetOnDestroy(FContext, [weak, handling](TIdServerWSContext* gone) {
    if (const auto self = weak.lock()) {
      std::lock_guard selfLock(self->FLock);
      if (self->FContext == gone) {
        self->FContext = nullptr;
        self->FIOHandler = nullptr;
      }
    }
    handling->FreeConnection(gone);
  });
}

void TSocketIOContext::Enqueue(const std::string& aText) {
  std::lock_guard lock(FQueueLock);
  FQueue.push_back(aText);
  while (FQueue.size() > kMaxQueue) FQueue.pop_front();
  FEvent.notify_all();
}

std::string TSocketIOContext::WaitForQueue(int aTimeout_ms) {
  std::unique_lock lock(FQueueLock);
  if (!FEvent.wait_for(lock, std::chrono::milliseconds(std::max(aTimeout_ms, 0)),
                       [this] { return !FQueue.empty(); }))
    return {};
  std::string text = std::move(FQueue.front());
  FQueue.pop_front();
  return text;
}

size_t TSocketIOContext::QueueCount() const {
  std::lock_guard lock(FQueueLock);
  return FQueue.size();
}

// ---- TSocketIOCallbackObj -----------------------------------------------------------------------

TSocketIOCallbackObj::TSocketIOCallbackObj(TIdBaseSocketIOHandling* aHandling,
                                           std::shared_ptr<TSocketIOContext> aSocket,
                                           int64_t aMsgNr)
    : FHandling(aHandling), FSocket(std::move(aSocket)), FMsgNr(aMsgNr) {}

void TSocketIOCallbackObj::SendReply(const std::string& aText) {
  const int64_t nr = FMsgNr.exchange(-1);
  if (nr < 0) return;
  FHandling->WriteAckMessage(FSocket, "", nr, aText);
}

// ---- TIdBaseSocketIOHandling: registration and registry -------------------------------------

TIdBaseSocketIOHandling::TIdBaseSocketIOHandling(std::unique_ptr<ISocketIOContextAccess> aAccess)
    : FAccess(aAccess ? std::move(aAccess) : MakeServerContextAccess()) {}

TIdBaseSocketIOHandling::~TIdBaseSocketIOHandling() {
  StopSweeper();
  std::lock_guard lock(FLock);
  FSocketIOEventCallbackRef.clear();
  FSocketIOErrorRef.clear();
  FOnEventList.clear();
  FOnConnectionList.clear();
  FOnDisconnectList.clear();
  // Without notifiers, messages or error callbacks; but no context may keep a hook into this
  // handling, and no object that outlives it may reach it.
  const auto detach = [](const TSocketRef& socket) {
    std::lock_guard socketLock(socket->FLock);
    socket->SetContext(nullptr);
    socket->FHandling = nullptr;
    socket->FPendingMessages.clear();
  };
  for (const auto& entry : FConnections) detach(entry.second);
  for (const auto& entry : FConnectionsGUID) detach(entry.second);
  FConnections.clear();
  FConnectionsGUID.clear();
}

void TIdBaseSocketIOHandling::OnEvent(const std::string& aEventName, TSocketIOEvent aCallback) {
  FOnEventList[aEventName].push_back(std::move(aCallback));
}

void TIdBaseSocketIOHandling::OnConnection(TSocketIONotify aCallback) {
  FOnConnectionList.push_back(aCallback);
  std::lock_guard lock(FLock);
  for (const auto& entry : FConnections) aCallback(entry.second);
  for (const auto& entry : FConnectionsGUID) aCallback(entry.second);
}

void TIdBaseSocketIOHandling::OnDisconnect(TSocketIONotify aCallback) {
  FOnDisconnectList.push_back(std::move(aCallback));
}

TIdBaseSocketIOHandling::TSocketRef TIdBaseSocketIOHandling::Impl(
    const ISocketIOContextRef& aSocket) {
  return std::dynamic_pointer_cast<TSocketIOContext>(aSocket);
}

TIdBaseSocketIOHandling::TSocketRef TIdBaseSocketIOHandling::NewConnectionObj(
    TIdServerWSContext* AContext) {
  std::lock_guard lock(FLock);
  TSocketRef& socket = FConnections[AContext];
  if (!socket) socket = std::make_shared<TSocketIOContext>();
  std::lock_guard socketLock(socket->FLock);
  socket->FHandling = this;
  socket->SetContext(AContext);
  socket->FConnectSend = false;
  socket->FPingSend = false;
  return socket;
}

TIdBaseSocketIOHandling::TSocketRef TIdBaseSocketIOHandling::NewConnectionObj(
    const std::string& aGUID, const std::string& aPeerIP) {
  std::lock_guard lock(FLock);
  TSocketRef& socket = FConnectionsGUID[aGUID];
  if (!socket) socket = std::make_shared<TSocketIOContext>();
  std::lock_guard socketLock(socket->FLock);
  socket->FGUID = aGUID;
  socket->FLastPoll = std::chrono::steady_clock::now();
  StartSweeper();
  if (!aPeerIP.empty()) socket->FPeerIP = aPeerIP;
  socket->FHandling = this;
  socket->FConnectSend = false;
  socket->FPingSend = false;
  return socket;
}

ISocketIOContextRef TIdBaseSocketIOHandling::NewConnection(TIdServerWSContext* AContext) {
  return NewConnectionObj(AContext);
}

ISocketIOContextRef TIdBaseSocketIOHandling::NewConnection(const std::string& aGUID,
                                                           const std::string& aPeerIP) {
  return NewConnectionObj(aGUID, aPeerIP);
}

ISocketIOContextRef TIdBaseSocketIOHandling::GetSocketIOContext(TIdServerWSContext* AContext) {
  std::lock_guard lock(FLock);
  const auto it = FConnections.find(AContext);
  return it == FConnections.end() ? nullptr : it->second;
}

void TIdBaseSocketIOHandling::FreeConnection(TIdServerWSContext* AContext) {
  std::lock_guard lock(FLock);
  const auto it = FConnections.find(AContext);
  if (it == FConnections.end()) return;
  const TSocketRef socket = it->second;
  FreeConnectionObj(socket);
}

void TIdBaseSocketIOHandling::FreeConnection(const ISocketIOContextRef& ASocket) {
  if (const TSocketRef socket = Impl(ASocket)) FreeConnectionObj(socket);
}

void TIdBaseSocketIOHandling::FreeConnectionObj(const TSocketRef& aSocket) {
  std::lock_guard lock(FLock);
  {
    std::lock_guard socketLock(aSocket->FLock);
    aSocket->SetContext(nullptr);
    aSocket->FIOHandler = nullptr;
    aSocket->FClient = nullptr;
    aSocket->FHandling = nullptr;
    aSocket->FGUID.clear();
    aSocket->FPeerIP.clear();
  }
  std::erase_if(FConnections, [&](const auto& entry) { return entry.second == aSocket; });
  std::erase_if(FConnectionsGUID, [&](const auto& entry) { return entry.second == aSocket; });
  // Taken out first, so that a second free (or an error callback that frees again) calls no
  // error callback twice.
  const std::vector<int64_t> pending = std::move(aSocket->FPendingMessages);
  aSocket->FPendingMessages.clear();
  for (const int64_t nr : pending) {
    FSocketIOEventCallbackRef.erase(nr);
    const auto it = FSocketIOErrorRef.find(nr);
    if (it == FSocketIOErrorRef.end()) continue;
    const TSocketIOError onError = std::move(it->second);
    FSocketIOErrorRef.erase(it);
    try {
      if (onError) onError(aSocket, "ESocketIODisconnect", "Connection disconnected");
    } catch (...) {
    }
  }
}

bool TIdBaseSocketIOHandling::IsRegistered(const TSocketRef& aSocket) const {
  const auto holds = [&](const auto& entry) { return entry.second == aSocket; };
  return std::any_of(FConnections.begin(), FConnections.end(), holds) ||
         std::any_of(FConnectionsGUID.begin(), FConnectionsGUID.end(), holds);
}

int TIdBaseSocketIOHandling::ConnectionCount() {
  int count = 0;
  ForEachConnected([&](const ISocketIOContextRef&) { ++count; });
  return count;
}

void TIdBaseSocketIOHandling::EnumerateSockets(const TSocketIONotify& aEachSocketCallback) {
  std::lock_guard lock(FLock);
  std::vector<TSocketRef> sockets;
  for (const auto& entry : FConnections) sockets.push_back(entry.second);
  for (const auto& entry : FConnectionsGUID) sockets.push_back(entry.second);
  for (const auto& socket : sockets) {
    try {
      aEachSocketCallback(socket);
    } catch (...) {
    }
  }
}

// ---- hand-over from the server ------------------------------------------------------------------

void TIdBaseSocketIOHandling::WebsocketSessionOpened(TIdServerWSContext* AContext) {
  AnnounceConnect(NewConnectionObj(AContext));
}

void TIdBaseSocketIOHandling::DispatchConnectionStream(TIdServerWSContext* AContext,
                                                       std::string_view payload) {
  TSocketRef socket = Impl(GetSocketIOContext(AContext));
  if (!socket) socket = NewConnectionObj(AContext);
  if (!payload.empty()) DispatchSocketIOText(socket, payload);
}

void TIdBaseSocketIOHandling::WebsocketSessionIdle(TIdServerWSContext* AContext) {
  TSocketRef socket = Impl(GetSocketIOContext(AContext));
  if (!socket) socket = NewConnectionObj(AContext);
  SendHeartbeat(socket);
}

void TIdBaseSocketIOHandling::WebsocketSessionClosed(TIdServerWSContext* AContext) {
  TSocketRef socket = Impl(GetSocketIOContext(AContext));
  if (!socket) socket = NewConnectionObj(AContext);
  AnnounceDisconnect(socket);
}

void TIdBaseSocketIOHandling::ServePollingRequest(const std::string& guid,
                                                  const std::string& requestBody,
                                                  std::string* responseBody) {
  TSocketRef socket;
  {
    std::lock_guard lock(FLock);
    const auto it = FConnectionsGUID.find(guid);
    if (it != FConnectionsGUID.end() && !it->second->IsDisconnected())
      socket = it->second;
    else
      socket = NewConnectionObj(guid, "");
    ++socket->FPollRequests;
    socket->FLastPoll = std::chrono::steady_clock::now();
  }
  struct TRequestEnd {
    TIdBaseSocketIOHandling* handling;
    const TSocketRef& socket;
    ~TRequestEnd() { handling->EndPollingRequest(socket); }
  } requestEnd{this, socket};
  if (!socket->FConnectSend) AnnounceConnect(socket);
  if (!requestBody.empty()) ServePostBody(socket, requestBody);
  if (!responseBody) return;
  std::string text = socket->WaitForQueue(kPollWait_ms);
  if (text.empty()) {
    SendHeartbeat(socket);
    text = socket->WaitForQueue(0);
  }
  *responseBody += text;
}

void TIdBaseSocketIOHandling::EndPollingRequest(const TSocketRef& aSocket) {
  std::lock_guard lock(FLock);
  --aSocket->FPollRequests;
  aSocket->FLastPoll = std::chrono::steady_clock::now();
}

int TIdBaseSocketIOHandling::FreeIdlePollingConnections() {
  std::vector<TSocketRef> idle;
  {
    std::lock_guard lock(FLock);
    const auto now = std::chrono::steady_clock::now();
    const auto limit = std::chrono::milliseconds(FPollingIdleTimeout.load());
    for (auto it = FConnectionsGUID.begin(); it != FConnectionsGUID.end();) {
      const TSocketRef& socket = it->second;
      if (socket->FPollRequests == 0 && now - socket->FLastPoll >= limit) {
        // Out of the registry at once: a request that comes now makes a new connection.
        idle.push_back(socket);
        it = FConnectionsGUID.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (const TSocketRef& socket : idle) {
    try {
      AnnounceDisconnect(socket);
    } catch (...) {
      // a failing notifier; the connection is freed all the same
    }
  }
  return int(idle.size());
}

void TIdBaseSocketIOHandling::StartSweeper() {
  if (FSweeper.joinable()) return;
  FSweeper = std::thread([this] { SweepLoop(); });
}

void TIdBaseSocketIOHandling::SweepLoop() {
  std::unique_lock lock(FSweepLock);
  while (!FSweepStop) {
    const int period = std::clamp(FPollingIdleTimeout.load() / 4, 10, 1000);
    if (FSweepEvent.wait_for(lock, std::chrono::milliseconds(period),
                             [this] { return FSweepStop; }))
      break;
    lock.unlock();
    FreeIdlePollingConnections();
    lock.lock();
  }
}

void TIdBaseSocketIOHandling::StopSweeper() {
  {
    std::lock_guard lock(FSweepLock);
    FSweepStop = true;
  }
  FSweepEvent.notify_all();
  if (FSweeper.joinable()) FSweeper.join();
}

void TIdBaseSocketIOHandling::ServePostBody(const TSocketRef& aSocket, const std::string& aBody) {
  if (aBody.size() <= kFrameMarker.size() || !StartsWith(aBody, kFrameMarker)) {
    DispatchSocketIOText(aSocket, aBody);
    return;
  }
  // Framed: U+FFFD, length in UTF-8 bytes, U+FFFD, message; repeated.
  std::string_view rest = aBody;
  while (!rest.empty()) {
    const size_t marker = rest.find(kFrameMarker, kFrameMarker.size());
    if (marker == std::string_view::npos) return;
    const std::string_view lengthText =
        rest.substr(kFrameMarker.size(), marker - kFrameMarker.size());
    const size_t start = marker + kFrameMarker.size();
    size_t length = 0;
    const auto r =
        std::from_chars(lengthText.data(), lengthText.data() + lengthText.size(), length);
    if (lengthText.empty() || r.ec != std::errc() || r.ptr != lengthText.data() + lengthText.size())
      throw ESocketIOException("Invalid message length in polling body: \"" +
                               std::string(lengthText) + "\"");
    // A length that runs past the body would dispatch a cut-off message.
    if (length > rest.size() - start)
      throw ESocketIOException("Polling message longer than its body: " + std::to_string(length));
    const std::string_view message = rest.substr(start, length);
    rest = rest.substr(start + length);
    try {
      DispatchSocketIOText(aSocket, message);
    } catch (...) {
    }
  }
}

// ---- dispatcher
// ----------------------------------------------------------------------------------

void TIdBaseSocketIOHandling::DispatchSocketIOText(const ISocketIOContextRef& aSocket,
                                                   std::string_view aText) {
  const TSocketRef socket = Impl(aSocket);
  if (!socket) return;
  {
    std::lock_guard lock(FLock);
    if (!IsRegistered(socket)) FConnections[nullptr] = socket;
  }
  const size_t start = aText.find_first_not_of('\0');
  if (start == std::string_view::npos) return;
  const std::string text(aText.substr(start));

  const std::string id = MessageField(text, 1);
  const std::string endpoint = MessageField(text, 2);
  const std::string data = MessageField(text, 3);
  const int64_t nr = MessageNumber(id);
  const bool ack = AckRequested(id);

  if (StartsWith(text, "0:")) {
    HandleDisconnectRequest(socket, endpoint);
  } else if (StartsWith(text, "1:")) {
    if (!socket->FConnectSend) DeliverText(socket, text);
  } else if (StartsWith(text, "2:")) {
    HandleHeartbeat(socket, text);
  } else if (StartsWith(text, "3:")) {
    DispatchMessage(socket, text, false, data, ack, nr);
  } else if (StartsWith(text, "4:")) {
    DispatchMessage(socket, text, true, data, ack, nr);
  } else if (StartsWith(text, "5:")) {
    try {
      DispatchSocketIOEvent(socket, data, ack, nr);
    } catch (...) {
    }
  } else if (StartsWith(text, "6:")) {
    HandleAcknowledgement(socket, data);
  } else if (StartsWith(text, "7:")) {
    throw EIdSocketIoUnhandledMessage(text);
  } else if (StartsWith(text, "8:")) {
    // no operation
  } else {
    throw ESocketIOException("Unsupported data: \"" + text + "\"");
  }
}

void TIdBaseSocketIOHandling::DispatchMessage(const TSocketRef& aSocket, const std::string& aText,
                                              bool aJSON, const std::string& aData,
                                              bool aAckRequested, int64_t aMsgNr) {
  if (aJSON ? !FOnSocketIOJson : !FOnSocketIOMsg) throw EIdSocketIoUnhandledMessage(aText);
  const auto call = [&](const ISocketIOCallbackRef& handle) {
    if (aJSON)
      FOnSocketIOJson(aSocket, json::TJSONValue::Parse(aData), handle);
    else
      FOnSocketIOMsg(aSocket, aData, handle);
  };
  if (!aAckRequested) {
    call(nullptr);
    return;
  }
  const auto handle = std::make_shared<TSocketIOCallbackObj>(this, aSocket, aMsgNr);
  try {
    call(handle);
  } catch (const std::exception& failure) {
    if (!handle->HasReplied())
      handle->SendReply(MessageErrorReply(failure.what(), FailureClassName(failure)));
  } catch (...) {
    if (!handle->HasReplied()) handle->SendReply(MessageErrorReply("", "Exception"));
  }
}

void TIdBaseSocketIOHandling::DispatchSocketIOEvent(const TSocketRef& aSocket,
                                                    const std::string& aData, bool aAckRequested,
                                                    int64_t aMsgNr) {
  const json::TJSONValue event = json::TJSONValue::Parse(aData);
  if (!event.IsObject()) throw EIdSocketIoUnhandledMessage(aData);
  const std::string& name = event.Member("name").AsString();
  const json::TJSONValue& member = event.Member("args");
  const json::TJSONValue args = member.IsArray() ? member : json::TJSONValue();
  const auto list = FOnEventList.find(name);
  if (list == FOnEventList.end() || list->second.empty()) throw EIdSocketIoUnhandledMessage(aData);

  ISocketIOCallbackRef handle;
  if (aAckRequested) handle = std::make_shared<TSocketIOCallbackObj>(this, aSocket, aMsgNr);
  for (const TSocketIOEvent& handler : list->second) {
    try {
      try {
        handler(aSocket, args, handle);
      } catch (const std::exception& failure) {
        if (FOnEventError)
          FOnEventError(aSocket, handle, failure);
        else if (handle && !handle->HasReplied())
          handle->SendReply(EventErrorReply(failure.what()));
      } catch (...) {
        const std::runtime_error failure("Unknown failure");
        if (FOnEventError)
          FOnEventError(aSocket, handle, failure);
        else if (handle && !handle->HasReplied())
          handle->SendReply(EventErrorReply(failure.what()));
      }
    } catch (...) {
      // A failing error path must not keep the remaining handlers from running.
    }
  }
}

void TIdBaseSocketIOHandling::HandleAcknowledgement(const TSocketRef& aSocket,
                                                    const std::string& aData) {
  const size_t plus = aData.find('+');
  const int64_t nr =
      plus == std::string::npos ? 0 : DecimalOrZero(std::string_view(aData).substr(0, plus));
  const std::string payload = plus == std::string::npos ? aData : aData.substr(plus + 1);

  TSocketIOCallback completion;
  TSocketIOError onError;
  bool hadError = false;
  {
    std::lock_guard lock(FLock);
    auto& pending = aSocket->FPendingMessages;
    const auto it = std::find(pending.begin(), pending.end(), nr);
    // Only a message sent on this connection can be acknowledged on it: a peer cannot
    // complete (or fail) another peer's request by guessing its number.
    if (it == pending.end()) return;
    pending.erase(it);
    if (const auto e = FSocketIOErrorRef.find(nr); e != FSocketIOErrorRef.end()) {
      hadError = true;
      onError = std::move(e->second);
      FSocketIOErrorRef.erase(e);
    }
    if (const auto c = FSocketIOEventCallbackRef.find(nr); c != FSocketIOEventCallbackRef.end()) {
      completion = std::move(c->second);
      FSocketIOEventCallbackRef.erase(c);
    }
  }
  if (hadError && ContainsNoCase(payload, "{\"Error\":")) {
    json::TJSONValue reply = json::TJSONValue::Parse(payload);
    if (reply.IsArray()) reply = json::TJSONValue(reply.Element(0));
    const json::TJSONValue& error = reply.Member("Error");
    const json::TJSONValue& message = error.Member("Message");
    if (message.IsString() && !message.AsString().empty())
      onError(aSocket, error.Member("Type").AsString(), message.AsString());
    else
      onError(aSocket, "Unknown", payload);
    return;
  }
  if (completion) completion(payload);
}

void TIdBaseSocketIOHandling::HandleHeartbeat(const std::shared_ptr<TSocketIOContext>& aSocket,
                                              const std::string& aText) {
  // A heartbeat that answers ours clears the mark; any other one is echoed and marks one
  // outstanding.
  bool outstanding = true;
  if (aSocket->FPingSend.compare_exchange_strong(outstanding, false)) return;
  aSocket->FPingSend = true;
  DeliverText(aSocket, aText);
}

void TIdBaseSocketIOHandling::HandleDisconnectRequest(
    const std::shared_ptr<TSocketIOContext>& aSocket, const std::string& aEndpoint) {
  if (!aEndpoint.empty()) return;
  if (TIdServerWSContext* context = aSocket->Context()) FAccess->Disconnect(context);
}

// ---- writers
// --------------------------------------------------------------------------------------

int64_t TIdBaseSocketIOHandling::PrepareMessage(const TSocketRef& aSocket,
                                                TSocketIOCallback aCallback,
                                                TSocketIOError aOnError) {
  const int64_t nr = ++FSocketIOMsgNr;
  if (!aCallback || !aSocket) return nr;
  {
    std::lock_guard lock(FLock);
    if (!aSocket->IsDisconnected()) {
      FSocketIOEventCallbackRef[nr] = std::move(aCallback);
      aSocket->FPendingMessages.push_back(nr);
      if (aOnError) FSocketIOErrorRef[nr] = std::move(aOnError);
      return nr;
    }
  }
  // Nothing will ever acknowledge a message to a freed connection: fail it as a disconnect
  // would have, instead of filing callbacks that no one calls.
  if (aOnError) aOnError(aSocket, "ESocketIODisconnect", "Connection disconnected");
  return nr;
}

void TIdBaseSocketIOHandling::ForgetMessage(const TSocketRef& aSocket, int64_t aMsgNr) {
  std::lock_guard lock(FLock);
  FSocketIOEventCallbackRef.erase(aMsgNr);
  FSocketIOErrorRef.erase(aMsgNr);
  auto& pending = aSocket->FPendingMessages;
  if (const auto it = std::find(pending.begin(), pending.end(), aMsgNr); it != pending.end())
    pending.erase(it);
}

void TIdBaseSocketIOHandling::WriteEventMessage(
    const ISocketIOContextRef& aSocket, const std::string& aEndpoint, const std::string& aEventName,
    const std::string& aArguments, TSocketIOCallback aCallback, TSocketIOError aOnError) {
  const TSocketRef socket = Impl(aSocket);
  const bool ack = static_cast<bool>(aCallback);
  const int64_t nr = PrepareMessage(socket, std::move(aCallback), std::move(aOnError));
  DeliverText(socket, "5:" + WithAck(nr, ack) + ":" + aEndpoint + ":{\"name\":" +
                          QuotedText(aEventName) + ", \"args\":" + aArguments + "}");
}

void TIdBaseSocketIOHandling::WriteJSONMessage(const ISocketIOContextRef& aSocket,
                                               const std::string& aEndpoint,
                                               const std::string& aJSON,
                                               TSocketIOCallback aCallback,
                                               TSocketIOError aOnError) {
  const TSocketRef socket = Impl(aSocket);
  const bool ack = static_cast<bool>(aCallback);
  const int64_t nr = PrepareMessage(socket, std::move(aCallback), std::move(aOnError));
  DeliverText(socket, "4:" + WithAck(nr, ack) + ":" + aEndpoint + ":" + aJSON);
}

void TIdBaseSocketIOHandling::WriteTextMessage(const ISocketIOContextRef& aSocket,
                                               const std::string& aEndpoint,
                                               const std::string& aText,
                                               TSocketIOCallback aCallback,
                                               TSocketIOError aOnError) {
  const TSocketRef socket = Impl(aSocket);
  const bool ack = static_cast<bool>(aCallback);
  const int64_t nr = PrepareMessage(socket, std::move(aCallback), std::move(aOnError));
  DeliverText(socket, "3:" + WithAck(nr, ack) + ":" + aEndpoint + ":" + aText);
}

void TIdBaseSocketIOHandling::WriteAckMessage(const ISocketIOContextRef& aSocket,
                                              const std::string& aEndpoint, int64_t aMsgNr,
                                              const std::string& aReply) {
  DeliverText(Impl(aSocket),
              "6::" + aEndpoint + ":" + std::to_string(aMsgNr) + "+[" + aReply + "]");
}

json::TJSONValue TIdBaseSocketIOHandling::WriteSocketIOEventSync(const ISocketIOContextRef& aSocket,
                                                                 const std::string& aEndpoint,
                                                                 const std::string& aEventName,
                                                                 const std::string& aArguments,
                                                                 unsigned aMaxwait_ms) {
  const TSocketRef socket = Impl(aSocket);
  if (!socket || socket->IsDisconnected())
    throw ESocketIOException("Socket is not connected, cannot send " + Quote(aEventName) +
                             " request");
  const int64_t nr = ++FSocketIOMsgNr;
  const auto promise = std::make_shared<TSocketIOPromise>();
  const std::string text = "5:" + WithAck(nr, true) + ":" + aEndpoint +
                           ":{\"name\":" + QuotedText(aEventName) + ", \"args\":" + aArguments +
                           "}";
  {
    std::lock_guard lock(FLock);
    FSocketIOEventCallbackRef[nr] = [promise](const std::string& aData) {
      std::lock_guard promiseLock(promise->Mutex);
      promise->Success = true;
      promise->Error = nullptr;
      promise->Data = json::TJSONValue::Parse(aData);
      promise->Done = true;
      promise->Event.notify_all();
    };
    FSocketIOErrorRef[nr] = [promise](const ISocketIOContextRef&, const std::string& aClass,
                                      const std::string& aMessage) {
      std::lock_guard promiseLock(promise->Mutex);
      promise->Success = false;
      promise->Error = std::make_exception_ptr(ESocketIOException(aClass + ": " + aMessage));
      promise->Data = json::TJSONValue();
      promise->Done = true;
      promise->Event.notify_all();
    };
    socket->FPendingMessages.push_back(nr);
  }
  try {
    if (socket->IsDisconnected())
      throw ESocketIOException("Socket is disconnected, cannot send " + Quote(aEventName) +
                               " request");
    DeliverText(socket, text);
    std::unique_lock promiseLock(promise->Mutex);
    if (!promise->Event.wait_for(promiseLock, std::chrono::milliseconds(aMaxwait_ms),
                                 [&] { return promise->Done; }))
      throw ESocketIOTimeout("No response received for " + Quote(aEventName) + " request");
  } catch (...) {
    ForgetMessage(socket, nr);
    throw;
  }
  if (promise->Error) std::rethrow_exception(promise->Error);
  return promise->Data;
}

// ---- delivery and announcements --------------------------------------------------------------

void TIdBaseSocketIOHandling::DeliverText(const std::shared_ptr<TSocketIOContext>& aSocket,
                                          const std::string& aText) {
  if (!aSocket) return;
  std::lock_guard lock(aSocket->FLock);
  // Asked every time: a context is a WebSocket connection only between its upgrade and the
  // end of its session, and nothing may be framed onto it before or after.
  if (aSocket->FContext) aSocket->FIOHandler = FAccess->WebsocketWriter(aSocket->FContext);
  if (aSocket->FIOHandler)
    FAccess->WriteText(aSocket->FIOHandler, aText);
  else if (!aSocket->FGUID.empty())
    aSocket->Enqueue(aText);
}

void TIdBaseSocketIOHandling::AnnounceConnect(const ISocketIOContextRef& aSocket) {
  const TSocketRef socket = Impl(aSocket);
  if (!socket) return;
  {
    std::lock_guard lock(FLock);
    if (!IsRegistered(socket)) FConnections[nullptr] = socket;
    if (!socket->FConnectSend.exchange(true)) DeliverText(socket, "1::");
  }
  for (const TSocketIONotify& notify : FOnConnectionList) notify(socket);
}

void TIdBaseSocketIOHandling::AnnounceDisconnect(const ISocketIOContextRef& aSocket) {
  const TSocketRef socket = Impl(aSocket);
  if (!socket) return;
  std::exception_ptr failure;
  for (const TSocketIONotify& notify : FOnDisconnectList) {
    try {
      notify(socket);
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  {
    std::lock_guard lock(FLock);
    if (!socket->IsDisconnected()) {
      try {
        DeliverText(socket, "0::");
      } catch (...) {
      }
    }
    FreeConnectionObj(socket);
  }
  // A failing notifier is reported, but only after the connection has been freed.
  if (failure) std::rethrow_exception(failure);
}

void TIdBaseSocketIOHandling::SendHeartbeat(const ISocketIOContextRef& aSocket) {
  const TSocketRef socket = Impl(aSocket);
  if (!socket) return;
  socket->FPingSend = true;
  DeliverText(socket, "2::");
}

// ---- TIdSocketIOHandling ----------------------------------------------------------------------

void TIdSocketIOHandling::Emit(const std::string& aEventName, const json::TJSONValue& aData,
                               TSocketIOMsgJSON aCallback, TSocketIOError aOnError) {
  Emit(aEventName, aData.IsNull() ? std::string() : EventArgumentsOf(aData), std::move(aCallback),
       std::move(aOnError));
}

void TIdSocketIOHandling::Emit(const std::string& aEventName, const std::string& aData,
                               TSocketIOMsgJSON aCallback, TSocketIOError aOnError) {
  int count = 0;
  ForEachConnected([&](const ISocketIOContextRef& socket) {
    WriteEventMessage(socket, "", aEventName, aData, MakeCompletion(socket, aCallback), aOnError);
    ++count;
  });
  if (count == 0) throw EIdSocketIoUnhandledMessage("Cannot emit: no socket.io connections!");
}

void TIdSocketIOHandling::Send(const std::string& aMessage, TSocketIOMsgJSON aCallback,
                               TSocketIOError aOnError) {
  int count = 0;
  ForEachConnected([&](const ISocketIOContextRef& socket) {
    WriteTextMessage(socket, "", aMessage, MakeCompletion(socket, aCallback), aOnError);
    ++count;
  });
  if (count == 0) throw EIdSocketIoUnhandledMessage("Cannot send: no socket.io connections!");
}

json::TJSONValue TIdSocketIOHandling::EmitSync(const std::string& aEventName,
                                               const json::TJSONValue& aData,
                                               uint32_t aMaxwait_ms) {
  const std::string arguments = aData.IsNull() ? std::string() : EventArgumentsOf(aData);
  ISocketIOContextRef target;
  int count = 0;
  ForEachConnected([&](const ISocketIOContextRef& socket) {
    target = socket;
    ++count;
  });
  if (count > 1)
    throw EIdSocketIoUnhandledMessage("Cannot emit synchronized to more than one connection!");
  return WriteSocketIOEventSync(target, "", aEventName, arguments, aMaxwait_ms);
}

}  // namespace ws
