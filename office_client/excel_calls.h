// The Excel call layer: every member of the spreadsheet's automation object model that the
// converters use, with the argument names, forms and variant types the application
// expects. Nothing here decides when a call is made; the converters do.
//
// The functions hold no references beyond the call. Every failure of the application
// comes back as the `AutomationError` it reported (number and description unchanged).
#pragma once

#include <cstdint>
#include <string_view>

#include "automation/dispatch.h"

namespace docmill::office_client::excel {

inline constexpr const char* kProgId = "Excel.Application";

// Page setup Orientation values.
inline constexpr int16_t kPortrait = 1;
inline constexpr int16_t kLandscape = 2;

// Workbooks.Open(path, WriteResPassword:=, Password:=): both passwords always sent.
DispatchPtr openWorkbook(const DispatchPtr& app, const Variant& path, const Variant& password,
                         const Variant& writeResPassword);
void setDisplayAlerts(const DispatchPtr& app, bool on);
// Worksheets(sheet), the sheet name or position as the caller gave it (by reference).
DispatchPtr worksheet(const DispatchPtr& workbook, Variant& sheet);
// PageSetup.<property> = value; the page setup is fetched afresh for every assignment.
void setPageSetup(const DispatchPtr& sheet, std::string_view property, const Variant& value);
// InchesToPoints(inches).
Variant inchesToPoints(const DispatchPtr& app, const Variant& inches);
// Range(range).PrintOut(ActivePrinter:=, PrToFilename:=, Collate:=True, PrintToFile:=True,
// preview:=False, Copies:=1).
void printRange(const DispatchPtr& sheet, const Variant& range, const Variant& printer,
                const Variant& outputFile);
// Close(False): the workbook is closed without saving.
void close(const DispatchPtr& workbook);
void quit(const DispatchPtr& app);

}  // namespace docmill::office_client::excel
