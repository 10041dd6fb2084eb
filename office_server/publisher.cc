// "Publisher.Application" over the office's drawings: publications and anything else the
// office's drawing program opens.
#include <com/sun/star/lang/XServiceInfo.hpp>

#include "office_server/app_base.h"
#include "office_server/documents.h"
#include "office_server/factories.h"
#include "office_server/printing.h"

namespace docmill::office_server {

using css::uno::Reference;
using css::uno::UNO_QUERY;

const AppIdentity kPublisher{"Publisher", static_cast<int32_t>(0x80041000),
                             static_cast<int32_t>(0x80041001), static_cast<int32_t>(0x80041002),
                             static_cast<int32_t>(0x80041003)};

namespace {

const DocumentKind kPublication{"com.sun.star.drawing.DrawingDocument", "draw_pdf_Export",
                                "publication", "com.sun.star.drawing.GenericDrawingDocument"};

class PublisherObject : public OfficeObject {
 public:
  PublisherObject() : OfficeObject(kPublisher) {}
};

class Publication : public PublisherObject {
 public:
  explicit Publication(DocumentPtr doc) : doc_(std::move(doc)) {}
  bool isOpen() const { return doc_->isOpen(); }

 protected:
  Variant member(NamedCall& call) override {
    if (is(call, "ActivePrinter")) {
      if (!call.isPut()) return Variant(printer_);
      printer_ = checkPrinter(app_, putValue(call));
      return {};
    }
    if (is(call, "PrintOut")) {
      // Publisher's positional order: From, To, PrintToFile, Copies, Collate.
      const Variant* target = argument(call, 2, "PrintToFile");
      if (!target || target->toString().empty()) {
        fail(app_.badValue, "PrintOut needs PrintToFile, the file to print into.");
      }
      const Variant* from = argument(call, 0, "From");
      const Variant* to = argument(call, 1, "To");
      std::vector<css::beans::PropertyValue> data;
      if (from || to) {
        std::string range = (from ? from->toString() : "1") + "-" + (to ? to->toString() : "");
        auto parsed = pageRangeFromList(range);
        if (!parsed) fail(app_.badValue, "The page range " + range + " is not valid.");
        data.push_back(prop("PageRange", css::uno::Any(toOU(*parsed))));
      }
      auto component = doc_->get(app_);
      Reference<css::lang::XServiceInfo> info(component, UNO_QUERY);
      // A presentation opened here prints through the presentation export.
      const char* filter =
          info.is() && info->supportsService("com.sun.star.presentation.PresentationDocument")
              ? "impress_pdf_Export"
              : kPublication.pdfFilter;
      printToFile(app_, component, filter,
                  css::uno::Sequence<css::beans::PropertyValue>(
                      data.data(), static_cast<sal_Int32>(data.size())),
                  target->toString());
      return {};
    }
    if (is(call, "Close")) {
      doc_->close();
      return {};
    }
    if (is(call, "FullName") || is(call, "Name")) return Variant(doc_->path());
    unknownMember(call);
  }

 private:
  DocumentPtr doc_;
  std::string printer_ = kDefaultPrinter;
};

class PublisherApplication : public PublisherObject {
 public:
  ~PublisherApplication() override { docs_.closeAll(); }

 protected:
  Variant member(NamedCall& call) override {
    if (is(call, "Open")) {
      const Variant* file = argument(call, 0, "Filename");
      if (!file) raiseDispatch(hr::DISP_E_PARAMNOTOPTIONAL);
      std::string path = file->toString();
      auto doc = std::make_shared<OpenDocument>(loadDocument(app_, kPublication, path, ""), path);
      docs_.add(doc);
      publications_.push_back(std::make_shared<Publication>(doc));
      return Variant(DispatchPtr(publications_.back()));
    }
    if (is(call, "ActiveDocument")) {
      // The publication opened last that is still open.
      std::erase_if(publications_, [](const auto& p) { return !p->isOpen(); });
      if (publications_.empty()) fail(app_.failed, "No publication is open.");
      return Variant(DispatchPtr(publications_.back()));
    }
    if (is(call, "Visible")) {
      if (!call.isPut()) return Variant(false);
      putValue(call).toBool();  // a server shows no window
      return {};
    }
    if (is(call, "Quit")) {
      docs_.closeAll();
      publications_.clear();
      return {};
    }
    if (is(call, "Name")) return Variant("Publisher");
    if (is(call, "PrintsSynchronously")) return printsSynchronously(app_, call);
    unknownMember(call);
  }

 private:
  DocumentList docs_;
  std::vector<std::shared_ptr<Publication>> publications_;
};

}  // namespace

DispatchPtr createPublisherApplication() {
  auto app = std::make_shared<PublisherApplication>();
  startOffice(kPublisher);
  return app;
}

}  // namespace docmill::office_server
