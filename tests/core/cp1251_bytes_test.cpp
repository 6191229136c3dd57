// Windows-1251 without hooks is read in its own bytes, and only what is kept is decoded; with
// hooks (and in parse_text) the whole text is decoded first. Both roads must give the same
// statement or the same error: keys and keywords matched in either form, blank lines, typographic
// marks in keys, values and dates, and every error that quotes a line.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "decode.h"
#include "direction.h"
#include "parse_statement.h"
#include "state_machine.h"
#include "record_printer.h"
#include "test_support.h"

namespace corvina {
namespace {

using test_support::describe;
using test_support::line_of;
using test_support::to_cp1251;

// The whole-text road: all of the input decoded, then parse_text.
Result<Statement, ErrorRecord> parse_whole(std::string_view bytes) {
  std::unique_ptr<char[]> buffer(new char[3 * bytes.size() + kCp1251StoreSlack]);
  const char* const end = decode_cp1251_into(bytes, buffer.get());
  const std::string_view decoded(buffer.get(), static_cast<size_t>(end - buffer.get()));
  auto state = parse_text(decoded, Encoding::Cp1251, {});
  if (!state) return fail(std::move(state).error());
  auto* finished = std::get_if<FinishedState>(&state.value());
  if (finished == nullptr) return fail(ErrorRecord{Unfinished{}});
  assign_directions(finished->statement);
  return std::move(finished->statement);
}

void expect_roads_agree(std::string_view bytes, const std::string& name) {
  ASSERT_EQ(describe(parse_cp1251_bytes(bytes)), describe(parse_whole(bytes))) << name;
}

constexpr const char* kDocument = test_support::kPaymentDocument;

const char kAccount[] =
    "СекцияРасчСчет\r\n"
    "ДатаНачала=01.03.2024\r\n"
    "РасчСчет=40702810000000000001\r\n"
    "НачальныйОстаток=1000.00\r\n"
    "КонецРасчСчет\r\n";

const std::string kHead = "1CClientBankExchange\r\nВерсияФормата=1.03\r\nКодировка=Windows\r\n\r\n";

std::string replaced(std::string text, std::string_view what, std::string_view with) {
  const size_t at = text.find(what);
  if (at != std::string::npos) text.replace(at, what.size(), with);
  return text;
}

std::string statement_of(const std::string& body) {
  return to_cp1251(kHead + body + "КонецФайла\r\n");
}

std::string long_header() {
  std::string header = "1CClientBankExchange\r\n";
  for (int i = 0; i < 500; ++i) header += "Ключ" + std::to_string(i) + "=Значение\r\n";
  return to_cp1251(header + kHead.substr(std::string_view("1CClientBankExchange\r\n").size()) +
                   kDocument + "КонецФайла\r\n");
}

TEST(cp1251_bytes_test, hand_made_statements_and_errors) {
  const std::string document = kDocument;
  const std::string unknown = "строка без знака\r\n";
  const std::string cut = statement_of(kDocument);
  const std::string long_purpose = "СекцияДокумент=Платежное поручение\r\nНазначениеПлатежа=" +
                                   std::string(10000, 'x') + "\r\nКонецДокумента\r\n";
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"one of each", statement_of(std::string(kAccount) + kDocument)},
      {"empty", ""},
      {"marker only", to_cp1251("1CClientBankExchange")},
      {"header only", to_cp1251(kHead)},
      {"no line break at the end", cut.substr(0, cut.size() - 2)},
      {"LF only", to_cp1251("1CClientBankExchange\nА=1\n" + document + "КонецФайла\n")},
      {"a long line", statement_of(document + long_purpose)},
      {"a document that cannot be built",
       statement_of("СекцияДокумент=Платежное поручение\r\nНомер=1\r\nКонецДокумента\r\n" +
                    document)},
      {"an account without its number",
       statement_of("СекцияРасчСчет\r\nДатаНачала=01.03.2024\r\nНачальныйОстаток=1.00\r\n"
                    "КонецРасчСчет\r\n" +
                    document)},
      {"an attribute between sections", statement_of(document + "Лишний=1\r\n" + document)},
      {"a machine error, then an unrecognised line",
       statement_of(document + "КонецРасчСчет\r\n" + document + document + unknown + document)},
      {"an unrecognised line, then a machine error",
       statement_of(document + unknown + "КонецРасчСчет\r\n" + document)},
      {"a machine error and nothing unrecognised",
       statement_of(document + document + "КонецДокумента\r\n" + document + document)},
      {"lines after the end", statement_of(kDocument) + to_cp1251("\r\n  \r\nА=1\r\n")},
      {"blank lines only after the end", statement_of(kDocument) + "\r\n \t\r\n\r\n"},
      {"a lone CR at the end", statement_of(kDocument) + "\r"},
      {"a section end in the header",
       to_cp1251("1CClientBankExchange\r\nКонецДокумента\r\n")},
      {"typographic marks", statement_of(kDocument) + "\x96\xB9\x98\x85=\x93\x94\r\n"},
      {"a long header", long_header()},
      {"no-break spaces around a date and in an amount",
       statement_of(replaced(document, "Дата=01.03.2024", "Дата=\u00A001.03.2024\u00A0") +
                    replaced(document, "Сумма=", "Сумма=1\u00A0"))},
      {"a date and an amount that are Cyrillic words",
       statement_of(replaced(document, "Дата=01.03.2024", "Дата=первое") +
                    replaced(document, "Сумма=", "Сумма=сто"))},
      {"blank lines of no-break spaces",
       statement_of("\u00A0\r\n \u00A0\t\r\n" + document + "\u00A0\r\n")},
      // Byte 85 is "…" here, though U+0085 is a space: the line is no blank one.
      {"a line of an ellipsis", statement_of(document) + "\x85\r\n"},
      {"a line of an ellipsis among spaces",
       to_cp1251(kHead + document) + " \x85\t\r\n" + to_cp1251(document + "КонецФайла\r\n")},
      {"an account number and a kind with marks",
       statement_of(replaced(kAccount, "РасчСчет=40702810000000000001", "РасчСчет=№1 «Ё»") +
                    replaced(document, "СекцияДокумент=Платежное поручение",
                             "СекцияДокумент=Ордер №5 — ё"))},
      {"keys that differ from known ones in one letter or mark",
       statement_of(replaced(document, "Номер=", "Номер=1\r\nНомеР=2\r\nНомер\u2116=3\r\nN"))},
      {"a header key with marks, then an attribute out of place with marks",
       statement_of("Ключ№1=«значение»\r\n" + document + "Лишний№=«ё»\r\n")},
  };
  for (const auto& c : cases) expect_roads_agree(c.bytes, c.name);
}

TEST(cp1251_bytes_test, every_prefix_of_a_statement) {
  const std::string bytes = statement_of(std::string(kAccount) + kDocument + kDocument);
  for (size_t size = 0; size <= bytes.size(); ++size) {
    expect_roads_agree(std::string_view(bytes).substr(0, size),
                        "prefix " + std::to_string(size));
  }
}

// Statements of random shape: sections of every size, blank lines, both line breaks, documents
// that build and ones that do not, and now and then a line that breaks the statement.
std::string generated_statement(std::mt19937& random) {
  const auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  std::string utf8 = "1CClientBankExchange\r\n";
  const int header_keys = pick(30);
  for (int i = 0; i < header_keys; ++i) {
    utf8 += "Ключ" + std::to_string(i) + "=Значение " + std::to_string(pick(1000)) + "\r\n";
  }
  const int sections = pick(40);
  for (int i = 0; i < sections; ++i) {
    if (pick(6) == 0) utf8 += "\r\n";
    if (pick(5) == 0) {
      std::string account = kAccount;
      if (pick(10) == 0) {
        account.replace(account.find("0001"), 4, std::to_string(pick(9000) + 1000));
      }
      utf8 += account;
      continue;
    }
    std::string document = kDocument;
    if (pick(3) == 0) {
      const std::string purpose = "НазначениеПлатежа=Оплата";
      std::string filler;
      for (int n = pick(3000); n > 0; --n) filler += "я";
      document.insert(document.find(purpose) + purpose.size(), filler);
    }
    if (pick(8) == 0) document.erase(document.find("Сумма="), 14);  // dropped with a warning
    if (pick(4) == 0) {
      for (size_t at = 0; (at = document.find("\r\n", at)) != std::string::npos;) {
        document.erase(at, 1);
      }
    }
    utf8 += document;
    if (pick(60) == 0) utf8 += "Лишний=1\r\n";
    if (pick(80) == 0) utf8 += "строка без знака\r\n";
  }
  if (pick(10) != 0) utf8 += "КонецФайла\r\n";
  std::string bytes = to_cp1251(utf8);
  if (pick(5) == 0) bytes += "\x96\xB9\r\n";
  return bytes;
}

TEST(cp1251_bytes_test, generated_statements) {
  std::mt19937 random(20240305);
  for (int round = 0; round < 300; ++round) {
    expect_roads_agree(generated_statement(random), "round " + std::to_string(round));
  }
}

#ifdef CORVINA_SAMPLES_DIR
TEST(cp1251_bytes_test, samples) {
  const std::filesystem::path dir = CORVINA_SAMPLES_DIR;
  if (!std::filesystem::is_directory(dir)) GTEST_SKIP() << "no samples";
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().extension() != ".txt") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)),
                            std::istreambuf_iterator<char>());
    if (is_well_formed_utf8(bytes)) continue;
    expect_roads_agree(bytes, entry.path().filename().string());
  }
}
#endif

// parse_statement takes the road of the bytes without hooks and the whole one with them; its
// callers see one outcome whichever they take.
TEST(cp1251_bytes_test, deferred_and_whole_decoding_agree) {
  std::mt19937 random(7);
  std::vector<std::string> inputs = {
      statement_of(kDocument), statement_of(kAccount), "\xC0\xC1",
      to_cp1251("1CClientBankExchange\r\n") + std::string(30000, '\x01')};
  for (int round = 0; round < 30; ++round) inputs.push_back(generated_statement(random));
  for (const std::string& bytes : inputs) {
    const auto deferred = decode_input(bytes, Cp1251Decoding::Deferred);
    const auto whole = decode_input(bytes, Cp1251Decoding::Whole);
    ASSERT_EQ(static_cast<bool>(deferred), static_cast<bool>(whole));
    if (!whole) {
      EXPECT_EQ(deferred.error().index(), whole.error().index());
      continue;
    }
    EXPECT_EQ(deferred.value().encoding, whole.value().encoding);
    EXPECT_EQ(deferred.value().deferred, !whole.value().in_place);
    EXPECT_EQ(describe(parse_decoded(deferred.value(), {})),
              describe(parse_decoded(whole.value(), {})));
    DecodedText decoded = deferred.value();
    decode_deferred(decoded);
    EXPECT_EQ(decoded.text(), whole.value().text());
  }
}

}  // namespace
}  // namespace corvina
