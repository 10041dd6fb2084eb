// Creation of automation objects by ProgID or class identifier.
//
// A process-wide class table maps class identifiers and ProgIDs to class factories. Classes
// come from two places: factories registered in the running process (`registerClass`,
// undone by the returned `ClassRegistration`), and records in the on-disk registry folder
// that name a library exporting `DllGetClassObject`; such a library is loaded on first use
// and never unloaded. Records and their libraries are obeyed only when no user other than
// root and the current one can change them. A name that resolves nowhere, or a factory
// that fails, raises run-time error 429 "Automation server can't create object".
//
// The table is thread-safe. It lives in the automation runtime's own shared library so
// that the component library and its host see one table.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "automation/dispatch.h"
#include "automation/typeinfo.h"

namespace docmill {

class ClassFactory {
 public:
  virtual ~ClassFactory() = default;
  virtual DispatchPtr createInstance() = 0;
};
using ClassFactoryPtr = std::shared_ptr<ClassFactory>;

// A factory from a function.
ClassFactoryPtr makeFactory(std::function<DispatchPtr()> create);

// Keeps a class registered in this process while it lives.
class ClassRegistration {
 public:
  ClassRegistration() = default;
  explicit ClassRegistration(uint64_t cookie) : cookie_(cookie) {}
  ClassRegistration(ClassRegistration&& other) noexcept : cookie_(other.cookie_) {
    other.cookie_ = 0;
  }
  ClassRegistration& operator=(ClassRegistration&& other) noexcept;
  ~ClassRegistration();

 private:
  uint64_t cookie_ = 0;
};

// Registers `factory` for `clsid` and `progId` in this process. A later registration of the
// same ProgID hides an earlier one until it is revoked.
[[nodiscard]] ClassRegistration registerClass(const Guid& clsid, std::string progId,
                                              ClassFactoryPtr factory);

// Creates an object from a ProgID ("Word.Application") or a class identifier in braces.
DispatchPtr createObject(std::string_view progIdOrClsid);

// ---- The on-disk registry ----------------------------------------------------------------

// One registered class.
struct ClassRecord {
  Guid clsid;
  std::string progId;
  std::string library;         // absolute path of the library that serves the class
  std::string threadingModel;  // "Apartment"
  Guid interfaceId;
  Guid typeLibId;
  std::string typeLibVersion;  // "1.0"
  std::string version;         // the library's file version, "2.0.0.0"
};

// The registry folders, most specific first: $DOCMILL_REGISTRY when set (alone); otherwise
// the per-user folder ($XDG_DATA_HOME or ~/.local/share, then docmill/registry) and the
// system folder /var/lib/docmill/registry.
std::vector<std::filesystem::path> registryFolders();

// Only what nobody but root and the current user can change is obeyed: a folder that
// another user owns or that group or others may write to, a record that is a link, belongs
// to another user or may be written by others, and a record whose library is not an
// absolute path that passes the same test, are ignored with a warning on standard error.

// Writes the record into the first registry folder that can be written, mode 0644 in
// folders created 0755 whatever the umask, atomically (a private temporary file renamed
// over the record, never through a link). Returns false when no folder can take it.
bool writeClassRecord(const ClassRecord& record);
// Removes every record of `clsid` that can be removed. Returns false if one could not be.
bool removeClassRecord(const Guid& clsid);
// Finds a trusted record by ProgID (case-insensitive) or by class identifier.
std::optional<ClassRecord> findClassRecord(std::string_view progIdOrClsid);

// Signature of the `DllGetClassObject` export of a server library: on S_OK, `*factory`
// receives a new heap-allocated `ClassFactoryPtr` that the caller deletes.
using DllGetClassObjectFn = int32_t (*)(const Guid* clsid, ClassFactoryPtr** factory);

}  // namespace docmill
