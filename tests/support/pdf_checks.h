// What a PDF/A or PDF/UA validator looks at first, read from a PDF with the PDF tools (qpdf's
// JSON view and its stream output, poppler's pdffonts and pdfinfo), so that the tests check
// docmill's files with code that is not docmill's own.
//
// Looked at: the XMP identification (pdfaid:part and conformance, pdfuaid:part), an output
// intent (GTS_PDFA1) whose destination profile is a stream, every font embedded (Type 3
// fonts draw themselves), no encryption, no JavaScript, and for PDF/A-1 no transparency
// (transparency groups, soft masks, blend modes other than Normal, constant alpha below 1);
// for PDF/UA the MarkInfo Marked flag, a structure tree root, a dc:title, the viewer showing
// the title, and a language.
//
// Not looked at (a full validator is needed for these, and none ships in Debian): whether
// the ICC profile is valid and fits the colours used, fonts' glyph coverage and width
// consistency, the XMP's schemas and its agreement with the document information, content
// stream operators and limits, annotation flags and appearances, the order and semantics of
// the structure tree, alternate texts, and everything else the standards ask.
//
// Nothing here throws: a file the tools cannot read gives facts with `readable` false.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace docmill::test {

struct PdfFacts {
  bool readable = false;
  bool encrypted = false;
  std::string xmp;  // the XMP packet, decoded; empty when there is none
  std::optional<std::string> pdfaPart, pdfaConformance, pdfuaPart;
  bool outputIntentProfile = false;
  std::vector<std::string> unembeddedFonts;
  bool javaScript = false;
  std::vector<std::string> transparency;  // the kinds found
  bool marked = false, structTree = false, displayDocTitle = false;
  std::string lang;
  bool formFields = false;  // the document's form has fields
  // pdfinfo's lines (with -isodates), by their name: "Title", "Author", "PDF version", ...
  std::map<std::string, std::string> info;
};

// The facts of `pdf`, opened with `password` when given.
PdfFacts pdfFacts(const std::string& pdf, const std::string& password = "");

// What keeps the file from being PDF/A of `part`, or PDF/UA-1, as far as the facts tell.
std::vector<std::string> pdfaProblems(const PdfFacts& facts, int part);
std::vector<std::string> pdfuaProblems(const PdfFacts& facts);

// The value of an XMP property by its usual qualified name ("dc:title", "pdfaid:part"),
// written as an element (the first or default item of an array) or as an attribute; XML's
// own entities replaced. Nothing when it is not there.
std::optional<std::string> xmpValue(const std::string& xmp, const std::string& property);

// Every item of an XMP array property ("dc:subject"), in order.
std::vector<std::string> xmpItems(const std::string& xmp, const std::string& property);

}  // namespace docmill::test
