#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/IdHTTPServer.h"
#include "net/LoopbackPeer.h"

namespace {

using testpeer::TLoopbackPeer;
using testpeer::WaitFor;

// The plain HTTP server with its default page, on a free port.
class TPageServer : public net::TIdHTTPServer {
 public:
  TPageServer() {
    SetDefaultPort(0);
    SetRequestTimeout(300);
  }
  ~TPageServer() override { SetActive(false); }
  size_t ContextCount() {
    std::lock_guard<std::mutex> guard(ContextsLock());
    return Contexts().size();
  }
};

class HostileHTTPClient : public ::testing::Test {
 protected:
  TPageServer FServer;
  void SetUp() override { FServer.SetActive(true); }
  std::unique_ptr<TLoopbackPeer> Peer() {
    return std::make_unique<TLoopbackPeer>("127.0.0.1", FServer.BoundPort());
  }
};

// Whatever a peer has sent, a request not complete in time ends the connection unanswered.
TEST_F(HostileHTTPClient, ARequestNotCompleteInTimeClosesTheConnection) {
  struct {
    const char* name;
    std::string sent;
  } const cases[] = {
      {"nothing at all", ""},
      {"half a head", "GET / HTTP/1.1\r\nHost: 127.0.0.1"},
      {"a head without its body", "POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc"},
      {"a second request cut short", "GET / HTTP/1.1\r\nConnection: keep-alive\r\n\r\nGET /"},
  };
  for (const auto& c : cases) {
    auto peer = Peer();
    peer->Send(c.sent);
    EXPECT_TRUE(peer->WaitClosed(3000)) << c.name;
  }
  EXPECT_TRUE(WaitFor([&] { return FServer.ContextCount() == 0; })) << "threads left";
}

// A peer that keeps sending one byte at a time cannot stretch the time it is given.
TEST_F(HostileHTTPClient, ATricklingHeadIsCutOffAtTheDeadline) {
  auto peer = Peer();
  const auto start = std::chrono::steady_clock::now();
  try {
    for (int i = 0; i < 40 && !peer->WaitClosed(50); ++i) peer->Send("X");
  } catch (const net::EIdException&) {
    // the server closed while we were sending
  }
  EXPECT_TRUE(peer->WaitClosed(3000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
}

// A request that arrives in pieces, within the time, is served as before.
TEST_F(HostileHTTPClient, ASlowButTimelyRequestIsServed) {
  auto peer = Peer();
  peer->Send("GET / HT");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  peer->Send("TP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  EXPECT_EQ(peer->ReadUntil("\r\n").rfind("HTTP/1.1 200 OK", 0), 0u);
}

// Beyond the cap new connections are closed at once; below it again they are served.
TEST_F(HostileHTTPClient, ConnectionsBeyondTheCapAreClosedAndTheServerRecovers) {
  FServer.SetRequestTimeout(10000);
  FServer.SetMaxConnections(3);
  std::vector<std::unique_ptr<TLoopbackPeer>> idle;
  for (int i = 0; i < 3; ++i) idle.push_back(Peer());
  ASSERT_TRUE(WaitFor([&] { return FServer.ContextCount() == 3; }));

  for (int i = 0; i < 5; ++i) {
    auto refused = Peer();
    EXPECT_TRUE(refused->WaitClosed(1000)) << "connection " << i << " over the cap";
  }
  EXPECT_EQ(FServer.ContextCount(), 3u);

  idle.clear();
  ASSERT_TRUE(WaitFor([&] { return FServer.ContextCount() == 0; }));
  auto served = Peer();
  served->Send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  EXPECT_EQ(served->ReadUntil("\r\n").rfind("HTTP/1.1 200 OK", 0), 0u);
}

}  // namespace
