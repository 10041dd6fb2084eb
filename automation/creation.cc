#include "automation/creation.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <sstream>
#include <system_error>

#include "platform/library.h"
#include "platform/settings.h"
#include "platform/trust.h"

namespace docmill {

namespace {

struct Entry {
  uint64_t cookie;
  Guid clsid;
  std::string progId;
  ClassFactoryPtr factory;
};

struct ClassTable {
  std::mutex mutex;
  std::vector<Entry> entries;  // later registrations last
  uint64_t nextCookie = 1;
};

ClassTable& table() {
  static ClassTable* t = new ClassTable;  // never destroyed: objects may outlive main()
  return *t;
}

class FunctionFactory : public ClassFactory {
 public:
  explicit FunctionFactory(std::function<DispatchPtr()> f) : f_(std::move(f)) {}
  DispatchPtr createInstance() override { return f_(); }

 private:
  std::function<DispatchPtr()> f_;
};

[[noreturn]] void cannotCreate() {
  raiseRuntime(rt::CantCreateObject);
}

ClassFactoryPtr findRegistered(std::string_view name, const std::optional<Guid>& clsid) {
  auto& t = table();
  std::lock_guard lock(t.mutex);
  for (auto it = t.entries.rbegin(); it != t.entries.rend(); ++it) {
    if ((clsid && it->clsid == *clsid) || (!clsid && namesEqual(it->progId, name))) {
      return it->factory;
    }
  }
  return nullptr;
}

ClassFactoryPtr loadFromLibrary(const ClassRecord& record) {
  platform::DynamicLibrary lib;
  try {
    lib = platform::DynamicLibrary(record.library, platform::DynamicLibrary::Symbols::Global);
  } catch (const platform::OsError&) {
    cannotCreate();
  }
  auto fn = reinterpret_cast<DllGetClassObjectFn>(lib.symbol("DllGetClassObject"));
  if (!fn) cannotCreate();
  // The factory's code lives in the library: it stays loaded for the life of the process.
  lib.keepLoaded();
  ClassFactoryPtr* out = nullptr;
  if (fn(&record.clsid, &out) != hr::S_OK || !out) cannotCreate();
  ClassFactoryPtr factory = std::move(*out);
  delete out;
  return factory;
}

std::string readValue(const std::map<std::string, std::string>& m, const char* key) {
  auto it = m.find(key);
  return it == m.end() ? std::string() : it->second;
}

// A record is a few hundred bytes; anything far larger is not one.
constexpr size_t kMaxRecordBytes = 64 * 1024;

void warn(const std::string& text) {
  std::fprintf(stderr, "docmill: %s\n", text.c_str());
}

// The folder with its links followed, when nobody but root and the current user can change
// it or what it holds; nothing (with a warning) when somebody else could, or when it is
// not there.
std::optional<std::string> trustedFolder(const std::filesystem::path& folder) {
  auto check = platform::checkPath(folder.string(), platform::LastEntry::Private);
  if (!check.trusted()) {
    warn("ignoring the registry folder " + folder.string() + ": " + check.problem);
    return std::nullopt;
  }
  if (check.resolved.empty()) return std::nullopt;
  return check.resolved;
}

// A record is obeyed only when nobody but root and the current user could have written it
// or the library it names: whoever can change either chooses the code the next caller
// loads.
std::optional<ClassRecord> readRecord(const std::filesystem::path& file) {
  std::string problem;
  auto text = platform::readTrustedFile(file.string(), kMaxRecordBytes, &problem);
  if (!text) {
    if (!problem.empty()) warn("ignoring the registry record " + file.string() + ": it " + problem);
    return std::nullopt;
  }
  std::map<std::string, std::string> m;
  std::istringstream in(*text);
  std::string line;
  while (std::getline(in, line)) {
    auto eq = line.find('=');
    if (eq != std::string::npos) m[line.substr(0, eq)] = line.substr(eq + 1);
  }
  auto clsid = Guid::parse(readValue(m, "CLSID"));
  if (!clsid) return std::nullopt;
  ClassRecord r;
  r.clsid = *clsid;
  r.progId = readValue(m, "ProgID");
  r.library = readValue(m, "InprocServer32");
  r.threadingModel = readValue(m, "ThreadingModel");
  r.interfaceId = Guid::parse(readValue(m, "Interface")).value_or(Guid{});
  r.typeLibId = Guid::parse(readValue(m, "TypeLib")).value_or(Guid{});
  r.typeLibVersion = readValue(m, "TypeLibVersion");
  r.version = readValue(m, "Version");
  if (r.library.empty() || r.library[0] != '/') {
    warn("ignoring the registry record " + file.string() + ": its library is not an absolute path");
    return std::nullopt;
  }
  auto library = platform::checkPath(r.library, platform::LastEntry::Private);
  if (!library.trusted()) {
    warn("ignoring the registry record " + file.string() + ": " + library.problem);
    return std::nullopt;
  }
  return r;
}

std::string recordText(const ClassRecord& r) {
  return "CLSID=" + r.clsid.toString() + "\n" + "ProgID=" + r.progId + "\n" +
         "InprocServer32=" + r.library + "\n" + "ThreadingModel=" + r.threadingModel + "\n" +
         "Interface=" + r.interfaceId.toString() + "\n" + "TypeLib=" + r.typeLibId.toString() +
         "\n" + "TypeLibVersion=" + r.typeLibVersion + "\n" + "Version=" + r.version + "\n";
}

}  // namespace

ClassFactoryPtr makeFactory(std::function<DispatchPtr()> create) {
  return std::make_shared<FunctionFactory>(std::move(create));
}

ClassRegistration& ClassRegistration::operator=(ClassRegistration&& other) noexcept {
  if (this != &other) {
    ClassRegistration old(cookie_);
    cookie_ = other.cookie_;
    other.cookie_ = 0;
  }
  return *this;
}

ClassRegistration::~ClassRegistration() {
  if (!cookie_) return;
  auto& t = table();
  std::lock_guard lock(t.mutex);
  std::erase_if(t.entries, [this](const Entry& e) { return e.cookie == cookie_; });
}

ClassRegistration registerClass(const Guid& clsid, std::string progId, ClassFactoryPtr factory) {
  auto& t = table();
  std::lock_guard lock(t.mutex);
  uint64_t cookie = t.nextCookie++;
  t.entries.push_back(Entry{cookie, clsid, std::move(progId), std::move(factory)});
  return ClassRegistration(cookie);
}

DispatchPtr createObject(std::string_view progIdOrClsid) {
  std::optional<Guid> clsid = Guid::parse(progIdOrClsid);
  ClassFactoryPtr factory = findRegistered(progIdOrClsid, clsid);
  if (!factory) {
    auto record = findClassRecord(progIdOrClsid);
    if (!record) cannotCreate();
    factory = loadFromLibrary(*record);
  }
  DispatchPtr object;
  try {
    object = factory->createInstance();
  } catch (const AutomationError&) {
    throw;
  } catch (const std::exception&) {
    cannotCreate();
  }
  if (!object) cannotCreate();
  return object;
}

std::vector<std::filesystem::path> registryFolders() {
  if (auto folder = platform::readTextSetting(platform::kRegistry)) return {*folder};
  std::vector<std::filesystem::path> folders;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) {
    folders.emplace_back(std::filesystem::path(xdg) / "docmill" / "registry");
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    folders.emplace_back(std::filesystem::path(home) / ".local" / "share" / "docmill" / "registry");
  }
  folders.emplace_back("/var/lib/docmill/registry");
  return folders;
}

bool writeClassRecord(const ClassRecord& r) {
  for (const auto& folder : registryFolders()) {
    // Nothing is made inside a folder that somebody else could change, and nothing is
    // written into one that readers would ignore.
    auto check = platform::checkPath(folder.string(), platform::LastEntry::Private);
    if (!check.trusted()) {
      warn("not writing into the registry folder " + folder.string() + ": " + check.problem);
      continue;
    }
    try {
      platform::makeFolders(folder.string(), 0755);
      auto resolved = trustedFolder(folder);
      if (!resolved) continue;
      platform::replaceFile(*resolved, r.clsid.toString() + ".reg", recordText(r), 0644);
      return true;
    } catch (const platform::OsError&) {
      // This folder cannot be written; the next one may be.
    }
  }
  return false;
}

bool removeClassRecord(const Guid& clsid) {
  bool ok = true;
  for (const auto& folder : registryFolders()) {
    std::error_code ec;
    auto file = folder / (clsid.toString() + ".reg");
    // Removes a link planted under the name as well, never what it leads to.
    if (std::filesystem::exists(std::filesystem::symlink_status(file, ec))) {
      if (!std::filesystem::remove(file, ec) || ec) ok = false;
    }
  }
  return ok;
}

std::optional<ClassRecord> findClassRecord(std::string_view progIdOrClsid) {
  std::optional<Guid> clsid = Guid::parse(progIdOrClsid);
  for (const auto& configured : registryFolders()) {
    auto folder = trustedFolder(configured);
    if (!folder) continue;
    std::filesystem::path dir(*folder);
    if (clsid) {
      if (auto r = readRecord(dir / (clsid->toString() + ".reg"))) return r;
      continue;
    }
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(dir, ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
      if (it->path().extension() != ".reg") continue;
      auto r = readRecord(it->path());
      if (r && namesEqual(r->progId, progIdOrClsid)) return r;
    }
  }
  return std::nullopt;
}

}  // namespace docmill
