// `docmill convert`: many files to PDF in one run, each through the CreatePDF member that
// fits its type, several at a time; or, with --merge, all of them into one PDF in the
// order given.
//
// Each worker thread owns its own CreatePDF object. A file that fails is reported with its
// error and does not stop the others; the exit status says whether any failed. Temporary
// PDFs made for a merge live in a private folder removed on every path.
#pragma once

#include <string>
#include <vector>

#include "automation/variant.h"

namespace docmill::cli {

// The member that converts `input` to PDF and its arguments, chosen by the file's
// extension (case-insensitive); unknown kinds go through CreatePDFfromMiscFile.
struct ConversionPlan {
  std::string member;
  std::vector<Variant> args;
};
ConversionPlan planConversion(const std::string& input, const std::string& output);

// The PDF path for `input`: in `outputDir` when given, else beside the input, with the
// extension replaced by ".pdf".
std::string defaultOutput(const std::string& input, const std::string& outputDir);

// Runs the command on its arguments (those after "convert"); returns the exit status.
int runConvert(const std::vector<std::string>& args);

}  // namespace docmill::cli
