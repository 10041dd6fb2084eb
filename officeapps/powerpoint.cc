#include "officeapps/officeapps_internal.h"

namespace docmill::officeapps {
DispatchPtr createPowerPointApplication() {
  raiseRuntime(rt::CantCreateObject);
}
}  // namespace docmill::officeapps
