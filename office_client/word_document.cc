// Word documents: passwords, orientation, page numbers and a page list.
#include "office_client/converters.h"
#include "office_client/values.h"
#include "office_client/word_capture.h"

namespace docmill::office_client {

namespace {

class WordDocumentConverter : public WordCapture {
 public:
  using WordCapture::WordCapture;

 private:
  void openDocument() override {
    doc_ = word::open(app_, input(), arg("strPassword"), arg("strWritePassword"));
    word::setDisplayAlerts(app_, word::kAlertsNone);
    // A document whose page setup cannot be changed still prints in its own orientation.
    try {
      word::setOrientation(
          doc_, arg("blnLandscape").toBoolNullFalse() ? word::kLandscape : word::kPortrait);
    } catch (const AutomationError&) {
    }
    const int16_t alignment = pageNumberAlignment(arg("lngPageNumberAlignment"));
    if (arg("blnPageNumberInFooter").toBoolNullFalse()) {
      word::addPageNumber(doc_, word::Band::Footer, alignment, arg("blnFirstPage"));
    }
    if (arg("blnPageNumberInHeader").toBoolNullFalse()) {
      word::addPageNumber(doc_, word::Band::Header, alignment, arg("blnFirstPage"));
    }
  }

  void printTo(const Variant& target) override {
    if (blank(arg("strPages"))) {
      word::printOut(doc_, target);
    } else {
      word::printOutPages(doc_, target, arg("strPages"));
    }
  }
};

}  // namespace

void createPSfromWord(ObjectServices& obj, const MemberArguments& args) {
  WordDocumentConverter(obj, args, Output::PostScript).run();
}

void createPDFfromWord(ObjectServices& obj, const MemberArguments& args) {
  WordDocumentConverter(obj, args, Output::Pdf).run();
}

}  // namespace docmill::office_client
