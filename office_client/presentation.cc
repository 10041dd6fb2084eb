// Presentations: slide range, slide orientation and colour, printed through the
// presentation's own print options. Only the PostScript method waits for the print file;
// the PDF method relies on background printing being switched off.
#include "office_client/capture.h"
#include "office_client/converters.h"
#include "office_client/values.h"

namespace docmill::office_client {

namespace {

constexpr Profile kPowerPointProfile{"Powerpoint.Application", /*swapsPrinter=*/true,
                                     Wait::PostScriptOnly};

// Every option is sent as a 16-bit integer.
constexpr int16_t kTrue = -1;
constexpr int16_t kFalse = 0;
constexpr int16_t kMinimized = 2;
constexpr int16_t kHorizontal = 1;
constexpr int16_t kVertical = 2;
constexpr int16_t kColor = 1;

// A value that compares equal to False (False, 0, Empty); Null compares equal to nothing.
bool equalsFalse(const Variant& v) {
  if (v.isNull()) return false;
  return !v.toBool();
}

class PowerPoint : public Capture {
 public:
  PowerPoint(ObjectServices& object, const MemberArguments& args, Output output)
      : Capture(object, args, output, kPowerPointProfile) {}

 private:
  DispatchPtr printOptions() { return getObject(doc_, "PrintOptions"); }

  void openDocument() override {
    put(app_, "Visible", Variant(kTrue));
    put(app_, "WindowState", Variant(kMinimized));
    Variant pres = call(getObject(app_, "Presentations"), "Open", {input()});
    if (!pres.isObject()) raiseRuntime(rt::TypeMismatch);
    doc_ = pres.object();
    put(getObject(doc_, "PageSetup"), "SlideOrientation",
        Variant(arg("blnHorizontalOrientation").toBoolNullFalse() ? kHorizontal : kVertical));
  }

  std::string readPrinter() override { return get(printOptions(), "ActivePrinter").toString(); }
  void writePrinter(const Variant& printer) override {
    put(printOptions(), "ActivePrinter", printer);
  }

  void afterPrinterSwap() override {
    if (equalsFalse(arg("blnBlackAndWhite")))
      put(printOptions(), "PrintColorType", Variant(kColor));
    put(printOptions(), "PrintInBackground", Variant(kFalse));
  }

  void printTo(const Variant& target) override {
    call(doc_, "PrintOut", {},
         {{"From", arg("lngStartSlide")}, {"To", arg("lngEndSlide")}, {"PrintToFile", target}});
  }

  void closeDocument() override { call(doc_, "Close"); }
};

}  // namespace

void createPSfromPowerPoint(ObjectServices& obj, const MemberArguments& args) {
  PowerPoint(obj, args, Output::PostScript).run();
}

void createPDFfromPowerPoint(ObjectServices& obj, const MemberArguments& args) {
  PowerPoint(obj, args, Output::Pdf).run();
}

}  // namespace docmill::office_client
