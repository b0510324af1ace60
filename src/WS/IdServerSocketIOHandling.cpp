#include "WS/IdServerSocketIOHandling.h"

#include <mutex>

namespace ws {

ISocketIOContextRef TIdServerSocketIOHandling::RegisteredFor(TIdServerWSContext* aContext) {
  ISocketIOContextRef socket = GetSocketIOContext(aContext);
  if (!socket) throw EIdSocketIoUnhandledMessage("No socket.io connection for this context");
  return socket;
}

void TIdServerSocketIOHandling::EmitEventTo(const ISocketIOContextRef& aContext,
                                            const std::string& aEventName,
                                            const json::TJSONValue& aData,
                                            TSocketIOMsgJSON aCallback, TSocketIOError aOnError) {
  if (!aContext || aContext->IsDisconnected())
    throw EIdSocketIoUnhandledMessage("socket.io connection closed!");
  WriteEventMessage(aContext, "", aEventName, EventArgumentsOf(aData),
                    MakeCompletion(aContext, std::move(aCallback)), std::move(aOnError));
}

void TIdServerSocketIOHandling::EmitEventTo(TIdServerWSContext* aContext,
                                            const std::string& aEventName,
                                            const json::TJSONValue& aData,
                                            TSocketIOMsgJSON aCallback, TSocketIOError aOnError) {
  std::lock_guard lock(FLock);
  EmitEventTo(RegisteredFor(aContext), aEventName, aData, std::move(aCallback),
              std::move(aOnError));
}

int TIdServerSocketIOHandling::EmitEventToAll(const std::string& aEventName,
                                              const json::TJSONValue& aData,
                                              TSocketIOMsgJSON aCallback, TSocketIOError aOnError) {
  return EmitEventToAll(aEventName, BroadcastTextOf(aData), std::move(aCallback),
                        std::move(aOnError));
}

int TIdServerSocketIOHandling::EmitEventToAll(const std::string& aEventName,
                                              const std::string& aData, TSocketIOMsgJSON aCallback,
                                              TSocketIOError aOnError) {
  const std::string arguments = "[" + aData + "]";
  int count = 0;
  ForEachConnected([&](const ISocketIOContextRef& socket) {
    try {
      WriteEventMessage(socket, "", aEventName, arguments, MakeCompletion(socket, aCallback),
                        aOnError);
    } catch (...) {
    }
    ++count;
  });
  return count;
}

void TIdServerSocketIOHandling::SendTo(TIdServerWSContext* aContext, const std::string& aMessage,
                                       TSocketIOMsgJSON aCallback, TSocketIOError aOnError) {
  std::lock_guard lock(FLock);
  const ISocketIOContextRef socket = RegisteredFor(aContext);
  if (socket->IsDisconnected()) throw EIdSocketIoUnhandledMessage("socket.io connection closed!");
  WriteTextMessage(socket, "", aMessage, MakeCompletion(socket, std::move(aCallback)),
                   std::move(aOnError));
}

int TIdServerSocketIOHandling::SendToAll(const std::string& aMessage, TSocketIOMsgJSON aCallback,
                                         TSocketIOError aOnError) {
  int count = 0;
  ForEachConnected([&](const ISocketIOContextRef& socket) {
    WriteTextMessage(socket, "", aMessage, MakeCompletion(socket, aCallback), aOnError);
    ++count;
  });
  return count;
}

void TIdServerSocketIOHandling::HandleHeartbeat(const std::shared_ptr<TSocketIOContext>& aSocket,
                                                const std::string& aText) {
  TIdBaseSocketIOHandling::HandleHeartbeat(aSocket, aText);
}

}  // namespace ws
