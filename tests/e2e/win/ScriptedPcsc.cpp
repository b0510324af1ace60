// Lets a test script the fake PC/SC library from outside the process that loaded it: a thread
// follows the file named by the environment variable FAKE_PCSC_SCRIPT and runs every line
// appended to it. One command per line, fields separated by tabs:
//   add_reader NAME | remove_reader NAME | insert_card NAME ATR | remove_card NAME
//   set_apdu NAME COMMAND RESPONSE | dump_log PATH
// Byte strings are hex text. Built with the fake into a winscard.dll for Windows programs.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

extern "C" {
void FakePcsc_AddReader(const char* name);
void FakePcsc_RemoveReader(const char* name);
void FakePcsc_InsertCard(const char* readerName, const char* atrHex);
void FakePcsc_RemoveCard(const char* readerName);
void FakePcsc_SetApdu(const char* readerName, const char* commandHex, const char* responseHex);
int FakePcsc_GetLog(char* buffer, int size);
}

namespace {

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab - start));
    if (tab == std::string::npos) return fields;
    start = tab + 1;
  }
}

void DumpLog(const std::string& path) {
  std::string text(static_cast<std::size_t>(FakePcsc_GetLog(nullptr, 0)) + 1, '\0');
  FakePcsc_GetLog(text.data(), static_cast<int>(text.size()));
  text.resize(text.size() - 1);
  const std::string partial = path + ".part";
  if (FILE* out = std::fopen(partial.c_str(), "wb")) {
    std::fwrite(text.data(), 1, text.size(), out);
    std::fclose(out);
    MoveFileExA(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
  }
}

void RunCommand(const std::string& line) {
  const std::vector<std::string> f = SplitTabs(line);
  const std::string& op = f[0];
  if (op == "add_reader" && f.size() == 2) {
    FakePcsc_AddReader(f[1].c_str());
  } else if (op == "remove_reader" && f.size() == 2) {
    FakePcsc_RemoveReader(f[1].c_str());
  } else if (op == "insert_card" && f.size() == 3) {
    FakePcsc_InsertCard(f[1].c_str(), f[2].c_str());
  } else if (op == "remove_card" && f.size() == 2) {
    FakePcsc_RemoveCard(f[1].c_str());
  } else if (op == "set_apdu" && f.size() == 4) {
    FakePcsc_SetApdu(f[1].c_str(), f[2].c_str(), f[3].c_str());
  } else if (op == "dump_log" && f.size() == 2) {
    DumpLog(f[1]);
  } else {
    std::fprintf(stderr, "fake PC/SC script: bad line: %s\n", line.c_str());
  }
}

// Reads what was appended since the last call and runs every complete line.
void Follow(const std::string& path, long& offset, std::string& pending) {
  FILE* in = std::fopen(path.c_str(), "rb");
  if (!in) return;
  if (std::fseek(in, offset, SEEK_SET) == 0) {
    char buffer[4096];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof(buffer), in)) > 0) {
      pending.append(buffer, got);
      offset += static_cast<long>(got);
    }
  }
  std::fclose(in);
  std::size_t eol;
  while ((eol = pending.find('\n')) != std::string::npos) {
    std::string line = pending.substr(0, eol);
    pending.erase(0, eol + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) RunCommand(line);
  }
}

// Starts the follower when the library is loaded. The library is pinned, so that the thread
// never outlives its code when the program unloads it; the thread ends with the process.
struct TScriptFollower {
  TScriptFollower() {
    const char* path = std::getenv("FAKE_PCSC_SCRIPT");
    if (!path || !*path) return;
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCSTR>(&RunCommand), &self);
    std::thread([file = std::string(path)] {
      long offset = 0;
      std::string pending;
      for (;;) {
        Follow(file, offset, pending);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }).detach();
  }
};

const TScriptFollower follower;

}  // namespace
