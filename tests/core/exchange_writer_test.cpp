#include "exchange_writer.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "attribute_map.h"
#include "cp1251_decode.h"
#include "document.h"
#include "parse_statement.h"
#include "test_support.h"

namespace corvina {
namespace {

using test_support::joined_statement;
using test_support::generated_statement_lines;
using test_support::payment_document_with;
using test_support::pointers_to;
using test_support::statement_of;
using test_support::to_cp1251;

Statement parsed(std::string_view text) {
  auto result = parse_statement(text, {});
  EXPECT_TRUE(result.ok());
  return std::move(result).value();
}

// A document's section as written, for the statement of that one section (read from
// Windows-1251 bytes when `from_cp1251`).
std::optional<std::string> written(std::string_view section, LineForm form,
                                   std::string_view newline = "\r\n", bool from_cp1251 = false) {
  const std::string text = statement_of(section);
  const Statement statement = parsed(from_cp1251 ? to_cp1251(text) : text);
  EXPECT_EQ(statement.documents.size(), 1u);
  return write_document_sections(pointers_to(statement.documents), form, newline);
}

TEST(exchange_writer_test, fields_in_table_order_dates_and_amounts_canonical) {
  const std::string expected =
      "СекцияДокумент=Платежное поручение\r\nНомер=17\r\nДата=05.03.2024\r\nСумма=100.50\r\n"
      "НазначениеПлатежа=Оплата\r\nВидОплаты=\r\nПлательщикИНН=7701\r\nПлательщикБИК=044525000\r\n"
      "ПлательщикБанк1=Банк\r\nПлательщикСчет=40702810000000000001\r\n"
      "ДатаСписано=01.01.+10000\r\nПолучательИНН=7702\r\nПолучательСчет=40702810000000000002\r\n"
      "ПолучательБИК=044525001\r\nПолучательБанк1=Банк получателя\r\n"
      "ДатаПоступило=07.03.0024\r\nЛишний=x\r\nПоказательКБК=18210101\r\n"
      "ПлательщикБанк2=г. Москва\r\nКонецДокумента\r\n";
  // Extra keys follow the fields in their first order with their last values; the common ones
  // and the Cyrillic values are kept apart from the rest, and in Windows-1251 when read so.
  const std::string section = payment_document_with(
      "ВидОплаты=\r\nЛишний=y\r\nДатаСписано=1.1.+10000\r\nПоказательКБК=18210101\r\n"
      "ДатаПоступило=7.3.24\r\nЛишний=x\r\nПлательщикБанк2=г. Москва\r\n");
  for (const bool from_cp1251 : {false, true}) {
    EXPECT_EQ(written(section, LineForm::Utf8, "\r\n", from_cp1251), expected);
    EXPECT_EQ(written(section, LineForm::Cp1251, "\r\n", from_cp1251), to_cp1251(expected));
  }
}

// Every byte of Windows-1251 comes back as itself, in runs that start and end anywhere within
// the sixteen bytes the writer takes Russian letters by: letters of either half, Ё and ё, the
// other letters and marks, and ASCII.
TEST(exchange_writer_test, windows_1251_texts_written_back_byte_for_byte) {
  std::mt19937 random(7);
  const auto pick = [&random](uint32_t count) { return static_cast<uint32_t>(random() % count); };
  for (int round = 0; round < 300; ++round) {
    std::string bytes = "x";
    const uint32_t runs = 1 + pick(12);
    for (uint32_t run = 0; run < runs; ++run) {
      const uint32_t kind = pick(5);
      const uint32_t length = 1 + pick(kind == 0 ? 20 : 6);
      for (uint32_t i = 0; i < length; ++i) {
        uint32_t byte;
        if (kind == 0) {
          byte = 0xC0 + pick(0x40);  // А-я
        } else if (kind == 1) {
          byte = pick(2) ? 0xA8 : 0xB8;  // Ё, ё
        } else if (kind == 2) {
          byte = 0x80 + pick(0x40);  // other letters, marks, №
        } else if (kind == 3) {
          byte = 0x20 + pick(0x5F);  // ASCII
        } else {
          byte = 0x20 + pick(0xE0);
        }
        bytes += static_cast<char>(byte);
      }
    }
    bytes += "x";
    const std::string section =
        payment_document_with("НазначениеПлатежа=" + decode_cp1251(bytes) + "\r\n");
    const auto out = written(section, LineForm::Cp1251);
    ASSERT_TRUE(out.has_value()) << round;
    const std::string line = "\r\n" + to_cp1251("НазначениеПлатежа=") + bytes + "\r\n";
    EXPECT_NE(out->find(line), std::string::npos) << round;
  }
}

struct RefusalCase {
  const char* name;
  std::string_view value;  // the purpose's value
  LineForm form;
  std::string_view newline;
};

const RefusalCase kRefusals[] = {
    {"line feed", "a\nb", LineForm::Utf8, "\r\n"},
    {"carriage return before a bare line feed", "a\r", LineForm::Utf8, "\n"},
    {"no Windows-1251 byte", "✓", LineForm::Cp1251, "\r\n"},
    {"beyond the Basic Multilingual Plane", "\xF0\x9F\x98\x80", LineForm::Cp1251, "\r\n"},
};

TEST(exchange_writer_test, refusals) {
  for (const RefusalCase& c : kRefusals) {
    // A document as a hook could have left it.
    const auto built = build_document("Вид", [&] {
      AttributeMap map;
      for (const auto& [key, value] : std::vector<std::pair<std::string, std::string>>{
               {"Номер", "1"}, {"Дата", "05.03.2024"}, {"Сумма", "1"},
               {"ПлательщикСчет", "1"}, {"ПлательщикИНН", "1"}, {"ПлательщикБИК", "1"},
               {"ПлательщикБанк1", "1"}, {"ПолучательСчет", "1"}, {"ПолучательИНН", "1"},
               {"ПолучательБИК", "1"}, {"ПолучательБанк1", "1"}}) {
        map.insert_copy(key, value);
      }
      map.insert_copy("НазначениеПлатежа", c.value);
      return map;
    }());
    ASSERT_TRUE(built.ok()) << c.name;
    const Document* document = &built.value();
    EXPECT_EQ(write_document_sections({&document, 1}, c.form, c.newline), std::nullopt)
        << c.name;
  }
}

TEST(exchange_writer_test, pieces_on_threads_write_the_same_bytes) {
  for (uint32_t seed = 1; seed <= 5; ++seed) {
    // The first statement is long enough for its room to be measured on the threads as well.
    const Statement statement =
        parsed(joined_statement(generated_statement_lines(seed, seed == 1 ? 6000 : 400), seed));
    const auto documents = pointers_to(statement.documents);
    for (const LineForm form : {LineForm::Utf8, LineForm::Cp1251}) {
      const auto one = write_document_sections(documents, form, "\r\n");
      ASSERT_TRUE(one.has_value());
      std::string many(document_sections_bound(documents, "\r\n"), '\0');
      const char* end = write_document_sections_into(documents, form, "\r\n", many.data(),
                                                     {.threads = 4, .threshold = 1});
      ASSERT_NE(end, nullptr);
      many.resize(static_cast<size_t>(end - many.data()));
      EXPECT_EQ(many, *one) << "seed " << seed;
    }
  }
}

}  // namespace
}  // namespace corvina
