// A first check of a file that should be PDF/A: what a validator looks at before anything
// else, so that a conversion that did not give PDF/A fails instead of handing out a file that
// only claims it.
//
// Looked at: the XMP identification (pdfaid:part of the part asked, and a conformance level),
// an output intent whose destination profile is an ICC stream, no encryption, every font
// embedded (Type 3 fonts are drawn by the file itself), no JavaScript, and for PDF/A-1 no
// transparency (transparency groups, soft masks, blend modes other than Normal, constant
// alpha below 1). Not looked at: whether the profile fits the colours used, the fonts'
// glyphs and widths, the XMP's schemas, content stream operators, annotation appearances and
// flags, and the other rules of the standard; those need a full validator. Never throws.
#pragma once

#include <string>
#include <vector>

namespace docmill::pdfclean {

// What keeps the file at `path` from being PDF/A of `part` (1, 2 or 3), each as a short text
// ("a font is not embedded: Arial"); empty when nothing was found.
std::vector<std::string> pdfaProblems(const std::string& path, int part);

}  // namespace docmill::pdfclean
