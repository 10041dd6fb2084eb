#include "automation/dispatch.h"

#include <cctype>
#include <new>

namespace docmill {

bool namesEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

std::vector<DispId> TableDispatch::getIDsOfNames(std::span<const std::string> names) {
  std::vector<DispId> ids(names.size(), DISPID_UNKNOWN);
  if (names.empty()) return ids;
  const FuncDesc* found = nullptr;
  for (const auto& f : info_.funcs) {
    if (namesEqual(f.name, names[0])) {
      // Prefer the accessor that has parameters, so parameter names resolve for either.
      if (!found || f.params.size() > found->params.size()) found = &f;
    }
  }
  if (!found) raiseDispatch(hr::DISP_E_UNKNOWNNAME);
  ids[0] = found->dispId;
  bool unknown = false;
  for (size_t n = 1; n < names.size(); ++n) {
    for (size_t p = 0; p < found->params.size(); ++p) {
      if (namesEqual(found->params[p].name, names[n])) ids[n] = static_cast<DispId>(p);
    }
    if (ids[n] == DISPID_UNKNOWN) unknown = true;
  }
  if (unknown) raiseDispatch(hr::DISP_E_UNKNOWNNAME);
  return ids;
}

const FuncDesc* findMember(const InterfaceInfo& info, DispId member, uint16_t flags) {
  const FuncDesc* get = nullptr;
  const FuncDesc* put = nullptr;
  const FuncDesc* method = nullptr;
  for (const auto& f : info.funcs) {
    if (f.dispId != member) continue;
    if (f.kind == invoke::PropertyGet) get = &f;
    if (f.kind == invoke::PropertyPut) put = &f;
    if (f.kind == invoke::Method) method = &f;
  }
  if (flags & invoke::PropertyPut) return put;
  if ((flags & invoke::Method) && method) return method;
  if (flags & invoke::PropertyGet) return get ? get : method;
  return nullptr;
}

namespace {

// Converts a by-value typed argument; failures are dispatch-layer errors.
Variant coerce(const Variant& value, VarType type) {
  try {
    switch (type) {
      case vt::I2:
        return Variant(value.toI2());
      case vt::I4:
        return Variant(value.toI4());
      case vt::R8:
        return Variant(value.toDouble());
      case vt::Bool:
        return Variant(value.toBool());
      case vt::Bstr:
        return Variant(value.toString());
      default:
        return value.deref();
    }
  } catch (const AutomationError& e) {
    raiseDispatch(e.error().number == rt::Overflow ? hr::DISP_E_OVERFLOW : hr::DISP_E_TYPEMISMATCH);
  }
}

}  // namespace

Variant TableDispatch::invoke(DispId member, uint16_t flags, DispParams& params) {
  const FuncDesc* func = findMember(info_, member, flags);
  if (!func) raiseDispatch(hr::DISP_E_MEMBERNOTFOUND);
  const size_t n = func->params.size();

  std::vector<Variant*> bound(n, nullptr);
  std::vector<Variant> positional;
  positional.reserve(params.args.size() + 1);
  for (auto& a : params.args) positional.push_back(Variant::byRef(a));
  std::vector<std::pair<DispId, Variant*>> named;
  for (auto& [id, v] : params.named) {
    if (id == DISPID_PROPERTYPUT && func->kind == invoke::PropertyPut) {
      positional.push_back(Variant::byRef(v));
    } else {
      named.emplace_back(id, &v);
    }
  }
  if (positional.size() > n) raiseDispatch(hr::DISP_E_BADPARAMCOUNT);
  for (size_t i = 0; i < positional.size(); ++i) bound[i] = &positional[i].deref();
  for (auto& [id, v] : named) {
    if (id < 0 || static_cast<size_t>(id) >= n) raiseDispatch(hr::DISP_E_PARAMNOTFOUND);
    if (bound[id]) raiseDispatch(hr::DISP_E_BADPARAMCOUNT);
    bound[id] = &v->deref();
  }

  std::vector<Variant> locals(n);
  std::vector<Variant*> args(n, nullptr);
  for (size_t i = 0; i < n; ++i) {
    const ParamDesc& p = func->params[i];
    Variant* src = bound[i];
    if (!src || src->isMissing()) {
      if (!p.optional) raiseDispatch(hr::DISP_E_PARAMNOTOPTIONAL);
      locals[i] = p.defaultValue;
      args[i] = &locals[i];
    } else if (p.type == vt::Variant && p.byRef) {
      args[i] = src;  // the caller's own variant, or the argument slot for a value
    } else {
      locals[i] = coerce(*src, p.type);
      args[i] = &locals[i];
    }
  }

  try {
    Variant result = invokeMember(*func, args);
    return func->result == vt::Empty ? Variant() : result;
  } catch (const AutomationError& e) {
    throw AutomationError(e.error(), hr::DISP_E_EXCEPTION);
  } catch (const std::bad_alloc&) {
    throw AutomationError(Error{static_cast<int32_t>(0x8007000E), "docmill", "Out of memory"});
  } catch (const std::exception& e) {
    throw AutomationError(Error{hr::E_FAIL, "docmill", e.what()});
  }
}

const Variant* NamedCall::namedArg(std::string_view name) const {
  for (const auto& [n, v] : named) {
    if (namesEqual(n, name)) return &v;
  }
  return nullptr;
}

DispId NamedDispatch::idFor(const std::string& name) {
  std::lock_guard lock(mutex_);
  auto it = ids_.find(name);
  if (it != ids_.end()) return it->second;
  names_.push_back(name);
  DispId id = static_cast<DispId>(names_.size());
  ids_.emplace(name, id);
  return id;
}

std::vector<DispId> NamedDispatch::getIDsOfNames(std::span<const std::string> names) {
  std::vector<DispId> ids;
  ids.reserve(names.size());
  for (const auto& n : names) ids.push_back(idFor(n));
  return ids;
}

Variant NamedDispatch::invoke(DispId member, uint16_t flags, DispParams& params) {
  auto nameOf = [this](DispId id) -> std::string {
    std::lock_guard lock(mutex_);
    if (id < 1 || static_cast<size_t>(id) > names_.size()) raiseDispatch(hr::DISP_E_MEMBERNOTFOUND);
    return names_[id - 1];
  };
  NamedCall call;
  call.member = nameOf(member);
  call.flags = flags;
  for (auto& a : params.args) call.args.push_back(a.deref());
  for (auto& [id, v] : params.named) {
    if (id == DISPID_PROPERTYPUT) {
      call.putValue = v.deref();
    } else {
      call.named.emplace_back(nameOf(id), v.deref());
    }
  }
  if ((flags & invoke::PropertyPut) && !call.putValue) {
    if (call.args.empty()) raiseDispatch(hr::DISP_E_BADPARAMCOUNT);
    call.putValue = call.args.back();
    call.args.pop_back();
  }
  try {
    return invokeByName(call);
  } catch (const AutomationError& e) {
    if (e.hresult() != hr::DISP_E_EXCEPTION) throw;
    throw AutomationError(e.error(), hr::DISP_E_EXCEPTION);
  } catch (const std::exception& e) {
    throw AutomationError(Error{hr::E_FAIL, "docmill", e.what()});
  }
}

Variant callMember(const DispatchPtr& object, std::string_view member, uint16_t flags,
                   std::vector<Variant> args, std::vector<Named> named) {
  if (!object) raiseRuntime(rt::ObjectNotSet);
  std::vector<std::string> names;
  names.reserve(named.size() + 1);
  names.emplace_back(member);
  for (const auto& n : named) names.push_back(n.name);
  std::vector<DispId> ids = object->getIDsOfNames(names);
  DispParams params;
  params.args = std::move(args);
  for (size_t i = 0; i < named.size(); ++i) {
    params.named.emplace_back(ids[i + 1], std::move(named[i].value));
  }
  return object->invoke(ids[0], flags, params);
}

DispatchPtr getObject(const DispatchPtr& object, std::string_view member,
                      std::vector<Variant> args) {
  Variant v = get(object, member, std::move(args));
  if (!v.isObject()) raiseRuntime(rt::TypeMismatch);
  return v.object();
}

void put(const DispatchPtr& object, std::string_view member, Variant value,
         std::vector<Variant> args) {
  if (!object) raiseRuntime(rt::ObjectNotSet);
  std::string name(member);
  std::vector<DispId> ids = object->getIDsOfNames(std::span<const std::string>(&name, 1));
  DispParams params;
  params.args = std::move(args);
  params.named.emplace_back(DISPID_PROPERTYPUT, std::move(value));
  object->invoke(ids[0], invoke::PropertyPut, params);
}

}  // namespace docmill
