// The Arrow C Data Interface export of a ColumnTable, the capsules of the PyCapsule interface and
// the small table object that hands them out.
//
// Every exported struct owns what it points to through its private data: a shared reference to
// the table's buffers. The release callbacks free only that, never a Python object, so a
// consumer may release from any thread without the interpreter lock, and the data stays valid
// after the statement, the table object and every capsule are gone.
#include "arrow_export.h"

#include <cerrno>
#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "arguments.h"
#include "column_table.h"
#include "guard.h"
#include "module_types.h"
#include "owned_ref.h"

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

namespace corvina::py {
namespace {

using TableRef = std::shared_ptr<const ColumnTable>;

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
  TableRef table;
};

struct SchemaData {
  TableRef table;
  std::vector<ArrowSchema> children;
  std::vector<ArrowSchema*> child_pointers;
};

void release_child_schema(ArrowSchema* schema) {
  delete static_cast<ChildSchemaData*>(schema->private_data);
  schema->release = nullptr;
}

void release_schema(ArrowSchema* schema) {
  auto* data = static_cast<SchemaData*>(schema->private_data);
  for (ArrowSchema& child : data->children) {
    if (child.release != nullptr) child.release(&child);
  }
  delete data;
  schema->release = nullptr;
}

// A struct schema with one child per column. Throws std::bad_alloc, leaving `out` untouched.
void export_schema(const TableRef& table, ArrowSchema* out) {
  auto data = std::make_unique<SchemaData>();
  data->table = table;
  const size_t count = table->columns.size();
  data->children.assign(count, ArrowSchema{});  // released (release == nullptr) until made
  data->child_pointers.resize(count);
  ReleaseChildrenOnThrow<ArrowSchema> guard{data->children};
  for (size_t i = 0; i < count; ++i) {
    const ColumnSchema& column = table->columns[i];
    ArrowSchema& child = data->children[i];
    child = ArrowSchema{};
    child.format = column.format.c_str();
    child.name = column.name.c_str();
    child.flags = column.nullable ? ARROW_FLAG_NULLABLE : 0;
    child.private_data = new ChildSchemaData{table};
    child.release = release_child_schema;
    data->child_pointers[i] = &child;
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

// ----- arrays -----

struct ChildArrayData {
  TableRef table;
  const void* buffers[3];
};

struct ArrayData {
  TableRef table;
  std::vector<ArrowArray> children;
  std::vector<ArrowArray*> child_pointers;
  const void* buffers[1] = {nullptr};  // a struct array has only a validity buffer, unused here
};

void release_child_array(ArrowArray* array) {
  delete static_cast<ChildArrayData*>(array->private_data);
  array->release = nullptr;
}

void release_array(ArrowArray* array) {
  auto* data = static_cast<ArrayData*>(array->private_data);
  for (ArrowArray& child : data->children) {
    if (child.release != nullptr) child.release(&child);
  }
  delete data;
  array->release = nullptr;
}

// One batch as a struct array. Throws std::bad_alloc, leaving `out` untouched.
void export_batch(const TableRef& table, size_t index, ArrowArray* out) {
  const ColumnBatch& batch = table->batches[index];
  auto data = std::make_unique<ArrayData>();
  data->table = table;
  const size_t count = batch.columns.size();
  data->children.assign(count, ArrowArray{});
  data->child_pointers.resize(count);
  ReleaseChildrenOnThrow<ArrowArray> guard{data->children};
  for (size_t i = 0; i < count; ++i) {
    const ColumnChunk& chunk = batch.columns[i];
    const bool text = table->columns[i].format == "u";
    auto child_data = new ChildArrayData{table, {}};
    child_data->buffers[0] = chunk.null_count > 0 ? chunk.validity.data() : nullptr;
    child_data->buffers[1] = text ? chunk.offsets.data() : chunk.data.data();
    child_data->buffers[2] = text ? chunk.data.data() : nullptr;
    ArrowArray& child = data->children[i];
    child = ArrowArray{};
    child.length = batch.length;
    child.null_count = chunk.null_count;
    child.n_buffers = text ? 3 : 2;
    child.buffers = child_data->buffers;
    child.private_data = child_data;
    child.release = release_child_array;
    data->child_pointers[i] = &child;
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

// ----- stream -----

struct StreamData {
  TableRef table;
  size_t next_batch = 0;
  Thrown last_error;
};

// The stream's callbacks are called from C, by a consumer that may not hold the interpreter
// lock: what they throw becomes an error code, and get_last_error tells the rest.
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
    export_schema(static_cast<StreamData*>(stream->private_data)->table, out);
  });
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
  return run_callback(stream, [&] {
    auto* data = static_cast<StreamData*>(stream->private_data);
    if (data->next_batch == data->table->batches.size()) {
      *out = ArrowArray{};  // the end of the stream: a released array
      return;
    }
    export_batch(data->table, data->next_batch, out);
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

// ----- capsules -----

constexpr const char* kSchemaCapsule = "arrow_schema";
constexpr const char* kStreamCapsule = "arrow_array_stream";

// A consumer takes the struct over by moving it and marking the capsule's copy released; a
// capsule that was never consumed still owns its export and releases it here.
void destroy_schema_capsule(PyObject* capsule) {
  auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, kSchemaCapsule));
  if (schema == nullptr) {
    PyErr_WriteUnraisable(capsule);
    return;
  }
  if (schema->release != nullptr) schema->release(schema);
  delete schema;
}

void destroy_stream_capsule(PyObject* capsule) {
  auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, kStreamCapsule));
  if (stream == nullptr) {
    PyErr_WriteUnraisable(capsule);
    return;
  }
  if (stream->release != nullptr) stream->release(stream);
  delete stream;
}

// ----- the table object -----

struct TableObject {
  PyObject_HEAD
  TableRef table;
};

const TableRef& table_of(PyObject* self) { return reinterpret_cast<TableObject*>(self)->table; }

PyObject* new_schema_capsule(PyObject* self) {
  auto schema = std::make_unique<ArrowSchema>();
  export_schema(table_of(self), schema.get());
  PyObject* capsule = PyCapsule_New(schema.get(), kSchemaCapsule, destroy_schema_capsule);
  if (capsule == nullptr) {
    schema->release(schema.get());
    return nullptr;
  }
  schema.release();
  return capsule;
}

PyObject* table_arrow_c_schema(PyObject* self, PyObject*) {
  return guard([&] { return new_schema_capsule(self); });
}

PyObject* new_stream_capsule(PyObject* self) {
  auto stream = std::make_unique<ArrowArrayStream>();
  stream->private_data = new StreamData{table_of(self), 0, {}};
  stream->get_schema = stream_get_schema;
  stream->get_next = stream_get_next;
  stream->get_last_error = stream_get_last_error;
  stream->release = release_stream;
  PyObject* capsule = PyCapsule_New(stream.get(), kStreamCapsule, destroy_stream_capsule);
  if (capsule == nullptr) {
    stream->release(stream.get());
    return nullptr;
  }
  stream.release();
  return capsule;
}

constexpr const char* kStreamParameterNames[] = {"requested_schema"};
constexpr Parameters kStreamParameters{"__arrow_c_stream__()", kStreamParameterNames, 0};

// The requested schema is a request, not an order: the columns have one natural type each, and
// the consumer casts if it wants another. It is accepted and ignored, as the protocol allows.
PyObject* table_arrow_c_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  PyObject* requested_schema = nullptr;
  if (!bind_vectorcall(kStreamParameters, args, static_cast<size_t>(nargs), kwnames,
                       &requested_schema)) {
    return nullptr;
  }
  return guard([&] { return new_stream_capsule(self); });
}

PyObject* table_repr(PyObject* self) {
  const ColumnTable& table = *table_of(self);
  return PyUnicode_FromFormat("<ArrowTable: %zu columns, %lld rows>", table.columns.size(),
                              static_cast<long long>(table.rows));
}

void table_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&reinterpret_cast<TableObject*>(self)->table);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef table_methods[] = {
    {"__arrow_c_schema__", table_arrow_c_schema, METH_NOARGS,
     "The table's schema (a struct of its columns) as an \"arrow_schema\" capsule."},
    {"__arrow_c_stream__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(table_arrow_c_stream)),
     METH_FASTCALL | METH_KEYWORDS,
     "The table as an \"arrow_array_stream\" capsule of record batches."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot table_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(table_dealloc)},
    {Py_tp_methods, table_methods},
    {Py_tp_repr, reinterpret_cast<void*>(table_repr)},
    {0, nullptr},
};

PyType_Spec table_spec = {
    "builtins.ArrowTable", sizeof(TableObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    table_slots};

PyTypeObject* table_type() {
  static OnceObject once;
  return reinterpret_cast<PyTypeObject*>(
      get_once(once, [] { return PyType_FromSpec(&table_spec); }));
}

PyObject* new_table_object(TableRef table) {
  PyTypeObject* type = table_type();
  if (type == nullptr) return nullptr;
  PyObject* self = PyType_GenericAlloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<TableObject*>(self)->table) TableRef(std::move(table));
  return self;
}

// Runs the build with the interpreter lock released and turns its outcome into a table object
// or the Python exception.
//
// Releasing the lock is safe because the build reads only core values of Document and Account
// objects that `keep` holds strong references to (so none is freed meanwhile), those values are
// never changed after the objects are made (the classes are read-only), and the build itself
// touches no Python object, only the C++ buffers it allocates.
template <typename Build>
PyObject* build_unlocked(PyObject* keep, Build&& build) {
  Result<TableRef, std::string> built = fail(std::string());
  const bool done = run_unlocked([&] { built = build(); });
  Py_XDECREF(keep);
  if (!done) return nullptr;
  if (!built) {
    PyErr_SetString(PyExc_ValueError, built.error().c_str());
    return nullptr;
  }
  return new_table_object(std::move(built.value()));
}

}  // namespace

PyObject* new_documents_table(PyObject* documents) {
  if (documents == nullptr || !PyList_Check(documents)) {
    PyErr_SetString(PyExc_TypeError, "documents is not a list");
    return nullptr;
  }
  // A private copy of the list: its references keep every document alive while the lock is
  // released, whatever other threads do to the statement's own list.
  OwnedRef items = OwnedRef::steal(PyList_GetSlice(documents, 0, PY_SSIZE_T_MAX));
  if (!items) return nullptr;
  const Py_ssize_t count = PyList_GET_SIZE(items.get());
  std::vector<const Document*> values;
  values.reserve(static_cast<size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyList_GET_ITEM(items.get(), i);
    const Document* value = document_value(item);
    if (value == nullptr) {
      PyErr_Format(PyExc_TypeError, "documents[%zd] is %T, not Document", i, item);
      return nullptr;
    }
    values.push_back(value);
  }
  return build_unlocked(items.release(), [&] { return build_documents_table(values); });
}

PyObject* new_intervals_table(PyObject* accounts) {
  if (accounts == nullptr || !PyDict_Check(accounts)) {
    PyErr_SetString(PyExc_TypeError, "accounts is not a dict");
    return nullptr;
  }
  // (number, Account) pairs, holding a reference to every account: see build_unlocked.
  OwnedRef items = OwnedRef::steal(PyDict_Items(accounts));
  if (!items) return nullptr;
  const Py_ssize_t count = PyList_GET_SIZE(items.get());
  std::vector<const Account*> values;
  values.reserve(static_cast<size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* pair = PyList_GET_ITEM(items.get(), i);
    PyObject* item = PyTuple_GET_ITEM(pair, 1);
    const Account* value = account_value(item);
    if (value == nullptr) {
      PyErr_Format(PyExc_TypeError, "accounts[%R] is %T, not Account", PyTuple_GET_ITEM(pair, 0),
                   item);
      return nullptr;
    }
    values.push_back(value);
  }
  return build_unlocked(items.release(), [&] { return build_intervals_table(values); });
}

}  // namespace corvina::py
