#include "column_table.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "amount.h"
#include "asan_poison.h"
#include "chunked_parse.h"
#include "column_values.h"
#include "date.h"
#include "direction.h"
#include "document_extra.h"
#include "huge_pages.h"
#include "kept_blocks.h"
#include "record_schema.h"
#include "shared_work.h"
#include "short_copy.h"

namespace corvina {

// A large buffer comes fresh from the kernel, and its first write takes one page fault per
// 4 KiB page: on a 50 MB statement those faults cost as much as filling the columns. It is a
// kept block instead, which the kernel backs with huge pages where the system allows that
// (elsewhere the advice is ignored), and which the last table freed, already faulted in, where
// there is one; else it comes from the heap.
ColumnBuffer::ColumnBuffer(size_t bytes) : size_(bytes) {
  if (bytes == 0) return;
  if (bytes >= kHugePageBytes) {
    const size_t rounded = whole_huge_pages(bytes);
    if (void* const block = take_block(rounded)) {
      bytes_ = std::unique_ptr<void, FreeColumnBuffer>(block, FreeColumnBuffer{rounded});
      return;
    }
  }
  constexpr size_t alignment = 64;
  const size_t rounded = (bytes + alignment - 1) / alignment * alignment;
#if defined(_WIN32)
  // The C runtime of Windows has no aligned_alloc: its aligned blocks need their own free.
  bytes_.reset(_aligned_malloc(rounded, alignment));
#else
  bytes_.reset(std::aligned_alloc(alignment, rounded));
#endif
  if (!bytes_) throw std::bad_alloc();
}

ColumnBuffer ColumnBuffer::share(void* data, size_t bytes) {
  ColumnBuffer shared;
  shared.bytes_ = std::unique_ptr<void, FreeColumnBuffer>(data, FreeColumnBuffer{0, false});
  shared.size_ = bytes;
  return shared;
}

void FreeColumnBuffer::operator()(void* bytes) const {
  if (!owned) return;
  if (kept_block != 0) {
    give_back_block(bytes, kept_block);
    return;
  }
#if defined(_WIN32)
  _aligned_free(bytes);
#else
  std::free(bytes);
#endif
}

namespace {

// How far past the end of a text column's bytes the table asks for memory ahead of writing it.
// A table writes two dozen text columns row by row, a stream of stores each, more streams than
// the processor follows on its own: a store to a new line waited for the line to come from
// memory, and a profile of the pass that writes the rows put most of its samples on one store.
// Half as far ahead came too late and twice as far no better.
constexpr uintptr_t kTextWriteAhead = 384;

// Asks for the memory `ahead` bytes past `at`, to be written soon; nothing where the compiler
// has no such hint. The address is never dereferenced, so one past the buffer's end is harmless.
inline void prefetch_for_write(const char* at, uintptr_t ahead) {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<uintptr_t>(at) + ahead), 1);
#else
  static_cast<void>(at);
  static_cast<void>(ahead);
#endif
}

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
  // f(key, size of the value): what measuring a row needs, with nothing decoded.
  template <typename F>
  void for_each_size(F&& f) const {
    for_each_extra_size(*document, std::forward<F>(f));
  }
};

struct ExtraColumn {
  using value_type = ExtraEntries;
  std::string_view name() const { return "extra"; }
  ExtraEntries value(const Document* document) const { return {document}; }
};

// A nullable text column rather than a dictionary: three short words cost less as bytes than a
// dictionary's indices and its own array cost every consumer that has to unpack them.
struct DirectionColumn {
  using value_type = std::optional<std::string_view>;
  std::string_view name() const { return "direction"; }
  std::optional<std::string_view> value(const Document* document) const {
    return direction_name(document->direction());
  }
};

// The entries of map rows and the bytes of their keys and values.
struct MapSizes {
  int64_t entries = 0;
  int64_t key_bytes = 0;
  int64_t value_bytes = 0;

  // What the rows take of a batch's limit: their keys' and values' bytes, and one per entry so
  // that the int32 offsets of the entries stay within it too.
  int64_t limit_share() const { return entries + key_bytes + value_bytes; }

  MapSizes& operator+=(const MapSizes& more) {
    entries += more.entries;
    key_bytes += more.key_bytes;
    value_bytes += more.value_bytes;
    return *this;
  }
};

MapSizes map_sizes(const ExtraEntries& row) {
  MapSizes sizes;
  row.for_each_size([&sizes](std::string_view key, size_t value_size) {
    ++sizes.entries;
    sizes.key_bytes += static_cast<int64_t>(key.size());
    sizes.value_bytes += static_cast<int64_t>(value_size);
  });
  return sizes;
}

int64_t map_row_size(const ExtraEntries& row) { return map_sizes(row).limit_share(); }

// map_sizes with room for the values in place of their sizes, as the document's summary holds
// them: measuring reads neither the extras (each row's lie past its texts, where a pass that
// reads little else waits on memory for nearly every row) nor a Windows-1251 value's bytes to
// size it in UTF-8. A batch's values buffer is as large as this room; what it holds is what the
// offsets say, and pages past that are never touched.
MapSizes map_room(const ExtraEntries& row) {
  const ExtraSizes sizes = extra_sizes(*row.document);
  return {static_cast<int64_t>(sizes.entries), static_cast<int64_t>(sizes.key_bytes),
          static_cast<int64_t>(sizes.value_room)};
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

std::string value_error(std::string_view column, size_t row, std::string_view detail) {
  std::string message = "column '";
  message += column;
  message += "', row ";
  message += std::to_string(row);
  message += ": ";
  message += detail;
  return message;
}

// The rows of a table cut into `count` ranges of about equal length: ascending starts, the
// first 0, the last `rows`.
std::vector<size_t> row_cuts(size_t rows, size_t count) {
  std::vector<size_t> cuts;
  for (size_t i = 0; i < count; ++i) cuts.push_back(rows / count * i + rows % count * i / count);
  cuts.push_back(rows);
  return cuts;
}

// Builds a table in three steps: one pass over the rows for the sizes of the text columns and
// the scales of the amount columns, then the batch boundaries, then one pass per batch that
// writes every column of a row before moving to the next row. Row by row, each record is
// brought into the cache once rather than once per column: a record lies in memory far from the
// next, and with two dozen columns the passes column by column cost more than the copying.
//
// A large table is cut by rows into parts, one per thread, and both passes run part by part on
// threads of their own. The parts meet once in between: an amount column has one scale in
// every batch, the largest of all parts. Each part makes batches of its own rows only, so the
// tables of any number of parts hold the same values in the same order; only the batch
// boundaries differ. Failures keep their order: the first part's measuring failure wins, then
// the first part's writing one, as on one thread where every row is measured before any is
// written.
template <typename Row, typename Columns>
class TableBuilder {
 public:
  TableBuilder(const std::vector<Row>& rows, const Columns& columns, int64_t max_batch_text)
      : rows_(rows), columns_(columns), max_batch_text_(max_batch_text) {}

  Result<SharedColumnTable, std::string> build(const ParseOptions& options) {
    auto table = std::make_shared<ColumnTable>();
    table->rows = static_cast<int64_t>(rows_.size());
    SpareThreads spare;
    const size_t threads = plan_parts(options, spare);
    run_shared_work(parts_.size(), threads, [this](size_t p) { measure(parts_[p]); });
    scales_.assign(kColumnCount, 2);
    for (const Part& part : parts_) {
      if (part.error) return fail(std::move(*part.error));
      for (size_t index = 0; index < kColumnCount; ++index) {
        scales_[index] = std::max(scales_[index], part.scales[index]);
      }
    }
    for_each_column([&](size_t index, const auto& column) {
      table->columns.push_back(schema_of(index, column));
    });
    for (Part& part : parts_) plan_batches(part, *table);
    run_shared_work(parts_.size(), threads, [this, &table](size_t p) {
      Part& part = parts_[p];
      for (size_t b = 0; b < part.batch_starts.size() && !part.error; ++b) {
        fill(part, part.batch_starts[b], table->batches[part.first_batch + b]);
      }
    });
    for (Part& part : parts_) {
      if (part.error) return fail(std::move(*part.error));
    }
    return SharedColumnTable(std::move(table));
  }

 private:
  static constexpr size_t kColumnCount = std::tuple_size_v<Columns>;
  // A part smaller than this share of the parse's threshold costs more to start and join than
  // it saves, as a piece of the parse does.
  static constexpr size_t kPartShareOfThreshold = 8;
  static constexpr size_t kMostParts = 256;
  // Rows whose texts stand for the rest when the table's size is estimated.
  static constexpr size_t kSampleRows = 64;

  // A range of rows and what is known of them. Measured text totals, prefixes and batch starts
  // count from the part's first row.
  struct Part {
    size_t begin = 0;
    size_t end = 0;
    std::vector<int64_t> text_totals;                 // per column; used by text columns
    std::vector<std::vector<int64_t>> text_prefixes;  // empty, or per column as above
    std::vector<uint8_t> scales;                      // per column; used by amount columns
    std::vector<MapSizes> map_sizes;                  // per column, room for the values
                                                      // (map_room); used by map columns
    std::vector<size_t> batch_starts;
    size_t first_batch = 0;
    std::optional<std::string> error;
  };

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

  // The bytes of text in the table, from evenly spaced rows: the table goes on threads on the
  // terms of a parse of a statement that size, without a pass over every row to decide it.
  size_t estimated_text() const {
    const size_t count = rows_.size();
    const size_t sampled = std::min(count, kSampleRows);
    if (sampled == 0) return 0;
    uint64_t bytes = 0;
    for (size_t s = 0; s < sampled; ++s) {
      const Row& row = rows_[count / sampled * s];
      for_each_column([&](size_t, const auto& column) {
        if constexpr (kIsText<std::remove_cvref_t<decltype(column)>>) {
          const auto& value = column.value(row);
          if (const std::string_view* text = item_of(value)) bytes += text->size();
        }
      });
    }
    return static_cast<size_t>(bytes / sampled * count);
  }

  // Cuts the rows into parts and returns the threads to run them on, claimed from `spare` when
  // the options leave the count to the cores.
  size_t plan_parts(const ParseOptions& options, SpareThreads& spare) {
    size_t parts = 1;
    if (options.threads != 1 && rows_.size() > 1) {
      const size_t text = estimated_text();
      if (text >= options.chunk_threshold) {
        const size_t smallest =
            std::max<size_t>(1, options.chunk_threshold / kPartShareOfThreshold);
        const size_t most =
            std::min({std::max<size_t>(1, text / smallest), kMostParts, rows_.size()});
        if (options.threads == 0) spare.claim(most - 1);
        parts = options.threads == 0 ? spare.claimed() + 1
                                     : std::min<size_t>(options.threads, most);
      }
    }
    const std::vector<size_t> cuts = row_cuts(rows_.size(), parts);
    parts_.resize(parts);
    for (size_t p = 0; p < parts; ++p) {
      parts_[p].begin = cuts[p];
      parts_[p].end = cuts[p + 1];
    }
    return parts;
  }

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

  void measure(Part& part) const {
    part.text_totals.assign(kColumnCount, 0);
    // Two places at least, so that statements of one bank (amounts in kopecks) share a type
    // whatever amounts each happens to hold.
    part.scales.assign(kColumnCount, 2);
    part.map_sizes.assign(kColumnCount, MapSizes{});
    std::optional<std::string>& error = part.error;
    for (size_t r = part.begin; r < part.end && !error; ++r) {
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
          part.text_totals[index] += size;
        } else if constexpr (kIsMap<Column>) {
          // Room for the values, which is their size unless some are Windows-1251. A row whose
          // room passes the limit is sized exactly, for the check and its message; a part whose
          // room passes it measures every row exactly (measure_prefixes), so the batches are
          // those of the sizes.
          MapSizes sizes = map_room(column.value(rows_[r]));
          if (sizes.limit_share() > max_batch_text_) sizes = map_sizes(column.value(rows_[r]));
          part.map_sizes[index] += sizes;
          const int64_t size = sizes.limit_share();
          if (size > max_batch_text_ && !error) {
            error = value_error(column.name(), r,
                                "keys and values of " + std::to_string(size) +
                                    " bytes are more than a map column holds");
          }
          part.text_totals[index] += size;
        } else if constexpr (!kIsDate<Column> && !kIsInt64<Column>) {
          const auto& value = column.value(rows_[r]);
          if (const Amount* amount = item_of(value)) {
            part.scales[index] = std::max(part.scales[index], amount->scale);
          }
        }
      });
    }
    if (error) return;
    if (std::any_of(part.text_totals.begin(), part.text_totals.end(),
                    [this](int64_t total) { return total > max_batch_text_; })) {
      measure_prefixes(part);
    }
  }

  // Running totals of each text column's bytes, row by row, for a part that needs more than one
  // batch: its boundaries and offsets come from them. They are not made otherwise, which saves
  // eight bytes per row and text column of fresh memory in the usual case of one batch.
  void measure_prefixes(Part& part) const {
    const size_t count = part.end - part.begin;
    part.text_prefixes.resize(kColumnCount);
    for_each_column([&](size_t index, const auto& column) {
      using Column = std::remove_cvref_t<decltype(column)>;
      if constexpr (kIsText<Column>) {
        std::vector<int64_t>& prefix = part.text_prefixes[index];
        prefix.resize(count + 1);
        prefix[0] = 0;
        for (size_t r = 0; r < count; ++r) {
          const auto& value = column.value(rows_[part.begin + r]);
          const std::string_view* text = item_of(value);
          prefix[r + 1] = prefix[r] + (text ? static_cast<int64_t>(text->size()) : 0);
        }
      } else if constexpr (kIsMap<Column>) {
        std::vector<int64_t>& prefix = part.text_prefixes[index];
        prefix.resize(count + 1);
        prefix[0] = 0;
        for (size_t r = 0; r < count; ++r) {
          prefix[r + 1] = prefix[r] + map_row_size(column.value(rows_[part.begin + r]));
        }
      }
    });
  }

  // Each batch is as long as every text column allows: for each, the last row whose bytes since
  // the batch's start stay within the limit (a single text never passes it, as measured).
  void plan_batches(Part& part, ColumnTable& table) {
    const size_t count = part.end - part.begin;
    part.first_batch = table.batches.size();
    size_t begin = 0;
    do {
      size_t end = count;
      for (const std::vector<int64_t>& prefix : part.text_prefixes) {
        if (prefix.empty()) continue;
        auto last = std::upper_bound(prefix.begin() + static_cast<ptrdiff_t>(begin),
                                     prefix.begin() + static_cast<ptrdiff_t>(end) + 1,
                                     prefix[begin] + max_batch_text_);
        end = std::min(end, static_cast<size_t>(last - prefix.begin()) - 1);
      }
      ColumnBatch batch;
      batch.length = static_cast<int64_t>(end - begin);
      part.batch_starts.push_back(begin);
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
  // its child of entries with the keys and the values, sized as `known` (with room for the
  // values), or else by a pass over the rows.
  template <typename Column>
  void start_map(const Column& column, size_t begin, size_t length, const MapSizes* known,
                 ColumnChunk& chunk, Cursor& cursor) const {
    MapSizes sizes;
    if (known != nullptr) {
      sizes = *known;
    } else {
      for (size_t r = begin; r < begin + length; ++r) sizes += map_sizes(column.value(rows_[r]));
    }
    const int64_t entries = sizes.entries;
    const int64_t key_bytes = sizes.key_bytes;
    const int64_t value_bytes = sizes.value_bytes;
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

  // The sizes of a column's buffers in a batch of `length` rows from the part's row `start`;
  // none for a map column, whose buffers start_map makes.
  struct BufferSizes {
    size_t validity = 0;
    size_t offsets = 0;
    size_t data = 0;
  };
  template <typename Column>
  BufferSizes buffer_sizes(const Part& part, size_t index, size_t start, size_t length) const {
    BufferSizes sizes;
    if constexpr (kIsOptional<Column>) sizes.validity = (length + 7) / 8;
    if constexpr (kIsText<Column>) {
      sizes.offsets = (length + 1) * sizeof(int32_t);
      sizes.data = static_cast<size_t>(part.text_prefixes.empty()
                                           ? part.text_totals[index]  // one batch: the part
                                           : part.text_prefixes[index][start + length] -
                                                 part.text_prefixes[index][start]);
    } else if constexpr (kIsDate<Column>) {
      sizes.data = length * sizeof(int32_t);
    } else if constexpr (kIsInt64<Column>) {
      sizes.data = length * sizeof(int64_t);
    } else if constexpr (!kIsMap<Column>) {
      sizes.data = length * sizeof(Decimal128);
    }
    return sizes;
  }

  // A batch's buffers smaller than a huge page, shared out of its storage: a batch has a hundred
  // of them, and from the heap the share of a part built on another thread lay in that thread's
  // arena, which glibc gave back to the system whenever the calling thread freed the table, for
  // the next table to fault in again. Larger buffers are kept
  // blocks of their own. Shares lie 64 bytes apart, with a poisoned gap in sanitizer builds.
  class SharedBuffers {
   public:
    void count(size_t bytes) {
      if (shared(bytes)) total_ += room(bytes);
    }
    void allocate(ColumnBuffer& storage) {
      storage = ColumnBuffer(total_);
      next_ = static_cast<char*>(storage.data());
      CORVINA_ARENA_POISON(next_, total_);
    }
    ColumnBuffer take(size_t bytes) {
      if (!shared(bytes)) return ColumnBuffer(bytes);
      char* const data = next_;
      next_ += room(bytes);
      CORVINA_ARENA_UNPOISON(data, bytes);
      return ColumnBuffer::share(data, bytes);
    }

   private:
    static bool shared(size_t bytes) { return bytes > 0 && bytes < kHugePageBytes; }
#if defined(CORVINA_ARENA_POISONS)
    static constexpr size_t kGap = 64;
#else
    static constexpr size_t kGap = 0;
#endif
    static size_t room(size_t bytes) { return (bytes + kGap + 63) / 64 * 64; }
    size_t total_ = 0;
    char* next_ = nullptr;
  };

  // Writes the batch of `part` that starts at its row `start`; a failure goes to part.error.
  void fill(Part& part, size_t start, ColumnBatch& batch) const {
    const size_t length = static_cast<size_t>(batch.length);
    const size_t begin = part.begin + start;
    batch.columns.resize(kColumnCount);
    std::array<Cursor, kColumnCount> cursors;
    SharedBuffers shares;
    for_each_column([&](size_t index, const auto& column) {
      using Column = std::remove_cvref_t<decltype(column)>;
      const BufferSizes sizes = buffer_sizes<Column>(part, index, start, length);
      shares.count(sizes.validity);
      shares.count(sizes.offsets);
      shares.count(sizes.data);
    });
    shares.allocate(batch.storage);
    for_each_column([&](size_t index, const auto& column) {
      using Column = std::remove_cvref_t<decltype(column)>;
      ColumnChunk& chunk = batch.columns[index];
      Cursor& cursor = cursors[index];
      const BufferSizes sizes = buffer_sizes<Column>(part, index, start, length);
      if constexpr (kIsOptional<Column>) {
        chunk.validity = shares.take(sizes.validity);
        cursor.validity = static_cast<uint8_t*>(chunk.validity.data());
        if (length > 0) std::memset(cursor.validity, 0, chunk.validity.size());
      }
      if constexpr (kIsText<Column>) {
        chunk.offsets = shares.take(sizes.offsets);
        cursor.offsets = static_cast<int32_t*>(chunk.offsets.data());
        cursor.offsets[0] = 0;
        chunk.data = shares.take(sizes.data);
        cursor.text = static_cast<char*>(chunk.data.data());
      } else if constexpr (kIsMap<Column>) {
        // One batch for the whole part: its sizes, with room for the values, were summed as it
        // was measured.
        start_map(column, begin, length,
                  part.text_prefixes.empty() ? &part.map_sizes[index] : nullptr, chunk, cursor);
      } else {
        chunk.data = shares.take(sizes.data);
        cursor.values = chunk.data.data();
      }
    });

    std::optional<std::string>& error = part.error;
    for (size_t i = 0; i < length && !error; ++i) {
      const Row& row = rows_[begin + i];
      // A failure is rare; the loop only tests a flag and builds the message once.
      for_each_column([&](size_t index, const auto& column) {
        if (!error) fill_one(cursors[index], index, column, row, i, begin + i, error);
      });
    }
    if (error) return;

    for (size_t index = 0; index < kColumnCount; ++index) {
      ColumnChunk& chunk = batch.columns[index];
      chunk.null_count = cursors[index].nulls;
      if (chunk.null_count == 0) chunk.validity = ColumnBuffer();
    }
  }

  // Writes row i of the batch (row `row_number` of the table) into one column.
  template <typename Column>
  void fill_one(Cursor& cursor, size_t index, const Column& column, const Row& row, size_t i,
                size_t row_number, std::optional<std::string>& error) const {
    if constexpr (kIsInt64<Column>) {
      static_cast<int64_t*>(cursor.values)[i] = column.value(row);
    } else if constexpr (kIsMap<Column>) {
      column.value(row).for_each([&cursor](std::string_view key, std::string_view value) {
        const int32_t entry = cursor.entries++;
        cursor.key_offsets[entry + 1] =
            cursor.key_offsets[entry] + static_cast<int32_t>(key.size());
        copy_short_text(cursor.keys + cursor.key_offsets[entry], key.data(), key.size());
        cursor.value_offsets[entry + 1] =
            cursor.value_offsets[entry] + static_cast<int32_t>(value.size());
        copy_short_text(cursor.values_text + cursor.value_offsets[entry], value.data(),
                        value.size());
      });
      cursor.offsets[i + 1] = cursor.entries;
    } else {
      fill_item(cursor, index, column, row, i, row_number, error);
    }
  }

  template <typename Column>
  void fill_item(Cursor& cursor, size_t index, const Column& column, const Row& row, size_t i,
                 size_t row_number, std::optional<std::string>& error) const {
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
      prefetch_for_write(cursor.text + cursor.offsets[i], kTextWriteAhead);
      copy_short_text(cursor.text + cursor.offsets[i], item->data(), item->size());
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
  std::vector<Part> parts_;
  std::vector<uint8_t> scales_;  // per column, the largest of all parts; used by amount columns
};

template <typename Row, typename Columns>
Result<SharedColumnTable, std::string> build_table(const std::vector<Row>& rows,
                                                   const Columns& columns,
                                                   int64_t max_batch_text,
                                                   const ParseOptions& options) {
  return TableBuilder<Row, Columns>(rows, columns, max_batch_text).build(options);
}

}  // namespace

Result<SharedColumnTable, std::string> build_documents_table(
    const std::vector<const Document*>& documents, int64_t max_batch_text,
    const ParseOptions& options) {
  static const auto columns =
      std::tuple_cat(field_columns<const Document*>(kDocumentFields),
                     std::tuple{LinenoColumn{}, ExtraColumn{}, DirectionColumn{}});
  return build_table(documents, columns, max_batch_text, options);
}

Result<SharedColumnTable, std::string> build_intervals_table(
    const std::vector<const Account*>& accounts, int64_t max_batch_text,
    const ParseOptions& options) {
  static const auto columns = std::tuple_cat(std::tuple{AccountNumberColumn{}},
                                             field_columns<IntervalRow>(kIntervalFields));
  std::vector<IntervalRow> rows;
  for (const Account* account : accounts) {
    for (const Interval& interval : account->intervals) rows.push_back({account, &interval});
  }
  return build_table(rows, columns, max_batch_text, options);
}

}  // namespace corvina
