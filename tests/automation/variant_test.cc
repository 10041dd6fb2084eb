#include <gtest/gtest.h>

#include "automation/variant.h"

namespace docmill {
namespace {

int32_t runtimeNumber(const std::function<void()>& f) {
  try {
    f();
  } catch (const AutomationError& e) {
    return e.error().number;
  }
  return 0;
}

TEST(VariantTest, TypeCodesFollowAutomation) {
  EXPECT_EQ(Variant().type(), vt::Empty);
  EXPECT_EQ(Variant::null().type(), vt::Null);
  EXPECT_EQ(Variant(int16_t{1}).type(), vt::I2);
  EXPECT_EQ(Variant(1).type(), vt::I4);
  EXPECT_EQ(Variant(1.0f).type(), vt::R4);
  EXPECT_EQ(Variant(1.0).type(), vt::R8);
  EXPECT_EQ(Variant("x").type(), vt::Bstr);
  EXPECT_EQ(Variant(true).type(), vt::Bool);
  EXPECT_EQ(Variant::nothing().type(), vt::Dispatch);
  EXPECT_EQ(Variant(SafeArray::of({1, 2})).type(), vt::Array | vt::Variant);
  EXPECT_TRUE(Variant::missing().isMissing());
  EXPECT_EQ(Variant::missing().scode(), hr::DISP_E_PARAMNOTFOUND);
  // True is stored as -1, as automation does.
  EXPECT_EQ(Variant(true).toDouble(), -1);
}

TEST(VariantTest, IntegerConversionRoundsHalfToEvenAndOverflows) {
  EXPECT_EQ(Variant(2.5).toI2(), 2);
  EXPECT_EQ(Variant(3.5).toI2(), 4);
  EXPECT_EQ(Variant(-2.5).toI2(), -2);
  EXPECT_EQ(Variant("1.5").toI4(), 2);
  EXPECT_EQ(Variant(32767.4).toI2(), 32767);
  EXPECT_EQ(runtimeNumber([] { Variant(32767.5).toI2(); }), rt::Overflow);
  EXPECT_EQ(runtimeNumber([] { Variant(-32769).toI2(); }), rt::Overflow);
  EXPECT_EQ(runtimeNumber([] { Variant(3e9).toI4(); }), rt::Overflow);
  EXPECT_EQ(Variant().toI2(), 0);
  EXPECT_EQ(Variant(true).toI2(), -1);
}

TEST(VariantTest, ValuesWithoutAConversionAreTypeMismatch) {
  EXPECT_EQ(runtimeNumber([] { Variant::null().toString(); }), rt::TypeMismatch);
  EXPECT_EQ(runtimeNumber([] { Variant::null().toBool(); }), rt::TypeMismatch);
  EXPECT_EQ(runtimeNumber([] { Variant("abc").toI2(); }), rt::TypeMismatch);
  EXPECT_EQ(runtimeNumber([] { Variant("").toDouble(); }), rt::TypeMismatch);
  EXPECT_EQ(runtimeNumber([] { Variant("0x10").toDouble(); }), rt::TypeMismatch);
  EXPECT_EQ(runtimeNumber([] { Variant::missing().toString(); }), rt::TypeMismatch);
  EXPECT_EQ(runtimeNumber([] { Variant(SafeArray::of({1})).toString(); }), rt::TypeMismatch);
  EXPECT_EQ(runtimeNumber([] { Variant(1).toObject(); }), rt::TypeMismatch);
  EXPECT_FALSE(Variant::null().toBoolNullFalse());
  EXPECT_EQ(Variant::null().concatText(), "");
}

TEST(VariantTest, TextAndBooleanForms) {
  EXPECT_EQ(Variant(true).toString(), "True");
  EXPECT_EQ(Variant(false).toString(), "False");
  EXPECT_EQ(Variant(0.5).toString(), "0.5");
  EXPECT_EQ(Variant(1e20).toString(), "1E+20");
  EXPECT_EQ(Variant(int16_t{-7}).toString(), "-7");
  EXPECT_TRUE(Variant(" TRUE ").toBool());
  EXPECT_FALSE(Variant("false").toBool());
  EXPECT_TRUE(Variant("2").toBool());
  EXPECT_FALSE(Variant(0.0).toBool());
  EXPECT_FALSE(Variant().toBool());
  EXPECT_EQ(Variant(" 12 ").toDouble(), 12);
}

TEST(VariantTest, ByReferenceVariantsReadAndWriteTheTarget) {
  Variant target(5);
  Variant ref = Variant::byRef(target);
  EXPECT_TRUE(ref.isByRef());
  EXPECT_EQ(ref.valueType(), vt::I4);
  EXPECT_EQ(ref.toI4(), 5);
  ref.deref() = Variant("changed");
  EXPECT_EQ(target.bstr(), "changed");
  // A reference to a reference points at the original.
  Variant ref2 = Variant::byRef(ref);
  ref2.deref() = Variant(7);
  EXPECT_EQ(target.i4(), 7);
}

TEST(VariantTest, ArraysKeepBoundsAndCopyAsValues) {
  SafeArray a = SafeArray::of({Variant("a"), Variant("b"), Variant("c")}, 1);
  EXPECT_EQ(a.lbound(), 1);
  EXPECT_EQ(a.ubound(), 3);
  EXPECT_EQ(a.at(2).bstr(), "b");
  EXPECT_EQ(runtimeNumber([&] { a.at(0); }), rt::SubscriptOutOfRange);
  EXPECT_EQ(runtimeNumber([&] { a.at(4); }), rt::SubscriptOutOfRange);
  EXPECT_EQ(runtimeNumber([&] { a.ubound(2); }), rt::SubscriptOutOfRange);

  Variant v(a);
  Variant copy = v;
  copy.array().set(1, Variant("z"));
  EXPECT_EQ(v.array().at(1).bstr(), "a");

  SafeArray empty(vt::Variant, {ArrayBound{0, 0}});
  EXPECT_EQ(empty.ubound(), -1);

  SafeArray grid(vt::Variant, {ArrayBound{0, 2}, ArrayBound{5, 3}});
  const int32_t idx[] = {1, 7};
  grid.at(idx) = Variant(9);
  EXPECT_EQ(grid.at(idx).i4(), 9);
  EXPECT_EQ(grid.lbound(2), 5);
  EXPECT_EQ(grid.ubound(2), 7);

  SafeArray strings(vt::Bstr, {ArrayBound{0, 0}});
  strings.redimPreserve(1);
  strings.set(1, Variant(42));
  EXPECT_EQ(strings.at(0).bstr(), "");
  EXPECT_EQ(strings.at(1).bstr(), "42");
}

}  // namespace
}  // namespace docmill
