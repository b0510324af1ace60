#include "net/IdTCPServer.h"

#include <algorithm>

#include "net/IdException.h"

namespace net {
namespace {

thread_local TIdServerContext* tCurrentContext = nullptr;

constexpr int kAcceptPollMs = 250;
constexpr int kBindAttempts = 5;

}  // namespace

TIdServerContext::TIdServerContext(std::unique_ptr<TIdIOHandlerStack> connection)
    : FConnection(std::move(connection)) {
  FPeerIP = FConnection->Socket().PeerIP();
  FPeerPort = FConnection->Socket().PeerPort();
}

TIdServerContext* TIdServerContext::Current() {
  return tCurrentContext;
}

std::unique_ptr<TIdIOHandlerStack> TIdServerIOHandlerStack::Accept(TIdSocket socket) {
  return std::make_unique<TIdIOHandlerStack>(std::move(socket));
}

TIdTCPServer::TIdTCPServer()
    : FContextClass([](std::unique_ptr<TIdIOHandlerStack> connection) {
        return std::make_unique<TIdServerContext>(std::move(connection));
      }),
      FIOHandler(std::make_unique<TIdServerIOHandlerStack>()) {}

TIdTCPServer::~TIdTCPServer() {
  SetActive(false);
}

void TIdTCPServer::SetIOHandler(std::unique_ptr<TIdServerIOHandlerStack> handler) {
  FIOHandler = std::move(handler);
}

void TIdTCPServer::SetActive(bool active) {
  if (active == FActive) return;
  if (active) {
    StartListening();
    FActive = true;
    return;
  }
  FActive = false;
  StopListening();
  {
    std::lock_guard<std::mutex> guard(FContextsLock);
    for (TIdServerContext* context : FContexts) {
      try {
        DisconnectContext(context);
      } catch (const std::exception&) {
        // A connection that cannot be closed cleanly is shut down below by its own thread.
      }
    }
  }
  JoinWorkers(false);
}

void TIdTCPServer::DoConnect(TIdServerContext*) {}
void TIdTCPServer::DoDisconnect(TIdServerContext*) {}

void TIdTCPServer::DisconnectContext(TIdServerContext* context) {
  context->Connection()->Close();
}

void TIdTCPServer::StartListening() {
  FStopping = false;
  // With port 0 the IPv6 listener takes the port the IPv4 one got; another program may hold
  // that one on IPv6, so a few fresh ports are tried.
  for (int attempt = 1;; ++attempt) {
    std::vector<TIdSocket> listeners;
    listeners.push_back(TIdSocket::Listen(false, FDefaultPort, kListenBacklog));
    uint16_t port = listeners.front().LocalPort();
    try {
      TIdSocket v6 = TIdSocket::Listen(true, port, kListenBacklog);
      if (v6.Valid()) listeners.push_back(std::move(v6));
    } catch (const EIdCouldNotBindSocket&) {
      if (FDefaultPort != 0 || attempt == kBindAttempts) throw;
      continue;
    }
    FListeners = std::move(listeners);
    FBoundPort = port;
    break;
  }
  for (TIdSocket& listener : FListeners) {
    FListenerThreads.emplace_back([this, &listener] { ListenLoop(&listener); });
  }
}

void TIdTCPServer::StopListening() {
  FStopping = true;
  for (TIdSocket& listener : FListeners) listener.Shutdown();
  for (std::thread& thread : FListenerThreads) thread.join();
  FListenerThreads.clear();
  FListeners.clear();
  FBoundPort = 0;
}

void TIdTCPServer::ListenLoop(TIdSocket* listener) {
  while (!FStopping) {
    if (!listener->WaitReadable(kAcceptPollMs)) continue;
    if (FStopping) break;
    TIdSocket socket = listener->Accept();
    JoinWorkers(true);
    if (!socket.Valid() || FStopping) continue;
    if (AtConnectionLimit()) continue;  // the socket is closed as it goes
    try {
      StartConnection(std::move(socket));
    } catch (const std::exception&) {
      // The connection is dropped; the listener goes on.
    }
  }
}

bool TIdTCPServer::AtConnectionLimit() {
  std::lock_guard<std::mutex> guard(FContextsLock);
  return FContexts.size() >= FMaxConnections;
}

void TIdTCPServer::StartConnection(TIdSocket socket) {
  std::unique_ptr<TIdServerContext> context = FContextClass(FIOHandler->Accept(std::move(socket)));
  {
    std::lock_guard<std::mutex> guard(FContextsLock);
    FContexts.push_back(context.get());
  }
  TIdServerContext* listed = context.get();
  std::lock_guard<std::mutex> guard(FWorkersLock);
  TWorker& worker = FWorkers.emplace_back();
  try {
    worker.Thread = std::thread(
        [this, &worker](std::unique_ptr<TIdServerContext> owned) {
          ServeConnection(std::move(owned), &worker);
        },
        std::move(context));
  } catch (...) {
    // No thread: the context went with the thread's arguments.
    FWorkers.pop_back();
    std::lock_guard<std::mutex> contexts(FContextsLock);
    FContexts.remove(listed);
    throw;
  }
}

void TIdTCPServer::ServeConnection(std::unique_ptr<TIdServerContext> context, TWorker* worker) {
  tCurrentContext = context.get();
  try {
    DoConnect(context.get());
    DoExecute(context.get());
  } catch (const std::exception&) {
    // A failure on a connection's thread ends that connection only.
  }
  try {
    context->Connection()->Close();
    DoDisconnect(context.get());
  } catch (const std::exception&) {
  }
  {
    std::lock_guard<std::mutex> guard(FContextsLock);
    FContexts.remove(context.get());
  }
  context.reset();
  tCurrentContext = nullptr;
  worker->Done = true;
}

void TIdTCPServer::JoinWorkers(bool finishedOnly) {
  std::list<TWorker> ended;
  {
    std::lock_guard<std::mutex> guard(FWorkersLock);
    for (auto it = FWorkers.begin(); it != FWorkers.end();) {
      auto next = std::next(it);
      if (!finishedOnly || it->Done) ended.splice(ended.end(), FWorkers, it);
      it = next;
    }
  }
  for (TWorker& worker : ended) {
    if (worker.Thread.joinable()) worker.Thread.join();
  }
}

}  // namespace net
