#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace net {

// One TCP socket, Winsock or POSIX. Owns its handle and closes it on destruction.
// Shutdown may be called from another thread to wake a thread blocked in Recv or Accept;
// everything else belongs to the thread that owns the object.
class TIdSocket {
 public:
#ifdef _WIN32
  using THandle = uintptr_t;
#else
  using THandle = int;
#endif

  TIdSocket() = default;
  ~TIdSocket();
  TIdSocket(TIdSocket&& other) noexcept;
  TIdSocket& operator=(TIdSocket&& other) noexcept;
  TIdSocket(const TIdSocket&) = delete;
  TIdSocket& operator=(const TIdSocket&) = delete;

  // A listening socket on every interface of the family (0.0.0.0 or [::], the latter with
  // IPV6_V6ONLY). Throws EIdCouldNotBindSocket when the port is taken; returns an invalid
  // socket when the stack has no such family.
  static TIdSocket Listen(bool ipv6, uint16_t port, int backlog);
  // A connected client socket (used by tests and tools).
  static TIdSocket Connect(const std::string& ip, uint16_t port);

  bool Valid() const;
  // Waits for a connection; an invalid socket when the listener was shut down or failed.
  TIdSocket Accept();

  // Bytes received (at most len), 0 at end of stream; throws EIdSocketError.
  int Recv(char* buffer, int len);
  // Sends everything, send after send; throws EIdSocketError (a send timeout included).
  void SendAll(std::string_view data);
  // True when a receive would not block (data, end of stream or an error); false on timeout.
  // A negative timeout waits without limit.
  bool WaitReadable(int milliseconds);

  void SetSendTimeout(int milliseconds);
  int SendTimeout() const;
  void SetNoDelay(bool on);
  bool NoDelay() const;
  // SO_ERROR; false when it cannot be read.
  bool PendingError(int& error) const;

  void Shutdown();
  // Ends sending only: the peer reads the end of the stream after what was sent.
  void ShutdownSend();
  void Close();

  uint16_t LocalPort() const;
  std::string PeerIP() const;
  uint16_t PeerPort() const;

 private:
  explicit TIdSocket(THandle handle);
  THandle FHandle = InvalidHandle();
  bool FStackRef = false;  // Winsock was started for this socket
  // Set by Shutdown. Winsock's shutdown does not wake a thread blocked in recv, so there the
  // blocking calls wait in slices and look at this flag between them.
  std::atomic<bool> FShutdown{false};

  static THandle InvalidHandle();
};

}  // namespace net
