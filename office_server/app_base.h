// Common ground of the Office application servers' objects: each object of an application
// (the application itself, its collections, documents, page setups, fonts, ...) is a
// `NamedDispatch` that matches member names case-insensitively and runs its work on the
// office its application took from the pool. An object made while no office call runs on
// the thread is an application: it takes an office of its own (waiting for a free one).
// Objects made during a call share the lease of the object called.
//
// Objects share ownership of what they describe through `shared_ptr`s; an application's
// documents are closed when the application quits or is released. Failures are raised as
// the application's errors (number, application name, description).
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "automation/dispatch.h"
#include "office_server/documents.h"
#include "office_server/office_pool.h"
#include "office_server/uno_support.h"
#include "printer/destinations.h"

namespace docmill::office_server {

class OfficeObject : public NamedDispatch {
 public:
  explicit OfficeObject(const AppIdentity& app);

 protected:
  // Runs `member` as one office call (locked, under the time-out); UNO exceptions become
  // the application's errors, and a call whose office hung or died says so.
  Variant invokeByName(NamedCall& call) final;
  virtual Variant member(NamedCall& call) = 0;

  [[noreturn]] void unknownMember(const NamedCall& call) const;
  [[noreturn]] void fail(int32_t number, std::string description) const {
    raiseApp(app_, number, std::move(description));
  }
  const AppIdentity& app_;
  LeasePtr lease_;
};

// A collection whose members are reached by `Item(index)` (or by the holder of the
// collection indexing it directly) and counted by `Count`; `otherMember` answers the rest.
class IndexedCollection : public OfficeObject {
 public:
  using OfficeObject::OfficeObject;
  virtual Variant item(const Variant& index) = 0;

 protected:
  virtual int32_t count() = 0;
  virtual Variant otherMember(NamedCall& call) { unknownMember(call); }
  Variant member(NamedCall& call) final;
};

// How an application's `Open` names its parameters (see DocumentList::openFromCall).
struct OpenParameters {
  const DocumentKind& kind;
  const char* fileName;
  size_t passwordPosition;
  const char* passwordName;
};

// An application's collection of open documents (`Documents`, `Workbooks`): `Open` adds
// the named file and answers it as a new `Document` object; `Count` counts the documents
// still open. Shares the list with its application, which closes them.
template <class Document>
class OpenDocuments : public OfficeObject {
 public:
  OpenDocuments(const AppIdentity& app, std::shared_ptr<DocumentList> docs, OpenParameters open)
      : OfficeObject(app), docs_(std::move(docs)), open_(open) {}

 protected:
  Variant member(NamedCall& call) override {
    if (namesEqual(call.member, "Open")) {
      auto doc = docs_->openFromCall(call, app_, open_.kind, open_.fileName, open_.passwordPosition,
                                     open_.passwordName);
      return Variant(DispatchPtr(std::make_shared<Document>(doc)));
    }
    if (namesEqual(call.member, "Count")) {
      return Variant(static_cast<int32_t>(docs_->open().size()));
    }
    unknownMember(call);
  }

 private:
  std::shared_ptr<DocumentList> docs_;
  OpenParameters open_;
};

// The argument at `position` or named `name`; nullptr when absent or passed as missing.
const Variant* argument(const NamedCall& call, size_t position, std::string_view name);
// The new value of a property put (raises when the call is not a put).
const Variant& putValue(const NamedCall& call);
inline bool is(const NamedCall& call, std::string_view name) {
  return namesEqual(call.member, name);
}

// The answer of every application to `PrintsSynchronously`: True, since PrintOut returns
// only once the print file is complete, so a caller need not watch the file settle.
// Read-only: a put fails with the application's error.
Variant printsSynchronously(const AppIdentity& app, const NamedCall& call);

// The printer names an application accepts: "Generic PostScript Printer" and the printing
// system's destinations.
bool printerKnown(std::string_view name);
inline constexpr const char* kDefaultPrinter = printer::kGenericPostScriptPrinter;
// Checks a printer name given to `ActivePrinter`; unknown names fail with the application's
// error.
std::string checkPrinter(const AppIdentity& app, const Variant& value);

}  // namespace docmill::office_server
