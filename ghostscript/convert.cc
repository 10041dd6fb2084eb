// The argument vectors for one or several inputs to one PDF, and their runs.

#include <cstdint>
#include <string>
#include <vector>

#include "conversion/routines.h"
#include "ghostscript/conversions.h"
#include "ghostscript/paths.h"
#include "pdfclean/active_content.h"
#include "platform/files.h"

namespace docmill::gs {

namespace {

// Elements 0 to 9 of every vector; the inputs follow from element 10.
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

bool entryExists(const std::string& path) {
  return platform::entryAt(path) != platform::EntryKind::None;
}

// A file or link the run wrote is its own to remove; a device or pipe the caller named is not.
bool removable(const std::string& path) {
  const platform::EntryKind kind = platform::entryAt(path);
  return kind == platform::EntryKind::File || kind == platform::EntryKind::Link;
}

// Runs one conversion into `output`. A failed run leaves no output of its own behind (a
// file that was there before the run is not touched) and raises conversionFailed. The PDF
// of a successful run loses whatever active content its inputs carried into it; a PDF
// that cannot be cleaned is removed and the conversion fails.
template <typename Run>
void raiseOnFailure(const std::string& output, Run run) {
  const bool existedBefore = entryExists(output);
  std::string tail;
  if (run(&tail)) {
    if (!entryExists(output)) return;
    auto failure = pdfclean::removeActiveContent(output);
    if (!failure) return;
    if (removable(output)) platform::removeQuietly(output);
    raise(conversionFailed(output, "the PDF cannot be checked for active content: " + *failure));
  }
  if (!existedBefore) platform::removeQuietly(output);
  raise(conversionFailed(output, tail));
}

}  // namespace

bool convertFile(const Variant& input, const Variant& output, std::string* errorTail) {
  const std::string out = output.toString();
  std::vector<std::string> args = fixedArguments(out, 1);
  InputAliases aliases;
  RunFiles files;
  files.reads.push_back(input.toString());
  files.writes.push_back(out);
  args.push_back(aliases.argumentFor(files.reads.back()));
  return callGhostscript(args, errorTail, files);
}

bool convertFiles(const Variant& inputs, const std::string& output, std::string* errorTail) {
  if (!inputs.isArray()) raiseRuntime(rt::TypeMismatch);
  const SafeArray& array = inputs.deref().array();
  // The input count is held in 16-bit counters: the upper bound must fit one, and the
  // vector index, which starts at 10, must not pass 32767 (upper bound 32756 at most).
  const int16_t upper = Variant(array.ubound(1)).toI2();
  std::vector<std::string> args =
      fixedArguments(output, upper >= 0 ? static_cast<size_t>(upper) + 1 : 0);
  InputAliases aliases;
  RunFiles files;
  files.writes.push_back(output);
  int16_t j = 10;
  for (int32_t i = 0; i <= upper; ++i) {
    files.reads.push_back(array.at(i).toString());
    args.push_back(aliases.argumentFor(files.reads.back()));
    if (j == INT16_MAX) raiseRuntime(rt::Overflow);
    ++j;
  }
  return callGhostscript(args, errorTail, files);
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
