#include "tests/support/member_args.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "automation/dispatch.h"
#include "component/type_library.h"

namespace docmill::test {

namespace {

const FuncDesc& memberNamed(std::string_view name) {
  for (const FuncDesc& func : createPdfInterface().funcs) {
    if (func.name == name && func.kind == invoke::Method) return func;
  }
  ADD_FAILURE() << "the member table has no method " << name;
  throw std::invalid_argument(std::string(name));
}

}  // namespace

Args::Args(std::string_view member,
           std::initializer_list<std::pair<std::string_view, Variant>> values)
    : member_(&memberNamed(member)) {
  for (const ParamDesc& param : member_->params) {
    values_.push_back(param.optional ? param.defaultValue : Variant());
  }
  point();
  for (const auto& [name, value] : values) (*this)[name] = value;
}

Args::Args(const Args& other) : member_(other.member_), values_(other.values_) {
  point();
}

Args& Args::operator=(const Args& other) {
  member_ = other.member_;
  values_ = other.values_;
  point();
  return *this;
}

Variant& Args::operator[](std::string_view name) {
  for (size_t i = 0; i < member_->params.size(); ++i) {
    if (member_->params[i].name == name) return values_[i];
  }
  ADD_FAILURE() << member_->name << " has no parameter " << name;
  throw std::invalid_argument(std::string(name));
}

void Args::point() {
  pointers_.clear();
  for (auto& value : values_) pointers_.push_back(&value);
}

}  // namespace docmill::test
