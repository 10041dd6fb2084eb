// What the finishing, splitting and joining in this folder share over libqpdf: opening a file
// under one set of rules, the bounded looks at a file that keep a hostile one from exhausting
// the stack or memory, reading and writing the XMP packet, and writing a result in one step.
//
// Used only inside pdfclean (libqpdf types appear here). Failures throw FinishError with a
// text fit for the user that names the file as the caller calls it.
#pragma once

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFWriter.hh>

#include <qpdf/QPDFOutlineDocumentHelper.hh>

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "pdfclean/finishing.h"

namespace docmill::pdfclean::documents {

// How a file is opened: `repair` rebuilds a broken cross-reference table as readers do (for
// files users send); without it any damage is refused (for files we made). `password` opens an
// encrypted file.
struct OpenRules {
  bool repair = false;
  std::string password;
};

// Opens `path` into `pdf`. Throws FinishError: "NAME is encrypted and cannot be opened without
// its password", "... with the password given", "NAME is a damaged PDF file that cannot be
// read (WHY)".
void open(QPDF& pdf, const std::string& path, const std::string& name, const OpenRules& rules);

// The pages of `pdf` in order, once its page tree was found no deeper than kMaxDepth (throws
// FinishError "NAME is nested too deeply" otherwise, and "is a damaged PDF file" when a page
// cannot be read).
std::vector<QPDFObjectHandle> pages(QPDF& pdf, const std::string& name);

// Copies parts of one file into another. libqpdf's copying follows chains of objects (one
// referring to the next) by recursion, so before anything is copied the guard walks what the
// copy will reach, as the copying does (objects copied before are not walked again, other
// pages are not entered), and refuses a chain longer than kMaxReferenceChain. One guard per
// pair of files, used for every copy between them.
class Copier {
 public:
  Copier(QPDF& to, QPDF& from, std::string name) : to_(to), from_(from), name_(std::move(name)) {}

  // A copy of `object` of `from` (direct or indirect) in `to`, with all it reaches; an object
  // copied before is not copied again. Throws FinishError "NAME is nested too deeply".
  QPDFObjectHandle copy(QPDFObjectHandle object);

  // Copies `chosen` pages of `from`, in that order, to the end of `to`'s pages, with their
  // annotations; their form fields join `to`'s form (renamed where names clash). Links and
  // annotations keep pointing at pages copied here, from wherever they came; a link to a
  // page left out stays, going nowhere. Returns the copies by the page they copy.
  std::map<QPDFObjGen, QPDFObjectHandle> copyPages(const std::vector<QPDFObjectHandle>& chosen);

  // A destination of `from` (an explicit one, or the name of one) as an explicit destination
  // to the copy of its page; nothing when its page was not copied or it is no destination.
  std::optional<QPDFObjectHandle> destination(QPDFObjectHandle dest,
                                              const std::map<QPDFObjGen, QPDFObjectHandle>& copies);

  // Annotations that copyPages copied once more to join them to the form: the first copy's
  // object (which later copies of what refers to the annotation still lead to) and the copy
  // on the page.
  const std::map<QPDFObjGen, QPDFObjectHandle>& recopiedAnnotations() const { return recopied_; }

  const std::string& name() const { return name_; }

 private:
  void check(QPDFObjectHandle object);

  QPDF& to_;
  QPDF& from_;
  std::string name_;
  std::set<QPDFObjGen> reserved_;
  std::map<QPDFObjGen, QPDFObjectHandle> recopied_;
  std::optional<QPDFOutlineDocumentHelper> outlines_;  // resolves named destinations
};

// The data of `stream`, decoded, when it is a stream that decodes to at most `limit` bytes.
std::optional<std::string> decoded(QPDFObjectHandle stream, size_t limit);

// The document's XMP packet, decoded, at most kMaxXmpBytes; nothing when it has none or it
// cannot be decoded within that.
std::optional<std::string> readXmp(QPDF& pdf);
// Makes `xmp` the document's XMP packet, in a stream of its own written without compression
// (as PDF/A asks).
void writeXmp(QPDF& pdf, const std::string& xmp);

// Writes `pdf` to `path` in one step: into a new file beside it, renamed over whatever is
// there, with `mode`. Streams are copied as they are, never decoded and encoded again.
// `configure` sets the writer's further options (encryption, version). With `strict`, a file
// in which the writing finds damage (libqpdf warns) is not put in place. Throws FinishError.
void write(QPDF& pdf, const std::string& path, unsigned mode,
           const std::function<void(QPDFWriter&)>& configure = {}, bool strict = false);

// A text for the user from an exception libqpdf threw.
std::string describe(const std::exception& e);

}  // namespace docmill::pdfclean::documents
