#include "column_values.h"

#include <array>

#include "uint128.h"

namespace corvina {
namespace {

constexpr Uint128 kMaxDecimal128 = [] {
  Uint128 limit = 1;
  for (unsigned i = 0; i < kDecimal128Digits; ++i) limit *= 10;
  return limit - 1;
}();

// Scales beyond 38 cannot hold any nonzero value in 38 digits: kPowersOf10 stops there.
static_assert(kPowersOf10.size() == kDecimal128Digits + 1);

// The largest magnitude that still fits after a shift by each number of places: a division per
// value would cost more than the whole conversion.
constexpr auto kMaxBeforeShift = [] {
  std::array<Uint128, kDecimal128Digits + 1> table{};
  table[0] = kMaxDecimal128;
  // floor(floor(m / 10^(i-1)) / 10) is floor(m / 10^i): no division by a power past one word.
  for (unsigned i = 1; i <= kDecimal128Digits; ++i) table[i] = table[i - 1].divmod(10).quotient;
  return table;
}();

}  // namespace

Result<int32_t, std::string_view> days_since_epoch(Date date) {
  // The count of days of a civil date (H. Hinnant's algorithm), in 64 bits so that any int32
  // year is computed without overflow before the range is checked. Eras of 400 years start on
  // 1 March, which puts the leap day at the end of the year.
  const int64_t year = static_cast<int64_t>(date.year) - (date.month <= 2 ? 1 : 0);
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t year_of_era = year - era * 400;
  const int64_t month = date.month;
  const int64_t day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + date.day - 1;
  const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  const int64_t days = era * 146097 + day_of_era - 719468;
  if (days < INT32_MIN || days > INT32_MAX) {
    return fail(std::string_view("date out of range for date32"));
  }
  return static_cast<int32_t>(days);
}

Result<Decimal128, std::string_view> decimal128_at_scale(const Amount& amount, uint8_t scale) {
  if (scale < amount.scale) return fail(std::string_view("scale below the amount's own"));
  Uint128 magnitude = Uint128::from_halves(amount.magnitude_high, amount.magnitude_low);
  if (magnitude != 0) {
    const unsigned shift = scale - amount.scale;
    if (shift > kDecimal128Digits || magnitude > kMaxBeforeShift[shift]) {
      return fail(std::string_view("more than 38 digits"));
    }
    magnitude *= kPowersOf10[shift];
  }
  // Negation modulo 2^128 is two's complement; 38 digits stay clear of the sign bit.
  const Uint128 value = amount.negative ? Uint128{0} - magnitude : magnitude;
  return Decimal128{value.low(), value.high()};
}

}  // namespace corvina
