// Routines that every conversion method shares: the existence test, temporary names and
// the error convention, and the services a converter needs of the object it runs for.
//
// None of the probing routines raises; they report through their result. The error
// helpers build the records the component raises to its clients, always with the source
// "docmill".
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "automation/dispatch.h"
#include "automation/error.h"
#include "automation/variant.h"

namespace docmill {

inline constexpr const char* kAppTitle = "docmill";
inline constexpr int32_t pdoErrFileNotFound = static_cast<int32_t>(0x80004100);
// A failed interpreter run, raised by the conversion methods.
inline constexpr int32_t pdoErrConversionFailed = static_cast<int32_t>(0x80004101);
// The completion wait of a print gave up.
inline constexpr int32_t pdoErrPrintTimeout = static_cast<int32_t>(0x80004102);

// True when the length of the file named by the path's text can be read (a 0-byte file
// exists); false for a missing file, an empty name, a folder, or a value without text.
bool fileExists(const Variant& path);

// "File " & path & " does not exist." with the path's text as the caller passed it.
Error fileNotFoundError(const Variant& path);

// The error convention of the conversion methods: runs `body`; on any failure runs
// `cleanup` (which may itself fail: its failure then wins) and raises the failure again
// with its number and description and the source "docmill".
void guarded(const std::function<void()>& body, const std::function<void()>& cleanup = {});

// Deletes an old output file as platform::deleteFile does (a device, pipe or socket stays);
// raises the run-time error of the failure.
void deleteFile(const std::string& path);

// Decimal text of a random number from 1 to 99999999, drawn from a generator seeded once
// per thread from the system's entropy source.
std::string uniqueTempName();

// Raises 70 "Permission denied" when a user other than root and the current one could
// change `folder` or a folder or link on the way to it (see platform/trust.h): such a user
// could swap a print file for a link and have this process write or read through it.
void requireTrustedFolder(const std::string& folder);

// `prefix` & uniqueTempName() & ".ps", created empty and exclusively (never through a link)
// so that no other conversion can be handed the same path. Draws again while the name is
// taken. Returns the path it reserved; when the folder cannot be written it returns an
// unreserved candidate, so the caller meets the real error where it writes. Raises 70 when
// the folder is not trusted (requireTrustedFolder): it is checked at every use, not only
// when TempFilePath was set, since a folder can change in between.
std::string reserveTempPath(const std::string& prefix);

// What the converters need of the object they run for.
class ObjectServices {
 public:
  virtual ~ObjectServices() = default;
  // The TempFilePath property as stored (possibly empty).
  virtual std::string tempFilePath() const = 0;
  // The object's own public interface, for calls that must run the full public member.
  virtual DispatchPtr self() = 0;
};

}  // namespace docmill
