#include "ghostscript/paths.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

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
    if (errno != ERANGE) platform::raiseErrno(errno, path);
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

InputAliases::~InputAliases() {
  if (folder_.empty()) return;
  for (int i = 1; i <= links_; ++i) ::unlink((folder_ + "/" + std::to_string(i)).c_str());
  ::rmdir(folder_.c_str());
}

std::string InputAliases::argumentFor(const std::string& path) {
  if (!refusedAsInput(path)) return literalName(path);
  if (folder_.empty()) {
    std::string templ = platform::systemTempFolder() + "/docmill-gs-XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr) platform::raiseErrno(errno, templ);
    folder_ = templ;
  }
  std::string link = folder_ + "/" + std::to_string(links_ + 1);
  if (::symlink(absolute(path).c_str(), link.c_str()) != 0) platform::raiseErrno(errno, link);
  ++links_;
  return link;
}

}  // namespace docmill::gs
