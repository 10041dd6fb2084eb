// The bytes of the pool service's messages: values, variants, errors and batch requests and
// results written into one message and read back on the other side.
//
// Both ends are the same build of docmill run by the same user, but a message is still read
// as untrusted bytes: every read is checked against what is left, nesting is bounded, and a
// malformed message throws `WireError` (the connection is then dropped). A value that cannot
// travel (an object) throws `NotTransferable`; the caller then does the work in-process.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "automation/error.h"
#include "automation/variant.h"
#include "cli/convert.h"

namespace docmill::remote {

class WireError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class NotTransferable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What a message is; the first byte of every message.
enum class Kind : uint8_t {
  Hello = 1,         // client: protocol, settings, umask; the current folder attached
  Welcome = 2,       // service: go on
  Refused = 3,       // service: a reason; the client works in-process
  Create = 4,        // client: a ProgID
  Names = 5,         // client: a member name and parameter names
  Invoke = 6,        // client: member, flags, arguments
  Batch = 7,         // client: a batch request
  Done = 8,          // service: the answer to Create, Names or Invoke
  Failed = 9,        // service: an automation error
  Progress = 10,     // service: one file of a batch has ended
  BatchDone = 11,    // service: the batch's result
  Unsupported = 12,  // service: this call cannot be answered here; do it in-process
};

class Writer {
 public:
  explicit Writer(Kind kind) { bytes_.push_back(static_cast<char>(kind)); }
  void u8(uint8_t v) { bytes_.push_back(static_cast<char>(v)); }
  void u32(uint32_t v) { raw(&v, sizeof v); }
  void i32(int32_t v) { raw(&v, sizeof v); }
  void text(std::string_view v);
  void texts(const std::vector<std::string>& v);
  void variant(const Variant& v, int depth = 0);
  void error(const Error& e, int32_t hresult);
  void batchRequest(const cli::BatchRequest& r);
  void fileResult(const cli::FileResult& r);
  void batchResult(const cli::BatchResult& r);
  const std::string& bytes() const { return bytes_; }

 private:
  void raw(const void* data, size_t size);
  std::string bytes_;
};

class Reader {
 public:
  explicit Reader(std::string_view bytes);
  Kind kind() const { return kind_; }
  uint8_t u8();
  uint32_t u32();
  int32_t i32();
  std::string text();
  std::vector<std::string> texts();
  Variant variant(int depth = 0);
  // An automation error as it was raised on the other side.
  AutomationError error();
  cli::BatchRequest batchRequest();
  cli::FileResult fileResult();
  cli::BatchResult batchResult();
  // Throws unless every byte was read.
  void end() const;

 private:
  void raw(void* data, size_t size);
  std::string_view rest_;
  Kind kind_;
};

}  // namespace docmill::remote
