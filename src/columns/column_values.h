// Dates and amounts in the fixed-width encodings of a columnar table: a day number and a
// 128-bit decimal at the column's scale.
//
// A column has one scale for all its rows, so an amount may have to gain digits to join it; and
// a table has narrower ranges than the records. Both conversions therefore can fail, and a
// failure is reported rather than a wrapped or truncated value written.
#pragma once

#include <cstdint>
#include <string_view>

#include "amount.h"
#include "date.h"
#include "result.h"

namespace corvina {

// Days since 1970-01-01 in the proleptic Gregorian calendar (negative before it), as a signed
// 32-bit day number. Every date parse_date accepts fits; a date built by hand with a year far
// outside kMinYear..kMaxYear may not. Failure text: "date out of range for date32".
[[nodiscard]] Result<int32_t, std::string_view> days_since_epoch(Date date);

// A signed 128-bit integer in two's complement, as two little-endian 64-bit words: the layout of
// one value of a decimal128 column.
struct Decimal128 {
  uint64_t low = 0;
  uint64_t high = 0;
  friend bool operator==(const Decimal128&, const Decimal128&) = default;
};

inline constexpr unsigned kDecimal128Digits = 38;

// The amount as an integer count of 10^-scale, with at most 38 digits. Failure texts, exactly:
// "scale below the amount's own" (scale < amount.scale: digits would be lost) and "more than 38
// digits" (the value times 10^(scale - amount.scale) does not fit the column's precision).
[[nodiscard]] Result<Decimal128, std::string_view> decimal128_at_scale(const Amount& amount,
                                                                       uint8_t scale);

}  // namespace corvina
