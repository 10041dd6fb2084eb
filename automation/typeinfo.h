// Type information: what a client can learn about a library, its interface, class and
// enumeration at run time, and the member table the dispatch layer binds arguments with.
//
// All of it is constant data owned by the library that describes itself; nothing here
// allocates per object or fails, except `MemberArguments` asked for a parameter its member
// does not have.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "automation/variant.h"

namespace docmill {

struct Guid {
  std::array<uint8_t, 16> bytes{};
  // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case, as registries write it.
  std::string toString() const;
  static std::optional<Guid> parse(std::string_view text);
  friend bool operator==(const Guid&, const Guid&) = default;
  friend auto operator<=>(const Guid&, const Guid&) = default;
};

struct ParamDesc {
  std::string name;
  VarType type = vt::Variant;  // vt::Variant, or a scalar type converted on the way in
  bool byRef = false;
  bool optional = false;
  Variant defaultValue;  // the stored default of an optional parameter
};

struct FuncDesc {
  int slot = 0;  // position in the interface's function table
  int32_t dispId = 0;
  std::string name;
  uint16_t kind = 1;           // invoke::Method, PropertyGet or PropertyPut
  VarType result = vt::Empty;  // vt::Empty when the member returns nothing
  std::vector<ParamDesc> params;
};

// The arguments of one call of a member, bound in member-table order, reached by the
// member's own parameter names, so that no implementation keeps a list of positions that
// could drift from the table. Borrows the member and the arguments for the call.
class MemberArguments {
 public:
  MemberArguments(const FuncDesc& member, std::span<Variant* const> args)
      : member_(member), args_(args) {}

  // The argument of the parameter `name` (exact spelling). A name the member does not have
  // (or an argument list shorter than the table) is a mistake of ours: it raises E_FAIL
  // naming the member and the parameter.
  Variant& operator[](std::string_view name) const;
  // The argument at `index` of the table; the same failure when there is none.
  Variant& at(size_t index) const;
  bool has(std::string_view name) const;

  const FuncDesc& member() const { return member_; }
  std::span<Variant* const> all() const { return args_; }

 private:
  const FuncDesc& member_;
  std::span<Variant* const> args_;
};

struct InterfaceInfo {
  Guid iid;
  std::string name;
  bool dual = true;
  bool hidden = false;
  bool nonExtensible = false;
  bool oleAutomation = true;
  std::vector<FuncDesc> funcs;
};

struct EnumInfo {
  Guid guid;
  std::string name;
  std::vector<std::pair<std::string, int32_t>> values;
};

struct CoClassInfo {
  Guid clsid;
  std::string name;
  std::string progId;
  const InterfaceInfo* defaultInterface = nullptr;
};

struct TypeLibInfo {
  Guid libId;
  std::string name;
  uint16_t majorVersion = 1;
  uint16_t minorVersion = 0;
  uint32_t lcid = 1033;
  std::vector<const CoClassInfo*> classes;
  std::vector<const InterfaceInfo*> interfaces;
  std::vector<const EnumInfo*> enums;
};

// A readable listing of a library: classes, interfaces with every member and parameter
// (kind, type, optional and default), and enumerations.
std::string describeTypeLib(const TypeLibInfo& lib);

}  // namespace docmill
