#include "officeapps/documents.h"

#include <mutex>

#include "officeapps/office_process.h"

namespace docmill::officeapps {

const css::uno::Reference<css::lang::XComponent>& OpenDocument::get(const AppIdentity& app) const {
  if (!doc_.is()) raiseApp(app, app.failed, "The document " + path_ + " has been closed.");
  return doc_;
}

void OpenDocument::close() {
  if (!doc_.is()) return;
  std::lock_guard guard(OfficeHost::instance().lock());
  closeDocument(doc_);
}

std::vector<DocumentPtr> DocumentList::open() {
  std::erase_if(docs_, [](const DocumentPtr& d) { return !d->isOpen(); });
  return docs_;
}

void DocumentList::closeAll() {
  for (auto& d : docs_) d->close();
  docs_.clear();
}

}  // namespace docmill::officeapps
