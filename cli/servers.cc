#include "cli/servers.h"

#include "component/create_pdf.h"
#include "component/type_library.h"
#ifdef DOCMILL_HAVE_OFFICE_APPS
#include "office_server/servers.h"
#endif

namespace docmill::cli {

HostServers::HostServers() {
  if (!findClassRecord(kProgId)) {
    registrations_.push_back(registerClass(createPdfClass().clsid, kProgId, createPdfFactory()));
  }
#ifdef DOCMILL_HAVE_OFFICE_APPS
  for (auto& r : office_server::registerOfficeServers()) registrations_.push_back(std::move(r));
#endif
}

HostServers::~HostServers() {
#ifdef DOCMILL_HAVE_OFFICE_APPS
  office_server::shutdownOffice();
#endif
}

void startAllOffices() {
#ifdef DOCMILL_HAVE_OFFICE_APPS
  office_server::startOffices();
#endif
}

}  // namespace docmill::cli
