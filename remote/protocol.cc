#include "remote/protocol.h"

#include <filesystem>

#include "component/type_library.h"
#include "platform/library.h"
#include "platform/settings.h"

namespace docmill::remote {

std::string callEnvironment() {
  static const std::string build = [] {
    std::string text = std::string("docmill ") + kLibraryVersion + "\n";
    const std::string file =
        platform::loadedFrom(reinterpret_cast<const void*>(&createPdfInterface));
    std::error_code ec;
    const auto size = std::filesystem::file_size(file, ec);
    const auto time = std::filesystem::last_write_time(file, ec).time_since_epoch().count();
    if (!ec) text += file + " " + std::to_string(size) + " " + std::to_string(time) + "\n";
    return text;
  }();
  return build + platform::behaviourEnvironment();
}

}  // namespace docmill::remote
