#include "amount.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <string_view>

namespace corvina {
namespace {

__extension__ typedef unsigned __int128 Uint128;

constexpr Uint128 kMaxMagnitude = (Uint128{1} << 96) - 1;

Amount make_amount(Uint128 magnitude, uint8_t scale, bool negative) {
  Amount amount;
  amount.magnitude_low = static_cast<uint64_t>(magnitude);
  amount.magnitude_high = static_cast<uint32_t>(magnitude >> 64);
  amount.scale = scale;
  amount.negative = negative;
  return amount;
}

// Digit by digit, independently of format_amount's chunked conversion.
std::string reference_text(Uint128 magnitude, unsigned scale, bool negative) {
  std::string digits;
  do {
    digits += static_cast<char>('0' + static_cast<int>(magnitude % 10));
    magnitude /= 10;
  } while (magnitude != 0);
  while (digits.size() < scale + 1) digits += '0';
  std::reverse(digits.begin(), digits.end());
  if (scale > 0) digits.insert(digits.size() - scale, ".");
  return negative ? "-" + digits : digits;
}

std::string invalid_value(std::string_view quoted_value) {
  return "invalid value: string " + std::string(quoted_value) +
         ", expected a Decimal type representing a fixed-point number";
}

// The canonical text determines the whole Amount (digits after the point give the scale).
struct AcceptedCase {
  std::string_view input;
  std::string_view canonical;
};

const AcceptedCase kAccepted[] = {
    {"100", "100"},
    {"100.00", "100.00"},
    {"+100.5", "100.5"},
    {"-0.01", "-0.01"},
    {".5", "0.5"},
    {"+.5", "0.5"},
    {"5.", "5"},
    {"-5.", "-5"},
    {"1_000.25", "1000.25"},
    {"1__0_", "10"},
    {"1._5_", "1.5"},
    {"1_.5", "1.5"},
    {"007", "7"},
    {"-0", "0"},
    {"-0.00", "0.00"},
    {"0.0000000000000000000000000001", "0.0000000000000000000000000001"},
    // Precision limit: the first digit that cannot be kept rounds, the rest are dropped.
    {"0.12345678901234567890123456789", "0.1234567890123456789012345679"},
    {"0.12345678901234567890123456784999", "0.1234567890123456789012345678"},
    {"0.1234567890123456789012345678_5_1", "0.1234567890123456789012345679"},
    {"0.00000000000000000000000000005", "0.0000000000000000000000000001"},
    {"-0.00000000000000000000000000004", "0.0000000000000000000000000000"},
    {"1.2345678901234567890123456789", "1.2345678901234567890123456789"},
    {"9.9999999999999999999999999999", "10.000000000000000000000000000"},
    // 2^96 - 1 and the carry past it.
    {"79228162514264337593543950335", "79228162514264337593543950335"},
    {"-79228162514264337593543950335", "-79228162514264337593543950335"},
    {"79228162514264337593543950335.4", "79228162514264337593543950335"},
    {"7922816251426433759354395033.5", "7922816251426433759354395033.5"},
    {"7922816251426433759354395033.59", "7922816251426433759354395034"},
    {"7.9228162514264337593543950335", "7.9228162514264337593543950335"},
    {"7.92281625142643375935439503354", "7.9228162514264337593543950335"},
    {"7.92281625142643375935439503355", "7.922816251426433759354395034"},
    // Scientific form.
    {"1.5e3", "1500"},
    {"1.50E1", "15.0"},
    {"15e-1", "1.5"},
    {"1.5e+1", "15"},
    {"100e-2", "1.00"},
    {"1E-0", "1"},
    {"5.e2", "500"},
    {"1_e2", "100"},
    {"-0e5", "0"},
    {"-2.5e0000000000000000001", "-25"},
    {"0.0e-27", "0.0000000000000000000000000000"},
    {"1e-28", "0.0000000000000000000000000001"},
    {"1e28", "10000000000000000000000000000"},
    {"1.5e27", "1500000000000000000000000000"},
    {"7.9228162514264337593543950335e28", "79228162514264337593543950335"},
    {"0.12345678901234567890123456789e1", "1.234567890123456789012345679"},
};

struct RejectedCase {
  std::string_view input;
  std::string_view quoted;  // the input as the message shows it
};

const RejectedCase kRejected[] = {
    {"", R"("")"},
    {"-", R"("-")"},
    {"+", R"("+")"},
    {".", R"(".")"},
    {"-.", R"("-.")"},
    {"100,00", R"("100,00")"},
    {"1 000.00", R"("1 000.00")"},
    {" 1", R"(" 1")"},
    {"1 ", R"("1 ")"},
    {"1\xC2\xA0" "000", R"("1\u{a0}000")"},
    {"1.2.3", R"("1.2.3")"},
    {"+-1", R"("+-1")"},
    {"--1", R"("--1")"},
    {"_1", R"("_1")"},
    {"+_1", R"("+_1")"},
    {"._5", R"("._5")"},
    {"1'000", R"("1'000")"},
    {"0x10", R"("0x10")"},
    {"сто", R"("сто")"},
    {"\x1B" "1", R"("\u{1b}1")"},
    {"12\"\\", R"("12\"\\")"},
    {"0.12345678901234567890123456789x", R"("0.12345678901234567890123456789x")"},
    {"0.1234567890123456789012345678.9", R"("0.1234567890123456789012345678.9")"},
    {"79228162514264337593543950336", R"("79228162514264337593543950336")"},
    {"79228162514264337593543950335.5", R"("79228162514264337593543950335.5")"},
    {"100000000000000000000000000000e-2", R"("100000000000000000000000000000e-2")"},
    {"1e29", R"("1e29")"},
    {"1.5e29", R"("1.5e29")"},
    {"8e28", R"("8e28")"},
    // Shifted as written before the zeros after the point are dropped, so this overflows.
    {"1.5e28", R"("1.5e28")"},
    {"7.9228162514264337593543950336e28", R"("7.9228162514264337593543950336e28")"},
    {"1e-29", R"("1e-29")"},
    {"0.1e-28", R"("0.1e-28")"},
    {"1e4294967295", R"("1e4294967295")"},
    {"1e-4294967296", R"("1e-4294967296")"},
    {"1e", R"("1e")"},
    {"1e+", R"("1e+")"},
    {"1e-", R"("1e-")"},
    {"e5", R"("e5")"},
    {".e5", R"(".e5")"},
    {"1e5e3", R"("1e5e3")"},
    {"1e_5", R"("1e_5")"},
    {"1e 5", R"("1e 5")"},
    {"1e5 ", R"("1e5 ")"},
    {"1.5e3.0", R"("1.5e3.0")"},
};

TEST(amount_test, accepts) {
  for (const AcceptedCase& c : kAccepted) {
    SCOPED_TRACE(c.input);
    const auto result = parse_amount(c.input);
    ASSERT_TRUE(result.ok()) << result.error();
    EXPECT_EQ(format_amount(result.value()).view(), c.canonical);
    const size_t point = c.canonical.find('.');
    const size_t scale = point == std::string_view::npos ? 0 : c.canonical.size() - point - 1;
    EXPECT_EQ(result.value().scale, scale);
  }
}

TEST(amount_test, rejects) {
  for (const RejectedCase& c : kRejected) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.input)));
    const auto result = parse_amount(c.input);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), invalid_value(c.quoted));
  }
}

TEST(amount_test, representation) {
  EXPECT_EQ(parse_amount("-0").value(), make_amount(0, 0, false));
  EXPECT_EQ(parse_amount("-0.00").value(), make_amount(0, 2, false));
  EXPECT_EQ(parse_amount("100.50").value(), make_amount(10050, 2, false));
  EXPECT_EQ(parse_amount("-0.005").value(), make_amount(5, 3, true));
  EXPECT_EQ(parse_amount("79228162514264337593543950335").value(),
            make_amount(kMaxMagnitude, 0, false));
  EXPECT_EQ(parse_amount("7.92281625142643375935439503355").value(),
            make_amount(kMaxMagnitude / 10 + 1, 27, false));
}

struct EqualityCase {
  std::string_view a;
  std::string_view b;
  bool equal;
};

const EqualityCase kEqualities[] = {
    {"100", "100.00", true},
    {"100.5", "100.50", true},
    {"100.5", "100.05", false},
    {"0", "-0.000", true},
    {"1", "-1", false},
    {"-1.0", "-1", true},
    {"1", "1.0000000000000000000000000000", true},
    {"1", "1.0000000000000000000000000001", false},
    {"1e28", "1.0000000000000000000000000000", false},
    {"79228162514264337593543950335", "7.9228162514264337593543950335", false},
    {"79228162514264337593543950335", "79228162514264337593543950335.0", true},
    {"0.0000000000000000000000000001", "0.000000000000000000000000000", false},
};

TEST(amount_test, equal_in_value) {
  for (const EqualityCase& c : kEqualities) {
    SCOPED_TRACE(std::string(c.a) + " vs " + std::string(c.b));
    const Amount a = parse_amount(c.a).value();
    const Amount b = parse_amount(c.b).value();
    EXPECT_EQ(amounts_equal_in_value(a, b), c.equal);
    EXPECT_EQ(amounts_equal_in_value(b, a), c.equal);
    EXPECT_EQ(normalise_amount(a) == normalise_amount(b), c.equal);
  }
}

TEST(amount_test, random_round_trip) {
  std::mt19937_64 random(20240305);
  Uint128 power_of_10[kMaxScale + 1] = {1};
  for (unsigned i = 1; i <= kMaxScale; ++i) power_of_10[i] = power_of_10[i - 1] * 10;
  for (int i = 0; i < 20000; ++i) {
    // A random bit length spreads the magnitudes over every digit count.
    const unsigned bits = static_cast<unsigned>(random() % 97);
    Uint128 magnitude = (Uint128{random()} << 64 | random()) & kMaxMagnitude;
    magnitude = bits == 0 ? 0 : magnitude >> (96 - bits);
    const auto scale = static_cast<uint8_t>(random() % (kMaxScale + 1));
    const bool negative = magnitude != 0 && random() % 2 == 0;
    const Amount amount = make_amount(magnitude, scale, negative);
    const std::string expected = reference_text(magnitude, scale, negative);
    SCOPED_TRACE(expected);

    ASSERT_EQ(format_amount(amount).view(), expected);
    const auto parsed = parse_amount(expected);
    ASSERT_TRUE(parsed.ok()) << parsed.error();
    ASSERT_EQ(parsed.value(), amount);

    // The same value at a larger scale, when it fits; and one unit off at that scale.
    const unsigned extra = static_cast<unsigned>(random() % (kMaxScale - scale + 1));
    if (magnitude <= kMaxMagnitude / power_of_10[extra]) {
      const Uint128 rescaled = magnitude * power_of_10[extra];
      const auto wider = static_cast<uint8_t>(scale + extra);
      const Amount same = make_amount(rescaled, wider, negative);
      EXPECT_TRUE(amounts_equal_in_value(amount, same));
      EXPECT_EQ(normalise_amount(amount), normalise_amount(same));
      if (extra > 0 && rescaled < kMaxMagnitude) {
        EXPECT_FALSE(amounts_equal_in_value(amount, make_amount(rescaled + 1, wider, negative)));
      }
    }
  }
}

}  // namespace
}  // namespace corvina
