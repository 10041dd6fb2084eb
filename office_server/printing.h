// The PostScript printer of the Office servers: the office lays out the selected pages into
// a private PDF file, and the page renderer (a sandboxed helper process) draws them as DSC
// PostScript: text stays text, and only what PostScript cannot draw (transparency) becomes
// an image. Also the PDF export, which hands out the office's PDF itself.
//
// The PDF (in the office's work folder) and the PostScript (in the host's scratch folder)
// are private files, removed on every path; the finished PostScript or PDF is put at the
// target in one step. So the target is a plain file of exactly the name given, never holds
// an incomplete file, and a failure (which raises the application's error) leaves it
// untouched.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "office_server/print_settings.h"
#include "office_server/uno_support.h"

namespace docmill::office_server {

struct PrintOptions {
  bool grey = false;  // print in shades of grey
  // Fit every page onto paper of this size in points (width, height), e.g. slides printed
  // in the other orientation.
  std::optional<std::pair<double, double>> paper;
};

// Prints `doc` through the export filter `filter` with `filterData` into `target`.
void printToFile(const AppIdentity& app, const css::uno::Reference<css::lang::XComponent>& doc,
                 const char* filter,
                 const css::uno::Sequence<css::beans::PropertyValue>& filterData,
                 const std::string& target, const PrintOptions& options = {});

// Exports `doc` through the export filter `filter` with `filterData` as a PDF into `target`.
void exportToFile(const AppIdentity& app, const css::uno::Reference<css::lang::XComponent>& doc,
                  const char* filter,
                  const css::uno::Sequence<css::beans::PropertyValue>& filterData,
                  const std::string& target);

}  // namespace docmill::office_server
