// Statement tables for the data ecosystem: objects that speak the Arrow PyCapsule interface
// (__arrow_c_stream__, __arrow_c_schema__) over the Arrow C Data Interface, with no Arrow
// library on either side of the build.
#pragma once

#include <Python.h>

#include "statement.h"

namespace corvina::py {

// A new table object of the documents in `documents` (a list), one row per item in list order.
// The table is a snapshot: it owns copies of every value, so changing the list or dropping the
// statement afterwards changes nothing in it. TypeError when `documents` is not a list or an
// item is not a Document ("documents[3] is int, not Document"); ValueError when a value has no
// place in its column (see column_table.h); nullptr with the exception set. Throws
// std::bad_alloc (callers go through guard()).
PyObject* new_documents_table(PyObject* documents);

// The same for the intervals of the Account values of `accounts` (a dict), in its order; the
// account column holds each Account's own number. TypeError for a value that is not an Account
// ("accounts['4070…'] is int, not Account").
PyObject* new_intervals_table(PyObject* accounts);

// result_types.cpp: the core value held by a Document or Account object, or nullptr when the
// object is of any other type. The value never changes and lives as long as the object.
const Document* document_value(PyObject* object);
const Account* account_value(PyObject* object);

}  // namespace corvina::py
