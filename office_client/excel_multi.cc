// Several worksheets of one workbook into one PDF: each sheet is printed into a temporary
// file of its own, the application quits, and the object's own CreatePDFfromMultiPS
// merges the files in sheet order.
#include <vector>

#include "office_client/converters.h"
#include "office_client/excel_capture.h"
#include "office_client/hooks.h"
#include "office_client/values.h"
#include "platform/files.h"

namespace docmill::office_client {

namespace {

// Element `index` of the array a variant holds (Type mismatch when it holds none).
Variant& element(Variant& array, int32_t index) {
  if (!array.isArray()) raiseRuntime(rt::TypeMismatch);
  return array.array().at(index);
}

class ExcelMulti : public ExcelCapture {
 public:
  ExcelMulti(ObjectServices& object, const MemberArguments& args)
      : ExcelCapture(object, args, Output::Pdf) {}

 private:
  void openDocument() override { openWorkbook(); }

  void printDocument() override {
    Variant& sheets = arg("varExcelWorksheets");
    if (!sheets.isArray()) raiseRuntime(rt::TypeMismatch);
    const int32_t lower = sheets.array().lbound();
    const int32_t upper = sheets.array().ubound();

    // The first-page table has indices 0 to the upper bound whatever the lower bound is,
    // and is filled before any sheet is touched. The sheet index is 16-bit, so an upper
    // bound beyond it can never be printed.
    if (upper < 0) raiseRuntime(rt::SubscriptOutOfRange);
    if (upper > INT16_MAX) raiseRuntime(rt::Overflow);
    std::vector<int32_t> firstPages(static_cast<size_t>(upper) + 1);
    Variant& firstPageArg = arg("varFirstPageNumber");
    for (int32_t k = 0; k <= upper; ++k) {
      pumpMessages();
      firstPages[k] = firstPageArg.isArray() ? element(firstPageArg, k).toI4() : 1;
    }
    if (lower < INT16_MIN) raiseRuntime(rt::Overflow);

    Variant& landscape = arg("varLandscape");
    for (int32_t i = lower; i <= upper; ++i) {
      pumpMessages();
      sheet_ = excel::worksheet(doc_, sheets.array().at(i));
      excel::setPageSetup(sheet_, "PrintGridlines", arg("blnUseGrid"));
      if (landscape.isArray()) {
        excel::setPageSetup(sheet_, "Orientation",
                            Variant(element(landscape, i).toBoolNullFalse() ? excel::kLandscape
                                                                            : excel::kPortrait));
      }
      applyHeaderFooterMargins();
      if (i < 0) raiseRuntime(rt::SubscriptOutOfRange);
      excel::setPageSetup(sheet_, "FirstPageNumber", Variant(firstPages[i]));
      preparePrintTarget();
      printed_.push_back(targetPath_);
      print(element(arg("varRanges"), i), printTargetArg());
      waitForPrintFile(targetPath_, app_);
    }
  }

  // Only the files that were printed are merged, in sheet order.
  void wrapPdf() override {
    for (const auto& path : printed_) requirePlainPrintFile(path);
    SafeArray list(vt::Bstr, {ArrayBound{0, static_cast<uint32_t>(printed_.size())}});
    for (size_t n = 0; n < printed_.size(); ++n) {
      list.set(static_cast<int32_t>(n), Variant(printed_[n]));
    }
    Variant files(std::move(list));
    try {
      call(object_.self(), "CreatePDFfromMultiPS",
           {Variant::byRef(output()), Variant::byRef(files)});
    } catch (const AutomationError& e) {
      if (e.error().number == pdoErrConversionFailed) {
        for (const auto& path : printed_) platform::removeQuietly(path);
      }
      throw;
    }
    for (const auto& path : printed_) {
      pumpMessages();
      deleteFile(path);
    }
  }

  std::vector<std::string> printed_;
};

}  // namespace

void createPDFfromMultiExcel(ObjectServices& obj, const MemberArguments& args) {
  ExcelMulti(obj, args).run();
}

}  // namespace docmill::office_client
