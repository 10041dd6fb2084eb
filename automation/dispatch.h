// Late-bound dispatch: the interface every automation object offers, and the two ways
// our objects implement it.
//
// `IDispatch` resolves names to dispatch identifiers and invokes members with positional
// and named arguments. Failures are thrown as `AutomationError`: a dispatch-layer code
// (unknown name, bad parameter count, type mismatch, ...) or DISP_E_EXCEPTION carrying the
// member's own error record. Objects are shared: whoever holds a `DispatchPtr` keeps the
// object alive.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "automation/typeinfo.h"
#include "automation/variant.h"

namespace docmill {

using DispId = int32_t;
inline constexpr DispId DISPID_UNKNOWN = -1;
inline constexpr DispId DISPID_VALUE = 0;
inline constexpr DispId DISPID_PROPERTYPUT = -3;

// Invocation kinds; a caller that does not know whether a name is a method or a property
// passes Method | PropertyGet, as script hosts do.
namespace invoke {
inline constexpr uint16_t Method = 1;
inline constexpr uint16_t PropertyGet = 2;
inline constexpr uint16_t PropertyPut = 4;
}  // namespace invoke

// Arguments of one invocation. Positional arguments are in call order (first argument
// first). For a property put, the new value is the named argument DISPID_PROPERTYPUT.
struct DispParams {
  std::vector<Variant> args;
  std::vector<std::pair<DispId, Variant>> named;
};

class IDispatch : public std::enable_shared_from_this<IDispatch> {
 public:
  virtual ~IDispatch() = default;
  // names[0] is a member name, the others are names of its parameters; the result holds
  // one identifier per name. An unknown member name raises DISP_E_UNKNOWNNAME.
  virtual std::vector<DispId> getIDsOfNames(std::span<const std::string> names) = 0;
  virtual Variant invoke(DispId member, uint16_t flags, DispParams& params) = 0;
  // The object's type information, if it has any.
  virtual const InterfaceInfo* typeInfo() const { return nullptr; }
};

// Case-insensitive comparison of member and parameter names (ASCII letters).
bool namesEqual(std::string_view a, std::string_view b);

// The entry of `info` that an invocation of `member` with `flags` runs (a put for
// PropertyPut; a method before a property get when both are asked for), or nullptr.
const FuncDesc* findMember(const InterfaceInfo& info, DispId member, uint16_t flags);

// An object described by a member table (`InterfaceInfo`). Names resolve against the
// table case-insensitively; arguments are bound to the parameters (positional, then
// named), omitted optional parameters take their defaults, by-value typed parameters are
// converted, by-reference parameters refer to the caller's variant when it passed one by
// reference. The implementation then sees exactly one variant per parameter.
//
// Threads: a TableDispatch holds nothing but its constant table and takes no lock; calls on
// several threads reach `invokeMember` at once, and an implementation with state of its own
// guards it itself.
class TableDispatch : public IDispatch {
 public:
  explicit TableDispatch(const InterfaceInfo& info) : info_(info) {}
  std::vector<DispId> getIDsOfNames(std::span<const std::string> names) override;
  Variant invoke(DispId member, uint16_t flags, DispParams& params) override;
  const InterfaceInfo* typeInfo() const override { return &info_; }

 protected:
  // `args` has one entry per parameter of `func`, in parameter order.
  virtual Variant invokeMember(const FuncDesc& func, std::span<Variant* const> args) = 0;

 private:
  const InterfaceInfo& info_;
};

// One call as a name-based object sees it: the member name and argument names exactly
// as the caller spelled them, and copies of the argument values (by-reference arguments
// dereferenced), so a call can be kept and inspected after it returns.
struct NamedCall {
  std::string member;
  uint16_t flags = 0;
  std::vector<Variant> args;                           // positional, in order
  std::vector<std::pair<std::string, Variant>> named;  // in the order sent
  std::optional<Variant> putValue;                     // the new value of a property put

  // The named argument `name` (compared case-insensitively), or nullptr.
  const Variant* namedArg(std::string_view name) const;
  bool isPut() const { return (flags & invoke::PropertyPut) != 0; }
};

// An object without a fixed table: every name resolves (to an identifier stable for that
// exact spelling), and each call arrives by name. Used for objects whose members are
// matched by name at run time, such as the Office application servers and recording
// doubles in tests. `invokeByName` throws AutomationError to fail.
//
// Threads: `mutex_` guards only the name table (`ids_`, `names_`); it is released before
// `invokeByName` runs, so calls on several threads run at once.
class NamedDispatch : public IDispatch {
 public:
  std::vector<DispId> getIDsOfNames(std::span<const std::string> names) override;
  Variant invoke(DispId member, uint16_t flags, DispParams& params) override;

 protected:
  virtual Variant invokeByName(NamedCall& call) = 0;

 private:
  DispId idFor(const std::string& name);
  std::mutex mutex_;
  std::map<std::string, DispId> ids_;
  std::vector<std::string> names_;
};

// A late-bound named argument: sent by name, exactly as spelled.
struct Named {
  std::string name;
  Variant value;
};

// Calls a member by name on any automation object, the way a late-bound client does.
// Failures come back as AutomationError whose error() holds the number and description
// the object reported (for DISP_E_EXCEPTION) or the dispatch-layer code. Calling on
// Nothing raises run-time error 91.
Variant callMember(const DispatchPtr& object, std::string_view member, uint16_t flags,
                   std::vector<Variant> args = {}, std::vector<Named> named = {});
inline Variant call(const DispatchPtr& object, std::string_view member,
                    std::vector<Variant> args = {}, std::vector<Named> named = {}) {
  return callMember(object, member, invoke::Method, std::move(args), std::move(named));
}
inline Variant get(const DispatchPtr& object, std::string_view member,
                   std::vector<Variant> args = {}) {
  return callMember(object, member, invoke::PropertyGet | invoke::Method, std::move(args));
}
// Gets a member that returns an object (a collection, a document, ...).
DispatchPtr getObject(const DispatchPtr& object, std::string_view member,
                      std::vector<Variant> args = {});
void put(const DispatchPtr& object, std::string_view member, Variant value,
         std::vector<Variant> args = {});

}  // namespace docmill
