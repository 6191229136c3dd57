// src/columns/ is the columnar layer: tables built from the parser's records and their export
// through the Arrow C Data Interface. It sits on top of the parser library (which knows nothing
// of it) and under the module (which only wraps its exports in capsules), so the core tests and
// the fuzzers reach all of it without an interpreter.
//
// The columns of a table of records, built in the Arrow columnar layout but owned by plain C++
// buffers, so that they outlive the records and the Python objects that held them.
//
// Nothing here touches Python: the module builds a table with the interpreter lock released and
// hands it out through the Arrow C Data Interface (arrow_c_data.h), wrapped in its capsules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <malloc.h>  // _aligned_malloc, _aligned_free
#endif

#include "parse_statement.h"
#include "result.h"
#include "statement.h"

namespace corvina {

// Frees a column's buffer: a kept block (kept_blocks.h) of the size it holds, else the heap's;
// nothing for a share of another buffer.
struct FreeColumnBuffer {
  size_t kept_block = 0;
  bool owned = true;
  void operator()(void* bytes) const;
};

// One buffer of a column, aligned to 64 bytes; its bytes are left uninitialised until written.
// Throws std::bad_alloc.
class ColumnBuffer {
 public:
  ColumnBuffer() = default;
  explicit ColumnBuffer(size_t bytes);
  // The `bytes` bytes at `data`, a share of a buffer that outlives this one and frees them.
  static ColumnBuffer share(void* data, size_t bytes);
  void* data() { return bytes_.get(); }
  // Never null, even when empty: some consumers read a null buffer as a missing one.
  const void* data() const { return bytes_ ? bytes_.get() : &kEmpty; }
  size_t size() const { return size_; }

 private:
  static constexpr uint64_t kEmpty = 0;
  std::unique_ptr<void, FreeColumnBuffer> bytes_;
  size_t size_ = 0;
};

// The part of one column that lies in one batch.
struct ColumnChunk {
  int64_t null_count = 0;
  ColumnBuffer validity;  // one bit per row, set when present; left empty when nothing is null
  ColumnBuffer offsets;   // text and map columns: length + 1 int32 offsets into data / entries
  ColumnBuffer data;      // text bytes, int32 day numbers, int64 values, or 16-byte decimals
  // A map column: its one child, the struct of entries, whose children are the keys and the
  // values. The length of a child is its own (a column's is its batch's).
  std::vector<ColumnChunk> children;
  int64_t length = 0;
};

struct ColumnBatch {
  int64_t length = 0;
  // The columns' buffers smaller than a huge page, which are shares of this one.
  ColumnBuffer storage;
  std::vector<ColumnChunk> columns;
};

struct ColumnSchema {
  std::string name;
  std::string format;  // the C Data Interface format: "u", "tdD", "d:38,S", "l", "+m" or "+s"
  bool nullable;
  std::vector<ColumnSchema> children;  // of "+m" and "+s"
};

struct ColumnTable {
  std::vector<ColumnSchema> columns;
  std::vector<ColumnBatch> batches;  // at least one, possibly empty
  int64_t rows = 0;
};

// A built table never changes; every export of it holds one of these, so the buffers stay until
// the last consumer lets go.
using SharedColumnTable = std::shared_ptr<const ColumnTable>;

// A text column holds at most this many bytes in one batch (its offsets are int32); a table
// starts a new batch before any of its text columns would pass it. The builders take the limit
// as a parameter so that tests and the fuzzer can split small tables; any limit from 1 up to
// this one is valid.
inline constexpr int64_t kMaxBatchText = INT32_MAX;

// One row per document, columns in the order of the Document fields, then `lineno` (int64) and
// `extra` (map<utf8, utf8>: a list of non-null struct<key: utf8, value: utf8> entries, keys in
// the document's order, never null itself), then `direction` (utf8: "in", "out", "internal", or
// null; direction.h). Texts are utf8, dates
// date32, the amount decimal128(38, S) with S the largest scale among the amounts but at least 2.
// A batch ends before the bytes of any text column, or the bytes of the keys and values of
// `extra` with one more per entry, would pass the limit.
// Failure texts (the row counts from 0): "column 'NAME', row N: VALUE at scale S: more than 38
// digits", "column 'NAME', row N: VALUE: date out of range for date32", "column 'NAME', row N: a
// text of B bytes is longer than a utf8 column holds". Throws std::bad_alloc.
//
// A table with texts of chunk_threshold bytes or more (as estimated from a sample of its rows)
// is built on up to options.threads threads, counted as a parse counts them: its rows are cut
// into one part per thread, each part's batches built on a thread of its own. The values, their
// order, the schema and any failure are those of the build on one thread; only the batch
// boundaries differ, each part starting a batch of its own.
[[nodiscard]] Result<SharedColumnTable, std::string> build_documents_table(
    const std::vector<const Document*>& documents, int64_t max_batch_text = kMaxBatchText,
    const ParseOptions& options = {});

// One row per interval, the accounts in the order given and each account's intervals in its own
// order; an `account` column (the number) comes first, then the Interval attributes in order.
// Failures, exceptions and threads as above.
[[nodiscard]] Result<SharedColumnTable, std::string> build_intervals_table(
    const std::vector<const Account*>& accounts, int64_t max_batch_text = kMaxBatchText,
    const ParseOptions& options = {});

}  // namespace corvina
