// Any file the word processor opens, printed as it presents it, with no options.
#include "office_client/converters.h"
#include "office_client/word_capture.h"

namespace docmill::office_client {

namespace {

class MiscFile : public WordCapture {
 public:
  using WordCapture::WordCapture;

 private:
  void openDocument() override {
    doc_ = word::open(app_, input());
    word::setDisplayAlerts(app_, word::kAlertsNone);
  }
};

}  // namespace

void createPSfromMiscFile(ObjectServices& obj, const MemberArguments& args) {
  MiscFile(obj, args, Output::PostScript).run();
}

void createPDFfromMiscFile(ObjectServices& obj, const MemberArguments& args) {
  MiscFile(obj, args, Output::Pdf).run();
}

}  // namespace docmill::office_client
