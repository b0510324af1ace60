#pragma once

#include "net/IdTCPServer.h"

namespace ws {

// Makes the frame codec of each accepted connection: server role, Nagle switched off.
class TIdServerIOHandlerWebsocket : public net::TIdServerIOHandlerStack {
 public:
  std::unique_ptr<net::TIdIOHandlerStack> Accept(net::TIdSocket socket) override;
};

}  // namespace ws
