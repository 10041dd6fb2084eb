#include "office_client/capture.h"

#include "automation/creation.h"
#include "office_client/hooks.h"
#include "platform/files.h"
#include "platform/trust.h"

namespace docmill::office_client {

bool printsSynchronously(const DispatchPtr& app) {
  try {
    Variant answer = get(app, "PrintsSynchronously");
    return answer.valueType() == vt::Bool && answer.toBool();
  } catch (const AutomationError&) {
    return false;  // a server that does not know the property gets the full wait
  }
}

void waitForPrintFile(const std::string& path, const DispatchPtr& app) {
  const bool synchronous = printsSynchronously(app);
  const Hooks& h = hooks();
  const Clock::time_point start = h.now();
  if (!synchronous) h.pause(kWaitPause);
  for (;;) {
    h.pumpMessages();
    if (h.now() - start >= kPrintFileTimeout) {
      raise(Error{pdoErrPrintTimeout, kAppTitle,
                  "Timed out waiting for the print file " + path + "."});
    }
    std::optional<int64_t> first;
    if (fileExists(Variant(path))) first = platform::fileLength(path);
    if (!first || *first < 1) {
      h.pause(kPollPause);
      continue;
    }
    if (synchronous) return;
    h.pause(kWaitPause);
    if (platform::fileLength(path) == first) return;
  }
}

void deleteIfExists(const Variant& path) {
  if (fileExists(path)) deleteFile(path.toString());
}

void requirePlainPrintFile(const std::string& path) {
  if (platform::entryExists(path) && !platform::isPlainFile(path)) {
    raiseRuntime(rt::PermissionDenied);
  }
}

Capture::Capture(ObjectServices& object, const MemberArguments& args, Output output,
                 const Profile& profile)
    : object_(object), args_(args), output_(output), profile_(profile) {}

void Capture::run() {
  if (!fileExists(input())) raise(fileNotFoundError(input()));
  guarded(
      [&] {
        app_ = createObject(profile_.progId);
        openDocument();
        printDocument();
        beforeClose();
        closeDocument();
        doc_.reset();
        quitApplication();
        app_.reset();
        if (pdf()) wrapPdf();
      },
      [&] {
        // A reserved temporary file that was never printed into is this call's litter.
        if (pdf() && platform::fileLength(targetPath_) == 0) platform::removeQuietly(targetPath_);
        cleanupDocument();
        if (app_) {
          quitApplication();
          app_.reset();
        }
      });
}

void Capture::printDocument() {
  if (profile_.swapsPrinter) {
    savedPrinter_ = readPrinter();
    writePrinter(arg("strPrinter"));
  }
  afterPrinterSwap();
  preparePrintTarget();
  printTo(printTargetArg());
  if (waitsForFile()) waitForPrintFile(targetPath_, app_);
  if (profile_.swapsPrinter) writePrinter(Variant(savedPrinter_));
}

void Capture::cleanupDocument() {
  if (doc_) {
    closeDocument();
    doc_.reset();
  }
}

void Capture::quitApplication() {
  call(app_, "Quit");
}

Variant Capture::preparePrintTarget() {
  if (pdf()) {
    // The reserved file is this call's own and empty: it stays as the print target, so no
    // other conversion can be handed the same name while the application prints into it
    // (the completion wait treats an empty file as not yet printed).
    targetPath_ = reserveTempPath(object_.tempFilePath());
    target_ = Variant(targetPath_);
  } else {
    const Variant& out = output();
    deleteIfExists(out);
    target_ = out.deref();
    targetPath_ = out.isNull() ? std::string() : out.toString();
  }
  return printTargetArg();
}

Variant Capture::printTargetArg() {
  return pdf() ? Variant::byRef(target_) : Variant(target_);
}

bool Capture::waitsForFile() const {
  switch (profile_.wait) {
    case Wait::Always:
      return true;
    case Wait::PostScriptOnly:
      return !pdf();
    case Wait::Never:
      break;
  }
  return false;
}

void Capture::wrapPdf() {
  const Variant& pdfFile = output();
  requirePlainPrintFile(targetPath_);
  deleteIfExists(pdfFile);
  try {
    hooks().convertFile(Variant(targetPath_), pdfFile);
  } catch (const AutomationError& e) {
    // A failed run makes the printed file worthless; any other failure leaves it.
    if (e.error().number == pdoErrConversionFailed) platform::removeQuietly(targetPath_);
    throw;
  }
  deleteFile(targetPath_);
}

}  // namespace docmill::office_client
