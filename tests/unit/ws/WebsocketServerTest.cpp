#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "WS/IdWebsocketServer.h"
#include "ws/WsPeer.h"

namespace {

using testpeer::TServerFrame;
using testpeer::TWsPeer;
using testpeer::WaitFor;

constexpr uint8_t kText = 0x1, kBinary = 0x2, kClose = 0x8, kPing = 0x9, kPong = 0xA;

// The server with handlers that record what they were given and answer "STATUS".
class Server : public ::testing::Test {
 protected:
  ws::TIdWebsocketServer FServer;
  std::mutex FLock;
  std::vector<std::string> FTexts;
  std::vector<std::string> FBinaries;

  void SetUp() override {
    FServer.SetDefaultPort(0);
    FServer.SetOnMessageText([this](ws::TIdServerWSContext* context, const std::string& text) {
      {
        std::lock_guard<std::mutex> guard(FLock);
        FTexts.push_back(text);
      }
      if (text == "STATUS") context->IOHandler()->Write(std::string("STATUS:0"));
    });
    FServer.SetActive(true);
  }
  std::vector<std::string> Texts() {
    std::lock_guard<std::mutex> guard(FLock);
    return FTexts;
  }
  size_t ContextCount() {
    std::lock_guard<std::mutex> guard(FServer.ContextsLock());
    return FServer.Contexts().size();
  }
  size_t WebsocketCount() {
    std::lock_guard<std::mutex> guard(FServer.ContextsLock());
    size_t n = 0;
    for (auto* context : FServer.Contexts()) {
      n += static_cast<ws::TIdServerWSContext*>(context)->IOHandler()->IsWebsocket() ? 1 : 0;
    }
    return n;
  }
  std::unique_ptr<TWsPeer> Connect(const std::string& path = "/") {
    auto peer = std::make_unique<TWsPeer>("127.0.0.1", FServer.BoundPort());
    EXPECT_EQ(peer->Upgrade(path).rfind("HTTP/1.1 101 ", 0), 0u);
    return peer;
  }
};

void ExpectFrame(TWsPeer& peer, uint8_t opcode, const std::string& payload, const char* what,
                 int milliseconds = TWsPeer::kWaitMs) {
  TServerFrame frame = peer.ReadFrame(milliseconds);
  ASSERT_TRUE(frame.Valid) << what;
  EXPECT_TRUE(frame.FIN()) << what;
  EXPECT_EQ(frame.Opcode(), opcode) << what;
  EXPECT_EQ(frame.Payload, payload) << what;
}

TEST_F(Server, EachDataMessageIsDeliveredOnceAndFollowedByAPing) {
  auto peer = Connect();
  peer->SendText("STATUS");
  ExpectFrame(*peer, kText, "STATUS:0", "reply");
  ExpectFrame(*peer, kPing, "", "ping after the message");

  peer->SendText("\xEF\xBB\xBFwith mark");
  ExpectFrame(*peer, kPing, "", "ping after the marked text");
  peer->SendText("");
  ExpectFrame(*peer, kPing, "", "ping after the empty text");
  peer->SendFrame(0x82, "bin");  // no binary handler: dropped
  ExpectFrame(*peer, kPing, "", "ping after the binary message");
  EXPECT_EQ(Texts(), (std::vector<std::string>{"STATUS", "with mark", ""}));
}

TEST_F(Server, BinaryMessagesReachTheirHandler) {
  std::atomic<int> calls{0};
  std::string received;
  FServer.SetOnMessageBin([&](ws::TIdServerWSContext*, const std::string& data) {
    received = data;
    ++calls;
  });
  auto peer = Connect();
  peer->SendFrame(0x82, std::string("\0\1\2", 3));
  ExpectFrame(*peer, kPing, "", "ping");
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(received, std::string("\0\1\2", 3));
}

TEST_F(Server, APingIsAnsweredTwiceAndDeliversNothing) {
  auto peer = Connect();
  peer->SendFrame(0x89, "ab");
  ExpectFrame(*peer, kPong, "ab", "pong with the payload");
  ExpectFrame(*peer, kPong, "", "empty pong of the loop");
  peer->SendFrame(0x8A, "");
  EXPECT_FALSE(peer->ReadFrame(300).Valid) << "a pong is not answered";
  EXPECT_TRUE(Texts().empty());
}

// After an upgraded session fails nothing plain is written into the stream.
TEST_F(Server, AProtocolErrorEndsTheConnectionWithoutPlainText) {
  auto peer = Connect();
  peer->Send(std::string("\x81\x02hi", 4));  // not masked
  EXPECT_TRUE(peer->WaitClosed());
  EXPECT_EQ(peer->Buffered(), 0u);
  EXPECT_TRUE(WaitFor([&] { return ContextCount() == 0; }));
}

TEST_F(Server, APeerGoneWithoutCloseEndsItsContext) {
  std::atomic<bool> destroyed{false};
  auto peer = Connect();
  peer->SendText("hello");
  ExpectFrame(*peer, kPing, "", "ping");
  {
    std::lock_guard<std::mutex> guard(FServer.ContextsLock());
    static_cast<ws::TIdServerWSContext*>(FServer.Contexts().front())
        ->SetOnDestroy([&](ws::TIdServerWSContext*) { destroyed = true; });
  }
  peer.reset();
  EXPECT_TRUE(WaitFor([&] { return destroyed && ContextCount() == 0; }));
  EXPECT_EQ(Texts(), std::vector<std::string>{"hello"});
}

TEST_F(Server, ThePeersCloseIsAnswered) {
  auto peer = Connect();
  peer->SendFrame(0x88, "\x03\xE9");
  ExpectFrame(*peer, kClose, "\x03\xE8", "close answer");
  EXPECT_TRUE(peer->WaitClosed());
}

TEST_F(Server, BroadcastReachesOnlyPlainWebsocketConnections) {
  FServer.SendMessageToAll("nobody");  // no contexts: nothing happens
  TWsPeer httpPhase("127.0.0.1", FServer.BoundPort());
  auto socketIO = Connect("/Socket.IO/1/websocket/abc");
  auto plain = Connect();
  ASSERT_TRUE(WaitFor([&] { return ContextCount() == 3 && WebsocketCount() == 2; }));
  FServer.SendMessageToAll("");
  FServer.SendMessageToAll("CARD:01020304:00");
  ExpectFrame(*plain, kText, "CARD:01020304:00", "plain connection");
  EXPECT_FALSE(plain->ReadFrame(200).Valid) << "the empty text sent nothing";
  // The Socket.IO connection may get its own housekeeping, never the broadcast.
  for (TServerFrame frame; (frame = socketIO->ReadFrame(200)).Valid;) {
    EXPECT_EQ(frame.Payload.find("CARD:"), std::string::npos) << frame.Payload;
  }
  EXPECT_EQ(httpPhase.Read(1, 200), "");
}

// The broadcast frame is shared between connections, yet each still carries the reserved bits
// its own client last sent, as a write on that connection alone would, and is whole.
TEST_F(Server, BroadcastFramesKeepEachConnectionsReservedBits) {
  auto plain = Connect();
  auto rsv1 = Connect();
  auto later = Connect();
  rsv1->SendFrame(0xC1, "x");  // FIN + RSV1, text
  ExpectFrame(*rsv1, kPing, "", "the ping after the message");
  ASSERT_TRUE(WaitFor([&] { return WebsocketCount() == 3; }));
  const std::string big(70000, 'b');
  for (const std::string& text : {std::string("CARD:AA"), big}) {
    FServer.SendMessageToAll(text);
    for (TWsPeer* peer : {plain.get(), rsv1.get(), later.get()}) {
      TServerFrame frame = peer->ReadFrame();
      ASSERT_TRUE(frame.Valid);
      EXPECT_EQ(frame.First, peer == rsv1.get() ? 0xC1 : 0x81);
      EXPECT_EQ(frame.Payload, text);
    }
  }
}

// A connection that cannot take the message does not keep it from the others; the failure
// still reaches the caller.
TEST_F(Server, ABroadcastGoesOnPastAFailingConnection) {
  FServer.SetActive(false);
  FServer.SetWriteTimeout(300);
  FServer.SetActive(true);
  auto stuck = Connect();  // first in the list, and never reads
  ASSERT_TRUE(WaitFor([&] { return WebsocketCount() == 1; }));
  auto reader = Connect();
  ASSERT_TRUE(WaitFor([&] { return WebsocketCount() == 2; }));

  const std::string big(32 * 1024 * 1024, 'c');
  TServerFrame received;
  std::thread readerThread([&] { received = reader->ReadFrame(20000); });
  EXPECT_THROW(FServer.SendMessageToAll(big), net::EIdSocketError);
  readerThread.join();
  EXPECT_TRUE(received.Valid);
  EXPECT_EQ(received.Payload.size(), big.size());

  EXPECT_TRUE(WaitFor([&] { return WebsocketCount() == 1; })) << "the failed one has ended";
  FServer.SendMessageToAll("next");
  ExpectFrame(*reader, kText, "next", "after the failure");
}

// A peer that stops in the middle of a frame cannot hold the broadcasting thread for longer
// than the write timeout; the others get the message.
TEST_F(Server, ABroadcastDoesNotWaitForeverOnAnIncompleteMessage) {
  FServer.SetActive(false);
  FServer.SetWriteTimeout(300);
  FServer.SetActive(true);
  auto stalled = Connect();
  ASSERT_TRUE(WaitFor([&] { return WebsocketCount() == 1; }));
  auto healthy = Connect();
  ASSERT_TRUE(WaitFor([&] { return WebsocketCount() == 2; }));
  stalled->Send(std::string("\x81\x85\x01\x02", 4));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_THROW(FServer.SendMessageToAll("CARD:AA"), net::EIdSocketHandleError);
  ExpectFrame(*healthy, kText, "CARD:AA", "the healthy peer");
  EXPECT_TRUE(stalled->WaitClosed());
}

TEST_F(Server, WriteTimeoutAppliesToConnectionsAcceptedAfterwards) {
  auto before = Connect();
  FServer.SetWriteTimeout(5000);
  auto after = Connect();
  ASSERT_TRUE(WaitFor([&] { return WebsocketCount() == 2; }));
  std::lock_guard<std::mutex> guard(FServer.ContextsLock());
  std::vector<int> timeouts;
  for (auto* context : FServer.Contexts()) {
    timeouts.push_back(context->Connection()->Socket().SendTimeout());
  }
  EXPECT_EQ(timeouts, (std::vector<int>{2000, 5000}));
}

TEST_F(Server, DeactivationClosesEveryConnectionWith1000AndJoinsThem) {
  auto a = Connect();
  auto b = Connect();
  ASSERT_TRUE(WaitFor([&] { return WebsocketCount() == 2; }));
  std::thread answering([&] {
    // One peer answers the close as a browser does, the other stays silent.
    TServerFrame frame = a->ReadFrame();
    if (frame.Opcode() == kClose) a->SendFrame(0x88, frame.Payload);
  });
  FServer.SetActive(false);
  answering.join();
  EXPECT_FALSE(FServer.Active());
  EXPECT_EQ(ContextCount(), 0u);
  EXPECT_TRUE(a->WaitClosed());
  ExpectFrame(*b, kClose, "\x03\xE8", "silent peer");
  EXPECT_TRUE(b->WaitClosed());
}

// A reader stuck in the middle of a frame holds the connection lock; deactivation still ends
// it and returns.
TEST_F(Server, DeactivationEndsAConnectionStuckInTheMiddleOfAFrame) {
  auto peer = Connect();
  peer->Send(std::string("\x81\x85\x01\x02", 4));  // header cut short
  ASSERT_TRUE(WaitFor([&] { return WebsocketCount() == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  FServer.SetActive(false);
  EXPECT_EQ(ContextCount(), 0u);
  EXPECT_TRUE(peer->WaitClosed());
}

TEST_F(Server, DestructionWhileConnectedReturns) {
  auto server = std::make_unique<ws::TIdWebsocketServer>();
  server->SetDefaultPort(0);
  server->SetActive(true);
  TWsPeer peer("127.0.0.1", server->BoundPort());
  peer.Upgrade();
  TWsPeer idle("127.0.0.1", server->BoundPort());  // still in the HTTP phase
  server.reset();
  ExpectFrame(peer, kClose, "\x03\xE8", "close on destruction");
  EXPECT_TRUE(peer.WaitClosed());
  EXPECT_TRUE(idle.WaitClosed());
}

TEST_F(Server, ASilentPeerIsPingedEverySixToSevenSeconds) {
  auto peer = Connect();
  auto start = std::chrono::steady_clock::now();
  ExpectFrame(*peer, kPing, "", "keep-alive", 9000);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(5500));
  EXPECT_LE(waited, std::chrono::milliseconds(8000));
}

}  // namespace
