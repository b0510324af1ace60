#pragma once

// Test-side handle on the fake PC/SC library: loads it by file name (the same file the code
// under test loads, so both share its state) and scripts it.

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "FakePcscScript.h"
#include "base/DynLib.h"

namespace pcsctest {

class TFakePcsc {
 public:
  explicit TFakePcsc(const std::string& library = FAKE_PCSC_LIB) : FLibrary(library) {
    if (!FLib.Load(library)) {
      ADD_FAILURE() << "cannot load the fake PC/SC library " << library;
      return;
    }
    Resolve(FReset, "FakePcsc_Reset");
    Resolve(FAddReader, "FakePcsc_AddReader");
    Resolve(FRemoveReader, "FakePcsc_RemoveReader");
    Resolve(FInsertCard, "FakePcsc_InsertCard");
    Resolve(FRemoveCard, "FakePcsc_RemoveCard");
    Resolve(FSetStateOverride, "FakePcsc_SetStateOverride");
    Resolve(FSetProtocol, "FakePcsc_SetProtocol");
    Resolve(FSetApdu, "FakePcsc_SetApdu");
    Resolve(FSetControl, "FakePcsc_SetControl");
    Resolve(FSetAttrib, "FakePcsc_SetAttrib");
    Resolve(FInjectResult, "FakePcsc_InjectResult");
    Resolve(FStopService, "FakePcsc_StopService");
    Resolve(FStartService, "FakePcsc_StartService");
    Resolve(FRestartService, "FakePcsc_RestartService");
    Resolve(FGetLog, "FakePcsc_GetLog");
    Resolve(FClearLog, "FakePcsc_ClearLog");
    Resolve(FOpenContexts, "FakePcsc_OpenContexts");
    Reset();
  }
  ~TFakePcsc() { Reset(); }

  const std::string& Library() const { return FLibrary; }
  void Reset() {
    if (FReset) FReset();
  }
  void AddReader(const std::string& name) { FAddReader(name.c_str()); }
  void RemoveReader(const std::string& name) { FRemoveReader(name.c_str()); }
  void InsertCard(const std::string& reader, const std::string& atr) {
    FInsertCard(reader.c_str(), atr.c_str());
  }
  void RemoveCard(const std::string& reader) { FRemoveCard(reader.c_str()); }
  void SetStateOverride(const std::string& reader, unsigned long bits) {
    FSetStateOverride(reader.c_str(), 1, bits);
  }
  void ClearStateOverride(const std::string& reader) { FSetStateOverride(reader.c_str(), 0, 0); }
  void SetProtocol(const std::string& reader, unsigned long protocol) {
    FSetProtocol(reader.c_str(), protocol);
  }
  void SetApdu(const std::string& reader, const std::string& command, const std::string& response) {
    FSetApdu(reader.c_str(), command.c_str(), response.c_str());
  }
  void SetControl(const std::string& reader, unsigned long code, const std::string& response) {
    FSetControl(reader.c_str(), code, response.c_str());
  }
  void SetAttrib(const std::string& reader, unsigned long id, const std::string& value) {
    FSetAttrib(reader.c_str(), id, value.c_str());
  }
  void Inject(const std::string& function, unsigned long code, int times = -1) {
    FInjectResult(function.c_str(), code, times);
  }
  void StopService(unsigned long staleCode) { FStopService(staleCode); }
  void StartService() { FStartService(); }
  void RestartService(unsigned long staleCode) { FRestartService(staleCode); }
  int OpenContexts() { return FOpenContexts(); }
  void ClearLog() { FClearLog(); }

  std::vector<std::string> Log() {
    std::string text(static_cast<size_t>(FGetLog(nullptr, 0)) + 1, '\0');
    FGetLog(text.data(), static_cast<int>(text.size()));
    std::vector<std::string> lines;
    std::istringstream in(text.c_str());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  // The log lines that start with the given call name.
  std::vector<std::string> Calls(const std::string& prefix) {
    std::vector<std::string> lines;
    for (const auto& line : Log())
      if (line.rfind(prefix, 0) == 0) lines.push_back(line);
    return lines;
  }

 private:
  template <typename TFn>
  void Resolve(TFn& fn, const char* name) {
    fn = reinterpret_cast<TFn>(FLib.Symbol(name));
    if (!fn) ADD_FAILURE() << "fake PC/SC library lacks " << name;
  }

  std::string FLibrary;
  base::TDynLib FLib;
  TFakePcscReset FReset = nullptr;
  TFakePcscAddReader FAddReader = nullptr;
  TFakePcscRemoveReader FRemoveReader = nullptr;
  TFakePcscInsertCard FInsertCard = nullptr;
  TFakePcscRemoveCard FRemoveCard = nullptr;
  TFakePcscSetStateOverride FSetStateOverride = nullptr;
  TFakePcscSetProtocol FSetProtocol = nullptr;
  TFakePcscSetApdu FSetApdu = nullptr;
  TFakePcscSetControl FSetControl = nullptr;
  TFakePcscSetAttrib FSetAttrib = nullptr;
  TFakePcscInjectResult FInjectResult = nullptr;
  TFakePcscStopService FStopService = nullptr;
  TFakePcscStartService FStartService = nullptr;
  TFakePcscRestartService FRestartService = nullptr;
  TFakePcscGetLog FGetLog = nullptr;
  TFakePcscClearLog FClearLog = nullptr;
  TFakePcscOpenContexts FOpenContexts = nullptr;
};

}  // namespace pcsctest
