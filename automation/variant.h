// The automation variant: a tagged value with the OLE automation type codes.
//
// A `Variant` owns its value; arrays are copied with the variant (automation arrays are
// values). A by-reference variant points at a variant owned by someone else, as a
// by-reference argument does: the pointee must outlive it. Conversions follow the
// automation rules and throw `AutomationError` with run-time error 13 (Type mismatch) or
// 6 (Overflow) when a value does not convert.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "automation/error.h"

namespace docmill {

class IDispatch;
using DispatchPtr = std::shared_ptr<IDispatch>;

// Type codes, as in automation. VT_ARRAY and VT_BYREF are flags on the element type.
using VarType = uint16_t;
namespace vt {
inline constexpr VarType Empty = 0;
inline constexpr VarType Null = 1;
inline constexpr VarType I2 = 2;
inline constexpr VarType I4 = 3;
inline constexpr VarType R4 = 4;
inline constexpr VarType R8 = 5;
inline constexpr VarType Bstr = 8;
inline constexpr VarType Dispatch = 9;
inline constexpr VarType Error = 10;
inline constexpr VarType Bool = 11;
inline constexpr VarType Variant = 12;
inline constexpr VarType Array = 0x2000;
inline constexpr VarType ByRef = 0x4000;
}  // namespace vt

// Name of a type code for messages and listings ("I2", "Array of Variant", ...).
std::string varTypeName(VarType type);

class SafeArray;

class Variant {
 public:
  Variant() = default;  // Empty
  Variant(const Variant& other);
  Variant(Variant&& other) noexcept = default;
  Variant& operator=(const Variant& other);
  Variant& operator=(Variant&& other) noexcept = default;
  ~Variant();

  // Implicit construction from the common C++ types keeps call sites short.
  Variant(int16_t v) : type_(vt::I2), value_(v) {}
  Variant(int32_t v) : type_(vt::I4), value_(v) {}
  Variant(float v) : type_(vt::R4), value_(v) {}
  Variant(double v) : type_(vt::R8), value_(v) {}
  Variant(bool v) : type_(vt::Bool), value_(static_cast<int16_t>(v ? -1 : 0)) {}
  Variant(const char* v) : type_(vt::Bstr), value_(std::string(v)) {}
  Variant(std::nullptr_t) = delete;
  Variant(std::string v) : type_(vt::Bstr), value_(std::move(v)) {}
  Variant(std::string_view v) : type_(vt::Bstr), value_(std::string(v)) {}
  Variant(DispatchPtr object);  // a null pointer is Nothing
  Variant(SafeArray array);

  static Variant null();
  static Variant nothing() { return Variant(DispatchPtr{}); }
  static Variant error(int32_t scode);
  // The value automation passes for an omitted argument: Error DISP_E_PARAMNOTFOUND.
  static Variant missing() { return error(hr::DISP_E_PARAMNOTFOUND); }
  // A by-reference variant pointing at `target` (which must outlive it).
  static Variant byRef(Variant& target);

  // The full type code, flags included (Array of Variant is 0x200C, by-reference 0x400C).
  VarType type() const noexcept { return type_; }
  bool isByRef() const noexcept { return type_ == (vt::ByRef | vt::Variant); }
  // The variant itself, or the one a by-reference variant points at.
  const Variant& deref() const noexcept;
  Variant& deref() noexcept;
  // The type code of the dereferenced value.
  VarType valueType() const noexcept { return deref().type_; }

  bool isEmpty() const noexcept { return valueType() == vt::Empty; }
  bool isNull() const noexcept { return valueType() == vt::Null; }
  bool isMissing() const noexcept;
  bool isArray() const noexcept { return (valueType() & vt::Array) != 0; }
  bool isObject() const noexcept { return valueType() == vt::Dispatch; }
  bool isNumeric() const noexcept;

  // Raw access to the stored value; the type must match exactly (no conversion).
  int16_t i2() const;
  int32_t i4() const;
  float r4() const;
  double r8() const;
  bool boolean() const;
  int32_t scode() const;
  const std::string& bstr() const;
  const DispatchPtr& object() const;
  const SafeArray& array() const;
  SafeArray& array();

  // Conversions by the automation rules (Null does not convert: Type mismatch).
  std::string toString() const;
  bool toBool() const;
  // A flag where Null counts as False.
  bool toBoolNullFalse() const { return isNull() ? false : toBool(); }
  int16_t toI2() const;  // round half to even, Overflow outside -32768..32767
  int32_t toI4() const;
  double toDouble() const;
  DispatchPtr toObject() const;  // Nothing is allowed; a non-object is Type mismatch
  // The text this value contributes to a string concatenation: Null gives "".
  std::string concatText() const { return isNull() ? std::string() : toString(); }

  // Same type (after dereferencing) and equal value; arrays compare element-wise.
  friend bool operator==(const Variant& a, const Variant& b);

  // A short readable form for listings and test messages: I2(5), Bstr("x"), Null, ...
  std::string debugString() const;

 private:
  using Storage = std::variant<std::monostate, int16_t, int32_t, float, double, std::string,
                               DispatchPtr, std::unique_ptr<SafeArray>, Variant*>;
  VarType type_ = vt::Empty;
  Storage value_;
};

struct ArrayBound {
  int32_t lower = 0;
  uint32_t count = 0;
};

// A multi-dimensional automation array. Elements are stored as variants in column-major
// order (the first index varies fastest, as automation stores them). `elementType` is
// vt::Variant or a scalar type code such as vt::Bstr. Only a vt::Bstr array converts what
// is stored into it (to text); an array of another scalar type keeps each value as given.
class SafeArray {
 public:
  SafeArray() = default;
  SafeArray(VarType elementType, std::vector<ArrayBound> bounds);
  // A one-dimensional array holding `items`, indices from `lower`.
  static SafeArray of(std::vector<Variant> items, int32_t lower = 0,
                      VarType elementType = vt::Variant);

  VarType elementType() const noexcept { return elementType_; }
  int dims() const noexcept { return static_cast<int>(bounds_.size()); }
  // Bounds of dimension `dim` (1-based); a dimension that does not exist raises
  // Subscript out of range.
  int32_t lbound(int dim = 1) const;
  int32_t ubound(int dim = 1) const;
  size_t size() const noexcept { return data_.size(); }

  // Element access; an index outside the bounds raises Subscript out of range.
  const Variant& at(std::span<const int32_t> index) const;
  Variant& at(std::span<const int32_t> index);
  const Variant& at(int32_t index) const { return at(std::span<const int32_t>(&index, 1)); }
  Variant& at(int32_t index) { return at(std::span<const int32_t>(&index, 1)); }
  void set(int32_t index, Variant value);

  // ReDim Preserve of the last dimension of a one-dimensional array.
  void redimPreserve(int32_t newUpper);

  const std::vector<Variant>& elements() const noexcept { return data_; }
  const std::vector<ArrayBound>& bounds() const noexcept { return bounds_; }

 private:
  size_t offset(std::span<const int32_t> index) const;
  VarType elementType_ = vt::Variant;
  std::vector<ArrayBound> bounds_;
  std::vector<Variant> data_;
};

// Prints debugString(); lets test frameworks show variants.
std::ostream& operator<<(std::ostream& out, const Variant& v);

// Round half to even, the rule of automation's integer conversions.
double roundHalfEven(double value);

}  // namespace docmill
