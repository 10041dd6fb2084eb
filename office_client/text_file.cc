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
  void openDocument() override {
    doc_ = word::open(app_, input());
    word::setOrientation(
        doc_, arg("blnLandscape").toBoolNullFalse() ? word::kLandscape : word::kPortrait);
    std::string font = trimSpaces(arg("strFont"));
    if (!font.empty()) word::setFont(doc_, "Name", Variant(font));
    word::setFont(doc_, "Bold", arg("blnFontBold"));
    word::setFont(doc_, "Size", arg("intFontSize"));
    if (positive(arg("lngFontColor"))) word::setFont(doc_, "Color", arg("lngFontColor"));
    word::setFont(doc_, "Italic", arg("blnFontItalic"));
    word::setFont(doc_, "Underline", arg("blnFontUnderline"));
    const int16_t alignment = pageNumberAlignment(arg("lngPageNumberAlignment"));
    if (arg("blnPageNumberInFooter").toBoolNullFalse()) {
      word::addPageNumber(doc_, word::Band::Footer, alignment, arg("blnFirstPage"));
    }
    if (arg("blnPageNumberInHeader").toBoolNullFalse()) {
      word::addPageNumber(doc_, word::Band::Header, alignment, arg("blnFirstPage"));
    }
    static constexpr std::pair<const char*, const char*> kMargins[] = {
        {"sngTopMargin", "TopMargin"},
        {"sngLeftMargin", "LeftMargin"},
        {"sngRightMargin", "RightMargin"},
        {"sngBottomMargin", "BottomMargin"}};
    for (const auto& [param, name] : kMargins) {
      if (positive(arg(param))) word::setMargin(doc_, name, arg(param));
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

void createPSfromTextFile(ObjectServices& obj, const MemberArguments& args) {
  TextFile(obj, args, Output::PostScript).run();
}

void createPDFfromTextFile(ObjectServices& obj, const MemberArguments& args) {
  TextFile(obj, args, Output::Pdf).run();
}

}  // namespace docmill::office_client
