// Uint128: the unsigned 128-bit integer that amounts are computed in, on any compiler.
//
// GCC and Clang have `unsigned __int128`, MSVC has 64-bit multiply and divide intrinsics on
// x86-64, and anything else has only 64-bit words. The type keeps two 64-bit halves and lets the
// best of these do the two steps that need more than one word: the full product of two words
// and the quotient of a two-word number by one word. Building with CORVINA_PORTABLE_INT128
// defined forces the plain path everywhere, so the tests can run it on a compiler that has the
// others.
#pragma once

#include <array>
#include <bit>
#include <compare>
#include <cstdint>
#include <type_traits>

#if !defined(CORVINA_PORTABLE_INT128)
#if defined(__SIZEOF_INT128__)
#define CORVINA_INT128_NATIVE 1
#elif defined(_MSC_VER) && defined(_M_X64)
#define CORVINA_INT128_MSVC 1
#include <intrin.h>
#endif
#endif

namespace corvina {

struct WordPair {
  uint64_t low = 0;
  uint64_t high = 0;
  friend constexpr bool operator==(const WordPair&, const WordPair&) = default;
};

// The plain path, always compiled: with 32-bit halves nothing overflows a 64-bit word.
namespace uint128_plain {

constexpr WordPair multiply(uint64_t a, uint64_t b) {
  constexpr uint64_t kHalf = 0xFFFFFFFFu;
  const uint64_t a0 = a & kHalf, a1 = a >> 32;
  const uint64_t b0 = b & kHalf, b1 = b >> 32;
  const uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
  // At most 3 * (2^32 - 1): the middle column cannot overflow.
  const uint64_t middle = (p00 >> 32) + (p01 & kHalf) + (p10 & kHalf);
  return {(middle << 32) | (p00 & kHalf), p11 + (p01 >> 32) + (p10 >> 32) + (middle >> 32)};
}

// (high * 2^64 + low) / divisor, which must fit one word: high < divisor. Knuth's algorithm D on
// 32-bit digits (as in Hacker's Delight, divlu): the divisor is shifted until its top bit is set,
// so each estimated quotient digit is at most two too large.
constexpr uint64_t divide(uint64_t high, uint64_t low, uint64_t divisor, uint64_t& remainder) {
  constexpr uint64_t kBase = uint64_t{1} << 32;
  const int shift = std::countl_zero(divisor);
  divisor <<= shift;
  const uint64_t d1 = divisor >> 32, d0 = divisor & (kBase - 1);
  const uint64_t n32 = shift == 0 ? high : (high << shift) | (low >> (64 - shift));
  const uint64_t n10 = low << shift;
  const uint64_t n1 = n10 >> 32, n0 = n10 & (kBase - 1);

  uint64_t q1 = n32 / d1;
  uint64_t rest = n32 - q1 * d1;
  while (q1 >= kBase || q1 * d0 > kBase * rest + n1) {
    --q1;
    rest += d1;
    if (rest >= kBase) break;
  }
  // Wraps modulo 2^64 on purpose: the true value is below the divisor.
  const uint64_t n21 = n32 * kBase + n1 - q1 * divisor;

  uint64_t q0 = n21 / d1;
  rest = n21 - q0 * d1;
  while (q0 >= kBase || q0 * d0 > kBase * rest + n0) {
    --q0;
    rest += d1;
    if (rest >= kBase) break;
  }
  remainder = (n21 * kBase + n0 - q0 * divisor) >> shift;
  return q1 * kBase + q0;
}

}  // namespace uint128_plain

namespace uint128_detail {

constexpr WordPair multiply(uint64_t a, uint64_t b) {
#if defined(CORVINA_INT128_NATIVE)
  __extension__ typedef unsigned __int128 Native;
  const Native product = Native{a} * b;
  return {static_cast<uint64_t>(product), static_cast<uint64_t>(product >> 64)};
#elif defined(CORVINA_INT128_MSVC)
  if (!std::is_constant_evaluated()) {
    WordPair product;
    product.low = _umul128(a, b, &product.high);
    return product;
  }
  return uint128_plain::multiply(a, b);
#else
  return uint128_plain::multiply(a, b);
#endif
}

constexpr uint64_t divide(uint64_t high, uint64_t low, uint64_t divisor, uint64_t& remainder) {
#if defined(CORVINA_INT128_NATIVE)
  __extension__ typedef unsigned __int128 Native;
  const Native dividend = Native{high} << 64 | low;
  remainder = static_cast<uint64_t>(dividend % divisor);
  return static_cast<uint64_t>(dividend / divisor);
#elif defined(CORVINA_INT128_MSVC)
  if (!std::is_constant_evaluated()) return _udiv128(high, low, divisor, &remainder);
  return uint128_plain::divide(high, low, divisor, remainder);
#else
  return uint128_plain::divide(high, low, divisor, remainder);
#endif
}

}  // namespace uint128_detail

// Arithmetic is modulo 2^128, as with unsigned built-in types; division is by one word only,
// which is all decimal digits need (a larger power of ten divides in two steps).
class Uint128 {
 public:
  constexpr Uint128() = default;
  constexpr Uint128(uint64_t low) : low_(low) {}  // NOLINT: widening, like the built-in types
  static constexpr Uint128 from_halves(uint64_t high, uint64_t low) {
    Uint128 value(low);
    value.high_ = high;
    return value;
  }

  constexpr uint64_t low() const { return low_; }
  constexpr uint64_t high() const { return high_; }

  friend constexpr bool operator==(const Uint128&, const Uint128&) = default;
  friend constexpr std::strong_ordering operator<=>(const Uint128& a, const Uint128& b) {
    if (a.high_ != b.high_) return a.high_ <=> b.high_;
    return a.low_ <=> b.low_;
  }

  friend constexpr Uint128 operator+(const Uint128& a, const Uint128& b) {
    const uint64_t low = a.low_ + b.low_;
    return from_halves(a.high_ + b.high_ + (low < a.low_), low);
  }
  friend constexpr Uint128 operator-(const Uint128& a, const Uint128& b) {
    return from_halves(a.high_ - b.high_ - (a.low_ < b.low_), a.low_ - b.low_);
  }
  // The low 128 bits of the product.
  friend constexpr Uint128 operator*(const Uint128& a, const Uint128& b) {
    const WordPair low = uint128_detail::multiply(a.low_, b.low_);
    return from_halves(low.high + a.low_ * b.high_ + a.high_ * b.low_, low.low);
  }

  // Quotient and remainder by a nonzero word.
  struct DivMod;
  constexpr DivMod divmod(uint64_t divisor) const;

  constexpr Uint128& operator+=(const Uint128& other) { return *this = *this + other; }
  constexpr Uint128& operator*=(const Uint128& other) { return *this = *this * other; }
  constexpr Uint128& operator++() { return *this = *this + 1; }

 private:
  uint64_t low_ = 0;
  uint64_t high_ = 0;
};

struct Uint128::DivMod {
  Uint128 quotient;
  uint64_t remainder = 0;
};

constexpr Uint128::DivMod Uint128::divmod(uint64_t divisor) const {
#if defined(CORVINA_INT128_NATIVE)
  __extension__ typedef unsigned __int128 Native;
  const Native dividend = Native{high_} << 64 | low_;
  const Native quotient = dividend / divisor;
  return {from_halves(static_cast<uint64_t>(quotient >> 64), static_cast<uint64_t>(quotient)),
          static_cast<uint64_t>(dividend - quotient * divisor)};
#else
  // The high word alone first, so that the two-word step has its quotient fit one word.
  const uint64_t top = high_ / divisor;
  uint64_t remainder = 0;
  const uint64_t bottom = uint128_detail::divide(high_ % divisor, low_, divisor, remainder);
  return {from_halves(top, bottom), remainder};
#endif
}

// 10^0 to 10^38, every power of ten that 128 bits hold: the decimal scales of amounts and of
// Arrow's 128-bit decimals.
inline constexpr auto kPowersOf10 = [] {
  std::array<Uint128, 39> table{};
  table[0] = 1;
  for (std::size_t i = 1; i < table.size(); ++i) table[i] = table[i - 1] * 10;
  return table;
}();

}  // namespace corvina
