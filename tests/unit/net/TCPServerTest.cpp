#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "net/IdException.h"
#include "net/IdTCPServer.h"
#include "net/LoopbackPeer.h"

namespace {

using testpeer::TLoopbackPeer;

// Echoes whatever arrives; counts the connections that have ended.
class TEchoServer : public net::TIdTCPServer {
 public:
  ~TEchoServer() override { SetActive(false); }
  std::atomic<int> Ended{0};
  size_t ContextCount() {
    std::lock_guard<std::mutex> guard(ContextsLock());
    return Contexts().size();
  }

 protected:
  void DoExecute(net::TIdServerContext* context) override {
    net::TIdIOHandlerStack* io = context->Connection();
    while (io->CheckForDataOnSource()) {
      io->WriteBytes(io->InputBuffer());
      io->InputBuffer().clear();
    }
  }
  void DoDisconnect(net::TIdServerContext*) override { ++Ended; }
};

TEST(TCPServer, EchoesOnAFreePortOverIPv4AndIPv6) {
  TEchoServer server;
  server.SetActive(true);
  ASSERT_NE(server.BoundPort(), 0);
  TLoopbackPeer v4("127.0.0.1", server.BoundPort());
  v4.Send("ping4");
  EXPECT_EQ(v4.Read(5), "ping4");
  try {
    TLoopbackPeer v6("::1", server.BoundPort());
    v6.Send("ping6");
    EXPECT_EQ(v6.Read(5), "ping6");
  } catch (const net::EIdSocketError& failure) {
    GTEST_LOG_(INFO) << "no IPv6 loopback here: " << failure.what();
  }
}

TEST(TCPServer, ATakenPortIsReportedAsSuch) {
  TEchoServer first;
  first.SetActive(true);
  TEchoServer second;
  second.SetDefaultPort(first.BoundPort());
  try {
    second.SetActive(true);
    FAIL() << "the second server bound a taken port";
  } catch (const net::EIdCouldNotBindSocket& failure) {
    EXPECT_STREQ(failure.what(), "Could not bind socket. Address and port are already in use.");
  }
  EXPECT_FALSE(second.Active());
}

// Connection threads blocked in reads are woken and joined; the server can start again.
TEST(TCPServer, DeactivationEndsBlockedConnectionsAndJoinsTheirThreads) {
  TEchoServer server;
  server.SetActive(true);
  uint16_t port = server.BoundPort();
  TLoopbackPeer a("127.0.0.1", port), b("127.0.0.1", port);
  ASSERT_TRUE(testpeer::WaitFor([&] { return server.ContextCount() == 2; }));
  server.SetActive(false);
  EXPECT_EQ(server.Ended, 2);
  EXPECT_EQ(server.ContextCount(), 0u);
  EXPECT_TRUE(a.WaitClosed());
  EXPECT_TRUE(b.WaitClosed());

  server.SetDefaultPort(port);
  server.SetActive(true);
  TLoopbackPeer c("127.0.0.1", port);
  c.Send("again");
  EXPECT_EQ(c.Read(5), "again");
}

TEST(TCPServer, AConnectionThatEndsLeavesTheList) {
  TEchoServer server;
  server.SetActive(true);
  {
    TLoopbackPeer peer("127.0.0.1", server.BoundPort());
    ASSERT_TRUE(testpeer::WaitFor([&] { return server.ContextCount() == 1; }));
  }
  EXPECT_TRUE(testpeer::WaitFor([&] { return server.ContextCount() == 0 && server.Ended == 1; }));
}

}  // namespace
