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
  enum : size_t {
    kPassword = 3,
    kWritePassword,
    kPages,
    kLandscape,
    kFooterNumber,
    kHeaderNumber,
    kAlignment,
    kFirstPage
  };

  void openDocument() override {
    doc_ = word::open(app_, arg(kInputArg), arg(kPassword), arg(kWritePassword));
    word::setDisplayAlerts(app_, word::kAlertsNone);
    // A document whose page setup cannot be changed still prints in its own orientation.
    try {
      word::setOrientation(doc_,
                           arg(kLandscape).toBoolNullFalse() ? word::kLandscape : word::kPortrait);
    } catch (const AutomationError&) {
    }
    const int16_t alignment = pageNumberAlignment(arg(kAlignment));
    if (arg(kFooterNumber).toBoolNullFalse()) {
      word::addPageNumber(doc_, word::Band::Footer, alignment, arg(kFirstPage));
    }
    if (arg(kHeaderNumber).toBoolNullFalse()) {
      word::addPageNumber(doc_, word::Band::Header, alignment, arg(kFirstPage));
    }
  }

  void printTo(const Variant& target) override {
    if (blank(arg(kPages))) {
      word::printOut(doc_, target);
    } else {
      word::printOutPages(doc_, target, arg(kPages));
    }
  }
};

}  // namespace

void createPSfromWord(ObjectServices& obj, std::span<Variant* const> args) {
  WordDocumentConverter(obj, args, Output::PostScript).run();
}

void createPDFfromWord(ObjectServices& obj, std::span<Variant* const> args) {
  WordDocumentConverter(obj, args, Output::Pdf).run();
}

}  // namespace docmill::office_client
