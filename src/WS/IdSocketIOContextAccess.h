#pragma once

#include <memory>

#include "WS/IdSocketIOHandling.h"

namespace ws {

// The Socket.IO layer's way to the WebSocket server's connection contexts
// (TIdServerWSContext and its codec).
std::unique_ptr<ISocketIOContextAccess> MakeServerContextAccess();

}  // namespace ws
