// Statement tables for the data ecosystem: objects that speak the Arrow PyCapsule interface
// (__arrow_c_stream__, __arrow_c_schema__) over the Arrow C Data Interface (arrow_c_data.h),
// with no Arrow library on either side of the build.
#pragma once

#include <Python.h>

#include <string>
#include <utility>

#include "column_table.h"
#include "guard.h"
#include "result.h"

namespace corvina::py {

// A new table object holding `table`; nullptr with the exception set.
PyObject* new_table_object(SharedColumnTable table);

// Runs `build` (returning Result<SharedColumnTable, std::string>) with the interpreter lock
// released and turns its outcome into a table object, or a ValueError with the build's text.
// Drops the reference `keep` (which may be null) once the build is over, lock held.
//
// The caller makes this safe: `build` reads only core values of objects that `keep` holds
// strong references to (so none is freed meanwhile), values never changed after the objects
// are made, and touches no Python object, only the C++ buffers it allocates.
template <typename Build>
PyObject* build_table_unlocked(PyObject* keep, Build&& build) {
  Result<SharedColumnTable, std::string> built = fail(std::string());
  const bool done = run_unlocked([&] { built = build(); });
  Py_XDECREF(keep);
  if (!done) return nullptr;
  if (!built) {
    PyErr_SetString(PyExc_ValueError, built.error().c_str());
    return nullptr;
  }
  return new_table_object(std::move(built.value()));
}

}  // namespace corvina::py
