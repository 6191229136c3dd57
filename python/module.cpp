// Module initialisation: the exception classes, the once-guard behind every process-wide object,
// and the eighteen names of the module.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "module_types.h"
#include "owned_ref.h"

namespace corvina::py {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "corvina_py",
    "Python-модуль для парсинга банковских выписок 1CClientBankExchange.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The types live for the whole process and are shared by every module object the interpreter
// could make, so a second interpreter would see objects of another interpreter: refuse it.
std::atomic<int64_t> owner_interpreter{-1};
OnceObject module_once;
OnceObject parse_error_once;
OnceObject syntax_error_once;
OnceObject not_statement_error_once;
OnceObject empty_input_error_once;
OnceObject unfinished_error_once;

PyObject* create_parse_error() {
  return PyErr_NewExceptionWithDoc("corvina_py.ParseError", nullptr, PyExc_Exception, nullptr);
}

// Every other exception derives from ParseError, which is therefore always created first.
PyObject* create_derived_error(const char* name) {
  PyObject* base = parse_error_type();
  if (base == nullptr) return nullptr;
  return PyErr_NewExceptionWithDoc(name, nullptr, base, nullptr);
}

// Appends the name to __all__ (made on first use) before setting the attribute, so that
// __all__ lists the names in the order they were added.
bool add_object(PyObject* module, PyObject* name, PyObject* object) {
  if (object == nullptr) return false;
  PyObject* found = nullptr;
  if (PyObject_GetOptionalAttrString(module, "__all__", &found) < 0) return false;
  OwnedRef all = OwnedRef::steal(found);
  if (!all) {
    all = OwnedRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  if (PyList_Append(all.get(), name) < 0) return false;
  return PyObject_SetAttr(module, name, object) == 0;
}

bool add_object(PyObject* module, const char* name, PyObject* object) {
  if (object == nullptr) return false;
  OwnedRef name_object = OwnedRef::steal(PyUnicode_FromString(name));
  return name_object && add_object(module, name_object.get(), object);
}

bool add_type(PyObject* module, const char* name, PyTypeObject* type) {
  return add_object(module, name, reinterpret_cast<PyObject*>(type));
}

// parse is added under the name the function reports, so the method definition stays the one
// place that names it.
bool add_parse(PyObject* module) {
  OwnedRef module_name = OwnedRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return false;
  OwnedRef function =
      OwnedRef::steal(PyCMethod_New(&parse_method, module, module_name.get(), nullptr));
  if (!function) return false;
  OwnedRef name = OwnedRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
  return name && add_object(module, name.get(), function.get());
}

PyObject* build_module() {
  OwnedRef module = OwnedRef::steal(PyModule_Create2(&module_def, 1013));
  if (!module) return nullptr;
  PyObject* m = module.get();
#ifdef Py_GIL_DISABLED
  // Nothing here is written for free threading; importing switches the lock back on.
  if (PyUnstable_Module_SetGIL(m, Py_MOD_GIL_USED) < 0) return nullptr;
#endif
  bool added = add_type(m, "Interval", interval_type()) &&
               add_type(m, "Account", account_type()) &&
               add_type(m, "Document", document_type()) &&
               add_type(m, "Statement", statement_type()) &&
               add_type(m, "SectionType", section_type_type()) &&
               add_type(m, "UnexpectedSection", unexpected_section_type()) &&
               add_type(m, "UnexpectedAttribute", unexpected_attribute_type()) &&
               add_type(m, "UnrecognizedLine", unrecognized_line_type()) &&
               add_type(m, "MissingField", missing_field_type()) &&
               add_type(m, "AccountParseError", account_parse_error_type()) &&
               add_type(m, "DocumentParseError", document_parse_error_type()) &&
               add_type(m, "HookError", hook_error_type()) && add_parse(m) &&
               add_object(m, "ParseError", parse_error_type()) &&
               add_object(m, "NotStatementError", not_statement_error_type()) &&
               add_object(m, "EmptyInputError", empty_input_error_type()) &&
               add_object(m, "UnfinishedError", unfinished_error_type()) &&
               add_object(m, "SyntaxError", syntax_error_type());
  if (!added) return nullptr;
  return module.release();
}

}  // namespace

PyObject* get_once(OnceObject& once, PyObject* (*create)()) {
  PyObject* object = once.object.load(std::memory_order_acquire);
  if (object != nullptr) return object;
  PyMutex_Lock(&once.mutex);
  object = once.object.load(std::memory_order_relaxed);
  if (object == nullptr) {
    object = create();
    if (object != nullptr) once.object.store(object, std::memory_order_release);
  }
  PyMutex_Unlock(&once.mutex);
  return object;
}

PyObject* parse_error_type() { return get_once(parse_error_once, create_parse_error); }

PyObject* syntax_error_type() {
  return get_once(syntax_error_once, [] { return create_derived_error("corvina_py.SyntaxError"); });
}

PyObject* not_statement_error_type() {
  return get_once(not_statement_error_once,
                  [] { return create_derived_error("corvina_py.NotStatementError"); });
}

PyObject* empty_input_error_type() {
  return get_once(empty_input_error_once,
                  [] { return create_derived_error("corvina_py.EmptyInputError"); });
}

PyObject* unfinished_error_type() {
  return get_once(unfinished_error_once,
                  [] { return create_derived_error("corvina_py.UnfinishedError"); });
}

}  // namespace corvina::py

PyMODINIT_FUNC PyInit_corvina_py() {
  using namespace corvina::py;
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  int64_t id = PyInterpreterState_GetID(interpreter);
  if (id == -1) return nullptr;
  int64_t owner = -1;
  if (!owner_interpreter.compare_exchange_strong(owner, id) && owner != id) {
    PyErr_SetString(PyExc_ImportError,
                    "corvina_py does not support sub-interpreters: it is already loaded in "
                    "another interpreter of this process");
    return nullptr;
  }
  PyObject* module = get_once(module_once, build_module);
  return Py_XNewRef(module);
}
