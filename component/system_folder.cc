#include "component/system_folder.h"

#include <dlfcn.h>

#include <filesystem>

namespace docmill {

std::string getSpecialFolder(int32_t csidl) {
  constexpr int32_t kSystemFolder = 37;
  if (csidl != kSystemFolder) return {};
  // The folder the dynamic loader takes the interpreter library from. The library stays
  // loaded: the binding keeps it for the life of the process anyway.
  for (const char* name : {"libgs.so.10", "libgs.so"}) {
    void* lib = dlopen(name, RTLD_LAZY | RTLD_LOCAL);
    if (!lib) continue;
    void* sym = dlsym(lib, "gsapi_revision");
    Dl_info info{};
    if (sym && dladdr(sym, &info) && info.dli_fname) {
      std::error_code ec;
      auto path = std::filesystem::weakly_canonical(info.dli_fname, ec);
      if (ec) path = info.dli_fname;
      return path.parent_path().string();
    }
  }
  return {};
}

}  // namespace docmill
