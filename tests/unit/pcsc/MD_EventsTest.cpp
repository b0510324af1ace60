#include "pcsc/MD_Events.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

using pcsc::TPCSCEventList;

// Records every delivered event as "kind:reader[:atr]".
class EventQueue : public ::testing::Test {
 protected:
  void SetUp() override {
    queue.SetOnCardInsert([this](const std::string& r, const std::string& atr) {
      delivered.push_back("insert:" + r + ":" + atr);
      if (onInsert) onInsert();
    });
    queue.SetOnCardRemove([this](const std::string& r) { delivered.push_back("remove:" + r); });
    queue.SetOnCardError([this](const std::string& r) { delivered.push_back("error:" + r); });
    queue.SetOnReaderFound([this](const std::string& r) { delivered.push_back("found:" + r); });
    queue.SetOnReaderRemoved([this](const std::string& r) { delivered.push_back("gone:" + r); });
  }

  TPCSCEventList queue;
  std::vector<std::string> delivered;
  std::function<void()> onInsert;
};

TEST_F(EventQueue, DeliversOnePerCallInOrderWithAtrText) {
  queue.ReaderFoundAsync(nullptr, "A");
  queue.CardInsertedAsync(nullptr, "A", {0x3B, 0x8F, 0x80, 0x01});
  queue.CardErrorAsync(nullptr, "B");
  queue.ReaderRemovedAsync(nullptr, "A");
  queue.ProcessEvent();
  EXPECT_EQ(delivered, (std::vector<std::string>{"found:A"}));
  EXPECT_EQ(queue.Count(), 3u);
  queue.ProcessAllEvents();
  EXPECT_EQ(delivered,
            (std::vector<std::string>{"found:A", "insert:A:3B 8F 80 01", "error:B", "gone:A"}));
}

TEST_F(EventQueue, OnlyTheLastSameKindEventForAReaderIsDelivered) {
  queue.CardInsertedAsync(nullptr, "A", {0x01});
  queue.CardRemovedAsync(nullptr, "A");
  queue.CardInsertedAsync(nullptr, "A", {0x02});
  queue.ProcessEvent();
  EXPECT_TRUE(delivered.empty());  // dropped: a later card-inserted(A) waits
  queue.ProcessEvent();
  queue.ProcessEvent();
  EXPECT_EQ(delivered, (std::vector<std::string>{"remove:A", "insert:A:02"}));
}

TEST_F(EventQueue, LookAheadPerKindAndExactReaderName) {
  queue.CardInsertedAsync(nullptr, "A", {});
  queue.CardInsertedAsync(nullptr, "B", {});
  queue.ReaderFoundAsync(nullptr, "R");
  queue.ReaderFoundAsync(nullptr, "r");  // differs only in case: another reader
  queue.ReaderFoundAsync(nullptr, "R");
  queue.CardRemovedAsync(nullptr, "C");
  queue.CardRemovedAsync(nullptr, "C");
  queue.ProcessAllEvents();
  EXPECT_EQ(delivered,
            (std::vector<std::string>{"insert:A:", "insert:B:", "found:r", "found:R", "remove:C"}));
}

TEST_F(EventQueue, NestedProcessEventDropsAllButCardRemoved) {
  // A callback that lets the loop run again consumes the next event: lost unless card-removed.
  onInsert = [this] { queue.ProcessEvent(); };
  queue.CardInsertedAsync(nullptr, "A", {});
  queue.CardErrorAsync(nullptr, "A");
  queue.CardInsertedAsync(nullptr, "B", {});
  queue.ReaderFoundAsync(nullptr, "A");
  queue.CardInsertedAsync(nullptr, "C", {});
  queue.ReaderRemovedAsync(nullptr, "A");
  queue.CardInsertedAsync(nullptr, "D", {});
  queue.CardRemovedAsync(nullptr, "A");
  queue.ProcessAllEvents();
  EXPECT_EQ(delivered, (std::vector<std::string>{
                           "insert:A:", "insert:B:", "insert:C:", "insert:D:", "remove:A"}));
  EXPECT_EQ(queue.Count(), 0u);
}

TEST_F(EventQueue, ThrowingCallbackFreesEventAndClearsTheFlag) {
  onInsert = [] { throw std::runtime_error("handler failed"); };
  queue.CardInsertedAsync(nullptr, "A", {});
  queue.ReaderFoundAsync(nullptr, "A");
  EXPECT_THROW(queue.ProcessEvent(), std::runtime_error);
  EXPECT_EQ(queue.Count(), 1u);
  queue.ProcessEvent();  // not dropped: the flag was cleared
  EXPECT_EQ(delivered, (std::vector<std::string>{"insert:A:", "found:A"}));
}

TEST(EventQueueBare, UnsetCallbacksAndEmptyQueue) {
  TPCSCEventList queue;
  queue.ProcessEvent();
  queue.ProcessAllEvents();
  queue.CardInsertedAsync(nullptr, "A", {1});
  queue.CardRemovedAsync(nullptr, "A");
  queue.ProcessAllEvents();
  EXPECT_EQ(queue.Count(), 0u);
  // Events still waiting are freed with the queue, without callbacks.
  bool called = false;
  {
    TPCSCEventList other;
    other.SetOnReaderFound([&](const std::string&) { called = true; });
    other.ReaderFoundAsync(nullptr, "A");
  }
  EXPECT_FALSE(called);
}

}  // namespace
