// Cut, flipped, padded and oversized inputs through the whole parse. Under the sanitizers these
// are the cases that find reads past a buffer or views that outlive it; here they also pin that a
// reported line exists and that a cut statement blames the line that was cut.
#include <gtest/gtest.h>

#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "parse_statement.h"
#include "test_support.h"

namespace corvina {
namespace {

using test_support::line_of;
using test_support::to_cp1251;

using namespace std::string_literals;

const std::string kStatement = std::string("1CClientBankExchange\r\n"
                                           "ВерсияФормата=1.03\r\n"
                                           "\r\n"
                                           "СекцияРасчСчет\r\n"
                                           "ДатаНачала=01.03.2024\r\n"
                                           "РасчСчет=40702810000000000001\r\n"
                                           "НачальныйОстаток=1000.00\r\n"
                                           "КонецРасчСчет\r\n") +
                               test_support::kPaymentDocument + "КонецФайла\r\n";

// Renames every value, so that hooked runs copy texts that no longer view the input.
HookOutcome rewrite(SectionType, AttributeMap& section, const AttributeMap&) {
  AttributeMap rewritten;
  for (const auto& entry : section.entries()) rewritten.insert_copy(entry.key, entry.value);
  rewritten.insert_copy("Номер", "перезаписан");
  section = std::move(rewritten);
  return Done{};
}

size_t count_lines(std::string_view text) {
  size_t lines = 1;
  for (char c : text) lines += c == '\n';
  return lines;
}

struct Outcome {
  bool ok = false;
  LineNumber line = 0;  // of the error; 0 for success or an error without a line

  bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Outcome& outcome) {
  return out << (outcome.ok ? "ok" : "error at line ") << outcome.line;
}

// Parses, touches every text of a result, and checks that an error's line is inside the input.
Outcome parse_checked(std::string_view input, std::span<const SectionHook> hooks,
                      const std::string& label) {
  // A private copy, overwritten afterwards: nothing of the result may still point into it.
  std::string bytes(input);
  auto result = parse_statement(bytes, hooks);
  bytes.assign(bytes.size(), '#');
  if (result.ok()) {
    size_t total = 0;
    for (const auto& document : result.value().documents) {
      total += document.text(document.doc_number).size() + document.text(document.purpose).size();
    }
    for (const auto& entry : result.value().header.entries()) total += entry.value.size();
    EXPECT_LT(total, input.size() + 64) << label;
    return {true, 0};
  }
  const LineNumber line = line_of(result.error());
  EXPECT_LE(line, count_lines(input)) << label;
  return {false, line};
}

TEST(hostile_input_test, every_prefix_blames_the_cut_line) {
  const std::vector<SectionHook> no_hooks;
  const std::vector<SectionHook> hooks = {rewrite};
  const std::string text = kStatement;
  const size_t end = text.rfind("КонецФайла") + std::string_view("КонецФайла").size();
  for (const auto* run : {&no_hooks, &hooks}) {
    for (size_t cut = 0; cut <= text.size(); ++cut) {
      const std::string_view prefix(text.data(), cut);
      const std::string label = "cut at " + std::to_string(cut);
      const Outcome outcome = parse_checked(prefix, *run, label);
      // A final CR without its LF stays in the line and spoils "КонецФайла".
      EXPECT_EQ(outcome.ok, cut >= end && prefix.back() != '\r') << label;
      if (outcome.line != 0 && prefix.size() > 22) {
        // Every whole line before the cut is good, so the cut one is at fault.
        EXPECT_EQ(outcome.line, count_lines(prefix)) << label;
      }
    }
  }
}

TEST(hostile_input_test, seeded_byte_flips) {
  const std::vector<SectionHook> hooks = {rewrite};
  std::mt19937 random(20240305);
  for (int round = 0; round < 3000; ++round) {
    std::string bytes = kStatement;
    const int flips = 1 + static_cast<int>(random() % 6);
    for (int i = 0; i < flips; ++i) bytes[random() % bytes.size()] ^= char(1 << (random() % 8));
    (void)parse_checked(bytes, round % 2 ? std::span<const SectionHook>(hooks)
                                         : std::span<const SectionHook>(), "round " +
                                                                          std::to_string(round));
  }
}

struct ShapeCase {
  const char* name;
  std::string input;
  Outcome expected;
};

std::string repeated(std::string_view piece, size_t times) {
  std::string out;
  out.reserve(piece.size() * times);
  for (size_t i = 0; i < times; ++i) out += piece;
  return out;
}

std::string many_keys(size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    out += "Ключ" + std::to_string(i) + "=" + std::to_string(i) + "\n";
  }
  return out;
}

const std::string kHead = "1CClientBankExchange\nВерсияФормата=1.03\n";
const std::string kAccount =
    "СекцияРасчСчет\nДатаНачала=01.03.2024\nРасчСчет=1\nНачальныйОстаток=0\nКонецРасчСчет\n";

const Outcome kOk = {true, 0};
// An error without a line: the input is no statement at all.
const Outcome kNotStatement = {false, 0};
Outcome error_at(LineNumber line) { return {false, line}; }

const ShapeCase kShapes[] = {
    {"NUL in a value", kHead + "А=\0\0\n"s + kAccount + "КонецФайла\n", kOk},
    {"NUL line", kHead + "\0\n"s + kAccount + "КонецФайла\n", error_at(3)},
    {"NUL after the end", kHead + kAccount + "КонецФайла\n\0"s, error_at(9)},
    {"only NULs", std::string(4096, '\0'), kNotStatement},
    {"long value", kHead + "А=" + std::string(8 << 20, 'x') + "\n" + kAccount + "КонецФайла\n",
     kOk},
    {"long unrecognised line", kHead + std::string(8 << 20, 'x') + "\n" + kAccount, error_at(3)},
    {"no line break", "1CClientBankExchange\n" + std::string(8 << 20, 'x'), error_at(2)},
    {"a million tiny sections",
     kHead + kAccount + repeated("СекцияДокумент=x\nКонецДокумента\n", 1'000'000) + "КонецФайла\n",
     kOk},
    {"a million blank lines then junk", kHead + std::string(1'000'000, '\n') + "junk\n",
     error_at(1'000'003)},
    {"ten thousand keys in a section",
     kHead + "СекцияДокумент=x\n" + many_keys(10'000) + "КонецДокумента\n" + kAccount +
         "КонецФайла\n",
     kOk},
    {"ten thousand keys in an account",
     kHead + "СекцияРасчСчет\n" + many_keys(10'000) + "КонецРасчСчет\nКонецФайла\n",
     error_at(10'004)},
};

TEST(hostile_input_test, shapes) {
  for (const ShapeCase& test : kShapes) {
    EXPECT_EQ(parse_checked(test.input, {}, test.name), test.expected) << test.name;
  }
}

}  // namespace
}  // namespace corvina
