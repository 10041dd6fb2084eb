// The failure of an operating-system call, as the platform layer reports it: the errno
// value, the call that failed and the path it concerned.
//
// Platform routines that cannot do their work throw `OsError`; the layers above turn it
// into their own error values once, where they call the platform layer.
#pragma once

#include <cstring>
#include <stdexcept>
#include <string>

namespace docmill::platform {

class OsError : public std::runtime_error {
 public:
  OsError(int code, std::string operation, std::string path = {})
      : std::runtime_error(describe(code, operation, path)),
        code_(code),
        operation_(std::move(operation)),
        path_(std::move(path)) {}

  int code() const { return code_; }
  const std::string& operation() const { return operation_; }
  const std::string& path() const { return path_; }

 private:
  static std::string describe(int code, const std::string& operation, const std::string& path) {
    std::string text = operation;
    if (!path.empty()) text += " " + path;
    return text + ": " + std::strerror(code);
  }

  int code_;
  std::string operation_;
  std::string path_;
};

}  // namespace docmill::platform
