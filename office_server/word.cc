// "Word.Application" over the office's text documents.
#include <com/sun/star/awt/FontSlant.hpp>
#include <com/sun/star/awt/FontUnderline.hpp>
#include <com/sun/star/awt/FontWeight.hpp>
#include <com/sun/star/beans/XPropertyState.hpp>
#include <com/sun/star/container/XNameAccess.hpp>
#include <com/sun/star/frame/XController.hpp>
#include <com/sun/star/frame/XModel.hpp>
#include <com/sun/star/lang/XMultiServiceFactory.hpp>
#include <com/sun/star/style/NumberingType.hpp>
#include <com/sun/star/style/ParagraphAdjust.hpp>
#include <com/sun/star/style/XStyle.hpp>
#include <com/sun/star/style/XStyleFamiliesSupplier.hpp>
#include <com/sun/star/text/ControlCharacter.hpp>
#include <com/sun/star/text/PageNumberType.hpp>
#include <com/sun/star/text/XDocumentIndexesSupplier.hpp>
#include <com/sun/star/text/XPageCursor.hpp>
#include <com/sun/star/text/XText.hpp>
#include <com/sun/star/text/XTextContent.hpp>
#include <com/sun/star/text/XTextCursor.hpp>
#include <com/sun/star/text/XTextDocument.hpp>
#include <com/sun/star/text/XTextRange.hpp>
#include <com/sun/star/text/XTextViewCursor.hpp>
#include <com/sun/star/text/XTextViewCursorSupplier.hpp>
#include <com/sun/star/util/XRefreshable.hpp>

#include <climits>
#include <cstdlib>
#include <optional>

#include "office_server/app_base.h"
#include "office_server/factories.h"
#include "office_server/fixed_format.h"
#include "office_server/printing.h"

namespace docmill::office_server {

using css::beans::XPropertySet;
using css::uno::Any;
using css::uno::Reference;
using css::uno::UNO_QUERY;
using css::uno::UNO_QUERY_THROW;
using rtl::OUString;

const AppIdentity kWord{"Word", 5174, 5408, 4608, 4198};

namespace {

const DocumentKind kTextDocument{"com.sun.star.text.TextDocument", "writer_pdf_Export", "document",
                                 nullptr, "MS Word 2007 XML"};

// The page styles the document's pages use, the first section's style first.
std::vector<Reference<XPropertySet>> pageStylesInUse(const Reference<css::lang::XComponent>& doc,
                                                     std::string* firstName = nullptr) {
  Reference<css::text::XTextDocument> text(doc, UNO_QUERY_THROW);
  Reference<css::text::XTextCursor> cursor = text->getText()->createTextCursor();
  cursor->gotoStart(false);
  OUString first =
      getProp<OUString>(Reference<XPropertySet>(cursor, UNO_QUERY_THROW), "PageStyleName");
  Reference<css::style::XStyleFamiliesSupplier> families(doc, UNO_QUERY_THROW);
  Reference<css::container::XNameAccess> styles(
      families->getStyleFamilies()->getByName("PageStyles"), UNO_QUERY_THROW);
  std::vector<Reference<XPropertySet>> result;
  if (first.isEmpty()) first = "Standard";
  result.emplace_back(styles->getByName(first), UNO_QUERY_THROW);
  for (const OUString& name : styles->getElementNames()) {
    if (name == first) continue;
    Reference<css::style::XStyle> style(styles->getByName(name), UNO_QUERY);
    if (style.is() && style->isInUse()) result.emplace_back(style, UNO_QUERY_THROW);
  }
  if (firstName) *firstName = fromOU(first);
  return result;
}

// The document state that Word's objects share: margins as Word measures them (from the
// page edge to the text, headers and footers sitting inside the margin).
struct WordDocState {
  DocumentPtr doc;
  std::optional<double> top, bottom, left, right;  // points
  bool layoutTouched = false;

  Reference<css::lang::XComponent> component() const { return doc->get(kWord); }

  // Reads the margins as Word sees them from the first section's page style.
  void capture() {
    if (top) return;
    auto style = pageStylesInUse(component()).front();
    int32_t t = getProp<int32_t>(style, "TopMargin");
    int32_t b = getProp<int32_t>(style, "BottomMargin");
    if (getProp<bool>(style, "HeaderIsOn")) t += getProp<int32_t>(style, "HeaderHeight");
    if (getProp<bool>(style, "FooterIsOn")) b += getProp<int32_t>(style, "FooterHeight");
    top = hmmToPoints(t);
    bottom = hmmToPoints(b);
    left = hmmToPoints(getProp<int32_t>(style, "LeftMargin"));
    right = hmmToPoints(getProp<int32_t>(style, "RightMargin"));
  }

  // Writes the margins into every page style in use, placing headers and footers inside
  // the top and bottom margins so the text starts where Word would start it.
  void applyLayout() {
    if (!layoutTouched || !top) return;
    auto placeBand = [](const Reference<XPropertySet>& style, const char* prefix,
                        const char* marginName, double margin) {
      const std::string p(prefix);
      if (getProp<bool>(style, (p + "IsOn").c_str())) {
        int32_t total = pointsToHmm(margin);
        int32_t edge = total * 2 / 5;
        int32_t band = total - edge;
        setProp(style, marginName, Any(edge));
        setProp(style, (p + "IsDynamicHeight").c_str(), Any(false));
        setProp(style, (p + "BodyDistance").c_str(), Any(static_cast<int32_t>(band * 3 / 10)));
        setProp(style, (p + "Height").c_str(), Any(band));
      } else {
        setProp(style, marginName, Any(pointsToHmm(margin)));
      }
    };
    for (const auto& style : pageStylesInUse(component())) {
      placeBand(style, "Header", "TopMargin", *top);
      placeBand(style, "Footer", "BottomMargin", *bottom);
      setProp(style, "LeftMargin", Any(pointsToHmm(*left)));
      setProp(style, "RightMargin", Any(pointsToHmm(*right)));
    }
  }
};
using StatePtr = std::shared_ptr<WordDocState>;

class WordObject : public OfficeObject {
 public:
  WordObject() : OfficeObject(kWord) {}
};

class WordPageSetup : public WordObject {
 public:
  explicit WordPageSetup(StatePtr state) : state_(std::move(state)) {}

 protected:
  Variant member(NamedCall& call) override {
    if (is(call, "Orientation")) {
      auto styles = pageStylesInUse(state_->component());
      if (!call.isPut()) {
        return Variant(static_cast<int16_t>(getProp<bool>(styles.front(), "IsLandscape") ? 1 : 0));
      }
      int32_t value = putValue(call).toI4();
      if (value != 0 && value != 1) fail(app_.badValue, "Value out of range: Orientation");
      for (const auto& style : styles) {
        bool landscape = getProp<bool>(style, "IsLandscape");
        if (landscape == (value == 1)) continue;
        int32_t w = getProp<int32_t>(style, "Width");
        int32_t h = getProp<int32_t>(style, "Height");
        setProp(style, "IsLandscape", Any(value == 1));
        if ((value == 1) != (w > h)) {
          setProp(style, "Width", Any(h));
          setProp(style, "Height", Any(w));
        }
      }
      return {};
    }
    struct Margin {
      const char* name;
      std::optional<double> WordDocState::*field;
    };
    static const Margin margins[] = {{"TopMargin", &WordDocState::top},
                                     {"BottomMargin", &WordDocState::bottom},
                                     {"LeftMargin", &WordDocState::left},
                                     {"RightMargin", &WordDocState::right}};
    for (const auto& m : margins) {
      if (!is(call, m.name)) continue;
      state_->capture();
      auto& field = (*state_).*(m.field);
      if (!call.isPut()) return Variant(static_cast<float>(*field));
      double points = numberAsWritten(putValue(call));
      if (points < 0 || points > 1584)
        fail(app_.badValue, std::string("Value out of range: ") + m.name);
      field = points;
      state_->layoutTouched = true;
      return {};
    }
    if (is(call, "PageWidth") || is(call, "PageHeight")) {
      auto style = pageStylesInUse(state_->component()).front();
      int32_t hmm = getProp<int32_t>(style, is(call, "PageWidth") ? "Width" : "Height");
      return Variant(static_cast<float>(hmmToPoints(hmm)));
    }
    unknownMember(call);
  }

 private:
  StatePtr state_;
};

// Word's page-number alignment: 0 left, 1 centre, 2 right (anything else centre).
css::style::ParagraphAdjust adjustFor(int32_t alignment) {
  switch (alignment) {
    case 0:
      return css::style::ParagraphAdjust_LEFT;
    case 2:
      return css::style::ParagraphAdjust_RIGHT;
    default:
      return css::style::ParagraphAdjust_CENTER;
  }
}

class WordPageNumbers : public WordObject {
 public:
  WordPageNumbers(StatePtr state, bool footer) : state_(std::move(state)), footer_(footer) {}

 protected:
  Variant member(NamedCall& call) override {
    if (is(call, "Add")) {
      int32_t alignment = 1;
      if (const Variant* a = argument(call, 0, "PageNumberAlignment")) alignment = a->toI4();
      bool firstPage = true;
      if (const Variant* f = argument(call, 1, "FirstPage")) firstPage = f->toBool();
      add(alignment, firstPage);
      ++count_;
      return {};
    }
    if (is(call, "Count")) return Variant(static_cast<int32_t>(count_));
    if (is(call, "ShowFirstPageNumber")) {
      if (call.isPut()) return {};
      return Variant(true);
    }
    unknownMember(call);
  }

 private:
  void add(int32_t alignment, bool firstPage) {
    state_->capture();  // the text stays where it is when the band appears
    state_->layoutTouched = true;
    auto doc = state_->component();
    auto style = pageStylesInUse(doc).front();
    const std::string band = footer_ ? "Footer" : "Header";
    setProp(style, (band + "IsOn").c_str(), Any(true));
    if (!firstPage) setProp(style, "FirstIsShared", Any(false));
    std::vector<const char*> texts = {footer_ ? "FooterText" : "HeaderText"};
    if (!getProp<bool>(style, (band + "IsShared").c_str())) {
      texts.push_back(footer_ ? "FooterTextLeft" : "HeaderTextLeft");
    }
    if (firstPage && !getProp<bool>(style, "FirstIsShared")) {
      texts.push_back(footer_ ? "FooterTextFirst" : "HeaderTextFirst");
    }
    Reference<css::lang::XMultiServiceFactory> factory(doc, UNO_QUERY_THROW);
    for (const char* name : texts) {
      Reference<css::text::XText> text(style->getPropertyValue(OUString::createFromAscii(name)),
                                       UNO_QUERY);
      if (!text.is()) continue;
      Reference<css::text::XTextCursor> cursor = text->createTextCursor();
      cursor->gotoEnd(false);
      if (!text->getString().isEmpty()) {
        text->insertControlCharacter(cursor.get(), css::text::ControlCharacter::PARAGRAPH_BREAK,
                                     false);
      }
      setProp(Reference<XPropertySet>(cursor, UNO_QUERY_THROW), "ParaAdjust",
              Any(static_cast<int16_t>(adjustFor(alignment))));
      Reference<XPropertySet> field(
          factory->createInstance("com.sun.star.text.TextField.PageNumber"), UNO_QUERY_THROW);
      setProp(field, "NumberingType", Any(css::style::NumberingType::ARABIC));
      setProp(field, "SubType", Any(css::text::PageNumberType_CURRENT));
      text->insertTextContent(cursor.get(),
                              Reference<css::text::XTextContent>(field, UNO_QUERY_THROW), false);
    }
  }

  StatePtr state_;
  bool footer_;
  int count_ = 0;
};

class WordHeaderFooter : public WordObject {
 public:
  WordHeaderFooter(StatePtr state, bool footer) : state_(std::move(state)), footer_(footer) {}

 protected:
  Variant member(NamedCall& call) override {
    if (is(call, "PageNumbers")) {
      if (!numbers_) numbers_ = std::make_shared<WordPageNumbers>(state_, footer_);
      return Variant(DispatchPtr(numbers_));
    }
    if (is(call, "Exists")) return Variant(true);
    unknownMember(call);
  }

 private:
  StatePtr state_;
  bool footer_;
  std::shared_ptr<WordPageNumbers> numbers_;
};

class WordHeadersFooters : public IndexedCollection {
 public:
  WordHeadersFooters(StatePtr state, bool footer)
      : IndexedCollection(kWord), state_(std::move(state)), footer_(footer) {}
  Variant item(const Variant& index) override {
    int32_t i = index.toI4();
    if (i < 1 || i > 3)
      fail(app_.badValue, "The requested member of the collection does not exist.");
    // Primary, first page and even pages share one band in this implementation.
    if (!band_) band_ = std::make_shared<WordHeaderFooter>(state_, footer_);
    return Variant(DispatchPtr(band_));
  }

 protected:
  int32_t count() override { return 3; }

 private:
  StatePtr state_;
  bool footer_;
  std::shared_ptr<WordHeaderFooter> band_;
};

class WordSection : public WordObject {
 public:
  explicit WordSection(StatePtr state)
      : footers_(std::make_shared<WordHeadersFooters>(state, true)),
        headers_(std::make_shared<WordHeadersFooters>(state, false)) {}

 protected:
  Variant member(NamedCall& call) override {
    for (auto [name, coll] : {std::pair{"Footers", footers_}, std::pair{"Headers", headers_}}) {
      if (!is(call, name)) continue;
      if (!call.args.empty()) return coll->item(call.args[0]);
      return Variant(DispatchPtr(coll));
    }
    if (is(call, "PageSetup")) unknownMember(call);
    unknownMember(call);
  }

 private:
  std::shared_ptr<WordHeadersFooters> footers_, headers_;
};

class WordSections : public IndexedCollection {
 public:
  explicit WordSections(StatePtr state)
      : IndexedCollection(kWord), first_(std::make_shared<WordSection>(std::move(state))) {}
  Variant item(const Variant& index) override {
    // Page numbers, margins and orientation reach every page style; the document is one
    // section to its callers.
    if (index.toI4() != 1)
      fail(app_.badValue, "The requested member of the collection does not exist.");
    return Variant(DispatchPtr(first_));
  }

 protected:
  int32_t count() override { return 1; }
  Variant otherMember(NamedCall& call) override {
    if (is(call, "First") || is(call, "Last")) return Variant(DispatchPtr(first_));
    unknownMember(call);
  }

 private:
  std::shared_ptr<WordSection> first_;
};

// The character format of the whole text.
class WordFont : public WordObject {
 public:
  explicit WordFont(StatePtr state) : state_(std::move(state)) {}

 protected:
  Variant member(NamedCall& call) override {
    auto whole = wholeText();
    if (is(call, "Reset")) {
      Reference<css::beans::XPropertyState> reset(whole, UNO_QUERY_THROW);
      for (const char* name : {"CharFontName", "CharWeight", "CharHeight", "CharColor",
                               "CharPosture", "CharUnderline"}) {
        reset->setPropertyToDefault(OUString::createFromAscii(name));
      }
      return {};
    }
    if (is(call, "Name")) {
      if (!call.isPut()) return Variant(fromOU(getProp<OUString>(whole, "CharFontName")));
      OUString name = toOU(putValue(call).toString());
      for (const char* p : {"CharFontName", "CharFontNameAsian", "CharFontNameComplex"}) {
        setProp(whole, p, Any(name));
      }
      return {};
    }
    if (is(call, "Bold")) {
      if (!call.isPut())
        return Variant(getProp<float>(whole, "CharWeight") > css::awt::FontWeight::NORMAL);
      setProp(
          whole, "CharWeight",
          Any(putValue(call).toBool() ? css::awt::FontWeight::BOLD : css::awt::FontWeight::NORMAL));
      return {};
    }
    if (is(call, "Size")) {
      if (!call.isPut()) return Variant(getProp<float>(whole, "CharHeight"));
      double size = putValue(call).toDouble();
      if (size < 1 || size > 1638) fail(app_.badValue, "Value out of range: Size");
      setProp(whole, "CharHeight", Any(static_cast<float>(size)));
      return {};
    }
    if (is(call, "Color")) {
      if (!call.isPut()) {
        int32_t rgb = getProp<int32_t>(whole, "CharColor");
        return Variant(bgrSwap(rgb));
      }
      int32_t value = putValue(call).toI4();
      // Word's colour numbers: 0x00BBGGRR; -16777216 (wdColorAutomatic) is the default.
      if (value == -16777216) {
        setProp(whole, "CharColor", Any(static_cast<int32_t>(-1)));
      } else if (value < 0 || value > 0xFFFFFF) {
        fail(app_.badValue, "Value out of range: Color");
      } else {
        setProp(whole, "CharColor", Any(bgrSwap(value)));
      }
      return {};
    }
    if (is(call, "Italic")) {
      if (!call.isPut()) {
        return Variant(getProp<css::awt::FontSlant>(whole, "CharPosture") !=
                       css::awt::FontSlant_NONE);
      }
      setProp(whole, "CharPosture",
              Any(putValue(call).toBool() ? css::awt::FontSlant_ITALIC : css::awt::FontSlant_NONE));
      return {};
    }
    if (is(call, "Underline")) {
      if (!call.isPut())
        return Variant(static_cast<int32_t>(getProp<int16_t>(whole, "CharUnderline") != 0));
      // True (-1) and wdUnderlineSingle (1) underline singly; 0 removes it.
      int32_t value = putValue(call).toI4();
      setProp(whole, "CharUnderline",
              Any(value == 0 ? css::awt::FontUnderline::NONE : css::awt::FontUnderline::SINGLE));
      return {};
    }
    unknownMember(call);
  }

 private:
  static int32_t bgrSwap(int32_t v) {
    if (v < 0) return -16777216;
    return ((v & 0xFF) << 16) | (v & 0xFF00) | ((v >> 16) & 0xFF);
  }
  Reference<XPropertySet> wholeText() {
    Reference<css::text::XTextDocument> text(state_->component(), UNO_QUERY_THROW);
    Reference<css::text::XTextCursor> cursor = text->getText()->createTextCursor();
    cursor->gotoStart(false);
    cursor->gotoEnd(true);
    return Reference<XPropertySet>(cursor, UNO_QUERY_THROW);
  }
  StatePtr state_;
};

class WordContent : public WordObject {
 public:
  explicit WordContent(StatePtr state)
      : state_(state), font_(std::make_shared<WordFont>(std::move(state))) {}

 protected:
  Variant member(NamedCall& call) override {
    if (is(call, "Font")) return Variant(DispatchPtr(font_));
    if (is(call, "Text")) {
      Reference<css::text::XTextDocument> text(state_->component(), UNO_QUERY_THROW);
      return Variant(fromOU(text->getText()->getString()));
    }
    unknownMember(call);
  }

 private:
  StatePtr state_;
  std::shared_ptr<WordFont> font_;
};

class WordDocument : public WordObject {
 public:
  explicit WordDocument(DocumentPtr doc) : state_(std::make_shared<WordDocState>()) {
    state_->doc = std::move(doc);
    sections_ = std::make_shared<WordSections>(state_);
  }

 protected:
  Variant member(NamedCall& call) override {
    if (is(call, "PageSetup")) return Variant(DispatchPtr(std::make_shared<WordPageSetup>(state_)));
    if (is(call, "Sections")) {
      if (!call.args.empty()) return sections_->item(call.args[0]);
      return Variant(DispatchPtr(sections_));
    }
    if (is(call, "Content") || is(call, "Range")) {
      return Variant(DispatchPtr(std::make_shared<WordContent>(state_)));
    }
    if (is(call, "PrintOut")) return printOut(call);
    if (is(call, "ExportAsFixedFormat")) return exportAsFixedFormat(call);
    if (is(call, "Close")) {
      // Nothing is ever written back: the document was opened read-only.
      state_->doc->close();
      return {};
    }
    if (is(call, "SaveAs") || is(call, "SaveAs2")) {
      const Variant* name = argument(call, 0, "FileName");
      if (!name) raiseDispatch(hr::DISP_E_PARAMNOTOPTIONAL);
      const Variant* password = argument(call, 3, "Password");
      state_->applyLayout();
      storeDocument(app_, state_->component(), kTextDocument, name->toString(),
                    password ? password->toString() : std::string());
      return {};
    }
    if (is(call, "FullName") || is(call, "Path") || is(call, "Name")) {
      return Variant(state_->doc->path());
    }
    if (is(call, "ComputeStatistics")) return Variant(static_cast<int32_t>(0));
    unknownMember(call);
  }

 private:
  Variant printOut(const NamedCall& call) {
    // Word's positional order: Background, Append, Range, OutputFileName, From, To, Item,
    // Copies, Pages, PageType, PrintToFile.
    const Variant* output = argument(call, 3, "OutputFileName");
    const Variant* toFile = argument(call, 10, "PrintToFile");
    const Variant* range = argument(call, 2, "Range");
    const Variant* pages = argument(call, 8, "Pages");
    const Variant* from = argument(call, 4, "From");
    const Variant* to = argument(call, 5, "To");
    if (toFile && !toFile->toBool()) {
      fail(app_.badValue, "Printing straight to a printer is not supported; print to a file.");
    }
    if (!output || output->toString().empty()) {
      fail(app_.badValue, "PrintOut needs OutputFileName, the file to print into.");
    }
    std::string pageRange;
    int32_t rangeKind = range ? range->toI4() : 0;
    if (rangeKind == 4) {  // wdPrintRangeOfPages
      std::string list = pages ? pages->toString() : std::string();
      auto parsed = pageRangeFromList(list);
      if (!parsed) fail(app_.badValue, "The page range \"" + list + "\" is not valid.");
      pageRange = *parsed;
    } else if (rangeKind == 3) {  // wdPrintFromTo
      std::string list = (from ? from->toString() : "1") + "-" + (to ? to->toString() : "");
      auto parsed = pageRangeFromList(list);
      if (!parsed) fail(app_.badValue, "The page range \"" + list + "\" is not valid.");
      pageRange = *parsed;
    } else if (rangeKind != 0) {
      fail(app_.badValue, "Value out of range: Range");
    }
    state_->applyLayout();
    if (!pageRange.empty()) {
      // The office refuses a range that selects no page with an unhelpful write error.
      int32_t count = pageCount();
      if (count > 0 && firstPageOf(pageRange) > count) {
        fail(app_.badValue, "The page range \"" + pageRange +
                                "\" selects no page: the document has " + std::to_string(count) +
                                (count == 1 ? " page." : " pages."));
      }
    }
    std::vector<css::beans::PropertyValue> data;
    if (!pageRange.empty()) data.push_back(prop("PageRange", Any(toOU(pageRange))));
    printToFile(app_, state_->component(), kTextDocument.pdfFilter,
                css::uno::Sequence<css::beans::PropertyValue>(data.data(),
                                                              static_cast<sal_Int32>(data.size())),
                output->toString());
    return {};
  }

  // Word's positional order. Parameters left out keep the export's own defaults (bookmarks
  // from headings, form fields, no tags).
  static constexpr const char* kExportParameters[] = {"OutputFileName",
                                                      "ExportFormat",
                                                      "OpenAfterExport",
                                                      "OptimizeFor",
                                                      "Range",
                                                      "From",
                                                      "To",
                                                      "Item",
                                                      "IncludeDocProps",
                                                      "KeepIRM",
                                                      "CreateBookmarks",
                                                      "DocStructureTags",
                                                      "BitmapMissingFonts",
                                                      "UseISO19005_1",
                                                      "FixedFormatExtClassPtr"};

  Variant exportAsFixedFormat(const NamedCall& call) {
    FixedFormatCall pdf(app_, call, kExportParameters);
    const std::string target = pdf.target("OutputFileName");
    pdf.requireFormat("ExportFormat", 17, 18);  // wdExportFormatPDF, wdExportFormatXPS
    pdf.refuseTrue("OpenAfterExport", "cannot be done: a server shows no viewer.");
    pdf.refuseObject("FixedFormatExtClassPtr");
    if (pdf.choice("OptimizeFor", {0, 1}) == 1) pdf.forScreen();  // wdExportOptimizeForOnScreen
    // wdExportDocumentWithMarkup: the comments come along, as notes.
    if (pdf.choice("Item", {0, 7}) == 7) pdf.set("ExportNotes", Any(true));
    // wdExportCreateNoBookmarks, ...HeadingBookmarks, ...WordBookmarks (as named places).
    if (auto bookmarks = pdf.choice("CreateBookmarks", {0, 1, 2})) {
      pdf.set("ExportBookmarks", Any(*bookmarks != 0));
      pdf.set("ExportBookmarksToPDFDestination", Any(*bookmarks == 2));
    }
    if (const Variant* tags = pdf.argument("DocStructureTags")) {
      pdf.set("UseTaggedPDF", Any(tags->toBool()));
    }
    if (const Variant* a = pdf.argument("UseISO19005_1"); a && a->toBool()) {
      pdf.set("SelectPdfVersion", Any(int32_t{1}));
    }
    state_->applyLayout();
    // wdExportAllDocument, or wdExportFromTo with From and To.
    if (pdf.choice("Range", {0, 3}) == 3) {
      pdf.pages(pdf.argument("From"), pdf.argument("To"), pageCount());
    }
    if (pdf.asked("updateIndexes")) updateIndexes();
    pdf.write(state_->component(), kTextDocument.pdfFilter, target);
    return {};
  }

  // Tables of contents and other indexes, laid out afresh from the text as it is now.
  void updateIndexes() {
    Reference<css::text::XDocumentIndexesSupplier> supplier(state_->component(), UNO_QUERY);
    if (!supplier.is()) return;
    auto indexes = supplier->getDocumentIndexes();
    for (sal_Int32 i = 0; i < indexes->getCount(); ++i) {
      Reference<css::util::XRefreshable> index(indexes->getByIndex(i), UNO_QUERY);
      if (index.is()) index->refresh();
    }
  }

  // The number of laid-out pages, or -1 when the document has no view to ask.
  int32_t pageCount() {
    Reference<css::frame::XModel> model(state_->component(), UNO_QUERY_THROW);
    Reference<css::text::XTextViewCursorSupplier> supplier(model->getCurrentController(),
                                                           UNO_QUERY);
    if (!supplier.is()) return -1;
    Reference<css::text::XPageCursor> cursor(supplier->getViewCursor(), UNO_QUERY);
    if (!cursor.is()) return -1;
    cursor->jumpToLastPage();
    return cursor->getPage();
  }
  // The lowest page a range such as "2-4;7" names.
  static int32_t firstPageOf(const std::string& range) {
    int32_t lowest = INT32_MAX;
    size_t start = 0;
    while (start < range.size()) {
      lowest = std::min<int32_t>(lowest, std::atoi(range.c_str() + start));
      auto next = range.find(';', start);
      if (next == std::string::npos) break;
      start = next + 1;
    }
    return lowest;
  }

  StatePtr state_;
  std::shared_ptr<WordSections> sections_;
};

// Word's positional order: FileName, ConfirmConversions, ReadOnly, AddToRecentFiles,
// PasswordDocument, PasswordTemplate, Revert, WritePasswordDocument, ... The write password
// only guards saving; documents are opened read-only and never saved, so it is accepted and
// not needed.
using WordDocuments = OpenDocuments<WordDocument>;
constexpr OpenParameters kOpenDocument{kTextDocument, "FileName", 4, "PasswordDocument"};

class WordApplication : public WordObject {
 public:
  WordApplication();
  ~WordApplication() override { docs_->closeAll(); }

 protected:
  Variant member(NamedCall& call) override;

 private:
  std::shared_ptr<DocumentList> docs_ = std::make_shared<DocumentList>();
  std::shared_ptr<WordDocuments> documents_;
  std::string printer_ = kDefaultPrinter;
  int32_t alerts_ = -1;
  bool visible_ = false;
};

WordApplication::WordApplication()
    : documents_(std::make_shared<WordDocuments>(kWord, docs_, kOpenDocument)) {}

Variant WordApplication::member(NamedCall& call) {
  if (is(call, "Documents")) return Variant(DispatchPtr(documents_));
  if (is(call, "ActivePrinter")) {
    if (!call.isPut()) return Variant(printer_);
    printer_ = checkPrinter(app_, putValue(call));
    return {};
  }
  if (is(call, "DisplayAlerts")) {
    if (!call.isPut()) return Variant(alerts_);
    alerts_ = putValue(call).toI4();
    return {};
  }
  if (is(call, "Visible")) {
    if (!call.isPut()) return Variant(visible_);
    visible_ = putValue(call).toBool();  // a server shows no window either way
    return {};
  }
  if (is(call, "Quit")) {
    docs_->closeAll();
    return {};
  }
  if (is(call, "Name")) return Variant("Word");
  if (is(call, "PrintsSynchronously")) return printsSynchronously(app_, call);
  unknownMember(call);
}

}  // namespace

DispatchPtr createWordApplication() {
  auto app = std::make_shared<WordApplication>();
  startOffice(kWord);
  return app;
}

}  // namespace docmill::office_server
