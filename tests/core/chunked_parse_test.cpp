// A statement read in pieces on several threads gives what one thread gives, error for error.
#include "chunked_parse.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "parse_statement.h"
#include "record_printer.h"
#include "test_support.h"
#include "utf8_check.h"

namespace corvina {
namespace {

using test_support::describe;
using test_support::generated_statement_lines;
using test_support::joined_statement;
using test_support::on_threads;
using test_support::to_cp1251;

constexpr ParseOptions kOneThread{1, 0};
constexpr unsigned kThreadCounts[] = {2, 3, 7, 16};

std::string serial_outcome(std::string_view bytes) {
  return describe(parse_statement(bytes, {}, kOneThread));
}

// Every thread count, pieces as small as they come.
void expect_pieces_agree(std::string_view bytes, const std::string& label) {
  const std::string expected = serial_outcome(bytes);
  for (const unsigned threads : kThreadCounts) {
    EXPECT_EQ(describe(parse_statement(bytes, {}, ParseOptions{threads, 1})), expected)
        << label << ", " << threads << " threads";
  }
}

size_t pieces_of(std::string_view text, LineForm form, size_t wanted) {
  return find_chunk_cuts(text, form, wanted).size() - 1;
}

// Where a cut may fall ("|" in the text), and where it must not. The text follows a long
// header line, so that the place wanted for two pieces lies before it.
TEST(chunked_parse_test, cuts) {
  const char* const cases[] = {
      // After an end line, at the section that follows (LF and CR LF).
      "КонецДокумента\n|СекцияРасчСчет\nx=\n",
      "КонецРасчСчет\r\n|СекцияДокумент=\r\nx=\n",
      "КонецДокумента\n|СекцияДокумент=Ордер\n",
      // Not inside a section, nor before a line that opens none, nor after an end line
      // written otherwise: a trailing space, a CR not followed by LF, a blank line after it.
      "КонецДокумента\nНомер=1\nСекцияРасчСчет\n",
      "КонецДокумента \nСекцияРасчСчет\n",
      "КонецДокумента\r\rСекцияРасчСчет\n",
      "КонецДокумента\r\r\nСекцияРасчСчет\n",
      "КонецДокумента\n\nСекцияРасчСчет\n",
      "КонецДокумента\nСекцияРасчСчет \n",
      "КонецДокумента\nСекцияРасчСчет",
      "КонецДокумента\nСекцияДокумент\n",
      // A keyword that does not start its line.
      "x=КонецДокумента\nСекцияРасчСчет\n",
  };
  const std::string header = "1CClientBankExchange\nA=" + std::string(100, 'x') + "\n";
  for (const std::string_view marked : cases) {
    std::string text = header + std::string(marked);
    std::vector<size_t> expected = {0};
    if (const size_t bar = text.find('|'); bar != std::string::npos) {
      text.erase(bar, 1);
      expected.push_back(bar);
    }
    expected.push_back(text.size());
    EXPECT_EQ(find_chunk_cuts(text, LineForm::Utf8, 2), expected) << marked;
    EXPECT_EQ(find_chunk_cuts(to_cp1251(text), LineForm::Cp1251, 2).size(), expected.size())
        << marked;
    // Keywords are matched in the lines' own form.
    EXPECT_EQ(pieces_of(to_cp1251(text), LineForm::Utf8, 2), 1u) << marked;
  }
}

// Statements drawn from many seeds, with faults put in at drawn lines: the first unrecognised
// line of the whole input must win over an earlier error of a machine even when the two fall
// in different pieces, and of two errors of machines the earlier.
TEST(chunked_parse_test, generated_statements_agree) {
  const struct {
    const char* name;
    std::vector<std::string> inserted;  // lines put in at drawn places, in this order
    bool drop_end_of_file;
  } faults[] = {
      {"none", {}, false},
      {"unfinished", {}, true},
      {"unrecognised line", {"просто строка"}, false},
      {"two unrecognised lines", {"первая", "вторая"}, false},
      {"stray attribute", {"Ключ=значение"}, false},
      {"stray end line", {"КонецДокумента"}, false},
      {"account in a section", {"СекцияРасчСчет"}, false},
      {"end of file early", {"КонецФайла"}, false},
      {"stray attribute and unrecognised line", {"Ключ=значение", "строка"}, false},
      {"end line with CR", {"КонецДокумента\r"}, false},
      {"account number dropped", {"СекцияРасчСчет", "ДатаНачала=01.03.2024",
                                  "НачальныйОстаток=1", "КонецРасчСчет"}, false},
  };
  for (uint32_t seed = 1; seed <= 25; ++seed) {
    for (const auto& fault : faults) {
      std::vector<std::string> lines = generated_statement_lines(seed, 60);
      if (fault.drop_end_of_file) lines.pop_back();
      std::mt19937 random(seed * 7919);
      if (fault.inserted.size() == 4) {
        // A whole section after a drawn end line.
        size_t at = 1 + random() % (lines.size() - 1);
        while (at < lines.size() && lines[at - 1] != "КонецДокумента") ++at;
        lines.insert(lines.begin() + static_cast<ptrdiff_t>(at), fault.inserted.begin(),
                     fault.inserted.end());
      } else {
        for (const std::string& line : fault.inserted) {
          const size_t at = 1 + random() % (lines.size() - 1);
          lines.insert(lines.begin() + static_cast<ptrdiff_t>(at), line);
        }
      }
      const std::string utf8 = joined_statement(lines, seed);
      const std::string label = std::string(fault.name) + ", seed " + std::to_string(seed);
      expect_pieces_agree(utf8, label + ", UTF-8");
      expect_pieces_agree(to_cp1251(utf8), label + ", Windows-1251");
      if (fault.inserted.empty()) {
        // Not agreement by never cutting: these statements are cut at many places (the last
        // pieces asked for, the smallest, may fall within one section).
        ASSERT_GE(pieces_of(utf8, LineForm::Utf8, 16), 8u) << label;
        ASSERT_GE(pieces_of(to_cp1251(utf8), LineForm::Cp1251, 16), 8u) << label;
      }
    }
  }
}

// Statements long enough for the first piece to make room for every document, so that the
// pieces are appended to it as they are read; and the same with a late fault, which stops the
// appending at its piece.
TEST(chunked_parse_test, long_statements_agree) {
  for (uint32_t seed = 1; seed <= 3; ++seed) {
    std::vector<std::string> lines = generated_statement_lines(seed, 3000);
    const std::string label = "seed " + std::to_string(seed);
    expect_pieces_agree(joined_statement(lines, seed), label);
    lines.insert(lines.end() - 40 * static_cast<ptrdiff_t>(seed), "Ключ=значение");
    expect_pieces_agree(joined_statement(lines, seed), label + ", stray attribute");
  }
}

// Accounts filed in several pieces settle as they do when filed in one: out of date order,
// repeated at another scale, and several of one start date (whose order is the filing order's).
TEST(chunked_parse_test, accounts_across_pieces) {
  std::string text = "1CClientBankExchange\nСекцияДокумент=\nКонецДокумента\n";
  const char* const sections[][3] = {
      {"2", "03", "10"},    {"1", "01", "10.0"}, {"2", "01", "5"}, {"3", "02", "1"},
      {"1", "01", "10.00"}, {"2", "01", "6"},    {"1", "01", "11"}, {"2", "03", "10.000"},
  };
  for (const auto& section : sections) {
    text += std::string("СекцияРасчСчет\nРасчСчет=") + section[0] + "\nДатаНачала=" + section[1] +
            ".03.2024\nНачальныйОстаток=" + section[2] + "\nКонецРасчСчет\n";
  }
  text += "КонецФайла\n";
  ASSERT_GE(pieces_of(text, LineForm::Utf8, 16), 6u);
  expect_pieces_agree(text, "accounts");
  const auto result = parse_statement(text, {}, ParseOptions{16, 1});
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result.value().accounts.size(), 3u);
  EXPECT_EQ(result.value().warnings.size(), 1u);
}

// Line numbers past the pieces before: warnings and errors name the line of the whole input.
TEST(chunked_parse_test, line_numbers) {
  std::vector<std::string> lines = generated_statement_lines(3, 200);
  lines.insert(lines.end() - 1, "конец");
  const std::string text = joined_statement(lines, 3);
  const auto result = parse_statement(text, {}, ParseOptions{8, 1});
  ASSERT_FALSE(result.ok());
  const auto* line = std::get_if<UnrecognizedLine>(&result.error());
  ASSERT_NE(line, nullptr);
  EXPECT_EQ(line->lineno, lines.size() - 1);
}

// The pieces shrink in file order, so that the last ones the threads take are short: within a
// section's length of the sizes asked, from the largest first to the smallest last.
TEST(chunked_parse_test, pieces_shrink_in_file_order) {
  std::string sections;
  for (int i = 0; i < 400; ++i) sections += test_support::kPaymentDocument;
  const std::string text = test_support::statement_of(sections);
  const size_t section = std::string_view(test_support::kPaymentDocument).size();
  for (const size_t wanted : {2u, 3u, 8u, 16u}) {
    const std::vector<size_t> cuts = find_chunk_cuts(text, LineForm::Utf8, wanted);
    ASSERT_EQ(cuts.size(), wanted + 1);
    for (size_t i = 1; i + 1 < wanted; ++i) {
      EXPECT_LE(cuts[i + 1] - cuts[i], cuts[i] - cuts[i - 1] + section) << wanted << " " << i;
    }
    EXPECT_LE(4 * (cuts[wanted] - cuts[wanted - 1]), 3 * (cuts[1] - cuts[0])) << wanted;
  }
}

// Below the threshold, or with one thread, a statement is read on the calling thread alone, into
// one arena of texts; read in pieces, it has one arena per thread at most, since the pieces
// read on one thread write their texts into one.
TEST(chunked_parse_test, threshold_and_threads) {
  const std::string text = joined_statement(generated_statement_lines(5, 50), 5);
  const auto arenas = [](const Result<Statement, ErrorRecord>& result) {
    std::set<const void*> seen;
    for (const Document& document : result.value().documents) {
      seen.insert(document.texts.operator->());
    }
    return seen.size();
  };
  EXPECT_EQ(arenas(parse_statement(text, {}, ParseOptions{4, text.size() + 1})), 1u);
  EXPECT_EQ(arenas(parse_statement(text, {}, ParseOptions{1, 1})), 1u);
  EXPECT_LE(arenas(parse_statement(text, {}, ParseOptions{4, text.size()})), 4u);
  EXPECT_LE(arenas(parse_statement(text, {}, ParseOptions{3, 1})), 3u);
  // At the threshold, pieces of an eighth of it at the least.
  EXPECT_EQ(chunk_count(text.size(), 1, 1), 1u);
  EXPECT_EQ(chunk_count(text.size(), 4, text.size()), 8u);
  EXPECT_EQ(chunk_count(text.size(), 4, text.size() * 4), 2u);
  EXPECT_EQ(chunk_count(text.size(), 1000, 1), 256u);
  EXPECT_GE(usable_cores(), 1u);
}

// A parse asked to stop ends with Abandoned, on one thread or several; the question is asked on
// the calling thread alone, and a parse that is never told to stop gives what it would anyway.
TEST(chunked_parse_test, stop_asked_on_the_calling_thread) {
  const std::string utf8 = joined_statement(generated_statement_lines(4, 100'000), 4);
  for (const std::string& text : {utf8, to_cp1251(utf8)}) {
    ASSERT_GT(text.size(), 2 * kStopPollBytes);
    const std::string expected = serial_outcome(text);
    for (const unsigned threads : {1u, 4u}) {
      const std::string label = std::to_string(threads) + " threads, " +
                                (text.size() == utf8.size() ? "UTF-8" : "Windows-1251");
      struct Asked {
        std::thread::id caller = std::this_thread::get_id();
        size_t times = 0;
        size_t elsewhere = 0;
        bool answer = false;
      } asked;
      ParseOptions options = on_threads(threads);
      options.should_stop = [](void* context) {
        auto& seen = *static_cast<Asked*>(context);
        ++seen.times;
        if (std::this_thread::get_id() != seen.caller) ++seen.elsewhere;
        return seen.answer;
      };
      options.stop_context = &asked;
      EXPECT_EQ(describe(parse_statement(text, {}, options)), expected) << label;
      EXPECT_GE(asked.times, 1u) << label;
      EXPECT_EQ(asked.elsewhere, 0u) << label;
      asked.answer = true;
      const auto stopped = parse_statement(text, {}, options);
      ASSERT_FALSE(stopped) << label;
      EXPECT_TRUE(std::holds_alternative<Abandoned>(stopped.error())) << label;
    }
  }
}

#if defined(__unix__) || defined(__APPLE__)
// A child forked while a parse holds the spare threads has every one of them for its own
// parses; a claim made before the fork, let go in the child, adds nothing to the child's count.
TEST(chunked_parse_test, forked_child_has_every_spare_thread) {
  const size_t spare = usable_cores() - 1;
  if (spare == 0) GTEST_SKIP() << "one usable core";
  std::optional<SpareThreads> held(std::in_place);
  held->claim(spare);
  ASSERT_EQ(held->claimed(), spare);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    SpareThreads first;
    first.claim(spare + 1);
    const bool all_free = first.claimed() == spare;
    held.reset();
    SpareThreads second;
    second.claim(spare + 1);
    _exit(all_free && second.claimed() == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  held.reset();
  SpareThreads after;
  after.claim(spare);
  EXPECT_EQ(after.claimed(), spare);
}
#endif

#ifdef CORVINA_SAMPLES_DIR
// The UTF-8 check in pieces: a fault or a sequence at every place around the cuts and the head
// gives the answer of one thread.
TEST(chunked_parse_test, utf8_check_in_pieces) {
  const std::string_view pieces[] = {"Я", "€", "\xF0\x9F\x98\x80", "\x80", "\xD0", "\xE2\x82",
                                     "\xC0\x80", "\xFF"};
  const std::string filler = "0123456789abcdefЖЖЖЖЖЖЖЖ";
  std::string text;
  for (int i = 0; i < 4; ++i) text += filler;
  for (const std::string_view piece : pieces) {
    for (size_t offset = 0; offset < text.size(); ++offset) {
      const std::string bytes = text.substr(0, offset) + std::string(piece) + text.substr(offset);
      const bool expected = is_well_formed_utf8(bytes);
      for (const auto& [threads, threshold] :
           {std::pair<unsigned, size_t>{2, 1}, {3, 16}, {7, 64}, {0, 8}}) {
        ASSERT_EQ(is_well_formed_utf8_shared(bytes, threads, threshold), expected)
            << testing::PrintToString(std::string(piece)) << " at " << offset << ", "
            << threads << " threads";
      }
    }
  }
}

TEST(chunked_parse_test, samples) {
  const std::filesystem::path dir = CORVINA_SAMPLES_DIR;
  if (!std::filesystem::is_directory(dir)) GTEST_SKIP() << "no samples";
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().extension() != ".txt") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)),
                            std::istreambuf_iterator<char>());
    const std::string expected = serial_outcome(bytes);
    for (size_t threshold = 1; threshold <= bytes.size(); threshold = threshold * 3 + 1) {
      for (const unsigned threads : kThreadCounts) {
        EXPECT_EQ(describe(parse_statement(bytes, {}, ParseOptions{threads, threshold})),
                  expected)
            << entry.path().filename() << ", threshold " << threshold << ", " << threads
            << " threads";
      }
    }
  }
}
#endif

}  // namespace
}  // namespace corvina
