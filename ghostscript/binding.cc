#include "ghostscript/binding.h"

#include <ghostscript/iapi.h>

#include <atomic>
#include <map>
#include <memory>

#include "automation/error.h"
#include "platform/library.h"

namespace docmill::gs {

// The interpreter's own function types, from its header: the compiler checks that our
// calls match the library's declarations.
struct Library::EntryPoints {
  decltype(&gsapi_revision) revision = nullptr;
  decltype(&gsapi_new_instance) newInstance = nullptr;
  decltype(&gsapi_set_stdio) setStdio = nullptr;
  decltype(&gsapi_init_with_args) initWithArgs = nullptr;
  decltype(&gsapi_exit) exit = nullptr;
  decltype(&gsapi_delete_instance) deleteInstance = nullptr;
};

namespace {

template <typename Fn>
void lookUp(const platform::DynamicLibrary& library, const char* symbol, Fn& target) {
  target = reinterpret_cast<Fn>(library.symbol(symbol));
}

// Bound lazily, as the interpreter's own program is: binding its many dependencies (a
// windowing library among them, of which a run calls nothing) at load would cost every
// cold run several milliseconds, while a run binds the few calls it makes in no time.
platform::DynamicLibrary loadOne(const std::string& file) {
  return platform::DynamicLibrary(file, platform::DynamicLibrary::Symbols::Local,
                                  platform::DynamicLibrary::Binding::Lazy);
}

platform::DynamicLibrary loadFirst(const std::string& file, const std::string& fallback) {
  try {
    return loadOne(file);
  } catch (const platform::OsError&) {
    if (fallback.empty()) throw;
  }
  return loadOne(fallback);
}

std::mutex registryMutex;
// Library objects by file name; never freed because libraries are never unloaded.
std::map<std::string, Library*>& registry() {
  static auto* libraries = new std::map<std::string, Library*>;
  return *libraries;
}
std::atomic<Library*> chosen{nullptr};

}  // namespace

Library::Library(std::string file, std::string fallback, std::string name)
    : file_(std::move(file)), fallback_(std::move(fallback)), name_(std::move(name)) {}

Library& Library::at(const std::string& file) {
  std::lock_guard lock(registryMutex);
  Library*& slot = registry()[file];
  if (!slot) slot = new Library(file, {}, file);
  return *slot;
}

Library& Library::current() {
  if (Library* lib = chosen.load(std::memory_order_acquire)) return *lib;
  static Library* system = new Library(kLibraryName, kLibraryFallbackName, kLibraryName);
  return *system;
}

void useLibrary(const std::string& file) {
  chosen.store(file.empty() ? nullptr : &Library::at(file), std::memory_order_release);
}

void Library::load() {
  // A failed load throws out of call_once, which leaves the flag unset: the next call
  // tries again (the library may have been installed meanwhile).
  std::call_once(loaded_, [this] {
    platform::DynamicLibrary library;
    try {
      library = loadFirst(file_, fallback_);
    } catch (const platform::OsError&) {
      raiseRuntime(rt::FileNotFound, runtimeErrorText(rt::FileNotFound) + ": " + name_);
    }
    library.keepLoaded();
    auto* e = new EntryPoints;
    lookUp(library, "gsapi_revision", e->revision);
    lookUp(library, "gsapi_new_instance", e->newInstance);
    lookUp(library, "gsapi_set_stdio", e->setStdio);
    lookUp(library, "gsapi_init_with_args", e->initWithArgs);
    lookUp(library, "gsapi_exit", e->exit);
    lookUp(library, "gsapi_delete_instance", e->deleteInstance);
    path_ = library.path();
    entries_ = e;
  });
}

void* Library::entry(void* address, const char* symbol) const {
  if (!address) {
    raiseRuntime(rt::DllEntryPointNotFound,
                 std::string("Can't find DLL entry point ") + symbol + " in " + name_);
  }
  return address;
}

void Library::requireAll() {
  load();
  entry(reinterpret_cast<void*>(entries_->revision), "gsapi_revision");
  entry(reinterpret_cast<void*>(entries_->newInstance), "gsapi_new_instance");
  entry(reinterpret_cast<void*>(entries_->setStdio), "gsapi_set_stdio");
  entry(reinterpret_cast<void*>(entries_->initWithArgs), "gsapi_init_with_args");
  entry(reinterpret_cast<void*>(entries_->exit), "gsapi_exit");
  entry(reinterpret_cast<void*>(entries_->deleteInstance), "gsapi_delete_instance");
}

std::string Library::folder() {
  try {
    load();
  } catch (const AutomationError&) {
    return {};
  }
  return path_.empty() ? std::string() : platform::folderOf(path_);
}

std::string Library::chosenFile() {
  const Library* lib = chosen.load(std::memory_order_acquire);
  return lib ? lib->file_ : std::string();
}

int Library::revision(long* revision) {
  load();
  entry(reinterpret_cast<void*>(entries_->revision), "gsapi_revision");
  gsapi_revision_t record{};
  int code = entries_->revision(&record, static_cast<int>(sizeof record));
  *revision = record.revision;
  return code;
}

int Library::newInstance(void** instance, void* callerHandle) {
  load();
  entry(reinterpret_cast<void*>(entries_->newInstance), "gsapi_new_instance");
  // The interpreter reads *instance: a non-null value asks it to share that instance's
  // library context, so a fresh run must start from null.
  *instance = nullptr;
  return entries_->newInstance(instance, callerHandle);
}

int Library::setStdio(void* instance, StdinFn in, OutputFn out, OutputFn err) {
  load();
  entry(reinterpret_cast<void*>(entries_->setStdio), "gsapi_set_stdio");
  return entries_->setStdio(instance, in, out, err);
}

int Library::initWithArgs(void* instance, int argc, char** argv) {
  load();
  entry(reinterpret_cast<void*>(entries_->initWithArgs), "gsapi_init_with_args");
  return entries_->initWithArgs(instance, argc, argv);
}

int Library::exit(void* instance) {
  load();
  entry(reinterpret_cast<void*>(entries_->exit), "gsapi_exit");
  return entries_->exit(instance);
}

void Library::deleteInstance(void* instance) {
  load();
  entry(reinterpret_cast<void*>(entries_->deleteInstance), "gsapi_delete_instance");
  entries_->deleteInstance(instance);
}

}  // namespace docmill::gs
