#include "net/IdIOHandlerStack.h"

#include <algorithm>

#include "net/IdException.h"

namespace net {

TIdIOHandlerStack::TIdIOHandlerStack(TIdSocket socket) : FSocket(std::move(socket)) {}

void TIdIOHandlerStack::ReadBytes(std::string& buffer, size_t count, bool append) {
  while (FInputBuffer.size() < count) {
    if (!CheckForDataOnSource()) throw EIdConnClosedGracefully();
  }
  if (!append) buffer.clear();
  buffer.append(FInputBuffer, 0, count);
  FInputBuffer.erase(0, count);
}

uint32_t TIdIOHandlerStack::ReadUInt32() {
  while (FInputBuffer.size() < 4) {
    if (!CheckForDataOnSource()) throw EIdConnClosedGracefully();
  }
  const auto* bytes = reinterpret_cast<const uint8_t*>(FInputBuffer.data());
  uint32_t value = uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 |
                   uint32_t(bytes[3]);
  FInputBuffer.erase(0, 4);
  return value;
}

bool TIdIOHandlerStack::CheckForDataOnSource() {
  if (FClosedGracefully || !FOpened) throw EIdClosedSocket();
  if (ReadDataFromSource() > 0) return true;
  FClosedGracefully = true;
  return false;
}

void TIdIOHandlerStack::WriteBytes(std::string_view bytes) {
  do {
    size_t block = std::min(bytes.size(), kSendBufferSize);
    WriteDataToTarget(bytes.substr(0, block));
    bytes.remove_prefix(block);
  } while (!bytes.empty());
}

bool TIdIOHandlerStack::Connected() {
  return FOpened && !FClosedGracefully && FSocket.Valid();
}

void TIdIOHandlerStack::Close() {
  FOpened = false;
  FSocket.Shutdown();
}

bool TIdIOHandlerStack::Readable(int milliseconds) {
  return FSocket.WaitReadable(milliseconds);
}

size_t TIdIOHandlerStack::ReadDataFromSource() {
  return ReadRawBytes(FInputBuffer);
}

void TIdIOHandlerStack::WriteDataToTarget(std::string_view block) {
  SendRawBytes(block);
}

size_t TIdIOHandlerStack::ReadRawBytes(std::string& into) {
  char buffer[kRecvBufferSize];
  try {
    int received = FSocket.Recv(buffer, int(sizeof buffer));
    into.append(buffer, size_t(received));
    return size_t(received);
  } catch (const EIdException&) {
    FClosedGracefully = true;
    throw;
  }
}

void TIdIOHandlerStack::SendRawBytes(std::string_view bytes) {
  if (FClosedGracefully || !FOpened) throw EIdClosedSocket();
  try {
    FSocket.SendAll(bytes);
  } catch (const EIdException&) {
    FClosedGracefully = true;
    throw;
  }
}

}  // namespace net
