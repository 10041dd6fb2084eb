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

namespace docmill::serve {

struct FileError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Page ranges as "1-3,5,8-": 1-based, inclusive; an open end runs to the last page.
// Together they name a set of pages, as an office's page selection does: "3,1-2" and
// "1-3,2" both mean pages 1, 2 and 3.
struct PageRange {
  int first = 1;
  int last = 0;  // 0: to the last page
};
// What one selection may hold: its text's length, its items, and the largest page number.
inline constexpr size_t kMaxPageRangesText = 2000;
inline constexpr size_t kMaxPageRanges = 500;
inline constexpr int kMaxPageNumber = 1'000'000;
// Throws FileError for malformed text (empty items, zero, a range that runs backwards) and
// for text past the limits above, naming what is wrong.
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
