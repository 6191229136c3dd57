#include "amount.h"

#include <algorithm>
#include <array>
#include <optional>

#include "quoted.h"
#include "uint128.h"

namespace corvina {
namespace {

constexpr Uint128 kMaxMagnitude = Uint128::from_halves(0xFFFFFFFFu, ~uint64_t{0});
// 2^96 / 10 rounded: what a magnitude of 2^96 - 1 becomes when rounding up carries past it.
constexpr Uint128 kCarriedMagnitude =
    Uint128{792281625142643375} * 10'000'000'000 + 9354395034;
static_assert(kCarriedMagnitude == (kMaxMagnitude + 6).divmod(10).quotient);

constexpr uint64_t kPow10_19 = 10'000'000'000'000'000'000u;

// The largest magnitude that a shift by each number of places leaves within 96 bits: a check
// before each shift instead of a division by a power of ten that may not fit one word.
constexpr auto kMaxBeforeShift = [] {
  std::array<Uint128, kMaxScale + 1> table{};
  table[0] = kMaxMagnitude;
  // floor(floor(m / 10^(i-1)) / 10) is floor(m / 10^i).
  for (unsigned i = 1; i <= kMaxScale; ++i) table[i] = table[i - 1].divmod(10).quotient;
  return table;
}();

// The largest power of ten that fits one word, so a larger one divides in two steps.
constexpr unsigned kWordPowers = 19;

// Whether magnitude is a multiple of 10^places, and the quotient when it is.
bool divide_exactly_by_power_of_10(Uint128& magnitude, unsigned places) {
  while (places > 0) {
    const unsigned step = places < kWordPowers ? places : kWordPowers;
    const auto [quotient, remainder] = magnitude.divmod(kPowersOf10[step].low());
    if (remainder != 0) return false;
    magnitude = quotient;
    places -= step;
  }
  return true;
}

struct Decimal {
  Uint128 magnitude = 0;
  unsigned scale = 0;
  bool negative = false;
};

Uint128 magnitude_of(const Amount& amount) {
  return Uint128::from_halves(amount.magnitude_high, amount.magnitude_low);
}

// Only parsing makes Amounts here, but a caller may fill one by hand: a scale past the limit is
// read as the limit rather than indexing past the tables and buffers sized for it.
unsigned scale_of(const Amount& amount) { return std::min<unsigned>(amount.scale, kMaxScale); }

Amount to_amount(const Decimal& d) {
  Amount amount;
  amount.magnitude_low = d.magnitude.low();
  amount.magnitude_high = static_cast<uint32_t>(d.magnitude.high());
  amount.scale = static_cast<uint8_t>(d.scale);
  amount.negative = d.negative && d.magnitude != 0;  // -0 is plain zero
  return amount;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::optional<Decimal> parse_plain(std::string_view text) {
  Decimal d;
  size_t pos = 0;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    d.negative = text[0] == '-';
    pos = 1;
  }
  bool seen_digit = false;
  bool seen_point = false;
  // Set once a fractional digit could not be kept: it has rounded the value, and the digits
  // after it are only checked for shape.
  bool rounded = false;
  for (; pos < text.size(); ++pos) {
    const char c = text[pos];
    if (is_digit(c)) {
      seen_digit = true;
      const unsigned digit = static_cast<unsigned>(c - '0');
      if (rounded) continue;
      const Uint128 next = d.magnitude * 10 + digit;
      if (!seen_point) {
        if (next > kMaxMagnitude) return std::nullopt;
        d.magnitude = next;
      } else if (d.scale < kMaxScale && next <= kMaxMagnitude) {
        d.magnitude = next;
        ++d.scale;
      } else {
        rounded = true;
        if (digit >= 5 && ++d.magnitude > kMaxMagnitude) {
          if (d.scale == 0) return std::nullopt;
          d.magnitude = kCarriedMagnitude;
          --d.scale;
        }
      }
    } else if (c == '_') {
      if (!seen_digit) return std::nullopt;
    } else if (c == '.') {
      if (seen_point) return std::nullopt;
      seen_point = true;
    } else {
      return std::nullopt;
    }
  }
  if (!seen_digit) return std::nullopt;
  return d;
}

std::optional<Decimal> parse_scientific(std::string_view text) {
  const size_t e = text.find_first_of("eE");
  if (e == std::string_view::npos) return std::nullopt;
  std::optional<Decimal> d = parse_plain(text.substr(0, e));
  if (!d) return std::nullopt;
  std::string_view exponent = text.substr(e + 1);
  bool negative = false;
  if (!exponent.empty() && (exponent[0] == '+' || exponent[0] == '-')) {
    negative = exponent[0] == '-';
    exponent.remove_prefix(1);
  }
  if (exponent.empty()) return std::nullopt;
  uint64_t n = 0;
  for (const char c : exponent) {
    if (!is_digit(c)) return std::nullopt;
    n = n * 10 + static_cast<unsigned>(c - '0');
    if (n > UINT32_MAX) return std::nullopt;
  }
  if (negative) {
    if (n > kMaxScale || d->scale + n > kMaxScale) return std::nullopt;
    d->scale += static_cast<unsigned>(n);
  } else if (n <= d->scale) {
    d->scale -= static_cast<unsigned>(n);
  } else {
    if (n > kMaxScale) return std::nullopt;
    // The whole number is shifted first and must fit as it stands, even though the zeros the
    // shift leaves after the point are removed again: 1.5e28 is refused although 15 * 10^27
    // would fit. Shifting more places than the scale leaves only such zeros, so scale 0 remains.
    if (d->magnitude > kMaxBeforeShift[n]) return std::nullopt;
    d->magnitude *= kPowersOf10[n - d->scale];
    d->scale = 0;
  }
  return d;
}

std::string invalid_value_message(std::string_view value) {
  std::string message = "invalid value: string ";
  append_quoted(message, value);
  message += ", expected a Decimal type representing a fixed-point number";
  return message;
}

}  // namespace

bool amounts_equal_in_value(const Amount& a, const Amount& b) {
  Uint128 low_scale = magnitude_of(a);
  Uint128 high_scale = magnitude_of(b);
  if (low_scale == 0 && high_scale == 0) return true;
  if (a.negative != b.negative) return false;
  unsigned a_scale = scale_of(a);
  unsigned b_scale = scale_of(b);
  if (a_scale > b_scale) {
    std::swap(low_scale, high_scale);
    std::swap(a_scale, b_scale);
  }
  // Scaling the smaller-scale magnitude up could need 190 bits; scaling the other down is exact
  // in 128 and equal only when nothing is lost.
  return divide_exactly_by_power_of_10(high_scale, b_scale - a_scale) && high_scale == low_scale;
}

Amount normalise_amount(const Amount& amount) {
  Uint128 magnitude = magnitude_of(amount);
  if (magnitude == 0) return Amount{};  // zero has no sign, whatever its scale
  unsigned scale = scale_of(amount);
  // Trailing zeros after the point do not change the value: 100.00 is 100.
  while (scale > 0) {
    const auto [quotient, remainder] = magnitude.divmod(10);
    if (remainder != 0) break;
    magnitude = quotient;
    --scale;
  }
  Amount normalised;
  normalised.magnitude_low = magnitude.low();
  normalised.magnitude_high = static_cast<uint32_t>(magnitude.high());
  normalised.scale = static_cast<uint8_t>(scale);
  normalised.negative = amount.negative;
  return normalised;
}

Result<Amount, std::string> parse_amount(std::string_view value) {
  std::optional<Decimal> d = parse_plain(value);
  if (!d) d = parse_scientific(value);
  if (!d) return fail(invalid_value_message(value));
  return to_amount(*d);
}

AmountText format_amount(const Amount& amount) {
  // Digits are produced least significant first into the tail of a scratch buffer, 19 at a time
  // so that only the top chunk needs 128-bit division.
  char digits[40];
  char* first = std::end(digits);
  Uint128 rest = magnitude_of(amount);
  while (rest >= kPow10_19) {
    const auto [quotient, remainder] = rest.divmod(kPow10_19);
    uint64_t chunk = remainder;
    rest = quotient;
    for (int i = 0; i < 19; ++i, chunk /= 10) *--first = static_cast<char>('0' + chunk % 10);
  }
  uint64_t top = rest.low();
  do {
    *--first = static_cast<char>('0' + top % 10);
    top /= 10;
  } while (top != 0);
  const unsigned scale = scale_of(amount);
  // At least one digit before the point: 5 at scale 3 is 0.005.
  while (static_cast<unsigned>(std::end(digits) - first) < scale + 1) *--first = '0';

  AmountText text{};
  char* out = text.data;
  if (amount.negative) *out++ = '-';
  const size_t count = static_cast<size_t>(std::end(digits) - first);
  const size_t integer_digits = count - scale;
  out = std::copy(first, first + integer_digits, out);
  if (scale > 0) {
    *out++ = '.';
    out = std::copy(first + integer_digits, std::end(digits), out);
  }
  text.size = static_cast<uint8_t>(out - text.data);
  return text;
}

}  // namespace corvina
