#include "officeapps/officeapps_internal.h"

namespace docmill::officeapps {
DispatchPtr createPublisherApplication() {
  raiseRuntime(rt::CantCreateObject);
}
}  // namespace docmill::officeapps
