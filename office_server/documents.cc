#include "office_server/documents.h"


namespace docmill::office_server {

const css::uno::Reference<css::lang::XComponent>& OpenDocument::get(const AppIdentity& app) const {
  if (!doc_.is()) raiseApp(app, app.failed, "The document " + path_ + " has been closed.");
  return doc_;
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
