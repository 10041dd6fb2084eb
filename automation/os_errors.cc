#include "automation/os_errors.h"

#include <cerrno>

namespace docmill {

Error errorFromErrno(int err) {
  switch (err) {
    case ENOENT:
      return runtimeError(rt::FileNotFound);
    case EACCES:
    case EPERM:
    case EROFS:
    case ETXTBSY:
    case EBUSY:
      return runtimeError(rt::PermissionDenied);
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return runtimeError(rt::PathNotFound);
    default:
      return runtimeError(rt::PathFileAccessError);
  }
}

void raiseErrno(int err) {
  raise(errorFromErrno(err));
}

void raiseOsError(const platform::OsError& e) {
  raiseErrno(e.code());
}

}  // namespace docmill
