// "Publisher.Application" over the office's drawings: publications and anything else the
// office's drawing program opens.
#include <com/sun/star/lang/XServiceInfo.hpp>

#include "office_server/app_base.h"
#include "office_server/documents.h"
#include "office_server/factories.h"
#include "office_server/fixed_format.h"
#include "office_server/printing.h"

namespace docmill::office_server {

using css::uno::Any;
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
      printToFile(app_, component, filterFor(component),
                  css::uno::Sequence<css::beans::PropertyValue>(
                      data.data(), static_cast<sal_Int32>(data.size())),
                  target->toString());
      return {};
    }
    if (is(call, "ExportAsFixedFormat")) return exportAsFixedFormat(call);
    if (is(call, "Close")) {
      doc_->close();
      return {};
    }
    if (is(call, "FullName") || is(call, "Name")) return Variant(doc_->path());
    unknownMember(call);
  }

 private:
  // A presentation opened here prints and exports through the presentation export.
  static const char* filterFor(const css::uno::Reference<css::lang::XComponent>& component) {
    Reference<css::lang::XServiceInfo> info(component, UNO_QUERY);
    return info.is() && info->supportsService("com.sun.star.presentation.PresentationDocument")
               ? "impress_pdf_Export"
               : kPublication.pdfFilter;
  }

  // Publisher's positional order.
  static constexpr const char* kExportParameters[] = {"Format",
                                                      "Filename",
                                                      "Intent",
                                                      "IncludeDocumentProperties",
                                                      "DocStructureTags",
                                                      "BitmapMissingFonts",
                                                      "UseISO19005_1",
                                                      "ExternalExporter",
                                                      "From",
                                                      "To"};

  Variant exportAsFixedFormat(const NamedCall& call) {
    FixedFormatCall pdf(app_, call, kExportParameters);
    const std::string target = pdf.target("Filename");
    pdf.requireFormat("Format", 2, 1);  // pbFixedFormatTypePDF, pbFixedFormatTypeXPS
    pdf.refuseObject("ExternalExporter");
    if (pdf.choice("Intent", {1, 2, 3, 4}) == 1) pdf.forScreen();  // pbIntentMinimum
    if (const Variant* tags = pdf.argument("DocStructureTags")) {
      pdf.set("UseTaggedPDF", Any(tags->toBool()));
    }
    if (const Variant* a = pdf.argument("UseISO19005_1"); a && a->toBool()) {
      pdf.set("SelectPdfVersion", Any(int32_t{1}));
    }
    auto component = doc_->get(app_);
    const Variant* from = pdf.argument("From");
    const Variant* to = pdf.argument("To");
    if (from || to) pdf.pages(from, to, exportedPageCount(component));
    pdf.write(component, filterFor(component), target);
    return {};
  }

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
      // Only by name: the positions are Filename, ReadOnly, AddToRecentFiles, SaveChanges.
      const Variant* password = argument(call, SIZE_MAX, "Password");
      auto doc = std::make_shared<OpenDocument>(
          loadDocument(app_, kPublication, path, password ? password->concatText() : ""), path);
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
