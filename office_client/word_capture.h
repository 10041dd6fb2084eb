// What the three Word-driven converters (documents, other files, text files) share: the
// application profile, the printer swap through the application's ActivePrinter, putting
// alerts back before closing, and closing without saving.
#pragma once

#include "office_client/capture.h"
#include "office_client/word_calls.h"

namespace docmill::office_client {

inline constexpr Profile kWordProfile{word::kProgId, /*swapsPrinter=*/true, Wait::Never};

class WordCapture : public Capture {
 public:
  WordCapture(ObjectServices& object, const MemberArguments& args, Output output)
      : Capture(object, args, output, kWordProfile) {}

 protected:
  std::string readPrinter() override { return word::activePrinter(app_); }
  void writePrinter(const Variant& printer) override { word::setActivePrinter(app_, printer); }
  void printTo(const Variant& target) override { word::printOut(doc_, target); }
  void beforeClose() override { word::setDisplayAlerts(app_, word::kAlertsAll); }
  void closeDocument() override { word::close(doc_); }
  void quitApplication() override { word::quit(app_); }
};

}  // namespace docmill::office_client
