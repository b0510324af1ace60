#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "net/IdSocket.h"

namespace net {

// The reader and writer of one connection over a socket: an input buffer of received bytes
// and generic read and write operations built on two hooks, a receive hook that fetches more
// input and a send hook that writes a block of bytes. Subclasses replace the hooks to change
// what travels on the wire.
class TIdIOHandlerStack {
 public:
  static constexpr size_t kRecvBufferSize = 32768;
  static constexpr size_t kSendBufferSize = 32768;

  explicit TIdIOHandlerStack(TIdSocket socket);
  virtual ~TIdIOHandlerStack() = default;
  TIdIOHandlerStack(const TIdIOHandlerStack&) = delete;
  TIdIOHandlerStack& operator=(const TIdIOHandlerStack&) = delete;

  TIdSocket& Socket() { return FSocket; }
  // Received bytes not yet taken by a read.
  std::string& InputBuffer() { return FInputBuffer; }

  // Generic reads: each calls the receive hook until the input buffer holds enough, and
  // raises EIdConnClosedGracefully when the hook reports end of input.
  void ReadBytes(std::string& buffer, size_t count, bool append = true);
  uint32_t ReadUInt32();  // most significant byte first
  // One call of the receive hook; false at end of input.
  bool CheckForDataOnSource();

  // Generic write: the bytes go to the send hook in blocks of at most kSendBufferSize.
  void WriteBytes(std::string_view bytes);

  virtual bool Connected();
  virtual void Close();
  virtual bool Readable(int milliseconds);

  bool Opened() const { return FOpened; }
  bool ClosedGracefully() const { return FClosedGracefully; }
  void MarkClosedGracefully() { FClosedGracefully = true; }
  // Any thread: ends the connection's traffic so that a thread blocked in a read wakes up.
  void ShutdownSocket() { FSocket.Shutdown(); }

 protected:
  // Receive hook: appends newly received bytes to the input buffer; the number appended,
  // 0 at end of input.
  virtual size_t ReadDataFromSource();
  // Send hook: writes one block.
  virtual void WriteDataToTarget(std::string_view block);

  // One socket receive of at most kRecvBufferSize bytes appended to `into`; 0 at end of
  // stream. Raises the socket failure and marks the connection closed on error.
  size_t ReadRawBytes(std::string& into);
  void SendRawBytes(std::string_view bytes);

 private:
  TIdSocket FSocket;
  std::string FInputBuffer;
  std::atomic<bool> FOpened{true};
  std::atomic<bool> FClosedGracefully{false};
};

}  // namespace net
