#include "platform/library.h"

#include <dlfcn.h>
#include <link.h>

#include <cerrno>
#include <utility>

namespace docmill::platform {

DynamicLibrary::DynamicLibrary(const std::string& file, Symbols symbols, Binding binding)
    : handle_(::dlopen(file.c_str(), (binding == Binding::Now ? RTLD_NOW : RTLD_LAZY) |
                                         (symbols == Symbols::Global ? RTLD_GLOBAL : RTLD_LOCAL))) {
  if (handle_ == nullptr) {
    const char* reason = ::dlerror();
    throw OsError(ENOENT, reason ? std::string("cannot load: ") + reason : "cannot load", file);
  }
}

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), keep_(other.keep_) {}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
  if (this != &other) {
    if (handle_ && !keep_) ::dlclose(handle_);
    handle_ = std::exchange(other.handle_, nullptr);
    keep_ = other.keep_;
  }
  return *this;
}

DynamicLibrary::~DynamicLibrary() {
  if (handle_ && !keep_) ::dlclose(handle_);
}

void* DynamicLibrary::symbol(const char* name) const {
  return handle_ ? ::dlsym(handle_, name) : nullptr;
}

std::string DynamicLibrary::path() const {
  link_map* map = nullptr;
  if (handle_ && ::dlinfo(handle_, RTLD_DI_LINKMAP, &map) == 0 && map && map->l_name) {
    return map->l_name;
  }
  return {};
}

std::string loadedFrom(const void* address) {
  Dl_info info{};
  if (address == nullptr || ::dladdr(address, &info) == 0 || info.dli_fname == nullptr) return {};
  return info.dli_fname;
}

std::string folderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace docmill::platform
