// "Powerpoint.Application" over the office's presentations.
#include <com/sun/star/drawing/XDrawPages.hpp>
#include <com/sun/star/drawing/XDrawPagesSupplier.hpp>

#include <optional>

#include "office_server/app_base.h"
#include "office_server/documents.h"
#include "office_server/factories.h"
#include "office_server/fixed_format.h"
#include "office_server/printing.h"

namespace docmill::office_server {

using css::beans::XPropertySet;
using css::uno::Any;
using css::uno::Reference;
using css::uno::UNO_QUERY_THROW;

const AppIdentity kPowerPoint{"PowerPoint", static_cast<int32_t>(0x80048240),
                              static_cast<int32_t>(0x80048241), static_cast<int32_t>(0x80048242),
                              static_cast<int32_t>(0x80048243)};

namespace {

const DocumentKind kPresentation{"com.sun.star.presentation.PresentationDocument",
                                 "impress_pdf_Export", "presentation", nullptr,
                                 "Impress MS PowerPoint 2007 XML"};

struct PresentationState {
  DocumentPtr doc;
  std::optional<int> orientation;  // 1 horizontal, 2 vertical; unset: as the slides are
  std::string printer = kDefaultPrinter;
  int colorType = 1;  // 1 colour, 2 black and white, 3 grey scale
  bool background = true;

  Reference<css::lang::XComponent> component() const { return doc->get(kPowerPoint); }
  Reference<css::drawing::XDrawPages> slides() const {
    Reference<css::drawing::XDrawPagesSupplier> supplier(component(), UNO_QUERY_THROW);
    return supplier->getDrawPages();
  }
  // Slide size in 1/100 mm.
  std::pair<int32_t, int32_t> slideSize() const {
    Reference<XPropertySet> first(slides()->getByIndex(0), UNO_QUERY_THROW);
    int32_t w = 0, h = 0;
    first->getPropertyValue("Width") >>= w;
    first->getPropertyValue("Height") >>= h;
    return {w, h};
  }
  int naturalOrientation() const {
    auto [w, h] = slideSize();
    return w >= h ? 1 : 2;
  }
};
using StatePtr = std::shared_ptr<PresentationState>;

class PowerPointObject : public OfficeObject {
 public:
  PowerPointObject() : OfficeObject(kPowerPoint) {}
};

class SlidePageSetup : public PowerPointObject {
 public:
  explicit SlidePageSetup(StatePtr state) : state_(std::move(state)) {}

 protected:
  Variant member(NamedCall& call) override {
    if (is(call, "SlideOrientation")) {
      if (!call.isPut()) {
        return Variant(
            static_cast<int32_t>(state_->orientation.value_or(state_->naturalOrientation())));
      }
      int32_t value = putValue(call).toI4();
      if (value != 1 && value != 2) {
        fail(app_.badValue, "SlideOrientation takes 1 (horizontal) or 2 (vertical).");
      }
      state_->orientation = value;
      return {};
    }
    if (is(call, "SlideWidth") || is(call, "SlideHeight")) {
      auto [w, h] = state_->slideSize();
      return Variant(static_cast<float>(hmmToPoints(is(call, "SlideWidth") ? w : h)));
    }
    unknownMember(call);
  }

 private:
  StatePtr state_;
};

class SlidePrintOptions : public PowerPointObject {
 public:
  explicit SlidePrintOptions(StatePtr state) : state_(std::move(state)) {}

 protected:
  Variant member(NamedCall& call) override {
    if (is(call, "ActivePrinter")) {
      if (!call.isPut()) return Variant(state_->printer);
      state_->printer = checkPrinter(app_, putValue(call));
      return {};
    }
    if (is(call, "PrintColorType")) {
      if (!call.isPut()) return Variant(static_cast<int32_t>(state_->colorType));
      int32_t value = putValue(call).toI4();
      if (value < 1 || value > 3) {
        fail(app_.badValue,
             "PrintColorType takes 1 (colour), 2 (black and white) or 3 (grey scale).");
      }
      state_->colorType = value;
      return {};
    }
    if (is(call, "PrintInBackground")) {
      // Printing always completes before PrintOut returns; the setting is kept for readers.
      if (!call.isPut()) return Variant(state_->background);
      state_->background = putValue(call).toBool();
      return {};
    }
    unknownMember(call);
  }

 private:
  StatePtr state_;
};

class Presentation : public PowerPointObject {
 public:
  explicit Presentation(DocumentPtr doc) : state_(std::make_shared<PresentationState>()) {
    state_->doc = std::move(doc);
  }

 protected:
  Variant member(NamedCall& call) override {
    if (is(call, "PageSetup"))
      return Variant(DispatchPtr(std::make_shared<SlidePageSetup>(state_)));
    if (is(call, "PrintOptions")) {
      return Variant(DispatchPtr(std::make_shared<SlidePrintOptions>(state_)));
    }
    if (is(call, "PrintOut")) return printOut(call);
    if (is(call, "ExportAsFixedFormat")) return exportAsFixedFormat(call);
    if (is(call, "Close")) {
      state_->doc->close();
      return {};
    }
    if (is(call, "SaveAs")) {
      const Variant* name = argument(call, 0, "FileName");
      if (!name) raiseDispatch(hr::DISP_E_PARAMNOTOPTIONAL);
      storeDocument(app_, state_->component(), kPresentation, name->toString(), "");
      return {};
    }
    if (is(call, "FullName") || is(call, "Name")) return Variant(state_->doc->path());
    unknownMember(call);
  }

 private:
  Variant printOut(const NamedCall& call) {
    // PowerPoint's positional order: From, To, PrintToFile, Copies, Collate.
    const Variant* from = argument(call, 0, "From");
    const Variant* to = argument(call, 1, "To");
    const Variant* target = argument(call, 2, "PrintToFile");
    if (!target || target->toString().empty()) {
      fail(app_.badValue, "PrintOut needs PrintToFile, the file to print into.");
    }
    const int32_t count = state_->slides()->getCount();
    int32_t first = from ? from->toI4() : -1;
    int32_t last = to ? to->toI4() : -1;
    if (first == -1) first = 1;
    if (last == -1) last = count;
    if (first < 1 || last > count || first > last) {
      fail(app_.badValue, "The slide range " + std::to_string(first) + " to " +
                              std::to_string(last) + " is not valid: the presentation has " +
                              std::to_string(count) + " slides.");
    }
    PrintOptions options;
    options.grey = state_->colorType != 1;
    if (state_->orientation && *state_->orientation != state_->naturalOrientation()) {
      // The slides keep their layout and are fitted onto paper turned the other way.
      auto [w, h] = state_->slideSize();
      options.paper = std::pair{hmmToPoints(h), hmmToPoints(w)};
    }
    std::string range = std::to_string(first) + "-" + std::to_string(last);
    printToFile(app_, state_->component(), kPresentation.pdfFilter,
                props({prop("PageRange", Any(toOU(range)))}), target->toString(), options);
    return {};
  }

  // PowerPoint's positional order.
  static constexpr const char* kExportParameters[] = {"Path",
                                                      "FixedFormatType",
                                                      "Intent",
                                                      "FrameSlides",
                                                      "HandoutOrder",
                                                      "OutputType",
                                                      "PrintHiddenSlides",
                                                      "PrintRange",
                                                      "RangeType",
                                                      "SlideShowName",
                                                      "IncludeDocProperties",
                                                      "KeepIRMSettings",
                                                      "DocStructureTags",
                                                      "BitmapMissingFonts",
                                                      "UseISO19005_1",
                                                      "ExternalExporter"};

  Variant exportAsFixedFormat(const NamedCall& call) {
    FixedFormatCall pdf(app_, call, kExportParameters);
    const std::string target = pdf.target("Path");
    pdf.requireFormat("FixedFormatType", 2, 1);  // ppFixedFormatTypePDF, ppFixedFormatTypeXPS
    pdf.refuseTrue("FrameSlides", "cannot be done: the export draws no frame around slides.");
    pdf.refuseObject("PrintRange");
    pdf.refuseObject("ExternalExporter");
    if (const Variant* show = pdf.argument("SlideShowName"); show && !show->concatText().empty()) {
      fail(app_.badValue, "ExportAsFixedFormat: the presentation has no named slide shows.");
    }
    pdf.choice("RangeType", {1});                            // ppPrintAll
    if (pdf.choice("Intent", {1, 2}) == 1) pdf.forScreen();  // ppFixedFormatIntentScreen
    if (pdf.choice("OutputType", {1, 5}) == 5) {             // ppPrintOutputNotesPages
      pdf.set("ExportNotesPages", Any(true));
      pdf.set("ExportOnlyNotesPages", Any(true));
    }
    if (const Variant* hidden = pdf.argument("PrintHiddenSlides")) {
      pdf.set("ExportHiddenSlides", Any(hidden->toBool()));
    }
    if (const Variant* tags = pdf.argument("DocStructureTags")) {
      pdf.set("UseTaggedPDF", Any(tags->toBool()));
    }
    if (const Variant* a = pdf.argument("UseISO19005_1"); a && a->toBool()) {
      pdf.set("SelectPdfVersion", Any(int32_t{1}));
    }
    // The export draws each slide on a page of the slide's own shape; turning the paper is a
    // matter of printing.
    if (state_->orientation && *state_->orientation != state_->naturalOrientation()) {
      fail(app_.badValue,
           "ExportAsFixedFormat keeps the slides' own shape; SlideOrientation applies to "
           "PrintOut.");
    }
    pdf.write(state_->component(), kPresentation.pdfFilter, target);
    return {};
  }

  StatePtr state_;
};

class Presentations : public PowerPointObject {
 public:
  explicit Presentations(std::shared_ptr<DocumentList> docs) : docs_(std::move(docs)) {}

 protected:
  Variant member(NamedCall& call) override {
    if (is(call, "Open")) {
      const Variant* file = argument(call, 0, "FileName");
      if (!file) raiseDispatch(hr::DISP_E_PARAMNOTOPTIONAL);
      std::string path = file->toString();
      // Only by name: the positions are FileName, ReadOnly, Untitled, WithWindow.
      const Variant* password = argument(call, SIZE_MAX, "Password");
      auto doc = std::make_shared<OpenDocument>(
          loadDocument(app_, kPresentation, path, password ? password->concatText() : ""), path);
      docs_->add(doc);
      return Variant(DispatchPtr(std::make_shared<Presentation>(doc)));
    }
    if (is(call, "Count")) return Variant(static_cast<int32_t>(docs_->open().size()));
    unknownMember(call);
  }

 private:
  std::shared_ptr<DocumentList> docs_;
};

class PowerPointApplication : public PowerPointObject {
 public:
  PowerPointApplication() : presentations_(std::make_shared<Presentations>(docs_)) {}
  ~PowerPointApplication() override { docs_->closeAll(); }

 protected:
  Variant member(NamedCall& call) override {
    if (is(call, "Presentations")) return Variant(DispatchPtr(presentations_));
    if (is(call, "Visible")) {
      // Accepted and remembered; a server shows no window.
      if (!call.isPut()) return Variant(static_cast<int32_t>(visible_));
      visible_ = putValue(call).toI4();
      return {};
    }
    if (is(call, "WindowState")) {
      if (!call.isPut()) return Variant(static_cast<int32_t>(windowState_));
      windowState_ = putValue(call).toI4();
      return {};
    }
    if (is(call, "Quit")) {
      docs_->closeAll();
      return {};
    }
    if (is(call, "Name")) return Variant("PowerPoint");
    if (is(call, "PrintsSynchronously")) return printsSynchronously(app_, call);
    unknownMember(call);
  }

 private:
  std::shared_ptr<DocumentList> docs_ = std::make_shared<DocumentList>();
  std::shared_ptr<Presentations> presentations_;
  int32_t visible_ = 0;
  int32_t windowState_ = 1;
};

}  // namespace

DispatchPtr createPowerPointApplication() {
  auto app = std::make_shared<PowerPointApplication>();
  startOffice(kPowerPoint);
  return app;
}

}  // namespace docmill::office_server
