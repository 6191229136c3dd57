// The export of a ColumnTable through the Arrow C Data Interface: a struct schema of its
// columns, one struct array per batch, and a stream of those arrays.
//
// Every exported struct owns what it points to through its private data: a shared reference to
// the table's buffers. The release callbacks free only that, so a consumer may release from any
// thread, in any order (a child moved out of its parent and released after it, too), and the
// data stays valid after every other holder of the table is gone.
#pragma once

#include <cstddef>
#include <cstdint>

#include "column_table.h"

// The ABI of the Arrow C Data Interface, copied as its documentation asks, behind the guards
// that let it coexist with another copy.
extern "C" {
#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  struct ArrowSchema** children;
  struct ArrowSchema* dictionary;
  void (*release)(struct ArrowSchema*);
  void* private_data;
};

struct ArrowArray {
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  struct ArrowArray** children;
  struct ArrowArray* dictionary;
  void (*release)(struct ArrowArray*);
  void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

struct ArrowArrayStream {
  int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
  int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
  const char* (*get_last_error)(struct ArrowArrayStream*);
  void (*release)(struct ArrowArrayStream*);
  void* private_data;
};

#endif  // ARROW_C_STREAM_INTERFACE
}

namespace corvina {

// A struct schema ("+s") with one child per column: its format, its name, and the nullable flag
// for a column whose rows may be absent. Throws std::bad_alloc, leaving `out` untouched.
void export_table_schema(const SharedColumnTable& table, ArrowSchema* out);

// Batch `index` as a struct array of the same children: texts with validity, int32 offsets and
// bytes; dates and amounts with validity and values. The validity buffer is null when the
// column has no null in the batch. Throws std::bad_alloc, leaving `out` untouched.
void export_table_batch(const SharedColumnTable& table, size_t index, ArrowArray* out);

// A stream of the table's batches in order, then a released array for the end. Its callbacks
// throw nothing: a failed allocation is ENOMEM, any other fault EIO with get_last_error's text.
// Throws std::bad_alloc itself, leaving `out` untouched.
void export_table_stream(SharedColumnTable table, ArrowArrayStream* out);

}  // namespace corvina
