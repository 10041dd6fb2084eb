// What `docmill convert` learns of a document before converting it, so that each document
// keeps its own layout although the members take a fixed orientation or one sheet: the
// shape of a presentation's slides, and the worksheets of a workbook that print, each with
// the ranges it prints.
//
// The questions are read-only calls, late-bound, on the application the document belongs
// to (created by ProgID, the document opened, read, closed, the application quit on every
// path). They never raise: a document that cannot be read yields an empty answer, and the
// conversion that follows reports why.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace docmill::cli {

// One range of a worksheet to print, with the print settings the sheet has itself.
struct SheetRange {
  std::string sheet;
  std::string range;
  bool gridlines = false;
  int32_t firstPageNumber = 1;  // or the application's "automatic" (-4105)
};

struct DocumentLayout {
  // Presentations: whether the slides are at least as wide as they are high.
  std::optional<bool> wideSlides;
  // Workbooks: the visible worksheets that have something to print, in workbook order; a
  // sheet with a print area of several ranges appears once for each.
  std::vector<SheetRange> sheets;
  // Workbooks whose visible worksheets all have nothing to print: the paper of the first
  // one in points (width, height, as it is turned). Such a workbook prints as one blank
  // page, as the office prints it.
  std::optional<std::pair<double, double>> blankPage;
};

// The whole of a worksheet; the application prints the part that is used.
inline constexpr const char* kWholeSheet = "A1:XFD1048576";

// Asks the presentation's application for the slide size.
DocumentLayout presentationLayout(const std::string& path);
// Asks the workbook's application for its worksheets, their visibility, print areas and own
// print settings; sheets with nothing to print are left out.
DocumentLayout workbookLayout(const std::string& path);

// The ranges of a print area as the spreadsheet application writes it ("$A$1:$C$9" or
// "$A$1:$B$2,$D$1:$E$2"; a sheet name before "!" is dropped); empty for no print area.
std::vector<std::string> printAreaRanges(const std::string& printArea);

}  // namespace docmill::cli
