#include "date.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string_view>

namespace corvina {
namespace {

struct DateCase {
  std::string_view input;
  Date expected;
};

struct DateFailureCase {
  std::string_view input;
  std::string_view error;
};

constexpr std::string_view kInvalid = "input contains invalid characters";
constexpr std::string_view kPremature = "premature end of input";
constexpr std::string_view kTrailing = "trailing input";
constexpr std::string_view kOutOfRange = "input is out of range";

const DateCase kAccepted[] = {
    {"05.03.2024", {2024, 3, 5}},
    {"5.3.2024", {2024, 3, 5}},
    {" 05.03.2024", {2024, 3, 5}},
    {"05. 03.2024", {2024, 3, 5}},
    {"05.03. 2024", {2024, 3, 5}},
    {"\t05.\xC2\xA0" "03.\xE3\x80\x80" "2024", {2024, 3, 5}},  // tab, U+00A0, U+3000
    {"29.02.2024", {2024, 2, 29}},
    {"29.02.2000", {2000, 2, 29}},
    {"29.02.0", {0, 2, 29}},
    {"29.02.-4", {-4, 2, 29}},
    {"29.02.-400", {-400, 2, 29}},
    {"31.12.9999", {9999, 12, 31}},
    {"01.01.0000", {0, 1, 1}},
    {"05.03.24", {24, 3, 5}},
    {"05.03.+2024", {2024, 3, 5}},
    {"05.03.-44", {-44, 3, 5}},
    {"05.03.+0000000000000002024", {2024, 3, 5}},
    {"31.12.+262142", {262142, 12, 31}},
    {"01.01.-262143", {-262143, 1, 1}},
};

const DateFailureCase kRejected[] = {
    {"", "empty string is not a valid date"},
    {" \t\xE2\x80\xA8", "empty string is not a valid date"},
    {"29.02.2023", kOutOfRange},
    {"29.02.1900", kOutOfRange},
    {"29.02.-1", kOutOfRange},
    {"31.04.2024", kOutOfRange},
    {"32.01.2024", kOutOfRange},
    {"00.01.2024", kOutOfRange},
    {"01.00.2024", kOutOfRange},
    {"01.13.2024", kOutOfRange},
    {"32/01/2024", kOutOfRange},  // the day is checked before the "/" is reached
    {"01.13/2024", kOutOfRange},
    {"01.01.+262143", kOutOfRange},
    {"01.01.-262144", kOutOfRange},
    {"01.01.+2147483647", kOutOfRange},
    {"01.01.-2147483648", kOutOfRange},
    {"01.01.+2147483648 ", kOutOfRange},  // too large for 32 bits before the trailing space
    {"01.01.-99999999999999999999999x", kOutOfRange},
    {"05/03/2024", kInvalid},
    {"2024-03-05", kInvalid},
    {"05 .03.2024", kInvalid},
    {"05.03 .2024", kInvalid},
    {"a5.03.2024", kInvalid},
    {"05.x3.2024", kInvalid},
    {"05.03.x", kInvalid},
    {"05.03.+x", kInvalid},
    {"05.03.- 44", kInvalid},
    {"05.03.--44", kInvalid},
    {"123.01.2024", kInvalid},
    {"05.123.2024", kInvalid},
    {"05..2024", kInvalid},
    {"\xFF" "05.03.2024", kInvalid},
    {"05", kPremature},
    {"05.", kPremature},
    {"05.03", kPremature},
    {"05.03.", kPremature},
    {"05.03. ", kPremature},
    {"05.03.+", kPremature},
    {"05.03.-", kPremature},
    {"05.03.2024 ", kTrailing},
    {"05.03.20245", kTrailing},
    {"05.03.2024.", kTrailing},
    {"05.03.-2147483648 ", kTrailing},  // fits 32 bits, so the space is met first
};

TEST(date_test, accepts) {
  for (const DateCase& c : kAccepted) {
    SCOPED_TRACE(c.input);
    const auto result = parse_date(c.input);
    ASSERT_TRUE(result.ok()) << result.error();
    EXPECT_EQ(result.value(), c.expected);
  }
}

TEST(date_test, rejects) {
  for (const DateFailureCase& c : kRejected) {
    SCOPED_TRACE(c.input);
    const auto result = parse_date(c.input);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), c.error);
  }
}

TEST(date_test, optional_date_is_absent_only_when_blank) {
  for (const std::string_view blank : {"", " ", "\xC2\x85\xE2\x80\x80"}) {
    const auto result = parse_optional_date(blank);
    ASSERT_TRUE(result.ok());
    EXPECT_FALSE(result.value().has_value());
  }
  for (const DateCase& c : kAccepted) {
    SCOPED_TRACE(c.input);
    const auto result = parse_optional_date(c.input);
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result.value(), std::optional<Date>(c.expected));
  }
  for (const DateFailureCase& c : kRejected) {
    if (c.error == "empty string is not a valid date") continue;
    SCOPED_TRACE(c.input);
    const auto result = parse_optional_date(c.input);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), c.error);
  }
}

TEST(date_test, every_day_of_a_leap_cycle) {
  // 400 years hold 146097 days; counting the accepted days of each month checks the month
  // lengths and all three leap rules at once.
  int days = 0;
  char text[40];
  for (int year = 1600; year < 2000; ++year) {
    for (int month = 1; month <= 12; ++month) {
      for (int day = 1; day <= 31; ++day) {
        snprintf(text, sizeof text, "%d.%d.%d", day, month, year);
        days += parse_date(text).ok();
      }
    }
  }
  EXPECT_EQ(days, 146097);
}

struct FormatCase {
  Date date;
  std::string_view expected;
};

const FormatCase kFormats[] = {
    {{2024, 3, 5}, "2024-03-05"},
    {{900, 1, 1}, "0900-01-01"},
    {{0, 12, 31}, "0000-12-31"},
    {{9999, 12, 31}, "9999-12-31"},
    {{10000, 1, 1}, "+10000-01-01"},
    {{262142, 12, 31}, "+262142-12-31"},
    {{-1, 1, 1}, "-0001-01-01"},
    {{-44, 3, 15}, "-0044-03-15"},
    {{-262143, 1, 1}, "-262143-01-01"},
    {{INT32_MIN, 1, 1}, "-2147483648-01-01"},
    {{INT32_MAX, 1, 1}, "+2147483647-01-01"},
};

TEST(date_test, formats) {
  for (const FormatCase& c : kFormats) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(format_date(c.date).view(), c.expected);
  }
}

}  // namespace
}  // namespace corvina
