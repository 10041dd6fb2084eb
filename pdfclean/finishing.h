// What is done to a finished, cleaned PDF before it is handed out at a user's request: its
// document information and XMP metadata, its form fields and annotations drawn into the
// pages (flattening), its encryption with passwords (AES-256), the least PDF version it
// declares, cutting it into several files (splitting), and joining several PDFs into one.
//
// Everything here works on files in a private folder of the caller's, which owns every file
// it names; a file is changed by writing a new one beside it and renaming it over the old
// (never in place), so a failure leaves the old file whole, and a new file appears whole or
// not at all. Failures are returned as a text fit to show the user (`FinishError`); no
// libqpdf type leaves this folder. Inputs are treated as hostile: a file is read no further
// than the limits of pdfclean (nesting, chains of references, decoded metadata), and one past
// them is refused, never half read. Nothing here removes active content: files a user sent
// are cleaned by the caller (removeActiveContent) before they are handed out.
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

// Applies `finish` to the PDF at `path`, all in one reading and one writing of the file. A
// file that needs nothing is left exactly as it was. Metadata goes into the document
// information dictionary and the XMP packet alike (one is made when the file has none, or
// has one that cannot be read), keeping the PDF/A and PDF/UA identification; an encrypted
// file no longer claims to be PDF/A, which it cannot be. Without an owner password, the
// restrictions of an encrypted file cannot be lifted by anybody (a random one is set). The
// file must not be encrypted already. Throws FinishError (a damaged file, a date or version
// that is none, a "Trapped" other than True, False or Unknown).
void finishPdf(const std::string& path, const Finish& finish);

// A page list as "1-3,5,8-": 1-based, inclusive; an open end runs to the last page. Together
// the ranges name a set of pages: "3,1-2" and "1-3,2" both mean pages 1, 2 and 3.
struct PageRange {
  int first = 1;
  int last = 0;  // 0: to the last page
};
// What one list may hold: its text's length, its ranges, and the largest page number.
inline constexpr size_t kMaxPageListText = 2000;
inline constexpr size_t kMaxPageRanges = 500;
inline constexpr int kMaxPageNumber = 1'000'000;
// Throws FinishError for malformed text (an empty item, page 0, a range that runs backwards)
// and for text past the limits above, naming what is wrong.
std::vector<PageRange> parsePageList(const std::string& text);
// The pages (1-based) that `ranges` select of a document of `count` pages, each once, in page
// order. A range that starts past the last page throws FinishError; one may run past it.
std::vector<int> selectPages(const std::vector<PageRange>& ranges, int count);

// How to cut a PDF into several files.
struct Split {
  enum class Mode { Intervals, Pages };
  Mode mode = Mode::Intervals;
  int interval = 1;    // Intervals: pages in each file (the last may hold fewer)
  std::string pages;   // Pages: the pages to take ("1-3,5,8-"): each in a file of its own
  bool unify = false;  // Pages: the taken pages in one file instead
};

// Writes the parts of `path` into `folder` as `stem`_0.pdf, `stem`_1.pdf, ... (or, for
// pages unified, `stem`.pdf) and returns their paths in order. Each part keeps its pages'
// links among themselves, form fields, the document information, the XMP metadata and the
// PDF/A output intent; the tags and the outline do not follow, so a part never claims
// PDF/UA. `finish` is applied to every part as it is written (no file is read twice). On
// failure no part is left. Throws FinishError (a page list that is malformed or starts past
// the last page, a document without pages, among others).
std::vector<std::string> splitPdf(const std::string& path, const std::string& folder,
                                  const std::string& stem, const Split& split,
                                  const Finish& finish = {});

// How to join PDFs.
struct JoinOptions {
  // What to call each input ("report.docx"), in the order of the inputs: in a failure and in
  // its outline entry. An input without a name here is called by its path in a failure and
  // by its file name in the outline.
  std::vector<std::string> names;
  std::string password;  // opens encrypted inputs (the joined file is not encrypted)
  // The joined file must be accessible (PDF/UA-1): every input must be tagged, and the
  // joined file declares PDF/UA-1. An input without tags makes the join fail.
  bool accessible = false;
};

// What the joined file is.
struct Joined {
  // 1, 2 or 3 when the joined file is PDF/A of that part, level B: every input was (by its
  // XMP identification) and all of them share one output intent profile. 0 otherwise; a
  // PDF/A conversion is then needed where PDF/A was asked.
  int pdfaPart = 0;
  bool tagged = false;  // every input was tagged, and their structure trees were joined
};

// Joins `inputs` into `output`, their pages in the order given. Each input gets an outline
// entry (bookmark) of its name (`JoinOptions::names`, else its file name) leading to its
// first page, with the input's own outline kept under it (one input alone keeps its own
// outline as it is, with no entry of its name); links within an input
// keep leading where they led; form fields are joined (renamed where names clash). When every
// input is tagged, their structure trees are joined under one root (role and class maps
// merged, renamed where they clash), so an accessible file stays accessible; otherwise the
// joined file has no tags. The document information, the XMP metadata, the language and the
// viewer settings of the first input are kept; the PDF/A identification and output intent
// only as `Joined::pdfaPart` says, the PDF/UA identification only for tagged joins. Inputs
// are read as readers read them (a broken cross-reference table is rebuilt). Throws
// FinishError naming the input at fault: "NAME is encrypted and cannot be opened without its
// password", "NAME is a damaged PDF file ...", "NAME is nested too deeply", and with
// `accessible` "NAME has no tags, so the merged PDF cannot be accessible".
Joined joinPdfs(const std::vector<std::string>& inputs, const std::string& output,
                const JoinOptions& options = {});

}  // namespace docmill::pdfclean
