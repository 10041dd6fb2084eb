// One range of one worksheet: gridlines, orientation, header, footer, margins and the
// first page number.
#include "office_client/converters.h"
#include "office_client/excel_capture.h"
#include "office_client/values.h"

namespace docmill::office_client {

void ExcelCapture::openWorkbook() {
  doc_ = excel::openWorkbook(app_, input(), arg("strPassword"), arg("strWriteResPassword"));
  excel::setDisplayAlerts(app_, false);
}

void ExcelCapture::applyHeaderFooterMargins() {
  if (!blank(arg("strHeader"))) {
    const Variant& align = arg("lngHeaderAlignment");
    const char* property = equalsNumber(align, 1)   ? "CenterHeader"
                           : equalsNumber(align, 0) ? "LeftHeader"
                                                    : "RightHeader";
    excel::setPageSetup(sheet_, property, arg("strHeader"));
  }
  if (!blank(arg("strFooter"))) {
    const Variant& align = arg("lngFooterAlignment");
    const char* property = equalsNumber(align, 0)   ? "LeftFooter"
                           : equalsNumber(align, 2) ? "RightFooter"
                                                    : "CenterFooter";
    excel::setPageSetup(sheet_, property, arg("strFooter"));
  }
  static constexpr std::pair<const char*, const char*> kMargins[] = {
      {"dblTopMargin", "TopMargin"},       {"dblLeftMargin", "LeftMargin"},
      {"dblRightMargin", "RightMargin"},   {"dblBottomMargin", "BottomMargin"},
      {"dblHeaderMargin", "HeaderMargin"}, {"dblFooterMargin", "FooterMargin"}};
  for (const auto& [param, name] : kMargins) {
    if (positive(arg(param))) {
      excel::setPageSetup(sheet_, name, excel::inchesToPoints(app_, arg(param)));
    }
  }
}

void ExcelCapture::print(const Variant& range, const Variant& target) {
  excel::printRange(sheet_, range, arg("strPrinter"), target);
}

namespace {

class ExcelSheet : public ExcelCapture {
 public:
  using ExcelCapture::ExcelCapture;

 private:
  void openDocument() override {
    openWorkbook();
    sheet_ = excel::worksheet(doc_, arg("varExcelWorksheet"));
    excel::setPageSetup(sheet_, "PrintGridlines", arg("blnUseGrid"));
    excel::setPageSetup(
        sheet_, "Orientation",
        Variant(arg("blnLandscape").toBoolNullFalse() ? excel::kLandscape : excel::kPortrait));
    applyHeaderFooterMargins();
    excel::setPageSetup(sheet_, "FirstPageNumber", arg("lngFirstPageNumber"));
  }

  void printTo(const Variant& target) override { print(arg("strRange"), target); }
};

}  // namespace

void createPSfromExcel(ObjectServices& obj, const MemberArguments& args) {
  ExcelSheet(obj, args, Output::PostScript).run();
}

void createPDFfromExcel(ObjectServices& obj, const MemberArguments& args) {
  ExcelSheet(obj, args, Output::Pdf).run();
}

}  // namespace docmill::office_client
