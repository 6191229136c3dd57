#include "quoted.h"

#include <gtest/gtest.h>

#include <string_view>

namespace corvina {
namespace {

struct QuotedCase {
  std::string_view text;
  std::string_view expected;
};

using namespace std::string_view_literals;

const QuotedCase kCases[] = {
    {"", R"("")"},
    {"plain text 123", R"("plain text 123")"},
    {"A\"\\\n", R"("A\"\\\n")"},  // nine characters out of four
    {"\0\t\r\n"sv, R"("\0\t\r\n")"},
    {"it's", R"("it's")"},
    {"\x1B", R"("\u{1b}")"},
    {"\x7F", R"("\u{7f}")"},
    {"\x0B\x0C", R"("\u{b}\u{c}")"},
    {"\xC2\x85", R"("\u{85}")"},                          // U+0085, Cc
    {"1\xC2\xA0" "000", R"("1\u{a0}000")"},               // U+00A0, Zs
    {"\xE3\x80\x80", R"("\u{3000}")"},                    // U+3000, Zs
    {"\xE2\x80\xA8\xE2\x80\xA9", R"("\u{2028}\u{2029}")"},  // Zl, Zp
    {"\xE2\x80\x8B", R"("\u{200b}")"},                    // U+200B, Cf
    {"\xC2\xAD", R"("\u{ad}")"},                          // soft hyphen, Cf
    {"\xEF\xBB\xBF", R"("\u{feff}")"},                    // byte-order mark, Cf
    {"e\xCC\x81", R"("e\u{301}")"},                       // U+0301 combining acute
    {"\xD0\x98\xCC\x86", R"("И\u{306}")"},                // U+0306 after a Cyrillic letter
    {"\xD2\x83", R"("\u{483}")"},                         // Cyrillic combining titlo, Mn
    {"\xE2\x80\x8D", R"("\u{200d}")"},                    // ZWJ: Cf and Grapheme_Extend
    {"\xEE\x80\x80", R"("\u{e000}")"},                    // private use, Co
    {"\xF4\x8F\xBF\xBF", R"("\u{10ffff}")"},              // noncharacter, Cn
    {"\xCD\xB8", R"("\u{378}")"},                         // unassigned, Cn
    {"\xF3\xA0\x80\x80", R"("\u{e0000}")"},               // unassigned, Cn
    {"\xF3\xA0\x84\x80", R"("\u{e0100}")"},               // variation selector, Mn
    {"Сумма Ёё №5", R"("Сумма Ёё №5")"},
    {"€ ½ 中 😀 \xEF\xBF\xBD", R"("€ ½ 中 😀 �")"},  // a real U+FFFD stands as itself
    {"\xFF", R"("\u{fffd}")"},
    {"a\xD0", R"("a\u{fffd}")"},                          // truncated sequence
    {"\xED\xA0\x80", R"("\u{fffd}\u{fffd}\u{fffd}")"},    // encoded surrogate
    {"\xC0\xAF", R"("\u{fffd}\u{fffd}")"},                // overlong
    {"\xE2\x82" "x", R"("\u{fffd}\u{fffd}x")"},
};

TEST(quoted_test, escapes) {
  for (const QuotedCase& c : kCases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.text)));
    EXPECT_EQ(quoted(c.text), c.expected);
  }
}

TEST(quoted_test, appends_to_existing_text) {
  std::string out = "value ";
  append_quoted(out, "x\"");
  EXPECT_EQ(out, R"(value "x\"")");
}

TEST(quoted_test, every_cyrillic_letter_stands_as_itself) {
  // U+0400..U+0481 and U+048A..U+04FF are letters; the fast path must agree with the table.
  for (char32_t c = 0x400; c <= 0x4FF; ++c) {
    if (c >= 0x482 && c <= 0x489) continue;
    const char bytes[] = {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
    const std::string_view text(bytes, 2);
    EXPECT_EQ(quoted(text), "\"" + std::string(text) + "\"") << std::hex << uint32_t{c};
  }
}

}  // namespace
}  // namespace corvina
