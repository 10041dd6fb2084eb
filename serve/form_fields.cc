#include "serve/form_fields.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>

namespace docmill::serve {

namespace {

const std::string kConvertRoute = "/forms/libreoffice/convert";
const std::string kMergeRoute = "/forms/pdfengines/merge";

// File fields of the common API whose files are not documents to convert, and that docmill
// does not take: their files would otherwise be converted as documents.
constexpr std::array<std::string_view, 4> kUnsupportedFileFields = {"embeds", "watermark", "stamp",
                                                                    "facturxXml"};

bool serviceField(const std::string& name) {
  return name == "merge" || name == "landscape" || name == "nativePageRanges";
}

// A refusal's text, bounded: a value is quoted back, and a form's fields may be long.
FieldError refusal(std::string text) {
  constexpr size_t kMost = 500;
  if (text.size() > kMost) {
    size_t cut = kMost;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text = text.substr(0, cut) + "...";
  }
  return FieldError(text);
}

// Form values for true and false, as HTML forms and the common clients send them.
bool formBool(const std::string& name, const std::string& value) {
  std::string v = value;
  std::transform(v.begin(), v.end(), v.begin(), [](unsigned char c) { return std::tolower(c); });
  if (v == "true" || v == "1" || v == "on" || v == "yes") return true;
  if (v == "false" || v == "0" || v == "off" || v == "no") return false;
  throw refusal(cli::OptionError(name, value, "is not true or false").what());
}

}  // namespace

bool FormFields::reads(const std::string& route) {
  return route == kConvertRoute || route == kMergeRoute;
}

FormFields::FormFields(const std::string& route) : merging_(route == kMergeRoute) {}

void FormFields::begin(const std::string& name, bool file) {
  const bool unsupportedFile =
      std::find(kUnsupportedFileFields.begin(), kUnsupportedFileFields.end(), name) !=
      kUnsupportedFileFields.end();
  if (unsupportedFile) {
    throw refusal(name == "embeds"
                      ? "embeds is not supported by docmill: files embedded in a PDF are removed "
                        "from every PDF it writes"
                      : name + " is not supported by docmill");
  }
  if (file) return;  // any other file field holds documents, in the order sent
  if (name == "files") throw refusal("files must hold uploaded files, not text");
  if (!seen_.insert(name).second) throw refusal(name + " is given more than once");
  if (serviceField(name)) {
    if (merging_) {
      throw refusal(name + " is a field of " + kConvertRoute +
                    "; this route joins PDFs as they are");
    }
    return;
  }
  const auto use = merging_ ? cli::OptionUse::Merge : cli::OptionUse::Convert;
  if (cli::optionSupport(name, use) != cli::OptionSupport::Supported) {
    try {
      cli::PdfOptions().set(name, "", use);  // throws the parser's own words
    } catch (const cli::OptionError& e) {
      throw refusal(e.what());
    }
  }
}

void FormFields::text(const std::string& name, const std::string& value) {
  if (value.empty()) return;  // left at its default, as an absent field
  if (name == "merge") {
    options_.merge = formBool(name, value);
  } else if (name == "landscape") {
    options_.landscape = formBool(name, value);
  } else if (name == "nativePageRanges") {
    try {
      options_.ranges = parsePageRanges(value);
    } catch (const FileError& e) {
      throw refusal(std::string("nativePageRanges: ") + e.what());
    }
  } else {
    const auto use = merging_ ? cli::OptionUse::Merge : cli::OptionUse::Convert;
    try {
      options_.pdf.set(name, value, use);
      if (!merging_) {
        // What applies to PDFs that exist is done after the pages are picked; the inputs'
        // password opens them before.
        const bool anyPdf = name != "password" && cli::optionSupport(name, cli::OptionUse::Merge) ==
                                                      cli::OptionSupport::Supported;
        (anyPdf ? options_.afterPages : options_.beforePages).set(name, value, use);
      }
    } catch (const cli::OptionError& e) {
      throw refusal(e.what());
    }
  }
}

FormOptions FormFields::finish() {
  try {
    options_.pdf.check();
    if (!options_.ranges.empty()) {
      if (options_.pdf.pdfua) {
        throw refusal(
            "pdfua cannot be combined with nativePageRanges: the pages are picked from the "
            "finished PDF, which keeps no tagged structure");
      }
      options_.beforePages.check();
      options_.afterPages.check();
    }
  } catch (const cli::OptionError& e) {
    throw refusal(e.what());
  }
  return std::move(options_);
}

}  // namespace docmill::serve
