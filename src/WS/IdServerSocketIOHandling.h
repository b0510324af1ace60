#pragma once

// The server's Socket.IO handling: the message layer of IdSocketIOHandling plus the operations
// that emit events and send messages to one or all Socket.IO connections. The WebSocket
// server owns one TIdServerSocketIOHandling_Ext and hands it its Socket.IO connections.

#include <string>

#include "WS/IdSocketIOHandling.h"
#include "json/JsonValue.h"

namespace ws {

class TIdServerSocketIOHandling : public TIdBaseSocketIOHandling {
 public:
  using TIdBaseSocketIOHandling::TIdBaseSocketIOHandling;

  // One event to one connection. Fails with EIdSocketIoUnhandledMessage when it is
  // disconnected, or (by context) when no connection is registered for the context.
  void EmitEventTo(const ISocketIOContextRef& aContext, const std::string& aEventName,
                   const json::TJSONValue& aData, TSocketIOMsgJSON aCallback = {},
                   TSocketIOError aOnError = {});
  void EmitEventTo(TIdServerWSContext* aContext, const std::string& aEventName,
                   const json::TJSONValue& aData, TSocketIOMsgJSON aCallback = {},
                   TSocketIOError aOnError = {});
  // One event to every connected connection; a failed write is skipped (and still counted).
  // Returns the number of connections.
  int EmitEventToAll(const std::string& aEventName, const json::TJSONValue& aData,
                     TSocketIOMsgJSON aCallback = {}, TSocketIOError aOnError = {});
  int EmitEventToAll(const std::string& aEventName, const std::string& aData,
                     TSocketIOMsgJSON aCallback = {}, TSocketIOError aOnError = {});
  // One text message to one connection, or to all (a failed write ends that broadcast).
  void SendTo(TIdServerWSContext* aContext, const std::string& aMessage,
              TSocketIOMsgJSON aCallback = {}, TSocketIOError aOnError = {});
  int SendToAll(const std::string& aMessage, TSocketIOMsgJSON aCallback = {},
                TSocketIOError aOnError = {});

 protected:
  void HandleHeartbeat(const std::shared_ptr<TSocketIOContext>& aSocket,
                       const std::string& aText) override;

 private:
  ISocketIOContextRef RegisteredFor(TIdServerWSContext* aContext);
};

// The class the server instantiates.
class TIdServerSocketIOHandling_Ext : public TIdServerSocketIOHandling {
 public:
  using TIdServerSocketIOHandling::TIdServerSocketIOHandling;
};

}  // namespace ws
