// `docmill convert`: many files to PDF in one run, several at a time; or, with --merge, all
// of them into one PDF in the order given.
//
// Office documents are exported by the office itself (cli/office_export.h: its own PDF, with
// links, outline, tags, form fields and the settings asked), then cleared of active content;
// with `PdfOptions::viaPostScript` they are printed through the CreatePDF member that fits
// their type instead, exactly as those members print. PostScript and PDF inputs always go
// through their members. Every PDF then gets what the options ask (PDF/A, metadata,
// flattening, encryption, a split: pdfclean/finishing.h) and is put in place whole.
//
// Each worker thread owns its own CreatePDF object. A file that fails is reported with its
// error, naming it, and does not stop the others; the exit status says whether any failed.
// PDFs are made and finished in private folders removed on every path. `convertBatch` is the
// command without its argument parsing and printing, for other hosts.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "automation/dispatch.h"
#include "automation/variant.h"
#include "cli/layout.h"
#include "cli/pdf_options.h"

namespace docmill::cli {

// The member that converts `input` to PDF and its arguments, chosen by the file's
// extension (case-insensitive); unknown kinds go through CreatePDFfromMiscFile. Each
// document keeps its own layout: word-processing documents print as they are laid out
// (through CreatePDFfromMiscFile, which sets no page options), presentations in the
// orientation of their slides, workbooks with every visible worksheet in order, each in
// its own orientation and print area and with its own gridlines and first page number, as
// far as `layout` tells them (see layout.h; without it, slides print the member's default
// way and a workbook its first sheet). A workbook with nothing to print gives one blank
// page, as the office prints it.
// What a caller may ask of the pages of every document: unset keeps each document's own.
// `landscape` turns word-processing documents, text, workbooks and presentations (the
// kinds whose members take an orientation); the others keep theirs.
struct PageOptions {
  std::optional<bool> landscape;
};

struct ConversionPlan {
  std::string member;
  std::vector<Variant> args;
  std::vector<Named> named;
  // PostScript the conversion reads in place of the input (written into a private file
  // that args[1] then names): the one blank page of a workbook with nothing to print.
  std::string generatedInput;
  // A document printed in parts, each by its own plan into a private PDF (its args[0]),
  // then joined in order into the output by this plan's member (args[1] then lists the
  // parts): runs of worksheets that differ in a setting the member takes once for all.
  std::vector<ConversionPlan> parts;
};
ConversionPlan planConversion(const std::string& input, const std::string& output,
                              const DocumentLayout& layout = {}, const PageOptions& options = {});

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

// What became of one input of a batch.
struct FileResult {
  std::string input;
  std::string output;          // the PDF that holds the input; empty when none does
  std::optional<Error> error;  // its own conversion's failure, or the join's
  std::string message;         // that failure as the command prints it
  // With a split: the PDFs it was cut into, in order ("NAME_0.pdf", ... beside the output's
  // name NAME.pdf), and `output` empty. A split of pages unified gives one PDF: `output`.
  std::vector<std::string> parts;
};

struct BatchRequest {
  std::vector<std::string> inputs;
  // One input: the PDF, unless it names a folder; several: a folder for the PDFs (created
  // when needed); empty: beside each input. With `merge`: the joined PDF (required).
  std::string output;
  bool merge = false;
  int jobs = 0;  // conversions at a time; 0: DOCMILL_OFFICE_POOL, else the number of cores
  PageOptions options;
  // What the PDFs are to be: Office documents are exported by the office itself with these
  // settings, unless `pdf.viaPostScript` asks for the members' print route; every PDF then
  // gets the standard, metadata, flattening, encryption and split asked for. Checked with
  // PdfOptions::check before any work (a refusal is reported in BatchResult::refused). With
  // `merge`, the office's route joins the pieces keeping their links, outlines, form fields
  // and tags (PDF inputs join as they are, with `pdf.password` opening protected ones), and
  // the finishing applies to the joined PDF.
  PdfOptions pdf;
  // Told of each conversion as it ends, from the worker thread that ran it; calls may
  // come from several threads at once.
  std::function<void(const FileResult&)> progress;
  // What to call each input, in the order of `inputs`, where a merged PDF names it (its
  // outline entry) and in a failure of the join; an input without a name here is called by
  // its file name.
  std::vector<std::string> names;
};

struct BatchResult {
  std::string refused;             // why the request was turned down before any work, if it was
  std::vector<FileResult> files;   // one per input, in the order given
  size_t failed = 0;               // inputs whose own conversion failed
  bool noScratch = false;          // merge: no private folder for the pieces could be made
  std::optional<Error> joinError;  // merge: joining the pieces failed
};

// Converts a batch as the command does, in parallel, never writing over an input. Every
// file's failure is reported in its result; nothing is thrown for them. The worker threads
// work under the caller's `CallContext`, so cancelling it stops the whole batch.
BatchResult convertBatch(const BatchRequest& request);

// Runs the command on its arguments (those after "convert"); returns the exit status. The
// batch is made by `run` (another process may make it: the pool service).
using BatchRunner = std::function<BatchResult(const BatchRequest&)>;
int runConvert(const std::vector<std::string>& args, const BatchRunner& run = convertBatch);

}  // namespace docmill::cli
