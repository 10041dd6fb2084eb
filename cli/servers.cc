#include "cli/servers.h"

#include "component/create_pdf.h"
#include "component/type_library.h"

namespace docmill::cli {

HostServers::HostServers() {
  if (!findClassRecord(kProgId)) {
    registrations_.push_back(registerClass(createPdfClass().clsid, kProgId, createPdfFactory()));
  }
}

}  // namespace docmill::cli
