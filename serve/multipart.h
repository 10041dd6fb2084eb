// Streaming reader of multipart/form-data bodies: the body is fed in pieces as it arrives
// and each part's bytes are handed on as they come, so no upload is held whole in memory.
//
// The reader owns nothing but a carry-over buffer of at most one delimiter and one header
// block. A body that breaks the format (a header block past 16 KiB, a part without a
// Content-Disposition, bytes after the closing delimiter that are not an epilogue, or a
// body that ends before the closing delimiter) throws `FormError`; what the handler has
// received by then is the caller's to discard.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

namespace docmill::serve {

struct FormError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct PartInfo {
  std::string name;                     // the form field's name
  std::optional<std::string> fileName;  // set for file parts, as the client sent it
  std::string contentType;
};

class MultipartReader {
 public:
  struct Handler {
    std::function<void(const PartInfo&)> begin;
    std::function<void(const char*, size_t)> data;
    std::function<void()> end;
  };
  // `boundary` as given in the Content-Type header, without the leading "--".
  MultipartReader(std::string boundary, Handler handler);

  void feed(const char* bytes, size_t size);
  // The body has ended: throws FormError when the closing delimiter never came.
  void finish();

 private:
  enum class State { Preamble, AfterDelimiter, Headers, Body, Done };
  void parseHeaders(const std::string& block);
  void run();

  std::string delimiter_;  // CRLF "--" boundary
  Handler handler_;
  State state_ = State::Preamble;
  std::string buffer_;
};

// The boundary of a multipart/form-data Content-Type value; nullopt when the value is not
// multipart/form-data or its boundary is missing or malformed.
std::optional<std::string> formBoundary(const std::string& contentType);

// A name fit for a download or a zip entry, on any system it is unpacked on: the last path
// component of `name` without a drive prefix; control characters, bytes that are not UTF-8,
// and quotes, slashes, backslashes, colons and the other characters Windows refuses in names
// replaced by "_"; invisible format characters (direction overrides, zero-width characters)
// dropped; no leading or trailing dots and spaces; "_" before a device name of Windows
// ("con.pdf"); at most 120 bytes, cut between characters. `fallback` when nothing is left.
std::string safeFileName(const std::string& name, const std::string& fallback);

}  // namespace docmill::serve
