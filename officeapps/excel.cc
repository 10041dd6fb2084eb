#include "officeapps/officeapps_internal.h"

namespace docmill::officeapps {
DispatchPtr createExcelApplication() {
  raiseRuntime(rt::CantCreateObject);
}
}  // namespace docmill::officeapps
