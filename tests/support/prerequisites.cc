#include "tests/support/prerequisites.h"

#include <cstdlib>
#include <filesystem>
#include <string_view>

namespace docmill::test {

bool onCi() {
  const char* ci = std::getenv("CI");
  return ci && std::string_view(ci) == "true";
}

std::string corpusFolder() {
  namespace fs = std::filesystem;
  if (const char* env = std::getenv("DOCMILL_CORPUS"); env && *env) {
    return fs::is_directory(env) ? std::string(env) : std::string();
  }
  for (const char* up : {"../shared/corpus", "../../shared/corpus"}) {
    const fs::path folder = fs::path(DOCMILL_SOURCE_DIR) / up;
    std::error_code ec;
    if (fs::is_directory(folder, ec)) return fs::weakly_canonical(folder, ec).string();
  }
  return {};
}

}  // namespace docmill::test
