// OwnedRef: one strong reference to a Python object, released when the holder goes away.
//
// With every reference held this way, an early `return nullptr` on an error path releases what
// was built so far; no Py_DECREF pairs are written by hand.
#pragma once

#include <Python.h>

#include <utility>

namespace corvina::py {

class OwnedRef {
 public:
  OwnedRef() = default;
  // Takes over a new reference (the result of most C API calls); null stays null.
  static OwnedRef steal(PyObject* object) { return OwnedRef(object); }
  // Adds a reference to a borrowed object.
  static OwnedRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return OwnedRef(object);
  }

  OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  ~OwnedRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference to the caller (a C API function that steals, or a return value).
  [[nodiscard]] PyObject* release() { return std::exchange(object_, nullptr); }

 private:
  explicit OwnedRef(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace corvina::py
