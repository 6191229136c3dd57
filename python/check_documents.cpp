// Statement._check_documents: the per-document work of corvina_convert's checks, done on the
// core values, so that checking a statement of 100,000 documents makes none of their strings.
#include <Python.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "document_checks.h"
#include "guard.h"
#include "keyed_hash.h"
#include "module_types.h"
#include "owned_ref.h"

namespace corvina::py {
namespace {

// The statement's documents as its list holds them now (what the caller sees, changed or not),
// in `items`, a private copy of the list whose references keep every document alive.
bool documents_of(PyObject* self, OwnedRef& items, std::vector<const Document*>& values) {
  OwnedRef list = OwnedRef::steal(PyObject_GetAttrString(self, "documents"));
  if (!list) return false;
  if (!PyList_Check(list.get())) {
    PyErr_SetString(PyExc_TypeError, "documents is not a list");
    return false;
  }
  items = OwnedRef::steal(PyList_GetSlice(list.get(), 0, PY_SSIZE_T_MAX));
  if (!items) return false;
  const Py_ssize_t count = PyList_GET_SIZE(items.get());
  values.reserve(static_cast<size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyList_GET_ITEM(items.get(), i);
    const Document* value = core_document(item);
    if (value == nullptr) {
      PyErr_Format(PyExc_TypeError, "documents[%zd] is %s, not Document", i,
                   Py_TYPE(item)->tp_name);
      return false;
    }
    values.push_back(value);
  }
  return true;
}

PyObject* new_flaws_list(const std::vector<RequisiteFlaw>& flaws) {
  OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(flaws.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < flaws.size(); ++i) {
    PyObject* item = Py_BuildValue("(Ii)", flaws[i].document, static_cast<int>(flaws[i].requisite));
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

// (account, incoming, day, scale, plus_high, plus_low, minus_high, minus_low): the day as
// year * 512 + month * 32 + day, which orders days as the calendar does; the sums as their
// 64-bit halves, which Python joins into one int.
PyObject* new_turnovers_list(const std::vector<DayTurnover>& turnovers) {
  OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(turnovers.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < turnovers.size(); ++i) {
    const DayTurnover& turnover = turnovers[i];
    const long long day = static_cast<long long>(turnover.day.year) * 512 +
                          turnover.day.month * 32 + turnover.day.day;
    PyObject* item = Py_BuildValue(
        "(IOLiKKKK)", turnover.account, turnover.incoming ? Py_True : Py_False, day,
        static_cast<int>(turnover.scale),
        static_cast<unsigned long long>(turnover.plus.high()),
        static_cast<unsigned long long>(turnover.plus.low()),
        static_cast<unsigned long long>(turnover.minus.high()),
        static_cast<unsigned long long>(turnover.minus.low()));
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* new_repeats_list(const std::vector<RepeatedDocument>& repeats) {
  OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(repeats.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < repeats.size(); ++i) {
    PyObject* item = Py_BuildValue("(II)", repeats[i].document, repeats[i].first);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

}  // namespace

PyObject* statement_check_documents(PyObject* self, PyObject* args) {
  PyObject* accounts_arg = nullptr;
  if (!PyArg_ParseTuple(args, "O!:_check_documents", &PyTuple_Type, &accounts_arg)) {
    return nullptr;
  }
  return guard([&]() -> PyObject* {
    // The tuple holds its texts, and their UTF-8 is cached in them: the views stay valid.
    std::vector<std::string_view> accounts;
    const Py_ssize_t account_count = PyTuple_GET_SIZE(accounts_arg);
    accounts.reserve(static_cast<size_t>(account_count));
    for (Py_ssize_t i = 0; i < account_count; ++i) {
      PyObject* item = PyTuple_GET_ITEM(accounts_arg, i);
      if (!PyUnicode_Check(item)) {
        PyErr_Format(PyExc_TypeError, "accounts[%zd] is %s, not str", i, Py_TYPE(item)->tp_name);
        return nullptr;
      }
      Py_ssize_t size = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
      if (utf8 == nullptr) return nullptr;
      accounts.emplace_back(utf8, static_cast<size_t>(size));
    }
    OwnedRef items;
    std::vector<const Document*> documents;
    if (!documents_of(self, items, documents)) return nullptr;

    const DocumentChecks checks = check_documents(documents, accounts, process_hash_seed());
    std::vector<uint32_t> lines;
    lines.reserve(documents.size());
    for (const Document* document : documents) lines.push_back(document->lineno);

    OwnedRef flaws = OwnedRef::steal(new_flaws_list(checks.flaws));
    if (!flaws) return nullptr;
    OwnedRef turnovers = OwnedRef::steal(new_turnovers_list(checks.turnovers));
    if (!turnovers) return nullptr;
    OwnedRef repeats = OwnedRef::steal(new_repeats_list(checks.repeats));
    if (!repeats) return nullptr;
    OwnedRef digests = OwnedRef::steal(PyBytes_FromStringAndSize(
        reinterpret_cast<const char*>(checks.digests.data()),
        static_cast<Py_ssize_t>(checks.digests.size() * sizeof(DocumentDigest))));
    if (!digests) return nullptr;
    OwnedRef line_bytes = OwnedRef::steal(PyBytes_FromStringAndSize(
        reinterpret_cast<const char*>(lines.data()),
        static_cast<Py_ssize_t>(lines.size() * sizeof(uint32_t))));
    if (!line_bytes) return nullptr;
    return PyTuple_Pack(5, flaws.get(), turnovers.get(), repeats.get(), digests.get(),
                        line_bytes.get());
  });
}

}  // namespace corvina::py
