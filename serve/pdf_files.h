// What the service does to finished files before it sends them: picking pages out of a
// PDF (over libqpdf) and packing several files into one zip archive (stored, since PDFs
// are compressed already).
//
// Both write a new file and leave their inputs alone. Failures throw `FileError` with a
// text fit for the caller; a half-written output is the caller's to remove (it lives in
// the request's private folder).
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace docmill::serve {

struct FileError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Page ranges as "1-3,5,8-": 1-based, inclusive; an open end runs to the last page.
struct PageRange {
  int first = 1;
  int last = 0;  // 0: to the last page
};
// Throws FileError for malformed text (empty items, zero, a range that runs backwards).
std::vector<PageRange> parsePageRanges(const std::string& text);

// Writes the pages of `input` that `ranges` name, in the order named, to `output`. A range
// that starts past the last page throws FileError.
void selectPages(const std::string& input, const std::string& output,
                 const std::vector<PageRange>& ranges);

// Writes a zip archive at `output` holding each (entry name, file) in order. Entry names
// must be unique plain names. Files of 4 GiB and more are refused.
void writeZip(const std::string& output,
              const std::vector<std::pair<std::string, std::string>>& entries);

}  // namespace docmill::serve
