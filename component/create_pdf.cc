#include "component/create_pdf.h"

#include <cerrno>

#include "component/system_folder.h"
#include "component/type_library.h"
#include "ghostscript/conversions.h"
#include "office_client/converters.h"
#include "platform/files.h"
#include "printer/set_def_printer.h"

namespace docmill {

namespace {
std::atomic<long> gLiveObjects{0};
}  // namespace

CreatePDF::CreatePDF() : TableDispatch(createPdfInterface()) {
  ++gLiveObjects;
}
CreatePDF::~CreatePDF() {
  --gLiveObjects;
}
long CreatePDF::liveObjects() {
  return gLiveObjects.load();
}

std::shared_ptr<CreatePDF> CreatePDF::create() {
  return std::shared_ptr<CreatePDF>(new CreatePDF());
}

void CreatePDF::initialise() const {
  std::call_once(initialised_, [this] { initialiseOnce(); });
}

int16_t CreatePDF::ghostScriptVersion() const {
  initialise();
  return ghostScriptVersion_;
}

void CreatePDF::setGhostScriptVersion(int16_t v) {
  initialise();
  ghostScriptVersion_ = v;
}

std::string CreatePDF::tempFilePath() const {
  initialise();
  return tempPath_;
}

void CreatePDF::initialiseOnce() const {
  std::string folder = getSpecialFolder(37);
  if (folder.empty()) return;
  if (!fileExists(Variant(folder + "/" + gs::kLibraryName)) &&
      !fileExists(Variant(folder + "/" + gs::kLibraryFallbackName))) {
    return;
  }
  try {
    // The host's private scratch folder rather than the filesystem root, which a service
    // account cannot write to, or the shared temporary folder, where other users could
    // read or replace the printed documents.
    std::string temp = platform::hostScratchFolder();
    if (temp.empty() || temp.back() != '/') temp += '/';
    tempPath_ = temp;
  } catch (...) {
  }
  try {
    ghostScriptVersion_ = gs::ghostscriptMajorVersion();
  } catch (...) {
  }
}

void CreatePDF::setTempFilePath(const Variant& value) {
  initialise();
  std::string text;
  try {
    text = value.toString();
  } catch (...) {
    return;
  }
  if (text.empty()) return;
  // Checked before the folder is made (never create one where somebody else could swap it)
  // and after (the folder that was found or made).
  requireTrustedFolder(text);
  try {
    // Only this user enters a folder made here, whatever the umask.
    platform::makeDirectory(text, 0700);
  } catch (const platform::OsError& e) {
    // An existing folder is accepted.
    if (e.code() != EEXIST) return;
  } catch (...) {
    return;
  }
  requireTrustedFolder(text);
  if (text.back() != '/') text += '/';
  tempPath_ = text;
}

Variant CreatePDF::invokeMember(const FuncDesc& func, std::span<Variant* const> args) {
  switch (func.dispId) {
    case dispid::GhostScriptVersion:
      if (func.kind == invoke::PropertyPut) {
        setGhostScriptVersion(args[0]->i2());
        return {};
      }
      return Variant(ghostScriptVersion());
    case dispid::TempFilePath:
      if (func.kind == invoke::PropertyPut) {
        setTempFilePath(*args[0]);
        return {};
      }
      return tempFilePathProperty();
    case dispid::SetDefPrinter:
      printer::setDefPrinter(*args[0]);
      return {};
    case dispid::CreatePDFfromPS:
      gs::createPDFfromPS(args);
      return {};
    case dispid::CreatePDFfromMultiPS:
      gs::createPDFfromMultiPS(args);
      return {};
    case dispid::CreatePDFfromMultiPDF:
      gs::createPDFfromMultiPDF(args);
      return {};
    default:
      break;
  }
  using Converter = void (*)(ObjectServices&, const MemberArguments&);
  static const std::pair<int32_t, Converter> kConverters[] = {
      {dispid::CreatePDFfromMiscFile, office_client::createPDFfromMiscFile},
      {dispid::CreatePDFfromMultiExcel, office_client::createPDFfromMultiExcel},
      {dispid::CreatePDFfromPub, office_client::createPDFfromPub},
      {dispid::CreatePDFfromPowerPoint, office_client::createPDFfromPowerPoint},
      {dispid::CreatePDFfromExcel, office_client::createPDFfromExcel},
      {dispid::CreatePSfromExcel, office_client::createPSfromExcel},
      {dispid::CreatePSfromMiscFile, office_client::createPSfromMiscFile},
      {dispid::CreatePSfromPowerPoint, office_client::createPSfromPowerPoint},
      {dispid::CreatePSfromPub, office_client::createPSfromPub},
      {dispid::CreatePSfromTextFile, office_client::createPSfromTextFile},
      {dispid::CreatePSfromWord, office_client::createPSfromWord},
      {dispid::CreatePDFfromWord, office_client::createPDFfromWord},
      {dispid::CreatePDFfromTextFile, office_client::createPDFfromTextFile},
  };
  for (const auto& [id, convert] : kConverters) {
    if (id == func.dispId) {
      convert(*this, MemberArguments(func, args));
      return {};
    }
  }
  // Every member of the table is handled above; dispatch reaches no other.
  raiseDispatch(hr::DISP_E_MEMBERNOTFOUND);
}

ClassFactoryPtr createPdfFactory() {
  return makeFactory([]() -> DispatchPtr { return CreatePDF::create(); });
}

}  // namespace docmill
