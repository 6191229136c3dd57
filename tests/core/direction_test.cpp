// Each document's direction, from the statement's own accounts, whichever way it was read.
#include "direction.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "column_table.h"
#include "document_extra.h"
#include "parse_statement.h"
#include "test_support.h"

namespace corvina {
namespace {

using test_support::payment_document_with;
using test_support::statement_of;
using test_support::to_cp1251;

// kPaymentDocument pays from ...01 to ...02.
const std::string kAccountSection =
    "СекцияРасчСчет\r\nДатаНачала=01.03.2024\r\nРасчСчет=40702810000000000002\r\n"
    "НачальныйОстаток=0\r\nКонецРасчСчет\r\n";

std::vector<Direction> directions_of(const Result<Statement, ErrorRecord>& parsed) {
  std::vector<Direction> out;
  if (!parsed) return out;
  for (const Document& document : parsed.value().documents) out.push_back(document.direction());
  return out;
}

// The account section comes last: the documents before it are still its.
TEST(direction_test, set_once_the_whole_statement_is_read) {
  const std::string internal =
      payment_document_with("ПлательщикРасчСчет=40702810000000000002\r\n");
  const std::string text =
      statement_of(std::string(test_support::kPaymentDocument) + internal + kAccountSection);
  const std::vector<Direction> expected = {Direction::In, Direction::Internal};
  EXPECT_EQ(directions_of(parse_statement(text, {})), expected);
  EXPECT_EQ(directions_of(parse_statement(to_cp1251(text), {})), expected);
  EXPECT_EQ(directions_of(parse_statement(text, {}, test_support::on_threads(3))), expected);
}

// Two bits of the summary's word hold the direction: a document with more extras than the
// summary counts is read for them, and keeps its direction and every extra in a table.
TEST(direction_test, leaves_the_extras_whole) {
  std::string extras;
  for (int i = 0; i < 70; ++i) {
    extras += "Ключ" + std::to_string(i) + "=" + std::to_string(i) + "\r\n";
  }
  const auto parsed =
      parse_statement(statement_of(kAccountSection + payment_document_with(extras)), {});
  ASSERT_TRUE(parsed);
  const Document& document = parsed.value().documents.at(0);
  EXPECT_EQ(document.direction(), Direction::In);
  EXPECT_EQ(document.extra_summary, kUnknownExtraSummary);
  EXPECT_EQ(extra_sizes(document).entries, 70u);
  auto table = build_documents_table({&document});
  ASSERT_TRUE(table);
  const ColumnTable& built = *table.value();
  const ColumnChunk& extra = built.batches.at(0).columns.at(built.columns.size() - 2);
  EXPECT_EQ(extra.children.at(0).length, 70);
}

}  // namespace
}  // namespace corvina
