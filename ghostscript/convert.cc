// The argument vectors for one or several inputs to one PDF, and their runs.

#include <cstdint>
#include <string>
#include <vector>

#include "automation/os_errors.h"
#include "conversion/routines.h"
#include "ghostscript/conversions.h"
#include "ghostscript/paths.h"
#include "pdfclean/active_content.h"
#include "platform/files.h"
#include "platform/scratch.h"

namespace docmill::gs {

namespace {

// Elements 0 to 9 of every vector, for a run that writes `output`; the inputs follow from
// element 10.
std::vector<std::string> fixedArguments(const std::string& output, size_t inputs) {
  std::vector<std::string> args;
  args.reserve(10 + inputs);
  args.insert(args.end(), {"ps2pdf", "-dNOPAUSE", "-dBATCH", "-dSAFER", "-r300",
                           "-sDEVICE=pdfwrite", "-sOutputFile=" + outputFileValue(output), "-c",
                           // Interpreters from 9.50 on have no .setpdfwrite; there it is
                           // skipped instead of failing the run.
                           "/.setpdfwrite where { pop .setpdfwrite } if", "-f"});
  return args;
}

// A private file in the host's scratch folder for the run to write: the caller's output
// appears only once it is whole and clean. Removed when it goes, on every path.
platform::TempFile privateOutput() {
  try {
    return platform::TempFile(platform::hostScratchFolder(), "gs-out-", ".pdf");
  } catch (const platform::OsError& e) {
    raiseOsError(e);
  }
}

// Clears the PDF the run wrote of active content and puts it at `output` in one step. A run
// that wrote nothing puts nothing in place. False, with the reason in `errorTail`, when the
// PDF cannot be cleaned or put in place; `output` is then untouched. A link at the output's
// name (the old output was removed, so one planted since) is neither followed nor replaced;
// only the caller's own descriptors and streams (/dev/stdout) are written through.
bool publish(const std::string& written, const std::string& output, std::string* errorTail) {
  if (platform::fileLength(written).value_or(0) == 0) return true;
  std::string why;
  if (platform::entryAt(output) == platform::EntryKind::Link && !platform::isWrittenInto(output)) {
    why = "the PDF will not be written through the link " + output;
  } else if (auto failure = pdfclean::removeActiveContent(written)) {
    why = "the PDF cannot be checked for active content: " + *failure;
  } else {
    try {
      platform::publishFile(written, output);
      return true;
    } catch (const platform::OsError& e) {
      why = std::string("the PDF cannot be put in place: ") + e.what();
    }
  }
  if (errorTail) *errorTail = why;
  return false;
}

// Runs one conversion into `output` and raises conversionFailed when it fails.
template <typename Run>
void raiseOnFailure(const std::string& output, Run run) {
  std::string tail;
  if (!run(&tail)) raise(conversionFailed(output, tail));
}

}  // namespace

bool convertFile(const Variant& input, const Variant& output, std::string* errorTail) {
  const std::string out = output.toString();
  const platform::TempFile written = privateOutput();
  std::vector<std::string> args = fixedArguments(written.path(), 1);
  InputAliases aliases;
  RunFiles files;
  files.reads.push_back(input.toString());
  files.writes.push_back(written.path());
  args.push_back(aliases.argumentFor(files.reads.back()));
  return callGhostscript(args, errorTail, files) && publish(written.path(), out, errorTail);
}

bool convertFiles(const Variant& inputs, const std::string& output, std::string* errorTail) {
  if (!inputs.isArray()) raiseRuntime(rt::TypeMismatch);
  const SafeArray& array = inputs.deref().array();
  // The input count is held in 16-bit counters: the upper bound must fit one, and the
  // vector index, which starts at 10, must not pass 32767 (upper bound 32756 at most).
  const int16_t upper = Variant(array.ubound(1)).toI2();
  const platform::TempFile written = privateOutput();
  std::vector<std::string> args =
      fixedArguments(written.path(), upper >= 0 ? static_cast<size_t>(upper) + 1 : 0);
  InputAliases aliases;
  RunFiles files;
  files.writes.push_back(written.path());
  int16_t j = 10;
  for (int32_t i = 0; i <= upper; ++i) {
    files.reads.push_back(array.at(i).toString());
    args.push_back(aliases.argumentFor(files.reads.back()));
    if (j == INT16_MAX) raiseRuntime(rt::Overflow);
    ++j;
  }
  return callGhostscript(args, errorTail, files) && publish(written.path(), output, errorTail);
}

void convertToPdfA(const std::string&, const std::string& output, int) {
  raise(conversionFailed(output, "PDF/A conversion is not built yet"));
}

Error conversionFailed(const std::string& output, const std::string& errorTail) {
  return Error{pdoErrConversionFailed, kAppTitle,
               "Conversion to " + output + " failed: " + errorTail};
}

}  // namespace docmill::gs

namespace docmill::gs {

void convertFileOrRaise(const Variant& input, const Variant& output) {
  const std::string out = output.toString();
  raiseOnFailure(out, [&](std::string* tail) { return convertFile(input, output, tail); });
}

void convertFilesOrRaise(const Variant& inputs, const std::string& output) {
  raiseOnFailure(output, [&](std::string* tail) { return convertFiles(inputs, output, tail); });
}

}  // namespace docmill::gs
