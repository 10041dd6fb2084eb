#include "component/type_library.h"

#include "automation/dispatch.h"
#include "printer/destinations.h"

namespace docmill {

namespace {

const Guid kLibId = *Guid::parse("{5B0F6D10-3C1E-4E8A-9D2B-6A4C0E7F1A01}");
const Guid kIid = *Guid::parse("{5B0F6D10-3C1E-4E8A-9D2B-6A4C0E7F1A02}");
const Guid kClsid = *Guid::parse("{5B0F6D10-3C1E-4E8A-9D2B-6A4C0E7F1A03}");
const Guid kAlignTypeId = *Guid::parse("{5B0F6D10-3C1E-4E8A-9D2B-6A4C0E7F1A04}");

const char* const kPrinter = printer::kGenericPostScriptPrinter;

ParamDesc req(const char* name) {
  return ParamDesc{name, vt::Variant, true, false, {}};
}
ParamDesc opt(const char* name, Variant def) {
  return ParamDesc{name, vt::Variant, true, true, std::move(def)};
}
Variant i2(int v) {
  return Variant(static_cast<int16_t>(v));
}

std::vector<ParamDesc> excelParams(const char* out, bool multi) {
  std::vector<ParamDesc> p = {
      req(out),
      req("strExcelWorkbook"),
      req(multi ? "varExcelWorksheets" : "varExcelWorksheet"),
      req(multi ? "varRanges" : "strRange"),
      opt("strPrinter", kPrinter),
      opt("strPassword", ""),
      opt("strWriteResPassword", ""),
      opt("blnUseGrid", false),
      multi ? opt("varLandscape", Variant::nothing()) : opt("blnLandscape", false),
      opt("strHeader", ""),
      opt("lngHeaderAlignment", i2(1)),
      opt("strFooter", ""),
      opt("lngFooterAlignment", i2(0))};
  for (const char* m : {"dblTopMargin", "dblLeftMargin", "dblRightMargin", "dblBottomMargin",
                        "dblHeaderMargin", "dblFooterMargin"}) {
    p.push_back(opt(m, 0.0));
  }
  p.push_back(multi ? opt("varFirstPageNumber", Variant::nothing())
                    : opt("lngFirstPageNumber", i2(1)));
  return p;
}

std::vector<ParamDesc> powerPointParams(const char* out) {
  return {req(out),
          req("strPPDocument"),
          opt("strPrinter", kPrinter),
          opt("lngStartSlide", i2(-1)),
          opt("lngEndSlide", i2(-1)),
          opt("blnHorizontalOrientation", false),
          opt("blnBlackAndWhite", false)};
}

std::vector<ParamDesc> textParams(const char* out) {
  return {req(out),
          req("strTextfile"),
          opt("strPrinter", kPrinter),
          opt("blnLandscape", false),
          opt("strFont", ""),
          opt("blnFontBold", false),
          opt("intFontSize", i2(8)),
          opt("lngFontColor", i2(0)),
          opt("blnFontItalic", false),
          opt("blnFontUnderline", false),
          opt("blnPageNumberInFooter", false),
          opt("blnPageNumberInHeader", false),
          opt("lngPageNumberAlignment", i2(1)),
          opt("sngTopMargin", 0.0),
          opt("sngLeftMargin", 0.0),
          opt("sngRightMargin", 0.0),
          opt("sngBottomMargin", 0.0),
          opt("blnFirstPage", false)};
}

std::vector<ParamDesc> wordParams(const char* out) {
  return {req(out),
          req("strWordDocument"),
          opt("strPrinter", kPrinter),
          opt("strPassword", ""),
          opt("strWritePassword", ""),
          opt("strPages", ""),
          opt("blnLandscape", false),
          opt("blnPageNumberInFooter", false),
          opt("blnPageNumberInHeader", false),
          opt("lngPageNumberAlignment", i2(1)),
          opt("blnFirstPage", false)};
}

std::vector<ParamDesc> twoFiles(const char* out, const char* in) {
  return {req(out), req(in)};
}
std::vector<ParamDesc> printerFile(const char* out, const char* in) {
  return {req(out), req(in), opt("strPrinter", kPrinter)};
}

InterfaceInfo buildInterface() {
  using namespace dispid;
  constexpr uint16_t M = invoke::Method, G = invoke::PropertyGet, P = invoke::PropertyPut;
  InterfaceInfo info;
  info.iid = kIid;
  info.name = "_CreatePDF";
  info.dual = info.hidden = info.nonExtensible = info.oleAutomation = true;
  info.funcs = {
      {7, GhostScriptVersion, "GhostScriptVersion", G, vt::I2, {}},
      {8,
       GhostScriptVersion,
       "GhostScriptVersion",
       P,
       vt::Empty,
       {ParamDesc{"value", vt::I2, false, false, {}}}},
      {9,
       SetDefPrinter,
       "SetDefPrinter",
       M,
       vt::Empty,
       {ParamDesc{"strPrinter", vt::Variant, false, false, {}}}},
      {10, TempFilePath, "TempFilePath", G, vt::Variant, {}},
      {11,
       TempFilePath,
       "TempFilePath",
       P,
       vt::Empty,
       {ParamDesc{"value", vt::Variant, false, false, {}}}},
      {12, CreatePDFfromMiscFile, "CreatePDFfromMiscFile", M, vt::Empty,
       printerFile("strPDFFile", "strMiscFile")},
      {13, CreatePDFfromMultiExcel, "CreatePDFfromMultiExcel", M, vt::Empty,
       excelParams("strPDFFile", true)},
      {14, CreatePDFfromMultiPDF, "CreatePDFfromMultiPDF", M, vt::Empty,
       twoFiles("strPDFFile", "varPDFFiles")},
      {15, CreatePDFfromMultiPS, "CreatePDFfromMultiPS", M, vt::Empty,
       twoFiles("strPDFFile", "varPSFiles")},
      {16, CreatePDFfromPS, "CreatePDFfromPS", M, vt::Empty, twoFiles("strPDFFile", "strPSFile")},
      {17, CreatePDFfromPub, "CreatePDFfromPub", M, vt::Empty,
       printerFile("strPDFFile", "strPubFile")},
      {18, CreatePDFfromPowerPoint, "CreatePDFfromPowerPoint", M, vt::Empty,
       powerPointParams("strPDFFile")},
      {19, CreatePDFfromExcel, "CreatePDFfromExcel", M, vt::Empty,
       excelParams("strPDFFile", false)},
      {20, CreatePSfromExcel, "CreatePSfromExcel", M, vt::Empty, excelParams("strPSFile", false)},
      {21, CreatePSfromMiscFile, "CreatePSfromMiscFile", M, vt::Empty,
       printerFile("strPSFile", "strMiscFile")},
      {22, CreatePSfromPowerPoint, "CreatePSfromPowerPoint", M, vt::Empty,
       powerPointParams("strPSFile")},
      {23, CreatePSfromPub, "CreatePSfromPub", M, vt::Empty,
       printerFile("strPSFile", "strPubFile")},
      {24, CreatePSfromTextFile, "CreatePSfromTextFile", M, vt::Empty, textParams("strPSFile")},
      {25, CreatePSfromWord, "CreatePSfromWord", M, vt::Empty, wordParams("strPSFile")},
      {26, CreatePDFfromWord, "CreatePDFfromWord", M, vt::Empty, wordParams("strPDFFile")},
      {27, CreatePDFfromTextFile, "CreatePDFfromTextFile", M, vt::Empty, textParams("strPDFFile")},
  };
  return info;
}

}  // namespace

const InterfaceInfo& createPdfInterface() {
  static const InterfaceInfo info = buildInterface();
  return info;
}

const EnumInfo& alignTypeEnum() {
  static const EnumInfo info{kAlignTypeId,
                             "AlignType",
                             {{"pdoAlignLeft", pdoAlignLeft},
                              {"pdoAlignCenter", pdoAlignCenter},
                              {"pdoAlignRight", pdoAlignRight}}};
  return info;
}

const CoClassInfo& createPdfClass() {
  static const CoClassInfo info{kClsid, "CreatePDF", kProgId, &createPdfInterface()};
  return info;
}

const TypeLibInfo& typeLibrary() {
  static const TypeLibInfo lib{
      kLibId, "PDF", 1, 0, 1033, {&createPdfClass()}, {&createPdfInterface()}, {&alignTypeEnum()}};
  return lib;
}

}  // namespace docmill
