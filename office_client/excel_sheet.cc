// One range of one worksheet: gridlines, orientation, header, footer, margins and the
// first page number.
#include "office_client/converters.h"
#include "office_client/excel_capture.h"
#include "office_client/values.h"

namespace docmill::office_client {

void ExcelCapture::openWorkbook() {
  doc_ = excel::openWorkbook(app_, arg(kInputArg), arg(kPassword), arg(kWriteResPassword));
  excel::setDisplayAlerts(app_, false);
}

void ExcelCapture::applyHeaderFooterMargins() {
  if (!blank(arg(kHeader))) {
    const Variant& align = arg(kHeaderAlignment);
    const char* property = equalsNumber(align, 1)   ? "CenterHeader"
                           : equalsNumber(align, 0) ? "LeftHeader"
                                                    : "RightHeader";
    excel::setPageSetup(sheet_, property, arg(kHeader));
  }
  if (!blank(arg(kFooter))) {
    const Variant& align = arg(kFooterAlignment);
    const char* property = equalsNumber(align, 0)   ? "LeftFooter"
                           : equalsNumber(align, 2) ? "RightFooter"
                                                    : "CenterFooter";
    excel::setPageSetup(sheet_, property, arg(kFooter));
  }
  static constexpr std::pair<size_t, const char*> kMargins[] = {
      {kTopMargin, "TopMargin"},       {kLeftMargin, "LeftMargin"},
      {kRightMargin, "RightMargin"},   {kBottomMargin, "BottomMargin"},
      {kHeaderMargin, "HeaderMargin"}, {kFooterMargin, "FooterMargin"}};
  for (const auto& [index, name] : kMargins) {
    if (positive(arg(index))) {
      excel::setPageSetup(sheet_, name, excel::inchesToPoints(app_, arg(index)));
    }
  }
}

void ExcelCapture::print(const Variant& range, const Variant& target) {
  excel::printRange(sheet_, range, arg(kPrinter), target);
}

namespace {

class ExcelSheet : public ExcelCapture {
 public:
  using ExcelCapture::ExcelCapture;

 private:
  void openDocument() override {
    openWorkbook();
    sheet_ = excel::worksheet(doc_, arg(kSheet));
    excel::setPageSetup(sheet_, "PrintGridlines", arg(kUseGrid));
    excel::setPageSetup(
        sheet_, "Orientation",
        Variant(arg(kLandscape).toBoolNullFalse() ? excel::kLandscape : excel::kPortrait));
    applyHeaderFooterMargins();
    excel::setPageSetup(sheet_, "FirstPageNumber", arg(kFirstPageNumber));
  }

  void printTo(const Variant& target) override { print(arg(kRange), target); }
};

}  // namespace

void createPSfromExcel(ObjectServices& obj, std::span<Variant* const> args) {
  ExcelSheet(obj, args, Output::PostScript).run();
}

void createPDFfromExcel(ObjectServices& obj, std::span<Variant* const> args) {
  ExcelSheet(obj, args, Output::Pdf).run();
}

}  // namespace docmill::office_client
