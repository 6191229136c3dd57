// The capsules of the PyCapsule interface and the small table object that hands them out. The
// structs inside the capsules are the core's exports (arrow_c_data.h), which own what they
// point to and release without the interpreter lock.
#include "arrow_export.h"

#include <memory>
#include <new>
#include <utility>

#include "arguments.h"
#include "arrow_c_data.h"
#include "module_types.h"
#include "owned_ref.h"

namespace corvina::py {
namespace {

using TableRef = SharedColumnTable;

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
  export_table_schema(table_of(self), schema.get());
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
  export_table_stream(table_of(self), stream.get());
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

}  // namespace

PyObject* new_table_object(TableRef table) {
  PyTypeObject* type = table_type();
  if (type == nullptr) return nullptr;
  PyObject* self = PyType_GenericAlloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<TableObject*>(self)->table) TableRef(std::move(table));
  return self;
}

}  // namespace corvina::py
