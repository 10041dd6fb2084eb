// One document that an application server has opened, shared by the application (which
// closes what is still open when it quits or goes away) and the document's own objects.
//
// Closing never raises and never saves; it is a call on the office the document was opened
// in (the lease current when it was made). The copy of the file that the office opened is
// removed after it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "office_server/office_pool.h"
#include "office_server/uno_support.h"

namespace docmill::office_server {

class OpenDocument {
 public:
  OpenDocument(LoadedDocument loaded, std::string path)
      : doc_(std::move(loaded.component)),
        copy_(std::move(loaded.copy)),
        path_(std::move(path)),
        lease_(OfficeLease::current()) {}
  ~OpenDocument() { close(); }
  OpenDocument(const OpenDocument&) = delete;
  OpenDocument& operator=(const OpenDocument&) = delete;

  // The document; raises the application's error when it has been closed.
  const css::uno::Reference<css::lang::XComponent>& get(const AppIdentity& app) const;
  bool isOpen() const { return doc_.is(); }
  const std::string& path() const { return path_; }
  void close();

 private:
  css::uno::Reference<css::lang::XComponent> doc_;
  platform::TempFolder copy_;  // the file the office opened, removed once it is closed
  std::string path_;
  LeasePtr lease_;
};

using DocumentPtr = std::shared_ptr<OpenDocument>;

// The documents an application has opened, in opening order.
class DocumentList {
 public:
  void add(const DocumentPtr& doc) { docs_.push_back(doc); }
  // Opens the document an "Open" call names (the file at position 0 or by `fileName`, the
  // password at `passwordPosition` or by `passwordName`) as a document of `kind`, and adds
  // it. Raises DISP_E_PARAMNOTOPTIONAL when no file is named.
  DocumentPtr openFromCall(const NamedCall& call, const AppIdentity& app, const DocumentKind& kind,
                           const char* fileName, size_t passwordPosition, const char* passwordName);
  // Open documents only (closed ones are dropped).
  std::vector<DocumentPtr> open();
  void closeAll();

 private:
  std::vector<DocumentPtr> docs_;
};

}  // namespace docmill::office_server
