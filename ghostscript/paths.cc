#include "ghostscript/paths.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "automation/os_errors.h"
#include "platform/files.h"

namespace docmill::gs {

namespace {

bool startsSpecially(const std::string& path) {
  return !path.empty() && (path[0] == '-' || path[0] == '@' || path[0] == '%' || path[0] == '|');
}

// True when some component of the name starts with a character the interpreter's safe
// mode takes for a device or a pipe, so that it would refuse to open the file.
bool refusedAsInput(const std::string& path) {
  for (size_t i = 0; i < path.size(); ++i) {
    bool componentStart = i == 0 || path[i - 1] == '/';
    if (componentStart && (path[i] == '%' || path[i] == '|')) return true;
  }
  return false;
}

std::string absolute(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  std::vector<char> buffer(4096);
  while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) raiseErrno(errno);
    buffer.resize(buffer.size() * 2);
  }
  return std::string(buffer.data()) + "/" + path;
}

}  // namespace

std::string literalName(const std::string& path) {
  return startsSpecially(path) ? "./" + path : path;
}

std::string outputFileValue(const std::string& path) {
  std::string out;
  for (char c : literalName(path)) {
    out.push_back(c);
    if (c == '%') out.push_back('%');
  }
  return out;
}

std::string InputAliases::argumentFor(const std::string& path) {
  if (!refusedAsInput(path)) return literalName(path);
  if (folder_.empty()) {
    try {
      folder_ = platform::TempFolder(platform::hostScratchFolder(), "gs-links-");
    } catch (const platform::OsError& e) {
      raiseOsError(e);
    }
  }
  std::string link = folder_.path() + "/" + std::to_string(links_ + 1);
  try {
    platform::makeLink(absolute(path), link);
  } catch (const platform::OsError& e) {
    raiseOsError(e);
  }
  ++links_;
  return link;
}

}  // namespace docmill::gs
