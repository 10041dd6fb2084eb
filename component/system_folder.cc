#include "component/system_folder.h"

#include <filesystem>

#include "ghostscript/conversions.h"
#include "platform/library.h"

namespace docmill {

std::string getSpecialFolder(int32_t csidl) {
  constexpr int32_t kSystemFolder = 37;
  if (csidl != kSystemFolder) return {};
  // The folder the dynamic loader takes the interpreter library from. The library stays
  // loaded: the binding keeps it for the life of the process anyway.
  for (const char* name : {gs::kLibraryName, gs::kLibraryFallbackName}) {
    try {
      platform::DynamicLibrary lib(name);
      lib.keepLoaded();
      const std::string file = platform::loadedFrom(lib.symbol("gsapi_revision"));
      if (file.empty()) continue;
      std::error_code ec;
      auto path = std::filesystem::weakly_canonical(file, ec);
      if (ec) path = file;
      return path.parent_path().string();
    } catch (const platform::OsError&) {
    }
  }
  return {};
}

}  // namespace docmill
