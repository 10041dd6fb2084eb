#include "pdfclean/input_pdf.h"

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFExc.hh>
#include <qpdf/QPDFObjectHandle.hh>

namespace docmill::pdfclean {

InputPdfVerdict inspectInputPdf(const std::string& path) {
  using Kind = InputPdfVerdict::Kind;
  try {
    QPDF pdf;
    pdf.setSuppressWarnings(true);
    // A reader rebuilds a broken cross-reference table; so does this look, so that a file
    // that only needs that repair is not taken for damaged.
    pdf.setAttemptRecovery(true);
    pdf.processFile(path.c_str(), "");
    QPDFObjectHandle root = pdf.getRoot();
    if (!root.isDictionary()) return {Kind::Damaged, "it has no catalog"};
    if (!root.getKey("/Pages").isDictionary()) return {Kind::Damaged, "it has no pages"};
    return {Kind::Opens, {}};
  } catch (const QPDFExc& e) {
    if (e.getErrorCode() == qpdf_e_password) return {Kind::Encrypted, {}};
    return {Kind::Damaged, e.getMessageDetail()};
  } catch (const std::exception& e) {
    return {Kind::Damaged, e.what()};
  }
}

}  // namespace docmill::pdfclean
