#pragma once

#include <string>

namespace base {

// A shared library loaded at run time (LoadLibraryW / dlopen).
class TDynLib {
 public:
  TDynLib() = default;
  ~TDynLib();
  TDynLib(const TDynLib&) = delete;
  TDynLib& operator=(const TDynLib&) = delete;

  // Loads the library by name (UTF-8); an already loaded one is unloaded first.
  bool Load(const std::string& name);
  void Unload();
  // Leaves the library loaded but forgets it, so the destructor does not unload it.
  void Release();
  bool Loaded() const { return FHandle != nullptr; }
  void* Handle() const { return FHandle; }
  // Address of an export, or nullptr when it is missing or nothing is loaded.
  void* Symbol(const char* name) const;

 private:
  void* FHandle = nullptr;
};

}  // namespace base
