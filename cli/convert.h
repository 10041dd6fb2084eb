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

#include "automation/dispatch.h"
#include "automation/variant.h"
#include "cli/layout.h"

namespace docmill::cli {

// The member that converts `input` to PDF and its arguments, chosen by the file's
// extension (case-insensitive); unknown kinds go through CreatePDFfromMiscFile. Each
// document keeps its own layout: word-processing documents print as they are laid out
// (through CreatePDFfromMiscFile, which sets no page options), presentations in the
// orientation of their slides, workbooks with every visible worksheet in order, each in
// its own orientation and print area, as far as `layout` tells them (see layout.h;
// without it, slides print the member's default way and a workbook its first sheet).
struct ConversionPlan {
  std::string member;
  std::vector<Variant> args;
  std::vector<Named> named;
};
ConversionPlan planConversion(const std::string& input, const std::string& output,
                              const DocumentLayout& layout = {});

// What the conversion of `input` needs to know of its layout, read from the document
// (only presentations and workbooks are asked).
DocumentLayout readLayout(const std::string& input);

// The PDF path for `input`: in `outputDir` when given, else beside the input, with the
// extension replaced by ".pdf".
std::string defaultOutput(const std::string& input, const std::string& outputDir);

// The PDF paths for a batch: `defaultOutput` for each input, except where that would
// overwrite an input (a PDF converted beside itself) or the output of another input
// ("book.xls" and "book.ods"): those keep their whole file name ("book.xls.pdf"), with
// "-2", "-3", ... added while that is still taken.
std::vector<std::string> batchOutputs(const std::vector<std::string>& inputs,
                                      const std::string& outputDir);

// Runs the command on its arguments (those after "convert"); returns the exit status.
int runConvert(const std::vector<std::string>& args);

}  // namespace docmill::cli
