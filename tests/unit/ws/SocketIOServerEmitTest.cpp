#include "WS/IdServerSocketIOHandling.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <thread>

namespace ws {
namespace {

using json::TJSONValue;
using testing::ElementsAre;
using testing::UnorderedElementsAre;

std::vector<std::string> Drain(const ISocketIOContextRef& socket) {
  auto* impl = dynamic_cast<TSocketIOContext*>(socket.get());
  std::vector<std::string> texts;
  for (std::string t = impl->WaitForQueue(0); !t.empty(); t = impl->WaitForQueue(0))
    texts.push_back(t);
  return texts;
}

// An announced polling connection with its "1::" taken.
ISocketIOContextRef Polled(TIdBaseSocketIOHandling& h, const std::string& guid) {
  h.ServePollingRequest(guid, "", nullptr);
  ISocketIOContextRef found;
  h.EnumerateSockets([&](const ISocketIOContextRef& s) {
    if (dynamic_cast<TSocketIOContext&>(*s).GUID() == guid) found = s;
  });
  Drain(found);
  return found;
}

// The argument text of the one event queued for a connection.
std::string ArgsOf(const ISocketIOContextRef& socket) {
  const auto texts = Drain(socket);
  if (texts.size() != 1) return "<" + std::to_string(texts.size()) + " messages>";
  const std::string& t = texts[0];
  const size_t at = t.find(", \"args\":");
  return t.substr(at + 9, t.size() - at - 10);
}

// WebSocket contexts whose writes can be made to fail.
class TFailingContexts : public ISocketIOContextAccess {
 public:
  std::map<TIdServerWSContext*, bool> fails;
  std::map<TIdServerWSContext*, std::vector<std::string>> written;
  TIdServerWSContext* Add(bool failing) {
    auto* key =
        reinterpret_cast<TIdServerWSContext*>(static_cast<uintptr_t>(0x1000 + fails.size()));
    fails[key] = failing;
    return key;
  }
  TIdIOHandlerWebsocket* WebsocketWriter(TIdServerWSContext* c) override {
    return reinterpret_cast<TIdIOHandlerWebsocket*>(c);
  }
  void WriteText(TIdIOHandlerWebsocket* w, const std::string& text) override {
    auto* c = reinterpret_cast<TIdServerWSContext*>(w);
    if (fails[c]) throw net::EIdSocketError(32, "Broken pipe");
    written[c].push_back(text);
  }
  void Disconnect(TIdServerWSContext*) override {}
  void SetOnDestroy(TIdServerWSContext*, std::function<void(TIdServerWSContext*)>) override {}
  std::string ResourceName(TIdServerWSContext*) override { return ""; }
  std::string PeerIP(TIdServerWSContext*) override { return ""; }
  uint16_t PeerPort(TIdServerWSContext*) override { return 0; }
};

TEST(SocketIOServerEmitTest, ArgumentTexts) {
  TIdServerSocketIOHandling_Ext h;
  const ISocketIOContextRef s = Polled(h, "{A}");
  const TJSONValue pair = TJSONValue::Parse("[1,2]");
  const TJSONValue text = TJSONValue::String("say \"hi\"/");
  const TJSONValue object = TJSONValue::Parse(R"({"b":1,"a":"/"})");
  struct Case {
    TJSONValue data;
    const char* to;
    const char* toAll;
  };
  const Case cases[] = {
      {pair, "[1,2]", "[[1,2]]"},
      {text, R"(["say \"hi\"\/"])", R"(["say \"hi\"\/"])"},
      {TJSONValue::Integer(5), "[5]", "[5]"},
      {object, R"([{"a":"\/","b":1}])", R"([{"a":"\/","b":1}])"},
      {TJSONValue(), "[null]", "[null]"},
  };
  for (const Case& c : cases) {
    h.EmitEventTo(s, "e", c.data);
    EXPECT_EQ(ArgsOf(s), c.to) << c.to;
    EXPECT_EQ(h.EmitEventToAll("e", c.data), 1);
    EXPECT_EQ(ArgsOf(s), c.toAll) << c.toAll;
  }
  EXPECT_EQ(h.EmitEventToAll("e", std::string("1,\"two\"")), 1);
  EXPECT_EQ(ArgsOf(s), "[1,\"two\"]");
  // The connection's own operations: the JSON value in full escaping, as one argument.
  s->EmitEvent("e", TJSONValue::Parse(R"(["\u00e9"])"));
  EXPECT_EQ(ArgsOf(s), R"([["\u00e9"]])");
  s->SendJSON(object);
  EXPECT_THAT(Drain(s), ElementsAre(testing::EndsWith(R"(::{"a":"\/","b":1})")));
}

TEST(SocketIOServerEmitTest, BroadcastsCountConnectedPeersAndBindEachAck) {
  TIdServerSocketIOHandling_Ext h;
  EXPECT_EQ(h.EmitEventToAll("e", std::string("1")), 0);
  EXPECT_EQ(h.SendToAll("m"), 0);

  const ISocketIOContextRef a = Polled(h, "{A}"), b = Polled(h, "{B}"), c = Polled(h, "{C}");
  // A freed connection that a dispatch put back into a registry is skipped and not counted.
  const ISocketIOContextRef gone = Polled(h, "{GONE}");
  h.FreeConnection(gone);
  h.DispatchSocketIOText(gone, "8::");
  EXPECT_TRUE(gone->IsDisconnected());

  std::vector<ISocketIOContextRef> acked;
  std::vector<std::string> values;
  const auto onAck = [&](const ISocketIOContextRef& s, const TJSONValue& v,
                         const ISocketIOCallbackRef& handle) {
    EXPECT_EQ(handle, nullptr);
    acked.push_back(s);
    values.push_back(v.ToJSON());
  };
  EXPECT_EQ(h.EmitEventToAll("e", TJSONValue::Integer(1), onAck), 3);
  for (const auto& s : {a, b, c}) {
    const auto texts = Drain(s);
    ASSERT_EQ(texts.size(), 1u);
    h.DispatchSocketIOText(s, "6:::" + MessageField(texts[0], 1) + "[\"from\"]");
  }
  EXPECT_THAT(acked, UnorderedElementsAre(a, b, c));
  EXPECT_THAT(values, ElementsAre("[\"from\"]", "[\"from\"]", "[\"from\"]"));
  EXPECT_EQ(h.SendToAll("m"), 3);
  EXPECT_TRUE(Drain(gone).empty());

  try {
    h.EmitEventTo(gone, "e", TJSONValue());
    ADD_FAILURE();
  } catch (const EIdSocketIoUnhandledMessage& failure) {
    EXPECT_STREQ(failure.what(), "socket.io connection closed!");
  }
}

TEST(SocketIOServerEmitTest, WriteFailuresInBroadcastsAndSingleSends) {
  auto* fake = new TFailingContexts;
  TIdServerSocketIOHandling_Ext h{std::unique_ptr<ISocketIOContextAccess>(fake)};
  TIdServerWSContext* bad = fake->Add(true);
  TIdServerWSContext* good = fake->Add(false);
  h.NewConnection(bad);
  h.NewConnection(good);
  // The event broadcast skips the failed write and counts it; the message broadcast stops.
  EXPECT_EQ(h.EmitEventToAll("e", std::string("1")), 2);
  EXPECT_EQ(fake->written[good].size(), 1u);
  EXPECT_THROW(h.SendToAll("m"), net::EIdSocketError);
  EXPECT_THROW(h.SendTo(bad, "m"), net::EIdSocketError);
  h.SendTo(good, "m");
  h.EmitEventTo(good, "e", TJSONValue::Integer(2));
  EXPECT_EQ(fake->written[good].back().substr(0, 2), "5:");
  // Contexts without a Socket.IO connection.
  TIdServerWSContext* unknown = fake->Add(false);
  EXPECT_THROW(h.SendTo(unknown, "m"), EIdSocketIoUnhandledMessage);
  EXPECT_THROW(h.EmitEventTo(unknown, "e", TJSONValue()), EIdSocketIoUnhandledMessage);
}

TEST(SocketIOServerEmitTest, ConcurrentSendersNeverShareAMessageNumber) {
  TIdServerSocketIOHandling_Ext h;
  constexpr int kThreads = 8, kEach = 250;
  std::vector<ISocketIOContextRef> sockets;
  for (int i = 0; i < kThreads; ++i) sockets.push_back(Polled(h, "{T" + std::to_string(i) + "}"));
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      for (int n = 0; n < kEach; ++n) {
        if (n % 50 == 0) h.EmitEventToAll("all", std::string("0"), [](auto&&...) {});
        sockets[i]->EmitEvent("one", std::string("1"), [](auto&&...) {});
      }
    });
  }
  for (auto& t : threads) t.join();
  std::set<int64_t> numbers;
  size_t total = 0;
  for (const auto& s : sockets) {
    for (const std::string& text : Drain(s)) {
      numbers.insert(MessageNumber(MessageField(text, 1)));
      ++total;
    }
  }
  const size_t broadcasts = kThreads * (kEach / 50);
  EXPECT_EQ(total, kThreads * kEach + broadcasts * kThreads);
  // Every message, each recipient's copy of a broadcast included, has a number of its own.
  EXPECT_EQ(numbers.size(), total);
}

TEST(SocketIOClientHandlingTest, SendingNeedsExactlyTheRightConnections) {
  TIdSocketIOHandling h;
  struct Case {
    std::function<void()> call;
    const char* message;
  };
  const Case none[] = {
      {[&] { h.Emit("e", TJSONValue::Integer(1)); }, "Cannot emit: no socket.io connections!"},
      {[&] { h.Emit("e", std::string("[1]")); }, "Cannot emit: no socket.io connections!"},
      {[&] { h.Send("m"); }, "Cannot send: no socket.io connections!"},
  };
  for (const Case& c : none) {
    try {
      c.call();
      ADD_FAILURE() << c.message;
    } catch (const EIdSocketIoUnhandledMessage& failure) {
      EXPECT_STREQ(failure.what(), c.message);
    }
  }
  EXPECT_THROW(h.EmitSync("e", TJSONValue(), 10), ESocketIOException);
  const ISocketIOContextRef one = Polled(h, "{1}");
  h.Emit("e", TJSONValue::Parse("[1,2]"));
  EXPECT_EQ(ArgsOf(one), "[1,2]");
  Polled(h, "{2}");
  try {
    h.EmitSync("e", TJSONValue(), 10);
    ADD_FAILURE();
  } catch (const EIdSocketIoUnhandledMessage& failure) {
    EXPECT_STREQ(failure.what(), "Cannot emit synchronized to more than one connection!");
  }
}

}  // namespace
}  // namespace ws
