// The PDF options users of the batch, the service and the Python module ask for, under one
// name on all three surfaces: the command line's --NAME=VALUE, the service's form field NAME
// and the keyword argument NAME of docmill.convert(). Every surface hands the text of a value
// to `PdfOptions::set`, which checks it here, so that all three accept and refuse the same
// values with the same words.
//
// The names are those of the common conversion API's two routes where it has them; a name of
// those routes that docmill does not support is known here too, so that a caller who uses it
// is told instead of silently getting something else. An empty value leaves an option at its
// default, as an absent one.
//
// Failures throw `OptionError`, naming the option and the value given. Nothing here touches a
// file or a process.
#pragma once

#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "automation/dispatch.h"
#include "pdfclean/finishing.h"

namespace docmill::cli {

struct OptionError : std::runtime_error {
  // "NAME: "VALUE" WHY", or "NAME WHY" where no one value is at fault.
  OptionError(std::string option, std::string value, const std::string& why);
  std::string option, value;
};

enum class PdfStandard { None, A1b, A2b, A3b };
// "PDF/A-1b", ...; empty for None.
std::string standardName(PdfStandard standard);

// Where the options are used: converting documents (each through the office's own export or
// the print route), or joining PDFs that exist.
enum class OptionUse { Convert, Merge };

// How a known option name is taken.
enum class OptionSupport {
  Supported,    // docmill does what it asks
  Unsupported,  // a field of the common API that docmill does not do: refused, naming it
  Unknown,      // not an option at all
};
OptionSupport optionSupport(std::string_view name, OptionUse use);

// Every supported option's name with a short description, in the order help lists them.
struct OptionHelp {
  const char* name;
  const char* value;  // what the value looks like ("true|false", "1-100", ...)
  const char* meaning;
  bool merge;  // meaningful when joining PDFs too
};
const std::vector<OptionHelp>& optionHelp();

struct PdfOptions {
  PdfStandard pdfa = PdfStandard::None;
  bool pdfua = false;       // accessible, tagged PDF (PDF/UA-1)
  std::string password;     // opens protected inputs
  pdfclean::Finish finish;  // metadata, flattening, encryption, least version
  std::optional<pdfclean::Split> split;
  bool viaPostScript = false;  // the members' print route instead of the office's own export
  // Settings of the office's own export, as named arguments of the documents'
  // ExportAsFixedFormat (their names are the option names): form fields, bookmarks, image
  // compression and resolution, single-page sheets, notes, viewer settings, watermarks.
  std::vector<Named> exportSettings;

  // Sets option `name` from its text; an empty text leaves it as it is. Throws OptionError
  // for a name that is no supported option for `use` (unsupported ones say so) and for a
  // value it does not take.
  void set(std::string_view name, std::string_view value, OptionUse use = OptionUse::Convert);

  // Checks the options together (a PDF/A file cannot be encrypted; a split needs its mode and
  // span; settings of the office's export need that export). Throws OptionError.
  void check() const;

  // The export setting `name`, if it was given.
  const Variant* exportSetting(std::string_view name) const;

  // Whether anything was asked beyond the defaults.
  bool empty() const { return given_.empty(); }
  bool given(std::string_view name) const { return given_.count(std::string(name)) != 0; }

  // Every option set, as it was set (name, text, whether for a merge), in order: setting
  // them again in that order gives the same options (another process does so).
  struct Given {
    std::string name, text;
    bool merge = false;
  };
  const std::vector<Given>& asGiven() const { return asGiven_; }

 private:
  std::set<std::string> given_;
  std::vector<Given> asGiven_;
};

// Parses a metadata object in JSON ({"Title": "...", "Keywords": ["a", "b"], ...}): Title,
// Author, Subject, Keywords (a text or an array of texts), Creator, Producer, CreationDate (or
// CreateDate), ModDate (RFC 3339 dates such as "2006-09-18T16:27:50-04:00", also with ':'
// between the date's parts), Copyright, Marked (true/false), Trapped ("True", "False",
// "Unknown") and PDFVersion (1.4 to 2.0, the least version the file declares). Throws
// OptionError naming "metadata" and the key at fault.
pdfclean::Metadata parseMetadata(std::string_view json, std::string* minimumVersion = nullptr);

// A date in the forms parseMetadata takes, as a PDF date ("D:20060918162750-04'00'"); nothing
// when it is no such date.
std::optional<std::string> pdfDate(std::string_view text);

}  // namespace docmill::cli
