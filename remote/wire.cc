#include "remote/wire.h"

#include <cstring>
#include <optional>

namespace docmill::remote {

namespace {

// Arrays inside arrays deeper than this are no value a caller builds.
constexpr int kMaxDepth = 16;

}  // namespace

void Writer::raw(const void* data, size_t size) {
  bytes_.append(static_cast<const char*>(data), size);
}

void Writer::text(std::string_view v) {
  u32(static_cast<uint32_t>(v.size()));
  bytes_.append(v);
}

void Writer::texts(const std::vector<std::string>& v) {
  u32(static_cast<uint32_t>(v.size()));
  for (const auto& s : v) text(s);
}

void Writer::variant(const Variant& in, int depth) {
  const Variant& v = in.deref();
  const VarType type = v.type();
  if (depth > kMaxDepth) throw NotTransferable("arrays nested too deep");
  raw(&type, sizeof type);
  if (type & vt::Array) {
    const SafeArray& a = v.array();
    const VarType element = a.elementType();
    raw(&element, sizeof element);
    u32(static_cast<uint32_t>(a.bounds().size()));
    for (const ArrayBound& b : a.bounds()) {
      i32(b.lower);
      u32(b.count);
    }
    for (const Variant& e : a.elements()) variant(e, depth + 1);
    return;
  }
  switch (type) {
    case vt::Empty:
    case vt::Null:
      return;
    case vt::I2:
    case vt::Bool: {
      const int16_t x = type == vt::I2 ? v.i2() : (v.boolean() ? -1 : 0);
      raw(&x, sizeof x);
      return;
    }
    case vt::I4:
      i32(v.i4());
      return;
    case vt::Error:
      i32(v.scode());
      return;
    case vt::R4: {
      const float x = v.r4();
      raw(&x, sizeof x);
      return;
    }
    case vt::R8: {
      const double x = v.r8();
      raw(&x, sizeof x);
      return;
    }
    case vt::Bstr:
      text(v.bstr());
      return;
    case vt::Dispatch:
      if (v.object()) throw NotTransferable("an object cannot be handed to another process");
      return;  // Nothing
    default:
      throw NotTransferable("a value of type " + varTypeName(type));
  }
}

void Writer::error(const Error& e, int32_t hresult) {
  i32(e.number);
  text(e.source);
  text(e.description);
  i32(hresult);
}

void Writer::batchRequest(const cli::BatchRequest& r) {
  texts(r.inputs);
  text(r.output);
  u8(r.merge);
  i32(r.jobs);
  u8(r.options.landscape.has_value() ? (*r.options.landscape ? 2 : 1) : 0);
  const auto& given = r.pdf.asGiven();
  u32(static_cast<uint32_t>(given.size()));
  for (const auto& g : given) {
    text(g.name);
    text(g.text);
    u8(g.merge);
  }
  texts(r.names);
}

void Writer::fileResult(const cli::FileResult& r) {
  text(r.input);
  text(r.output);
  u8(r.error.has_value());
  if (r.error) error(*r.error, 0);
  text(r.message);
  texts(r.parts);
}

void Writer::batchResult(const cli::BatchResult& r) {
  text(r.refused);
  u32(static_cast<uint32_t>(r.files.size()));
  for (const auto& f : r.files) fileResult(f);
  u32(static_cast<uint32_t>(r.failed));
  u8(r.noScratch);
  u8(r.joinError.has_value());
  if (r.joinError) error(*r.joinError, 0);
}

Reader::Reader(std::string_view bytes) : rest_(bytes) {
  if (rest_.empty()) throw WireError("an empty message");
  kind_ = static_cast<Kind>(rest_.front());
  rest_.remove_prefix(1);
}

void Reader::raw(void* data, size_t size) {
  if (rest_.size() < size) throw WireError("a message ends too soon");
  std::memcpy(data, rest_.data(), size);
  rest_.remove_prefix(size);
}

uint8_t Reader::u8() {
  uint8_t v;
  raw(&v, sizeof v);
  return v;
}

uint32_t Reader::u32() {
  uint32_t v;
  raw(&v, sizeof v);
  return v;
}

int32_t Reader::i32() {
  int32_t v;
  raw(&v, sizeof v);
  return v;
}

std::string Reader::text() {
  const uint32_t size = u32();
  if (rest_.size() < size) throw WireError("a message ends too soon");
  std::string s(rest_.substr(0, size));
  rest_.remove_prefix(size);
  return s;
}

std::vector<std::string> Reader::texts() {
  const uint32_t count = u32();
  // Every text takes at least its length's four bytes.
  if (count > rest_.size() / 4) throw WireError("a message ends too soon");
  std::vector<std::string> v;
  v.reserve(count);
  for (uint32_t i = 0; i < count; ++i) v.push_back(text());
  return v;
}

Variant Reader::variant(int depth) {
  if (depth > kMaxDepth) throw WireError("arrays nested too deep");
  VarType type;
  raw(&type, sizeof type);
  if (type & vt::Array) {
    VarType element;
    raw(&element, sizeof element);
    const uint32_t dims = u32();
    if (dims == 0 || dims > 60) throw WireError("an array with no or too many dimensions");
    std::vector<ArrayBound> bounds;
    uint64_t total = 1;
    for (uint32_t d = 0; d < dims; ++d) {
      ArrayBound b;
      b.lower = i32();
      b.count = u32();
      total *= b.count;
      // Every element takes at least its type's two bytes.
      if (total > rest_.size() / 2 && total != 0) throw WireError("a message ends too soon");
      bounds.push_back(b);
    }
    SafeArray array(element, bounds);
    std::vector<int32_t> index(dims);
    for (uint64_t k = 0; k < total; ++k) {
      uint64_t rest = k;
      for (uint32_t d = 0; d < dims; ++d) {  // the first index varies fastest
        index[d] = bounds[d].lower + static_cast<int32_t>(rest % bounds[d].count);
        rest /= bounds[d].count;
      }
      array.at(index) = variant(depth + 1);
    }
    return Variant(std::move(array));
  }
  switch (type) {
    case vt::Empty:
      return Variant();
    case vt::Null:
      return Variant::null();
    case vt::I2:
    case vt::Bool: {
      int16_t x;
      raw(&x, sizeof x);
      return type == vt::I2 ? Variant(x) : Variant(x != 0);
    }
    case vt::I4:
      return Variant(i32());
    case vt::Error:
      return Variant::error(i32());
    case vt::R4: {
      float x;
      raw(&x, sizeof x);
      return Variant(x);
    }
    case vt::R8: {
      double x;
      raw(&x, sizeof x);
      return Variant(x);
    }
    case vt::Bstr:
      return Variant(text());
    case vt::Dispatch:
      return Variant::nothing();
    default:
      throw WireError("a value of unknown type " + std::to_string(type));
  }
}

AutomationError Reader::error() {
  Error e;
  e.number = i32();
  e.source = text();
  e.description = text();
  const int32_t hresult = i32();
  return AutomationError(std::move(e), hresult);
}

cli::BatchRequest Reader::batchRequest() {
  cli::BatchRequest r;
  r.inputs = texts();
  r.output = text();
  r.merge = u8() != 0;
  r.jobs = i32();
  if (const uint8_t landscape = u8()) r.options.landscape = landscape == 2;
  const uint32_t count = u32();
  for (uint32_t i = 0; i < count; ++i) {
    std::string name = text();
    std::string value = text();
    const bool merge = u8() != 0;
    // The client's own options were accepted there; the same build accepts them here.
    r.pdf.set(name, value, merge ? cli::OptionUse::Merge : cli::OptionUse::Convert);
  }
  r.names = texts();
  return r;
}

cli::FileResult Reader::fileResult() {
  cli::FileResult r;
  r.input = text();
  r.output = text();
  if (u8()) r.error = error().error();
  r.message = text();
  r.parts = texts();
  return r;
}

cli::BatchResult Reader::batchResult() {
  cli::BatchResult r;
  r.refused = text();
  const uint32_t count = u32();
  for (uint32_t i = 0; i < count; ++i) r.files.push_back(fileResult());
  r.failed = u32();
  r.noScratch = u8() != 0;
  if (u8()) r.joinError = error().error();
  return r;
}

void Reader::end() const {
  if (!rest_.empty()) throw WireError("a message has bytes left over");
}

}  // namespace docmill::remote
