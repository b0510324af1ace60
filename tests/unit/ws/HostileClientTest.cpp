#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "WS/IdSocketIOHandling.h"
#include "WS/IdWebsocketServer.h"
#include "ws/WsPeer.h"

namespace {

using testpeer::TWsPeer;
using testpeer::WaitFor;

// The server with WebSocket connections whose incomplete messages time out quickly.
class HostileWebsocketClient : public ::testing::Test {
 protected:
  ws::TIdWebsocketServer FServer;
  std::mutex FLock;
  std::vector<std::string> FTexts;

  void SetUp() override {
    FServer.SetDefaultPort(0);
    FServer.SetOnMessageText([this](ws::TIdServerWSContext*, const std::string& text) {
      std::lock_guard<std::mutex> guard(FLock);
      FTexts.push_back(text);
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
  // An upgraded peer whose connection gives incomplete messages `milliseconds`.
  std::unique_ptr<TWsPeer> Connect(int milliseconds) {
    auto peer = std::make_unique<TWsPeer>("127.0.0.1", FServer.BoundPort());
    EXPECT_EQ(peer->Upgrade().rfind("HTTP/1.1 101 ", 0), 0u);
    EXPECT_TRUE(WaitFor([&] {
      std::lock_guard<std::mutex> guard(FServer.ContextsLock());
      for (auto* context : FServer.Contexts()) {
        auto* io = static_cast<ws::TIdServerWSContext*>(context)->IOHandler();
        if (!io->IsWebsocket()) return false;
        io->SetIncompleteTimeout(milliseconds);
      }
      return !FServer.Contexts().empty();
    }));
    return peer;
  }
};

// A peer that stops half-way through a message is cut off; it holds no thread afterwards.
TEST_F(HostileWebsocketClient, AMessageLeftIncompleteEndsTheConnection) {
  struct {
    const char* name;
    std::string sent;
  } const cases[] = {
      {"one byte of a header", "\x81"},
      {"a header without its mask key", std::string("\x81\x85\x01\x02", 4)},
      {"half a payload", testpeer::MaskedFrame(0x81, "STATUS").substr(0, 9)},
      {"a first fragment only", testpeer::MaskedFrame(0x01, "STAT")},
      {"fragments then nothing", testpeer::MaskedFrame(0x01, "ST") +
                                     testpeer::MaskedFrame(0x89, "") +
                                     testpeer::MaskedFrame(0x00, "AT")},
  };
  for (const auto& c : cases) {
    auto peer = Connect(300);
    peer->Send(c.sent);
    EXPECT_TRUE(peer->WaitClosed(3000)) << c.name;
    EXPECT_TRUE(WaitFor([&] { return ContextCount() == 0; })) << c.name;
  }
  EXPECT_TRUE(Texts().empty());
}

// Fragments that keep coming, each in time, still have to finish the message in time.
TEST_F(HostileWebsocketClient, TheDeadlineCoversTheWholeFragmentedMessage) {
  auto peer = Connect(400);
  const auto start = std::chrono::steady_clock::now();
  peer->SendFrame(0x01, "a");
  try {
    for (int i = 0; i < 30 && !peer->WaitClosed(100); ++i) peer->SendFrame(0x00, "a");
  } catch (const net::EIdException&) {
    // closed while sending
  }
  EXPECT_TRUE(peer->WaitClosed(3000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
  EXPECT_TRUE(Texts().empty());
}

// Messages that arrive in pieces within the time, and idle time between messages, are fine.
TEST_F(HostileWebsocketClient, SlowButTimelyMessagesAndIdleTimeAreKept) {
  auto peer = Connect(400);
  const std::string frame = testpeer::MaskedFrame(0x81, "STATUS");
  peer->Send(frame.substr(0, 5));
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  peer->Send(frame.substr(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(700));  // idle, longer than the limit
  peer->SendFrame(0x01, "CA");
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  peer->SendFrame(0x80, "RD");
  EXPECT_TRUE(WaitFor([&] { return Texts().size() == 2; }));
  EXPECT_EQ(Texts(), (std::vector<std::string>{"STATUS", "CARD"}));
  EXPECT_EQ(ContextCount(), 1u);
}

// Polling connections nobody asks for any more are freed as disconnects.
class IdlePolling : public ::testing::Test {
 protected:
  ws::TIdBaseSocketIOHandling FHandling;
  std::mutex FLock;
  std::vector<std::string> FDisconnected;
  std::vector<std::string> FErrors;

  void SetUp() override {
    FHandling.SetPollingIdleTimeout(300);
    FHandling.OnDisconnect([this](const ws::ISocketIOContextRef& socket) {
      std::lock_guard<std::mutex> guard(FLock);
      FDisconnected.push_back(dynamic_cast<ws::TSocketIOContext&>(*socket).GUID());
    });
  }
  std::vector<std::string> Disconnected() {
    std::lock_guard<std::mutex> guard(FLock);
    return FDisconnected;
  }
  ws::ISocketIOContextRef Find(const std::string& guid) {
    ws::ISocketIOContextRef found;
    FHandling.EnumerateSockets([&](const ws::ISocketIOContextRef& socket) {
      if (dynamic_cast<ws::TSocketIOContext&>(*socket).GUID() == guid) found = socket;
    });
    return found;
  }
  void Poll(const std::string& guid) { FHandling.ServePollingRequest(guid, "", nullptr); }
};

TEST_F(IdlePolling, AnIdleConnectionIsFreedWithItsNotifiersAndErrorCallbacks) {
  Poll("{IDLE}");
  ws::ISocketIOContextRef idle = Find("{IDLE}");
  ASSERT_TRUE(idle);
  idle->EmitEvent(
      "ask", "1",
      [](const ws::ISocketIOContextRef&, const json::TJSONValue&, const ws::ISocketIOCallbackRef&) {
      },
      [this](const ws::ISocketIOContextRef&, const std::string& errorClass, const std::string&) {
        std::lock_guard<std::mutex> guard(FLock);
        FErrors.push_back(errorClass);
      });

  // Another connection that keeps polling meanwhile stays.
  Poll("{BUSY}");
  const auto start = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(1200)) {
    Poll("{BUSY}");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(Disconnected(), std::vector<std::string>{"{IDLE}"});
  {
    std::lock_guard<std::mutex> guard(FLock);
    EXPECT_EQ(FErrors, std::vector<std::string>{"ESocketIODisconnect"});
  }
  EXPECT_TRUE(idle->IsDisconnected());
  EXPECT_FALSE(Find("{IDLE}"));
  EXPECT_EQ(FHandling.ConnectionCount(), 1);

  // Once it stops, it goes too; a request after that makes a fresh connection.
  EXPECT_TRUE(WaitFor([&] { return Disconnected().size() == 2; }, 3000));
  EXPECT_EQ(FHandling.ConnectionCount(), 0);
  Poll("{IDLE}");
  ASSERT_TRUE(Find("{IDLE}"));
  EXPECT_NE(Find("{IDLE}"), idle);
}

// A GET waiting for a message is a request: the wait does not count as idle time.
TEST_F(IdlePolling, AWaitingGetKeepsItsConnection) {
  std::string body;
  FHandling.ServePollingRequest("{G}", "", &body);  // takes the "1::"
  ASSERT_EQ(body, "1::");
  body.clear();
  std::thread get([&] { FHandling.ServePollingRequest("{G}", "", &body); });
  std::this_thread::sleep_for(std::chrono::milliseconds(900));
  ws::ISocketIOContextRef socket = Find("{G}");
  EXPECT_TRUE(socket) << "freed while its GET was waiting";
  if (socket) socket->Send("late");
  get.join();
  EXPECT_EQ(body, "3:1::late");
  EXPECT_TRUE(Disconnected().empty());
}

}  // namespace
