#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/IdIOHandlerStack.h"
#include "net/IdSocket.h"

namespace net {

// One accepted connection and the thread that serves it.
class TIdServerContext {
 public:
  explicit TIdServerContext(std::unique_ptr<TIdIOHandlerStack> connection);
  virtual ~TIdServerContext() = default;
  TIdServerContext(const TIdServerContext&) = delete;
  TIdServerContext& operator=(const TIdServerContext&) = delete;

  TIdIOHandlerStack* Connection() const { return FConnection.get(); }
  const std::string& PeerIP() const { return FPeerIP; }
  uint16_t PeerPort() const { return FPeerPort; }

  // The context served by the calling thread; null on any other thread.
  static TIdServerContext* Current();

 private:
  friend class TIdTCPServer;
  std::unique_ptr<TIdIOHandlerStack> FConnection;
  std::string FPeerIP;
  uint16_t FPeerPort = 0;
};

// Makes the IO handler of each accepted socket.
class TIdServerIOHandlerStack {
 public:
  virtual ~TIdServerIOHandlerStack() = default;
  virtual std::unique_ptr<TIdIOHandlerStack> Accept(TIdSocket socket);
};

using TIdContextClass =
    std::function<std::unique_ptr<TIdServerContext>(std::unique_ptr<TIdIOHandlerStack>)>;

// A TCP server: listening sockets on DefaultPort (0.0.0.0 and, where the stack has IPv6,
// [::]), one thread per accepted connection, the list of live contexts and its lock.
// A derived class must call SetActive(false) in its own destructor, because deactivation
// runs its hooks.
class TIdTCPServer {
 public:
  static constexpr int kListenBacklog = 15;
  static constexpr size_t kDefaultMaxConnections = 1024;

  TIdTCPServer();
  virtual ~TIdTCPServer();
  TIdTCPServer(const TIdTCPServer&) = delete;
  TIdTCPServer& operator=(const TIdTCPServer&) = delete;

  void SetDefaultPort(uint16_t port) { FDefaultPort = port; }
  uint16_t DefaultPort() const { return FDefaultPort; }
  // The port the IPv4 listener is bound to; 0 while inactive.
  uint16_t BoundPort() const { return FBoundPort; }

  // Activation throws EIdCouldNotBindSocket when the port is taken. Deactivation stops the
  // listeners, disconnects every connection (with the list locked) and joins every thread.
  void SetActive(bool active);
  bool Active() const { return FActive; }

  // Connections accepted while this many are live are closed at once, so that a flood costs
  // no more than this many threads and the server takes new ones again when it ends.
  void SetMaxConnections(size_t count) { FMaxConnections = count; }
  size_t MaxConnections() const { return FMaxConnections; }

  void SetContextClass(TIdContextClass factory) { FContextClass = std::move(factory); }
  void SetIOHandler(std::unique_ptr<TIdServerIOHandlerStack> handler);
  TIdServerIOHandlerStack* IOHandler() const { return FIOHandler.get(); }

  // The live contexts; hold ContextsLock() while walking the list.
  std::mutex& ContextsLock() { return FContextsLock; }
  const std::list<TIdServerContext*>& Contexts() const { return FContexts; }

 protected:
  // On the connection's thread, before anything is read.
  virtual void DoConnect(TIdServerContext* context);
  // On the connection's thread: serves the connection until it ends.
  virtual void DoExecute(TIdServerContext* context) = 0;
  // On the connection's thread, after the connection has ended.
  virtual void DoDisconnect(TIdServerContext* context);
  // On the deactivating thread, with the context list locked.
  virtual void DisconnectContext(TIdServerContext* context);

 private:
  struct TWorker {
    std::thread Thread;
    std::atomic<bool> Done{false};
  };

  uint16_t FDefaultPort = 0;
  std::atomic<uint16_t> FBoundPort{0};
  bool FActive = false;
  std::atomic<bool> FStopping{false};
  std::atomic<size_t> FMaxConnections{kDefaultMaxConnections};
  std::vector<TIdSocket> FListeners;
  std::vector<std::thread> FListenerThreads;
  TIdContextClass FContextClass;
  std::unique_ptr<TIdServerIOHandlerStack> FIOHandler;

  std::mutex FContextsLock;
  std::list<TIdServerContext*> FContexts;
  std::mutex FWorkersLock;
  std::list<TWorker> FWorkers;

  void StartListening();
  void StopListening();
  void ListenLoop(TIdSocket* listener);
  bool AtConnectionLimit();
  void StartConnection(TIdSocket socket);
  void ServeConnection(std::unique_ptr<TIdServerContext> context, TWorker* worker);
  void JoinWorkers(bool finishedOnly);
};

}  // namespace net
