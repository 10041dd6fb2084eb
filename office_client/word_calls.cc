#include "office_client/word_calls.h"

namespace docmill::office_client::word {

namespace {

DispatchPtr asObject(const Variant& v) {
  if (!v.isObject()) raiseRuntime(rt::TypeMismatch);
  return v.object();
}

DispatchPtr pageSetup(const DispatchPtr& doc) {
  return getObject(doc, "PageSetup");
}

DispatchPtr font(const DispatchPtr& doc) {
  return getObject(getObject(doc, "Content"), "Font");
}

}  // namespace

DispatchPtr open(const DispatchPtr& app, const Variant& file) {
  return asObject(call(getObject(app, "Documents"), "Open", {file}));
}

DispatchPtr open(const DispatchPtr& app, const Variant& file, const Variant& password,
                 const Variant& writePassword) {
  return asObject(call(getObject(app, "Documents"), "Open", {file},
                       {{"PasswordDocument", password}, {"WritePasswordDocument", writePassword}}));
}

void setDisplayAlerts(const DispatchPtr& app, int16_t level) {
  put(app, "DisplayAlerts", Variant(level));
}

std::string activePrinter(const DispatchPtr& app) {
  return get(app, "ActivePrinter").toString();
}

void setActivePrinter(const DispatchPtr& app, const Variant& printer) {
  put(app, "ActivePrinter", printer);
}

void setOrientation(const DispatchPtr& doc, int16_t orientation) {
  put(pageSetup(doc), "Orientation", Variant(orientation));
}

void setMargin(const DispatchPtr& doc, std::string_view margin, const Variant& points) {
  put(pageSetup(doc), margin, points);
}

void addPageNumber(const DispatchPtr& doc, Band band, int16_t alignment, const Variant& firstPage) {
  DispatchPtr section = getObject(doc, "Sections", {Variant(int16_t{1})});
  DispatchPtr bandObject =
      getObject(section, band == Band::Footer ? "Footers" : "Headers", {Variant(int16_t{1})});
  Variant align(alignment);
  call(getObject(bandObject, "PageNumbers"), "Add", {},
       {{"PageNumberAlignment", Variant::byRef(align)}, {"FirstPage", firstPage}});
}

void setFont(const DispatchPtr& doc, std::string_view property, const Variant& value) {
  put(font(doc), property, value);
}

void resetFont(const DispatchPtr& doc) {
  call(font(doc), "Reset");
}

void printOut(const DispatchPtr& doc, const Variant& outputFile) {
  call(doc, "PrintOut", {},
       {{"Outputfilename", outputFile},
        {"Background", Variant(false)},
        {"PrintToFile", Variant(true)}});
}

void printOutPages(const DispatchPtr& doc, const Variant& outputFile, const Variant& pages) {
  call(doc, "PrintOut", {},
       {{"Outputfilename", outputFile},
        {"Range", Variant(kPrintRangePages)},
        {"Pages", pages},
        {"Background", Variant(false)},
        {"PrintToFile", Variant(true)}});
}

void close(const DispatchPtr& doc) {
  call(doc, "Close", {Variant(false)});
}

void quit(const DispatchPtr& app) {
  call(app, "Quit");
}

}  // namespace docmill::office_client::word
