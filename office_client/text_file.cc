// Plain text laid out by the word processor: one character format for the whole text,
// orientation, page numbers and margins.
#include "office_client/converters.h"
#include "office_client/values.h"
#include "office_client/word_capture.h"

namespace docmill::office_client {

namespace {

class TextFile : public WordCapture {
 public:
  using WordCapture::WordCapture;

 private:
  enum : size_t {
    kLandscape = 3,
    kFont,
    kBold,
    kSize,
    kColor,
    kItalic,
    kUnderline,
    kFooterNumber,
    kHeaderNumber,
    kAlignment,
    kTopMargin,
    kLeftMargin,
    kRightMargin,
    kBottomMargin,
    kFirstPage
  };

  void openDocument() override {
    doc_ = word::open(app_, arg(kInputArg));
    word::setOrientation(doc_,
                         arg(kLandscape).toBoolNullFalse() ? word::kLandscape : word::kPortrait);
    std::string font = trimSpaces(arg(kFont));
    if (!font.empty()) word::setFont(doc_, "Name", Variant(font));
    word::setFont(doc_, "Bold", arg(kBold));
    word::setFont(doc_, "Size", arg(kSize));
    if (positive(arg(kColor))) word::setFont(doc_, "Color", arg(kColor));
    word::setFont(doc_, "Italic", arg(kItalic));
    word::setFont(doc_, "Underline", arg(kUnderline));
    const int16_t alignment = pageNumberAlignment(arg(kAlignment));
    if (arg(kFooterNumber).toBoolNullFalse()) {
      word::addPageNumber(doc_, word::Band::Footer, alignment, arg(kFirstPage));
    }
    if (arg(kHeaderNumber).toBoolNullFalse()) {
      word::addPageNumber(doc_, word::Band::Header, alignment, arg(kFirstPage));
    }
    static constexpr std::pair<size_t, const char*> kMargins[] = {{kTopMargin, "TopMargin"},
                                                                  {kLeftMargin, "LeftMargin"},
                                                                  {kRightMargin, "RightMargin"},
                                                                  {kBottomMargin, "BottomMargin"}};
    for (const auto& [index, name] : kMargins) {
      if (positive(arg(index))) word::setMargin(doc_, name, arg(index));
    }
    // Alerts are silenced only now, after the formatting.
    word::setDisplayAlerts(app_, word::kAlertsNone);
  }

  void beforeClose() override {
    WordCapture::beforeClose();
    word::resetFont(doc_);
  }
};

}  // namespace

void createPSfromTextFile(ObjectServices& obj, std::span<Variant* const> args) {
  TextFile(obj, args, Output::PostScript).run();
}

void createPDFfromTextFile(ObjectServices& obj, std::span<Variant* const> args) {
  TextFile(obj, args, Output::Pdf).run();
}

}  // namespace docmill::office_client
