// The PDF/A checks of conformance.h on a document already read, and the output intent
// profile a join compares between its inputs. Used only inside pdfclean.
#pragma once

#include <qpdf/QPDF.hh>

#include <optional>
#include <string>
#include <vector>

namespace docmill::pdfclean::conformance {

std::vector<std::string> pdfaProblems(QPDF& pdf, int part);

// The decoded ICC profile of the document's PDF/A output intent; nothing when it has none or
// it cannot be decoded within its limit.
std::optional<std::string> outputProfile(QPDF& pdf);

}  // namespace docmill::pdfclean::conformance
