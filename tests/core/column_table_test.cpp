// The column builder's batch boundaries, tested with limits small enough to reach, which the
// Python tests cannot do.
#include "column_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "parse_statement.h"
#include "test_support.h"

namespace corvina {
namespace {

// Five documents whose purposes are 100 bytes each ('0'...'4' repeated); every other text of a
// row is short, so the purpose column alone decides where batches end, unless `extra_bytes`
// gives each an extra key "Поле" (8 bytes) with a value of that many bytes ('0'...'4').
Statement five_documents(size_t extra_bytes = 0) {
  std::string text = "1CClientBankExchange\nСекцияРасчСчет\nДатаНачала=01.03.2024\nРасчСчет=1\n"
                     "НачальныйОстаток=0\nКонецРасчСчет\n";
  for (char c = '0'; c < '5'; ++c) {
    text += "СекцияДокумент=ПП\nНомер=";
    text += c;
    text += "\nДата=01.03.2024\nСумма=1\nНазначениеПлатежа=" + std::string(100, c) +
            "\nПлательщикИНН=1\nПлательщикБИК=2\nПлательщикБанк1=3\nПлательщикСчет=4\n"
            "ПолучательИНН=5\nПолучательСчет=6\nПолучательБИК=7\nПолучательБанк1=8\n";
    if (extra_bytes > 0) text += "Поле=" + std::string(extra_bytes, c) + "\n";
    text += "КонецДокумента\n";
  }
  text += "КонецФайла\n";
  auto parsed = parse_statement(text, {});
  EXPECT_TRUE(parsed.ok());
  return std::move(parsed.value());
}

std::vector<const Document*> pointers(const Statement& statement) {
  std::vector<const Document*> out;
  for (const Document& document : statement.documents) out.push_back(&document);
  return out;
}

size_t column_index(const ColumnTable& table, std::string_view name) {
  for (size_t i = 0; i < table.columns.size(); ++i) {
    if (table.columns[i].name == name) return i;
  }
  ADD_FAILURE() << "no column " << name;
  return 0;
}

struct BatchCase {
  int64_t limit;
  std::vector<int64_t> lengths;
};

const BatchCase kBatches[] = {
    {kMaxBatchText, {5}},
    {500, {5}},     // exactly full
    {499, {4, 1}},  // one byte short of the fifth purpose
    {250, {2, 2, 1}},
    {100, {1, 1, 1, 1, 1}},
};

TEST(column_table_test, batches_end_before_the_text_limit) {
  const Statement statement = five_documents();
  for (const BatchCase& c : kBatches) {
    auto built = build_documents_table(pointers(statement), c.limit);
    ASSERT_TRUE(built.ok()) << c.limit;
    const ColumnTable& table = *built.value();
    const size_t purpose = column_index(table, "purpose");
    std::vector<int64_t> lengths;
    char expected = '0';
    for (const ColumnBatch& batch : table.batches) {
      lengths.push_back(batch.length);
      // Each batch's offsets start at 0 and its bytes are its own rows' texts.
      const ColumnChunk& chunk = batch.columns[purpose];
      const auto* offsets = static_cast<const int32_t*>(chunk.offsets.data());
      const auto* bytes = static_cast<const char*>(chunk.data.data());
      for (int64_t row = 0; row < batch.length; ++row, ++expected) {
        EXPECT_EQ(offsets[row], row * 100) << c.limit;
        EXPECT_EQ(std::string_view(bytes + offsets[row], 100), std::string(100, expected))
            << c.limit;
      }
      EXPECT_LE(offsets[batch.length], c.limit);
    }
    EXPECT_EQ(lengths, c.lengths) << c.limit;
  }
}

TEST(column_table_test, text_longer_than_a_batch) {
  const Statement statement = five_documents();
  auto built = build_documents_table(pointers(statement), 99);
  ASSERT_FALSE(built.ok());
  EXPECT_EQ(built.error(),
            "column 'purpose', row 0: a text of 100 bytes is longer than a utf8 column holds");
}

TEST(column_table_test, no_rows_is_one_empty_batch) {
  auto built = build_documents_table({});
  ASSERT_TRUE(built.ok());
  ASSERT_EQ(built.value()->batches.size(), 1u);
  EXPECT_EQ(built.value()->batches[0].length, 0);
  EXPECT_EQ(built.value()->columns.size(), 29u);
}

// The extras count towards a batch's limit as their keys' and values' bytes and one per entry:
// 8 + 150 + 1 = 159 bytes a row, where the purposes take 100.
const BatchCase kMapBatches[] = {
    {kMaxBatchText, {5}},
    {318, {2, 2, 1}},
    {317, {1, 1, 1, 1, 1}},
    {477, {3, 2}},
};

TEST(column_table_test, extras_end_batches_too) {
  const Statement statement = five_documents(150);
  for (const BatchCase& c : kMapBatches) {
    auto built = build_documents_table(pointers(statement), c.limit);
    ASSERT_TRUE(built.ok()) << c.limit;
    const ColumnTable& table = *built.value();
    const size_t lineno = column_index(table, "lineno");
    const size_t extra = column_index(table, "extra");
    EXPECT_EQ(table.columns[lineno].format, "l");
    EXPECT_EQ(table.columns[extra].format, "+m");
    std::vector<int64_t> lengths;
    size_t row_of_table = 0;
    for (const ColumnBatch& batch : table.batches) {
      lengths.push_back(batch.length);
      const auto* lines = static_cast<const int64_t*>(batch.columns[lineno].data.data());
      const ColumnChunk& map = batch.columns[extra];
      const auto* entries = static_cast<const int32_t*>(map.offsets.data());
      ASSERT_EQ(map.children.size(), 1u);
      const ColumnChunk& keys = map.children[0].children[0];
      const ColumnChunk& values = map.children[0].children[1];
      EXPECT_EQ(map.children[0].length, batch.length);
      const auto* value_offsets = static_cast<const int32_t*>(values.offsets.data());
      for (int64_t row = 0; row < batch.length; ++row, ++row_of_table) {
        EXPECT_EQ(lines[row], statement.documents[row_of_table].lineno);
        EXPECT_EQ(entries[row], row);
        EXPECT_EQ(std::string_view(static_cast<const char*>(keys.data.data()) + 8 * row, 8),
                  "Поле");
        EXPECT_EQ(std::string_view(static_cast<const char*>(values.data.data()) +
                                       value_offsets[row], 150),
                  std::string(150, static_cast<char>('0' + row_of_table)));
      }
      EXPECT_EQ(entries[batch.length], batch.length);
    }
    EXPECT_EQ(lengths, c.lengths) << c.limit;
  }
  EXPECT_EQ(statement.documents[1].lineno, 22u);

  auto refused = build_documents_table(pointers(statement), 158);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error(),
            "column 'extra', row 0: keys and values of 159 bytes are more than a map column holds");
}

// Windows-1251 extras count towards the limit as their UTF-8: "Ж№" is 2 bytes there and 5 in
// UTF-8 (3 a byte at the most), so each row's extra takes 1 + 8 + 25 * 5 = 134 bytes.
const BatchCase kWindows1251MapBatches[] = {
    {kMaxBatchText, {5}},
    {670, {5}},  // exactly full
    {669, {4, 1}},
    {268, {2, 2, 1}},
    {134, {1, 1, 1, 1, 1}},
};

TEST(column_table_test, windows_1251_extras_count_as_their_utf8) {
  std::string expected_value;
  for (int k = 0; k < 25; ++k) expected_value += "Ж№";
  std::string sections;
  for (int i = 0; i < 5; ++i) {
    std::string section = test_support::kPaymentDocument;
    section.insert(section.find("КонецДокумента"), "Поле=" + expected_value + "\r\n");
    sections += section;
  }
  auto parsed = parse_statement(test_support::to_cp1251(test_support::statement_of(sections)), {});
  ASSERT_TRUE(parsed.ok());
  const Statement& statement = parsed.value();
  for (const BatchCase& c : kWindows1251MapBatches) {
    auto built = build_documents_table(pointers(statement), c.limit);
    ASSERT_TRUE(built.ok()) << c.limit;
    const ColumnTable& table = *built.value();
    const size_t extra = column_index(table, "extra");
    std::vector<int64_t> lengths;
    for (const ColumnBatch& batch : table.batches) {
      lengths.push_back(batch.length);
      const ColumnChunk& values = batch.columns[extra].children.at(0).children.at(1);
      const auto* offsets = static_cast<const int32_t*>(values.offsets.data());
      for (int64_t row = 0; row < batch.length; ++row) {
        EXPECT_EQ(std::string_view(static_cast<const char*>(values.data.data()) + offsets[row],
                                   static_cast<size_t>(offsets[row + 1] - offsets[row])),
                  expected_value);
      }
    }
    EXPECT_EQ(lengths, c.lengths) << c.limit;
  }
  auto refused = build_documents_table(pointers(statement), 133);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error(),
            "column 'extra', row 0: keys and values of 134 bytes are more than a map column holds");
}

}  // namespace
}  // namespace corvina
