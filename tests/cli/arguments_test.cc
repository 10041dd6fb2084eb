#include <gtest/gtest.h>

#include "cli/arguments.h"

namespace docmill::cli {
namespace {

TEST(ArgumentsTest, EachValueSyntaxGivesItsVariantType) {
  EXPECT_EQ(parseValue("out.pdf"), Variant("out.pdf"));
  EXPECT_EQ(parseValue("str:null"), Variant("null"));
  EXPECT_EQ(parseValue("i2:5"), Variant(int16_t{5}));
  EXPECT_EQ(parseValue("i4:-7"), Variant(int32_t{-7}));
  EXPECT_EQ(parseValue("r4:0.5"), Variant(0.5f));
  EXPECT_EQ(parseValue("r8:72"), Variant(72.0));
  EXPECT_EQ(parseValue("bool:true"), Variant(true));
  EXPECT_EQ(parseValue("null"), Variant::null());
  EXPECT_EQ(parseValue("empty"), Variant());
  EXPECT_TRUE(parseValue("missing").isMissing());
  EXPECT_EQ(parseValue("nothing"), Variant::nothing());
  EXPECT_THROW(parseValue("i2:40000"), AutomationError);
  EXPECT_THROW(parseValue("i2:x"), AutomationError);
}

TEST(ArgumentsTest, ArraysKeepTheirLowerBoundAndTypedElements) {
  Variant a = parseValue("array@1:Sheet1,i2:2,a\\,b");
  ASSERT_TRUE(a.isArray());
  EXPECT_EQ(a.array().lbound(), 1);
  EXPECT_EQ(a.array().ubound(), 3);
  EXPECT_EQ(a.array().at(1), Variant("Sheet1"));
  EXPECT_EQ(a.array().at(2), Variant(int16_t{2}));
  EXPECT_EQ(a.array().at(3), Variant("a,b"));
  EXPECT_EQ(parseValue("array:").array().ubound(), -1);
}

}  // namespace
}  // namespace docmill::cli
