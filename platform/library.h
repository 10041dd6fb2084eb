// Dynamic libraries loaded at run time, and where loaded code came from.
//
// A `DynamicLibrary` owns one reference to a library the loader has mapped and drops it when
// it ends, unless `keepLoaded` was called: code that may still run later (a class factory,
// the interpreter's entry points) must stay mapped for the life of the process. A library
// that cannot be loaded throws `OsError` (ENOENT, with the loader's reason as the
// operation). `loadedFrom` is the one place that asks the loader which file a piece of code
// came from; it never throws.
#pragma once

#include <string>

#include "platform/os_error.h"

namespace docmill::platform {

class DynamicLibrary {
 public:
  // Whether the library's symbols also resolve references of libraries loaded after it.
  enum class Symbols { Local, Global };

  // When the library's calls to other libraries are bound: all at load, or each at its first
  // call (the loader's default for programs; a library with many dependencies of which
  // little is called loads markedly faster).
  enum class Binding { Now, Lazy };

  DynamicLibrary() = default;
  // Loads `file`, a path or a bare name for the loader's search.
  explicit DynamicLibrary(const std::string& file, Symbols symbols = Symbols::Local,
                          Binding binding = Binding::Now);
  DynamicLibrary(DynamicLibrary&& other) noexcept;
  DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;
  ~DynamicLibrary();

  explicit operator bool() const { return handle_ != nullptr; }
  // The address of `name` in the library, or null when it has none.
  void* symbol(const char* name) const;
  // The file the loader mapped (the full path it found for a bare name); "" when empty.
  std::string path() const;
  // The library stays mapped when this object ends.
  void keepLoaded() { keep_ = true; }

 private:
  void* handle_ = nullptr;
  bool keep_ = false;
};

// The file the code or data at `address` was loaded from, as the loader names it (the
// program or a library); "" when the address belongs to no loaded file.
std::string loadedFrom(const void* address);

// The folder part of `path` ("." when it has none).
std::string folderOf(const std::string& path);

}  // namespace docmill::platform
