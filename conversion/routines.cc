#include "conversion/routines.h"

#include <random>

#include "automation/os_errors.h"
#include "platform/files.h"
#include "platform/trust.h"

namespace docmill {

bool fileExists(const Variant& path) {
  try {
    return platform::fileLength(path.toString()).has_value();
  } catch (const AutomationError&) {
    return false;
  }
}

Error fileNotFoundError(const Variant& path) {
  std::string text;
  try {
    text = path.concatText();
  } catch (const AutomationError&) {
  }
  return Error{pdoErrFileNotFound, kAppTitle, "File " + text + " does not exist."};
}

namespace {
[[noreturn]] void reraise(const Error& e) {
  raise(Error{e.number, kAppTitle, e.description});
}

Error errorOf(const std::exception_ptr& p) {
  try {
    std::rethrow_exception(p);
  } catch (const AutomationError& e) {
    return e.error();
  } catch (const std::bad_alloc&) {
    return Error{static_cast<int32_t>(0x8007000E), kAppTitle, "Out of memory"};
  } catch (const std::exception& e) {
    return Error{hr::E_FAIL, kAppTitle, e.what()};
  }
}
}  // namespace

void guarded(const std::function<void()>& body, const std::function<void()>& cleanup) {
  Error failure;
  try {
    body();
    return;
  } catch (...) {
    failure = errorOf(std::current_exception());
  }
  if (cleanup) {
    try {
      cleanup();
    } catch (...) {
      // A failing clean-up ends the method with its own failure.
      reraise(errorOf(std::current_exception()));
    }
  }
  reraise(failure);
}

void deleteFile(const std::string& path) {
  try {
    platform::deleteFile(path);
  } catch (const platform::OsError& e) {
    raiseOsError(e);
  }
}

std::string uniqueTempName() {
  // Seeded once per thread from the entropy source: reseeding from the clock would hand
  // two conversions started in the same tick the same number.
  thread_local std::mt19937 generator{std::random_device{}()};
  std::uniform_int_distribution<int32_t> draw(1, 99999999);
  return std::to_string(draw(generator));
}

void requireTrustedFolder(const std::string& folder) {
  if (!platform::checkPath(folder).trusted()) raiseRuntime(rt::PermissionDenied);
}

std::string reserveTempPath(const std::string& prefix) {
  const size_t slash = prefix.rfind('/');
  requireTrustedFolder(slash == std::string::npos ? "." : prefix.substr(0, slash + 1));
  std::string candidate;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    candidate = prefix + uniqueTempName() + ".ps";
    if (platform::createExclusive(candidate)) return candidate;
    if (!platform::fileLength(candidate)) break;  // the folder itself is not writable
  }
  return candidate;
}

}  // namespace docmill
