// The column builder's batch boundaries, tested with limits small enough to reach, which the
// Python tests cannot do.
#include "column_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "parse_statement.h"

namespace corvina {
namespace {

// Five documents whose purposes are 100 bytes each ('0'...'4' repeated); every other text of a
// row is short, so the purpose column alone decides where batches end.
Statement five_documents() {
  std::string text = "1CClientBankExchange\nСекцияРасчСчет\nДатаНачала=01.03.2024\nРасчСчет=1\n"
                     "НачальныйОстаток=0\nКонецРасчСчет\n";
  for (char c = '0'; c < '5'; ++c) {
    text += "СекцияДокумент=ПП\nНомер=";
    text += c;
    text += "\nДата=01.03.2024\nСумма=1\nНазначениеПлатежа=" + std::string(100, c) +
            "\nПлательщикИНН=1\nПлательщикБИК=2\nПлательщикБанк1=3\nПлательщикСчет=4\n"
            "ПолучательИНН=5\nПолучательСчет=6\nПолучательБИК=7\nПолучательБанк1=8\n"
            "КонецДокумента\n";
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
  EXPECT_EQ(built.value()->columns.size(), 26u);
}

}  // namespace
}  // namespace corvina
