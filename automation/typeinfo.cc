#include "automation/typeinfo.h"

#include <cctype>
#include <cstdio>

#include "automation/dispatch.h"

namespace docmill {

Variant& MemberArguments::operator[](std::string_view name) const {
  for (size_t i = 0; i < member_.params.size(); ++i) {
    if (member_.params[i].name == name) return at(i);
  }
  raise(Error{hr::E_FAIL, member_.name, member_.name + " has no parameter " + std::string(name)});
}

Variant& MemberArguments::at(size_t index) const {
  if (index >= args_.size() || args_[index] == nullptr) {
    raise(Error{hr::E_FAIL, member_.name,
                member_.name + " was given no argument " + std::to_string(index)});
  }
  return *args_[index];
}

bool MemberArguments::has(std::string_view name) const {
  for (const auto& param : member_.params) {
    if (param.name == name) return true;
  }
  return false;
}

std::string Guid::toString() const {
  char buf[40];
  const auto& b = bytes;
  std::snprintf(buf, sizeof buf,
                "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", b[0],
                b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
                b[14], b[15]);
  return buf;
}

std::optional<Guid> Guid::parse(std::string_view text) {
  if (text.size() == 38 && text.front() == '{' && text.back() == '}') {
    text = text.substr(1, 36);
  }
  if (text.size() != 36) return std::nullopt;
  Guid g;
  size_t byte = 0;
  for (size_t i = 0; i < text.size();) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return std::nullopt;
      ++i;
      continue;
    }
    auto hex = [](char c) -> int {
      if (std::isdigit(static_cast<unsigned char>(c))) return c - '0';
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      return -1;
    };
    int hi = hex(text[i]), lo = hex(text[i + 1]);
    if (hi < 0 || lo < 0 || byte >= 16) return std::nullopt;
    g.bytes[byte++] = static_cast<uint8_t>(hi * 16 + lo);
    i += 2;
  }
  if (byte != 16) return std::nullopt;
  return g;
}

namespace {

std::string kindName(uint16_t kind) {
  switch (kind) {
    case invoke::PropertyGet:
      return "property get";
    case invoke::PropertyPut:
      return "property put";
    default:
      return "method";
  }
}

std::string typeName(VarType t) {
  return t == vt::Variant ? "Variant" : varTypeName(t);
}

}  // namespace

std::string describeTypeLib(const TypeLibInfo& lib) {
  std::string s = "library " + lib.name + " " + std::to_string(lib.majorVersion) + "." +
                  std::to_string(lib.minorVersion) + " " + lib.libId.toString() + " lcid " +
                  std::to_string(lib.lcid) + "\n";
  for (const auto* c : lib.classes) {
    s += "class " + c->name + " " + c->clsid.toString() + " progid " + c->progId +
         (c->defaultInterface ? " default interface " + c->defaultInterface->name : "") + "\n";
  }
  for (const auto* e : lib.enums) {
    s += "enum " + e->name + " " + e->guid.toString() + "\n";
    for (const auto& [name, value] : e->values) {
      s += "  " + name + " = " + std::to_string(value) + "\n";
    }
  }
  for (const auto* i : lib.interfaces) {
    s += "interface " + i->name + " " + i->iid.toString() + "\n";
    for (const auto& f : i->funcs) {
      char id[16];
      std::snprintf(id, sizeof id, "0x%08x", static_cast<uint32_t>(f.dispId));
      s += "  " + std::to_string(f.slot) + " " + id + " " + kindName(f.kind) + " " + f.name;
      if (f.result != vt::Empty) s += " -> " + typeName(f.result);
      s += "\n";
      for (const auto& p : f.params) {
        s += "      " + p.name + ": " + typeName(p.type) + (p.byRef ? " ByRef" : " ByVal");
        if (p.optional) {
          s += " Optional = ";
          s += p.defaultValue.isObject() ? "Nothing"
               : p.defaultValue.valueType() == vt::Bstr
                   ? "\"" + p.defaultValue.bstr() + "\""
                   : p.defaultValue.toString() + " (" + typeName(p.defaultValue.valueType()) + ")";
        }
        s += "\n";
      }
    }
  }
  return s;
}

}  // namespace docmill
