#include "net/IdSocket.h"

#include <cstring>
#include <utility>

#include "net/IdException.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <cerrno>
#endif

namespace net {
namespace {

#ifdef _WIN32
using TSockLen = int;
int LastError() {
  return WSAGetLastError();
}
bool IsAddrInUse(int code) {
  return code == WSAEADDRINUSE || code == WSAEACCES;
}
bool IsNoFamily(int code) {
  return code == WSAEAFNOSUPPORT || code == WSAEPROTONOSUPPORT;
}
bool IsInterrupted(int) {
  return false;
}
std::string ErrorText(int code) {
  char* text = nullptr;
  FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, DWORD(code), 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string result = text ? text : "";
  if (text) LocalFree(text);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r')) result.pop_back();
  return result;
}
bool StartStack() {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}
void StopStack() {
  WSACleanup();
}
constexpr int kSendFlags = 0;
#else
using TSockLen = socklen_t;
int LastError() {
  return errno;
}
bool IsAddrInUse(int code) {
  return code == EADDRINUSE || code == EACCES;
}
bool IsNoFamily(int code) {
  return code == EAFNOSUPPORT || code == EPROTONOSUPPORT;
}
bool IsInterrupted(int code) {
  return code == EINTR;
}
std::string ErrorText(int code) {
  return std::strerror(code);
}
bool StartStack() {
  return true;
}
void StopStack() {}
constexpr int kSendFlags = MSG_NOSIGNAL;  // a peer gone must not raise SIGPIPE
#endif

[[noreturn]] void RaiseSocketError(int code) {
  throw EIdSocketError(code, "Socket Error # " + std::to_string(code) + "\n" + ErrorText(code));
}

std::string AddressText(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET) {
    auto* in = reinterpret_cast<const sockaddr_in*>(&address);
    inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
  } else if (address.ss_family == AF_INET6) {
    auto* in6 = reinterpret_cast<const sockaddr_in6*>(&address);
    inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
  }
  return text;
}

uint16_t AddressPort(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
  }
  if (address.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
  }
  return 0;
}

}  // namespace

TIdSocket::THandle TIdSocket::InvalidHandle() {
#ifdef _WIN32
  return THandle(INVALID_SOCKET);
#else
  return -1;
#endif
}

TIdSocket::TIdSocket(THandle handle) : FHandle(handle) {}

TIdSocket::~TIdSocket() {
  Close();
}

TIdSocket::TIdSocket(TIdSocket&& other) noexcept
    : FHandle(std::exchange(other.FHandle, InvalidHandle())),
      FStackRef(std::exchange(other.FStackRef, false)),
      FShutdown(other.FShutdown.exchange(false)) {}

TIdSocket& TIdSocket::operator=(TIdSocket&& other) noexcept {
  if (this != &other) {
    Close();
    FHandle = std::exchange(other.FHandle, InvalidHandle());
    FStackRef = std::exchange(other.FStackRef, false);
    FShutdown = other.FShutdown.exchange(false);
  }
  return *this;
}

bool TIdSocket::Valid() const {
  return FHandle != InvalidHandle();
}

TIdSocket TIdSocket::Listen(bool ipv6, uint16_t port, int backlog) {
  TIdSocket result;
  result.FStackRef = StartStack();
  if (!result.FStackRef) RaiseSocketError(LastError());
  int family = ipv6 ? AF_INET6 : AF_INET;
  result.FHandle = THandle(::socket(family, SOCK_STREAM, IPPROTO_TCP));
  if (!result.Valid()) {
    int code = LastError();
    if (IsNoFamily(code)) return TIdSocket();
    RaiseSocketError(code);
  }
  int on = 1;
#ifdef _WIN32
  // Windows' SO_REUSEADDR would let another process take the port; refuse sharing instead.
  setsockopt(result.FHandle, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<char*>(&on),
             sizeof on);
#else
  // Lets a restarted server bind while old connections linger in TIME_WAIT.
  setsockopt(result.FHandle, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
#endif
  sockaddr_storage address{};
  TSockLen length;
  if (ipv6) {
    setsockopt(result.FHandle, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<char*>(&on), sizeof on);
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
    in6->sin6_family = AF_INET6;
    in6->sin6_addr = in6addr_any;
    in6->sin6_port = htons(port);
    length = sizeof(sockaddr_in6);
  } else {
    auto* in = reinterpret_cast<sockaddr_in*>(&address);
    in->sin_family = AF_INET;
    in->sin_addr.s_addr = htonl(INADDR_ANY);
    in->sin_port = htons(port);
    length = sizeof(sockaddr_in);
  }
  if (::bind(result.FHandle, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    int code = LastError();
    if (IsAddrInUse(code)) throw EIdCouldNotBindSocket();
#ifndef _WIN32
    if (ipv6 && code == EADDRNOTAVAIL) return TIdSocket();  // IPv6 switched off
#endif
    RaiseSocketError(code);
  }
  if (::listen(result.FHandle, backlog) != 0) RaiseSocketError(LastError());
  return result;
}

TIdSocket TIdSocket::Connect(const std::string& ip, uint16_t port) {
  TIdSocket result;
  result.FStackRef = StartStack();
  if (!result.FStackRef) RaiseSocketError(LastError());
  sockaddr_storage address{};
  TSockLen length;
  auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
  auto* in = reinterpret_cast<sockaddr_in*>(&address);
  if (inet_pton(AF_INET6, ip.c_str(), &in6->sin6_addr) == 1) {
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    length = sizeof(sockaddr_in6);
  } else if (inet_pton(AF_INET, ip.c_str(), &in->sin_addr) == 1) {
    in->sin_family = AF_INET;
    in->sin_port = htons(port);
    length = sizeof(sockaddr_in);
  } else {
    throw EIdException("Invalid address: " + ip);
  }
  result.FHandle = THandle(::socket(address.ss_family, SOCK_STREAM, IPPROTO_TCP));
  if (!result.Valid()) RaiseSocketError(LastError());
  if (::connect(result.FHandle, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    RaiseSocketError(LastError());
  }
  return result;
}

TIdSocket TIdSocket::Accept() {
  for (;;) {
    THandle handle = THandle(::accept(FHandle, nullptr, nullptr));
    if (handle != InvalidHandle()) {
      TIdSocket result(handle);
      result.FStackRef = StartStack();
      return result;
    }
    if (!IsInterrupted(LastError())) return TIdSocket();
  }
}

int TIdSocket::Recv(char* buffer, int len) {
  if (!Valid()) throw EIdClosedSocket();
#ifdef _WIN32
  WaitReadable(-1);
  if (FShutdown) return 0;  // shut down while waiting: the end of the stream
#endif
  for (;;) {
    auto received = ::recv(FHandle, buffer, len, 0);
    if (received >= 0) return int(received);
    int code = LastError();
    if (!IsInterrupted(code)) RaiseSocketError(code);
  }
}

void TIdSocket::SendAll(std::string_view data) {
  if (!Valid()) throw EIdClosedSocket();
  while (!data.empty()) {
    auto sent = ::send(FHandle, data.data(), int(data.size()), kSendFlags);
    if (sent < 0) {
      int code = LastError();
      if (IsInterrupted(code)) continue;
      RaiseSocketError(code);
    }
    data.remove_prefix(size_t(sent));
  }
}

bool TIdSocket::WaitReadable(int milliseconds) {
  if (!Valid()) return true;
#ifdef _WIN32
  constexpr int kSliceMs = 100;
  for (int left = milliseconds;;) {
    if (FShutdown) return true;  // a read now ends at once
    int slice = left < 0 || left > kSliceMs ? kSliceMs : left;
    fd_set readSet;
    FD_ZERO(&readSet);
    FD_SET(SOCKET(FHandle), &readSet);
    timeval timeout{0, slice * 1000};
    int ready = ::select(0, &readSet, nullptr, nullptr, &timeout);
    if (ready != 0) return true;
    if (left >= 0 && (left -= slice) <= 0) return false;
  }
#else
  pollfd entry{FHandle, POLLIN, 0};
  for (;;) {
    int ready = ::poll(&entry, 1, milliseconds);
    if (ready >= 0) return ready > 0;
    if (!IsInterrupted(LastError())) return true;
  }
#endif
}

void TIdSocket::SetSendTimeout(int milliseconds) {
#ifdef _WIN32
  DWORD value = DWORD(milliseconds);
  setsockopt(FHandle, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<char*>(&value), sizeof value);
#else
  timeval value{milliseconds / 1000, (milliseconds % 1000) * 1000};
  setsockopt(FHandle, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof value);
#endif
}

int TIdSocket::SendTimeout() const {
#ifdef _WIN32
  DWORD value = 0;
  int length = sizeof value;
  getsockopt(FHandle, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<char*>(&value), &length);
  return int(value);
#else
  timeval value{};
  socklen_t length = sizeof value;
  getsockopt(FHandle, SOL_SOCKET, SO_SNDTIMEO, &value, &length);
  return int(value.tv_sec * 1000 + value.tv_usec / 1000);
#endif
}

void TIdSocket::SetNoDelay(bool on) {
  int value = on ? 1 : 0;
  setsockopt(FHandle, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&value), sizeof value);
}

bool TIdSocket::NoDelay() const {
  int value = 0;
  TSockLen length = sizeof value;
  getsockopt(FHandle, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&value), &length);
  return value != 0;
}

bool TIdSocket::PendingError(int& error) const {
  if (!Valid()) return false;
  int value = 0;
  TSockLen length = sizeof value;
  if (getsockopt(FHandle, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&value), &length) != 0) {
    return false;
  }
  error = value;
  return true;
}

void TIdSocket::Shutdown() {
  if (!Valid()) return;
  FShutdown = true;
#ifdef _WIN32
  ::shutdown(FHandle, SD_BOTH);
#else
  ::shutdown(FHandle, SHUT_RDWR);
#endif
}

void TIdSocket::ShutdownSend() {
  if (!Valid()) return;
#ifdef _WIN32
  ::shutdown(FHandle, SD_SEND);
#else
  ::shutdown(FHandle, SHUT_WR);
#endif
}

void TIdSocket::Close() {
  if (Valid()) {
#ifdef _WIN32
    ::closesocket(FHandle);
#else
    ::close(FHandle);
#endif
    FHandle = InvalidHandle();
  }
  if (FStackRef) {
    StopStack();
    FStackRef = false;
  }
}

uint16_t TIdSocket::LocalPort() const {
  sockaddr_storage address{};
  TSockLen length = sizeof address;
  if (getsockname(FHandle, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return AddressPort(address);
}

std::string TIdSocket::PeerIP() const {
  sockaddr_storage address{};
  TSockLen length = sizeof address;
  if (getpeername(FHandle, reinterpret_cast<sockaddr*>(&address), &length) != 0) return "";
  return AddressText(address);
}

uint16_t TIdSocket::PeerPort() const {
  sockaddr_storage address{};
  TSockLen length = sizeof address;
  if (getpeername(FHandle, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return AddressPort(address);
}

}  // namespace net
