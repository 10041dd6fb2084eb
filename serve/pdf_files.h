// What the service does to finished files before it sends them: picking pages out of a
// PDF (over libqpdf) and packing several files into one zip archive (stored, since PDFs
// are compressed already).
//
// Both write a new file and leave their inputs alone. Failures throw `FileError` with a
// text fit for the caller; a half-written output is the caller's to remove (it lives in
// the request's private folder).
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "pdfclean/finishing.h"

namespace docmill::serve {

struct FileError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Page ranges as "1-3,5,8-" (the page lists of pdfclean/finishing.h): together they name a
// set of pages, as an office's page selection does.
using PageRange = pdfclean::PageRange;
// Throws FileError for malformed text and text past the page lists' limits, naming what is
// wrong.
std::vector<PageRange> parsePageRanges(const std::string& text);

// Writes the pages of `input` that `ranges` select to `output`, in page order and each
// once, so the output never has more pages than the input. A range that starts past the
// last page throws FileError. Everything read is freed before it returns.
void selectPages(const std::string& input, const std::string& output,
                 const std::vector<PageRange>& ranges);

// Writes a zip archive at `output` holding each (entry name, file) in order. Entry names
// must be unique plain names. Files of 4 GiB and more are refused.
void writeZip(const std::string& output,
              const std::vector<std::pair<std::string, std::string>>& entries);

}  // namespace docmill::serve
