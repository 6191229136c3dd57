#include "document.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "record_printer.h"
#include "test_support.h"

namespace corvina {
namespace {

using test_support::describe;

using Attributes = std::vector<std::pair<std::string, std::string>>;

// The 12 required keys besides the kind, each with a distinct value.
const Attributes kRequired = {
    {"Номер", "17"},
    {"Дата", "05.03.2024"},
    {"НазначениеПлатежа", "Оплата по счету 5"},
    {"Сумма", "100.50"},
    {"ПлательщикИНН", "7701"},
    {"ПлательщикБИК", "044525000"},
    {"ПлательщикБанк1", "Банк плательщика"},
    {"ПлательщикСчет", "40702810000000000001"},
    {"ПолучательИНН", "7702"},
    {"ПолучательСчет", "40702810000000000002"},
    {"ПолучательБИК", "044525001"},
    {"ПолучательБанк1", "Банк получателя"},
};

Attributes with(Attributes attributes, const Attributes& changes) {
  for (const auto& change : changes) attributes.push_back(change);
  return attributes;
}

Attributes without(Attributes attributes, const std::vector<std::string>& keys) {
  std::erase_if(attributes, [&](const auto& attribute) {
    return std::find(keys.begin(), keys.end(), attribute.first) != keys.end();
  });
  return attributes;
}

Result<Document, std::string> build(const Attributes& attributes,
                                    std::string_view kind = "Платежное поручение") {
  AttributeMap map;
  for (const auto& [key, value] : attributes) map.insert(key, value);
  return build_document(kind, map);
}

const char kRequiredOnly[] =
    "17\nПлатежное поручение\n-\n2024-03-05\nОплата по счету 5\n-\n100.50\n7701\n-\n044525000\n"
    "Банк плательщика\n40702810000000000001\n-\n-\n-\n-\n-\n7702\n-\n40702810000000000002\n-\n"
    "044525001\nБанк получателя\n-\n-\n-\n";

TEST(document_test, required_only_leaves_optionals_absent) {
  Attributes attributes = kRequired;
  AttributeMap map;
  for (const auto& [key, value] : attributes) map.insert(key, value);
  std::string kind = "Платежное поручение";
  auto document = build_document(kind, map);
  ASSERT_TRUE(document.ok()) << document.error();
  // The document must not depend on the texts it was built from, and moves with its block.
  for (auto& [key, value] : attributes) value.assign(value.size(), '#');
  kind.assign(kind.size(), '#');
  Document moved = std::move(document).value();
  EXPECT_EQ(describe(moved), kRequiredOnly);
}

TEST(document_test, every_key_to_its_field) {
  const Attributes optional = {
      {"ВидОплаты", "01"},
      {"Очередность", "5"},
      {"ПлательщикКПП", "770101001"},
      {"Плательщик", "ООО Плательщик"},
      {"Плательщик1", "ООО \"Плательщик\""},
      {"ДатаСписано", "06.03.2024"},
      {"ПлательщикРасчСчет", "40702810000000000003"},
      {"ПлательщикКорсчет", "30101810000000000001"},
      {"Получатель", "ИП Получатель"},
      {"ПолучательКПП", "770201001"},
      {"ПолучательРасчСчет", "40702810000000000004"},
      {"ПолучательКорсчет", "30101810000000000002"},
      {"ДатаПоступило", " 07.03.2024"},
      // Ignored: unknown, case variants, extra characters, and the kind key itself.
      {"КодНазПлатежа", "1"},
      {"номер", "x"},
      {"Сумма ", "x"},
      {"Плательщик2", "x"},
      {"СекцияДокумент", "Подмена"},
  };
  auto document = build(with(kRequired, optional), "Банковский ордер");
  ASSERT_TRUE(document.ok()) << document.error();
  EXPECT_EQ(describe(document.value()),
            "17\nБанковский ордер\n\"01\"\n2024-03-05\nОплата по счету 5\n\"5\"\n100.50\n7701\n"
            "\"770101001\"\n044525000\nБанк плательщика\n40702810000000000001\n"
            "\"ООО Плательщик\"\n\"ООО \"Плательщик\"\"\n2024-03-06\n\"40702810000000000003\"\n"
            "\"30101810000000000001\"\n7702\n\"ИП Получатель\"\n40702810000000000002\n"
            "\"770201001\"\n044525001\nБанк получателя\n\"40702810000000000004\"\n"
            "\"30101810000000000002\"\n2024-03-07\n");
}

TEST(document_test, empty_values) {
  const Attributes changes = {{"Номер", ""},         {"ВидОплаты", ""},     {"Получатель", ""},
                              {"ДатаСписано", "  "}, {"ДатаПоступило", ""}, {"ПлательщикИНН", ""}};
  auto document = build(with(kRequired, changes), "");
  ASSERT_TRUE(document.ok()) << document.error();
  const Document& d = document.value();
  EXPECT_EQ(d.text(d.doc_number), "");
  EXPECT_EQ(d.text(d.doc_type), "");
  EXPECT_EQ(d.text(d.counterparty_inn), "");
  EXPECT_EQ(d.text(d.payment_type), std::optional<std::string_view>(""));
  EXPECT_EQ(d.text(d.payee), std::optional<std::string_view>(""));
  EXPECT_EQ(d.outcome_date, std::nullopt);
  EXPECT_EQ(d.income_date, std::nullopt);
  EXPECT_EQ(d.text(d.ordering), std::nullopt);
}

const char kBadAmount[] =
    "invalid value: string \"12,50\", expected a Decimal type representing a fixed-point number";

struct FailureCase {
  const char* name;
  Attributes attributes;
  std::string expected;
};

const FailureCase kFailureCases[] = {
    {"missing Номер", without(kRequired, {"Номер"}), "missing field `Номер`"},
    {"Номер reported before Сумма", without(kRequired, {"Номер", "Сумма"}),
     "missing field `Номер`"},
    {"Дата before НазначениеПлатежа", without(kRequired, {"НазначениеПлатежа", "Дата"}),
     "missing field `Дата`"},
    {"missing last required", without(kRequired, {"ПолучательБанк1"}),
     "missing field `ПолучательБанк1`"},
    {"ПлательщикСчет before ПолучательИНН",
     without(kRequired, {"ПолучательИНН", "ПлательщикСчет"}), "missing field `ПлательщикСчет`"},
    {"only the exact key counts", with(without(kRequired, {"Сумма"}), {{"сумма", "1"}}),
     "missing field `Сумма`"},
    {"value error wins over missing key",
     with(without(kRequired, {"Номер", "Сумма"}), {{"Сумма", "12,50"}}), kBadAmount},
    {"empty Дата", with(kRequired, {{"Дата", ""}}), "empty string is not a valid date"},
    {"Дата before Сумма", with(kRequired, {{"Дата", "31.02.2024"}, {"Сумма", "abc"}}),
     "input is out of range"},
    {"Дата before ДатаПоступило",
     with(kRequired, {{"ДатаПоступило", "1.1"}, {"Дата", "05.03.2024x"}}), "trailing input"},
    {"ДатаПоступило before ДатаСписано",
     with(kRequired, {{"ДатаСписано", "x"}, {"ДатаПоступило", "1.1"}}),
     "premature end of input"},
    {"ДатаСписано before Сумма", with(kRequired, {{"Сумма", "x"}, {"ДатаСписано", "x"}}),
     "input contains invalid characters"},
    {"amount", with(kRequired, {{"Сумма", "12,50"}}), kBadAmount},
    {"repeated key keeps its last value",
     with(kRequired, {{"Сумма", "12,50"}, {"Сумма", "1"}, {"Сумма", "12,50"}}), kBadAmount},
};

TEST(document_test, failures) {
  for (const FailureCase& test : kFailureCases) {
    auto document = build(test.attributes);
    ASSERT_FALSE(document.ok()) << test.name;
    EXPECT_EQ(document.error(), test.expected) << test.name;
  }
}

// A document whose texts pass the limit of 32-bit spans keeps them in a wide block: the same
// record, field by field, in either encoding. The real limit is 4 GiB; tests force a small one.
TEST(document_test, texts_past_the_span_limit_take_a_wide_block) {
  const Attributes attributes =
      with(kRequired, {{"Плательщик", "ООО «Ромашка»"}, {"ВидОплаты", ""}, {"Очередность", "5"}});
  auto narrow = build(attributes);
  ASSERT_TRUE(narrow.ok());
  const std::string expected = describe(narrow.value());
  AttributeMap map;
  for (const auto& [key, value] : attributes) map.insert(key, value);
  for (const size_t limit : {size_t{0}, size_t{1}, size_t{100}}) {
    SharedTextArena texts;
    auto wide = build_document("Платежное поручение", map, texts, limit);
    ASSERT_TRUE(wide.ok()) << limit;
    EXPECT_EQ(describe(wide.value()), expected) << limit;

    // The fields view the lines they are given, as they view the input.
    Attributes lines;
    for (const auto& [key, value] : attributes) {
      lines.emplace_back(test_support::to_cp1251(key), test_support::to_cp1251(value));
    }
    DocumentFields fields(LineForm::Cp1251, limit);
    for (const auto& [key, value] : lines) fields.add<LineForm::Cp1251>(key, value);
    const std::string kind = test_support::to_cp1251("Платежное поручение");
    auto decoded = fields.build(kind, texts);
    ASSERT_TRUE(decoded.ok()) << limit;
    EXPECT_EQ(describe(decoded.value()), expected) << limit;
  }
}

// The keys that name no field, as a map of the section gives them and as the lines of a
// Windows-1251 section do, narrow and wide: order of first appearance, last value, and the
// sizes where a stored size takes more than one byte.
struct ExtraCase {
  const char* name;
  Attributes lines;  // after the required keys, in order; a key may repeat
  std::string expected;
};

const ExtraCase kExtraCases[] = {
    {"none", {}, ""},
    {"common and other keys in file order, a repeat keeps its place and last value",
     {{"ПоказательКБК", "18210102010011000110"},
      {"Плательщик", "ООО"},
      {"Поле", "а"},
      {"Код", "0"},
      {"ПоказательКБК", "0"},
      {"ОКАТО", ""}},
     "|ПоказательКБК=0|Поле=а|Код=0|ОКАТО="},
    {"keys close to a common one are kept as written",
     {{"ПоказательКБК2", "1"}, {"Ко", "2"}, {"КодНазПлатежа", "3"}, {"ПоказательКбк", "4"}},
     "|ПоказательКБК2=1|Ко=2|КодНазПлатежа=3|ПоказательКбк=4"},
    {"an empty key", {{"", "пусто"}}, "|=пусто"},
    {"many other keys, repeated before and after they are found by hash",
     {{"к1", "1"}, {"к2", "2"}, {"к1", "3"}, {"к3", "4"}, {"к4", "5"}, {"к5", "6"}, {"к6", "7"},
      {"к7", "8"}, {"Код", "9"}, {"к8", "10"}, {"к9", "11"}, {"к2", "12"}, {"к10", "13"},
      {"к9", "14"}, {"Код", "15"}},
     "|к1=3|к2=12|к3=4|к4=5|к5=6|к6=7|к7=8|Код=15|к8=10|к9=14|к10=13"},
    {"a value of more than 127 bytes once decoded",
     {{"ПлательщикБанк2", std::string(100, 'x') + "г. Москва"}, {"Код", "1"}},
     "|ПлательщикБанк2=" + std::string(100, 'x') + "г. Москва|Код=1"},
    {"a key of more than 127 bytes once decoded",
     {{std::string(20, 'k') + "ДлинноеИмяПоляКоторогоНетВСпискеОбщихКлючей", "1"}},
     "|" + std::string(20, 'k') + "ДлинноеИмяПоляКоторогоНетВСпискеОбщихКлючей=1"},
    // Past what the document's summary of its extras counts: they are read instead.
    {"more keys than the summary counts",
     [] {
       Attributes lines;
       for (int i = 0; i < 300; ++i) lines.emplace_back("к" + std::to_string(i), "1");
       return lines;
     }(),
     [] {
       std::string expected;
       for (int i = 0; i < 300; ++i) expected += "|к" + std::to_string(i) + "=1";
       return expected;
     }()},
    {"more room for a value than the summary holds (in Windows-1251, three bytes a letter)",
     {{"Поле", std::string(1400, 'x') + "Ж"}},
     "|Поле=" + std::string(1400, 'x') + "Ж"},
    {"more key bytes than the summary holds", {{std::string(5000, 'k'), "1"}},
     "|" + std::string(5000, 'k') + "=1"},
};

std::string extras_as_map(const ExtraCase& test, size_t limit) {
  const Attributes attributes = with(kRequired, test.lines);  // the map views them
  AttributeMap map;
  for (const auto& [key, value] : attributes) map.insert(key, value);
  SharedTextArena texts;
  auto document = build_document("Платежное поручение", map, texts, limit);
  return document.ok() ? test_support::describe_extras(document.value()) : document.error();
}

std::string extras_as_cp1251_lines(const ExtraCase& test, size_t limit) {
  Attributes lines;
  for (const auto& [key, value] : with(kRequired, test.lines)) {
    lines.emplace_back(test_support::to_cp1251(key), test_support::to_cp1251(value));
  }
  DocumentFields fields(LineForm::Cp1251, limit);
  for (const auto& [key, value] : lines) fields.add<LineForm::Cp1251>(key, value);
  SharedTextArena texts;
  auto document = fields.build(test_support::to_cp1251("Платежное поручение"), texts);
  return document.ok() ? test_support::describe_extras(document.value()) : document.error();
}

TEST(document_test, extras) {
  for (const ExtraCase& test : kExtraCases) {
    for (const size_t limit : {kMaxNarrowTexts, size_t{0}}) {
      EXPECT_EQ(extras_as_map(test, limit), test.expected) << test.name << ", limit " << limit;
      EXPECT_EQ(extras_as_cp1251_lines(test, limit), test.expected)
          << test.name << ", limit " << limit;
    }
  }
}

// A Windows-1251 value past the size up to which the worst case is reserved is measured
// instead: it must still fit, and come back whole.
TEST(document_test, long_cp1251_extra) {
  std::string utf8;
  for (size_t i = 0; i < 70000; ++i) utf8 += "Ё";
  const ExtraCase test{
      "long", {{"Примечание", utf8}, {"Код", "1"}}, "|Примечание=" + utf8 + "|Код=1"};
  EXPECT_EQ(extras_as_cp1251_lines(test, kMaxNarrowTexts), test.expected);
  EXPECT_EQ(extras_as_map(test, kMaxNarrowTexts), test.expected);
}

}  // namespace
}  // namespace corvina
