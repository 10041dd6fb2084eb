// Numbers the Office servers turn into the office's units: what reaches the office is the
// number the caller wrote, whatever its precision.
#include <gtest/gtest.h>

#include "office_server/measures.h"

namespace docmill::office_server {
namespace {

TEST(Measures, SinglePrecisionNumbersCountAsWritten) {
  EXPECT_EQ(numberAsWritten(Variant(0.1f)), 0.1);
  Variant margin(36.6f);
  EXPECT_EQ(numberAsWritten(Variant::byRef(margin)), 36.6);
  // 1.8 points are 63.5 hundredths of a millimetre: the caller's 1.8 rounds up, the float
  // nearest to it (1.79999995) would round down.
  EXPECT_EQ(pointsToHmm(numberAsWritten(Variant(1.8f))), 64);
  EXPECT_EQ(pointsToHmm(numberAsWritten(Variant(1.8))), 64);
  // Every other type as the automation rules read it.
  EXPECT_EQ(numberAsWritten(Variant(0.1)), 0.1);
  EXPECT_EQ(numberAsWritten(Variant("2.5")), 2.5);
  EXPECT_EQ(numberAsWritten(Variant(int16_t{7})), 7.0);
}

}  // namespace
}  // namespace docmill::office_server
