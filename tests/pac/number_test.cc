#include <gtest/gtest.h>

#include "pac/pac.h"

namespace kb {
namespace {

TEST(Number, ReadsLikeAtoi) {
  EXPECT_EQ(read_decimal("600000"), 600000);
  EXPECT_EQ(read_decimal(" \t\n-42x7"), -42);
  EXPECT_EQ(read_decimal("+17"), 17);
  EXPECT_EQ(read_decimal(""), 0);
  EXPECT_EQ(read_decimal("abc"), 0);
  EXPECT_EQ(read_decimal("- 5"), 0);
  EXPECT_EQ(read_decimal("007"), 7);
}

TEST(Number, Int32RangeIsExactAndNothingOverflows) {
  EXPECT_EQ(read_int32("2147483647"), 2147483647);
  EXPECT_EQ(read_int32("-2147483648"), -2147483647 - 1);
  EXPECT_FALSE(read_int32("2147483648"));
  EXPECT_FALSE(read_int32("-2147483649"));
  EXPECT_FALSE(read_int32(std::string(500, '9')));
  EXPECT_FALSE(read_int32("-" + std::string(500, '9')));
}

}  // namespace
}  // namespace kb
