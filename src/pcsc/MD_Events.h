#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "pcsc/MD_Tools.h"

namespace pcsc {

enum class TEventType {
  evNone,
  evCardInsert,
  evCardRemove,
  evCardError,
  evReaderFound,
  evReaderRemoved
};

class TPCSCEvent {
 public:
  virtual ~TPCSCEvent() = default;
  TEventType EventType() const { return FEventType; }
  const std::string& ReaderName() const { return FReaderName; }
  // The card's ATR as BytesToHex text; card-inserted events only.
  const std::string& ATR() const { return FATR; }

 protected:
  TPCSCEvent(TEventType type, std::string readerName, std::string atr = {})
      : FEventType(type), FReaderName(std::move(readerName)), FATR(std::move(atr)) {}

 private:
  TEventType FEventType = TEventType::evNone;
  std::string FReaderName;
  std::string FATR;
};

class TPCSCCardInsertEvent : public TPCSCEvent {
 public:
  TPCSCCardInsertEvent(std::string readerName, std::string atr)
      : TPCSCEvent(TEventType::evCardInsert, std::move(readerName), std::move(atr)) {}
};

class TPCSCCardRemoveEvent : public TPCSCEvent {
 public:
  explicit TPCSCCardRemoveEvent(std::string readerName)
      : TPCSCEvent(TEventType::evCardRemove, std::move(readerName)) {}
};

class TPCSCCardErrorEvent : public TPCSCEvent {
 public:
  explicit TPCSCCardErrorEvent(std::string readerName)
      : TPCSCEvent(TEventType::evCardError, std::move(readerName)) {}
};

class TPCSCReaderFoundEvent : public TPCSCEvent {
 public:
  explicit TPCSCReaderFoundEvent(std::string readerName)
      : TPCSCEvent(TEventType::evReaderFound, std::move(readerName)) {}
};

class TPCSCReaderRemovedEvent : public TPCSCEvent {
 public:
  explicit TPCSCReaderRemovedEvent(std::string readerName)
      : TPCSCEvent(TEventType::evReaderRemoved, std::move(readerName)) {}
};

using TPCSCCardInsertProc =
    std::function<void(const std::string& readerName, const std::string& atr)>;
using TPCSCCardRemoveProc = std::function<void(const std::string& readerName)>;
using TPCSCCardErrorProc = std::function<void(const std::string& readerName)>;
using TPCSCReaderFoundProc = std::function<void(const std::string& readerName)>;
using TPCSCReaderRemovedProc = std::function<void(const std::string& readerName)>;

// First-in, first-out queue of reader and card events, for one thread. ProcessEvent delivers
// only the last queued event of a kind for a reader, and drops events that arrive while a
// callback runs (card-removed events excepted).
class TPCSCEventList {
 public:
  TPCSCEventList() = default;
  TPCSCEventList(const TPCSCEventList&) = delete;
  TPCSCEventList& operator=(const TPCSCEventList&) = delete;

  void CardInsertedAsync(void* sender, const std::string& readerName, const TBytes& atr);
  void CardRemovedAsync(void* sender, const std::string& readerName);
  void CardErrorAsync(void* sender, const std::string& readerName);
  void ReaderFoundAsync(void* sender, const std::string& readerName);
  void ReaderRemovedAsync(void* sender, const std::string& readerName);

  void ProcessEvent();
  void ProcessAllEvents();

  size_t Count() const { return FEventList.size(); }

  void SetOnCardInsert(TPCSCCardInsertProc proc) { FOnCardInsert = std::move(proc); }
  void SetOnCardRemove(TPCSCCardRemoveProc proc) { FOnCardRemove = std::move(proc); }
  void SetOnCardError(TPCSCCardErrorProc proc) { FOnCardError = std::move(proc); }
  void SetOnReaderFound(TPCSCReaderFoundProc proc) { FOnReaderFound = std::move(proc); }
  void SetOnReaderRemoved(TPCSCReaderRemovedProc proc) { FOnReaderRemoved = std::move(proc); }
  const TPCSCCardInsertProc& OnCardInsert() const { return FOnCardInsert; }
  const TPCSCCardRemoveProc& OnCardRemove() const { return FOnCardRemove; }
  const TPCSCCardErrorProc& OnCardError() const { return FOnCardError; }
  const TPCSCReaderFoundProc& OnReaderFound() const { return FOnReaderFound; }
  const TPCSCReaderRemovedProc& OnReaderRemoved() const { return FOnReaderRemoved; }

 private:
  bool LaterEventQueued(const TPCSCEvent& event) const;
  void Deliver(const TPCSCEvent& event);

  std::deque<std::unique_ptr<TPCSCEvent>> FEventList;
  TPCSCCardInsertProc FOnCardInsert;
  TPCSCCardRemoveProc FOnCardRemove;
  TPCSCCardErrorProc FOnCardError;
  TPCSCReaderFoundProc FOnReaderFound;
  TPCSCReaderRemovedProc FOnReaderRemoved;
  bool FProcessingEvent = false;
};

}  // namespace pcsc
