#include "pdfclean/finishing.h"

namespace docmill::pdfclean {

void finishPdf(const std::string&, const Finish&) {
  throw FinishError("finishing PDFs is not built yet");
}

std::vector<std::string> splitPdf(const std::string&, const std::string&, const std::string&,
                                  const Split&) {
  throw FinishError("splitting PDFs is not built yet");
}

}  // namespace docmill::pdfclean
