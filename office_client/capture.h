// The print-capture protocol every Office converter follows: create the application, open
// the document and apply its options, swap the printer, prepare the print target, print
// into it, wait for the file where the converter needs to, put the printer back, close the
// document, quit the application and, for the PDF methods, convert the printed PostScript.
//
// `Capture` runs that skeleton once (`run`); a converter states its departures as data
// (`Profile`) and overrides the application-specific steps. One `Capture` object serves one
// method call and owns the application and document references of that call.
//
// Failures: a missing input raises 0x80004100 before anything starts. Any later failure
// closes the document and quits the application (the printer is not put back, files
// already written stay) and reaches the caller with its number and description and the
// source "docmill". A failed interpreter run removes the temporary PostScript file and
// raises 0x80004101; a completion wait that outlasts its bound raises 0x80004102.
#pragma once

#include <chrono>
#include <span>
#include <string>
#include <string_view>

#include "automation/dispatch.h"
#include "automation/typeinfo.h"
#include "conversion/routines.h"

namespace docmill::office_client {

// How long the completion wait lets a print file take, from its first pause.
inline constexpr std::chrono::seconds kPrintFileTimeout{120};
inline constexpr std::chrono::milliseconds kWaitPause{1000};
// The pause between the passes that find the print file missing or still empty, so a
// wait for a file that is slow to come does not keep a processor busy.
inline constexpr std::chrono::milliseconds kPollPause{5};

// Whether a method prints into the caller's PostScript file or into a temporary file that
// becomes the caller's PDF file.
enum class Output { PostScript, Pdf };

enum class Wait { Never, Always, PostScriptOnly };

// The departures of one application from the skeleton that are plain data.
struct Profile {
  const char* progId;
  // Reads the printer before printing and puts it back afterwards.
  bool swapsPrinter;
  Wait wait;
};

// Whether `app` declares that its print calls return only once the print file is
// complete (written whole, or renamed into place): its property `PrintsSynchronously`
// answers Boolean True. Any other answer, or a failure to answer, means no.
bool printsSynchronously(const DispatchPtr& app);

// Waits for the print file `path` that `app` is writing. An application that prints
// synchronously is done as soon as the file exists and is not empty; for any other the
// file must also keep its length across one pause of kWaitPause (after a first such
// pause), since it may still be growing. Gives up with 0x80004102 once kPrintFileTimeout
// has passed since the wait began.
void waitForPrintFile(const std::string& path, const DispatchPtr& app);

// Deletes `path` when it exists (a failure to delete raises).
void deleteIfExists(const Variant& path);

// Raises 70 "Permission denied" when something other than a plain file stands where a
// temporary print file was printed (a link, say): reading it back would read whatever the
// link leads to. A missing file is left to the conversion, which reports it.
void requirePlainPrintFile(const std::string& path);

class Capture {
 public:
  Capture(ObjectServices& object, const MemberArguments& args, Output output,
          const Profile& profile);
  virtual ~Capture() = default;
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  // The whole method: existence test of the input, then the guarded skeleton.
  void run();

 protected:
  // Preparation, opening and page options; sets `doc_` where the converter holds one.
  virtual void openDocument() = 0;
  // The printer property, read and written (only for profiles that swap the printer).
  virtual std::string readPrinter() { return {}; }
  virtual void writePrinter(const Variant&) {}
  // Print options that follow the printer swap.
  virtual void afterPrinterSwap() {}
  // The application's print call into `target`.
  virtual void printTo(const Variant& target) { (void)target; }
  // Steps from the printer swap to the printer restore; converters that print several
  // times replace it.
  virtual void printDocument();
  // Between the printer restore and closing the document.
  virtual void beforeClose() {}
  // Closes the document (normal path and clean-up alike).
  virtual void closeDocument() = 0;
  // Clean-up of the document on the error path: closes it if it is held.
  virtual void cleanupDocument();
  virtual void quitApplication();
  // After the application has quit: the PDF methods turn the print file into the PDF.
  virtual void wrapPdf();

  // Forms the print target of one print: the caller's PostScript file (deleted first if it
  // exists) or a newly reserved temporary file. Returns what is handed to the application.
  Variant preparePrintTarget();
  // The print target as the application receives it: the caller's own variant for a
  // PostScript method, the temporary path by reference for a PDF method.
  Variant printTargetArg();
  bool waitsForFile() const;

  // The arguments, by the member table's parameter names. Every conversion member takes
  // its output file first and its input file second, whatever their names.
  Variant& arg(std::string_view name) const { return args_[name]; }
  Variant& output() const { return args_.at(0); }
  Variant& input() const { return args_.at(1); }
  bool pdf() const { return output_ == Output::Pdf; }

  ObjectServices& object_;
  MemberArguments args_;
  Output output_;
  const Profile& profile_;

  DispatchPtr app_;
  DispatchPtr doc_;
  std::string savedPrinter_;
  Variant target_;          // the current print target (caller's variant or temp path)
  std::string targetPath_;  // its text
};

}  // namespace docmill::office_client
