#include "decode.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <variant>

#include "cp1251_decode.h"
#include "utf8.h"

namespace corvina {
namespace {

enum class Outcome { Utf8, Cp1251, NotStatement, EmptyInput };

const char* outcome_name(Outcome outcome) {
  switch (outcome) {
    case Outcome::Utf8:
      return "Utf8";
    case Outcome::Cp1251:
      return "Cp1251";
    case Outcome::NotStatement:
      return "NotStatement";
    case Outcome::EmptyInput:
      return "EmptyInput";
  }
  return "?";
}

Outcome outcome_of(const Result<DecodedText, ErrorRecord>& result) {
  if (result) {
    return result.value().encoding == Encoding::Utf8 ? Outcome::Utf8 : Outcome::Cp1251;
  }
  if (std::holds_alternative<EmptyInput>(result.error())) return Outcome::EmptyInput;
  if (std::holds_alternative<NotStatement>(result.error())) return Outcome::NotStatement;
  ADD_FAILURE() << "unexpected error kind " << result.error().index();
  return Outcome::NotStatement;
}

std::string utf16(std::u16string_view text, bool big_endian) {
  std::string bytes;
  for (char16_t unit : text) {
    const char high = static_cast<char>(unit >> 8);
    const char low = static_cast<char>(unit & 0xFF);
    bytes += big_endian ? high : low;
    bytes += big_endian ? low : high;
  }
  return bytes;
}

std::string repeat(std::string_view piece, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) out += piece;
  return out;
}

const std::string kLe = "\xFF\xFE";
const std::string kBe = "\xFE\xFF";
const std::string kUtf8Mark = "\xEF\xBB\xBF";
// "Сумма" in Windows-1251: not well-formed UTF-8, so it forces the decoders' path.
const std::string kSumCp1251 = "\xD1\xF3\xEC\xEC\xE0";

struct DecodeCase {
  const char* name;
  std::string input;
  Outcome outcome;
  std::string text;  // the decoded text when the input is accepted
};

const DecodeCase kDecodeCases[] = {
    {"no bytes", "", Outcome::EmptyInput, ""},
    {"single LF", "\n", Outcome::NotStatement, ""},
    {"spaces only", "   ", Outcome::NotStatement, ""},
    {"marker alone, no break", "1CClientBankExchange", Outcome::Utf8, "1CClientBankExchange"},
    {"ASCII with CRLF", "1CClientBankExchange\r\nA=1\r\n", Outcome::Utf8,
     "1CClientBankExchange\r\nA=1\r\n"},
    {"UTF-8 Cyrillic", "1CClientBankExchange\nСумма=1\n", Outcome::Utf8,
     "1CClientBankExchange\nСумма=1\n"},
    {"marker and a space", "1CClientBankExchange \nA=1\n", Outcome::NotStatement, ""},
    {"marker in second line", "\n1CClientBankExchange\n", Outcome::NotStatement, ""},
    {"well-formed UTF-8 after a mark", kUtf8Mark + "1CClientBankExchange\nA=1\n",
     Outcome::NotStatement, ""},
    {"mark, then an ill-formed byte", kUtf8Mark + "1CClientBankExchange\n" + kSumCp1251 + "=1\n",
     Outcome::NotStatement, ""},
    {"mark, then a truncated sequence", kUtf8Mark + "1CClientBankExchange\nA=\xD0",
     Outcome::NotStatement, ""},
    {"Windows-1251", "1CClientBankExchange\r\n" + kSumCp1251 + "=1\r\n", Outcome::Cp1251,
     "1CClientBankExchange\r\nСумма=1\r\n"},
    {"Windows-1251, marker misspelt", "1CClientBankExchang\n" + kSumCp1251 + "=1\n",
     Outcome::NotStatement, ""},
    {"Windows-1251, lone CR after marker", "1CClientBankExchange\r" + kSumCp1251 + "=1\n",
     Outcome::NotStatement, ""},
    // 0x98 is the one byte where the WHATWG index departs from the Microsoft table.
    {"Windows-1251 upper half", "1CClientBankExchange\nA=\x98\xC0\xFF\xA8\xB8\xB9\x88\x80\n",
     Outcome::Cp1251, "1CClientBankExchange\nA=\u0098АяЁё№€Ђ\n"},
    {"UTF-16LE", kLe + utf16(u"1CClientBankExchange\r\nСумма=1\r\n", false), Outcome::Cp1251,
     "1CClientBankExchange\r\nСумма=1\r\n"},
    {"UTF-16BE", kBe + utf16(u"1CClientBankExchange\r\nСумма=1\r\n", true), Outcome::Cp1251,
     "1CClientBankExchange\r\nСумма=1\r\n"},
    {"UTF-16LE surrogate pair", kLe + utf16(u"1CClientBankExchange\nA=\U0001F600\n", false),
     Outcome::Cp1251, "1CClientBankExchange\nA=\U0001F600\n"},
    // The decoder writes in slices of 4096 input bytes; this pair straddles the first cut.
    {"UTF-16BE surrogate pair across slices",
     kBe + utf16(u"1CClientBankExchange\n" + std::u16string(2026, u'Ж') + u"\U0001F600", true),
     Outcome::Cp1251, "1CClientBankExchange\n" + repeat("Ж", 2026) + "\U0001F600"},
    {"UTF-16LE odd final byte", kLe + utf16(u"1CClientBankExchange\nA=1\n", false) + "x",
     Outcome::NotStatement, ""},
    {"UTF-16BE lead surrogate at the end",
     kBe + utf16(u"1CClientBankExchange\n", true) + "\xD8\x3D",
     Outcome::NotStatement, ""},
    {"UTF-16BE lead surrogate before a letter",
     kBe + utf16(u"1CClientBankExchange\n", true) + "\xD8\x3D" + utf16(u"A=1\n", true),
     Outcome::NotStatement, ""},
    {"UTF-16LE lone trail surrogate",
     kLe + utf16(u"1CClientBankExchange\n", false) + std::string("\x00\xDC", 2) +
         utf16(u"A=1\n", false),
     Outcome::NotStatement, ""},
    {"UTF-16LE trail surrogate twice",
     kLe + utf16(u"1CClientBankExchange\n", false) + std::string("\x00\xDC\x00\xDC", 4),
     Outcome::NotStatement, ""},
    {"UTF-16LE mark alone", kLe, Outcome::NotStatement, ""},
    // Without a mark these bytes are well-formed UTF-8 ("1\0C\0..."), so no decoder is tried.
    {"UTF-16LE without mark", utf16(u"1CClientBankExchange\nA=1\n", false), Outcome::NotStatement,
     ""},
};

TEST(decode_test, outcomes) {
  for (const DecodeCase& c : kDecodeCases) {
    SCOPED_TRACE(c.name);
    const auto result = decode_input(c.input);
    const Outcome outcome = outcome_of(result);
    EXPECT_EQ(outcome_name(outcome), std::string(outcome_name(c.outcome)));
    if (!result || outcome != c.outcome) continue;
    EXPECT_EQ(result.value().text(), c.text);
    // Only well-formed UTF-8 may be used in place, and then it is the caller's buffer.
    EXPECT_EQ(result.value().in_place, c.outcome == Outcome::Utf8);
    if (c.outcome == Outcome::Utf8) {
      EXPECT_EQ(result.value().text().data(), c.input.data());
    }
  }
}

struct PlausibilityCase {
  const char* plausible;    // one character in Windows-1251
  const char* implausible;  // one character in Windows-1251
  size_t plausible_count;   // including the 21 characters of the marker line
  size_t implausible_count;
  bool accepted;
};

const PlausibilityCase kPlausibilityCases[] = {
    {"\xC6", "\xAB", 95, 5, false},  // 95%: rejected
    {"\xC6", "\xAB", 96, 4, true},   // 96%: accepted
    // 95.95% rounds to 96 but is truncated to 95.
    {"\xC6", "\xBB", 1919, 81, false},
    {"\xC6", "\xBB", 1920, 80, true},
    // Characters are counted, not bytes: 'Ж' takes two bytes once decoded.
    {"\xC6", "\xA0", 190, 10, false},
    {"\xC6", "\xA7", 192, 8, true},
    // Controls other than tab, LF, FF and CR are implausible, VT and DEL included.
    {"\xC6", "\x0B", 95, 5, false},
    {"\xC6", "\x7F", 95, 5, false},
    {"\xC6", "\x0C", 95, 5, true},
    {"a", "\x98", 95, 5, false},
    // Only the first 20480 characters are examined.
    {"\xC6", "\xAB", 20000, 1000, true},
    {"\xC6", "\xAB", 20480, 100000, true},
    {"\xC6", "\xAB", 19661, 20000, true},  // 19661 of the 20480 examined: 96%
    {"\xC6", "\xAB", 19660, 20000, false},
};

TEST(decode_test, plausibility) {
  for (const PlausibilityCase& c : kPlausibilityCases) {
    SCOPED_TRACE(testing::Message() << c.plausible_count << " plausible '" << c.plausible
                                    << "' and " << c.implausible_count << " implausible 0x"
                                    << std::hex << (static_cast<unsigned char>(c.implausible[0])
                                                    + 0));
    std::string input = "1CClientBankExchange\n";
    for (size_t i = input.size(); i < c.plausible_count; ++i) input += c.plausible;
    for (size_t i = 0; i < c.implausible_count; ++i) input += c.implausible;
    EXPECT_EQ(outcome_name(outcome_of(decode_input(input))),
              std::string(outcome_name(c.accepted ? Outcome::Cp1251 : Outcome::NotStatement)));
  }
}

struct Utf8Case {
  const char* name;
  std::string bytes;
  bool well_formed;
};

const Utf8Case kUtf8Cases[] = {
    {"empty", "", true},
    {"ASCII", "abc", true},
    {"NUL", std::string(1, '\0'), true},
    {"ASCII then stray byte past the 16-byte step", "0123456789abcdefg\x80", false},
    {"ASCII then Cyrillic past the 16-byte step", "0123456789abcdefАя", true},
    {"two-byte minimum", "\xC2\x80", true},
    {"overlong two-byte", "\xC1\xBF", false},
    {"overlong NUL", "\xC0\x80", false},
    {"overlong three-byte", "\xE0\x9F\xBF", false},
    {"three-byte minimum", "\xE0\xA0\x80", true},
    {"last before surrogates", "\xED\x9F\xBF", true},
    {"surrogate", "\xED\xA0\x80", false},
    {"overlong four-byte", "\xF0\x8F\xBF\xBF", false},
    {"four-byte minimum", "\xF0\x90\x80\x80", true},
    {"U+10FFFF", "\xF4\x8F\xBF\xBF", true},
    {"above U+10FFFF", "\xF4\x90\x80\x80", false},
    {"F5 lead", "\xF5\x80\x80\x80", false},
    {"truncated at the end", "ab\xE2\x82", false},
    {"missing continuation", "\xE2\x82\x41", false},
    {"lone continuation", "a\x80z", false},
    {"FF", "\xFF", false},
};

TEST(decode_test, well_formed_utf8) {
  for (const Utf8Case& c : kUtf8Cases) {
    EXPECT_EQ(is_well_formed_utf8(c.bytes), c.well_formed) << c.name;
  }
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::filesystem::path samples_dir() {
#ifdef CORVINA_SAMPLES_DIR
  return CORVINA_SAMPLES_DIR;
#else
  return {};
#endif
}

TEST(decode_test, samples) {
  const std::filesystem::path dir = samples_dir();
  if (dir.empty() || !std::filesystem::is_directory(dir)) GTEST_SKIP() << "no sample statements";
  const struct {
    const char* file;
    Outcome outcome;
  } samples[] = {
      {"sample-01.txt", Outcome::Cp1251}, {"sample-02.txt", Outcome::Utf8},
      {"sample-03.txt", Outcome::Cp1251}, {"sample-04.txt", Outcome::Cp1251},
      {"sample-05.txt", Outcome::Utf8},   {"sample-06.txt", Outcome::Utf8},
      {"sample-07.txt", Outcome::Utf8},   {"sample-08.txt", Outcome::Cp1251},
      {"sample-09.txt", Outcome::Cp1251}, {"sample-10.txt", Outcome::Utf8},
  };
  for (const auto& sample : samples) {
    const std::string bytes = read_file(dir / sample.file);
    EXPECT_EQ(outcome_name(outcome_of(decode_input(bytes))),
              std::string(outcome_name(sample.outcome)))
        << sample.file;
  }
  // sample-02 is sample-01 converted to UTF-8 by another program.
  const std::string cp1251 = read_file(dir / "sample-01.txt");
  const auto decoded = decode_input(cp1251);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded.value().text(), read_file(dir / "sample-02.txt"));
}

// The validator takes sixteen or thirty-two bytes at a time (as the processor allows) and falls
// back to one sequence at a time; these
// inputs put every kind of sequence, well-formed or not, at every offset of a block and across
// block ends, and compare with a walk that reads one code point at a time.
bool well_formed_by_code_points(std::string_view bytes) {
  for (size_t pos = 0; pos < bytes.size();) {
    const CodePoint c = read_code_point(bytes, pos);
    // U+FFFD with length 1 is the reader's mark for a bad byte; a real U+FFFD takes three.
    if (c.value == 0xFFFD && c.length == 1) return false;
    pos += c.length;
  }
  return true;
}

TEST(decode_test, well_formed_utf8_at_every_offset) {
  const std::string_view pieces[] = {
      "a", "=", "\n", "Я", "ё", "\xC2\x80", "\xDF\xBF", "€", "\xEF\xBF\xBD", "\xF0\x9F\x98\x80",
      // Ill-formed: stray continuation, overlong, surrogate, cut sequences, bad leads.
      "\x80", "\xC0\x80", "\xC1\xBF", "\xED\xA0\x80", "\xD0", "\xE2\x82", "\xF4\x90\x80\x80",
      "\xFF", "\xF5",
      // A fault just before a longer sequence: the block loop stops at the sequence, but the
      // bytes before it are still its to judge.
      "\x80€", "\xD0€", "Я\x80\xF0\x9F\x98\x80"};
  // ASCII and Cyrillic blocks, twice: every offset of a wide block and across its end.
  const std::string half = "0123456789abcdefЖЖЖЖЖЖЖЖЖЖЖЖЖЖЖЖ";
  const std::string filler = half + half;
  for (const std::string_view piece : pieces) {
    for (size_t offset = 0; offset < 80; ++offset) {
      for (const std::string_view tail : {std::string_view(), std::string_view(filler)}) {
        std::string bytes = filler.substr(0, offset);
        // An odd offset into the Cyrillic part splits a letter: that alone is ill-formed.
        bytes.append(piece).append(tail);
        EXPECT_EQ(is_well_formed_utf8(bytes), well_formed_by_code_points(bytes))
            << "piece " << testing::PrintToString(std::string(piece)) << " at " << offset
            << (tail.empty() ? "" : " before more text");
      }
    }
  }
}

TEST(decode_test, well_formed_utf8_seeded_mixes) {
  const std::string_view pieces[] = {"a", "1", " ", "Д", "я", "№", "€", "\xF0\x9F\x98\x80",
                                     "\x80", "\xD0", "\xE2\x82", "\xC1\x81"};
  std::mt19937 random(7);
  for (int round = 0; round < 2000; ++round) {
    std::string bytes;
    const size_t count = random() % 64;
    // Mostly well-formed pieces, so that a fault deep in a long text is reached.
    for (size_t i = 0; i < count; ++i) bytes.append(pieces[random() % (round % 4 == 0 ? 12 : 8)]);
    EXPECT_EQ(is_well_formed_utf8(bytes), well_formed_by_code_points(bytes))
        << testing::PrintToString(bytes);
  }
}

// The Windows-1251 decoder copies ASCII words whole, widens words of Cyrillic letters together
// and sends the rest through the table, in slices of 4096 bytes; whatever path a byte takes, its
// text must be the one it has alone.
TEST(decode_test, cp1251_fast_paths_agree_with_single_bytes) {
  const std::string marker = "1CClientBankExchange\n";
  const std::string padding(200, 'A');  // keeps a lone implausible byte plausible enough
  std::string alone[256];
  for (int byte = 0; byte < 256; ++byte) {
    // A byte of 0x80 and up makes the input ill-formed UTF-8 (for 0xC0-0xDF: a lead at the end).
    const std::string input = marker + padding + static_cast<char>(byte) + "\xFF";
    const auto decoded = decode_input(input);
    ASSERT_TRUE(decoded) << byte;
    const std::string_view text = decoded.value().text();
    alone[byte] = std::string(text.substr(marker.size() + padding.size(),
                                          text.size() - marker.size() - padding.size() - 2));
  }
  // Only the first 20480 characters are judged for plausibility: start past them, so that any
  // byte may follow.
  const std::string head = marker + std::string(20480, 'A');
  std::mt19937 random(11);
  for (int round = 0; round < 200; ++round) {
    std::string input = head;
    std::string expected = head;
    // Runs of one class, so that whole words of each kind occur, up to several slices long.
    const size_t runs = 1 + random() % (round % 10 == 0 ? 2000 : 40);
    for (size_t run = 0; run < runs; ++run) {
      const int kind = static_cast<int>(random() % 4);
      const size_t length = 1 + random() % 20;
      for (size_t i = 0; i < length; ++i) {
        int byte;
        if (kind == 0) {
          byte = 0x20 + static_cast<int>(random() % 0x5F);  // ASCII
        } else if (kind == 1) {
          byte = 0xC0 + static_cast<int>(random() % 0x40);  // Cyrillic letters
        } else if (kind == 2) {
          byte = 0x80 + static_cast<int>(random() % 0x40);  // marks, Ё, №, three-byte forms
        } else {
          byte = static_cast<int>(random() % 256);
        }
        input += static_cast<char>(byte);
        expected += alone[byte];
      }
    }
    input += "\xFF";
    expected += alone[0xFF];
    const auto decoded = decode_input(input);
    ASSERT_TRUE(decoded) << round;
    EXPECT_EQ(decoded.value().text(), expected) << round;
    // The exact size that sizes a table's extra values before they are decoded.
    EXPECT_EQ(cp1251_decoded_size(input), expected.size()) << round;
  }
  // The output is reserved from a bound, not from the worst case of three bytes a byte: letters
  // take two.
  const std::string letters = head + std::string(100000, '\xC6');
  const auto decoded = decode_input(letters);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded.value().text().size(), head.size() + 200000);
  EXPECT_LE(decoded.value().owned.capacity(), head.size() + 200000 + 64);
}

// Outputs of a megabyte and more have their pages mapped before decoding; sizes on both sides of
// that, with the bound's slack and an unaligned end, must decode exactly as the small ones do.
TEST(decode_test, cp1251_large_outputs_agree_with_single_bytes) {
  const std::string marker = "1CClientBankExchange\n";
  std::string alone[256];
  for (int byte = 0; byte < 256; ++byte) {
    const std::string input = marker + std::string(200, 'A') + static_cast<char>(byte) + "\xFF";
    const auto decoded = decode_input(input);
    ASSERT_TRUE(decoded) << byte;
    alone[byte] = std::string(decoded.value().text().substr(marker.size() + 200));
    alone[byte].resize(alone[byte].size() - 2);  // drop the decoded 0xFF ("я")
  }
  struct Case {
    const char* name;
    size_t size;
    int spread;  // bytes are drawn from 0xC0 - spread .. 0xFF, so more or fewer are letters
  };
  const Case cases[] = {
      {"just under a megabyte of output, letters only", 1000000 / 2, 64},
      {"just over a megabyte, letters and marks", (1 << 20) / 2 + 4099, 128},
      {"several megabytes, any byte", 3 * (1 << 20) + 17, 192},
  };
  std::mt19937 random(5);
  for (const Case& test : cases) {
    std::string input = marker + std::string(20480, 'A');
    std::string expected = input;
    while (input.size() < test.size) {
      const int byte = 0x100 - 1 - static_cast<int>(random() % test.spread);
      input += static_cast<char>(byte);
      expected += alone[byte];
    }
    const auto decoded = decode_input(input);
    ASSERT_TRUE(decoded) << test.name;
    EXPECT_TRUE(decoded.value().text() == expected) << test.name;
    EXPECT_LE(decoded.value().owned.capacity(), 3 * input.size()) << test.name;
  }
}

}  // namespace
}  // namespace corvina
