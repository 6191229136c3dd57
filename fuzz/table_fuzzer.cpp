// The columnar export on arbitrary statements: every value a consumer reads through the Arrow C
// Data Interface is checked against the record it came from, with batches cut after a few bytes
// of text so that every input crosses many batch boundaries.
//
// Documents end in three more columns, `lineno`, the map `extra` and the text `direction`,
// checked against the record's own line, extras and direction.
//
// The first byte picks the text limit of a batch: 1 to 128 bytes from its low bits, or the
// build's own limit when its high bit is set; the rest is the statement. Each table is also
// built on 2 to 16 threads (as many as the input's length picks), cut into parts however small,
// and must hold what the one-thread table holds, value by value, or fail with the same text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "arrow_c_data.h"
#include "column_values.h"
#include "direction.h"
#include "document_extra.h"
#include "fuzz_input.h"
#include "parse_statement.h"
#include "record_schema.h"

namespace {

using corvina::Amount;
using corvina::Date;
using corvina::FieldKind;

void require(bool ok) {
  if (!ok) std::abort();
}

template <typename T>
std::optional<T> as_optional(const T& value) {
  return value;
}
template <typename T>
std::optional<T> as_optional(const std::optional<T>& value) {
  return value;
}

// ----- expected values, computed apart from the build -----

int64_t floor_div(int64_t a, int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }

// Days from 1970-01-01, counted as whole years of days before the date's year plus the days
// of its months: another road than the builder's (which counts eras from 1 March).
int64_t days_since_1970(Date date) {
  const auto days_before_year = [](int64_t year) {
    const int64_t y = year - 1;
    return 365 * y + floor_div(y, 4) - floor_div(y, 100) + floor_div(y, 400);
  };
  static constexpr int kBeforeMonth[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  const int64_t year = date.year;
  const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  const int64_t in_year = kBeforeMonth[date.month - 1] + (leap && date.month > 2) + date.day - 1;
  return days_before_year(year) + in_year - days_before_year(1970);
}

__extension__ typedef unsigned __int128 Wide;

std::string digits_of(Wide value) {
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(value % 10)));
    value /= 10;
  } while (value != 0);
  return digits;
}

// The amount's digits at `scale`, with its sign: what the column must hold, as text.
std::string amount_at_scale(const Amount& amount, uint8_t scale) {
  const Wide magnitude = (Wide{amount.magnitude_high} << 64) | amount.magnitude_low;
  if (magnitude == 0) return "0";
  return (amount.negative ? "-" : "") + digits_of(magnitude) +
         std::string(scale - amount.scale, '0');
}

std::string decimal_text(const corvina::Decimal128& value) {
  const Wide bits = (Wide{value.high} << 64) | value.low;
  const bool negative = (value.high >> 63) != 0;
  return (negative ? "-" : "") + digits_of(negative ? Wide{0} - bits : bits);
}

bool fits_decimal128(const Amount& amount, uint8_t scale) {
  return amount_at_scale(amount, scale).find_first_not_of('-') + corvina::kDecimal128Digits >=
         amount_at_scale(amount, scale).size();
}

// ----- reading one column of an exported batch -----

bool present(const ArrowArray& column, int64_t row) {
  const auto* validity = static_cast<const uint8_t*>(column.buffers[0]);
  return validity == nullptr || ((validity[row / 8] >> (row % 8)) & 1) != 0;
}

void check_text(const ArrowArray& column, int64_t row, std::optional<std::string_view> expected) {
  require(present(column, row) == expected.has_value());
  const auto* offsets = static_cast<const int32_t*>(column.buffers[1]);
  require(offsets[row] <= offsets[row + 1]);
  const std::string_view text(static_cast<const char*>(column.buffers[2]) + offsets[row],
                              static_cast<size_t>(offsets[row + 1] - offsets[row]));
  require(text == expected.value_or(std::string_view()));  // an absent text takes no bytes
}

void check_date(const ArrowArray& column, int64_t row, std::optional<Date> expected) {
  require(present(column, row) == expected.has_value());
  if (!expected) return;
  require(static_cast<const int32_t*>(column.buffers[1])[row] == days_since_1970(*expected));
}

void check_amount(const ArrowArray& column, int64_t row, std::optional<Amount> expected,
                  uint8_t scale) {
  require(present(column, row) == expected.has_value());
  if (!expected) return;
  const auto* values = static_cast<const corvina::Decimal128*>(column.buffers[1]);
  require(decimal_text(values[row]) == amount_at_scale(*expected, scale));
}

// The `lineno`, `extra` and `direction` columns that follow a document's fields, at one row.
void check_document_tail(const ArrowArray& batch, size_t first, int64_t row,
                         const corvina::Document& document) {
  const ArrowArray& lineno = *batch.children[first];
  require(static_cast<const int64_t*>(lineno.buffers[1])[row] == document.lineno);
  const ArrowArray& map = *batch.children[first + 1];
  require(present(map, row) && map.n_children == 1);
  const auto* entry_offsets = static_cast<const int32_t*>(map.buffers[1]);
  const ArrowArray& entries = *map.children[0];
  require(entries.n_children == 2 && entries.null_count == 0);
  int32_t entry = entry_offsets[row];
  corvina::for_each_extra(document, [&](std::string_view key, std::string_view value) {
    require(entry < entry_offsets[row + 1]);
    check_text(*entries.children[0], entry, key);
    check_text(*entries.children[1], entry, value);
    ++entry;
  });
  require(entry == entry_offsets[row + 1]);
  check_text(*batch.children[first + 2], row, corvina::direction_name(document.direction()));
}

// What the extras of a document take of a batch's limit: their bytes and one per entry.
int64_t map_size(const corvina::Document& document) {
  int64_t size = 0;
  corvina::for_each_extra(document, [&](std::string_view key, std::string_view value) {
    size += static_cast<int64_t>(key.size() + value.size()) + 1;
  });
  return size;
}

// The bytes of a batch's map column counted as map_size does, up to row `rows`.
int64_t map_bytes(const ArrowArray& map, int64_t rows) {
  const auto* entry_offsets = static_cast<const int32_t*>(map.buffers[1]);
  const int32_t entries = entry_offsets[rows];
  const ArrowArray& entry_struct = *map.children[0];
  const auto* keys = static_cast<const int32_t*>(entry_struct.children[0]->buffers[1]);
  const auto* values = static_cast<const int32_t*>(entry_struct.children[1]->buffers[1]);
  return int64_t{keys[entries]} + values[entries] + entries;
}

// The columns of `fields`, from child `first` on, at one row.
template <typename Fields, typename Record>
void check_record(const ArrowArray& batch, size_t first, int64_t row, const Fields& fields,
                  const Record& record, const std::vector<uint8_t>& scales) {
  size_t index = first;
  corvina::for_each_field(fields, [&](const auto& field) {
    using Row = std::remove_cvref_t<decltype(field)>;
    const ArrowArray& column = *batch.children[index];
    if constexpr (Row::kind == FieldKind::Text) {
      check_text(column, row, as_optional(Row::of(record)));
    } else if constexpr (Row::kind == FieldKind::Date) {
      check_date(column, row, as_optional(Row::of(record)));
    } else {
      check_amount(column, row, as_optional(Row::of(record)), scales[index]);
    }
    ++index;
  });
}

// The names, formats and nullability the table must have: `leading` (the intervals' account
// column) then one column per field. Returns each column's scale (amounts) or 0.
template <typename Fields>
std::vector<uint8_t> check_schema(const ArrowSchema& schema, bool leading, bool document_tail,
                                  const Fields& fields, const std::vector<uint8_t>& max_scales) {
  require(std::string_view(schema.format) == "+s");
  std::vector<uint8_t> scales;
  size_t index = 0;
  if (leading) {
    require(std::string_view(schema.children[0]->name) == "account");
    require(std::string_view(schema.children[0]->format) == "u");
    scales.push_back(0);
    ++index;
  }
  corvina::for_each_field(fields, [&](const auto& field) {
    using Row = std::remove_cvref_t<decltype(field)>;
    const ArrowSchema& child = *schema.children[index];
    require(std::string_view(child.name) == field.name);
    require(((child.flags & ARROW_FLAG_NULLABLE) != 0) == !Row::required);
    std::string format = Row::kind == FieldKind::Text ? "u" : "tdD";
    uint8_t scale = 0;
    if constexpr (Row::kind == FieldKind::Amount) {
      scale = max_scales[index] < 2 ? 2 : max_scales[index];
      format = "d:38," + std::to_string(scale);
    }
    require(child.format == format);
    scales.push_back(scale);
    ++index;
  });
  if (document_tail) {
    const ArrowSchema& lineno = *schema.children[index++];
    require(std::string_view(lineno.name) == "lineno" && std::string_view(lineno.format) == "l");
    require((lineno.flags & ARROW_FLAG_NULLABLE) == 0);
    const ArrowSchema& map = *schema.children[index++];
    require(std::string_view(map.name) == "extra" && std::string_view(map.format) == "+m");
    require((map.flags & ARROW_FLAG_NULLABLE) == 0 && map.n_children == 1);
    const ArrowSchema& entries = *map.children[0];
    require(std::string_view(entries.format) == "+s" && entries.n_children == 2);
    require((entries.flags & ARROW_FLAG_NULLABLE) == 0);
    for (int64_t c = 0; c < 2; ++c) {
      const ArrowSchema& child = *entries.children[c];
      require(std::string_view(child.name) == (c == 0 ? "key" : "value"));
      require(std::string_view(child.format) == "u" && (child.flags & ARROW_FLAG_NULLABLE) == 0);
    }
    const ArrowSchema& direction = *schema.children[index++];
    require(std::string_view(direction.name) == "direction");
    require(std::string_view(direction.format) == "u");
    require((direction.flags & ARROW_FLAG_NULLABLE) != 0);
    scales.push_back(0);
    scales.push_back(0);
    scales.push_back(0);
  }
  require(schema.n_children == static_cast<int64_t>(index));
  return scales;
}

// What a table of these rows must hold, seen apart from the build: the longest text, each
// amount column's largest scale, and whether every amount fits 38 digits at it.
struct Expected {
  size_t longest_text = 0;
  int64_t largest_map = 0;
  std::vector<uint8_t> max_scales;
  bool amounts_fit = true;
};

template <typename Fields, typename Record>
void measure_record(Expected& expected, size_t first, const Fields& fields,
                    const Record& record) {
  size_t index = first;
  corvina::for_each_field(fields, [&](const auto& field) {
    using Row = std::remove_cvref_t<decltype(field)>;
    const auto value = as_optional(Row::of(record));
    if constexpr (Row::kind == FieldKind::Text) {
      if (value && value->size() > expected.longest_text) expected.longest_text = value->size();
    } else if constexpr (Row::kind == FieldKind::Amount) {
      if (value && value->scale > expected.max_scales[index]) {
        expected.max_scales[index] = value->scale;
      }
    }
    ++index;
  });
}

template <typename Fields, typename Record>
void check_fit(Expected& expected, size_t first, const Fields& fields, const Record& record) {
  size_t index = first;
  corvina::for_each_field(fields, [&](const auto& field) {
    using Row = std::remove_cvref_t<decltype(field)>;
    if constexpr (Row::kind == FieldKind::Amount) {
      const auto value = as_optional(Row::of(record));
      const uint8_t scale = expected.max_scales[index] < 2 ? 2 : expected.max_scales[index];
      if (value && !fits_decimal128(*value, scale)) expected.amounts_fit = false;
    }
    ++index;
  });
}

// Builds the table of `rows` with `limit`, and when the build must succeed, reads every batch
// through a stream and checks it; a refused build must name the reason the rows give.
template <typename Rows, typename Build, typename Measure, typename CheckRow>
void check_table(const Rows& rows, int64_t limit, size_t columns, bool leading, bool document_tail,
                 const auto& fields, Build&& build, Measure&& measure, CheckRow&& check_row) {
  Expected expected;
  expected.max_scales.assign(columns, 0);
  for (const auto& row : rows) measure(expected, row, /*fit=*/false);
  for (const auto& row : rows) measure(expected, row, /*fit=*/true);

  auto built = build(limit);
  const bool text_too_long = static_cast<int64_t>(expected.longest_text) > limit;
  const bool map_too_large = expected.largest_map > limit;
  if (text_too_long || map_too_large) {
    // The first row that passes the limit in any column is the one named.
    require(!built.ok());
    const std::string& error = built.error();
    const bool names_text = error.find("longer than a utf8 column holds") != std::string::npos;
    const bool names_map = error.find("more than a map column holds") != std::string::npos;
    require((names_text && text_too_long) || (names_map && map_too_large));
    limit = std::max(static_cast<int64_t>(expected.longest_text), expected.largest_map);
    built = build(limit);
  }
  if (!expected.amounts_fit) {
    require(!built.ok() && built.error().find("more than 38 digits") != std::string::npos);
    return;
  }
  require(built.ok());

  ArrowArrayStream stream;
  corvina::export_table_stream(std::move(built.value()), &stream);
  ArrowSchema schema;
  require(stream.get_schema(&stream, &schema) == 0);
  require(schema.n_children == static_cast<int64_t>(columns));
  const std::vector<uint8_t> scales =
      check_schema(schema, leading, document_tail, fields, expected.max_scales);

  // Per batch and text column: its bytes, and the bytes of its first row.
  std::vector<std::vector<int64_t>> totals;
  std::vector<std::vector<int64_t>> firsts;
  size_t next_row = 0;
  for (size_t b = 0;; ++b) {
    ArrowArray batch;
    require(stream.get_next(&stream, &batch) == 0);
    if (batch.release == nullptr) break;
    require(batch.n_children == static_cast<int64_t>(columns));
    require(batch.length > 0 || (rows.empty() && b == 0));
    require(next_row + static_cast<size_t>(batch.length) <= rows.size());
    totals.emplace_back();
    firsts.emplace_back();
    for (size_t c = 0; c < columns; ++c) {
      const ArrowArray& column = *batch.children[c];
      require(column.length == batch.length && column.offset == 0);
      int64_t nulls = 0;
      for (int64_t i = 0; i < batch.length; ++i) nulls += !present(column, i);
      require(nulls == column.null_count);
      if (std::string_view(schema.children[c]->format) == "+m") {
        require(column.n_buffers == 2 && column.n_children == 1);
        require(static_cast<const int32_t*>(column.buffers[1])[0] == 0);
        const int64_t bytes = map_bytes(column, batch.length);
        require(bytes <= limit);
        totals.back().push_back(bytes);
        firsts.back().push_back(batch.length > 0 ? map_bytes(column, 1) : 0);
        continue;
      }
      if (std::string_view(schema.children[c]->format) != "u") continue;
      require(column.n_buffers == 3);
      const auto* offsets = static_cast<const int32_t*>(column.buffers[1]);
      require(offsets[0] == 0 && offsets[batch.length] <= limit);
      totals.back().push_back(offsets[batch.length]);
      firsts.back().push_back(batch.length > 0 ? offsets[1] : 0);
    }
    for (int64_t i = 0; i < batch.length; ++i) check_row(batch, i, rows[next_row++], scales);

    // A consumer may keep one column and let the rest go: it must stay readable alone.
    const size_t kept = b % columns;
    ArrowArray column = *batch.children[kept];
    batch.children[kept]->release = nullptr;
    batch.release(&batch);
    require(column.length == 0 || column.buffers[1] != nullptr);
    if (column.length > 0 && column.n_buffers == 3) {
      const auto* offsets = static_cast<const int32_t*>(column.buffers[1]);
      const auto* bytes = static_cast<const volatile char*>(column.buffers[2]);
      for (int32_t at = 0; at < offsets[column.length]; ++at) (void)bytes[at];
    }
    if (column.length > 0 && column.n_children == 1) {  // a map: its entries' keys and values
      const ArrowArray& entries = *column.children[0];
      for (int64_t c = 0; c < entries.n_children; ++c) {
        const ArrowArray& text = *entries.children[c];
        const auto* offsets = static_cast<const int32_t*>(text.buffers[1]);
        const auto* bytes = static_cast<const volatile char*>(text.buffers[2]);
        for (int32_t at = 0; at < offsets[text.length]; ++at) (void)bytes[at];
      }
    }
    column.release(&column);
  }
  require(next_row == rows.size());
  // A batch ends only where the next row would pass the limit in some text column.
  for (size_t b = 0; b + 1 < totals.size(); ++b) {
    bool full = false;
    for (size_t c = 0; c < totals[b].size(); ++c) {
      full = full || totals[b][c] + firsts[b + 1][c] > limit;
    }
    require(full);
  }
  schema.release(&schema);
  stream.release(&stream);
}

struct IntervalRow {
  const corvina::Account* account;
  const corvina::Interval* interval;
};

// ----- the table built on threads against the one built on one -----

// The rows of a table in order, across its batches.
class RowCursor {
 public:
  explicit RowCursor(const corvina::ColumnTable& table) : table_(table) { skip_empty(); }
  const corvina::ColumnBatch& batch() const { return table_.batches[batch_]; }
  int64_t row() const { return row_; }
  void next() {
    ++row_;
    skip_empty();
  }

 private:
  void skip_empty() {
    while (batch_ < table_.batches.size() && row_ == table_.batches[batch_].length) {
      ++batch_;
      row_ = 0;
    }
  }
  const corvina::ColumnTable& table_;
  size_t batch_ = 0;
  int64_t row_ = 0;
};

bool present_in(const corvina::ColumnChunk& chunk, int64_t row) {
  if (chunk.null_count == 0) return true;
  const auto* validity = static_cast<const uint8_t*>(chunk.validity.data());
  return ((validity[row / 8] >> (row % 8)) & 1) != 0;
}

std::string value_bytes(const corvina::ColumnChunk& chunk, const std::string& format,
                        int64_t row) {
  const auto* data = static_cast<const char*>(chunk.data.data());
  if (format == "u") {
    const auto* offsets = static_cast<const int32_t*>(chunk.offsets.data());
    return {data + offsets[row], static_cast<size_t>(offsets[row + 1] - offsets[row])};
  }
  if (format == "+m") {  // the row's entries as key=value lines
    const auto* offsets = static_cast<const int32_t*>(chunk.offsets.data());
    const corvina::ColumnChunk& entries = chunk.children.at(0);
    std::string out;
    for (int32_t e = offsets[row]; e < offsets[row + 1]; ++e) {
      for (size_t part = 0; part < entries.children.size(); ++part) {
        const corvina::ColumnChunk& texts = entries.children[part];
        const auto* at = static_cast<const int32_t*>(texts.offsets.data());
        out.append(static_cast<const char*>(texts.data.data()) + at[e],
                   static_cast<size_t>(at[e + 1] - at[e]));
        out += part == 0 ? '=' : '\n';
      }
    }
    return out;
  }
  const size_t width = format == "tdD"  ? sizeof(int32_t)
                       : format == "l" ? sizeof(int64_t)
                                       : sizeof(corvina::Decimal128);
  return {data + static_cast<size_t>(row) * width, width};
}

// The same columns, and the same value (or absence) at every row, whatever the batches; each
// batch of `parallel` within the text limit, and none empty unless the table is.
void require_same_values(const corvina::ColumnTable& one, const corvina::ColumnTable& parallel,
                         int64_t limit) {
  require(one.rows == parallel.rows && one.columns.size() == parallel.columns.size());
  for (size_t c = 0; c < one.columns.size(); ++c) {
    require(one.columns[c].name == parallel.columns[c].name);
    require(one.columns[c].format == parallel.columns[c].format);
    require(one.columns[c].nullable == parallel.columns[c].nullable);
  }
  int64_t rows = 0;
  for (const corvina::ColumnBatch& batch : parallel.batches) {
    require(batch.length > 0 || parallel.rows == 0);
    rows += batch.length;
    for (size_t c = 0; c < parallel.columns.size(); ++c) {
      if (parallel.columns[c].format != "u") continue;
      const auto* offsets = static_cast<const int32_t*>(batch.columns[c].offsets.data());
      require(offsets[0] == 0 && offsets[batch.length] <= limit);
    }
  }
  require(rows == parallel.rows);
  RowCursor a(one);
  RowCursor b(parallel);
  for (int64_t r = 0; r < one.rows; ++r, a.next(), b.next()) {
    for (size_t c = 0; c < one.columns.size(); ++c) {
      const corvina::ColumnChunk& x = a.batch().columns[c];
      const corvina::ColumnChunk& y = b.batch().columns[c];
      const bool here = present_in(x, a.row());
      require(here == present_in(y, b.row()));
      if (!here) continue;
      const std::string& format = one.columns[c].format;
      require(value_bytes(x, format, a.row()) == value_bytes(y, format, b.row()));
    }
  }
}

// The table built with `threads` against the one-thread build, with the same limit.
template <typename Build>
void check_on_threads(Build&& build, int64_t limit, unsigned threads) {
  corvina::ParseOptions one_thread;
  one_thread.threads = 1;
  corvina::ParseOptions on_threads;
  on_threads.threads = threads;
  on_threads.chunk_threshold = 1;
  auto one = build(limit, one_thread);
  auto parallel = build(limit, on_threads);
  require(one.ok() == parallel.ok());
  if (!one.ok()) {
    require(one.error() == parallel.error());
    // A text too long for the limit hides the rest: compare once more with room for it.
    if (limit != corvina::kMaxBatchText &&
        one.error().find("longer than a utf8 column holds") != std::string::npos) {
      check_on_threads(build, corvina::kMaxBatchText, threads);
    }
    return;
  }
  require_same_values(*one.value(), *parallel.value(), limit);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  corvina::fuzz::FuzzInput input(data, size);
  const uint8_t choice = input.take_byte();
  const int64_t limit = (choice & 0x80) != 0 ? corvina::kMaxBatchText : (choice & 0x7F) + 1;
  const unsigned threads = 2 + static_cast<unsigned>(size % 15);
  corvina::ParseOptions one_thread;
  one_thread.threads = 1;
  auto parsed = corvina::parse_statement(input.rest(), {});
  if (!parsed) return 0;
  const corvina::Statement& statement = parsed.value();
  using corvina::kDocumentFields;
  using corvina::kIntervalFields;

  std::vector<const corvina::Document*> documents;
  for (const corvina::Document& document : statement.documents) documents.push_back(&document);
  constexpr size_t kDocumentColumns = corvina::kFieldCount<decltype(kDocumentFields)>;
  check_table(
      documents, limit, kDocumentColumns + 3, false, true, kDocumentFields,
      [&](int64_t at) { return corvina::build_documents_table(documents, at, one_thread); },
      [](Expected& expected, const corvina::Document* document, bool fit) {
        if (fit) {
          check_fit(expected, 0, kDocumentFields, *document);
        } else {
          measure_record(expected, 0, kDocumentFields, *document);
          expected.largest_map = std::max(expected.largest_map, map_size(*document));
          if (const auto direction = corvina::direction_name(document->direction())) {
            expected.longest_text = std::max(expected.longest_text, direction->size());
          }
        }
      },
      [](const ArrowArray& batch, int64_t i, const corvina::Document* document,
         const std::vector<uint8_t>& scales) {
        check_record(batch, 0, i, kDocumentFields, *document, scales);
        check_document_tail(batch, kDocumentColumns, i, *document);
      });

  check_on_threads(
      [&](int64_t at, const corvina::ParseOptions& options) {
        return corvina::build_documents_table(documents, at, options);
      },
      limit, threads);

  std::vector<const corvina::Account*> accounts;
  std::vector<IntervalRow> intervals;
  for (const corvina::Account& account : statement.accounts.accounts()) {
    accounts.push_back(&account);
    for (const corvina::Interval& interval : account.intervals) {
      intervals.push_back({&account, &interval});
    }
  }
  check_table(
      intervals, limit, 1 + corvina::kFieldCount<decltype(kIntervalFields)>, true, false,
      kIntervalFields,
      [&](int64_t at) { return corvina::build_intervals_table(accounts, at, one_thread); },
      [](Expected& expected, const IntervalRow& row, bool fit) {
        if (fit) {
          check_fit(expected, 1, kIntervalFields, *row.interval);
          return;
        }
        expected.longest_text = std::max(expected.longest_text, row.account->number.size());
        measure_record(expected, 1, kIntervalFields, *row.interval);
      },
      [](const ArrowArray& batch, int64_t i, const IntervalRow& row,
         const std::vector<uint8_t>& scales) {
        check_text(*batch.children[0], i, row.account->number);
        check_record(batch, 1, i, kIntervalFields, *row.interval, scales);
      });
  check_on_threads(
      [&](int64_t at, const corvina::ParseOptions& options) {
        return corvina::build_intervals_table(accounts, at, options);
      },
      limit, threads);
  return 0;
}
