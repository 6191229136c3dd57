#include "arguments.h"

#include <string>

#include "owned_ref.h"

namespace corvina::py {
namespace {

// The index of the parameter called `key`, or names.size() when there is none. Keys that are
// not str can only reach us through a tp_new dict; they match nothing.
size_t find_parameter(const Parameters& parameters, PyObject* key) {
  if (!PyUnicode_Check(key)) return parameters.names.size();
  for (size_t i = 0; i < parameters.names.size(); ++i) {
    if (PyUnicode_EqualToUTF8(key, parameters.names[i])) return i;
  }
  return parameters.names.size();
}

bool bind_keyword(const Parameters& parameters, size_t nargs, PyObject* key, PyObject* value,
                  PyObject** out) {
  size_t index = find_parameter(parameters, key);
  if (index == parameters.names.size()) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                 parameters.function, key);
    return false;
  }
  if (index < nargs || out[index] != nullptr) {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", parameters.function,
                 parameters.names[index]);
    return false;
  }
  out[index] = value;
  return true;
}

void raise_too_many_positional(const Parameters& parameters, size_t given) {
  size_t count = parameters.names.size();
  std::string takes = parameters.required == count
                          ? std::to_string(count)
                          : "from " + std::to_string(parameters.required) + " to " +
                                std::to_string(count);
  PyErr_Format(PyExc_TypeError, "%s takes %s positional argument%s but %zu %s given",
               parameters.function, takes.c_str(), count == 1 ? "" : "s", given,
               given == 1 ? "was" : "were");
}

// Joins the missing names the way the interpreter does: 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
bool check_required(const Parameters& parameters, PyObject** out) {
  size_t missing = 0;
  for (size_t i = 0; i < parameters.required; ++i) missing += out[i] == nullptr;
  if (missing == 0) return true;

  std::string names;
  size_t written = 0;
  for (size_t i = 0; i < parameters.required; ++i) {
    if (out[i] != nullptr) continue;
    if (written > 0) {
      if (missing > 2) names += ',';
      names += written + 1 == missing ? " and " : " ";
    }
    names += '\'';
    names += parameters.names[i];
    names += '\'';
    ++written;
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s",
               parameters.function, missing, missing == 1 ? "" : "s", names.c_str());
  return false;
}

// Keyword problems are reported before a surplus of positional arguments, as the interpreter
// does for its own functions: f(1, 2, 3, c=1) complains about c.
template <typename ForEachKeyword>
bool bind(const Parameters& parameters, size_t nargs, ForEachKeyword&& for_each_keyword,
          PyObject** out) {
  if (!for_each_keyword()) return false;
  if (nargs > parameters.names.size()) {
    raise_too_many_positional(parameters, nargs);
    return false;
  }
  return check_required(parameters, out);
}

}  // namespace

bool bind_vectorcall(const Parameters& parameters, PyObject* const* args, size_t nargs,
                     PyObject* kwnames, PyObject** out) {
  size_t count = parameters.names.size();
  for (size_t i = 0; i < count; ++i) out[i] = i < nargs ? args[i] : nullptr;
  return bind(
      parameters, nargs,
      [&] {
        Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < keywords; ++i) {
          if (!bind_keyword(parameters, nargs, PyTuple_GET_ITEM(kwnames, i), args[nargs + i],
                            out)) {
            return false;
          }
        }
        return true;
      },
      out);
}

bool bind_tuple(const Parameters& parameters, PyObject* args, PyObject* kwargs, PyObject** out) {
  size_t nargs = static_cast<size_t>(PyTuple_GET_SIZE(args));
  size_t count = parameters.names.size();
  for (size_t i = 0; i < count; ++i) out[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
  return bind(
      parameters, nargs,
      [&] {
        if (kwargs == nullptr) return true;
        Py_ssize_t position = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
          if (!bind_keyword(parameters, nargs, key, value, out)) return false;
        }
        return true;
      },
      out);
}

void prefix_argument_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  OwnedRef original = OwnedRef::steal(PyErr_GetRaisedException());
  OwnedRef text = OwnedRef::steal(PyObject_Str(original.get()));
  if (!text) {
    // The original cannot even be rendered; it is still the better report.
    PyErr_Clear();
    PyErr_SetRaisedException(original.release());
    return;
  }
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
  OwnedRef replacement = OwnedRef::steal(PyErr_GetRaisedException());
  PyException_SetCause(replacement.get(), original.release());
  PyErr_SetRaisedException(replacement.release());
}

bool read_text(PyObject* object, std::string_view& out) {
  if (!PyUnicode_Check(object)) {
    OwnedRef name = OwnedRef::steal(PyType_GetQualName(Py_TYPE(object)));
    if (!name) return false;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'PyString'", name.get());
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<size_t>(size));
  return true;
}

}  // namespace corvina::py
