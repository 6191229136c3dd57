#include "arrow_c_data.h"

#include <cerrno>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "thrown.h"

namespace corvina {
namespace {

// An export that runs out of memory halfway releases the children it has made, which own a
// reference to the table each, before the exception leaves.
template <typename Struct>
struct ReleaseChildrenOnThrow {
  std::vector<Struct>& children;
  bool done = false;
  ~ReleaseChildrenOnThrow() {
    if (done) return;
    for (Struct& child : children) {
      if (child.release != nullptr) child.release(&child);
    }
  }
};

// ----- schema -----

// A child may be moved out by the consumer and released after its parent, so each child holds
// its own reference to the table whose texts it points into.
struct ChildSchemaData {
  SharedColumnTable table;
  // A nested column's own children (a map's entries, their key and value), released with it.
  std::vector<ArrowSchema> children;
  std::vector<ArrowSchema*> child_pointers;
};

struct SchemaData {
  SharedColumnTable table;
  std::vector<ArrowSchema> children;
  std::vector<ArrowSchema*> child_pointers;
};

void release_child_schema(ArrowSchema* schema) {
  auto* data = static_cast<ChildSchemaData*>(schema->private_data);
  for (ArrowSchema& child : data->children) {
    if (child.release != nullptr) child.release(&child);
  }
  delete data;
  schema->release = nullptr;
}

// Fills `out` with the schema of one column, its children included. Throws std::bad_alloc,
// leaving `out` released.
void export_column_schema(const SharedColumnTable& table, const ColumnSchema& column,
                          ArrowSchema& out) {
  auto data = std::make_unique<ChildSchemaData>();
  data->table = table;
  const size_t count = column.children.size();
  data->children.assign(count, ArrowSchema{});
  data->child_pointers.resize(count);
  ReleaseChildrenOnThrow<ArrowSchema> guard{data->children};
  for (size_t i = 0; i < count; ++i) {
    export_column_schema(table, column.children[i], data->children[i]);
    data->child_pointers[i] = &data->children[i];
  }
  guard.done = true;
  out = ArrowSchema{};
  out.format = column.format.c_str();
  out.name = column.name.c_str();
  out.flags = column.nullable ? ARROW_FLAG_NULLABLE : 0;
  out.n_children = static_cast<int64_t>(count);
  out.children = count == 0 ? nullptr : data->child_pointers.data();
  out.private_data = data.release();
  out.release = release_child_schema;
}

void release_schema(ArrowSchema* schema) {
  auto* data = static_cast<SchemaData*>(schema->private_data);
  for (ArrowSchema& child : data->children) {
    if (child.release != nullptr) child.release(&child);
  }
  delete data;
  schema->release = nullptr;
}

// ----- arrays -----

struct ChildArrayData {
  SharedColumnTable table;
  const void* buffers[3];
  std::vector<ArrowArray> children;  // as ChildSchemaData's
  std::vector<ArrowArray*> child_pointers;
};

struct ArrayData {
  SharedColumnTable table;
  std::vector<ArrowArray> children;
  std::vector<ArrowArray*> child_pointers;
  const void* buffers[1] = {nullptr};  // a struct array has only a validity buffer, unused here
};

void release_child_array(ArrowArray* array) {
  auto* data = static_cast<ChildArrayData*>(array->private_data);
  for (ArrowArray& child : data->children) {
    if (child.release != nullptr) child.release(&child);
  }
  delete data;
  array->release = nullptr;
}

// Fills `out` with one column's chunk of `length` rows, its children included: texts with
// validity, offsets and bytes; maps with validity and offsets; structs with validity alone;
// the rest with validity and values. Throws std::bad_alloc, leaving `out` released.
void export_column_array(const SharedColumnTable& table, const ColumnSchema& column,
                         const ColumnChunk& chunk, int64_t length, ArrowArray& out) {
  auto data = std::make_unique<ChildArrayData>();
  data->table = table;
  const size_t count = column.children.size();
  data->children.assign(count, ArrowArray{});
  data->child_pointers.resize(count);
  ReleaseChildrenOnThrow<ArrowArray> guard{data->children};
  for (size_t i = 0; i < count; ++i) {
    const ColumnChunk& child = chunk.children[i];
    export_column_array(table, column.children[i], child, child.length, data->children[i]);
    data->child_pointers[i] = &data->children[i];
  }
  guard.done = true;
  const bool text = column.format == "u";
  const bool map = column.format == "+m";
  const bool nested_struct = column.format == "+s";
  data->buffers[0] = chunk.null_count > 0 ? chunk.validity.data() : nullptr;
  data->buffers[1] = text || map ? chunk.offsets.data() : chunk.data.data();
  data->buffers[2] = text ? chunk.data.data() : nullptr;
  out = ArrowArray{};
  out.length = length;
  out.null_count = chunk.null_count;
  out.n_buffers = text ? 3 : nested_struct ? 1 : 2;
  out.buffers = data->buffers;
  out.n_children = static_cast<int64_t>(count);
  out.children = count == 0 ? nullptr : data->child_pointers.data();
  out.private_data = data.release();
  out.release = release_child_array;
}

void release_array(ArrowArray* array) {
  auto* data = static_cast<ArrayData*>(array->private_data);
  for (ArrowArray& child : data->children) {
    if (child.release != nullptr) child.release(&child);
  }
  delete data;
  array->release = nullptr;
}

// ----- stream -----

struct StreamData {
  SharedColumnTable table;
  size_t next_batch = 0;
  Thrown last_error;
};

// The stream's callbacks are called from C, by a consumer that may hold no lock of ours: what
// they throw becomes an error code, and get_last_error tells the rest.
template <typename Export>
int run_callback(ArrowArrayStream* stream, Export&& body) {
  auto* data = static_cast<StreamData*>(stream->private_data);
  data->last_error = catch_thrown(body);
  switch (data->last_error.kind) {
    case ThrownKind::Nothing:
      return 0;
    case ThrownKind::NoMemory:
      return ENOMEM;
    case ThrownKind::Other:
      return EIO;
  }
  return EIO;
}

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  return run_callback(stream, [&] {
    export_table_schema(static_cast<StreamData*>(stream->private_data)->table, out);
  });
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
  return run_callback(stream, [&] {
    auto* data = static_cast<StreamData*>(stream->private_data);
    if (data->next_batch == data->table->batches.size()) {
      *out = ArrowArray{};  // the end of the stream: a released array
      return;
    }
    export_table_batch(data->table, data->next_batch, out);
    ++data->next_batch;
  });
}

// ENOMEM says all there is to say about a failed allocation; anything else is a fault of ours,
// and its text is kept until the next call.
const char* stream_get_last_error(ArrowArrayStream* stream) {
  const Thrown& error = static_cast<StreamData*>(stream->private_data)->last_error;
  return error.kind == ThrownKind::Other ? error.what : nullptr;
}

void release_stream(ArrowArrayStream* stream) {
  delete static_cast<StreamData*>(stream->private_data);
  stream->release = nullptr;
}

}  // namespace

void export_table_schema(const SharedColumnTable& table, ArrowSchema* out) {
  auto data = std::make_unique<SchemaData>();
  data->table = table;
  const size_t count = table->columns.size();
  data->children.assign(count, ArrowSchema{});  // released (release == nullptr) until made
  data->child_pointers.resize(count);
  ReleaseChildrenOnThrow<ArrowSchema> guard{data->children};
  for (size_t i = 0; i < count; ++i) {
    export_column_schema(table, table->columns[i], data->children[i]);
    data->child_pointers[i] = &data->children[i];
  }
  guard.done = true;
  *out = ArrowSchema{};
  out->format = "+s";
  out->name = "";
  out->n_children = static_cast<int64_t>(count);
  out->children = data->child_pointers.data();
  out->release = release_schema;
  out->private_data = data.release();
}

void export_table_batch(const SharedColumnTable& table, size_t index, ArrowArray* out) {
  const ColumnBatch& batch = table->batches[index];
  auto data = std::make_unique<ArrayData>();
  data->table = table;
  const size_t count = batch.columns.size();
  data->children.assign(count, ArrowArray{});
  data->child_pointers.resize(count);
  ReleaseChildrenOnThrow<ArrowArray> guard{data->children};
  for (size_t i = 0; i < count; ++i) {
    export_column_array(table, table->columns[i], batch.columns[i], batch.length,
                        data->children[i]);
    data->child_pointers[i] = &data->children[i];
  }
  guard.done = true;
  *out = ArrowArray{};
  out->length = batch.length;
  out->n_buffers = 1;
  out->buffers = data->buffers;
  out->n_children = static_cast<int64_t>(count);
  out->children = data->child_pointers.data();
  out->release = release_array;
  out->private_data = data.release();
}

void export_table_stream(SharedColumnTable table, ArrowArrayStream* out) {
  auto* data = new StreamData;
  data->table = std::move(table);
  *out = ArrowArrayStream{};
  out->get_schema = stream_get_schema;
  out->get_next = stream_get_next;
  out->get_last_error = stream_get_last_error;
  out->release = release_stream;
  out->private_data = data;
}

}  // namespace corvina
