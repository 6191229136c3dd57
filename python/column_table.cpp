#include "column_table.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "amount.h"
#include "column_values.h"
#include "date.h"
#include "record_schema.h"

namespace corvina::py {
namespace {

template <typename T>
struct Unwrapped {
  using type = T;
};
template <typename T>
struct Unwrapped<std::optional<T>> {
  using type = T;
};

template <typename T>
constexpr bool kIsOptional = false;
template <typename T>
constexpr bool kIsOptional<std::optional<T>> = true;

// What a column's getter returns, and the item inside when that is an optional.
template <typename Column, typename Row>
using ValueOf = std::remove_cvref_t<decltype(std::declval<const Column&>().value(
    std::declval<const Row&>()))>;
template <typename Column, typename Row>
using ItemOf = typename Unwrapped<ValueOf<Column, Row>>::type;

template <typename T>
const T* item_of(const T& value) {
  return &value;
}
template <typename T>
const T* item_of(const std::optional<T>& value) {
  return value ? &*value : nullptr;
}

struct IntervalRow {
  const Account* account;
  const Interval* interval;
};

const Document& record_of(const Document* document) { return *document; }
const Interval& record_of(const IntervalRow& row) { return *row.interval; }

// A column read from one field of the record behind each row.
template <typename Row, typename Field>
struct FieldColumn {
  Field field;
  std::string_view name() const { return field.name; }
  decltype(auto) value(const Row& row) const { return Field::of(record_of(row)); }
};

struct AccountNumberColumn {
  std::string_view name() const { return "account"; }
  std::string_view value(const IntervalRow& row) const { return row.account->number; }
};

template <typename Row, typename Fields>
auto field_columns(const Fields& fields) {
  return std::apply(
      [](const auto&... field) {
        return std::tuple{FieldColumn<Row, std::remove_cvref_t<decltype(field)>>{field}...};
      },
      fields);
}

std::string value_error(std::string_view column, size_t row, std::string_view detail) {
  std::string message = "column '";
  message += column;
  message += "', row ";
  message += std::to_string(row);
  message += ": ";
  message += detail;
  return message;
}

// Builds a table in three passes over the columns: the sizes of every text column and the scale
// of every amount column, then where the batches end, then the buffers of each batch.
template <typename Row, typename Columns>
class TableBuilder {
 public:
  TableBuilder(const std::vector<Row>& rows, const Columns& columns)
      : rows_(rows), columns_(columns) {}

  Result<std::shared_ptr<const ColumnTable>, std::string> build() {
    auto table = std::make_shared<ColumnTable>();
    table->rows = static_cast<int64_t>(rows_.size());
    text_prefixes_.resize(kColumnCount);
    scales_.resize(kColumnCount);
    std::optional<std::string> error;
    for_each_column([&](size_t index, const auto& column) {
      if (!error) error = measure(index, column, table->columns);
    });
    if (error) return fail(std::move(*error));
    plan_batches(*table);
    for (ColumnBatch& batch : table->batches) batch.columns.resize(kColumnCount);
    for_each_column([&](size_t index, const auto& column) {
      for (size_t b = 0; b < table->batches.size() && !error; ++b) {
        error = fill(index, column, batch_starts_[b], table->batches[b]);
      }
    });
    if (error) return fail(std::move(*error));
    return std::shared_ptr<const ColumnTable>(std::move(table));
  }

 private:
  static constexpr size_t kColumnCount = std::tuple_size_v<Columns>;

  template <typename F>
  void for_each_column(F&& f) const {
    [&]<size_t... I>(std::index_sequence<I...>) {
      (f(I, std::get<I>(columns_)), ...);
    }(std::make_index_sequence<kColumnCount>{});
  }

  template <typename Column>
  std::optional<std::string> measure(size_t index, const Column& column,
                                     std::vector<ColumnSchema>& schema) {
    using Value = ValueOf<Column, Row>;
    using Item = ItemOf<Column, Row>;
    ColumnSchema entry{std::string(column.name()), "", kIsOptional<Value>};
    if constexpr (std::is_same_v<Item, std::string_view>) {
      entry.format = "u";
      // Running totals of the column's bytes: batch boundaries and offsets both come from them.
      std::vector<int64_t>& prefix = text_prefixes_[index];
      prefix.resize(rows_.size() + 1);
      prefix[0] = 0;
      for (size_t r = 0; r < rows_.size(); ++r) {
        const auto& value = column.value(rows_[r]);  // a getter may return a temporary
        const std::string_view* text = item_of(value);
        const int64_t size = text ? static_cast<int64_t>(text->size()) : 0;
        if (size > kMaxBatchText) {
          return value_error(column.name(), r,
                             "a text of " + std::to_string(size) +
                                 " bytes is longer than a utf8 column holds");
        }
        prefix[r + 1] = prefix[r] + size;
      }
    } else if constexpr (std::is_same_v<Item, Date>) {
      entry.format = "tdD";
    } else {
      static_assert(std::is_same_v<Item, Amount>);
      // Two places at least, so that statements of one bank (amounts in kopecks) share a type
      // whatever amounts each happens to hold.
      uint8_t scale = 2;
      for (const Row& row : rows_) {
        const auto& value = column.value(row);
        if (const Amount* amount = item_of(value)) {
          scale = std::max(scale, amount->scale);
        }
      }
      scales_[index] = scale;
      entry.format = "d:38," + std::to_string(scale);
    }
    schema.push_back(std::move(entry));
    return std::nullopt;
  }

  // Each batch is as long as every text column allows: for each, the last row whose bytes since
  // the batch's start stay within the limit (a single text never passes it, as measured).
  void plan_batches(ColumnTable& table) {
    const size_t count = rows_.size();
    size_t begin = 0;
    do {
      size_t end = count;
      for (const std::vector<int64_t>& prefix : text_prefixes_) {
        if (prefix.empty()) continue;
        auto last = std::upper_bound(prefix.begin() + static_cast<ptrdiff_t>(begin),
                                     prefix.begin() + static_cast<ptrdiff_t>(end) + 1,
                                     prefix[begin] + kMaxBatchText);
        end = std::min(end, static_cast<size_t>(last - prefix.begin()) - 1);
      }
      ColumnBatch batch;
      batch.length = static_cast<int64_t>(end - begin);
      batch_starts_.push_back(begin);
      table.batches.push_back(std::move(batch));
      begin = end;
    } while (begin < count);
  }

  template <typename Column>
  std::optional<std::string> fill(size_t index, const Column& column, size_t begin,
                                  ColumnBatch& batch) {
    using Value = ValueOf<Column, Row>;
    using Item = ItemOf<Column, Row>;
    const size_t length = static_cast<size_t>(batch.length);
    ColumnChunk& chunk = batch.columns[index];
    uint8_t* validity = nullptr;
    if constexpr (kIsOptional<Value>) {
      size_t nulls = 0;
      for (size_t i = 0; i < length; ++i) nulls += !column.value(rows_[begin + i]).has_value();
      chunk.null_count = static_cast<int64_t>(nulls);
      if (nulls > 0) {
        chunk.validity = ColumnBuffer((length + 7) / 8);
        validity = static_cast<uint8_t*>(chunk.validity.data());
        std::memset(validity, 0, chunk.validity.size());
      }
    }
    auto mark_present = [validity](size_t i) {
      if (validity != nullptr) validity[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
    };

    if constexpr (std::is_same_v<Item, std::string_view>) {
      const std::vector<int64_t>& prefix = text_prefixes_[index];
      const int64_t base = prefix[begin];
      chunk.offsets = ColumnBuffer((length + 1) * sizeof(int32_t));
      auto* offsets = static_cast<int32_t*>(chunk.offsets.data());
      chunk.data = ColumnBuffer(static_cast<size_t>(prefix[begin + length] - base));
      auto* bytes = static_cast<char*>(chunk.data.data());
      offsets[0] = 0;
      for (size_t i = 0; i < length; ++i) {
        offsets[i + 1] = static_cast<int32_t>(prefix[begin + i + 1] - base);
        const auto& value = column.value(rows_[begin + i]);
        if (const std::string_view* text = item_of(value)) {
          if (!text->empty()) std::memcpy(bytes + offsets[i], text->data(), text->size());
          mark_present(i);
        }
      }
    } else if constexpr (std::is_same_v<Item, Date>) {
      chunk.data = ColumnBuffer(length * sizeof(int32_t));
      auto* days = static_cast<int32_t*>(chunk.data.data());
      for (size_t i = 0; i < length; ++i) {
        days[i] = 0;
        const auto& value = column.value(rows_[begin + i]);
        const Date* date = item_of(value);
        if (date == nullptr) continue;
        auto day = days_since_epoch(*date);
        if (!day) {
          std::string detail(format_date(*date).view());
          return value_error(column.name(), begin + i, detail + ": " + std::string(day.error()));
        }
        days[i] = day.value();
        mark_present(i);
      }
    } else {
      const uint8_t scale = scales_[index];
      chunk.data = ColumnBuffer(length * sizeof(Decimal128));
      auto* values = static_cast<Decimal128*>(chunk.data.data());
      for (size_t i = 0; i < length; ++i) {
        values[i] = Decimal128{};
        const auto& value = column.value(rows_[begin + i]);
        const Amount* amount = item_of(value);
        if (amount == nullptr) continue;
        auto decimal = decimal128_at_scale(*amount, scale);
        if (!decimal) {
          std::string detail(format_amount(*amount).view());
          detail += " at scale " + std::to_string(scale) + ": ";
          detail += decimal.error();
          return value_error(column.name(), begin + i, detail);
        }
        values[i] = decimal.value();
        mark_present(i);
      }
    }
    return std::nullopt;
  }

  const std::vector<Row>& rows_;
  const Columns& columns_;
  std::vector<std::vector<int64_t>> text_prefixes_;  // per column; empty unless a text column
  std::vector<uint8_t> scales_;                      // per column; set for amount columns
  std::vector<size_t> batch_starts_;
};

template <typename Row, typename Columns>
Result<std::shared_ptr<const ColumnTable>, std::string> build_table(const std::vector<Row>& rows,
                                                                    const Columns& columns) {
  return TableBuilder<Row, Columns>(rows, columns).build();
}

}  // namespace

Result<std::shared_ptr<const ColumnTable>, std::string> build_documents_table(
    const std::vector<const Document*>& documents) {
  static const auto columns = field_columns<const Document*>(kDocumentFields);
  return build_table(documents, columns);
}

Result<std::shared_ptr<const ColumnTable>, std::string> build_intervals_table(
    const std::vector<const Account*>& accounts) {
  static const auto columns = std::tuple_cat(std::tuple{AccountNumberColumn{}},
                                             field_columns<IntervalRow>(kIntervalFields));
  std::vector<IntervalRow> rows;
  for (const Account* account : accounts) {
    for (const Interval& interval : account->intervals) rows.push_back({account, &interval});
  }
  return build_table(rows, columns);
}

}  // namespace corvina::py
