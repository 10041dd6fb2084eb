// Argument lists for the members of CreatePDF, built from the member table the way the
// dispatcher binds a call: every optional parameter at its default, every required one
// Empty, with the values a test names put over them.
#pragma once

#include <initializer_list>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "automation/typeinfo.h"
#include "automation/variant.h"

namespace docmill::test {

class Args {
 public:
  // `member` as the table spells it ("CreatePSfromWord"); a member or parameter name the
  // table does not have fails the test.
  Args(std::string_view member,
       std::initializer_list<std::pair<std::string_view, Variant>> values = {});
  Args(const Args& other);
  Args& operator=(const Args& other);

  Variant& operator[](std::string_view name);
  // The bound arguments, as a converter receives them.
  MemberArguments bound() const { return MemberArguments(*member_, pointers_); }
  std::span<Variant* const> span() const { return pointers_; }

 private:
  void point();

  const FuncDesc* member_;
  std::vector<Variant> values_;
  std::vector<Variant*> pointers_;
};

}  // namespace docmill::test
