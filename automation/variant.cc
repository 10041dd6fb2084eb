#include "automation/variant.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <ostream>

#include "automation/dispatch.h"

namespace docmill {

namespace {

[[noreturn]] void typeMismatch() {
  raiseRuntime(rt::TypeMismatch);
}

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

bool iequals(const std::string& a, const char* b) {
  size_t n = std::char_traits<char>::length(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

// Decimal text of a number, as automation writes it: up to 15 significant digits for a
// double (7 for a single), exponent form only for very large or very small values.
std::string formatReal(double v, int digits) {
  if (v == 0) return "0";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*G", digits, v);
  return buf;
}

// Parses text the way automation converts strings to numbers: optional spaces, a sign,
// digits with at most one decimal point, an optional exponent. Anything else fails.
bool parseNumber(const std::string& text, double& out) {
  std::string t = trim(text);
  if (t.empty()) return false;
  size_t i = 0;
  if (t[i] == '+' || t[i] == '-') ++i;
  bool digits = false;
  while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) ++i, digits = true;
  if (i < t.size() && t[i] == '.') {
    ++i;
    while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) ++i, digits = true;
  }
  if (!digits) return false;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    bool exp = false;
    while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) ++i, exp = true;
    if (!exp) return false;
  }
  if (i != t.size()) return false;
  errno = 0;
  out = std::strtod(t.c_str(), nullptr);
  return true;
}

template <typename Int>
Int toInteger(double v) {
  double r = roundHalfEven(v);
  if (!std::isfinite(r) || r < static_cast<double>(std::numeric_limits<Int>::min()) ||
      r > static_cast<double>(std::numeric_limits<Int>::max())) {
    raiseRuntime(rt::Overflow);
  }
  return static_cast<Int>(r);
}

}  // namespace

double roundHalfEven(double value) {
  return std::nearbyint(value);
}

std::ostream& operator<<(std::ostream& out, const Variant& v) {
  return out << v.debugString();
}

std::string varTypeName(VarType type) {
  std::string prefix;
  if (type & vt::ByRef) prefix = "ByRef ";
  if (type & vt::Array) prefix += "Array of ";
  switch (type & ~(vt::ByRef | vt::Array)) {
    case vt::Empty:
      return prefix + "Empty";
    case vt::Null:
      return prefix + "Null";
    case vt::I2:
      return prefix + "I2";
    case vt::I4:
      return prefix + "I4";
    case vt::R4:
      return prefix + "R4";
    case vt::R8:
      return prefix + "R8";
    case vt::Bstr:
      return prefix + "Bstr";
    case vt::Dispatch:
      return prefix + "Dispatch";
    case vt::Error:
      return prefix + "Error";
    case vt::Bool:
      return prefix + "Bool";
    case vt::Variant:
      return prefix + "Variant";
    default:
      return prefix + "Type" + std::to_string(type & 0xFFF);
  }
}

Variant::Variant(const Variant& other) : type_(other.type_) {
  if (auto* a = std::get_if<std::unique_ptr<SafeArray>>(&other.value_)) {
    value_ = std::make_unique<SafeArray>(**a);
  } else {
    std::visit(
        [this](const auto& v) {
          using T = std::decay_t<decltype(v)>;
          if constexpr (!std::is_same_v<T, std::unique_ptr<SafeArray>>) value_ = v;
        },
        other.value_);
  }
}

Variant& Variant::operator=(const Variant& other) {
  if (this != &other) {
    Variant copy(other);
    *this = std::move(copy);
  }
  return *this;
}

Variant::~Variant() = default;

Variant::Variant(DispatchPtr object) : type_(vt::Dispatch), value_(std::move(object)) {}

Variant::Variant(SafeArray array)
    : type_(static_cast<VarType>(vt::Array | array.elementType())),
      value_(std::make_unique<SafeArray>(std::move(array))) {}

Variant Variant::null() {
  Variant v;
  v.type_ = vt::Null;
  return v;
}

Variant Variant::error(int32_t scode) {
  Variant v;
  v.type_ = vt::Error;
  v.value_ = scode;
  return v;
}

Variant Variant::byRef(Variant& target) {
  Variant v;
  v.type_ = vt::ByRef | vt::Variant;
  v.value_ = &target.deref();
  return v;
}

const Variant& Variant::deref() const noexcept {
  if (auto* p = std::get_if<Variant*>(&value_)) return **p;
  return *this;
}

Variant& Variant::deref() noexcept {
  if (auto* p = std::get_if<Variant*>(&value_)) return **p;
  return *this;
}

bool Variant::isMissing() const noexcept {
  const Variant& v = deref();
  return v.type_ == vt::Error && std::get<int32_t>(v.value_) == hr::DISP_E_PARAMNOTFOUND;
}

bool Variant::isNumeric() const noexcept {
  switch (valueType()) {
    case vt::I2:
    case vt::I4:
    case vt::R4:
    case vt::R8:
    case vt::Bool:
      return true;
    default:
      return false;
  }
}

int16_t Variant::i2() const {
  const Variant& v = deref();
  if (v.type_ != vt::I2) typeMismatch();
  return std::get<int16_t>(v.value_);
}
int32_t Variant::i4() const {
  const Variant& v = deref();
  if (v.type_ != vt::I4) typeMismatch();
  return std::get<int32_t>(v.value_);
}
float Variant::r4() const {
  const Variant& v = deref();
  if (v.type_ != vt::R4) typeMismatch();
  return std::get<float>(v.value_);
}
double Variant::r8() const {
  const Variant& v = deref();
  if (v.type_ != vt::R8) typeMismatch();
  return std::get<double>(v.value_);
}
bool Variant::boolean() const {
  const Variant& v = deref();
  if (v.type_ != vt::Bool) typeMismatch();
  return std::get<int16_t>(v.value_) != 0;
}
int32_t Variant::scode() const {
  const Variant& v = deref();
  if (v.type_ != vt::Error) typeMismatch();
  return std::get<int32_t>(v.value_);
}
const std::string& Variant::bstr() const {
  const Variant& v = deref();
  if (v.type_ != vt::Bstr) typeMismatch();
  return std::get<std::string>(v.value_);
}
const DispatchPtr& Variant::object() const {
  const Variant& v = deref();
  if (v.type_ != vt::Dispatch) typeMismatch();
  return std::get<DispatchPtr>(v.value_);
}
const SafeArray& Variant::array() const {
  const Variant& v = deref();
  if (!(v.type_ & vt::Array)) typeMismatch();
  return *std::get<std::unique_ptr<SafeArray>>(v.value_);
}
SafeArray& Variant::array() {
  Variant& v = deref();
  if (!(v.type_ & vt::Array)) typeMismatch();
  return *std::get<std::unique_ptr<SafeArray>>(v.value_);
}

std::string Variant::toString() const {
  const Variant& v = deref();
  switch (v.type_) {
    case vt::Empty:
      return {};
    case vt::I2:
      return std::to_string(std::get<int16_t>(v.value_));
    case vt::I4:
      return std::to_string(std::get<int32_t>(v.value_));
    case vt::R4:
      return formatReal(std::get<float>(v.value_), 7);
    case vt::R8:
      return formatReal(std::get<double>(v.value_), 15);
    case vt::Bstr:
      return std::get<std::string>(v.value_);
    case vt::Bool:
      return std::get<int16_t>(v.value_) ? "True" : "False";
    default:
      typeMismatch();
  }
}

bool Variant::toBool() const {
  const Variant& v = deref();
  switch (v.type_) {
    case vt::Empty:
      return false;
    case vt::Bool:
      return std::get<int16_t>(v.value_) != 0;
    case vt::Bstr: {
      std::string t = trim(std::get<std::string>(v.value_));
      if (iequals(t, "true")) return true;
      if (iequals(t, "false")) return false;
      double d;
      if (!parseNumber(t, d)) typeMismatch();
      return d != 0;
    }
    case vt::I2:
    case vt::I4:
    case vt::R4:
    case vt::R8:
      return v.toDouble() != 0;
    default:
      typeMismatch();
  }
}

double Variant::toDouble() const {
  const Variant& v = deref();
  switch (v.type_) {
    case vt::Empty:
      return 0;
    case vt::I2:
      return std::get<int16_t>(v.value_);
    case vt::I4:
      return std::get<int32_t>(v.value_);
    case vt::R4:
      return std::get<float>(v.value_);
    case vt::R8:
      return std::get<double>(v.value_);
    case vt::Bool:
      return std::get<int16_t>(v.value_) ? -1 : 0;
    case vt::Bstr: {
      double d;
      if (!parseNumber(std::get<std::string>(v.value_), d)) typeMismatch();
      return d;
    }
    default:
      typeMismatch();
  }
}

int16_t Variant::toI2() const {
  return toInteger<int16_t>(toDouble());
}
int32_t Variant::toI4() const {
  return toInteger<int32_t>(toDouble());
}

DispatchPtr Variant::toObject() const {
  const Variant& v = deref();
  if (v.type_ != vt::Dispatch) typeMismatch();
  return std::get<DispatchPtr>(v.value_);
}

bool operator==(const Variant& a, const Variant& b) {
  const Variant& x = a.deref();
  const Variant& y = b.deref();
  if (x.type_ != y.type_) return false;
  if (x.type_ & vt::Array) {
    const SafeArray& p = x.array();
    const SafeArray& q = y.array();
    if (p.dims() != q.dims()) return false;
    for (int d = 1; d <= p.dims(); ++d) {
      if (p.lbound(d) != q.lbound(d) || p.ubound(d) != q.ubound(d)) return false;
    }
    return p.elements() == q.elements();
  }
  return x.value_ == y.value_;
}

std::string Variant::debugString() const {
  if (isByRef()) return "ByRef " + deref().debugString();
  switch (type_) {
    case vt::Empty:
      return "Empty";
    case vt::Null:
      return "Null";
    case vt::Error: {
      char buf[32];
      std::snprintf(buf, sizeof buf, "Error(0x%08X)", static_cast<uint32_t>(scode()));
      return buf;
    }
    case vt::Dispatch:
      return object() ? "Object" : "Nothing";
    case vt::Bstr:
      return "Bstr(\"" + bstr() + "\")";
    default:
      break;
  }
  if (type_ & vt::Array) {
    const SafeArray& arr = array();
    std::string s = varTypeName(type_) + "(";
    for (int d = 1; d <= arr.dims(); ++d) {
      if (d > 1) s += ", ";
      s += std::to_string(arr.lbound(d)) + " To " + std::to_string(arr.ubound(d));
    }
    s += ")[";
    for (size_t i = 0; i < arr.elements().size(); ++i) {
      if (i) s += ", ";
      s += arr.elements()[i].debugString();
    }
    return s + "]";
  }
  return varTypeName(type_) + "(" + toString() + ")";
}

SafeArray::SafeArray(VarType elementType, std::vector<ArrayBound> bounds)
    : elementType_(elementType), bounds_(std::move(bounds)) {
  size_t n = 1;
  for (const auto& b : bounds_) n *= b.count;
  Variant init = elementType_ == vt::Bstr ? Variant(std::string()) : Variant();
  data_.assign(bounds_.empty() ? 0 : n, init);
}

SafeArray SafeArray::of(std::vector<Variant> items, int32_t lower, VarType elementType) {
  SafeArray a(elementType, {ArrayBound{lower, static_cast<uint32_t>(items.size())}});
  for (size_t i = 0; i < items.size(); ++i) a.set(lower + static_cast<int32_t>(i), items[i]);
  return a;
}

int32_t SafeArray::lbound(int dim) const {
  if (dim < 1 || dim > dims()) raiseRuntime(rt::SubscriptOutOfRange);
  return bounds_[dim - 1].lower;
}

int32_t SafeArray::ubound(int dim) const {
  if (dim < 1 || dim > dims()) raiseRuntime(rt::SubscriptOutOfRange);
  const auto& b = bounds_[dim - 1];
  return static_cast<int32_t>(static_cast<int64_t>(b.lower) + b.count - 1);
}

size_t SafeArray::offset(std::span<const int32_t> index) const {
  if (index.size() != bounds_.size()) raiseRuntime(rt::SubscriptOutOfRange);
  size_t off = 0, stride = 1;
  for (size_t d = 0; d < bounds_.size(); ++d) {
    int64_t rel = static_cast<int64_t>(index[d]) - bounds_[d].lower;
    if (rel < 0 || rel >= static_cast<int64_t>(bounds_[d].count)) {
      raiseRuntime(rt::SubscriptOutOfRange);
    }
    off += static_cast<size_t>(rel) * stride;
    stride *= bounds_[d].count;
  }
  return off;
}

const Variant& SafeArray::at(std::span<const int32_t> index) const {
  return data_[offset(index)];
}
Variant& SafeArray::at(std::span<const int32_t> index) {
  return data_[offset(index)];
}

void SafeArray::set(int32_t index, Variant value) {
  Variant& slot = at(index);
  if (elementType_ == vt::Bstr) {
    slot = Variant(value.toString());
  } else if (elementType_ == vt::Variant) {
    slot = value.deref();
  } else {
    slot = std::move(value);
  }
}

void SafeArray::redimPreserve(int32_t newUpper) {
  if (dims() != 1) raiseRuntime(rt::SubscriptOutOfRange);
  int64_t count = static_cast<int64_t>(newUpper) - bounds_[0].lower + 1;
  if (count < 0) raiseRuntime(rt::SubscriptOutOfRange);
  bounds_[0].count = static_cast<uint32_t>(count);
  Variant init = elementType_ == vt::Bstr ? Variant(std::string()) : Variant();
  data_.resize(static_cast<size_t>(count), init);
}

}  // namespace docmill
