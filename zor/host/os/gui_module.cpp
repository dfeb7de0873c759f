#include "zor/host/os/gui_module.h"

#include <dlfcn.h>

#include <mutex>

namespace zor {

void* windowLayerSymbol(const char* fileName, const char* symbol, std::string& why) {
  // Loaded once and kept: Qt does not survive being unloaded.
  static std::mutex mutex;
  static void* module = nullptr;
  std::lock_guard lock(mutex);
  if (module == nullptr) {
    Dl_info self{};
    if (dladdr(reinterpret_cast<void*>(&windowLayerSymbol), &self) != 0 && self.dli_fname != nullptr) {
      std::string path = self.dli_fname;
      std::size_t slash = path.rfind('/');
      if (slash != std::string::npos)
        module = dlopen((path.substr(0, slash + 1) + fileName).c_str(), RTLD_NOW);
    }
    if (module == nullptr) module = dlopen(fileName, RTLD_NOW);
    if (module == nullptr) {
      const char* e = dlerror();
      why = e != nullptr ? e : fileName;
      return nullptr;
    }
  }
  void* found = dlsym(module, symbol);
  if (found == nullptr) {
    const char* e = dlerror();
    why = e != nullptr ? e : symbol;
  }
  return found;
}

}  // namespace zor
