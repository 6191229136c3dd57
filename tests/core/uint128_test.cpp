#include "uint128.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace corvina {
namespace {

constexpr uint64_t kMax = ~uint64_t{0};

// Words where carries and borrows turn up: the ends, the 32-bit seam of the plain multiply, the
// top bit that the divisor is normalised to, and the powers of ten that amounts divide by.
const uint64_t kEdgeWords[] = {
    0,
    1,
    2,
    9,
    10,
    0xFFFFFFFFu,
    0x100000000u,
    0x100000001u,
    0x7FFFFFFFFFFFFFFFu,
    0x8000000000000000u,
    0x8000000000000001u,
    0xFFFFFFFF00000000u,
    0x00000000FFFFFFFFu | 0x8000000000000000u,
    10'000'000'000'000'000'000u,  // 10^19
    1'000'000'000'000'000'000u,   // 10^18
    kMax - 1,
    kMax,
};

std::vector<uint64_t> test_words() {
  std::vector<uint64_t> words(std::begin(kEdgeWords), std::end(kEdgeWords));
  std::mt19937_64 random(20240305);
  for (int i = 0; i < 40; ++i) words.push_back(random() >> (i % 64));
  return words;
}

// Independent of both paths under test: q * d + r == n with r < d, computed in halves by
// schoolbook steps that only add and multiply 32-bit pieces.
bool is_quotient(uint64_t high, uint64_t low, uint64_t divisor, uint64_t quotient,
                 uint64_t remainder) {
  if (remainder >= divisor) return false;
  const WordPair product = uint128_plain::multiply(quotient, divisor);
  const uint64_t sum_low = product.low + remainder;
  const uint64_t sum_high = product.high + (sum_low < product.low);
  return sum_low == low && sum_high == high;
}

#if defined(__SIZEOF_INT128__)
__extension__ typedef unsigned __int128 Native;
WordPair native_product(uint64_t a, uint64_t b) {
  const Native p = Native{a} * b;
  return {static_cast<uint64_t>(p), static_cast<uint64_t>(p >> 64)};
}
#endif

TEST(uint128_test, plain_multiply_at_edges) {
  const std::vector<uint64_t> words = test_words();
  for (const uint64_t a : words) {
    for (const uint64_t b : words) {
      const WordPair plain = uint128_plain::multiply(a, b);
      EXPECT_EQ(plain, uint128_detail::multiply(a, b)) << a << " * " << b;
#if defined(__SIZEOF_INT128__)
      EXPECT_EQ(plain, native_product(a, b)) << a << " * " << b;
#endif
    }
  }
  // Known answers that need no wider type: (2^64 - 1)^2 = 2^128 - 2^65 + 1.
  EXPECT_EQ(uint128_plain::multiply(kMax, kMax), (WordPair{1, kMax - 1}));
  EXPECT_EQ(uint128_plain::multiply(0x100000000u, 0x100000000u), (WordPair{0, 1}));
}

TEST(uint128_test, plain_divide_at_edges) {
  const std::vector<uint64_t> words = test_words();
  for (const uint64_t divisor : words) {
    if (divisor == 0) continue;
    for (const uint64_t high_seed : words) {
      const uint64_t high = high_seed % divisor;  // the quotient must fit one word
      for (const uint64_t low : words) {
        uint64_t plain_remainder = 0;
        const uint64_t plain = uint128_plain::divide(high, low, divisor, plain_remainder);
        EXPECT_TRUE(is_quotient(high, low, divisor, plain, plain_remainder))
            << high << ":" << low << " / " << divisor;
        uint64_t remainder = 0;
        EXPECT_EQ(uint128_detail::divide(high, low, divisor, remainder), plain);
        EXPECT_EQ(remainder, plain_remainder);
#if defined(__SIZEOF_INT128__)
        const Native n = Native{high} << 64 | low;
        EXPECT_EQ(plain, static_cast<uint64_t>(n / divisor)) << high << ":" << low;
        EXPECT_EQ(plain_remainder, static_cast<uint64_t>(n % divisor)) << high << ":" << low;
#endif
      }
    }
  }
}

// The operations amounts are made of, on whichever path this build uses, at the values where
// they carry: the 96-bit limit, the 38-digit limit of decimal128 columns, and the words' seams.
struct ArithmeticCase {
  Uint128 a;
  Uint128 b;
  Uint128 sum;
  Uint128 difference;
  Uint128 product;  // modulo 2^128
};

constexpr Uint128 kMax96 = Uint128::from_halves(0xFFFFFFFFu, kMax);
constexpr Uint128 k10e19 = Uint128{10'000'000'000'000'000'000u};

const ArithmeticCase kArithmetic[] = {
    {0, 0, 0, 0, 0},
    {kMax, 1, Uint128::from_halves(1, 0), kMax - 1, kMax},
    {Uint128::from_halves(1, 0), 1, Uint128::from_halves(1, 1), kMax, Uint128::from_halves(1, 0)},
    {kMax, kMax, Uint128::from_halves(1, kMax - 1), 0, Uint128::from_halves(kMax - 1, 1)},
    {0, 1, 1, Uint128::from_halves(kMax, kMax), 0},
    {kMax96, 10, Uint128::from_halves(0x100000000u, 9), Uint128::from_halves(0xFFFFFFFFu, kMax - 10),
     Uint128::from_halves(0x9FFFFFFFFu, kMax - 9)},
    // 10^19 * 10^19 = 10^38: the column limit is one less.
    {k10e19, k10e19, Uint128::from_halves(1, 1'553'255'926'290'448'384u), 0,
     Uint128::from_halves(0x4B3B4CA85A86C47Au, 0x098A224000000000u)},
    {Uint128::from_halves(kMax, kMax), Uint128::from_halves(kMax, kMax),
     Uint128::from_halves(kMax, kMax - 1), 0, 1},
};

TEST(uint128_test, arithmetic_carries) {
  for (const ArithmeticCase& c : kArithmetic) {
    const auto text = [](Uint128 v) {
      return std::to_string(v.high()) + ":" + std::to_string(v.low());
    };
    EXPECT_EQ(c.a + c.b, c.sum) << text(c.a) << " + " << text(c.b);
    EXPECT_EQ(c.a - c.b, c.difference) << text(c.a) << " - " << text(c.b);
    EXPECT_EQ(c.a * c.b, c.product) << text(c.a) << " * " << text(c.b);
    EXPECT_EQ(c.b * c.a, c.product) << text(c.b) << " * " << text(c.a);
  }
}

TEST(uint128_test, ordering_compares_the_high_word_first) {
  EXPECT_LT(Uint128(kMax), Uint128::from_halves(1, 0));
  EXPECT_GT(Uint128::from_halves(1, 0), Uint128(kMax));
  EXPECT_LT(Uint128::from_halves(1, 5), Uint128::from_halves(1, 6));
  EXPECT_EQ(Uint128::from_halves(2, 3), Uint128::from_halves(2, 3));
  EXPECT_NE(Uint128::from_halves(2, 3), Uint128::from_halves(3, 2));
}

TEST(uint128_test, divmod_by_powers_of_ten) {
  const Uint128 values[] = {
      0, 9, 10, kMax, kMax96, Uint128::from_halves(kMax, kMax),
      Uint128::from_halves(0x4B3B4CA85A86C47Au, 0x098A223FFFFFFFFFu),  // 10^38 - 1
      Uint128::from_halves(10'000'000'000'000'000'000u - 1, kMax),  // high just below 10^19
  };
  const uint64_t divisors[] = {1, 10, 1'000'000'000, 10'000'000'000'000'000'000u, kMax};
  for (const Uint128 value : values) {
    for (const uint64_t divisor : divisors) {
      const auto [quotient, remainder] = value.divmod(divisor);
      EXPECT_LT(remainder, divisor);
      // quotient * divisor + remainder rebuilds the value exactly.
      EXPECT_EQ(quotient * divisor + remainder, value) << value.high() << ":" << value.low();
#if defined(__SIZEOF_INT128__)
      const Native n = Native{value.high()} << 64 | value.low();
      EXPECT_EQ(quotient, Uint128::from_halves(static_cast<uint64_t>((n / divisor) >> 64),
                                               static_cast<uint64_t>(n / divisor)));
      EXPECT_EQ(remainder, static_cast<uint64_t>(n % divisor));
#endif
    }
  }
}

// The same operations evaluated at compile time, where MSVC's intrinsics cannot run.
static_assert(Uint128(kMax) * kMax == Uint128::from_halves(kMax - 1, 1));
static_assert(Uint128::from_halves(9, 0).divmod(10).quotient ==
              Uint128::from_halves(0, 0xE666666666666666u));
static_assert(Uint128::from_halves(9, 0).divmod(10).remainder == 4);

}  // namespace
}  // namespace corvina
