#include "office_server/uno_support.h"

#include <com/sun/star/beans/NamedValue.hpp>
#include <com/sun/star/document/FilterOptionsRequest.hpp>
#include <com/sun/star/document/MacroExecMode.hpp>
#include <com/sun/star/document/UpdateDocMode.hpp>
#include <com/sun/star/document/XInteractionFilterOptions.hpp>
#include <com/sun/star/frame/XComponentLoader.hpp>
#include <com/sun/star/frame/XStorable.hpp>
#include <com/sun/star/lang/DisposedException.hpp>
#include <com/sun/star/lang/XServiceInfo.hpp>
#include <com/sun/star/task/PasswordRequest.hpp>
#include <com/sun/star/task/XInteractionAbort.hpp>
#include <com/sun/star/task/XInteractionApprove.hpp>
#include <com/sun/star/task/XInteractionHandler.hpp>
#include <com/sun/star/task/XInteractionPassword.hpp>
#include <com/sun/star/util/XCloseable.hpp>
#include <cppuhelper/implbase1.hxx>
#include <osl/file.hxx>
#include <rtl/ref.hxx>

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "office_server/office_pool.h"
#include "office_server/protection.h"
#include "platform/files.h"
#include "platform/transfer.h"

namespace docmill::office_server {

using css::uno::Any;
using css::uno::Reference;
using css::uno::Sequence;
using css::uno::UNO_QUERY;
using rtl::OUString;

void raiseApp(const AppIdentity& app, int32_t number, std::string description) {
  raise(Error{number, app.name, std::move(description)});
}

OUString toOU(std::string_view text) {
  return OUString(text.data(), static_cast<sal_Int32>(text.size()), RTL_TEXTENCODING_UTF8);
}

std::string fromOU(const OUString& text) {
  rtl::OString utf8 = rtl::OUStringToOString(text, RTL_TEXTENCODING_UTF8);
  return std::string(utf8.getStr(), static_cast<size_t>(utf8.getLength()));
}

OUString fileUrl(const std::string& path) {
  std::filesystem::path absolute = std::filesystem::absolute(path).lexically_normal();
  OUString url;
  osl::FileBase::getFileURLFromSystemPath(toOU(absolute.string()), url);
  return url;
}

css::beans::PropertyValue prop(const char* name, const Any& value) {
  css::beans::PropertyValue p;
  p.Name = OUString::createFromAscii(name);
  p.Value = value;
  return p;
}

Sequence<css::beans::PropertyValue> props(std::initializer_list<css::beans::PropertyValue> list) {
  Sequence<css::beans::PropertyValue> seq(static_cast<sal_Int32>(list.size()));
  auto* out = seq.getArray();
  for (const auto& p : list) *out++ = p;
  return seq;
}

void unoGuard(const AppIdentity& app, std::string_view what, const std::function<void()>& body) {
  try {
    body();
  } catch (const css::lang::DisposedException&) {
    // Either the object was closed or the whole bridge is gone, the office perhaps still
    // dying; in the second case no further call may be sent to that office.
    OfficeLease::checkConnectionOnThisThread();
    raiseApp(app, app.failed,
             std::string(what) +
                 ": the office process stopped; the next new application "
                 "object starts a fresh one");
  } catch (const css::uno::Exception& e) {
    std::string message = fromOU(e.Message);
    // The office appends source locations to its messages; a script writer needs the text.
    for (const char* marker : {" at /", " at ./"}) {
      if (auto at = message.find(marker); at != std::string::npos) message.erase(at);
    }
    raiseApp(app, app.failed, std::string(what) + (message.empty() ? "" : ": " + message));
  }
}

namespace {

// Answers the office's questions while a document loads: no dialog is ever shown. Password
// questions are refused and remembered, so the caller can report a wrong password; import
// options keep their defaults; warnings are passed over; anything else aborts the load.
class SilentHandler : public cppu::WeakImplHelper1<css::task::XInteractionHandler> {
 public:
  bool passwordAsked = false;
  bool passwordWrong = false;

  void SAL_CALL handle(const Reference<css::task::XInteractionRequest>& request) override {
    Any what = request->getRequest();
    const auto continuations = request->getContinuations();
    auto select = [&](const css::uno::Type& type) {
      for (const auto& c : continuations) {
        if (c.is() && c->queryInterface(type).hasValue()) {
          c->select();
          return true;
        }
      }
      return false;
    };
    css::task::PasswordRequest password;
    if (what >>= password) {
      passwordAsked = true;
      passwordWrong = password.Mode == css::task::PasswordRequestMode_PASSWORD_REENTER;
      select(cppu::UnoType<css::task::XInteractionAbort>::get());
      return;
    }
    css::document::FilterOptionsRequest options;
    if (what >>= options) {
      for (const auto& c : continuations) {
        Reference<css::document::XInteractionFilterOptions> keep(c, UNO_QUERY);
        if (keep.is()) {
          keep->setFilterOptions(options.rProperties);
          keep->select();
          return;
        }
      }
    }
    if (select(cppu::UnoType<css::task::XInteractionApprove>::get())) return;
    select(cppu::UnoType<css::task::XInteractionAbort>::get());
  }
};

std::string fileName(const std::string& path) {
  return std::filesystem::path(path).filename().string();
}

// The length of the UTF-8 character at the start of `s` (not empty); 0 when it does not
// start with one.
size_t utf8Length(std::string_view s) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  size_t length = 0;
  char32_t value = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
    value = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    value = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    value = lead & 0x07;
  } else {
    return 0;
  }
  if (s.size() < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    value = (value << 6) | (byte(i) & 0x3F);
  }
  static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < kLeast[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  return length;
}

// The longest name the office's copy of a document gets: the office keeps a lock file
// beside a file it works on, named after it with 8 bytes more, within the system's 255.
constexpr size_t kLongestCopyName = 240;

// The name of the office's copy of a document: the file's own name (documents show it,
// filters look at its extension) as far as the office can take it. The office reads names
// as UTF-8, so each byte that is not part of a character becomes "_" (else it would look
// for another file); a name too long is shortened before its extension, at a character.
std::string copyName(const std::string& path) {
  std::string original = fileName(path);
  if (original.empty() || original == "." || original == "..") return "document";
  std::string name;
  for (std::string_view rest(original); !rest.empty();) {
    const size_t length = utf8Length(rest);
    if (length == 0) {
      name += '_';
      rest.remove_prefix(1);
    } else {
      name.append(rest.substr(0, length));
      rest.remove_prefix(length);
    }
  }
  if (name.size() <= kLongestCopyName) return name;
  std::string extension = std::filesystem::path(name).extension().string();
  if (extension.size() > kLongestCopyName / 2) extension.clear();
  std::string stem = name.substr(0, name.size() - extension.size());
  size_t keep = 0;
  for (std::string_view rest(stem); !rest.empty();) {
    const size_t length = utf8Length(rest);  // every character is whole by now
    if (length == 0 || keep + length + extension.size() > kLongestCopyName) break;
    keep += length;
    rest.remove_prefix(length);
  }
  return stem.substr(0, keep) + extension;
}

// Whether the file is a ZIP package (as every Office Open XML document is).
bool isZipPackage(const std::string& path) {
  char head[4] = {};
  std::ifstream(path, std::ios::binary).read(head, sizeof head);
  return std::string_view(head, sizeof head) == std::string_view("PK\x03\x04", 4);
}

// The work folder of the office this call runs on; raises when there is none.
std::string workFolder(const AppIdentity& app) {
  LeasePtr lease = OfficeLease::current();
  std::string folder = lease ? lease->workFolder() : std::string();
  if (folder.empty()) raiseApp(app, app.failed, "No office serves this application object.");
  return folder;
}

// A new private folder in the office's work folder, for one document going in or out.
platform::TempFolder exchangeFolder(const AppIdentity& app, const std::string& prefix) {
  try {
    return platform::TempFolder(workFolder(app), prefix);
  } catch (const platform::OsError& e) {
    raiseApp(app, app.failed, std::string("Cannot make room for the office's files: ") + e.what());
  }
}

}  // namespace

LoadedDocument loadDocument(const AppIdentity& app, const DocumentKind& kind,
                            const std::string& path, const std::string& password) {
  auto unreadable = [&] {
    raiseApp(app, app.fileNotOpened,
             app.name + " cannot read the file " + path + " (it is missing or not readable).");
  };
  auto notADocument = [&] {
    raiseApp(app, app.fileNotOpened,
             app.name + " cannot open " + path + ": the file is damaged or is not a " + kind.noun +
                 " it can read.");
  };
  // A folder, device, pipe or socket is never a document, and reading one may never end:
  // it is refused before any office is asked (or waited for, while one is being replaced).
  // The copy below refuses them again, should the path change in between.
  const platform::EntryKind entry = platform::entryThrough(path);
  if (entry == platform::EntryKind::Folder || entry == platform::EntryKind::Other) notADocument();

  LeasePtr lease = OfficeLease::current();
  if (!lease) raiseApp(app, app.failed, "No office serves this application object.");
  CallScope scope(lease);
  lease->documentOpened(path);
  Reference<css::frame::XDesktop2> desktop = lease->desktop();
  LoadedDocument loaded;
  loaded.copy = exchangeFolder(app, "doc-");
  const std::string copy = loaded.copy.path() + "/" + copyName(path);
  try {
    platform::copyFile(path, copy);
  } catch (const platform::OsError& e) {
    if (e.code() == EINVAL || e.code() == EISDIR) notADocument();
    if (e.path() == path) unreadable();
    raiseApp(app, app.failed, "Cannot hand " + path + " to the office: " + e.what());
  }

  auto attempt = [&](const std::string& pass, rtl::Reference<SilentHandler>& handler,
                     const char* filter = nullptr) {
    handler = new SilentHandler;
    std::vector<css::beans::PropertyValue> list = {
        prop("Hidden", Any(true)),
        prop("ReadOnly", Any(true)),
        prop("MacroExecutionMode", Any(css::document::MacroExecMode::NEVER_EXECUTE)),
        prop("UpdateDocMode", Any(css::document::UpdateDocMode::NO_UPDATE)),
        prop("InteractionHandler", Any(Reference<css::task::XInteractionHandler>(handler.get()))),
        prop("DocumentService", Any(OUString::createFromAscii(kind.service))),
    };
    if (!pass.empty()) list.push_back(prop("Password", Any(toOU(pass))));
    if (filter) list.push_back(prop("FilterName", Any(OUString::createFromAscii(filter))));
    Sequence<css::beans::PropertyValue> args(list.data(), static_cast<sal_Int32>(list.size()));
    Reference<css::lang::XComponent> result;
    try {
      result = desktop->loadComponentFromURL(fileUrl(copy), "_blank", 0, args);
    } catch (const css::lang::DisposedException&) {
      raiseApp(app, app.failed,
               "The office process stopped while opening " + path +
                   "; the next new application object starts a fresh one");
    } catch (const css::uno::Exception&) {
      // Reported below from what the handler saw and what the file is.
    }
    return result;
  };

  rtl::Reference<SilentHandler> handler;
  Reference<css::lang::XComponent> doc = attempt(password, handler);
  if (!doc.is() && !password.empty() && !handler->passwordAsked) {
    // Some import filters fail on a wrong password without asking for another one: a file
    // that asks for a password when opened without one was protected, so the given
    // password was wrong.
    rtl::Reference<SilentHandler> probe;
    Reference<css::lang::XComponent> unprotected = attempt("", probe);
    closeDocument(unprotected);
    if (probe->passwordAsked) {
      handler->passwordAsked = true;
      handler->passwordWrong = true;
    }
  }
  if (!doc.is() && !handler->passwordAsked && kind.packageFilter && isZipPackage(copy)) {
    doc = attempt(password, handler, kind.packageFilter);
  }
  if (handler->passwordAsked) {
    closeDocument(doc);
    raiseApp(app, app.wrongPassword,
             handler->passwordWrong || !password.empty()
                 ? "The password is incorrect. " + app.name + " cannot open " + fileName(path) + "."
                 : fileName(path) + " is protected by a password. Give the password to open it.");
  }
  // Some import filters cannot read an encrypted file at all and fail without asking for
  // its password; such a file is protected, not damaged.
  if (!doc.is() && isEncryptedDocument(copy)) {
    raiseApp(app, app.wrongPassword,
             password.empty()
                 ? fileName(path) + " is protected by a password. Give the password to open it."
                 : app.name + " cannot open " + fileName(path) +
                       " with the password given: the file is protected by a password.");
  }
  if (!doc.is()) notADocument();
  Reference<css::lang::XServiceInfo> info(doc, UNO_QUERY);
  const char* accepted = kind.accepts ? kind.accepts : kind.service;
  if (!info.is() || !info->supportsService(OUString::createFromAscii(accepted))) {
    closeDocument(doc);
    raiseApp(app, app.fileNotOpened,
             app.name + " cannot open " + path + ": the file is not a " + kind.noun + ".");
  }
  loaded.component = doc;
  return loaded;
}

void closeDocument(Reference<css::lang::XComponent>& doc) {
  if (!doc.is()) return;
  try {
    Reference<css::util::XCloseable> closeable(doc, UNO_QUERY);
    if (closeable.is()) {
      closeable->close(true);
    } else {
      doc->dispose();
    }
  } catch (const css::uno::Exception&) {
    // A dead office or a document that is already gone: nothing is left to close.
  }
  doc.clear();
}

void exportPdf(const AppIdentity& app, const Reference<css::lang::XComponent>& doc,
               const char* filter, const std::string& pdfPath,
               const Sequence<css::beans::PropertyValue>& filterData, std::string_view what) {
  unoGuard(app, what, [&] {
    Reference<css::frame::XStorable> storable(doc, css::uno::UNO_QUERY_THROW);
    storable->storeToURL(fileUrl(pdfPath),
                         props({prop("FilterName", Any(OUString::createFromAscii(filter))),
                                prop("FilterData", Any(filterData))}));
  });
}

void storeDocument(const AppIdentity& app, const Reference<css::lang::XComponent>& doc,
                   const DocumentKind& kind, const std::string& path, const std::string& password) {
  std::string ext = std::filesystem::path(path).extension().string();
  for (auto& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  struct Format {
    const char* service;
    const char* ext;
    const char* filter;
  };
  static const Format formats[] = {
      {"com.sun.star.text.TextDocument", ".docx", "MS Word 2007 XML"},
      {"com.sun.star.text.TextDocument", ".doc", "MS Word 97"},
      {"com.sun.star.text.TextDocument", ".odt", "writer8"},
      {"com.sun.star.text.TextDocument", ".rtf", "Rich Text Format"},
      {"com.sun.star.text.TextDocument", ".txt", "Text"},
      {"com.sun.star.sheet.SpreadsheetDocument", ".xlsx", "Calc MS Excel 2007 XML"},
      {"com.sun.star.sheet.SpreadsheetDocument", ".xls", "MS Excel 97"},
      {"com.sun.star.sheet.SpreadsheetDocument", ".ods", "calc8"},
      {"com.sun.star.sheet.SpreadsheetDocument", ".csv", "Text - txt - csv (StarCalc)"},
      {"com.sun.star.presentation.PresentationDocument", ".pptx", "Impress MS PowerPoint 2007 XML"},
      {"com.sun.star.presentation.PresentationDocument", ".ppt", "MS PowerPoint 97"},
      {"com.sun.star.presentation.PresentationDocument", ".odp", "impress8"},
      {"com.sun.star.drawing.DrawingDocument", ".odg", "draw8"},
  };
  const char* filter = nullptr;
  for (const auto& f : formats) {
    if (ext == f.ext && std::string_view(kind.service) == f.service) filter = f.filter;
  }
  if (!filter) {
    raiseApp(app, app.badValue,
             app.name + " cannot save a " + kind.noun + " as \"" + ext + "\" files.");
  }
  const bool ooxml = ext == ".docx" || ext == ".xlsx" || ext == ".pptx";
  platform::TempFolder out = exchangeFolder(app, "save-");
  const std::string written = out.path() + "/saved" + ext;
  unoGuard(app, "Saving " + path + " failed", [&] {
    Reference<css::frame::XStorable> storable(doc, css::uno::UNO_QUERY_THROW);
    std::vector<css::beans::PropertyValue> list = {
        prop("FilterName", Any(OUString::createFromAscii(filter))), prop("Overwrite", Any(true))};
    if (!password.empty() && ooxml) {
      // The office's Open XML filters encrypt only with the password given as encryption
      // data (AES-128, the standard encryption every reader knows); they pass over a plain
      // password property and write the file unprotected.
      const css::beans::NamedValue data[] = {
          {OUString::createFromAscii("CryptoType"), Any(OUString::createFromAscii("Standard"))},
          {OUString::createFromAscii("OOXPassword"), Any(toOU(password))}};
      list.push_back(prop("EncryptionData", Any(Sequence<css::beans::NamedValue>(data, 2))));
    } else if (!password.empty()) {
      list.push_back(prop("Password", Any(toOU(password))));
    }
    storable->storeToURL(fileUrl(written), Sequence<css::beans::PropertyValue>(
                                               list.data(), static_cast<sal_Int32>(list.size())));
  });
  // A file asked to be protected never goes out unprotected.
  if (!password.empty() && !isEncryptedDocument(written)) {
    raiseApp(app, app.badValue,
             app.name + " cannot protect \"" + ext + "\" files with a password; " + path +
                 " was not saved.");
  }
  try {
    platform::moveFile(written, path);
  } catch (const platform::OsError& e) {
    raiseApp(app, app.failed, "Saving " + path + " failed: " + std::strerror(e.code()));
  }
}

}  // namespace docmill::office_server
