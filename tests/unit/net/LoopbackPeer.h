#pragma once

// A raw TCP peer on the loopback for tests: sends bytes and reads what arrives, with time
// limits so that a fault shows as a failure rather than a hang.

#include <chrono>
#include <string>
#include <string_view>
#include <thread>

#include "net/IdException.h"
#include "net/IdSocket.h"

namespace testpeer {

class TLoopbackPeer {
 public:
  static constexpr int kWaitMs = 5000;

  TLoopbackPeer(const std::string& ip, uint16_t port)
      : FSocket(net::TIdSocket::Connect(ip, port)) {}
  explicit TLoopbackPeer(net::TIdSocket socket) : FSocket(std::move(socket)) {}

  net::TIdSocket& Socket() { return FSocket; }
  void Send(std::string_view bytes) { FSocket.SendAll(bytes); }

  // Reads until `count` bytes are buffered or the time is up; takes what there is.
  std::string Read(size_t count, int milliseconds = kWaitMs) {
    auto deadline = Deadline(milliseconds);
    while (FBuffer.size() < count && Fill(deadline)) {
    }
    return Take(std::min(count, FBuffer.size()));
  }
  // Reads up to and including `marker`; empty when it does not come.
  std::string ReadUntil(std::string_view marker, int milliseconds = kWaitMs) {
    auto deadline = Deadline(milliseconds);
    size_t at;
    while ((at = FBuffer.find(marker)) == std::string::npos) {
      if (!Fill(deadline)) return "";
    }
    return Take(at + marker.size());
  }
  // Everything until the peer closes (or the time is up).
  std::string ReadToEnd(int milliseconds = kWaitMs) {
    auto deadline = Deadline(milliseconds);
    while (Fill(deadline)) {
    }
    return Take(FBuffer.size());
  }
  // True when the peer closed the connection within the time.
  bool WaitClosed(int milliseconds = kWaitMs) {
    auto deadline = Deadline(milliseconds);
    while (!FEnded && Fill(deadline)) {
    }
    return FEnded;
  }
  bool Ended() const { return FEnded; }
  size_t Buffered() const { return FBuffer.size(); }

 private:
  net::TIdSocket FSocket;
  std::string FBuffer;
  bool FEnded = false;

  static std::chrono::steady_clock::time_point Deadline(int milliseconds) {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  }
  bool Fill(std::chrono::steady_clock::time_point deadline) {
    if (FEnded) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !FSocket.WaitReadable(int(left.count()))) return false;
    char chunk[65536];
    int received = 0;
    try {
      received = FSocket.Recv(chunk, int(sizeof chunk));
    } catch (const net::EIdException&) {
      received = 0;  // a reset counts as the end
    }
    if (received == 0) {
      FEnded = true;
      return false;
    }
    FBuffer.append(chunk, size_t(received));
    return true;
  }
  std::string Take(size_t count) {
    std::string out = FBuffer.substr(0, count);
    FBuffer.erase(0, count);
    return out;
  }
};

// Polls `condition` until it holds or the time is up.
template <typename Condition>
bool WaitFor(Condition condition, int milliseconds = TLoopbackPeer::kWaitMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace testpeer
