// Tables built on several threads: the same values, schema and failures as on one thread, with
// a batch boundary wherever a thread's rows begin.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "column_table.h"
#include "column_values.h"
#include "parse_statement.h"
#include "test_support.h"

namespace corvina {
namespace {

using test_support::on_threads;
using test_support::payment_document_with;
using test_support::pointers_to;
using test_support::statement_of;

Statement parsed(const std::string& text) {
  auto result = parse_statement(text, {});
  EXPECT_TRUE(result.ok());
  return result.ok() ? std::move(result.value()) : Statement{};
}

// One document per amount, each with a purpose of `purpose_bytes` bytes (the last one of
// `last_purpose_bytes` when given).
Statement documents_with(const std::vector<std::string>& amounts, size_t purpose_bytes = 6,
                         size_t last_purpose_bytes = 0) {
  std::string sections;
  for (size_t i = 0; i < amounts.size(); ++i) {
    std::string section = test_support::kPaymentDocument;
    section.replace(section.find("100.50"), 6, amounts[i]);
    const size_t bytes =
        i + 1 == amounts.size() && last_purpose_bytes != 0 ? last_purpose_bytes : purpose_bytes;
    section.replace(section.find("Оплата"), std::strlen("Оплата"),
                    std::string(bytes, static_cast<char>('a' + i % 26)));
    sections += section;
  }
  return parsed(statement_of(sections));
}

std::vector<int64_t> batch_lengths(const ColumnTable& table) {
  std::vector<int64_t> lengths;
  for (const ColumnBatch& batch : table.batches) lengths.push_back(batch.length);
  return lengths;
}

// The bytes of column `c` at row `row` of the table, or nothing when absent; the rows counted
// across batches.
std::optional<std::string> value_at(const ColumnTable& table, size_t c, int64_t row) {
  for (const ColumnBatch& batch : table.batches) {
    if (row >= batch.length) {
      row -= batch.length;
      continue;
    }
    const ColumnChunk& chunk = batch.columns[c];
    if (chunk.null_count > 0 &&
        ((static_cast<const uint8_t*>(chunk.validity.data())[row / 8] >> (row % 8)) & 1) == 0) {
      return std::nullopt;
    }
    const auto* data = static_cast<const char*>(chunk.data.data());
    const std::string& format = table.columns[c].format;
    if (format == "u") {
      const auto* offsets = static_cast<const int32_t*>(chunk.offsets.data());
      return std::string(data + offsets[row], static_cast<size_t>(offsets[row + 1] - offsets[row]));
    }
    if (format == "+m") {  // its entries as key=value lines
      const auto* offsets = static_cast<const int32_t*>(chunk.offsets.data());
      const ColumnChunk& entries = chunk.children.at(0);
      std::string out;
      for (int32_t e = offsets[row]; e < offsets[row + 1]; ++e) {
        for (const ColumnChunk& part : entries.children) {
          const auto* at = static_cast<const int32_t*>(part.offsets.data());
          out.append(static_cast<const char*>(part.data.data()) + at[e],
                     static_cast<size_t>(at[e + 1] - at[e]));
          out += &part == &entries.children.front() ? '=' : '\n';
        }
      }
      return out;
    }
    const size_t width = format == "tdD" ? 4 : format == "l" ? 8 : sizeof(Decimal128);
    return std::string(data + static_cast<size_t>(row) * width, width);
  }
  ADD_FAILURE() << "no row";
  return std::nullopt;
}

void expect_same_values(const ColumnTable& one, const ColumnTable& parallel) {
  ASSERT_EQ(one.rows, parallel.rows);
  ASSERT_EQ(one.columns.size(), parallel.columns.size());
  for (size_t c = 0; c < one.columns.size(); ++c) {
    EXPECT_EQ(one.columns[c].name, parallel.columns[c].name);
    EXPECT_EQ(one.columns[c].format, parallel.columns[c].format) << one.columns[c].name;
    EXPECT_EQ(one.columns[c].nullable, parallel.columns[c].nullable);
    for (int64_t row = 0; row < one.rows; ++row) {
      ASSERT_EQ(value_at(one, c, row), value_at(parallel, c, row))
          << one.columns[c].name << " row " << row;
    }
  }
}

struct PartsCase {
  unsigned threads;
  int64_t limit;
  std::vector<int64_t> lengths;
};

// Five rows of 100-byte purposes: each thread's rows start a batch, and within them batches
// still end before the text limit.
const PartsCase kParts[] = {
    {1, kMaxBatchText, {5}},
    {2, kMaxBatchText, {2, 3}},
    {3, kMaxBatchText, {1, 2, 2}},
    {16, kMaxBatchText, {1, 1, 1, 1, 1}},  // no more parts than rows
    {2, 250, {2, 2, 1}},
    {2, 199, {1, 1, 1, 1, 1}},
};

TEST(table_threads_test, each_thread_starts_its_own_batches) {
  const Statement statement = documents_with({"1", "2", "3", "4", "5"}, 100);
  for (const PartsCase& c : kParts) {
    auto built = build_documents_table(pointers_to(statement.documents), c.limit,
                                       on_threads(c.threads));
    ASSERT_TRUE(built.ok()) << c.threads;
    EXPECT_EQ(batch_lengths(*built.value()), c.lengths) << c.threads << " " << c.limit;
    auto one = build_documents_table(pointers_to(statement.documents), c.limit, on_threads(1));
    ASSERT_TRUE(one.ok());
    expect_same_values(*one.value(), *built.value());
  }
}

// Below the threshold the rows stay on the calling thread, in one batch.
TEST(table_threads_test, small_tables_stay_on_one_thread) {
  const Statement statement = documents_with({"1", "2", "3", "4", "5"}, 100);
  ParseOptions options = on_threads(2);
  options.chunk_threshold = 100000;
  auto built = build_documents_table(pointers_to(statement.documents), kMaxBatchText, options);
  ASSERT_TRUE(built.ok());
  EXPECT_EQ(batch_lengths(*built.value()), (std::vector<int64_t>{5}));
  options.chunk_threshold = 100;  // five rows of more than 100 bytes each
  built = build_documents_table(pointers_to(statement.documents), kMaxBatchText, options);
  ASSERT_TRUE(built.ok());
  EXPECT_EQ(batch_lengths(*built.value()), (std::vector<int64_t>{2, 3}));
}

// The scale of an amount in the last thread's rows is that of every batch.
TEST(table_threads_test, amount_scale_is_the_whole_tables) {
  const Statement statement = documents_with({"1", "2.5", "3", "-0.0001"});
  auto built = build_documents_table(pointers_to(statement.documents), kMaxBatchText,
                                     on_threads(4));
  ASSERT_TRUE(built.ok());
  const ColumnTable& table = *built.value();
  ASSERT_EQ(table.batches.size(), 4u);
  EXPECT_EQ(table.columns[3].format, "d:38,4");
  const auto* first = static_cast<const Decimal128*>(table.batches[0].columns[3].data.data());
  EXPECT_EQ(first[0], (Decimal128{10000, 0}));
  const auto* second = static_cast<const Decimal128*>(table.batches[1].columns[3].data.data());
  EXPECT_EQ(second[0], (Decimal128{25000, 0}));
}

// The largest magnitude an amount holds: 29 digits, which pass 38 at a scale above 9.
constexpr char kLargest[] = "79228162514264337593543950335";
constexpr char kTiny[] = "0.0000000000000000000000000001";

struct FailureCase {
  const char* why;
  std::vector<std::string> amounts;
  size_t last_purpose_bytes;
  int64_t limit;
  std::string error;
};

// Whatever rows each thread takes, the failure is the one a single thread reports: every row is
// measured before any is written, and rows fail in their order.
const FailureCase kFailures[] = {
    {"a late row's scale makes an early row too wide",
     {kLargest, "1", "1", kTiny},
     0,
     kMaxBatchText,
     std::string("column 'amount', row 0: ") + kLargest +
         " at scale 28: more than 38 digits"},
    {"the first of two rows too wide, in two threads' rows",
     {"1", kLargest, "1", kLargest, kTiny},
     0,
     kMaxBatchText,
     std::string("column 'amount', row 1: ") + kLargest +
         " at scale 28: more than 38 digits"},
    {"a text too long in the last rows wins over an amount too wide in the first",
     {kLargest, "1", "1", kTiny},
     41,
     40,  // every other text is shorter
     "column 'purpose', row 3: a text of 41 bytes is longer than a utf8 column holds"},
};

TEST(table_threads_test, failures_are_those_of_one_thread) {
  for (const FailureCase& c : kFailures) {
    const Statement statement = documents_with(c.amounts, 6, c.last_purpose_bytes);
    const auto rows = pointers_to(statement.documents);
    for (unsigned threads : {1u, 2u, 3u, 5u}) {
      auto built = build_documents_table(rows, c.limit, on_threads(threads));
      ASSERT_FALSE(built.ok()) << c.why;
      EXPECT_EQ(built.error(), c.error) << c.why << ", " << threads << " threads";
    }
  }
}

// Generated statements, documents and intervals alike, on 1 to 16 threads.
TEST(table_threads_test, generated_statements_agree_value_by_value) {
  for (uint32_t seed = 1; seed <= 6; ++seed) {
    const std::string text = test_support::joined_statement(
        test_support::generated_statement_lines(seed, 40 * seed), seed);
    const Statement statement = parsed(text);
    const auto documents = pointers_to(statement.documents);
    const auto accounts = pointers_to(statement.accounts.accounts());
    auto one = build_documents_table(documents, kMaxBatchText, on_threads(1));
    auto one_intervals = build_intervals_table(accounts, kMaxBatchText, on_threads(1));
    ASSERT_TRUE(one.ok() && one_intervals.ok());
    for (unsigned threads = 2; threads <= 16; threads += 7) {
      auto parallel = build_documents_table(documents, 200 * seed, on_threads(threads));
      ASSERT_TRUE(parallel.ok()) << seed;
      EXPECT_GT(parallel.value()->batches.size(), 1u) << seed;
      expect_same_values(*one.value(), *parallel.value());
      auto intervals = build_intervals_table(accounts, kMaxBatchText, on_threads(threads));
      ASSERT_TRUE(intervals.ok()) << seed;
      expect_same_values(*one_intervals.value(), *intervals.value());
    }
  }
}

// The buffers of every column and child, as (start, size) for those that hold bytes.
void collect_buffers(const ColumnChunk& chunk,
                     std::vector<std::pair<uintptr_t, size_t>>& buffers) {
  for (const ColumnBuffer* buffer : {&chunk.validity, &chunk.offsets, &chunk.data}) {
    if (buffer->size() > 0) {
      buffers.emplace_back(reinterpret_cast<uintptr_t>(buffer->data()), buffer->size());
    }
  }
  for (const ColumnChunk& child : chunk.children) collect_buffers(child, buffers);
}

// A batch's small buffers are shares of one allocation: each starts on 64 bytes, as the Arrow
// format recommends, and none overlaps another, in batches of any size, on any threads.
TEST(table_threads_test, buffers_are_aligned_and_apart) {
  const Statement statement = parsed(test_support::joined_statement(
      test_support::generated_statement_lines(3, 150), 3));
  const auto documents = pointers_to(statement.documents);
  for (unsigned threads : {1u, 2u, 5u}) {
    for (int64_t limit : {kMaxBatchText, int64_t{3000}}) {
      auto built = build_documents_table(documents, limit, on_threads(threads));
      ASSERT_TRUE(built.ok()) << threads << " " << limit;
      std::vector<std::pair<uintptr_t, size_t>> buffers;
      for (const ColumnBatch& batch : built.value()->batches) {
        for (const ColumnChunk& chunk : batch.columns) collect_buffers(chunk, buffers);
      }
      ASSERT_GT(buffers.size(), 50u);
      std::sort(buffers.begin(), buffers.end());
      for (size_t i = 0; i < buffers.size(); ++i) {
        EXPECT_EQ(buffers[i].first % 64, 0u) << threads << " " << limit << " buffer " << i;
        if (i > 0) {
          EXPECT_GE(buffers[i].first, buffers[i - 1].first + buffers[i - 1].second)
              << threads << " " << limit << " buffer " << i;
        }
      }
    }
  }
}

}  // namespace
}  // namespace corvina
