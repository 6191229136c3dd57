// Calendar dates as the statement format writes them (day.month.year) and their canonical text.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "result.h"

namespace corvina {

// A day of the proleptic Gregorian calendar. Years run from kMinYear to kMaxYear and year 0
// exists, so dates far outside any bank's range still round-trip through format_date.
struct Date {
  int32_t year = 1970;
  uint8_t month = 1;  // 1..12
  uint8_t day = 1;    // 1..days in that month

  // Member order makes the defaulted comparison chronological.
  friend auto operator<=>(const Date&, const Date&) = default;
};

inline constexpr int32_t kMinYear = -262143;
inline constexpr int32_t kMaxYear = 262142;

// Reads day.month.year. Failure texts, exactly: "empty string is not a valid date" (empty or
// whitespace-only value), "input contains invalid characters", "premature end of input",
// "trailing input", "input is out of range". Allocates nothing on success.
[[nodiscard]] Result<Date, std::string_view> parse_date(std::string_view value);

// As parse_date, but an empty or whitespace-only value is an absent date, not a failure.
[[nodiscard]] Result<std::optional<Date>, std::string_view> parse_optional_date(
    std::string_view value);

// Canonical text: YYYY-MM-DD with a four-digit year for years 0..9999, otherwise a sign and at
// least four digits (+10000-01-01, -0044-03-15).
struct DateText {
  char data[17];  // "-2147483648-01-01" at the longest
  uint8_t size;
  std::string_view view() const { return {data, size}; }
};
DateText format_date(Date date);

}  // namespace corvina
