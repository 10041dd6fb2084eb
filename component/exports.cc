// The library's four registration and class-object exports, with their automation
// meanings on our runtime.
#include <filesystem>

#include "component/create_pdf.h"
#include "component/exports.h"
#include "component/type_library.h"
#include "platform/library.h"

using docmill::ClassFactoryPtr;
using docmill::Guid;

namespace {
std::string ownLibraryPath() {
  const std::string file = docmill::platform::loadedFrom(reinterpret_cast<void*>(&ownLibraryPath));
  if (file.empty()) return {};
  std::error_code ec;
  auto p = std::filesystem::canonical(file, ec);
  return ec ? file : p.string();
}
}  // namespace

extern "C" {

__attribute__((visibility("default"))) int32_t DllGetClassObject(const Guid* clsid,
                                                                 ClassFactoryPtr** factory) {
  if (!clsid || !factory) return docmill::hr::E_POINTER;
  *factory = nullptr;
  if (!(*clsid == docmill::createPdfClass().clsid)) return docmill::hr::CLASS_E_CLASSNOTAVAILABLE;
  *factory = new ClassFactoryPtr(docmill::createPdfFactory());
  return docmill::hr::S_OK;
}

__attribute__((visibility("default"))) int32_t DllCanUnloadNow() {
  return docmill::CreatePDF::liveObjects() == 0 ? docmill::hr::S_OK : docmill::hr::S_FALSE;
}

__attribute__((visibility("default"))) int32_t DllRegisterServer() {
  const auto& cls = docmill::createPdfClass();
  docmill::ClassRecord r;
  r.clsid = cls.clsid;
  r.progId = cls.progId;
  r.library = ownLibraryPath();
  r.threadingModel = "Apartment";
  r.interfaceId = cls.defaultInterface->iid;
  r.typeLibId = docmill::typeLibrary().libId;
  r.typeLibVersion = "1.0";
  r.version = docmill::kLibraryVersion;
  if (r.library.empty()) return docmill::hr::SELFREG_E_CLASS;
  return docmill::writeClassRecord(r) ? docmill::hr::S_OK : docmill::hr::SELFREG_E_CLASS;
}

__attribute__((visibility("default"))) int32_t DllUnregisterServer() {
  return docmill::removeClassRecord(docmill::createPdfClass().clsid) ? docmill::hr::S_OK
                                                                     : docmill::hr::SELFREG_E_CLASS;
}
}
