#include "column_table.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <optional>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "amount.h"
#include "column_values.h"
#include "date.h"
#include "document_extra.h"
#include "huge_pages.h"
#include "record_schema.h"

namespace corvina {

// A large buffer comes fresh from the kernel, and its first write takes one page fault per
// 4 KiB page: on a 50 MB statement those faults cost as much as filling the columns. Placed on
// 2 MiB boundaries and marked for huge pages, it takes one fault per 2 MiB instead where the
// system allows that; elsewhere the advice is ignored and nothing changes.
ColumnBuffer::ColumnBuffer(size_t bytes) : size_(bytes) {
  if (bytes == 0) return;
  const bool huge = bytes >= kHugePageBytes;
  const size_t alignment = huge ? kHugePageBytes : 64;
  const size_t rounded = (bytes + alignment - 1) / alignment * alignment;
#if defined(_WIN32)
  // The C runtime of Windows has no aligned_alloc: its aligned blocks need their own free.
  bytes_.reset(_aligned_malloc(rounded, alignment));
#else
  bytes_.reset(std::aligned_alloc(alignment, rounded));
#endif
  if (!bytes_) throw std::bad_alloc();
  if (huge) advise_huge_pages(bytes_.get(), rounded);
}

namespace {

// What a column holds (a text, date or amount), and whether a row may have none.
template <typename Column>
using ItemOf = typename schema_detail::Unwrap<typename Column::value_type>::type;
template <typename Column>
constexpr bool kIsOptional = schema_detail::Unwrap<typename Column::value_type>::optional;

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
  using value_type = typename Field::value_type;
  Field field;
  std::string_view name() const { return field.name; }
  decltype(auto) value(const Row& row) const { return Field::of(record_of(row)); }
};

struct LinenoColumn {
  using value_type = int64_t;
  std::string_view name() const { return "lineno"; }
  int64_t value(const Document* document) const { return document->lineno; }
};

// The extras of one document, as the map column reads them.
struct ExtraEntries {
  const Document* document;
  template <typename F>
  void for_each(F&& f) const {
    for_each_extra(*document, std::forward<F>(f));
  }
};

struct ExtraColumn {
  using value_type = ExtraEntries;
  std::string_view name() const { return "extra"; }
  ExtraEntries value(const Document* document) const { return {document}; }
};

// What a map row takes of a batch's limit: its keys' and values' bytes, and one per entry so
// that the int32 offsets of the entries stay within it too.
int64_t map_row_size(const ExtraEntries& entries) {
  int64_t size = 0;
  entries.for_each([&size](std::string_view key, std::string_view value) {
    size += static_cast<int64_t>(key.size() + value.size()) + 1;
  });
  return size;
}

struct AccountNumberColumn {
  using value_type = std::string_view;
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

// Most texts of a record are short (numbers, codes, accounts): copying them inline with two
// overlapping fixed-size moves beats a call into the library's memcpy for each of them. Reads
// and writes stay within the n bytes of the source and of the destination.
inline void copy_text(char* to, const char* from, size_t n) {
  if (n >= 16 && n <= 32) {
    std::memcpy(to, from, 16);
    std::memcpy(to + n - 16, from + n - 16, 16);
  } else if (n >= 8 && n < 16) {
    std::memcpy(to, from, 8);
    std::memcpy(to + n - 8, from + n - 8, 8);
  } else if (n >= 4 && n < 8) {
    std::memcpy(to, from, 4);
    std::memcpy(to + n - 4, from + n - 4, 4);
  } else if (n < 4) {
    for (size_t i = 0; i < n; ++i) to[i] = from[i];
  } else {
    std::memcpy(to, from, n);
  }
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

// Builds a table in three steps: one pass over the rows for the sizes of the text columns and
// the scales of the amount columns, then the batch boundaries, then one pass per batch that
// writes every column of a row before moving to the next row. Row by row, each record is
// brought into the cache once rather than once per column: a record lies in memory far from the
// next, and with two dozen columns the passes column by column cost more than the copying.
template <typename Row, typename Columns>
class TableBuilder {
 public:
  TableBuilder(const std::vector<Row>& rows, const Columns& columns, int64_t max_batch_text)
      : rows_(rows), columns_(columns), max_batch_text_(max_batch_text) {}

  Result<SharedColumnTable, std::string> build() {
    auto table = std::make_shared<ColumnTable>();
    table->rows = static_cast<int64_t>(rows_.size());
    if (auto measured = measure(); !measured) return fail(std::move(measured.error()));
    for_each_column([&](size_t index, const auto& column) {
      table->columns.push_back(schema_of(index, column));
    });
    plan_batches(*table);
    for (size_t b = 0; b < table->batches.size(); ++b) {
      if (auto filled = fill(batch_starts_[b], table->batches[b]); !filled) {
        return fail(std::move(filled.error()));
      }
    }
    return SharedColumnTable(std::move(table));
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
  static constexpr bool kIsText = std::is_same_v<ItemOf<Column>, std::string_view>;
  template <typename Column>
  static constexpr bool kIsDate = std::is_same_v<ItemOf<Column>, Date>;
  template <typename Column>
  static constexpr bool kIsInt64 = std::is_same_v<ItemOf<Column>, int64_t>;
  template <typename Column>
  static constexpr bool kIsMap = std::is_same_v<ItemOf<Column>, ExtraEntries>;
  // Columns whose bytes bound a batch.
  template <typename Column>
  static constexpr bool kIsSized = kIsText<Column> || kIsMap<Column>;

  template <typename Column>
  ColumnSchema schema_of(size_t index, const Column& column) const {
    ColumnSchema entry{std::string(column.name()), "", kIsOptional<Column>, {}};
    if constexpr (kIsText<Column>) {
      entry.format = "u";
    } else if constexpr (kIsDate<Column>) {
      entry.format = "tdD";
    } else if constexpr (kIsInt64<Column>) {
      entry.format = "l";
    } else if constexpr (kIsMap<Column>) {
      entry.format = "+m";
      ColumnSchema entries{"entries", "+s", false, {}};
      entries.children.push_back(ColumnSchema{"key", "u", false, {}});
      entries.children.push_back(ColumnSchema{"value", "u", false, {}});
      entry.children.push_back(std::move(entries));
    } else {
      static_assert(std::is_same_v<ItemOf<Column>, Amount>);
      entry.format = "d:38," + std::to_string(scales_[index]);
    }
    return entry;
  }

  Result<Done, std::string> measure() {
    const size_t count = rows_.size();
    text_totals_.assign(kColumnCount, 0);
    // Two places at least, so that statements of one bank (amounts in kopecks) share a type
    // whatever amounts each happens to hold.
    scales_.assign(kColumnCount, 2);
    std::optional<std::string> error;
    for (size_t r = 0; r < count && !error; ++r) {
      for_each_column([&](size_t index, const auto& column) {
        using Column = std::remove_cvref_t<decltype(column)>;
        if constexpr (kIsText<Column>) {
          const auto& value = column.value(rows_[r]);  // a getter may return a temporary
          const std::string_view* text = item_of(value);
          const int64_t size = text ? static_cast<int64_t>(text->size()) : 0;
          if (size > max_batch_text_ && !error) {
            error = value_error(column.name(), r,
                                "a text of " + std::to_string(size) +
                                    " bytes is longer than a utf8 column holds");
          }
          text_totals_[index] += size;
        } else if constexpr (kIsMap<Column>) {
          const int64_t size = map_row_size(column.value(rows_[r]));
          if (size > max_batch_text_ && !error) {
            error = value_error(column.name(), r,
                                "keys and values of " + std::to_string(size) +
                                    " bytes are more than a map column holds");
          }
          text_totals_[index] += size;
        } else if constexpr (!kIsDate<Column> && !kIsInt64<Column>) {
          const auto& value = column.value(rows_[r]);
          if (const Amount* amount = item_of(value)) {
            scales_[index] = std::max(scales_[index], amount->scale);
          }
        }
      });
    }
    if (error) return fail(std::move(*error));
    if (std::any_of(text_totals_.begin(), text_totals_.end(),
                    [this](int64_t total) { return total > max_batch_text_; })) {
      measure_prefixes();
    }
    return Done{};
  }

  // Running totals of each text column's bytes, row by row, for a table that needs more than one
  // batch: its boundaries and offsets come from them. They are not made otherwise, which saves
  // eight bytes per row and text column of fresh memory in the usual case of one batch.
  void measure_prefixes() {
    const size_t count = rows_.size();
    text_prefixes_.resize(kColumnCount);
    for_each_column([&](size_t index, const auto& column) {
      using Column = std::remove_cvref_t<decltype(column)>;
      if constexpr (kIsText<Column>) {
        std::vector<int64_t>& prefix = text_prefixes_[index];
        prefix.resize(count + 1);
        prefix[0] = 0;
        for (size_t r = 0; r < count; ++r) {
          const auto& value = column.value(rows_[r]);
          const std::string_view* text = item_of(value);
          prefix[r + 1] = prefix[r] + (text ? static_cast<int64_t>(text->size()) : 0);
        }
      } else if constexpr (kIsMap<Column>) {
        std::vector<int64_t>& prefix = text_prefixes_[index];
        prefix.resize(count + 1);
        prefix[0] = 0;
        for (size_t r = 0; r < count; ++r) {
          prefix[r + 1] = prefix[r] + map_row_size(column.value(rows_[r]));
        }
      }
    });
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
                                     prefix[begin] + max_batch_text_);
        end = std::min(end, static_cast<size_t>(last - prefix.begin()) - 1);
      }
      ColumnBatch batch;
      batch.length = static_cast<int64_t>(end - begin);
      batch_starts_.push_back(begin);
      table.batches.push_back(std::move(batch));
      begin = end;
    } while (begin < count);
  }

  // Where the next row of a column is written.
  struct Cursor {
    uint8_t* validity = nullptr;  // optional columns only
    int32_t* offsets = nullptr;
    char* text = nullptr;
    void* values = nullptr;  // int32 day numbers, int64 values or Decimal128
    int64_t nulls = 0;
    // Map columns: the offsets and bytes of the entries' keys and values.
    int32_t* key_offsets = nullptr;
    char* keys = nullptr;
    int32_t* value_offsets = nullptr;
    char* values_text = nullptr;
    int32_t entries = 0;
  };

  // The chunk of a map column for rows [begin, begin + length): the offsets of its entries, and
  // its child of entries with the keys and the values, sized by a pass over the rows.
  template <typename Column>
  void start_map(const Column& column, size_t begin, size_t length, ColumnChunk& chunk,
                 Cursor& cursor) const {
    int64_t entries = 0;
    int64_t key_bytes = 0;
    int64_t value_bytes = 0;
    for (size_t r = begin; r < begin + length; ++r) {
      column.value(rows_[r]).for_each([&](std::string_view key, std::string_view value) {
        ++entries;
        key_bytes += static_cast<int64_t>(key.size());
        value_bytes += static_cast<int64_t>(value.size());
      });
    }
    chunk.offsets = ColumnBuffer((length + 1) * sizeof(int32_t));
    cursor.offsets = static_cast<int32_t*>(chunk.offsets.data());
    cursor.offsets[0] = 0;
    const auto text_child = [entries](int64_t bytes, int32_t*& offsets, char*& text) {
      ColumnChunk child;
      child.length = entries;
      child.offsets = ColumnBuffer(static_cast<size_t>(entries + 1) * sizeof(int32_t));
      offsets = static_cast<int32_t*>(child.offsets.data());
      offsets[0] = 0;
      child.data = ColumnBuffer(static_cast<size_t>(bytes));
      text = static_cast<char*>(child.data.data());
      return child;
    };
    ColumnChunk struct_child;
    struct_child.length = entries;
    struct_child.children.push_back(text_child(key_bytes, cursor.key_offsets, cursor.keys));
    struct_child.children.push_back(
        text_child(value_bytes, cursor.value_offsets, cursor.values_text));
    chunk.children.push_back(std::move(struct_child));
  }

  Result<Done, std::string> fill(size_t begin, ColumnBatch& batch) {
    const size_t length = static_cast<size_t>(batch.length);
    batch.columns.resize(kColumnCount);
    std::array<Cursor, kColumnCount> cursors;
    for_each_column([&](size_t index, const auto& column) {
      using Column = std::remove_cvref_t<decltype(column)>;
      ColumnChunk& chunk = batch.columns[index];
      Cursor& cursor = cursors[index];
      if constexpr (kIsOptional<Column>) {
        chunk.validity = ColumnBuffer((length + 7) / 8);
        cursor.validity = static_cast<uint8_t*>(chunk.validity.data());
        if (length > 0) std::memset(cursor.validity, 0, chunk.validity.size());
      }
      if constexpr (kIsText<Column>) {
        const int64_t bytes = text_prefixes_.empty()
                                  ? text_totals_[index]  // one batch: the whole column
                                  : text_prefixes_[index][begin + length] -
                                        text_prefixes_[index][begin];
        chunk.offsets = ColumnBuffer((length + 1) * sizeof(int32_t));
        cursor.offsets = static_cast<int32_t*>(chunk.offsets.data());
        cursor.offsets[0] = 0;
        chunk.data = ColumnBuffer(static_cast<size_t>(bytes));
        cursor.text = static_cast<char*>(chunk.data.data());
      } else if constexpr (kIsDate<Column>) {
        chunk.data = ColumnBuffer(length * sizeof(int32_t));
        cursor.values = chunk.data.data();
      } else if constexpr (kIsInt64<Column>) {
        chunk.data = ColumnBuffer(length * sizeof(int64_t));
        cursor.values = chunk.data.data();
      } else if constexpr (kIsMap<Column>) {
        start_map(column, begin, length, chunk, cursor);
      } else {
        chunk.data = ColumnBuffer(length * sizeof(Decimal128));
        cursor.values = chunk.data.data();
      }
    });

    std::optional<std::string> error;
    for (size_t i = 0; i < length && !error; ++i) {
      const Row& row = rows_[begin + i];
      // A failure is rare; the loop only tests a flag and builds the message once.
      for_each_column([&](size_t index, const auto& column) {
        if (!error) fill_one(cursors[index], index, column, row, i, begin + i, error);
      });
    }
    if (error) return fail(std::move(*error));

    for (size_t index = 0; index < kColumnCount; ++index) {
      ColumnChunk& chunk = batch.columns[index];
      chunk.null_count = cursors[index].nulls;
      if (chunk.null_count == 0) chunk.validity = ColumnBuffer();
    }
    return Done{};
  }

  // Writes row i of the batch (row `row_number` of the table) into one column.
  template <typename Column>
  void fill_one(Cursor& cursor, size_t index, const Column& column, const Row& row, size_t i,
                size_t row_number, std::optional<std::string>& error) {
    if constexpr (kIsInt64<Column>) {
      static_cast<int64_t*>(cursor.values)[i] = column.value(row);
      return;
    } else if constexpr (kIsMap<Column>) {
      column.value(row).for_each([&cursor](std::string_view key, std::string_view value) {
        const int32_t entry = cursor.entries++;
        cursor.key_offsets[entry + 1] =
            cursor.key_offsets[entry] + static_cast<int32_t>(key.size());
        copy_text(cursor.keys + cursor.key_offsets[entry], key.data(), key.size());
        cursor.value_offsets[entry + 1] =
            cursor.value_offsets[entry] + static_cast<int32_t>(value.size());
        copy_text(cursor.values_text + cursor.value_offsets[entry], value.data(), value.size());
      });
      cursor.offsets[i + 1] = cursor.entries;
      return;
    } else {
      fill_item(cursor, index, column, row, i, row_number, error);
    }
  }

  template <typename Column>
  void fill_item(Cursor& cursor, size_t index, const Column& column, const Row& row, size_t i,
                 size_t row_number, std::optional<std::string>& error) {
    const auto& value = column.value(row);
    const auto* item = item_of(value);
    if constexpr (kIsText<Column>) {
      cursor.offsets[i + 1] =
          cursor.offsets[i] + (item ? static_cast<int32_t>(item->size()) : int32_t{0});
    }
    if (item == nullptr) {
      ++cursor.nulls;
      if constexpr (kIsDate<Column>) {
        static_cast<int32_t*>(cursor.values)[i] = 0;
      } else if constexpr (!kIsText<Column>) {
        static_cast<Decimal128*>(cursor.values)[i] = Decimal128{};
      }
      return;
    }
    if (cursor.validity != nullptr) cursor.validity[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
    if constexpr (kIsText<Column>) {
      copy_text(cursor.text + cursor.offsets[i], item->data(), item->size());
    } else if constexpr (kIsDate<Column>) {
      auto day = days_since_epoch(*item);
      if (!day) {
        std::string detail(format_date(*item).view());
        error = value_error(column.name(), row_number, detail + ": " + std::string(day.error()));
        return;
      }
      static_cast<int32_t*>(cursor.values)[i] = day.value();
    } else {
      const uint8_t scale = scales_[index];
      auto decimal = decimal128_at_scale(*item, scale);
      if (!decimal) {
        std::string detail(format_amount(*item).view());
        detail += " at scale " + std::to_string(scale) + ": ";
        detail += decimal.error();
        error = value_error(column.name(), row_number, detail);
        return;
      }
      static_cast<Decimal128*>(cursor.values)[i] = decimal.value();
    }
  }

  const std::vector<Row>& rows_;
  const Columns& columns_;
  const int64_t max_batch_text_;
  std::vector<int64_t> text_totals_;                 // per column; used by text columns
  std::vector<std::vector<int64_t>> text_prefixes_;  // empty, or per column as above
  std::vector<uint8_t> scales_;                      // per column; used by amount columns
  std::vector<size_t> batch_starts_;
};

template <typename Row, typename Columns>
Result<SharedColumnTable, std::string> build_table(const std::vector<Row>& rows,
                                                                    const Columns& columns,
                                                                    int64_t max_batch_text) {
  return TableBuilder<Row, Columns>(rows, columns, max_batch_text).build();
}

}  // namespace

Result<SharedColumnTable, std::string> build_documents_table(
    const std::vector<const Document*>& documents, int64_t max_batch_text) {
  static const auto columns = std::tuple_cat(field_columns<const Document*>(kDocumentFields),
                                             std::tuple{LinenoColumn{}, ExtraColumn{}});
  return build_table(documents, columns, max_batch_text);
}

Result<SharedColumnTable, std::string> build_intervals_table(
    const std::vector<const Account*>& accounts, int64_t max_batch_text) {
  static const auto columns = std::tuple_cat(std::tuple{AccountNumberColumn{}},
                                             field_columns<IntervalRow>(kIntervalFields));
  std::vector<IntervalRow> rows;
  for (const Account* account : accounts) {
    for (const Interval& interval : account->intervals) rows.push_back({account, &interval});
  }
  return build_table(rows, columns, max_batch_text);
}

}  // namespace corvina
