#pragma once

#include <stdexcept>
#include <string>

namespace net {

// The network layers' failures. Each carries its class name, because some of those names
// reach peers (error replies) and callbacks.
class EIdException : public std::runtime_error {
 public:
  explicit EIdException(const std::string& message) : std::runtime_error(message) {}
  virtual const char* ClassName() const { return "EIdException"; }
};

// A failure that ends a connection without anything being written to it.
class EIdSilentException : public EIdException {
 public:
  using EIdException::EIdException;
  const char* ClassName() const override { return "EIdSilentException"; }
};

// The peer closed the connection, or it was closed here.
class EIdConnClosedGracefully : public EIdSilentException {
 public:
  EIdConnClosedGracefully() : EIdSilentException("Connection Closed Gracefully.") {}
  const char* ClassName() const override { return "EIdConnClosedGracefully"; }
};

// A failure of the connection's socket handling.
class EIdSocketHandleError : public EIdException {
 public:
  using EIdException::EIdException;
  const char* ClassName() const override { return "EIdSocketHandleError"; }
};

// A socket call failed; Code is the platform's error number.
class EIdSocketError : public EIdException {
 public:
  EIdSocketError(int code, const std::string& message) : EIdException(message), Code(code) {}
  const char* ClassName() const override { return "EIdSocketError"; }
  const int Code;
};

// A write or read on a connection that has already been closed.
class EIdClosedSocket : public EIdException {
 public:
  EIdClosedSocket() : EIdException("Disconnected.") {}
  const char* ClassName() const override { return "EIdClosedSocket"; }
};

// A listening socket could not be bound.
class EIdCouldNotBindSocket : public EIdException {
 public:
  EIdCouldNotBindSocket()
      : EIdException("Could not bind socket. Address and port are already in use.") {}
  const char* ClassName() const override { return "EIdCouldNotBindSocket"; }
};

// An internal consistency check failed on input from the peer.
class EIdAssertionFailed : public EIdException {
 public:
  EIdAssertionFailed() : EIdException("Assertion failure") {}
  const char* ClassName() const override { return "EIdAssertionFailed"; }
};

}  // namespace net
