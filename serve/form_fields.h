// The text fields of the service's two routes of the common conversion API
// (/forms/libreoffice/convert and /forms/pdfengines/merge), read as the form arrives: each
// field is judged as soon as its part ends (its name as soon as the part begins), so that a
// request with a bad field is refused before the rest of its upload is stored and before it
// waits for a conversion slot.
//
// The service's own fields (merge, landscape, nativePageRanges) are read here; every other
// text field goes to cli::PdfOptions, which names the field and the value it refuses. A field
// the route does not know, a field of the common API that docmill does not do, a file sent
// in one of that API's file fields that docmill does not take (embeds, watermark, stamp,
// facturxXml), and a field given twice are refused too: nothing a caller sends is silently
// ignored.
//
// Refusals throw `FieldError`, whose text is fit for the caller. Nothing here touches a file.
#pragma once

#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli/pdf_options.h"
#include "serve/pdf_files.h"

namespace docmill::serve {

struct FieldError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// What a form asks of its conversion beyond its files.
struct FormOptions {
  cli::PdfOptions pdf;  // every PDF option given
  // With a page selection, pages are picked from the converted PDFs, so the options split in
  // two: those of the conversion itself (the office's export settings, the print route, the
  // inputs' password) before the pages are picked, and those that shape any PDF (standard,
  // metadata, flattening, encryption, split) after, so that picking keeps what they made.
  cli::PdfOptions beforePages, afterPages;
  bool merge = false;
  std::optional<bool> landscape;
  std::vector<PageRange> ranges;  // nativePageRanges; empty: every page
};

class FormFields {
 public:
  // Whether `route` reads its fields here.
  static bool reads(const std::string& route);

  explicit FormFields(const std::string& route);

  // A part named `name` begins: a file when `file`. Refuses names the route does not take.
  void begin(const std::string& name, bool file);
  // The text field `name` has ended with `value`. Refuses a value it does not take.
  void text(const std::string& name, const std::string& value);
  // The whole form is in: refuses options that cannot be met together.
  FormOptions finish();

 private:
  bool merging_;  // the merge route: PDFs joined as they are
  std::set<std::string> seen_;
  FormOptions options_;
};

}  // namespace docmill::serve
