// What is done to a finished, cleaned PDF before it is handed out at a user's request: its
// document information and XMP metadata, its form fields and annotations drawn into the
// pages (flattening), its encryption with passwords (AES-256), the least PDF version it
// declares, and cutting it into several files (splitting).
//
// Everything here works on a file in a private folder of the caller's, which owns every file
// it names; a file is changed by writing a new one beside it and renaming it over the old
// (never in place), so a failure leaves the old file whole. Failures are returned as a text
// fit to show the user (`FinishError`); no libqpdf type leaves this folder.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace docmill::pdfclean {

struct FinishError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Document metadata. Each set field replaces the file's own, in the document information
// dictionary and in the XMP metadata alike (so that a PDF/A file stays consistent); fields
// left unset keep what the file had.
struct Metadata {
  std::optional<std::string> title, author, subject, creator, producer;
  std::optional<std::vector<std::string>> keywords;
  // Dates as PDF dates ("D:20060918162750-04'00'").
  std::optional<std::string> creationDate, modDate;
  std::optional<std::string> copyright;  // XMP dc:rights
  std::optional<bool> marked;            // XMP xmpRights:Marked
  std::optional<std::string> trapped;    // "True", "False" or "Unknown"
  bool empty() const {
    return !title && !author && !subject && !creator && !producer && !keywords && !creationDate &&
           !modDate && !copyright && !marked && !trapped;
  }
};

// What a reader lets somebody without the owner password do with an encrypted file.
struct Permissions {
  bool printing = true, copying = true, fillingForms = true;
  bool modifying = false, annotating = false, assembling = false;
};

struct Finish {
  std::optional<Metadata> metadata;
  bool flatten = false;  // form fields and annotations become part of the page
  // Encryption (AES-256) when either is set: the user password opens the file, the owner
  // password lifts its restrictions.
  std::string userPassword, ownerPassword;
  Permissions permissions;
  std::string minimumVersion;  // "1.7", ...: the file declares at least this version
};

// Applies `finish` to the PDF at `path`. A file that needs nothing is left exactly as it
// was. Throws FinishError.
void finishPdf(const std::string& path, const Finish& finish);

// How to cut a PDF into several files.
struct Split {
  enum class Mode { Intervals, Pages };
  Mode mode = Mode::Intervals;
  int interval = 1;    // Intervals: pages in each file (the last may hold fewer)
  std::string pages;   // Pages: the pages to take ("1-3,5,8-"): each in a file of its own
  bool unify = false;  // Pages: the taken pages in one file instead
};

// Writes the parts of `path` into `folder` as `stem`_0.pdf, `stem`_1.pdf, ... (or, for
// pages unified, `stem`.pdf) and returns their paths in order. Throws FinishError (a page
// list that selects nothing, or starts past the last page, among others).
std::vector<std::string> splitPdf(const std::string& path, const std::string& folder,
                                  const std::string& stem, const Split& split);

}  // namespace docmill::pdfclean
