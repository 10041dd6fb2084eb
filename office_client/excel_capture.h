// What the two spreadsheet converters (one range of one sheet, several sheets into one
// PDF) share: the application profile (no printer swap: the printer is an argument of each
// print; a completion wait after each print), opening the workbook, the page setup that
// applies alike to every sheet, the print call, and closing without saving.
#pragma once

#include "office_client/capture.h"
#include "office_client/excel_calls.h"

namespace docmill::office_client {

inline constexpr Profile kExcelProfile{excel::kProgId, /*swapsPrinter=*/false, Wait::Always};

class ExcelCapture : public Capture {
 public:
  ExcelCapture(ObjectServices& object, const MemberArguments& args, Output output)
      : Capture(object, args, output, kExcelProfile) {}

 protected:
  // Opens the workbook into `doc_` and silences alerts.
  void openWorkbook();
  // Header, footer and the six margins of `sheet_`, from the arguments.
  void applyHeaderFooterMargins();
  void print(const Variant& range, const Variant& target);

  void beforeClose() override { excel::setDisplayAlerts(app_, true); }
  void closeDocument() override { excel::close(doc_); }
  void quitApplication() override { excel::quit(app_); }

  DispatchPtr sheet_;
};

}  // namespace docmill::office_client
