#include "parse_statement.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "record_printer.h"
#include "test_support.h"

namespace corvina {
namespace {

using test_support::describe;
using test_support::line_of;
using test_support::to_cp1251;

const std::string kStatement = std::string(
    "1CClientBankExchange\r\n"
    "ВерсияФормата=1.03\r\n"
    "Кодировка=Windows\r\n"
    "РасчСчет=40702810000000000001\r\n"
    "Кодировка=Windows \r\n"
    "\r\n"
    "СекцияРасчСчет\r\n"
    "ДатаНачала=01.03.2024\r\n"
    "ДатаКонца=31.03.2024\r\n"
    "РасчСчет=40702810000000000001\r\n"
    "НачальныйОстаток=1000.00\r\n"
    "ВсегоПоступило=500\r\n"
    "ВсегоСписано=100.50\r\n"
    "КонечныйОстаток=1399.50\r\n"
    "КонецРасчСчет\r\n"
    "СекцияДокумент=Платежное поручение\r\n"
    "Номер=17\r\n"
    "Дата=05.03.2024\r\n"
    "Сумма=100.50\r\n"
    "ВидОплаты=\r\n") +
    std::string(test_support::kPaymentParties) +
    "ПоказательКБК=18210102010011000110\r\n"
    "НазначениеПлатежа=Оплата = по счету\r\n"
    "Поле банка=Ёлка «1»\r\n"
    "ДатаСписано=05.03.2024\r\n"
    "ПоказательКБК=0\r\n"
    "КонецДокумента\r\n"
    "\r\n"
    "СекцияДокумент=Банковский ордер\r\n"
    "Номер=18\r\n"
    "Сумма=1,5\r\n"
    "КонецДокумента\r\n"
    "СекцияДокумент=Банковский ордер\r\n"
    "Номер=19\r\n"
    "КонецДокумента\r\n"
    "КонецФайла";

const char kExpected[] =
    "header: ВерсияФормата=1.03;Кодировка=Windows ;РасчСчет=40702810000000000001;\n"
    "account 40702810000000000001: [2024-03-01 2024-03-31 500 100.50 1000.00 1399.50]\n"
    "document 17|Платежное поручение|\"\"|2024-03-05|Оплата = по счету|-|100.50|7701|-|044525000|"
    "Банк|40702810000000000001|-|-|2024-03-05|-|-|7702|-|40702810000000000002|-|044525001|"
    "Банк получателя|-|-|-|line 16|ПоказательКБК=0|Поле банка=Ёлка «1»|direction out\n"
    "warning 39 invalid value: string \"1,5\", expected a Decimal type representing a "
    "fixed-point number\n"
    "warning 42 missing field `Дата`\n";

TEST(parse_statement_test, every_section_kind) {
  std::string input = kStatement;
  auto utf8 = parse_statement(input, {});
  // The statement's texts are its own: the input may go away once the parse returns.
  input.assign(input.size(), '#');
  ASSERT_TRUE(utf8.ok()) << utf8.error().index();
  EXPECT_EQ(utf8.value().encoding, Encoding::Utf8);
  EXPECT_EQ(describe(utf8.value()), kExpected);

  // The same statement in Windows-1251 gives the same records.
  auto cp1251 = parse_statement(to_cp1251(kStatement), {});
  ASSERT_TRUE(cp1251.ok()) << cp1251.error().index();
  EXPECT_EQ(cp1251.value().encoding, Encoding::Cp1251);
  EXPECT_EQ(describe(cp1251.value()), kExpected);
}

struct ErrorCase {
  const char* name;
  std::string input;
  size_t kind;  // index of the ErrorRecord alternative
  LineNumber line;
};

const ErrorCase kErrorCases[] = {
    {"header only", "1CClientBankExchange\nА=Б\n", 6, 0},
    {"ends inside a section", "1CClientBankExchange\nСекцияДокумент=\nНомер=1\n", 6, 0},
    {"unrecognised line after the end",
     "1CClientBankExchange\nСекцияДокумент=\nКонецДокумента\nКонецФайла\nчто-то\n", 2, 5},
    {"section after the end",
     "1CClientBankExchange\nСекцияДокумент=\nКонецДокумента\nКонецФайла\n\nКонецФайла\n", 0, 6},
    {"missing account number",
     "1CClientBankExchange\nСекцияРасчСчет\nДатаНачала=01.01.2024\nНачальныйОстаток=0\n"
     "КонецРасчСчет\nКонецФайла\n",
     3, 5},
};

TEST(parse_statement_test, errors) {
  for (const ErrorCase& test : kErrorCases) {
    auto result = parse_statement(test.input, {});
    ASSERT_FALSE(result.ok()) << test.name;
    EXPECT_EQ(result.error().index(), test.kind) << test.name;
    EXPECT_EQ(line_of(result.error()), test.line) << test.name;
  }
}

struct SampleCase {
  const char* file;
  size_t documents;
  size_t accounts;
  size_t warnings;
  Encoding encoding;
};

const SampleCase kSamples[] = {
    {"sample-01.txt", 13, 1, 0, Encoding::Cp1251}, {"sample-02.txt", 13, 1, 0, Encoding::Utf8},
    {"sample-03.txt", 3, 1, 0, Encoding::Cp1251},  {"sample-05.txt", 6, 2, 0, Encoding::Utf8},
    {"sample-06.txt", 2, 2, 0, Encoding::Utf8},    {"sample-07.txt", 6, 0, 0, Encoding::Utf8},
    {"sample-08.txt", 14, 1, 0, Encoding::Cp1251}, {"sample-09.txt", 2, 1, 0, Encoding::Cp1251},
    {"sample-10.txt", 4, 1, 0, Encoding::Utf8},
};

#ifdef CORVINA_SAMPLES_DIR
const std::filesystem::path kSamplesDir = CORVINA_SAMPLES_DIR;
#else
const std::filesystem::path kSamplesDir;
#endif

bool read_sample(const char* name, std::string& out) {
  std::ifstream file(kSamplesDir / name, std::ios::binary);
  if (!file) return false;
  out.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  return true;
}

TEST(parse_statement_test, real_samples) {
  std::string bytes;
  if (kSamplesDir.empty() || !read_sample("sample-01.txt", bytes)) {
    GTEST_SKIP() << "no sample statements here";
  }
  for (const SampleCase& sample : kSamples) {
    ASSERT_TRUE(read_sample(sample.file, bytes)) << sample.file;
    auto result = parse_statement(bytes, {});
    ASSERT_TRUE(result.ok()) << sample.file << ": error kind " << result.error().index();
    const Statement& statement = result.value();
    EXPECT_EQ(statement.documents.size(), sample.documents) << sample.file;
    EXPECT_EQ(statement.accounts.size(), sample.accounts) << sample.file;
    EXPECT_EQ(statement.warnings.size(), sample.warnings) << sample.file;
    EXPECT_EQ(statement.encoding, sample.encoding) << sample.file;
  }

  // The same statement in both encodings.
  std::string utf8;
  ASSERT_TRUE(read_sample("sample-01.txt", bytes));
  ASSERT_TRUE(read_sample("sample-02.txt", utf8));
  auto from_cp1251 = parse_statement(bytes, {});
  auto from_utf8 = parse_statement(utf8, {});
  ASSERT_TRUE(from_cp1251.ok() && from_utf8.ok());
  EXPECT_EQ(describe(from_cp1251.value()), describe(from_utf8.value()));

  ASSERT_TRUE(read_sample("sample-04.txt", bytes));
  auto malformed = parse_statement(bytes, {});
  ASSERT_FALSE(malformed.ok());
  const auto* line = std::get_if<UnrecognizedLine>(&malformed.error());
  ASSERT_NE(line, nullptr) << "error kind " << malformed.error().index();
  EXPECT_EQ(line->lineno, 10u);
  EXPECT_EQ(line->line, "СекцияДокумент");
}

}  // namespace
}  // namespace corvina
