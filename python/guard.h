// The boundary between C++ and the interpreter: nothing thrown may cross it.
//
// The core reports failures as values, but the standard library still throws when memory runs
// out, and an exception unwinding into CPython's C frames ends the process. Every entry point
// that runs C++ code which allocates goes through guard(), so the caller gets MemoryError
// instead; the C++ objects on the way are released by their destructors as usual.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <stdexcept>

namespace corvina::py {

// body() returns a new reference or nullptr with an exception set; so does guard().
template <typename Body>
PyObject* guard(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::length_error&) {
    // A size past what a container can hold: the allocation it asked for could never succeed.
    return PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_SystemError, error.what());
    return nullptr;
  }
}

}  // namespace corvina::py
