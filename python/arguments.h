// Binding call arguments to named parameters, with the interpreter's own error texts.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <string_view>

namespace corvina::py {

struct Parameters {
  const char* function;                // as named in messages: "parse()", "HookError.__new__()"
  std::span<const char* const> names;  // every parameter is positional-or-keyword
  size_t required;                     // the first `required` names have no default
};

// Matches positional and keyword arguments to parameters. `out` has one slot per name and
// receives borrowed references, nullptr for an omitted optional parameter. On failure returns
// false with a TypeError: "{f} takes {n} positional arguments but {given} were given" (or
// "takes from {min} to {max}"; "was" for 1), "{f} missing 1 required positional argument: 'a'"
// (and the plural forms), "{f} got an unexpected keyword argument '{name}'", "{f} got multiple
// values for argument '{name}'".
bool bind_vectorcall(const Parameters& parameters, PyObject* const* args, size_t nargs,
                     PyObject* kwnames, PyObject** out);
// The same for the tuple-and-dict convention of tp_new (kwargs may be nullptr).
bool bind_tuple(const Parameters& parameters, PyObject* args, PyObject* kwargs, PyObject** out);

// Replaces a pending TypeError by a new TypeError "argument '{name}': {its text}" whose cause is
// the original; any other pending exception is left as it is.
void prefix_argument_error(const char* name);

// The UTF-8 text of a str (subclasses too), valid while the object lives. Otherwise false with
// TypeError "'{type}' object cannot be converted to 'PyString'" ({type}: the qualified name of
// the object's type), or the interpreter's UnicodeEncodeError for lone surrogates.
bool read_text(PyObject* object, std::string_view& out);

}  // namespace corvina::py
