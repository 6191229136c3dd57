// The Arrow C Data Interface export of a table, read the way a consumer reads it.
#include "arrow_c_data.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "column_values.h"
#include "parse_statement.h"
#include "test_support.h"

namespace corvina {
namespace {

using test_support::payment_document_with;
using test_support::statement_of;

// Two documents, the first with a payment type, a debit date and an amount of three places, the
// second without either; and one account of one interval.
Statement two_documents() {
  std::string first = payment_document_with("ВидОплаты=01\r\nДатаСписано=06.03.2024\r\n");
  first.replace(first.find("100.50"), 6, "-1.125");
  const std::string text = statement_of(
      "СекцияРасчСчет\r\nДатаНачала=01.03.2024\r\nРасчСчет=40702810000000000001\r\n"
      "НачальныйОстаток=7\r\nКонецРасчСчет\r\n" +
      first + test_support::kPaymentDocument);
  auto parsed = parse_statement(text, {});
  EXPECT_TRUE(parsed.ok());
  return std::move(parsed.value());
}

SharedColumnTable documents_table(const Statement& statement) {
  std::vector<const Document*> rows;
  for (const Document& document : statement.documents) rows.push_back(&document);
  auto built = build_documents_table(rows);
  EXPECT_TRUE(built.ok());
  return built.ok() ? built.value() : nullptr;
}

struct ColumnCase {
  size_t index;
  std::string_view name;
  std::string_view format;
  int64_t flags;
};

const ColumnCase kDocumentColumns[] = {
    {0, "doc_number", "u", 0},
    {2, "doc_date", "tdD", 0},
    {3, "amount", "d:38,3", 0},  // the largest scale among the rows
    {5, "payment_type", "u", ARROW_FLAG_NULLABLE},
    {16, "outcome_date", "tdD", ARROW_FLAG_NULLABLE},
    {25, "income_date", "tdD", ARROW_FLAG_NULLABLE},
    {26, "lineno", "l", 0},
    {28, "direction", "u", ARROW_FLAG_NULLABLE},
};

TEST(column_export_test, schema_is_a_struct_of_the_columns) {
  const Statement statement = two_documents();
  ArrowSchema schema;
  export_table_schema(documents_table(statement), &schema);
  EXPECT_STREQ(schema.format, "+s");
  ASSERT_EQ(schema.n_children, 29);
  for (const ColumnCase& c : kDocumentColumns) {
    const ArrowSchema& child = *schema.children[c.index];
    EXPECT_EQ(child.name, c.name) << c.index;
    EXPECT_EQ(child.format, c.format) << c.name;
    EXPECT_EQ(child.flags, c.flags) << c.name;
    EXPECT_EQ(child.n_children, 0) << c.name;
  }
  schema.release(&schema);
  EXPECT_EQ(schema.release, nullptr);
}

TEST(column_export_test, stream_gives_the_batches_then_the_end) {
  const Statement statement = two_documents();
  ArrowArrayStream stream;
  export_table_stream(documents_table(statement), &stream);
  ArrowArray array;
  ASSERT_EQ(stream.get_next(&stream, &array), 0);
  ASSERT_NE(array.release, nullptr);
  ASSERT_EQ(array.length, 2);
  ASSERT_EQ(array.n_children, 29);

  // payment_type: "01", then null.
  const ArrowArray& kind = *array.children[5];
  ASSERT_EQ(kind.n_buffers, 3);
  EXPECT_EQ(kind.null_count, 1);
  EXPECT_EQ(static_cast<const uint8_t*>(kind.buffers[0])[0] & 3, 1);
  const auto* offsets = static_cast<const int32_t*>(kind.buffers[1]);
  EXPECT_EQ(std::vector<int32_t>(offsets, offsets + 3), (std::vector<int32_t>{0, 2, 2}));
  EXPECT_EQ(std::string_view(static_cast<const char*>(kind.buffers[2]), 2), "01");

  // doc_number has no null: no validity buffer at all.
  EXPECT_EQ(array.children[0]->buffers[0], nullptr);
  EXPECT_EQ(array.children[0]->null_count, 0);

  // Dates as days since 1970-01-01, amounts as integers at the column's scale.
  const auto* days = static_cast<const int32_t*>(array.children[2]->buffers[1]);
  EXPECT_EQ(days[0], 19787);  // 2024-03-05
  const ArrowArray& debited = *array.children[16];
  EXPECT_EQ(debited.null_count, 1);
  EXPECT_EQ(static_cast<const int32_t*>(debited.buffers[1])[0], 19788);
  const auto* amounts = static_cast<const Decimal128*>(array.children[3]->buffers[1]);
  EXPECT_EQ(amounts[0], (Decimal128{~uint64_t{1125} + 1, ~uint64_t{0}}));  // -1.125
  EXPECT_EQ(amounts[1], (Decimal128{100500, 0}));                           // 100.500
  array.release(&array);

  ASSERT_EQ(stream.get_next(&stream, &array), 0);
  EXPECT_EQ(array.release, nullptr);
  EXPECT_EQ(stream.get_last_error(&stream), nullptr);
  stream.release(&stream);
  EXPECT_EQ(stream.release, nullptr);
}

// A consumer may move children out and release them after their parent, the stream and every
// other holder of the table: each export keeps the buffers it points to, and no longer.
TEST(column_export_test, moved_children_outlive_their_parent) {
  const Statement statement = two_documents();
  SharedColumnTable table = documents_table(statement);
  const std::weak_ptr<const ColumnTable> watch = table;
  ArrowArrayStream stream;
  export_table_stream(std::move(table), &stream);
  ArrowSchema schema;
  ArrowArray array;
  ASSERT_EQ(stream.get_schema(&stream, &schema), 0);
  ASSERT_EQ(stream.get_next(&stream, &array), 0);
  stream.release(&stream);

  ArrowSchema purpose_type = *schema.children[4];
  schema.children[4]->release = nullptr;
  ArrowArray purpose = *array.children[4];
  array.children[4]->release = nullptr;
  schema.release(&schema);
  array.release(&array);
  EXPECT_FALSE(watch.expired());

  EXPECT_STREQ(purpose_type.name, "purpose");
  const auto* offsets = static_cast<const int32_t*>(purpose.buffers[1]);
  EXPECT_EQ(std::string_view(static_cast<const char*>(purpose.buffers[2]) + offsets[1],
                             offsets[2] - offsets[1]),
            "Оплата");
  purpose_type.release(&purpose_type);
  EXPECT_FALSE(watch.expired());
  purpose.release(&purpose);
  EXPECT_TRUE(watch.expired());
}

// The extras as a map: a list of non-null entries, each a struct of a key and a value, read and
// released the way a consumer does, the map moved out and released after its parent.
TEST(column_export_test, extras_are_a_map_of_texts) {
  const std::string text = statement_of(
      payment_document_with("Код=1\r\nОКАТО=45383000\r\n") + test_support::kPaymentDocument +
      payment_document_with("Поле=ё\r\n"));
  auto parsed = parse_statement(text, {});
  ASSERT_TRUE(parsed.ok());
  SharedColumnTable table = documents_table(parsed.value());
  const std::weak_ptr<const ColumnTable> watch = table;
  ArrowSchema schema;
  export_table_schema(table, &schema);
  ArrowArray array;
  export_table_batch(table, 0, &array);
  table.reset();

  ArrowSchema map_type = *schema.children[27];
  schema.children[27]->release = nullptr;
  schema.release(&schema);
  EXPECT_STREQ(map_type.name, "extra");
  EXPECT_STREQ(map_type.format, "+m");
  EXPECT_EQ(map_type.flags, 0);
  ASSERT_EQ(map_type.n_children, 1);
  const ArrowSchema& entries_type = *map_type.children[0];
  EXPECT_STREQ(entries_type.format, "+s");
  EXPECT_EQ(entries_type.flags, 0);
  ASSERT_EQ(entries_type.n_children, 2);
  EXPECT_STREQ(entries_type.children[0]->name, "key");
  EXPECT_STREQ(entries_type.children[1]->name, "value");
  EXPECT_STREQ(entries_type.children[1]->format, "u");
  map_type.release(&map_type);

  const auto* lines = static_cast<const int64_t*>(array.children[26]->buffers[1]);
  EXPECT_EQ(lines[0], 2);
  EXPECT_EQ(lines[1], 18);
  ArrowArray map = *array.children[27];
  array.children[27]->release = nullptr;
  array.release(&array);
  EXPECT_FALSE(watch.expired());
  ASSERT_EQ(map.n_buffers, 2);
  EXPECT_EQ(map.buffers[0], nullptr);
  const auto* rows = static_cast<const int32_t*>(map.buffers[1]);
  EXPECT_EQ(std::vector<int32_t>(rows, rows + 4), (std::vector<int32_t>{0, 2, 2, 3}));
  ASSERT_EQ(map.n_children, 1);
  const ArrowArray& entries = *map.children[0];
  EXPECT_EQ(entries.length, 3);
  EXPECT_EQ(entries.n_buffers, 1);
  ASSERT_EQ(entries.n_children, 2);
  const auto text_at = [](const ArrowArray& texts, int64_t i) {
    const auto* offsets = static_cast<const int32_t*>(texts.buffers[1]);
    return std::string(static_cast<const char*>(texts.buffers[2]) + offsets[i],
                       offsets[i + 1] - offsets[i]);
  };
  EXPECT_EQ(text_at(*entries.children[0], 0) + text_at(*entries.children[0], 1) +
                text_at(*entries.children[0], 2),
            "КодОКАТОПоле");
  EXPECT_EQ(text_at(*entries.children[1], 1), "45383000");
  EXPECT_EQ(text_at(*entries.children[1], 2), "ё");
  map.release(&map);
  EXPECT_TRUE(watch.expired());
}

TEST(column_export_test, intervals_lead_with_the_account) {
  const Statement statement = two_documents();
  std::vector<const Account*> accounts;
  for (const Account& account : statement.accounts.accounts()) accounts.push_back(&account);
  auto built = build_intervals_table(accounts);
  ASSERT_TRUE(built.ok());
  ArrowArray array;
  export_table_batch(built.value(), 0, &array);
  ASSERT_EQ(array.length, 1);
  ASSERT_EQ(array.n_children, 7);
  const auto* offsets = static_cast<const int32_t*>(array.children[0]->buffers[1]);
  EXPECT_EQ(std::string_view(static_cast<const char*>(array.children[0]->buffers[2]), offsets[1]),
            "40702810000000000001");
  EXPECT_EQ(static_cast<const Decimal128*>(array.children[3]->buffers[1])[0],
            (Decimal128{700, 0}));  // start_amount 7 at the least scale, 2
  array.release(&array);
}

}  // namespace
}  // namespace corvina
