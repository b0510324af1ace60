#pragma once

// The Socket.IO (revision 1) message layer: one object per Socket.IO connection, the parser
// and dispatcher of the nine message kinds, acknowledgements, heartbeats, the writers and the
// XHR-polling queue. The server's handling is TIdServerSocketIOHandling_Ext
// (IdServerSocketIOHandling.h); TIdSocketIOHandling is the client-side handling.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "WS/IdServerBaseHandling.h"
#include "json/JsonValue.h"
#include "net/IdException.h"

namespace ws {

class TIdServerWSContext;
class TIdIOHandlerWebsocket;
class TIdBaseSocketIOHandling;
class TSocketIOContext;

// ---- failures (their class names reach peers and error callbacks) --------------------------

class ESocketIOException : public net::EIdException {
 public:
  using EIdException::EIdException;
  const char* ClassName() const override { return "ESocketIOException"; }
};

class ESocketIOTimeout : public ESocketIOException {
 public:
  using ESocketIOException::ESocketIOException;
  const char* ClassName() const override { return "ESocketIOTimeout"; }
};

class ESocketIODisconnect : public ESocketIOException {
 public:
  using ESocketIOException::ESocketIOException;
  const char* ClassName() const override { return "ESocketIODisconnect"; }
};

// A message or request the layer cannot serve.
class EIdSocketIoUnhandledMessage : public net::EIdSilentException {
 public:
  using EIdSilentException::EIdSilentException;
  const char* ClassName() const override { return "EIdSocketIoUnhandledMessage"; }
};

// The class name of any failure: the network layers' own names, "Exception" for the rest.
std::string FailureClassName(const std::exception& failure);

// ---- interfaces and callback types -----------------------------------------------------------

class ISocketIOContext;
class ISocketIOCallback;
using ISocketIOContextRef = std::shared_ptr<ISocketIOContext>;
using ISocketIOCallbackRef = std::shared_ptr<ISocketIOCallback>;

using TSocketIONotify = std::function<void(const ISocketIOContextRef& aSocket)>;
using TSocketIOEvent =
    std::function<void(const ISocketIOContextRef& aSocket, const json::TJSONValue& aArgument,
                       const ISocketIOCallbackRef& aCallback)>;
using TSocketIOMsg =
    std::function<void(const ISocketIOContextRef& aSocket, const std::string& aText,
                       const ISocketIOCallbackRef& aCallback)>;
using TSocketIOMsgJSON =
    std::function<void(const ISocketIOContextRef& aSocket, const json::TJSONValue& aJSON,
                       const ISocketIOCallbackRef& aCallback)>;
using TSocketIOError =
    std::function<void(const ISocketIOContextRef& aSocket, const std::string& aErrorClass,
                       const std::string& aErrorMessage)>;
using TSocketIOEventError =
    std::function<void(const ISocketIOContextRef& aSocket, const ISocketIOCallbackRef& aCallback,
                       const std::exception& aFailure)>;
// Completion of an outgoing message that asked for an acknowledgement: the payload text.
using TSocketIOCallback = std::function<void(const std::string& aData)>;

// Free slot for embedding code on a Socket.IO connection.
class TSocketIOCustomData {
 public:
  virtual ~TSocketIOCustomData() = default;
};

// One Socket.IO connection as handlers and embedding code see it.
class ISocketIOContext {
 public:
  virtual ~ISocketIOContext() = default;
  virtual TSocketIOCustomData* CustomData() const = 0;
  virtual bool OwnsCustomData() const = 0;
  virtual void SetCustomData(TSocketIOCustomData* aData) = 0;
  virtual void SetOwnsCustomData(bool aOwns) = 0;
  virtual std::string ResourceName() const = 0;
  virtual std::string PeerIP() const = 0;
  virtual uint16_t PeerPort() const = 0;
  virtual void Lock() = 0;
  virtual void UnLock() = 0;
  virtual bool IsDisconnected() const = 0;
  // Sending; the connection must still be attached to its handling, otherwise these fail with
  // EIdSocketIoUnhandledMessage.
  virtual void EmitEvent(const std::string& aEventName, const json::TJSONValue& aData,
                         TSocketIOMsgJSON aCallback = {}, TSocketIOError aOnError = {}) = 0;
  virtual void SendJSON(const json::TJSONValue& aJSON, TSocketIOMsgJSON aCallback = {},
                        TSocketIOError aOnError = {}) = 0;
  virtual void EmitEvent(const std::string& aEventName, const std::string& aData,
                         TSocketIOMsgJSON aCallback = {}, TSocketIOError aOnError = {}) = 0;
  virtual void Send(const std::string& aData, TSocketIOMsgJSON aCallback = {},
                    TSocketIOError aOnError = {}) = 0;
};

// The acknowledgement handle of an incoming message that asked for one.
class ISocketIOCallback {
 public:
  virtual ~ISocketIOCallback() = default;
  virtual void SendReply(const std::string& aText) = 0;
  virtual bool HasReplied() const = 0;
};

// What the layer needs of a network connection context. The default reaches the server's
// TIdServerWSContext; tests and other embedders may give the handling their own.
class ISocketIOContextAccess {
 public:
  virtual ~ISocketIOContextAccess() = default;
  // The context's frame writer, or null while the context is not (or no longer) a WebSocket
  // connection: text is only ever written to a connection in WebSocket mode.
  virtual TIdIOHandlerWebsocket* WebsocketWriter(TIdServerWSContext* aContext) = 0;
  virtual void WriteText(TIdIOHandlerWebsocket* aWriter, const std::string& aText) = 0;
  virtual void Disconnect(TIdServerWSContext* aContext) = 0;
  // Installs (or, with an empty hook, removes) the hook run when the context is destroyed.
  virtual void SetOnDestroy(TIdServerWSContext* aContext,
                            std::function<void(TIdServerWSContext*)> aHook) = 0;
  virtual std::string ResourceName(TIdServerWSContext* aContext) = 0;
  virtual std::string PeerIP(TIdServerWSContext* aContext) = 0;
  virtual uint16_t PeerPort(TIdServerWSContext* aContext) = 0;
};

// ---- the connection object --------------------------------------------------------------------

class TSocketIOContext : public ISocketIOContext,
                         public std::enable_shared_from_this<TSocketIOContext> {
 public:
  TSocketIOContext() = default;
  ~TSocketIOContext() override;
  TSocketIOContext(const TSocketIOContext&) = delete;
  TSocketIOContext& operator=(const TSocketIOContext&) = delete;

  TSocketIOCustomData* CustomData() const override;
  bool OwnsCustomData() const override;
  void SetCustomData(TSocketIOCustomData* aData) override;
  void SetOwnsCustomData(bool aOwns) override;
  std::string ResourceName() const override;
  std::string PeerIP() const override;
  uint16_t PeerPort() const override;
  void Lock() override { FLock.lock(); }
  void UnLock() override { FLock.unlock(); }
  bool IsDisconnected() const override;
  void EmitEvent(const std::string& aEventName, const json::TJSONValue& aData,
                 TSocketIOMsgJSON aCallback = {}, TSocketIOError aOnError = {}) override;
  void SendJSON(const json::TJSONValue& aJSON, TSocketIOMsgJSON aCallback = {},
                TSocketIOError aOnError = {}) override;
  void EmitEvent(const std::string& aEventName, const std::string& aData,
                 TSocketIOMsgJSON aCallback = {}, TSocketIOError aOnError = {}) override;
  void Send(const std::string& aData, TSocketIOMsgJSON aCallback = {},
            TSocketIOError aOnError = {}) override;

  TIdServerWSContext* Context() const;
  bool PingSend() const { return FPingSend; }
  bool ConnectSend() const { return FConnectSend; }
  std::string GUID() const;

  // Polling: takes the oldest queued message, waiting up to aTimeout_ms for one; empty when
  // none came.
  std::string WaitForQueue(int aTimeout_ms);
  size_t QueueCount() const;

 private:
  friend class TIdBaseSocketIOHandling;
  static constexpr size_t kMaxQueue = 1000;

  // Sets the connection context and moves the destruction hook to it. Holding FLock.
  void SetContext(TIdServerWSContext* aContext);
  TIdBaseSocketIOHandling* AttachedHandling() const;
  void Enqueue(const std::string& aText);

  mutable std::recursive_mutex FLock;
  std::atomic<bool> FPingSend{false};
  std::atomic<bool> FConnectSend{false};
  std::string FGUID;
  std::string FPeerIP;
  TSocketIOCustomData* FCustomData = nullptr;
  bool FOwnsCustomData = false;
  TIdBaseSocketIOHandling* FHandling = nullptr;
  TIdServerWSContext* FContext = nullptr;
  TIdIOHandlerWebsocket* FIOHandler = nullptr;
  void* FClient = nullptr;  // the owning WebSocket client; never set on the server
  // Outgoing messages of a polling connection; FQueueLock is taken inside FLock.
  mutable std::mutex FQueueLock;
  std::condition_variable FEvent;
  std::deque<std::string> FQueue;
  // Guarded by the handling's FLock.
  std::vector<int64_t> FPendingMessages;
  // Polling: requests being served now, and when the last one began or ended (or the
  // connection was made). Guarded by the handling's FLock.
  int FPollRequests = 0;
  std::chrono::steady_clock::time_point FLastPoll{};
};

// ---- acknowledgement handle and synchronous request ------------------------------------------

class TSocketIOCallbackObj : public ISocketIOCallback {
 public:
  TSocketIOCallbackObj(TIdBaseSocketIOHandling* aHandling,
                       std::shared_ptr<TSocketIOContext> aSocket, int64_t aMsgNr);
  // Sends the acknowledgement once; later calls do nothing.
  void SendReply(const std::string& aText) override;
  bool HasReplied() const override { return FMsgNr < 0; }

 private:
  TIdBaseSocketIOHandling* FHandling;
  std::shared_ptr<TSocketIOContext> FSocket;
  std::atomic<int64_t> FMsgNr;
};

struct TSocketIOPromise {
  std::mutex Mutex;
  std::condition_variable Event;
  bool Done = false;
  bool Success = false;
  std::exception_ptr Error;
  json::TJSONValue Data;
};

// ---- the handling -------------------------------------------------------------------------------

class TIdBaseSocketIOHandling : public TIdServerBaseHandling {
 public:
  // Without an access the handling reaches the WebSocket server's contexts.
  explicit TIdBaseSocketIOHandling(std::unique_ptr<ISocketIOContextAccess> aAccess = nullptr);
  ~TIdBaseSocketIOHandling() override;
  TIdBaseSocketIOHandling(const TIdBaseSocketIOHandling&) = delete;
  TIdBaseSocketIOHandling& operator=(const TIdBaseSocketIOHandling&) = delete;

  // Registration; done before connections arrive (the lists are not guarded).
  void OnEvent(const std::string& aEventName, TSocketIOEvent aCallback);
  void OnConnection(TSocketIONotify aCallback);
  void OnDisconnect(TSocketIONotify aCallback);
  void SetOnSocketIOMsg(TSocketIOMsg aHandler) { FOnSocketIOMsg = std::move(aHandler); }
  void SetOnSocketIOJson(TSocketIOMsgJSON aHandler) { FOnSocketIOJson = std::move(aHandler); }
  void SetOnEventError(TSocketIOEventError aHandler) { FOnEventError = std::move(aHandler); }

  // Registry.
  ISocketIOContextRef NewConnection(TIdServerWSContext* AContext);
  ISocketIOContextRef NewConnection(const std::string& aGUID, const std::string& aPeerIP);
  ISocketIOContextRef GetSocketIOContext(TIdServerWSContext* AContext);
  void FreeConnection(TIdServerWSContext* AContext);
  void FreeConnection(const ISocketIOContextRef& ASocket);
  int ConnectionCount();
  void EnumerateSockets(const TSocketIONotify& aEachSocketCallback);
  void Lock() { FLock.lock(); }
  void UnLock() { FLock.unlock(); }

  // Hand-over from the WebSocket server.
  void WebsocketSessionOpened(TIdServerWSContext* AContext);
  void DispatchConnectionStream(TIdServerWSContext* AContext, std::string_view payload);
  void WebsocketSessionIdle(TIdServerWSContext* AContext);
  void WebsocketSessionClosed(TIdServerWSContext* AContext);
  // GET (responseBody given) or POST (responseBody null) on the polling path of a GUID. A GET
  // waits up to 5 s for a message.
  void ServePollingRequest(const std::string& guid, const std::string& requestBody,
                           std::string* responseBody);

  // A polling connection is only ever ended by its peer's requests, and every new GUID makes
  // one; so one that has had no request for this long is freed as a disconnect. A thread of
  // the handling looks for them, from the first polling connection on.
  static constexpr int kPollingIdleTimeout_ms = 60000;
  void SetPollingIdleTimeout(int aTimeout_ms) { FPollingIdleTimeout = aTimeout_ms; }
  // Frees the polling connections idle for longer than the time-out as a disconnect would:
  // the disconnect notifiers run and waiting messages fail with ESocketIODisconnect. The
  // number freed.
  int FreeIdlePollingConnections();

  // Parser and dispatcher of one incoming message.
  void DispatchSocketIOText(const ISocketIOContextRef& aSocket, std::string_view aText);

  // Writers. An empty completion callback asks for no acknowledgement.
  void WriteEventMessage(const ISocketIOContextRef& aSocket, const std::string& aEndpoint,
                         const std::string& aEventName, const std::string& aArguments,
                         TSocketIOCallback aCallback, TSocketIOError aOnError);
  void WriteJSONMessage(const ISocketIOContextRef& aSocket, const std::string& aEndpoint,
                        const std::string& aJSON, TSocketIOCallback aCallback,
                        TSocketIOError aOnError);
  void WriteTextMessage(const ISocketIOContextRef& aSocket, const std::string& aEndpoint,
                        const std::string& aText, TSocketIOCallback aCallback,
                        TSocketIOError aOnError);
  void WriteAckMessage(const ISocketIOContextRef& aSocket, const std::string& aEndpoint,
                       int64_t aMsgNr, const std::string& aReply);
  json::TJSONValue WriteSocketIOEventSync(const ISocketIOContextRef& aSocket,
                                          const std::string& aEndpoint,
                                          const std::string& aEventName,
                                          const std::string& aArguments, unsigned aMaxwait_ms);
  void AnnounceConnect(const ISocketIOContextRef& aSocket);
  void AnnounceDisconnect(const ISocketIOContextRef& aSocket);
  void SendHeartbeat(const ISocketIOContextRef& aSocket);

  ISocketIOContextAccess& ContextAccess() { return *FAccess; }

 protected:
  virtual void HandleHeartbeat(const std::shared_ptr<TSocketIOContext>& aSocket,
                               const std::string& aText);
  virtual void HandleDisconnectRequest(const std::shared_ptr<TSocketIOContext>& aSocket,
                                       const std::string& aEndpoint);
  virtual void DeliverText(const std::shared_ptr<TSocketIOContext>& aSocket,
                           const std::string& aText);

  template <class Fn>
  void ForEachConnected(Fn&& fn);  // holding FLock: FConnections, then FConnectionsGUID

  std::recursive_mutex FLock;

 private:
  using TSocketRef = std::shared_ptr<TSocketIOContext>;
  static TSocketRef Impl(const ISocketIOContextRef& aSocket);

  TSocketRef NewConnectionObj(TIdServerWSContext* AContext);
  TSocketRef NewConnectionObj(const std::string& aGUID, const std::string& aPeerIP);
  void FreeConnectionObj(const TSocketRef& aSocket);
  bool IsRegistered(const TSocketRef& aSocket) const;
  void DispatchMessage(const TSocketRef& aSocket, const std::string& aText, bool aJSON,
                       const std::string& aData, bool aAckRequested, int64_t aMsgNr);
  void DispatchSocketIOEvent(const TSocketRef& aSocket, const std::string& aData,
                             bool aAckRequested, int64_t aMsgNr);
  void HandleAcknowledgement(const TSocketRef& aSocket, const std::string& aData);
  // Takes the next message number and, with a completion callback, files the callbacks.
  int64_t PrepareMessage(const TSocketRef& aSocket, TSocketIOCallback aCallback,
                         TSocketIOError aOnError);
  void ForgetMessage(const TSocketRef& aSocket, int64_t aMsgNr);
  void ServePostBody(const TSocketRef& aSocket, const std::string& aBody);
  void EndPollingRequest(const TSocketRef& aSocket);
  void StartSweeper();  // holding FLock
  void SweepLoop();
  void StopSweeper();

  std::unique_ptr<ISocketIOContextAccess> FAccess;
  std::map<TIdServerWSContext*, TSocketRef> FConnections;
  std::map<std::string, TSocketRef> FConnectionsGUID;
  std::vector<TSocketIONotify> FOnConnectionList;
  std::vector<TSocketIONotify> FOnDisconnectList;
  std::map<std::string, std::vector<TSocketIOEvent>> FOnEventList;
  TSocketIOMsg FOnSocketIOMsg;
  TSocketIOMsgJSON FOnSocketIOJson;
  TSocketIOEventError FOnEventError;
  std::atomic<int32_t> FSocketIOMsgNr{0};
  std::map<int64_t, TSocketIOCallback> FSocketIOEventCallbackRef;
  std::map<int64_t, TSocketIOError> FSocketIOErrorRef;
  std::atomic<int> FPollingIdleTimeout{kPollingIdleTimeout_ms};
  std::thread FSweeper;
  std::mutex FSweepLock;
  std::condition_variable FSweepEvent;
  bool FSweepStop = false;
};

template <class Fn>
void TIdBaseSocketIOHandling::ForEachConnected(Fn&& fn) {
  std::lock_guard lock(FLock);
  // Copies, so that a callee that frees a connection does not invalidate the walk.
  std::vector<TSocketRef> sockets;
  for (const auto& entry : FConnections) sockets.push_back(entry.second);
  for (const auto& entry : FConnectionsGUID) sockets.push_back(entry.second);
  for (const auto& socket : sockets)
    if (!socket->IsDisconnected()) fn(ISocketIOContextRef(socket));
}

// ---- the client-side handling (its sending operations) ---------------------------------------

class TIdSocketIOHandling : public TIdBaseSocketIOHandling {
 public:
  using TIdBaseSocketIOHandling::TIdBaseSocketIOHandling;
  void Emit(const std::string& aEventName, const json::TJSONValue& aData,
            TSocketIOMsgJSON aCallback = {}, TSocketIOError aOnError = {});
  void Emit(const std::string& aEventName, const std::string& aData,
            TSocketIOMsgJSON aCallback = {}, TSocketIOError aOnError = {});
  void Send(const std::string& aMessage, TSocketIOMsgJSON aCallback = {},
            TSocketIOError aOnError = {});
  json::TJSONValue EmitSync(const std::string& aEventName, const json::TJSONValue& aData,
                            uint32_t aMaxwait_ms);
};

// Fields of a message text: n = 1 for the id, 2 for the endpoint, 3 for the data (the rest of
// the text). Empty when the text has fewer than n colons.
std::string MessageField(std::string_view aText, int n);
// The message number of an id field ("+" removed; 0 when empty or not a number), and whether
// the id asks for an acknowledgement ("5+" does, "+5" does not).
int64_t MessageNumber(std::string_view aId);
bool AckRequested(std::string_view aId);

// The completion of one outgoing message: parses the acknowledgement payload and hands it,
// with the acknowledging connection and no handle, to the caller's callback. Empty when the
// caller gave none.
TSocketIOCallback MakeCompletion(const ISocketIOContextRef& aSocket, TSocketIOMsgJSON aCallback);

// Argument texts of events (the text of a JSON array), shared by the emit operations.
std::string EventArgumentsOf(const json::TJSONValue& aData);  // one event to one peer
// One event to all peers: the text that the broadcast puts between square brackets.
std::string BroadcastTextOf(const json::TJSONValue& aData);
// A text placed between quotation marks in a message, escaped so the result stays JSON.
std::string QuotedText(const std::string& aText);

}  // namespace ws
