#include "pdfclean/finishing.h"

namespace docmill::pdfclean {

void finishPdf(const std::string&, const Finish&) {
  throw FinishError("finishing PDFs is not built yet");
}

std::vector<PageRange> parsePageList(const std::string&) {
  throw FinishError("page lists are not built yet");
}

std::vector<int> selectPages(const std::vector<PageRange>&, int) {
  throw FinishError("page lists are not built yet");
}

std::vector<std::string> splitPdf(const std::string&, const std::string&, const std::string&,
                                  const Split&, const Finish&) {
  throw FinishError("splitting PDFs is not built yet");
}

Joined joinPdfs(const std::vector<std::string>&, const std::string&, const JoinOptions&) {
  throw FinishError("joining PDFs is not built yet");
}

}  // namespace docmill::pdfclean
