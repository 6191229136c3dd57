// Exact decimal money amounts: parsing the format's numbers and their canonical text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "result.h"

namespace corvina {

// sign * magnitude / 10^scale, magnitude unsigned 96-bit, scale 0..28. The scale is kept as
// written (100.50 has scale 2 and is not the same Amount as 100.5), and a zero magnitude is never
// negative. Arithmetic is exact integer arithmetic: floating point never touches an amount.
struct Amount {
  uint64_t magnitude_low = 0;   // bits 0..63 of the magnitude
  uint32_t magnitude_high = 0;  // bits 64..95 of the magnitude
  uint8_t scale = 0;
  bool negative = false;

  // Representation equality: equal values with different scales differ.
  friend bool operator==(const Amount&, const Amount&) = default;
};

inline constexpr uint8_t kMaxScale = 28;

// Numeric equality: 100 equals 100.00.
bool amounts_equal_in_value(const Amount& a, const Amount& b);

// The amount of the same value with the fewest digits after the point (zero without a sign):
// amounts are equal in value exactly when their normalised forms are equal, so a table that
// merges amounts by value hashes this form (under its own key: see keyed_hash.h).
Amount normalise_amount(const Amount& amount);

// Reads a plain (1_000.25, .5, 5.) or scientific (1.5e3) decimal. The only failure text is
// "invalid value: string {quoted}, expected a Decimal type representing a fixed-point number"
// with the whole value in its quoted form.
[[nodiscard]] Result<Amount, std::string> parse_amount(std::string_view value);

// Canonical text: optional "-", integer part without leading zeros, and when scale > 0 a "."
// followed by exactly scale digits (trailing zeros kept).
struct AmountText {
  char data[32];
  uint8_t size;
  std::string_view view() const { return {data, size}; }
};
AmountText format_amount(const Amount& amount);

}  // namespace corvina
