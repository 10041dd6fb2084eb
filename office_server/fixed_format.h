// The documents' `ExportAsFixedFormat`: a PDF written by the office's own export filter, with
// its settings, instead of a print. Internal to this folder.
//
// Each application's method takes its own parameters, positionally or by name, as the
// application names them (`FixedFormatCall` is told the list). Beyond them it takes named
// arguments for the PDF: `PdfA` ("PDF/A-1b", "PDF/A-2b" or "PDF/A-3b"), `PdfUA` (Boolean:
// tagged, accessible PDF/UA-1) and the export settings (`exportFormFields`, `quality`,
// `singlePageSheets`, `nativeWatermarkText`, ...: see fixed_format.cc), each checked here
// and turned into the export filter's own setting. A name that is none of these, a value out
// of range, and a format other than PDF fail with the application's bad-value error, so no
// name or value reaches the office unchecked.
//
// The office writes the PDF into a private file in its work folder; the finished file is
// then put at the target whole (a failure leaves the target as it was).
#pragma once

#include <initializer_list>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "automation/dispatch.h"
#include "office_server/uno_support.h"

namespace docmill::office_server {

class FixedFormatCall {
 public:
  // Reads `call`, whose own parameters are `parameters` in positional order. Raises the
  // application's bad-value error for an unknown name or a bad setting, and
  // DISP_E_BADPARAMCOUNT for more positional arguments than parameters.
  FixedFormatCall(const AppIdentity& app, const NamedCall& call,
                  std::span<const char* const> parameters);

  // The application's own argument `name`; nullptr when absent or passed as missing.
  const Variant* argument(std::string_view name) const;
  // The output file named by argument `name`; raises when it is absent or empty.
  std::string target(const char* name) const;
  // Requires argument `name` (the format) to be `pdf`; `xps` gets a message of its own.
  void requireFormat(const char* name, int32_t pdf, int32_t xps) const;
  // Refuses a true argument `name`: what it asks cannot be done by a server.
  void refuseTrue(const char* name, const std::string& why) const;
  // Refuses argument `name` unless it is Nothing, Empty or Null (another exporter's object).
  void refuseObject(const char* name) const;
  // Argument `name` as a number (nothing when absent) that must be one of `allowed`.
  std::optional<int32_t> choice(const char* name, std::initializer_list<int32_t> allowed) const;

  // A setting of the export filter asked by the application's own parameters; the named
  // export settings of the call win over it.
  void set(const char* filterName, const css::uno::Any& value);
  // The export of pages `from` to `to` (1-based, either may be missing: the first page, the
  // last page), checked against `pageCount` when it is known (> 0).
  void pages(const Variant* from, const Variant* to, int32_t pageCount);
  // Images reduced to 150 dpi, unless the call's settings say otherwise: what the
  // applications' "for the screen" and "minimum" qualities ask.
  void forScreen();

  // Whether the named export setting `name` was given as true (updateIndexes, ...).
  bool asked(std::string_view name) const;

  // Exports `doc` with `filter` and the settings into `target`.
  void write(const css::uno::Reference<css::lang::XComponent>& doc, const char* filter,
             const std::string& target) const;

 private:
  const AppIdentity& app_;
  const NamedCall& call_;
  std::span<const char* const> parameters_;
  std::map<std::string, css::uno::Any> own_;        // from the application's parameters
  std::map<std::string, css::uno::Any> settings_;   // from the named settings
  std::map<std::string, bool, std::less<>> flags_;  // flags given, by option name
};

// The number of pages an export of the whole of `doc` holds, as the office lays it out; -1
// when the office cannot tell.
int32_t exportedPageCount(const css::uno::Reference<css::lang::XComponent>& doc);

}  // namespace docmill::office_server
