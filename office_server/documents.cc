#include "office_server/documents.h"

#include "office_server/app_base.h"

namespace docmill::office_server {

const css::uno::Reference<css::lang::XComponent>& OpenDocument::get(const AppIdentity& app) const {
  if (!doc_.is()) raiseApp(app, app.failed, "The document " + path_ + " has been closed.");
  return doc_;
}

DocumentPtr DocumentList::openFromCall(const NamedCall& call, const AppIdentity& app,
                                       const DocumentKind& kind, const char* fileName,
                                       size_t passwordPosition, const char* passwordName) {
  const Variant* file = argument(call, 0, fileName);
  if (!file) raiseDispatch(hr::DISP_E_PARAMNOTOPTIONAL);
  const Variant* password = argument(call, passwordPosition, passwordName);
  const std::string path = file->toString();
  auto doc = std::make_shared<OpenDocument>(
      loadDocument(app, kind, path, password ? password->concatText() : std::string()), path);
  add(doc);
  return doc;
}

void OpenDocument::close() {
  if (!doc_.is()) return;
  if (!lease_) {
    closeDocument(doc_);
    copy_ = {};
    return;
  }
  CallScope scope(lease_);
  closeDocument(doc_);
  copy_ = {};
  scope.settle();
}

std::vector<DocumentPtr> DocumentList::open() {
  std::erase_if(docs_, [](const DocumentPtr& d) { return !d->isOpen(); });
  return docs_;
}

void DocumentList::closeAll() {
  for (auto& d : docs_) d->close();
  docs_.clear();
}

}  // namespace docmill::office_server
