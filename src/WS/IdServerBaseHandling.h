#pragma once

namespace ws {

// The common base of the WebSocket and the Socket.IO handling.
class TIdServerBaseHandling {
 public:
  virtual ~TIdServerBaseHandling() = default;
};

}  // namespace ws
