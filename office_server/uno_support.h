// UNO helpers of the Office servers: text conversion, file URLs, loading a document
// safely, exporting pages to PDF, and the one place where UNO exceptions become errors.
//
// Only files of this folder include it. Every function that talks to the office expects
// to run inside an office call (`CallScope`, office_pool.h). Failures are raised as
// `AutomationError` with the application's name as source (see `AppIdentity`), never as UNO
// exceptions.
#pragma once

#include <com/sun/star/beans/PropertyValue.hpp>
#include <com/sun/star/beans/XPropertySet.hpp>
#include <com/sun/star/frame/XDesktop2.hpp>
#include <com/sun/star/lang/XComponent.hpp>
#include <com/sun/star/uno/Exception.hpp>
#include <com/sun/star/uno/Reference.hxx>
#include <com/sun/star/uno/Sequence.hxx>
#include <com/sun/star/uno/XComponentContext.hpp>
#include <rtl/ustring.hxx>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "automation/error.h"
#include "office_server/measures.h"
#include "platform/scratch.h"

namespace css = ::com::sun::star;

namespace docmill::office_server {

// Who reports an error, and the numbers it reports them with. Each application keeps its
// own numbering so a script writer recognises the application's errors.
struct AppIdentity {
  std::string name;       // "Microsoft Word" style source name, e.g. "Word"
  int32_t fileNotOpened;  // the file could not be read or is not a document of this kind
  int32_t wrongPassword;  // a password is needed or the one given is wrong
  int32_t badValue;       // a value out of range (unknown printer, bad page list, ...)
  int32_t failed;         // the office failed to carry out the request
};

[[noreturn]] void raiseApp(const AppIdentity& app, int32_t number, std::string description);

rtl::OUString toOU(std::string_view text);
std::string fromOU(const rtl::OUString& text);

// The absolute file URL of a path (relative paths are taken from the current folder).
rtl::OUString fileUrl(const std::string& path);

css::beans::PropertyValue prop(const char* name, const css::uno::Any& value);

// Reads property `name` of `set` as a T (T's default when the value is of another type);
// writes one. UNO exceptions pass through.
template <typename T>
T getProp(const css::uno::Reference<css::beans::XPropertySet>& set, const char* name) {
  T value{};
  set->getPropertyValue(rtl::OUString::createFromAscii(name)) >>= value;
  return value;
}
inline void setProp(const css::uno::Reference<css::beans::XPropertySet>& set, const char* name,
                    const css::uno::Any& value) {
  set->setPropertyValue(rtl::OUString::createFromAscii(name), value);
}
css::uno::Sequence<css::beans::PropertyValue> props(
    std::initializer_list<css::beans::PropertyValue> list);

// Runs `body`; a UNO exception becomes the application's error "<what>: <office message>".
// A lost connection to the office says so.
void unoGuard(const AppIdentity& app, std::string_view what, const std::function<void()>& body);

// The kind of office document a server opens, and how its pages are exported.
struct DocumentKind {
  const char* service;    // e.g. "com.sun.star.text.TextDocument"
  const char* pdfFilter;  // e.g. "writer_pdf_Export"
  const char* noun;       // "document", "workbook", ... for messages
  // The service an opened document must offer; `service` when not given.
  const char* accepts = nullptr;
  // The import filter of this kind's Office Open XML packages, for a package whose declared
  // type the office's detection does not know (a macro-enabled slide show, say): tried once
  // on a ZIP package the office could not otherwise open.
  const char* packageFilter = nullptr;
};

// A document the office opened, and the copy of its file it opened it from; the copy is
// removed when this goes (after the document is closed).
struct LoadedDocument {
  css::uno::Reference<css::lang::XComponent> component;
  platform::TempFolder copy;
};

// Opens `path` hidden, without macros, link updates or dialogs, as a document of `kind`.
// The office cannot reach the caller's files: it opens a copy made in its work folder
// (only regular files are copied: a device or a pipe would never end). A wrong or missing
// password, an unreadable or unsupported file each raise the application's error with a
// description saying which.
LoadedDocument loadDocument(const AppIdentity& app, const DocumentKind& kind,
                            const std::string& path, const std::string& password);

// Closes a document without saving; never raises (a dead office has closed it already).
void closeDocument(css::uno::Reference<css::lang::XComponent>& doc);

// Exports `doc` to the PDF file `pdfPath` with `filter` and the given filter data.
// `pdfPath` must lie in the office's work folder (OfficeLease::workFolder()). A failure is
// the application's error, "<what>: <office message>".
void exportPdf(const AppIdentity& app, const css::uno::Reference<css::lang::XComponent>& doc,
               const char* filter, const std::string& pdfPath,
               const css::uno::Sequence<css::beans::PropertyValue>& filterData,
               std::string_view what = "Printing failed");

// Stores `doc` under `path` in the format the name's extension chooses, optionally
// encrypted with `password`. The office writes into its work folder; the file is then
// moved to `path`, replacing what is there. A format the office cannot encrypt fails with
// the application's bad-value error when a password is given, and nothing is saved.
void storeDocument(const AppIdentity& app, const css::uno::Reference<css::lang::XComponent>& doc,
                   const DocumentKind& kind, const std::string& path, const std::string& password);

}  // namespace docmill::office_server
