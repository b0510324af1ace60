#include "base/DynLib.h"

#ifdef _WIN32
#include <windows.h>

#include "base/TextConv.h"
#else
#include <dlfcn.h>
#endif

namespace base {

TDynLib::~TDynLib() { Unload(); }

bool TDynLib::Load(const std::string& name) {
  Unload();
#ifdef _WIN32
  const std::u16string wide = Utf8ToUtf16(name);
  FHandle = reinterpret_cast<void*>(LoadLibraryW(reinterpret_cast<const wchar_t*>(wide.c_str())));
#else
  FHandle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
  return FHandle != nullptr;
}

void TDynLib::Unload() {
  if (!FHandle) return;
#ifdef _WIN32
  FreeLibrary(reinterpret_cast<HMODULE>(FHandle));
#else
  dlclose(FHandle);
#endif
  FHandle = nullptr;
}

void TDynLib::Release() { FHandle = nullptr; }

void* TDynLib::Symbol(const char* name) const {
  if (!FHandle) return nullptr;
#ifdef _WIN32
  return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(FHandle), name));
#else
  return dlsym(FHandle, name);
#endif
}

}  // namespace base
