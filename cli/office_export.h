// The office's own PDF of a document for the batch: the document's application created by
// ProgID, the document opened (with the caller's password), turned where asked, exported
// with ExportAsFixedFormat and the PDF options, then closed and the application quit, on
// every path. Everything goes through late-bound calls, as a script would make them.
//
// Failures raise the application's error (`AutomationError`), whose description names the
// document. Nothing is written but the PDF asked for.
#pragma once

#include <optional>
#include <string>

#include "cli/pdf_options.h"

namespace docmill::cli {

// Which application opens a document, by the extension of its name (case-insensitive).
enum class OfficeKind {
  None,          // PostScript and PDF: not an office document
  Word,          // word-processing documents
  Other,         // any other kind: opened by the word processor as it can
  Text,          // plain text, laid out by the word processor
  Workbook,      // spreadsheets
  Presentation,  // slides
  Publication,   // publications and drawings
};
OfficeKind officeKind(const std::string& input);

// How a document is to be exported.
struct ExportRequest {
  std::optional<bool> landscape;  // turn the pages; unset keeps each document's own
  const PdfOptions* pdf = nullptr;
};

// What became of an export.
enum class Exported {
  Done,
  // A presentation whose slides would have to be turned to the orientation asked: the export
  // keeps a slide's shape, so it is left to the print route, which fits slides onto turned
  // paper. Nothing was written.
  NeedsTurning,
};

// Exports `input` (an office document: officeKind is not None) as a PDF into `pdf`.
Exported exportDocument(const std::string& input, const std::string& pdf,
                        const ExportRequest& request);

}  // namespace docmill::cli
