#include "office_client/excel_calls.h"

namespace docmill::office_client::excel {

namespace {

constexpr uint16_t kGet = invoke::PropertyGet | invoke::Method;

DispatchPtr asObject(const Variant& v) {
  if (!v.isObject()) raiseRuntime(rt::TypeMismatch);
  return v.object();
}

}  // namespace

DispatchPtr openWorkbook(const DispatchPtr& app, const Variant& path, const Variant& password,
                         const Variant& writeResPassword) {
  return asObject(callMember(getObject(app, "Workbooks"), "Open", kGet, {path},
                             {{"WriteResPassword", writeResPassword}, {"Password", password}}));
}

void setDisplayAlerts(const DispatchPtr& app, bool on) {
  put(app, "DisplayAlerts", Variant(on));
}

DispatchPtr worksheet(const DispatchPtr& workbook, Variant& sheet) {
  return getObject(workbook, "Worksheets", {Variant::byRef(sheet)});
}

void setPageSetup(const DispatchPtr& sheet, std::string_view property, const Variant& value) {
  put(getObject(sheet, "PageSetup"), property, value);
}

Variant inchesToPoints(const DispatchPtr& app, const Variant& inches) {
  return get(app, "InchesToPoints", {inches});
}

void printRange(const DispatchPtr& sheet, const Variant& range, const Variant& printer,
                const Variant& outputFile) {
  call(getObject(sheet, "Range", {range}), "PrintOut", {},
       {{"ActivePrinter", printer},
        {"PrToFilename", outputFile},
        {"Collate", Variant(true)},
        {"PrintToFile", Variant(true)},
        {"preview", Variant(false)},
        {"Copies", Variant(int16_t{1})}});
}

void close(const DispatchPtr& workbook) {
  call(workbook, "Close", {Variant(false)});
}

void quit(const DispatchPtr& app) {
  call(app, "Quit");
}

}  // namespace docmill::office_client::excel
