// Publications: no options, only the printer. No reference to the publication is held;
// every access goes through the application's ActiveDocument, read afresh each time.
#include "office_client/capture.h"
#include "office_client/converters.h"

namespace docmill::office_client {

namespace {

constexpr Profile kPublisherProfile{"Publisher.Application", /*swapsPrinter=*/true, Wait::Always};

class Publisher : public Capture {
 public:
  Publisher(ObjectServices& object, const MemberArguments& args, Output output)
      : Capture(object, args, output, kPublisherProfile) {}

 private:
  DispatchPtr activeDocument() { return getObject(app_, "ActiveDocument"); }

  void openDocument() override { call(app_, "Open", {input()}); }

  std::string readPrinter() override { return get(activeDocument(), "ActivePrinter").toString(); }
  void writePrinter(const Variant& printer) override {
    put(activeDocument(), "ActivePrinter", printer);
  }

  // The first two arguments are omitted; the third names the file printed into.
  void printTo(const Variant& target) override {
    call(activeDocument(), "PrintOut", {Variant::missing(), Variant::missing(), target});
  }

  void closeDocument() override { call(activeDocument(), "Close"); }
  // Without a publication reference, the clean-up closes whatever is active. After a failed
  // open a server may have no publication at all, so a clean-up that finds none (or cannot
  // close it) is no news: the failure that brought the call here is what the caller hears,
  // and the application is still told to quit.
  void cleanupDocument() override {
    if (!app_) return;
    try {
      closeDocument();
    } catch (const AutomationError&) {
    }
  }
};

}  // namespace

void createPSfromPub(ObjectServices& obj, const MemberArguments& args) {
  Publisher(obj, args, Output::PostScript).run();
}

void createPDFfromPub(ObjectServices& obj, const MemberArguments& args) {
  Publisher(obj, args, Output::Pdf).run();
}

}  // namespace docmill::office_client
