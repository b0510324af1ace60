#include "pcsc/MD_Events.h"

namespace pcsc {
namespace {

// Clears the flag when the callback returns or throws.
class TProcessingGuard {
 public:
  explicit TProcessingGuard(bool& flag) : FFlag(flag) { FFlag = true; }
  ~TProcessingGuard() { FFlag = false; }
  TProcessingGuard(const TProcessingGuard&) = delete;
  TProcessingGuard& operator=(const TProcessingGuard&) = delete;

 private:
  bool& FFlag;
};

}  // namespace

void TPCSCEventList::CardInsertedAsync(void*, const std::string& readerName, const TBytes& atr) {
  FEventList.push_back(std::make_unique<TPCSCCardInsertEvent>(readerName, BytesToHex(atr)));
}

void TPCSCEventList::CardRemovedAsync(void*, const std::string& readerName) {
  FEventList.push_back(std::make_unique<TPCSCCardRemoveEvent>(readerName));
}

void TPCSCEventList::CardErrorAsync(void*, const std::string& readerName) {
  FEventList.push_back(std::make_unique<TPCSCCardErrorEvent>(readerName));
}

void TPCSCEventList::ReaderFoundAsync(void*, const std::string& readerName) {
  FEventList.push_back(std::make_unique<TPCSCReaderFoundEvent>(readerName));
}

void TPCSCEventList::ReaderRemovedAsync(void*, const std::string& readerName) {
  FEventList.push_back(std::make_unique<TPCSCReaderRemovedEvent>(readerName));
}

bool TPCSCEventList::LaterEventQueued(const TPCSCEvent& event) const {
  for (const auto& later : FEventList)
    if (later->EventType() == event.EventType() && later->ReaderName() == event.ReaderName())
      return true;
  return false;
}

void TPCSCEventList::Deliver(const TPCSCEvent& event) {
  switch (event.EventType()) {
    case TEventType::evCardInsert:
      if (FOnCardInsert) FOnCardInsert(event.ReaderName(), event.ATR());
      break;
    case TEventType::evCardRemove:
      if (FOnCardRemove) FOnCardRemove(event.ReaderName());
      break;
    case TEventType::evCardError:
      if (FOnCardError) FOnCardError(event.ReaderName());
      break;
    case TEventType::evReaderFound:
      if (FOnReaderFound) FOnReaderFound(event.ReaderName());
      break;
    case TEventType::evReaderRemoved:
      if (FOnReaderRemoved) FOnReaderRemoved(event.ReaderName());
      break;
    case TEventType::evNone:
      break;
  }
}

void TPCSCEventList::ProcessEvent() {
  if (FEventList.empty()) return;
  // Taken off the queue before anything else, and freed however the callback ends.
  const std::unique_ptr<TPCSCEvent> event = std::move(FEventList.front());
  FEventList.pop_front();
  if (event->EventType() == TEventType::evNone) return;
  if (LaterEventQueued(*event)) return;
  if (event->EventType() == TEventType::evCardRemove) {
    Deliver(*event);
    return;
  }
  if (FProcessingEvent) return;
  TProcessingGuard guard(FProcessingEvent);
  Deliver(*event);
}

void TPCSCEventList::ProcessAllEvents() {
  while (!FEventList.empty()) ProcessEvent();
}

}  // namespace pcsc
