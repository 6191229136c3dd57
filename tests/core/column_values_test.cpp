#include "column_values.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>

#include "amount.h"
#include "date.h"

namespace corvina {
namespace {

struct DayCase {
  Date date;
  int64_t days;  // int64 so that the out-of-range rows can name the day they would be
};

// Around the epoch, leap days of every rule, year 0 and the ends of the parser's year range.
const DayCase kDays[] = {
    {{1970, 1, 1}, 0},
    {{1969, 12, 31}, -1},
    {{2000, 2, 29}, 11016},
    {{2000, 3, 1}, 11017},
    {{2024, 3, 5}, 19787},
    {{1900, 3, 1}, -25508},
    {{0, 1, 1}, -719528},
    {{-1, 12, 31}, -719529},
    {{-4, 2, 29}, -720930},
    {{kMaxYear, 12, 31}, 95026236},
    {{kMinYear, 1, 1}, -96465292},
};

TEST(column_values_test, day_numbers) {
  for (const DayCase& c : kDays) {
    auto days = days_since_epoch(c.date);
    ASSERT_TRUE(days.ok()) << c.date.year << "-" << int{c.date.month} << "-" << int{c.date.day};
    EXPECT_EQ(days.value(), c.days) << c.date.year;
  }
}

TEST(column_values_test, day_numbers_beyond_int32) {
  for (Date date : {Date{INT32_MAX, 12, 31}, Date{INT32_MIN, 1, 1}, Date{5881581, 1, 1}}) {
    auto days = days_since_epoch(date);
    ASSERT_FALSE(days.ok()) << date.year;
    EXPECT_EQ(days.error(), "date out of range for date32");
  }
  EXPECT_TRUE(days_since_epoch({5881580, 7, 11}).ok());  // the last day of int32
}

Amount amount_of(std::string_view text) { return parse_amount(text).value(); }

struct DecimalCase {
  std::string_view amount;
  uint8_t scale;
  Decimal128 expected;
};

constexpr uint64_t kAllOnes = UINT64_MAX;

const DecimalCase kDecimals[] = {
    {"100.5", 2, {10050, 0}},
    {"100.50", 2, {10050, 0}},
    {"700", 2, {70000, 0}},
    {"-1", 2, {kAllOnes - 99, kAllOnes}},
    {"-0.00", 2, {0, 0}},
    {"0.0000000001", 10, {1, 0}},
    // 2^96 - 1, the largest magnitude, gains nine digits: 38 in all.
    {"79228162514264337593543950335", 9, {0xffffffffc4653600, 0x3b9ac9ffffffffff}},
    {"-79228162514264337593543950335", 9, {0x3b9aca00, 0xc465360000000000}},
    // Ten digits at the largest scale: 38 digits.
    {"9999999999", 28, {0xcb651fdef0000000, 0x4b3b4ca83a36f61b}},
};

TEST(column_values_test, decimals) {
  for (const DecimalCase& c : kDecimals) {
    auto value = decimal128_at_scale(amount_of(c.amount), c.scale);
    ASSERT_TRUE(value.ok()) << c.amount;
    EXPECT_EQ(value.value(), c.expected) << c.amount;
  }
}

struct DecimalFailureCase {
  std::string_view amount;
  uint8_t scale;
  std::string_view error;
};

const DecimalFailureCase kDecimalFailures[] = {
    {"79228162514264337593543950335", 10, "more than 38 digits"},
    {"-79228162514264337593543950335", 10, "more than 38 digits"},
    {"10000000000", 28, "more than 38 digits"},  // 10^38 itself
    {"1", 40, "more than 38 digits"},            // a shift past the table of powers
    {"1.005", 2, "scale below the amount's own"},
};

TEST(column_values_test, decimal_failures) {
  for (const DecimalFailureCase& c : kDecimalFailures) {
    auto value = decimal128_at_scale(amount_of(c.amount), c.scale);
    ASSERT_FALSE(value.ok()) << c.amount;
    EXPECT_EQ(value.error(), c.error) << c.amount;
  }
  // Zero fits at any scale.
  EXPECT_TRUE(decimal128_at_scale(amount_of("0"), 200).ok());
}

}  // namespace
}  // namespace corvina
