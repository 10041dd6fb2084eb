// Word's page-list notation as the office's page range.
#include <gtest/gtest.h>

#include "office_server/print_settings.h"

namespace docmill::office_server {
namespace {

TEST(PageList, WordNotationBecomesTheOfficeRange) {
  EXPECT_EQ(pageRangeFromList("2-4,7"), "2-4;7");
  EXPECT_EQ(pageRangeFromList(" 2 - 3 "), "2-3");
  EXPECT_EQ(pageRangeFromList("3-"), "3-");
  EXPECT_EQ(pageRangeFromList("-2"), "1-2");
  EXPECT_EQ(pageRangeFromList("1;5"), "1;5");
  EXPECT_EQ(pageRangeFromList("2-2"), "2-2");  // one page as a range
  EXPECT_EQ(pageRangeFromList("2147483647"), "2147483647");
}

TEST(PageList, NonsenseIsRejected) {
  // Numbers beyond any page count are as wrong as letters (and must not escape as an
  // exception of the number parser).
  for (const char* bad : {"", "  ", "3-1", "a", "0", "1,,2", "1-2-3", "-", "2,x", "-0",
                          "99999999999999999999", "2-99999999999999999999", "2147483648-"}) {
    EXPECT_EQ(pageRangeFromList(bad), std::nullopt) << bad;
  }
}

}  // namespace
}  // namespace docmill::office_server
